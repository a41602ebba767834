// The milter host's settings, from its command line (main.cpp), read by
// the callbacks, the message table and the filter children.  Each value is
// written here once, with its default.
#ifndef TARNWICK_MILTER_SETTINGS_H
#define TARNWICK_MILTER_SETTINGS_H

#include <cstddef>
#include <string>

#include "milter/policy.h"
#include "milter/verdict.h"

namespace milter {

// In which order the filters are asked.  Serial: one after the other,
// stopping at the first reject or discard.  Parallel: all at once.
// Staggered: the first filter at once, the others as soon as it lets the
// message on or once it has taken longer than its usual refusal (a head
// start of 5 ms to 2 s, head_start.h).
enum class Order { Serial, Parallel, Staggered };

// The most --filter options the host takes; the figures keep a row for
// each.
constexpr size_t kMaxFilters = 4;

struct HostSettings {
    std::string baseDir;  // absolute; Queue/ lies under it
    // --timeout: the longest wait for the filters' answers to one message,
    // and how long a filter may hold a request before it is started again.
    int timeoutSec = 300;
    FailurePolicy onFailure;
    Order order = Order::Staggered;
    // Leave incoming fields named like the filters' own in the message.
    bool keepHeaderFields = false;
    // Score levels, holding infected mail, trusted senders: all off.
    PolicySettings policy;
};

}  // namespace milter

#endif
