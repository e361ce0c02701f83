#include "Orbisto.h"

#include <QTimer>

#include <algorithm>
#include <limits>

namespace {

const qint64 kMillisecondsPerSecond = 1000;

// A delay in seconds as a timer interval. A negative interval would be refused
// by the timer and stall the capture; one beyond the int range would overflow.
int delayInterval(int seconds)
{
    const qint64 milliseconds = qint64(seconds) * kMillisecondsPerSecond;
    return int(std::clamp<qint64>(milliseconds, 0, std::numeric_limits<int>::max()));
}

} // namespace

quint16 COrbisto::framesCount()
{
    return m_framesCount;
}

bool COrbisto::startCapture()
{
    const OrbistoMachine::Actions actions = m_machine.startCapture(m_framesCount);
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
        updateRotationPanels();
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

// The delays in seconds are read when a delay starts. Timers are never
// cancelled: one that expires after its step has passed is ignored by the machine.
void COrbisto::startDelay(OrbistoMachine::Delay delay)
{
    int interval = 0;
    switch (delay.kind) {
    case OrbistoMachine::DelayKind::FirstPicture:
        break;
    case OrbistoMachine::DelayKind::PostSnap:
        interval = delayInterval(m_postSnapDelay);
        break;
    case OrbistoMachine::DelayKind::PreSnap:
        interval = delayInterval(m_preSnapDelay);
        break;
    case OrbistoMachine::DelayKind::Settle:
        interval = OrbistoMachine::kSettleTimeoutMs;
        break;
    }
    QTimer::singleShot(interval, this, [this, delay] { apply(m_machine.delayExpired(delay)); });
}
