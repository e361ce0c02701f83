#ifndef SIMULATORLOG_H
#define SIMULATORLOG_H

#include <QByteArray>
#include <QObject>

class EventLog;
class SimulatedTurntable;

// Adds to the log what the simulated turntable receives and answers: each
// turn command with its step count, every other command as it came (rotation,
// stop, enable, disable, information), and each answer beside the command it
// answers.
class SimulatorLog : public QObject
{
    Q_OBJECT

public:
    SimulatorLog(SimulatedTurntable *turntable, EventLog *log);

private:
    void onFrameReceived(const QByteArray &frame);
    void onSent(const QByteArray &bytes);

    EventLog *m_log;
    int m_turns = 0;
    // The command the next answer belongs to; empty once answered.
    QByteArray m_unanswered;
};

#endif // SIMULATORLOG_H
