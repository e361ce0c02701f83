#include "CAbstractTurntableController.h"

#include <QTimerEvent>

CAbstractTurntableController::~CAbstractTurntableController()
{
    if (m_timerId != 0) {
        killTimer(m_timerId);
        m_timerId = 0;
    }
}

bool CAbstractTurntableController::saveSettings(QSettings *settings, QString &errorMessage)
{
    Q_UNUSED(settings)
    Q_UNUSED(errorMessage)
    return true;
}

void CAbstractTurntableController::loadSettings(QSettings *settings)
{
    Q_UNUSED(settings)
}

void CAbstractTurntableController::snapTaken(int count)
{
    Q_UNUSED(count)
}

int CAbstractTurntableController::interfaceRevision()
{
    return 2;
}

void CAbstractTurntableController::timerEvent(QTimerEvent *event)
{
    emit snapActionRequired();
    QObject::timerEvent(event);
}
