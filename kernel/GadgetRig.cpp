#include "GadgetRig.h"

#include "SimulatedTurntable.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

const QString kGadgets = QStringLiteral("/sys/kernel/config/usb_gadget");
const QString kControllerPrefix = QStringLiteral("dummy_udc.");
const QString kTtyClass = QStringLiteral("/sys/class/tty");
const QString kUdevData = QStringLiteral("/run/udev/data/c");
// Enumeration and udev's rules take a few seconds in an emulated guest.
const int kEnumerationTimeoutMs = 30000;
const int kPollMs = 20;
// US English, the language every host reads the strings in.
const char kStringsLanguage[] = "strings/0x409";

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// configfs and sysfs attributes take one write, without truncation.
bool writeAttribute(const QString &path, const QByteArray &value, QString *error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CLOEXEC);
    const bool written = fd >= 0 && ::write(fd, value.constData(), size_t(value.size())) == value.size();
    if (!written)
        *error = path + QStringLiteral(": ") + systemError();
    if (fd >= 0)
        ::close(fd);
    return written;
}

QByteArray readAttribute(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray();
}

QByteArray hex(quint16 id)
{
    return "0x" + QByteArray::number(id, 16).rightJustified(4, '0');
}

} // namespace

QString GadgetRig::unavailableReason()
{
    if (::geteuid() != 0)
        return QStringLiteral("USB gadgets need root");
    if (!QFileInfo(kGadgets).isDir())
        return QStringLiteral("no %1: run in a guest of kernel/kernel-rig.sh").arg(kGadgets);
    if (!QFileInfo(QStringLiteral("/sys/class/udc/") + kControllerPrefix + QLatin1Char('0')).exists())
        return QStringLiteral("no dummy_udc.0: dummy_hcd is not loaded");
    return QString();
}

