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

// Calls onSignal(exitStatus, name) from the event loop for the first of these
// signals, with the status a shell reports for it (130, 143, 129). A second
// one ends the process at once. Windows has none of these signals: there
// Ctrl-C ends a console program at once, without the controller's goodbye.
void watchInterruptions(QObject *context,
                        const std::function<void(int exitStatus, const QString &name)> &onSignal);

} // namespace HostSignals

#endif // HOSTSIGNALS_H
