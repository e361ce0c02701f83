#include "SystemRig.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Folders under /sys/devices that nothing on a test machine reads; a tmpfs
// over the first one that exists holds the made-up USB devices. Its path
// must not contain "pnp", "platform" or "pci", which enumeration treats as
// other kinds of port.
const char *const kUsbTreeHosts[] = {
    "/sys/devices/software", "/sys/devices/breakpoint", "/sys/devices/tracepoint",
    "/sys/devices/uprobe", "/sys/devices/kprobe",
};
const QString kTtyClass = QStringLiteral("/sys/class/tty");
const QString kDev = QStringLiteral("/dev");
// Holds the udev database and, behind /var/lock, the serial ports' lock files.
const QString kRun = QStringLiteral("/run");
// The character-device major of USB ACM ports.
const int kAcmMajor = 166;
const int kUsbBus = 9;
const char kProduct[] = "Orbisto Turntable";

QString hex4(quint16 value)
{
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
}

// udev's encoding of a property value: spaces become '_' (Qt turns them back).
QString udevValue(const QString &text)
{
    return QString(text).replace(QLatin1Char(' '), QLatin1Char('_'));
}

bool writeFile(const QString &path, const QString &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content.toUtf8()) == content.toUtf8().size();
}

bool makeLink(const QString &target, const QString &link)
{
    return ::symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData()) == 0;
}

} // namespace

bool SystemRig::enterPrivateNamespace(QString *errorString)
{
    const QString reason = unavailableReason();
    if (!reason.isEmpty()) {
        *errorString = reason;
        return false;
    }
    if (::unshare(CLONE_NEWNS) != 0) {
        *errorString = QStringLiteral("cannot enter a private mount namespace: %1")
                           .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    // Without this, mounts would propagate back into the system's namespace.
    if (::mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0) {
        *errorString = QStringLiteral("cannot make the mounts private: %1")
                           .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    return true;
}

QString SystemRig::unavailableReason()
{
    if (::geteuid() != 0)
        return QStringLiteral("showing a simulated turntable as a USB device needs root "
                              "(it mounts inside a private mount namespace)");
    return QString();
}

QString SystemRig::deviceNode(int index)
{
    return QStringLiteral("/dev/ttyACM%1").arg(index);
}

SystemRig::SystemRig(const QList<Device> &devices)
{
    if (!setUp(devices) && m_errorString.isEmpty())
        m_errorString = QStringLiteral("cannot set up the system rig");
}

SystemRig::~SystemRig()
{
    // A lazy unmount takes every mount below the top one with it.
    for (auto it = m_mounts.crbegin(); it != m_mounts.crend(); ++it)
        ::umount2(QFile::encodeName(*it).constData(), MNT_DETACH);
}

bool SystemRig::fail(const QString &what)
{
    if (m_errorString.isEmpty())
        m_errorString = QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(errno)));
    return false;
}

