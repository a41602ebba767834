// The rating both anti-spam engine daemons give (quillon-spamd with
// SpamAssassin's spamd, quillon-rspamd with rspamd): what an engine's daemon
// said of a message, how a pool asks it, and the protocol half of the
// daemon: reading a received frame body as a rating request, mapping the
// engine's score onto the engine scale, and building the reply.  Kept apart
// from the socket, thread and connection handling so that it can be driven
// without any.
//
// Inputs: frame bodies from a client, the engine's outcome.  Limits: the
// message of a request is cut to the configured maximum before it is
// queued; the engine score always lies within -1000..1000.
#ifndef TARNWICK_ENGINES_RATING_RATING_H
#define TARNWICK_ENGINES_RATING_RATING_H

#include <cstdint>
#include <functional>
#include <string>

#include "engines/kit/exchange.h"
#include "engines/kit/member_address.h"
#include "engines/kit/spam_scale.h"
#include "quillon_ase_api.pb.h"

namespace engined {

struct RatingVerdict {
    bool spam = false;
    double score = 0;
    double threshold = 0;
    std::string rules;  // the rules or symbols that hit, comma-separated
    // The engine decided without rating (rspamd's pre-result: GTUBE, a
    // forced action): its score says nothing of how far past the threshold
    // the message lies.
    bool forced = false;
    // The engine's own word for what to do with the message, where it has
    // one (rspamd's action: "reject", "soft reject", "greylist", ...).
    std::string action{};
};

// What one rating came to: the exchange's failure, if any (the connection
// made or not), and the verdict.
struct RatingOutcome : ExchangeResult {
    RatingVerdict verdict;
    // Filled by RatingPool::Rate: the member that rated the message (-1:
    // none), and whether the message was answered without any try because
    // every member was known to be away.
    int member = -1;
    bool unasked = false;
};

// How a pool asks its members: spamd's protocol for quillon-spamd, rspamd's
// HTTP protocol for quillon-rspamd.  name is the daemon's in log lines and
// reasons ("spamd at ADDRESS is away").
struct RatingClient {
    const char* name;
    std::function<RatingOutcome(const MemberAddress&, const std::string& request, int timeoutMs)>
        ask;
    std::function<bool(const MemberAddress&, int timeoutMs, std::string& problem)> ping;
};

// The engine score of a verdict: its score mapped against its threshold
// (EngineScore); for an engine that names an action of its own (rspamd),
// on the side of the threshold that action says.  Spam lands at or above
// thresholdEngineScore, at 1000 when the engine
// refused it without rating it or below its own threshold (rspamd's forced
// "reject", which its own milter refuses); anything else lands below it
// (rspamd's "soft reject" or "greylist" of a skipped rating, whose score is
// the threshold itself, a forced "no action"), so that a site's refusal at
// the threshold's level refuses exactly what the engine refuses.
int64_t VerdictScore(const RatingVerdict& verdict);

// Parses a frame body into request and cuts its message to maxSize bytes.
// False when the body is not a request; the connection is then closed.
bool ReadRatingRequest(const std::string& body, size_t maxSize, ql::ClientMessage& request);

// The GET_SPAM_REPORT_RESPONSE to request: a SpamReport when the engine
// rated the message, else the error record for the failure.  The details
// give the engine's score and threshold with `decimals` decimals, as the
// engine's own client prints them (spamc 1, rspamc 2).
void BuildRatingReply(const ql::ClientMessage& request, const RatingOutcome& outcome,
                      ql::ServerMessage& reply, int decimals = 1);

}  // namespace engined

#endif
