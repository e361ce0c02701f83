#include "HostSignals.h"

#include <QObject>

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

// The handlers may only do what is safe in a signal handler: the first
// signal's number goes to a pipe, which the event loop reads, and starts the
// clock of the ending.
int signalPipe[2] = {-1, -1};
volatile sig_atomic_t firstSignal = 0;
const int kSignalStatusBase = 128;

void onSignal(int number)
{
    // The ending is bounded, so a second signal has nothing to hurry.
    if (firstSignal != 0)
        return;
    firstSignal = number;
    ::alarm(kEndingLimitSeconds);
    const unsigned char byte = static_cast<unsigned char>(number);
    const int saved = errno;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

// The ending ran over its time: the host goes at once, with the status the
// first signal asked for.
void onEndingOverdue(int)
{
    std::_Exit(kSignalStatusBase + firstSignal);
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

void catchInterruptions()
{
    if (signalPipe[0] >= 0 || !openPipe())
        return;
    struct sigaction action = {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    action.sa_handler = onEndingOverdue;
    ::sigaction(SIGALRM, &action, nullptr);
    // Each handler runs with the other two held back, so exactly one is first.
    for (const int number : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&action.sa_mask, number);
    action.sa_handler = onSignal;
    for (const int number : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(number, &action, nullptr);
}

void watchInterruptions(QObject *context,
                        const std::function<void(int exitStatus, const QString &name)> &callback)
{
    catchInterruptions();
    if (signalPipe[0] < 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [callback] {
        // Only the first signal is ever written.
        unsigned char byte = 0;
        if (::read(signalPipe[0], &byte, 1) == 1)
            callback(kSignalStatusBase + byte, signalName(byte));
    });
}
#else
void catchInterruptions() {}

void watchInterruptions(QObject *context,
                        const std::function<void(int exitStatus, const QString &name)> &callback)
{
    // Windows delivers no such signals to a Qt program; Ctrl-C ends it at once.
    Q_UNUSED(context)
    Q_UNUSED(callback)
}
#endif

QString signalName(int number)
{
#ifdef Q_OS_UNIX
    static const struct
    {
        int number;
        const char *name;
    } kNames[] = {
        {SIGHUP, "SIGHUP"},   {SIGINT, "SIGINT"},   {SIGQUIT, "SIGQUIT"}, {SIGILL, "SIGILL"},
        {SIGTRAP, "SIGTRAP"}, {SIGABRT, "SIGABRT"}, {SIGBUS, "SIGBUS"},   {SIGFPE, "SIGFPE"},
        {SIGKILL, "SIGKILL"}, {SIGUSR1, "SIGUSR1"}, {SIGSEGV, "SIGSEGV"}, {SIGUSR2, "SIGUSR2"},
        {SIGPIPE, "SIGPIPE"}, {SIGALRM, "SIGALRM"}, {SIGTERM, "SIGTERM"}, {SIGXCPU, "SIGXCPU"},
        {SIGXFSZ, "SIGXFSZ"}, {SIGSYS, "SIGSYS"},
    };
    for (const auto &entry : kNames) {
        if (entry.number == number)
            return QLatin1String(entry.name);
    }
#endif
    return QStringLiteral("signal %1").arg(number);
}

} // namespace HostSignals
