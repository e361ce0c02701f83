#ifndef TOOLSUPPORT_H
#define TOOLSUPPORT_H

#include <QCommandLineOption>

#include <functional>

QT_BEGIN_NAMESPACE
class QCommandLineParser;
class QString;
QT_END_NAMESPACE

// What orbisto-simulator and orbisto-usb-sandbox share.
namespace ToolSupport {

// The exit status for options that cannot be used.
const int kBadUsage = 2;

// Calls onSignal(number) from the event loop when the process gets SIGINT,
// SIGTERM or SIGHUP (its terminal was closed). The handler itself only writes
// to a pipe; handlers go back to the defaults in programs this process
// starts, and no signal is blocked.
void watchTerminationSignals(const std::function<void(int)> &onSignal);

// --hang-up-after SECONDS: when to hang the line up, as a pulled cable does.
QCommandLineOption hangUpAfterOption(const QString &what);
// The delay in milliseconds, -1 when the option is not given; false with a
// one-line reason when its value is not a number of seconds from 0 to a day.
bool hangUpDelay(const QCommandLineParser &parser, const QCommandLineOption &option, int *milliseconds,
                 QString *reason);

} // namespace ToolSupport

#endif // TOOLSUPPORT_H
