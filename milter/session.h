// The milter side: libmilter callbacks that spool each message while the
// MTA hands it over, ask every filter at end of message and turn their
// answers into the milter reply.  libmilter runs one thread per SMTP
// connection; each callback touches only its connection's state, and the
// wait for the filters blocks only that connection (keeping the MTA
// patient with progress notes every 10 s) and ends as soon as the answer is
// known; the queue file stays until the last filter is done with it.
#ifndef TARNWICK_MILTER_SESSION_H
#define TARNWICK_MILTER_SESSION_H

#include <string>

#include "milter/answer.h"
#include "milter/filters.h"

namespace milter {

struct HostSettings {
    std::string baseDir;  // absolute; Queue/ lies under it
    int timeoutSec = 300;
    FailurePolicy onFailure;
    // Leave incoming fields named like the filters' own in the message.
    bool keepHeaderFields = false;
};

// Registers the callbacks; settings and filters must outlive every
// callback, which libmilter may still be running after smfi_main() returns.
bool RegisterMilter(const HostSettings& settings, Filters& filters);

// After smfi_main() returned: waits up to timeoutMs for the messages whose
// answers are being awaited, so they are answered before the filters stop
// (Filters::AbandonAll() makes the rest answer with a temporary failure).
// Returns how many are still waiting.
int DrainMessages(int timeoutMs);

}  // namespace milter

#endif
