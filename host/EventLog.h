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
    using QObject::QObject;

    void restart()
    {
        m_clock.start();
        emit restarted();
    }

    void add(const QString &text)
    {
        if (!m_clock.isValid())
            m_clock.start();
        emit line(QStringLiteral("[%1 ms] %2").arg(m_clock.elapsed(), kStampWidth).arg(text));
    }

signals:
    void restarted();
    void line(const QString &text);

private:
    static const int kStampWidth = 5;
    QElapsedTimer m_clock;
};

#endif // EVENTLOG_H
