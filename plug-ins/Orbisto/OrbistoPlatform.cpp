#include "OrbistoPlatform.h"

#include <QtGlobal>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <poll.h>
#endif

namespace OrbistoPlatform {

namespace {

const QString kCallOutPrefix = QStringLiteral("/dev/cu.");
const QString kCallInPrefix = QStringLiteral("/dev/tty.");

} // namespace

Platform currentPlatform()
{
#if defined(Q_OS_WIN)
    return Platform::Windows;
#elif defined(Q_OS_MACOS)
    return Platform::MacOS;
#else
    return Platform::Linux;
#endif
}

bool lineHungUp(const QSerialPort &port)
{
#ifdef Q_OS_UNIX
    // A hung-up terminal polls as ready with POLLHUP or POLLERR; a closed one as POLLNVAL.
    pollfd line = {int(port.handle()), 0, 0};
    return ::poll(&line, 1, 0) > 0 && (line.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
#else
    // Windows' serial handles have no hang-up to poll for; isDeviceGone() goes by the error alone.
    Q_UNUSED(port);
    return false;
#endif
}

bool isDeviceGone(QSerialPort::SerialPortError error, bool lineHungUp, Platform platform)
{
    switch (platform) {
    case Platform::Windows:
        // What a vanished device reports depends on its USB driver and on
        // where Qt meets the error. An overlapped read or write that fails
        // gives ResourceError (ERROR_DEVICE_REMOVED, ERROR_BAD_COMMAND, ...),
        // PermissionError (ERROR_ACCESS_DENIED), DeviceNotFoundError
        // (ERROR_FILE_NOT_FOUND, ...) or, for any other code such as the
        // ERROR_GEN_FAILURE of USB serial drivers, UnknownError. A read that
        // cannot even start reports ReadError, a write WriteError. Windows has
        // no hang-up to consult, and on a port that is already open each of
        // these means it is gone.
        return error == QSerialPort::ResourceError || error == QSerialPort::PermissionError
            || error == QSerialPort::DeviceNotFoundError || error == QSerialPort::UnknownError
            || error == QSerialPort::ReadError || error == QSerialPort::WriteError;
    case Platform::Linux:
    case Platform::MacOS:
        // A pulled cable shows as ResourceError (macOS reports ENXIO so too),
        // or as a read or write error with the line hung up underneath;
        // ordinary errors leave the line as it was.
        if (error == QSerialPort::ResourceError)
            return true;
        return (error == QSerialPort::ReadError || error == QSerialPort::WriteError) && lineHungUp;
    }
    return false;
}

QList<SerialPortCandidate> scanCandidates(const QList<SerialPortCandidate> &ports, Platform platform)
{
    if (platform != Platform::MacOS)
        return ports;
    QList<SerialPortCandidate> kept;
    for (const SerialPortCandidate &port : ports) {
        if (port.systemLocation.startsWith(kCallInPrefix)) {
            const QString twin = kCallOutPrefix + port.systemLocation.mid(kCallInPrefix.size());
            const bool hasTwin = std::any_of(ports.cbegin(), ports.cend(), [&](const SerialPortCandidate &other) {
                return other.systemLocation == twin && other.manufacturer == port.manufacturer;
            });
            if (hasTwin)
                continue;
        }
        kept.append(port);
    }
    return kept;
}

} // namespace OrbistoPlatform
