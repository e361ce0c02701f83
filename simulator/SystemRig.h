#ifndef SYSTEMRIG_H
#define SYSTEMRIG_H

#include <QList>
#include <QString>
#include <QStringList>

// Shows pseudo-terminals to the system's own serial-port enumeration as USB
// serial devices /dev/ttyACM0, /dev/ttyACM1, ... of a chosen maker, so that a
// program finds the simulated turntable the way it finds the real one.
//
// While it is up, the system lists only these ports. Everything it mounts
// lives in a private mount namespace that the process enters first; nothing is written to the real /dev, /sys or /run, and the
// namespace goes away with the process. Needs root.
class SystemRig
{
public:
    struct Device
    {
        // The node shown as /dev/ttyACM<n>: a pty slave, or any other file for
        // a port that cannot be opened as a terminal. Empty: the system lists
        // the port but its node is gone.
        QString node;
        QString manufacturer = QStringLiteral("STMicroelectronics");
        quint16 vendorId = 0x0483;
        quint16 productId = 0x5740;
    };

    // Moves this process into a private mount namespace. Call it before the
    // process starts a thread: a namespace is entered by the calling thread only.
    static bool enterPrivateNamespace(QString *errorString);
    // Why the rig cannot run here, or empty when it can (it needs root).
    static QString unavailableReason();

    // Shows the devices; check isReady(). Call only inside the private namespace.
    explicit SystemRig(const QList<Device> &devices);
    // Takes everything down again; the system looks as it did before.
    ~SystemRig();

    SystemRig(const SystemRig &) = delete;
    SystemRig &operator=(const SystemRig &) = delete;

    bool isReady() const { return m_errorString.isEmpty(); }
    QString errorString() const { return m_errorString; }
    // "/dev/ttyACM<index>"
    static QString deviceNode(int index);

private:
    bool setUp(const QList<Device> &devices);
    bool mountTmpfs(const QString &path);
    bool overlayKeeping(const QString &path, const QStringList &hidden);
    bool buildUsbTree(const QString &root, const QList<Device> &devices);
    bool fail(const QString &what);

    // Top-level mounts, undone in reverse order.
    QStringList m_mounts;
    QString m_errorString;
};

#endif // SYSTEMRIG_H
