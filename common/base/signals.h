// The signal flags of a daemon: set from the handlers, read by its main
// loop, which decides what to do at a point of its own choosing.
#ifndef TARNWICK_COMMON_BASE_SIGNALS_H
#define TARNWICK_COMMON_BASE_SIGNALS_H

#include <atomic>

extern std::atomic<bool> stopRequested;    // SIGTERM, SIGINT
extern std::atomic<bool> reloadRequested;  // SIGHUP

// Installs the handlers above (without SA_RESTART, so a blocking poll or
// accept wakes up on the signal) and ignores SIGPIPE, so that a peer that
// went away makes a write fail instead of killing the process.
void InstallSignalHandlers();

#endif
