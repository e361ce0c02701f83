#include "PortListing.h"

#include <QSerialPortInfo>
#include <QStringList>
#include <QTextStream>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#else
#include <QSerialPort>
#endif

namespace PortListing {

namespace {

// The plug-in takes the last port whose manufacturer starts with this.
const QString kTurntableMaker = QStringLiteral("STMicroelectronics");
// The USB vendor id of STMicroelectronics.
const quint16 kTurntableVendorId = 0x0483;

#ifdef Q_OS_UNIX
// Where serial programs, Qt's included, leave "LCK..<port>" while they use a port.
const char *const kLockFolders[] = {"/var/lock", "/run/lock", "/var/spool/locks", "/var/spool/uucp",
                                    "/tmp", "/var/tmp"};

QString processName(qint64 pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return QStringLiteral("?");
    return QString::fromLocal8Bit(comm.readAll()).trimmed();
}

QString describeProcess(qint64 pid)
{
    return QStringLiteral("%1 (pid %2)").arg(processName(pid)).arg(pid);
}

// Other processes with the port open, as far as /proc lets this user see.
QStringList holders(const QString &systemLocation)
{
    QStringList found;
    const QString self = QString::number(::getpid());
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList({QStringLiteral("[0-9]*")}, QDir::Dirs);
    for (const QString &pid : pids) {
        if (pid == self)
            continue;
        const QFileInfoList descriptors = QDir(QStringLiteral("/proc/%1/fd").arg(pid))
                                              .entryInfoList(QDir::System | QDir::NoDotAndDotDot);
        for (const QFileInfo &descriptor : descriptors) {
            if (descriptor.symLinkTarget() == systemLocation) {
                found.append(describeProcess(pid.toLongLong()));
                break;
            }
        }
    }
    return found;
}

// A live lock file of another process, as Qt's own serial ports leave one.
QString lockHolder(const QString &systemLocation)
{
    const QString name = QStringLiteral("LCK..") + QFileInfo(systemLocation).fileName();
    for (const char *folder : kLockFolders) {
        const QString path = QString::fromLatin1(folder) + QLatin1Char('/') + name;
        if (!QFileInfo::exists(path))
            continue;
        qint64 pid = 0;
        QString host;
        QString application;
        QLockFile lock(path);
        if (lock.getLockInfo(&pid, &host, &application) && pid != ::getpid()
            && (::kill(pid_t(pid), 0) == 0 || errno == EPERM)) {
            return describeProcess(pid);
        }
    }
    return QString();
}

QString busy(const QString &systemLocation)
{
    QStringList held = holders(systemLocation);
    const QString locked = lockHolder(systemLocation);
    if (!locked.isEmpty() && !held.contains(locked))
        held.prepend(locked);
    return held.isEmpty() ? QStringLiteral("busy")
                          : QStringLiteral("busy, held by %1").arg(held.join(QStringLiteral(", ")));
}

// Serial ports belong to a group (dialout on Debian); its members may open them.
QString permissionDenied(const QString &systemLocation)
{
    struct stat status;
    if (::stat(QFile::encodeName(systemLocation).constData(), &status) != 0)
        return QStringLiteral("permission denied");
    const struct group *owner = ::getgrgid(status.st_gid);
    const bool groupMayOpen = (status.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    if (!owner || status.st_gid == 0 || !groupMayOpen)
        return QStringLiteral("permission denied");
    return QStringLiteral("permission denied (the port belongs to group %1)").arg(QString::fromLocal8Bit(owner->gr_name));
}

#endif // Q_OS_UNIX

QString ids(const QSerialPortInfo &port)
{
    if (!port.hasVendorIdentifier() || !port.hasProductIdentifier())
        return QStringLiteral("-");
    return QStringLiteral("%1:%2")
        .arg(port.vendorIdentifier(), 4, 16, QLatin1Char('0'))
        .arg(port.productIdentifier(), 4, 16, QLatin1Char('0'));
}

} // namespace

int portToTake(const QList<SerialPortCandidate> &ports, OrbistoPlatform::Platform platform)
{
    QString taken;
    const QList<SerialPortCandidate> scanned = OrbistoPlatform::scanCandidates(ports, platform);
    for (const SerialPortCandidate &port : scanned) {
        if (port.manufacturer.startsWith(kTurntableMaker, Qt::CaseSensitive))
            taken = port.systemLocation;
    }
    if (taken.isEmpty())
        return -1;
    const auto found = std::find_if(ports.cbegin(), ports.cend(),
                                    [&](const SerialPortCandidate &port) { return port.systemLocation == taken; });
    return int(found - ports.cbegin());
}

QString makerNote(bool hasVendorId, quint16 vendorId, const QString &manufacturer, HostPlatform::Platform platform)
{
    if (!hasVendorId || vendorId != kTurntableVendorId || manufacturer.startsWith(kTurntableMaker, Qt::CaseSensitive))
        return QString();
    const QString vendor = QStringLiteral("%1").arg(kTurntableVendorId, 4, 16, QLatin1Char('0'));
    const QString maker = manufacturer.isEmpty() ? QStringLiteral("no maker") : QStringLiteral("maker \"%1\"").arg(manufacturer);
    if (platform == HostPlatform::Platform::Windows) {
        return QStringLiteral("vendor id %1 is %2, but the driver names %3: the plug-in will not take this port; "
                              "installing %2's virtual COM port driver fixes that")
            .arg(vendor, kTurntableMaker, maker);
    }
    return QStringLiteral("vendor id %1 is %2, but the port names %3: the plug-in will not take this port")
        .arg(vendor, kTurntableMaker, maker);
}

#ifdef Q_OS_UNIX
QString accessProblem(const QString &systemLocation)
{
    // Non-blocking, so that a modem line without carrier does not hold us;
    // nothing is written and the line settings stay as they are.
    const int fd = ::open(QFile::encodeName(systemLocation).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        switch (errno) {
        case EACCES:
        case EPERM:
            return permissionDenied(systemLocation);
        case EBUSY:
            return busy(systemLocation);
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case EIO: // a terminal whose line was hung up under it
            return QStringLiteral("gone");
        default:
            return QString::fromLocal8Bit(std::strerror(errno));
        }
    }
    ::close(fd);
    // The kernel lets root past another program's exclusive hold; its lock file does not.
    const QString locked = lockHolder(systemLocation);
    return locked.isEmpty() ? QString() : QStringLiteral("busy, held by %1").arg(locked);
}
#else
QString accessProblem(const QString &systemLocation)
{
    // Windows has no lock files or /proc to ask. Opening the port through Qt
    // and closing it again writes nothing; Windows answers "access denied"
    // both for a port that another program holds and for one this user may
    // not open.
    QSerialPort port(systemLocation);
    if (port.open(QIODevice::ReadWrite)) {
        port.close();
        return QString();
    }
    switch (port.error()) {
    case QSerialPort::PermissionError:
        return QStringLiteral("busy or permission denied");
    case QSerialPort::DeviceNotFoundError:
        return QStringLiteral("gone");
    default:
        return port.errorString();
    }
}
#endif

int list(const QList<QSerialPortInfo> &ports, QTextStream &out)
{
    if (ports.isEmpty())
        out << "no serial ports\n";
    QList<SerialPortCandidate> candidates;
    QStringList problems;
    for (const QSerialPortInfo &port : ports) {
        candidates.append({port.systemLocation(), port.manufacturer()});
        const QString problem = accessProblem(port.systemLocation());
        problems.append(problem);
        const QString maker = port.manufacturer().isEmpty() ? QStringLiteral("-") : port.manufacturer();
        out << port.systemLocation() << "  " << maker << "  " << ids(port) << "  "
            << (problem.isEmpty() ? QStringLiteral("read-write ok") : QStringLiteral("cannot open: ") + problem)
            << '\n';
        const QString note = makerNote(port.hasVendorIdentifier(), port.vendorIdentifier(), port.manufacturer(),
                                         HostPlatform::current());
        if (!note.isEmpty())
            out << "  " << note << '\n';
    }
    const int candidate = portToTake(candidates, OrbistoPlatform::currentPlatform());
    if (candidate < 0) {
        out << "plug-in: would find no turntable: no port made by " << kTurntableMaker << '\n';
        return 1;
    }
    const QString location = candidates.at(candidate).systemLocation;
    if (!problems.at(candidate).isEmpty()) {
        out << "plug-in: would find no turntable: the last port made by " << kTurntableMaker << ", "
            << location << ", cannot be opened (" << problems.at(candidate) << ")\n";
        return 1;
    }
    out << "plug-in: would take " << location << '\n';
    return 0;
}

} // namespace PortListing
