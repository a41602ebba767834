// One request and its reply over one connection to a member of a pool
// (spamd, rspamd): connects, sends the request, reads the reply with the
// protocol's parser until it is complete, all before a deadline; and the
// one rule by which text from such a daemon goes into a reply or a log.
//
// Inputs: the member's address, the request, the daemon's reply (hostile:
// any bytes).  Limits: a reply longer than ExchangeRules::maxReply is a
// protocol error.
#ifndef TARNWICK_ENGINES_KIT_EXCHANGE_H
#define TARNWICK_ENGINES_KIT_EXCHANGE_H

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "engines/kit/member_address.h"

namespace engined {

// What a protocol's parser makes of the reply so far.
enum class ReplyStatus { kIncomplete, kComplete, kBad };

enum class ExchangeFailure {
    kNone,
    kUnreachable,  // nothing listens at the address
    kNetwork,      // the connection broke during the exchange, or the daemon
                   // closed it unanswered or in the middle of its reply
    kTimeout,      // the time limit ran out
    kProtocol,     // the daemon refused the request or answered something unreadable
};

struct ExchangeResult {
    ExchangeFailure failure = ExchangeFailure::kNone;
    std::string what;  // the reason, when failure is not kNone
    // The connection was made: a time-out after it is a daemon that took
    // the request and did not answer, not a busy one.
    bool connected = false;
};

// maxReply: the longest reply read; halfClose shuts the sending side once
// the request is out.
struct ExchangeRules {
    size_t maxReply;
    bool halfClose;
};
// Reads the reply so far; endOfStream says nothing more will come.  kBad
// leaves the reason in problem.
using ReplyParser =
    std::function<ReplyStatus(const std::string& reply, bool endOfStream, std::string& problem)>;

// peer names the daemon in the reasons ("spamd").
ExchangeResult Exchange(const MemberAddress& address, const char* peer, const std::string& request,
                        std::chrono::steady_clock::time_point deadline, const ExchangeRules& rules,
                        const ReplyParser& parse);

// Text of a daemon's reply fit for a reply or a log line: at most limit
// bytes, each byte outside printable ASCII turned into '?' (dropped, it
// would join what stood around it into a name that was not there).
std::string Printable(std::string_view text, size_t limit = std::string_view::npos);

}  // namespace engined

#endif