bool SystemRig::setUp(const QList<Device> &devices)
{
    const QString reason = unavailableReason();
    if (!reason.isEmpty()) {
        m_errorString = reason;
        return false;
    }
    QString usbRoot;
    for (const char *host : kUsbTreeHosts) {
        if (QFileInfo(QString::fromLatin1(host)).isDir()) {
            usbRoot = QString::fromLatin1(host);
            break;
        }
    }
    if (usbRoot.isEmpty()) {
        m_errorString = QStringLiteral("no unused folder under /sys/devices to hold the USB devices");
        return false;
    }
    if (!mountTmpfs(usbRoot) || !mountTmpfs(kTtyClass) || !buildUsbTree(usbRoot, devices))
        return false;

    if (!overlayKeeping(kRun, {QStringLiteral("udev"), QStringLiteral("lock")}))
        return false;
    const QString udevData = kRun + QStringLiteral("/udev/data");
    if (!QDir().mkpath(udevData) || ::mkdir("/run/lock", 01777) != 0 || ::chmod("/run/lock", 01777) != 0)
        return fail(QStringLiteral("cannot create the udev database and the lock folder"));
    for (int i = 0; i < devices.size(); ++i) {
        const Device &device = devices.at(i);
        const QString entry = QStringLiteral("I:1\n"
                                             "E:ID_BUS=usb\n"
                                             "E:ID_VENDOR=%1\n"
                                             "E:ID_VENDOR_ID=%2\n"
                                             "E:ID_MODEL=%3\n"
                                             "E:ID_MODEL_ID=%4\n"
                                             "E:ID_SERIAL_SHORT=ORBSIM%5\n"
                                             "E:ID_USB_DRIVER=cdc_acm\n")
                                  .arg(udevValue(device.manufacturer), hex4(device.vendorId),
                                       udevValue(QString::fromLatin1(kProduct)), hex4(device.productId))
                                  .arg(i);
        if (!writeFile(QStringLiteral("%1/c%2:%3").arg(udevData).arg(kAcmMajor).arg(i), entry))
            return fail(QStringLiteral("cannot write the udev database"));
    }

    if (!overlayKeeping(kDev, {QStringLiteral("ttyACM")}))
        return false;
    for (int i = 0; i < devices.size(); ++i) {
        const QString node = devices.at(i).node;
        if (node.isEmpty())
            continue;
        const QByteArray target = QFile::encodeName(deviceNode(i));
        const int placeholder = ::open(target.constData(), O_CREAT | O_WRONLY | O_CLOEXEC, 0660);
        if (placeholder < 0)
            return fail(QStringLiteral("cannot create %1").arg(deviceNode(i)));
        ::close(placeholder);
        if (::mount(QFile::encodeName(node).constData(), target.constData(), "none", MS_BIND, nullptr) != 0)
            return fail(QStringLiteral("cannot show %1 as %2").arg(node, deviceNode(i)));
    }
    return true;
}

bool SystemRig::mountTmpfs(const QString &path)
{
    if (::mount("tmpfs", QFile::encodeName(path).constData(), "tmpfs", 0, "mode=0755") != 0)
        return fail(QStringLiteral("cannot mount a tmpfs on %1").arg(path));
    m_mounts.append(path);
    return true;
}

