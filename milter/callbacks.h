// The milter side: the callbacks of an MTA session (mta_server.h) that
// spool each message while the MTA hands it over, ask every filter at end
// of message and turn their answers into the milter reply.  Each session
// runs on its own thread; each callback touches only its session's state,
// and the wait for the filters blocks only that session (keeping the MTA
// patient with progress notes every 10 s) and ends as soon as the answer
// is known; the queue file stays until the last filter is done with it.
//
// The end of a message runs in three steps: commit (the queue file made
// whole under its final name), ask (the filters, in the order of the
// settings, until the answer is known) and apply (the verdict turned into
// the milter reply and the header changes).
#ifndef TARNWICK_MILTER_CALLBACKS_H
#define TARNWICK_MILTER_CALLBACKS_H

#include "milter/filters.h"
#include "milter/mta_server.h"
#include "milter/settings.h"

namespace milter {

// The sessions' handlers; settings and filters must outlive every
// session.
MtaServer::Factory HostSessions(const HostSettings& settings, Filters& filters);

// After the sessions were cut off: waits up to timeoutMs for the messages
// whose answers are being awaited, so they are answered before the filters
// stop (Filters::AbandonAll() makes the rest answer with a temporary
// failure).  Returns how many are still waiting.
int DrainMessages(int timeoutMs);

}  // namespace milter

#endif
