#ifndef USBTESTBED_H
#define USBTESTBED_H

#include <QList>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

QT_BEGIN_NAMESPACE
class QProcessEnvironment;
QT_END_NAMESPACE

typedef struct _UMockdevTestbed UMockdevTestbed;

// Shows pseudo-terminals to the system's own serial-port enumeration as USB
// serial devices /dev/ttyACM<n> of a chosen maker, so that a program finds the
// simulated turntable the way it finds the real one.
//
// It is a umockdev testbed: a folder with a sysfs tree and device nodes of
// its own, which programs see in place of the system's /sys and of the /dev
// nodes it holds when they run with umockdev's preload library and
// UMOCKDEV_DIR naming the folder (environment() gives both). Nothing outside
// those programs changes, and no privilege is needed. The folder goes away
// with the testbed.
//
// Serial programs lock a port by its name in the system's own lock folder,
// which the testbed does not cover. So each port takes a number no one else
// uses: no such node in the system's /dev, no lock on that name, and no other
// testbed's port (see PortNumber). Two testbeds, or a testbed beside a real
// turntable in use, never meet.
class UsbTestbed
{
public:
    // A port number n that is ours while this lives: /dev/ttyACM<n> is no
    // node of the system's, no serial lock names it, and no other PortNumber
    // on the machine holds it, in any process of any user. The claim is a
    // name in the kernel's abstract socket namespace, so it goes with the
    // process however that ends.
    class PortNumber
    {
    public:
        // The lowest free number not below from; null when none is left.
        static std::unique_ptr<PortNumber> claimFree(int from = 0);
        ~PortNumber();
        PortNumber(const PortNumber &) = delete;
        PortNumber &operator=(const PortNumber &) = delete;
        int number() const { return m_number; }

    private:
        PortNumber(int socket, int number);
        const int m_socket;
        const int m_number;
    };

    struct Device
    {
        // What /dev/ttyACM<n> leads to: a pty slave, or any other file for a
        // port that cannot be opened as a terminal. Empty: the system lists
        // the port but its node is gone.
        QString node;
        QString manufacturer = QStringLiteral("STMicroelectronics");
        quint16 vendorId = 0x0483;
        quint16 productId = 0x5740;
    };

    // The library that redirects a program's view of /sys and /dev.
    static const char kPreload[];

    UsbTestbed();
    ~UsbTestbed();

    UsbTestbed(const UsbTestbed &) = delete;
    UsbTestbed &operator=(const UsbTestbed &) = delete;

    // Adds a USB device with a cdc_acm interface and its tty, on a port
    // number of its own (see PortNumber); false with errorString() when it cannot.
    bool add(const Device &device);
    // Takes the index-th device added away, node and all, as unplugging it
    // does. Programs that enumerate later no longer list it.
    void remove(int index);
    QString errorString() const { return m_errorString; }
    // "/dev/ttyACM<n>" of the index-th device added.
    QString deviceNode(int index) const;

    // The folders where serial programs, Qt's among them, look for a port's
    // lock "LCK..<name>"; Qt takes the first it may write to.
    static QStringList lockFolders();

    // base, with the preload and UMOCKDEV_DIR that let a program see the
    // testbed; runtime, a sanitizer runtime the program needs, goes first.
    QProcessEnvironment environment(const QProcessEnvironment &base, const QByteArray &runtime = {}) const;
    // What LD_PRELOAD must hold for the preload to work beside what it holds
    // already, with runtime (or the one this program runs with) first.
    static QByteArray preloadList(const QByteArray &current, const QByteArray &runtime = {});

private:
    struct Unref
    {
        void operator()(UMockdevTestbed *testbed) const;
    };

    std::unique_ptr<UMockdevTestbed, Unref> m_testbed;
    QString m_root;
    // The sysfs paths of each port's tty, interface and USB device; none once removed.
    QList<QStringList> m_devices;
    std::vector<std::unique_ptr<PortNumber>> m_numbers;
    QString m_errorString;
};

#endif // USBTESTBED_H
