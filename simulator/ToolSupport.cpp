#include "ToolSupport.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int number)
{
    const unsigned char byte = static_cast<unsigned char>(number);
    const int saved = errno;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

const double kMaxHangUpSeconds = 24 * 60 * 60;

} // namespace

namespace ToolSupport {

void watchTerminationSignals(const std::function<void(int)> &callback)
{
    if (signalPipe[0] < 0 && ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [callback] {
        unsigned char byte = 0;
        while (::read(signalPipe[0], &byte, 1) == 1)
            callback(byte);
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(number, &action, nullptr);
}

QCommandLineOption hangUpAfterOption(const QString &what)
{
    return QCommandLineOption({QStringLiteral("hang-up-after")},
                              QStringLiteral("Hang %1 up after this many seconds, as a pulled cable does.").arg(what),
                              QStringLiteral("seconds"));
}

bool hangUpDelay(const QCommandLineParser &parser, const QCommandLineOption &option, int *milliseconds,
                 QString *reason)
{
    *milliseconds = -1;
    if (!parser.isSet(option))
        return true;
    bool ok = false;
    const double seconds = parser.value(option).toDouble(&ok);
    if (!ok || seconds < 0 || seconds > kMaxHangUpSeconds) {
        *reason = QStringLiteral("--hang-up-after takes seconds from 0 to %1, not '%2'")
                      .arg(kMaxHangUpSeconds)
                      .arg(parser.value(option));
        return false;
    }
    *milliseconds = int(seconds * 1000);
    return true;
}

} // namespace ToolSupport
