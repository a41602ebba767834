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
#include "engines/spamd/spamd_client.h"

namespace engined {

// SpamAssassin's score judged against its threshold (required_score), on
// the engine scale that the filter rescales to 0..100.
int64_t EngineScore(double score, double threshold);

// Parses a frame body into request and cuts its message to maxSize bytes.
// False when the body is not a request; the connection is then closed.
bool ReadRatingRequest(const std::string& body, size_t maxSize, ql::ClientMessage& request);

// The GET_SPAM_REPORT_RESPONSE to request: a SpamReport when spamd rated
// the message, else the error record for the failure.
void BuildRatingReply(const ql::ClientMessage& request, const SpamdOutcome& outcome,
                      ql::ServerMessage& reply);

}  // namespace engined

#endif
