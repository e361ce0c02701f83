#ifndef USBTESTBED_H
#define USBTESTBED_H

#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

QT_BEGIN_NAMESPACE
class QProcessEnvironment;
QT_END_NAMESPACE

typedef struct _UMockdevTestbed UMockdevTestbed;

// Shows pseudo-terminals to the system's own serial-port enumeration as USB
// serial devices /dev/ttyACM0, /dev/ttyACM1, ... of a chosen maker, so that a
// program finds the simulated turntable the way it finds the real one.
//
// It is a umockdev testbed: a folder with a sysfs tree and device nodes of
// its own, which programs see in place of the system's /sys and of the /dev
// nodes it holds when they run with umockdev's preload library and
// UMOCKDEV_DIR naming the folder (environment() gives both). Nothing outside
// those programs changes, and no privilege is needed. The folder goes away
// with the testbed.
class UsbTestbed
{
public:
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

    // Adds a USB device with a cdc_acm interface and its tty, the next
    // /dev/ttyACM<n>; false with errorString() when it cannot.
    bool add(const Device &device);
    // Takes the device of /dev/ttyACM<index> away, node and all, as
    // unplugging it does. Programs that enumerate later no longer list it.
    void remove(int index);
    QString errorString() const { return m_errorString; }
    // "/dev/ttyACM<index>"
    static QString deviceNode(int index);

    // base, with the preload and UMOCKDEV_DIR that let a program see the testbed.
    QProcessEnvironment environment(const QProcessEnvironment &base) const;
    // What LD_PRELOAD must hold for the preload to work beside what it holds already.
    static QByteArray preloadList(const QByteArray &current);

private:
    struct Unref
    {
        void operator()(UMockdevTestbed *testbed) const;
    };

    std::unique_ptr<UMockdevTestbed, Unref> m_testbed;
    QString m_root;
    // The sysfs paths of each port's tty, interface and USB device; none once removed.
    QList<QStringList> m_devices;
    QString m_errorString;
};

#endif // USBTESTBED_H
