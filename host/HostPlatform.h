#ifndef HOSTPLATFORM_H
#define HOSTPLATFORM_H

#include <QString>
#include <QStringList>

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

} // namespace HostPlatform

#endif // HOSTPLATFORM_H
