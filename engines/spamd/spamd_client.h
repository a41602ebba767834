// A client for SpamAssassin's spamd: sends one message with the SYMBOLS
// command of the spamc protocol (version 1.5) over a unix socket or TCP, and
// reads back the verdict, the score, the threshold and the names of the rules
// that hit.
//
// Inputs: the spamd address, the message bytes, a time limit for the whole
// exchange; the reply from spamd.  Limits: a reply header longer than
// maxSpamdHeader or a body longer than maxSpamdBody is refused as a protocol
// error; rule names are kept to printable ASCII.  One connection per message,
// as spamd serves one request per connection.
//
// The pool of several spamd daemons (or one) is the rating pool
// (engines/rating/rating_pool.h), asking with SpamdRatingClient.
#ifndef TARNWICK_ENGINES_SPAMD_SPAMD_CLIENT_H
#define TARNWICK_ENGINES_SPAMD_SPAMD_CLIENT_H

#include <cstddef>
#include <string>

#include "engines/kit/exchange.h"
#include "engines/kit/member_address.h"
#include "engines/rating/rating.h"

namespace engined {

constexpr size_t maxSpamdHeader = 8 * 1024;
constexpr size_t maxSpamdBody = 64 * 1024;

// Parses what has arrived so far of spamd's reply to a SYMBOLS request.
// endOfStream says that nothing more will come.  kBad leaves the reason in
// problem; a refusal by spamd (non-zero status) is kBad as well.
ReplyStatus ParseSpamdReply(const std::string& reply, bool endOfStream, RatingVerdict& verdict,
                            std::string& problem);

// Has spamd rate message.  timeoutMs bounds connect, send and receive
// together.
RatingOutcome AskSpamd(const MemberAddress& address, const std::string& message, int timeoutMs);

// Reads spamd's answer to PING ("SPAMD/1.5 0 PONG").
ReplyStatus ParsePongReply(const std::string& reply, bool endOfStream, std::string& problem);

// Asks spamd for a PING within timeoutMs; false, with the reason in problem,
// unless it answered PONG.
bool PingSpamd(const MemberAddress& address, int timeoutMs, std::string& problem);

// How the rating pool asks spamd.
RatingClient SpamdRatingClient();

}  // namespace engined

#endif
