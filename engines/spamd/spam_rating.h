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
