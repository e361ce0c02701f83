#include "HostPlatform.h"

namespace HostPlatform {

Platform current()
{
#ifdef Q_OS_WIN
    return Platform::Windows;
#else
    // Linux, macOS and the other Unix systems have a POSIX shell.
    return Platform::Unix;
#endif
}

ShellInvocation shellFor(Platform platform, const QString &command)
{
    switch (platform) {
    case Platform::Windows:
        return {QStringLiteral("cmd.exe"), {}, QStringLiteral("/c ") + command};
    case Platform::Unix:
        break;
    }
    return {QStringLiteral("/bin/sh"), {QStringLiteral("-c"), command}, QString()};
}

} // namespace HostPlatform
