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
#ifndef TARNWICK_ENGINES_SPAMD_CLIENT_H
#define TARNWICK_ENGINES_SPAMD_CLIENT_H

#include <cstddef>
#include <string>

namespace engined {

constexpr size_t maxSpamdHeader = 8 * 1024;
constexpr size_t maxSpamdBody = 64 * 1024;

struct SpamdAddress {
    std::string socketPath;  // unix socket; when empty, host and port are used
    std::string host;
    std::string port;
    std::string Text() const;  // for log lines
};

// Reads "HOST:PORT" or "[IPV6]:PORT".  False when the text has no port.
bool ParseHostPort(const std::string& text, SpamdAddress& out);

struct SpamdVerdict {
    bool spam = false;
    double score = 0;
    double threshold = 0;
    std::string rules;  // as spamd lists them: comma-separated
};

enum class ReplyStatus { kIncomplete, kComplete, kBad };

// Parses what has arrived so far of spamd's reply to a SYMBOLS request.
// endOfStream says that nothing more will come.  kBad leaves the reason in
// problem; a refusal by spamd (non-zero status) is kBad as well.
ReplyStatus ParseSpamdReply(const std::string& reply, bool endOfStream, SpamdVerdict& verdict,
                            std::string& problem);

enum class SpamdFailure {
    kNone,
    kUnreachable,  // nothing listens at the address
    kNetwork,      // the connection broke during the exchange, or spamd closed it unanswered
    kTimeout,      // the time limit ran out
    kProtocol,     // spamd refused the request or answered something unreadable
};

struct SpamdOutcome {
    SpamdFailure failure = SpamdFailure::kNone;
    std::string what;  // the reason, when failure is not kNone
    SpamdVerdict verdict;
};

// Has spamd rate message.  timeoutMs bounds connect, send and receive
// together.
SpamdOutcome AskSpamd(const SpamdAddress& address, const std::string& message, int timeoutMs);

}  // namespace engined

#endif
