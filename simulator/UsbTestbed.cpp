#include "UsbTestbed.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>

#include <umockdev.h>

#include <cerrno>
#include <cstring>
#include <link.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

namespace {

const char kPreloadVariable[] = "LD_PRELOAD";
// The character-device major of USB ACM ports.
const int kAcmMajor = 166;
const int kUsbBus = 9;
const char kProduct[] = "Orbisto Turntable";
// The kernel makes at most this many ACM ports.
const int kAcmPorts = 256;

QString portName(int number)
{
    return QStringLiteral("ttyACM%1").arg(number);
}

// Whether the system has this node or a serial program has locked its name.
bool isTakenOnSystem(int number)
{
    struct stat status;
    if (::lstat(QFile::encodeName(QStringLiteral("/dev/") + portName(number)).constData(), &status) == 0)
        return true;
    const QStringList folders = UsbTestbed::lockFolders();
    for (const QString &folder : folders) {
        if (::lstat(QFile::encodeName(folder + QStringLiteral("/LCK..") + portName(number)).constData(), &status) == 0)
            return true;
    }
    return false;
}

QString hex4(quint16 value)
{
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
}

// udev's encoding of a property value: blanks become '_' (Qt turns them back).
QString propertyValue(const QString &text)
{
    QString value = text;
    for (QChar &c : value) {
        if (c.isSpace())
            c = QLatin1Char('_');
    }
    return value;
}

// A sysfs attribute as the kernel writes it, with a newline, in the escaped
// form of a testbed description.
QString attributeValue(const QString &text)
{
    return QString(text).replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('\n'), QLatin1String("\\n"))
        + QStringLiteral("\\n");
}

// The AddressSanitizer runtime this program runs with; empty without one.
QByteArray sanitizerRuntime()
{
    QByteArray found;
    ::dl_iterate_phdr(
        [](dl_phdr_info *info, size_t, void *data) {
            const QByteArray path(info->dlpi_name);
            const QByteArray name = path.mid(path.lastIndexOf('/') + 1);
            if (!name.startsWith("libasan.so") && !name.startsWith("libclang_rt.asan"))
                return 0;
            *static_cast<QByteArray *>(data) = path;
            return 1;
        },
        &found);
    return found;
}

} // namespace

const char UsbTestbed::kPreload[] = "libumockdev-preload.so.0";

UsbTestbed::PortNumber::PortNumber(int socket, int number)
    : m_socket(socket)
    , m_number(number)
{
}

UsbTestbed::PortNumber::~PortNumber()
{
    ::close(m_socket);
}

std::unique_ptr<UsbTestbed::PortNumber> UsbTestbed::PortNumber::claimFree(int from)
{
    for (int number = from; number < kAcmPorts; ++number) {
        if (isTakenOnSystem(number))
            continue;
        const int socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (socket < 0)
            return nullptr;
        // An abstract name (a leading NUL): no file, seen by every process
        // of the machine's network namespace, gone with its socket.
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray name = "orbisto-usb-testbed/" + portName(number).toLatin1();
        std::memcpy(address.sun_path + 1, name.constData(), size_t(name.size()));
        const socklen_t length = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + size_t(name.size()));
        // A lock taken meanwhile wins: its owner checked for no claim.
        if (::bind(socket, reinterpret_cast<const sockaddr *>(&address), length) == 0 && !isTakenOnSystem(number))
            return std::unique_ptr<PortNumber>(new PortNumber(socket, number));
        ::close(socket);
    }
    return nullptr;
}

// Qt's serial port looks in this order and locks in the first folder it may write to.
QStringList UsbTestbed::lockFolders()
{
    static const QStringList candidates = {
        QStringLiteral("/var/lock"),       QStringLiteral("/etc/locks"), QStringLiteral("/var/spool/locks"),
        QStringLiteral("/var/spool/uucp"), QStringLiteral("/tmp"),       QStringLiteral("/var/tmp"),
        QStringLiteral("/var/lock/lockdev"), QStringLiteral("/run/lock"),
    };
    return candidates;
}

void UsbTestbed::Unref::operator()(UMockdevTestbed *testbed) const
{
    g_object_unref(testbed);
}

UsbTestbed::UsbTestbed()
    : m_testbed(umockdev_testbed_new())
{
    gchar *root = umockdev_testbed_get_root_dir(m_testbed.get());
    m_root = QFile::decodeName(root);
    g_free(root);
    // Programs may run as another user inside the testbed (as one without
    // permission for the port, say); they must still see its devices, and the
    // preload must reach the socket through which umockdev answers a device
    // node's ioctls, or it ends the program.
    ::chmod(QFile::encodeName(m_root).constData(), 0755);
    ::chmod(QFile::encodeName(m_root + QStringLiteral("/ioctl/_default")).constData(), 0666);
}

UsbTestbed::~UsbTestbed() = default;

QString UsbTestbed::deviceNode(int index) const
{
    if (index < 0 || index >= int(m_numbers.size()))
        return {};
    return QStringLiteral("/dev/") + portName(m_numbers.at(size_t(index))->number());
}

