#ifndef PORTWATCH_H
#define PORTWATCH_H

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

// Notices that the turntable's port has left the system, as it does when the
// cable is pulled. The contract has no word for a lost device and the plug-in
// watches nothing, so the host looks where any program can: at the node of
// the port it named, or of every port of the maker the system listed when the
// capture started, since the plug-in took one of those.
class PortWatch : public QObject
{
    Q_OBJECT

public:
    struct Target
    {
        // The port the controller was handed; empty when the plug-in chose.
        QString path;
        // Whose ports the plug-in takes, when it chose.
        QString maker;
        bool isEmpty() const { return path.isEmpty() && maker.isEmpty(); }
    };

    explicit PortWatch(const Target &target, QObject *parent = nullptr);

    // Notes the ports to watch, and looks at them at intervals until stopped.
    void start();
    void stop() { m_timer.stop(); }

signals:
    // Once, saying which ports are gone.
    void gone(const QString &message);

private:
    void look();

    Target m_target;
    QStringList m_watched;
    QTimer m_timer;
};

#endif // PORTWATCH_H
