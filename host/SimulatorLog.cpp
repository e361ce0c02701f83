// CMake builds this file only where the pseudo-terminal simulator exists
// (Linux); elsewhere, as in a Windows syntax check of every host file, it is empty.
#ifdef ORBISTO_HOST_SIMULATOR
#include "SimulatorLog.h"

#include "EventLog.h"
#include "OrbistoProtocol.h"
#include "SimulatedTurntable.h"

namespace {

// How the turntable's answer to a command it will not carry out begins.
const QByteArray kRefusal = QByteArrayLiteral("Error");

} // namespace

SimulatorLog::SimulatorLog(SimulatedTurntable *turntable, EventLog *log)
    : QObject(log)
    , m_log(log)
{
    connect(turntable, &SimulatedTurntable::frameReceived, this, &SimulatorLog::onFrameReceived);
    connect(turntable, &SimulatedTurntable::sent, this, &SimulatorLog::onSent);
    connect(log, &EventLog::restarted, this, [this] {
        m_turns = 0;
        m_unanswered.clear();
    });
}

void SimulatorLog::onFrameReceived(const QByteArray &frame)
{
    // The simulator hands over whole frames: a start byte, the command letter,
    // its value and an end byte.
    if (frame.size() < 3)
        return;
    m_unanswered = frame;
    if (frame.at(1) != OrbistoProtocol::kTurn) {
        m_log->add(QStringLiteral("turntable received %1").arg(QString::fromLatin1(frame)));
        return;
    }
    m_log->add(QStringLiteral("turn %1 sent: %2 (%3 steps)")
                   .arg(++m_turns)
                   .arg(QString::fromLatin1(frame),
                        QString::fromLatin1(frame.mid(2, frame.size() - 3))));
}

void SimulatorLog::onSent(const QByteArray &bytes)
{
    // The first thing the turntable sends after a command is its answer.
    if (m_unanswered.isEmpty())
        return;
    const QString answer = QString::fromLatin1(bytes.simplified());
    if (m_unanswered.at(1) == OrbistoProtocol::kTurn) {
        m_log->add(QStringLiteral("turntable answered turn %1: %2").arg(m_turns).arg(answer));
        // The plug-in waits for a "Success" that will not come; the host has
        // seen the refusal and need not wait out the timeout to say so.
        if (bytes.startsWith(kRefusal)) {
            m_log->reportFailure(
                QStringLiteral("The turntable refused turn %1: %2").arg(m_turns).arg(answer));
        }
    } else {
        m_log->add(QStringLiteral("turntable answered %1: %2").arg(QString::fromLatin1(m_unanswered), answer));
    }
    m_unanswered.clear();
}

#endif // ORBISTO_HOST_SIMULATOR