// Covers a folder with a tmpfs that shows the same entries, each bound back
// from the folder underneath, except those whose names start with a hidden
// prefix. New entries then go to the tmpfs only. An entry that cannot be bound
// back is left out rather than failing the view: a machine may have device
// nodes of its own that nothing here uses.
bool SystemRig::overlayKeeping(const QString &path, const QStringList &hidden)
{
    const int original = ::open(QFile::encodeName(path).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (original < 0)
        return fail(QStringLiteral("cannot open %1").arg(path));
    const QStringList entries = QDir(path).entryList(QDir::AllEntries | QDir::System | QDir::Hidden
                                                     | QDir::NoDotAndDotDot);
    const bool mounted = mountTmpfs(path);
    // The folder underneath stays reachable through the descriptor opened before.
    const QString underneath = QStringLiteral("/proc/self/fd/%1/").arg(original);
    for (const QString &name : entries) {
        if (!mounted)
            break;
        if (std::any_of(hidden.cbegin(), hidden.cend(), [&](const QString &prefix) { return name.startsWith(prefix); }))
            continue;
        const QByteArray entry = QFile::encodeName(name);
        const QByteArray from = QFile::encodeName(underneath + name);
        const QByteArray to = QFile::encodeName(path + QLatin1Char('/') + name);
        struct stat status;
        if (::fstatat(original, entry.constData(), &status, AT_SYMLINK_NOFOLLOW) != 0)
            continue; // gone while we looked
        if (S_ISLNK(status.st_mode)) {
            char target[4096];
            const ssize_t size = ::readlinkat(original, entry.constData(), target, sizeof target - 1);
            if (size >= 0)
                ::symlink(QByteArray(target, int(size)).constData(), to.constData());
        } else if (S_ISDIR(status.st_mode)) {
            if (::mkdir(to.constData(), status.st_mode & 07777) == 0
                && ::mount(from.constData(), to.constData(), "none", MS_BIND | MS_REC, nullptr) != 0)
                ::rmdir(to.constData());
        } else {
            const int placeholder = ::open(to.constData(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
            if (placeholder >= 0 && ::close(placeholder) == 0
                && ::mount(from.constData(), to.constData(), "none", MS_BIND, nullptr) != 0)
                ::unlink(to.constData());
        }
    }
    ::close(original);
    return mounted;
}

// The layout the kernel gives a CDC ACM port: a USB device with its maker and
// ids, an interface bound to a driver, and the tty below it.
bool SystemRig::buildUsbTree(const QString &root, const QList<Device> &devices)
{
    for (int i = 0; i < devices.size(); ++i) {
        const Device &device = devices.at(i);
        const QString usbName = QStringLiteral("%1-%2").arg(kUsbBus).arg(i + 1);
        const QString usbDevice = QStringLiteral("%1/usb%2/%3").arg(root).arg(kUsbBus).arg(usbName);
        const QString interface = QStringLiteral("%1/%2:1.0").arg(usbDevice, usbName);
        const QString name = QStringLiteral("ttyACM%1").arg(i);
        const QString tty = QStringLiteral("%1/tty/%2").arg(interface, name);
        const QString product = QStringLiteral("%1/%2/200").arg(device.vendorId, 0, 16).arg(device.productId, 0, 16);
        const bool ok = QDir().mkpath(tty)
            && writeFile(usbDevice + QStringLiteral("/uevent"),
                         QStringLiteral("DEVTYPE=usb_device\nDRIVER=usb\nPRODUCT=%1\n").arg(product))
            && writeFile(usbDevice + QStringLiteral("/manufacturer"), device.manufacturer + QLatin1Char('\n'))
            && writeFile(usbDevice + QStringLiteral("/product"), QString::fromLatin1(kProduct) + QLatin1Char('\n'))
            && writeFile(usbDevice + QStringLiteral("/idVendor"), hex4(device.vendorId) + QLatin1Char('\n'))
            && writeFile(usbDevice + QStringLiteral("/idProduct"), hex4(device.productId) + QLatin1Char('\n'))
            && writeFile(usbDevice + QStringLiteral("/serial"), QStringLiteral("ORBSIM%1\n").arg(i))
            && makeLink(QStringLiteral("/sys/bus/usb"), usbDevice + QStringLiteral("/subsystem"))
            && makeLink(QStringLiteral("/sys/bus/usb/drivers/usb"), usbDevice + QStringLiteral("/driver"))
            && writeFile(interface + QStringLiteral("/uevent"),
                         QStringLiteral("DEVTYPE=usb_interface\nDRIVER=cdc_acm\nPRODUCT=%1\nINTERFACE=2/2/1\n")
                             .arg(product))
            && makeLink(QStringLiteral("/sys/bus/usb"), interface + QStringLiteral("/subsystem"))
            && makeLink(QStringLiteral("/sys/bus/usb/drivers/cdc_acm"), interface + QStringLiteral("/driver"))
            && writeFile(tty + QStringLiteral("/uevent"),
                         QStringLiteral("MAJOR=%1\nMINOR=%2\nDEVNAME=%3\n").arg(kAcmMajor).arg(i).arg(name))
            && makeLink(interface, tty + QStringLiteral("/device"))
            && makeLink(kTtyClass, tty + QStringLiteral("/subsystem"))
            && makeLink(tty, kTtyClass + QLatin1Char('/') + name);
        if (!ok)
            return fail(QStringLiteral("cannot build the USB device of %1").arg(name));
    }
    return true;
}
