#ifndef SIMULATORLOG_H
#define SIMULATORLOG_H

#include <QByteArray>
#include <QObject>

class EventLog;
class SimulatedTurntable;

// Adds to the log what the simulated turntable receives and answers during a
// capture: each turn command with its step count, and the answer to it.
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
    bool m_awaitingAnswer = false;
};

#endif // SIMULATORLOG_H
