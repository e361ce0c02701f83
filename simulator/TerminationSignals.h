#ifndef TERMINATIONSIGNALS_H
#define TERMINATIONSIGNALS_H

#include <functional>

// Calls onSignal(number) from the event loop when the process gets SIGINT or
// SIGTERM. The handler itself only writes to a pipe; handlers go back to the
// defaults in programs this process starts, and no signal is blocked.
void watchTerminationSignals(const std::function<void(int)> &onSignal);

#endif // TERMINATIONSIGNALS_H
