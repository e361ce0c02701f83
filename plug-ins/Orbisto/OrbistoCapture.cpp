#include "Orbisto.h"

#include <QTimer>

quint16 COrbisto::framesCount()
{
    return m_framesCount;
}

bool COrbisto::startCapture()
{
    const OrbistoMachine::Actions actions = m_machine.startCapture({m_framesCount, m_postSnapDelay, m_preSnapDelay});
    apply(actions);
    return actions.accepted;
}

void COrbisto::snapTaken(int count)
{
    apply(m_machine.snapTaken(count));
}

void COrbisto::apply(const OrbistoMachine::Actions &actions)
{
    if (actions.command)
        sendCommand(actions.command->letter, actions.command->value);
    if (actions.delay)
        startDelay(*actions.delay);
    if (actions.deviceInfo)
        showDeviceInfo(*actions.deviceInfo);
    if (actions.turntableGone)
        showTurntableGone();
    if (actions.panelsUsable)
        updateRotationPanels(*actions.panelsUsable);
    switch (actions.signal) {
    case OrbistoMachine::Signal::SnapActionRequired:
        emit snapActionRequired();
        break;
    case OrbistoMachine::Signal::Finished:
        emit finished();
        break;
    case OrbistoMachine::Signal::None:
        break;
    }
}

// Timers are never cancelled: one that expires after its step has passed is
// ignored by the machine. A coarse timer may fire up to 5% early, and the table
// must not turn before an exposure has ended.
void COrbisto::startDelay(const OrbistoMachine::Delay &delay)
{
    QTimer::singleShot(delay.milliseconds, Qt::PreciseTimer, this, [this, delay] { apply(m_machine.delayExpired(delay)); });
}
