// A client for rspamd's normal worker: one message per connection with its
// HTTP protocol (POST /checkv2, a JSON reply; GET /ping), and what the MTA
// saw of the message, read from the fields a milter host puts on top of it,
// passed as rspamd's request headers.
//
// Inputs: the message that Tarnwick-AS sends (hostile: any bytes), the
// rspamd address, rspamd's reply.  Limits: a reply header over
// maxRspamdHeader, a body over maxRspamdBody, a JSON text nested deeper
// than maxJsonDepth, a chunked or compressed reply, one with two
// Content-Length fields or a JSON object with a key twice is a protocol error;
// symbol names are kept to printable ASCII (kit/exchange.h's Printable) and their list to
// maxRspamdSymbols bytes; header values passed to rspamd hold printable
// ASCII only and at most maxFactLength bytes each, at most
// maxFactRecipients recipients.
#ifndef TARNWICK_ENGINES_RSPAMD_RSPAMD_CLIENT_H
#define TARNWICK_ENGINES_RSPAMD_RSPAMD_CLIENT_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "engines/kit/exchange.h"
#include "engines/kit/member_address.h"
#include "engines/rating/rating.h"

namespace engined {

constexpr size_t maxRspamdHeader = 8 * 1024;
constexpr size_t maxRspamdBody = 2u << 20;
constexpr size_t maxJsonDepth = 16;
constexpr size_t maxRspamdSymbols = 64 * 1024;
constexpr size_t maxRspamdAction = 32;
constexpr size_t maxFactLength = 512;
constexpr size_t maxFactRecipients = 1000;

// What the MTA saw of a message: the envelope and the client.  Empty
// strings are not passed.
struct MtaFacts {
    bool envelope = false;  // the X-Envelope-From field was there (from may be "<>")
    std::string from;
    std::vector<std::string> rcpts;
    std::string ip, hostname, helo, queueId;
    // Where the message proper begins: after the host's fields, which are
    // not part of what the MTA hands a milter.
    size_t messageAt = 0;
};

// Reads the facts from the top of message.  They count only when the
// message begins with the fields a milter host writes: X-Envelope-From,
// then X-Envelope-To fields, then the host's Received field
//   Received: from HELO (NAME [ADDRESS]) by HOST with PROTOCOL id QUEUEID; DATE
// (a server's own queue file has none of them: nothing is read then).
// "unknown" as NAME or HELO is the host's word for none.
MtaFacts ReadMtaFacts(std::string_view message);

// The HTTP request that asks rspamd to rate message with facts: the
// message from facts.messageAt on, as rspamd's own milter would see it.
std::string RspamdRequest(const std::string& message, const MtaFacts& facts);

// Parses what has arrived so far of rspamd's reply to /checkv2: the score,
// the reject threshold (required_score), the action (printable, at most
// maxRspamdAction bytes), spam when it is "reject" (forced when rspamd
// skipped the rating: is_skipped), and the symbols in rules,
// comma-separated, in name order.  A non-200 status is kBad with rspamd's
// error text.
ReplyStatus ParseRspamdReply(const std::string& reply, bool endOfStream, RatingVerdict& verdict,
                             std::string& problem);
// Reads rspamd's answer to /ping ("pong").
ReplyStatus ParseRspamdPong(const std::string& reply, bool endOfStream, std::string& problem);

// Has rspamd at address rate the request RspamdRequest built.
RatingOutcome AskRspamd(const MemberAddress& address, const std::string& request, int timeoutMs);
// Asks rspamd for /ping within timeoutMs; false, with the reason, unless it
// answered pong.
bool PingRspamd(const MemberAddress& address, int timeoutMs, std::string& problem);

}  // namespace engined

#endif
