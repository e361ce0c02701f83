#ifndef HOSTPLATFORM_H
#define HOSTPLATFORM_H

#include <QString>
#include <QStringList>

#include <type_traits>

// Where the reference host differs between platforms, as decisions with the
// platform as a parameter; the Q_OS_* branch only picks the platform.
namespace HostPlatform {

enum class Platform { Unix, Windows };

// The platform this host was built for.
Platform current();

// How to run a user's command line through the platform's shell.
struct ShellInvocation
{
    QString program;
    QStringList arguments;
    // The command line as the shell gets it on Windows, where QProcess's
    // quoting is not cmd's and the text must go through as typed; empty elsewhere.
    QString nativeArguments;
};

ShellInvocation shellFor(Platform platform, const QString &command);

// A file's modification time in nanoseconds since the epoch, from the
// platform's stat record: POSIX names the field st_mtim, Apple st_mtimespec.
// Chosen by what the record holds, so every layout compiles and runs anywhere.
template<typename Stat, typename = void>
struct HasPosixModificationTime : std::false_type
{
};
template<typename Stat>
struct HasPosixModificationTime<Stat, std::void_t<decltype(std::declval<Stat>().st_mtim)>>
    : std::true_type
{
};

template<typename Stat>
qint64 modifiedNanoseconds(const Stat &status)
{
    constexpr qint64 kNanosecondsPerSecond = 1000000000;
    if constexpr (HasPosixModificationTime<Stat>::value)
        return qint64(status.st_mtim.tv_sec) * kNanosecondsPerSecond + qint64(status.st_mtim.tv_nsec);
    else
        return qint64(status.st_mtimespec.tv_sec) * kNanosecondsPerSecond
            + qint64(status.st_mtimespec.tv_nsec);
}

} // namespace HostPlatform

#endif // HOSTPLATFORM_H