// The layout the kernel gives a CDC ACM port: a USB device with its maker and
// ids, an interface bound to cdc_acm, and the tty below it with the
// properties udev gives it.
bool UsbTestbed::add(const Device &device)
{
    const int index = m_devices.size();
    std::unique_ptr<PortNumber> number =
        PortNumber::claimFree(m_numbers.empty() ? 0 : m_numbers.back()->number() + 1);
    if (!number) {
        m_errorString = QStringLiteral("cannot add a port to the testbed: every ttyACM number is taken");
        return false;
    }
    const int port = number->number();
    const QString usbName = QStringLiteral("%1-%2").arg(kUsbBus).arg(index + 1);
    const QString usbDevice = QStringLiteral("/devices/usb%1/%2").arg(kUsbBus).arg(usbName);
    const QString interface = QStringLiteral("%1/%2:1.0").arg(usbDevice, usbName);
    const QString name = portName(port);
    const QString tty = QStringLiteral("%1/tty/%2").arg(interface, name);
    const QString product = QStringLiteral("%1/%2/200").arg(device.vendorId, 0, 16).arg(device.productId, 0, 16);
    const QString description =
        // The maker's text goes in last, so that a '%' in it is never taken for a place of its own.
        QStringLiteral("P: %2\n"
                       "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: PRODUCT=%3\n"
                       "A: product=%4\nA: idVendor=%5\nA: idProduct=%6\nA: serial=ORBSIM%1\\n\nA: manufacturer=%7\n"
                       "\n")
            .arg(index)
            .arg(usbDevice, product, attributeValue(QString::fromLatin1(kProduct)), hex4(device.vendorId),
                 hex4(device.productId), attributeValue(device.manufacturer))
        + QStringLiteral("P: %1\n"
                         "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nE: DRIVER=cdc_acm\nE: PRODUCT=%2\n"
                         "E: INTERFACE=2/2/1\n"
                         "\n")
              .arg(interface, product)
        + QStringLiteral("P: %1\n"
                         "E: SUBSYSTEM=tty\nE: DEVNAME=/dev/%2\nE: MAJOR=%3\nE: MINOR=%4\n"
                         "E: ID_BUS=usb\nE: ID_VENDOR=%5\nE: ID_VENDOR_ID=%6\nE: ID_MODEL=%7\nE: ID_MODEL_ID=%8\n"
                         "E: ID_SERIAL_SHORT=ORBSIM%4\nE: ID_USB_DRIVER=cdc_acm\n"
                         "A: dev=%3:%4\nL: device=../..\n")
              .arg(tty, name)
              .arg(kAcmMajor)
              .arg(port)
              .arg(propertyValue(device.manufacturer), hex4(device.vendorId),
                   propertyValue(QString::fromLatin1(kProduct)), hex4(device.productId));
    GError *error = nullptr;
    if (!umockdev_testbed_add_from_string(m_testbed.get(), description.toUtf8().constData(), &error)) {
        m_errorString = QStringLiteral("cannot add %1 to the testbed: %2").arg(name, QString::fromUtf8(error->message));
        g_error_free(error);
        return false;
    }
    // Children first: removing a device takes its children's folders but
    // leaves their links and nodes behind.
    m_devices.append({QStringLiteral("/sys") + tty, QStringLiteral("/sys") + interface,
                      QStringLiteral("/sys") + usbDevice});
    m_numbers.push_back(std::move(number));
    if (device.node.isEmpty())
        return true;
    // umockdev could back the node with a pty of its own, but it holds that
    // pty's master open until the testbed goes, so a pulled cable could never
    // hang the line up. The node leads to the simulated turntable's pty instead.
    const QString node = m_root + QStringLiteral("/dev/") + name;
    if (!QDir().mkpath(QFileInfo(node).path()) || !QFile::link(device.node, node)) {
        m_errorString = QStringLiteral("cannot make %1 in the testbed").arg(deviceNode(index));
        return false;
    }
    return true;
}

void UsbTestbed::remove(int index)
{
    if (index < 0 || index >= m_devices.size())
        return;
    for (const QString &path : std::as_const(m_devices[index]))
        umockdev_testbed_remove_device(m_testbed.get(), QFile::encodeName(path).constData());
    m_devices[index].clear();
}

QProcessEnvironment UsbTestbed::environment(const QProcessEnvironment &base, const QByteArray &runtime) const
{
    QProcessEnvironment environment = base;
    environment.insert(QStringLiteral("UMOCKDEV_DIR"), m_root);
    environment.insert(QString::fromLatin1(kPreloadVariable),
                       QString::fromLocal8Bit(
                           preloadList(base.value(QString::fromLatin1(kPreloadVariable)).toLocal8Bit(), runtime)));
    // The sanitizer runtime then runs in every program, ours or not: a crash
    // must still end a program by its signal, as a shell reports it. Options
    // given already come later and win.
    if (!runtime.isEmpty() || !sanitizerRuntime().isEmpty()) {
        const QString options = QStringLiteral("ASAN_OPTIONS");
        environment.insert(options, QStringLiteral("handle_segv=0:handle_sigbus=0:handle_sigfpe=0:")
                                        + base.value(options));
    }
    return environment;
}

// AddressSanitizer must be the first library a program loads, and a preload
// comes before any library the program itself names. So in a sanitizer build
// the runtime this program runs with is preloaded first, then umockdev's
// preload; the programs run there are built alike.
QByteArray UsbTestbed::preloadList(const QByteArray &current, const QByteArray &runtime)
{
    QList<QByteArray> first;
    const QByteArray own = sanitizerRuntime();
    if (!own.isEmpty())
        first.append(own);
    else if (!runtime.isEmpty())
        first.append(runtime);
    first.append(kPreload);
    QList<QByteArray> rest;
    const QList<QByteArray> given = current.simplified().replace(':', ' ').split(' ');
    for (const QByteArray &entry : given) {
        if (!entry.isEmpty() && !first.contains(entry))
            rest.append(entry);
    }
    return (first + rest).join(' ');
}
