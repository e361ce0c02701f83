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

signals:
    void restarted();
    void line(const QString &text);

private:
    QElapsedTimer m_clock;
};

#endif // EVENTLOG_H
