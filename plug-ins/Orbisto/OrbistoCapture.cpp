#include "Orbisto.h"
#include "OrbistoProtocol.h"

#include <QSerialPort>
#include <QTimer>

#include <algorithm>
#include <limits>

namespace {

const int kDegreesPerRevolution = 360;
const int kStepsPerDegree = 14;
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
    // Without frames there is nothing to divide a revolution into, without
    // a turntable the capture would stall after its first picture, and on a
    // table that spins on its own every picture would be blurred.
    if (m_framesCount == 0 || !m_port || m_rotating)
        return false;
    // A capture that stalled never finished; this one starts afresh.
    m_capturing = true;
    updateRotationPanels();
    // Division first: a count that does not divide 360 falls short of a full turn.
    m_stepsPerFrame = (kDegreesPerRevolution / m_framesCount) * kStepsPerDegree;
    QTimer::singleShot(0, this, [this] { emit snapActionRequired(); });
    return true;
}

void COrbisto::snapTaken(int count)
{
    if (count == int(m_framesCount)) {
        m_capturing = false;
        updateRotationPanels();
        emit finished();
        return;
    }
    // The step count is read when the timer fires, not when it is started.
    QTimer::singleShot(delayInterval(m_postSnapDelay), this,
                       [this] { sendCommand(OrbistoProtocol::kTurn, m_stepsPerFrame); });
}

void COrbisto::startPreSnapDelay()
{
    QTimer::singleShot(delayInterval(m_preSnapDelay), this, [this] { emit snapActionRequired(); });
}
