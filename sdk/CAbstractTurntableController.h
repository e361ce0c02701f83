#ifndef CABSTRACTTURNTABLECONTROLLER_H
#define CABSTRACTTURNTABLECONTROLLER_H

#include <QObject>
#include <QtGlobal>

QT_BEGIN_NAMESPACE
class QSettings;
class QString;
class QTimerEvent;
class QWidget;
QT_END_NAMESPACE

// The host and every plug-in must agree on this class's type when casting and
// connecting, so its symbols stay visible even in a library built with hidden
// visibility.
#define NXSDK_EXPORT Q_DECL_EXPORT

// The contract between a host and a turntable-controller plug-in. The host calls
// these operations through the virtual table in this order, so neither their
// order nor their signatures may change.
class NXSDK_EXPORT CAbstractTurntableController : public QObject
{
    Q_OBJECT

public:
    CAbstractTurntableController() = default;
    ~CAbstractTurntableController() override;

    // Ownership of the returned widget passes to the caller.
    virtual QWidget *createSettingsWidget() = 0;
    virtual quint16 framesCount() = 0;
    virtual bool startCapture() = 0;
    virtual bool saveSettings(QSettings *settings, QString &errorMessage);
    virtual void loadSettings(QSettings *settings);
    virtual void snapTaken(int count);
    virtual int interfaceRevision();

signals:
    void snapActionRequired();
    void finished();

protected:
    void timerEvent(QTimerEvent *event) override;

    int m_timerId = 0;
};

// The one function a plug-in library exports; the caller owns the result.
extern "C" NXSDK_EXPORT CAbstractTurntableController *NXSDK_RegisterTurntableController();

#endif // CABSTRACTTURNTABLECONTROLLER_H
