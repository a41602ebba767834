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
// The pool of several spamd daemons (or one) is spamd_pool.h.
#ifndef TARNWICK_ENGINES_SPAMD_SPAMD_CLIENT_H
#define TARNWICK_ENGINES_SPAMD_SPAMD_CLIENT_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>


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

// The most daemons of one pool; far more than a site runs, few enough that
// the members of one message's tries fit a bit mask.
constexpr size_t maxSpamdMembers = 16;

// Adds the daemons of a comma-separated list of HOST:PORT ("a:783,b:783")
// to members; AddSpamdSocket adds one unix socket path (taken whole: a path
// may hold a comma).  False, with the reason in problem and members
// unchanged, for an entry that is not an address, one listed before, or a
// list longer than maxSpamdMembers.
bool AddSpamdHosts(const std::string& list, std::vector<SpamdAddress>& members,
                   std::string& problem);
bool AddSpamdSocket(const std::string& path, std::vector<SpamdAddress>& members,
                    std::string& problem);

struct SpamdVerdict {
    bool spam = false;
    double score = 0;
    double threshold = 0;
    std::string rules;  // as spamd lists them: comma-separated
    // The engine decided without rating (rspamd's pre-result: GTUBE, a
    // forced action): its score says nothing of how far past the threshold
    // the message lies.
    bool forced = false;
    // The engine's own word for what to do with the message, where it has
    // one (rspamd's action: "reject", "soft reject", "greylist", ...).
    std::string action{};
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
    kNetwork,      // the connection broke during the exchange, or spamd closed it
                   // unanswered or in the middle of its reply
    kTimeout,      // the time limit ran out
    kProtocol,     // spamd refused the request or answered something unreadable
};

struct SpamdOutcome {
    SpamdFailure failure = SpamdFailure::kNone;
    std::string what;  // the reason, when failure is not kNone
    SpamdVerdict verdict;
    // Filled by SpamdPool::Rate: the member that rated the message (-1:
    // none), and whether the message was answered without any try because
    // every member was known to be away.
    int member = -1;
    bool unasked = false;
    // Set by AskSpamd: the connection was made (a time-out after it is a
    // spamd that took the message and did not answer, not a busy one).
    bool connected = false;
};

// Has spamd rate message.  timeoutMs bounds connect, send and receive
// together.
SpamdOutcome AskSpamd(const SpamdAddress& address, const std::string& message, int timeoutMs);

// One request and its reply over one connection (spamd, rspamd): connects,
// sends request, reads the reply with parse until it is complete, all
// before deadline.  peer names the daemon in the reasons ("spamd").  A
// reply longer than maxReply is a protocol error; halfClose shuts the
// sending side once the request is out.
struct ExchangeRules {
    size_t maxReply;
    bool halfClose;
};
using ReplyParser =
    std::function<ReplyStatus(const std::string& reply, bool endOfStream, std::string& problem)>;
void Exchange(const SpamdAddress& address, const char* peer, const std::string& request,
              std::chrono::steady_clock::time_point deadline, const ExchangeRules& rules,
              const ReplyParser& parse, SpamdOutcome& outcome, bool& connected);

// Reads spamd's answer to PING ("SPAMD/1.5 0 PONG").
ReplyStatus ParsePongReply(const std::string& reply, bool endOfStream, std::string& problem);

// Asks spamd for a PING within timeoutMs; false, with the reason in problem,
// unless it answered PONG.
bool PingSpamd(const SpamdAddress& address, int timeoutMs, std::string& problem);

}  // namespace engined

#endif
