#ifndef EVENTLOG_H
#define EVENTLOG_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

class SimulatedTurntable;

// The host's event lines, from the capture and from the simulated turntable,
// each stamped with the milliseconds since the capture started.
class EventLog : public QObject
{
    Q_OBJECT

public:
    void restart();
    void add(const QString &text);

signals:
    void restarted();
    void line(const QString &text);

private:
    QElapsedTimer m_clock;
};

// Adds to the log what the simulated turntable receives and answers during a
// capture: each turn command with its step count, and the answer to it.
class SimulatorLog : public QObject
{
public:
    SimulatorLog(SimulatedTurntable *turntable, EventLog *log);

private:
    void onFrameReceived(const QByteArray &frame);
    void onSent(const QByteArray &bytes);

    EventLog *m_log;
    int m_turns = 0;
    bool m_awaitingAnswer = false;
};

#endif // EVENTLOG_H
