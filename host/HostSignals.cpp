#include "HostSignals.h"

#include <QObject>

#include <memory>

#ifdef Q_OS_UNIX
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace HostSignals {

#ifdef Q_OS_UNIX
namespace {

// The handler may only do what is safe in a signal handler: it writes the
// signal's number to a pipe, which the event loop reads.
int signalPipe[2] = {-1, -1};
const int kSignalStatusBase = 128;

void onSignal(int number)
{
    const unsigned char byte = static_cast<unsigned char>(number);
    const int saved = errno;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

QString signalName(int number)
{
    switch (number) {
    case SIGINT:
        return QStringLiteral("SIGINT");
    case SIGTERM:
        return QStringLiteral("SIGTERM");
    case SIGHUP:
        return QStringLiteral("SIGHUP");
    }
    return QStringLiteral("signal %1").arg(number);
}

bool openPipe()
{
    // pipe2() is not on macOS; the flags are set one by one.
    if (::pipe(signalPipe) != 0)
        return false;
    for (const int fd : signalPipe) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    return true;
}

} // namespace

void watchInterruptions(QObject *context,
                        const std::function<void(int exitStatus, const QString &name)> &callback)
{
    if (signalPipe[0] < 0 && !openPipe())
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, context);
    auto ending = std::make_shared<bool>(false);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [callback, ending] {
        unsigned char byte = 0;
        while (::read(signalPipe[0], &byte, 1) == 1) {
            // A second signal of another kind; a second of the same kind
            // never gets here, its handler is back to the default.
            if (*ending)
                std::_Exit(kSignalStatusBase + byte);
            *ending = true;
            callback(kSignalStatusBase + byte, signalName(byte));
        }
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    // SA_RESETHAND: the first delivery puts the default action back, so a
    // second Ctrl-C ends the process even when the event loop is busy.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    for (const int number : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(number, &action, nullptr);
}
#else
void watchInterruptions(QObject *context,
                        const std::function<void(int exitStatus, const QString &name)> &callback)
{
    // Windows delivers no such signals to a Qt program; Ctrl-C ends it at once.
    Q_UNUSED(context)
    Q_UNUSED(callback)
}
#endif

} // namespace HostSignals