bool GadgetRig::waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QEventLoop loop;
        QTimer::singleShot(kPollMs, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

GadgetRig::GadgetRig(const QList<Turntable> &turntables)
{
    m_errorString = unavailableReason();
    if (!isReady())
        return;
    m_gadgets.resize(size_t(turntables.size()));
    for (int i = 0; i < turntables.size(); ++i) {
        if (!create(m_gadgets[size_t(i)], i, turntables.at(i)))
            return;
    }
    for (int i = 0; i < turntables.size(); ++i) {
        if (!plugIn(i))
            return;
    }
}

GadgetRig::~GadgetRig()
{
    for (Gadget &gadget : m_gadgets)
        remove(gadget);
}

bool GadgetRig::create(Gadget &gadget, int index, const Turntable &turntable)
{
    // Names are never reused, so a gadget a failed run left behind is no obstacle.
    static int made = 0;
    const QString name = QStringLiteral("orbisto%1").arg(++made);
    gadget.path = kGadgets + QLatin1Char('/') + name;
    gadget.controller = kControllerPrefix + QString::number(index);
    gadget.serialNumber = QStringLiteral("ORB%1").arg(made, 6, 10, QLatin1Char('0'));
    QDir dir;
    QString error;
    if (!dir.mkdir(gadget.path))
        return fail(QStringLiteral("cannot make the gadget %1").arg(gadget.path));
    const QString strings = gadget.path + QLatin1Char('/') + QLatin1String(kStringsLanguage);
    const QString config = gadget.path + QStringLiteral("/configs/c.1");
    gadget.function = gadget.path + QStringLiteral("/functions/acm.") + name;
    if (!dir.mkdir(strings) || !dir.mkdir(config) || !dir.mkdir(gadget.function))
        return fail(QStringLiteral("cannot make the parts of %1").arg(gadget.path));
    const bool described = writeAttribute(gadget.path + QStringLiteral("/idVendor"), hex(turntable.vendorId), &error)
        && writeAttribute(gadget.path + QStringLiteral("/idProduct"), hex(turntable.productId), &error)
        && writeAttribute(strings + QStringLiteral("/manufacturer"), turntable.manufacturer.toUtf8(), &error)
        && writeAttribute(strings + QStringLiteral("/product"), "Orbisto turntable", &error)
        && writeAttribute(strings + QStringLiteral("/serialnumber"), gadget.serialNumber.toUtf8(), &error);
    if (!described)
        return fail(error);
    if (::symlink(QFile::encodeName(gadget.function).constData(),
                  QFile::encodeName(config + QStringLiteral("/acm.") + name).constData())
        != 0)
        return fail(QStringLiteral("cannot link the serial function: %1").arg(systemError()));
    const QByteArray port = readAttribute(gadget.function + QStringLiteral("/port_num"));
    if (port.isEmpty())
        return fail(QStringLiteral("the serial function of %1 has no port").arg(gadget.path));
    gadget.deviceNode = QStringLiteral("/dev/ttyGS") + QString::fromLatin1(port);
    return true;
}

bool GadgetRig::plugIn(int index)
{
    Gadget &gadget = m_gadgets.at(size_t(index));
    // The device side listens before the host side can say anything.
    gadget.turntable = std::make_unique<SimulatedTurntable>(gadget.deviceNode);
    if (!gadget.turntable->isOpen())
        return fail(gadget.turntable->errorString());
    QString error;
    if (!writeAttribute(gadget.path + QStringLiteral("/UDC"), gadget.controller.toLatin1(), &error))
        return fail(error);
    const bool described = waitUntil([&] {
        gadget.hostNode = describedNode(gadget.serialNumber);
        return !gadget.hostNode.isEmpty();
    }, kEnumerationTimeoutMs);
    if (!described)
        return fail(QStringLiteral("no node described by udev for %1 within %2 ms")
                        .arg(gadget.path).arg(kEnumerationTimeoutMs));
    return true;
}

bool GadgetRig::unplug(int index)
{
    return unplug(m_gadgets.at(size_t(index)));
}

bool GadgetRig::unplug(Gadget &gadget)
{
    const QString sysfsNode = kTtyClass + QLatin1Char('/') + QFileInfo(gadget.hostNode).fileName();
    // The next gadget may get the same node: what udev wrote about this one
    // must be gone first, or the next one would look described before it is.
    const QString udevEntry = kUdevData + QString::fromLatin1(readAttribute(sysfsNode + QStringLiteral("/dev")));
    QString error;
    if (!writeAttribute(gadget.path + QStringLiteral("/UDC"), "\n", &error))
        return fail(error);
    if (!waitUntil([&] { return !QFileInfo::exists(sysfsNode) && !QFileInfo::exists(udevEntry); },
                   kEnumerationTimeoutMs))
        return fail(QStringLiteral("%1 stayed after its gadget was unplugged").arg(gadget.hostNode));
    gadget.hostNode.clear();
    return true;
}

// The ttyACM node whose USB device has this serial number, once udev has
// written what it found out about it; empty until then.
QString GadgetRig::describedNode(const QString &serialNumber) const
{
    const QStringList nodes = QDir(kTtyClass).entryList({QStringLiteral("ttyACM*")}, QDir::AllEntries | QDir::System);
    for (const QString &node : nodes) {
        const QString tty = kTtyClass + QLatin1Char('/') + node;
        // device is the USB interface; the USB device is its parent.
        const QString interface = QFileInfo(tty + QStringLiteral("/device")).canonicalFilePath();
        if (interface.isEmpty() || readAttribute(interface + QStringLiteral("/../serial")) != serialNumber.toLatin1())
            continue;
        const QByteArray data = readAttribute(kUdevData + QString::fromLatin1(readAttribute(tty + QStringLiteral("/dev"))));
        const QString path = QStringLiteral("/dev/") + node;
        if (data.contains("E:ID_VENDOR=") && QFileInfo::exists(path))
            return path;
    }
    return QString();
}

void GadgetRig::remove(Gadget &gadget)
{
    if (gadget.path.isEmpty())
        return;
    if (!gadget.hostNode.isEmpty())
        unplug(gadget);
    gadget.turntable.reset();
    const QString name = QFileInfo(gadget.path).fileName();
    ::unlink(QFile::encodeName(gadget.path + QStringLiteral("/configs/c.1/acm.") + name).constData());
    QDir dir;
    for (const QString &part : {gadget.path + QStringLiteral("/configs/c.1"), gadget.function,
                                gadget.path + QLatin1Char('/') + QLatin1String(kStringsLanguage), gadget.path})
        dir.rmdir(part);
}

bool GadgetRig::fail(const QString &what)
{
    if (m_errorString.isEmpty())
        m_errorString = what;
    return false;
}
