#ifndef EVENTLOG_H
#define EVENTLOG_H

#include <QElapsedTimer>
#include <QObject>
#include <QString>

// The host's event lines, from the capture and from the simulated turntable,
// each stamped with the milliseconds since the capture started.
class EventLog : public QObject
{
    Q_OBJECT

public:
    explicit EventLog(QObject *parent = nullptr)
        : QObject(parent)
    {
    }

    void restart();
    void add(const QString &text);
    // What the host saw go wrong on the device's side, such as a refused
    // turn, after the line that showed it: the running capture ends with it
    // at once.
    void reportFailure(const QString &message) { emit failed(message); }

signals:
    void restarted();
    void line(const QString &text);
    void failed(const QString &message);

private:
    QElapsedTimer m_clock;
};

#endif // EVENTLOG_H
