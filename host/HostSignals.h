#ifndef HOSTSIGNALS_H
#define HOSTSIGNALS_H

#include <QString>

#include <functional>

QT_BEGIN_NAMESPACE
class QObject;
QT_END_NAMESPACE

// Ctrl-C, SIGTERM and SIGHUP, delivered to the event loop so that a capture
// they interrupt ends as a normal end does: the controller destroyed, the snap
// command stopped.
namespace HostSignals {

// The longest an ending started by one of these signals may take. A later
// signal cannot cut the ending short (the controller's goodbye to the
// turntable would be lost), so past this the host exits at once.
const int kEndingLimitSeconds = 3;

// Catches the three signals from now on: the first starts the ending, later
// ones are ignored. Call it before the controller exists, so that no signal
// ends the host between the turntable's hello and its goodbye.
void catchInterruptions();

// Calls onSignal(exitStatus, name) from the event loop for the first of these
// signals, even one caught before, with the status a shell reports for it
// (130, 143, 129). Windows has none of these signals: there Ctrl-C ends a
// console program at once, without the controller's goodbye.
void watchInterruptions(QObject *context,
                        const std::function<void(int exitStatus, const QString &name)> &onSignal);

// "SIGSEGV" and the like; "signal N" for one without a name here.
QString signalName(int number);

} // namespace HostSignals

#endif // HOSTSIGNALS_H
