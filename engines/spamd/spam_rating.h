// The protocol half of quillon-spamd: reading a received frame body as a
// rating request, mapping SpamAssassin's score onto the engine scale, and
// building the reply from what spamd said.  Kept apart from the socket,
// thread and spamd connection handling so that it can be driven without any.
//
// Inputs: frame bodies from a client, spamd's outcome.  Limits: the message
// of a request is cut to the configured maximum before it is queued; the
// engine score always lies within -1000..1000.
#ifndef TARNWICK_ENGINES_SPAMD_SPAM_RATING_H
#define TARNWICK_ENGINES_SPAMD_SPAM_RATING_H

#include <cstdint>
#include <string>

#include "quillon_ase_api.pb.h"
#include "engines/kit/spam_scale.h"
#include "engines/spamd/spamd_client.h"

namespace engined {

// The engine score of a verdict: its score mapped against its threshold
// (EngineScore); for an engine that names an action of its own (rspamd),
// on the side of the threshold that action says.  Spam lands at or above
// thresholdEngineScore, at 1000 when the engine
// refused it without rating it or below its own threshold (rspamd's forced
// "reject", which its own milter refuses); anything else lands below it
// (rspamd's "soft reject" or "greylist" of a skipped rating, whose score is
// the threshold itself, a forced "no action"), so that a site's refusal at
// the threshold's level refuses exactly what the engine refuses.
int64_t VerdictScore(const SpamdVerdict& verdict);

// Parses a frame body into request and cuts its message to maxSize bytes.
// False when the body is not a request; the connection is then closed.
bool ReadRatingRequest(const std::string& body, size_t maxSize, ql::ClientMessage& request);

// The GET_SPAM_REPORT_RESPONSE to request: a SpamReport when the engine
// rated the message, else the error record for the failure.  The details
// give the engine's score and threshold with `decimals` decimals, as the
// engine's own client prints them (spamc 1, rspamc 2).
void BuildRatingReply(const ql::ClientMessage& request, const SpamdOutcome& outcome,
                      ql::ServerMessage& reply, int decimals = 1);

}  // namespace engined

#endif
