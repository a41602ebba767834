// The anti-spam engine daemon, whichever engine rates: quillon-spamd and
// quillon-rspamd are each a table of what differs (RatingDaemonDesc) handed
// to RunRatingDaemon.  The daemon speaks the engine side of the anti-spam wire
// protocol on a unix socket, queues each GET_SPAM_REPORT_REQUEST for its
// worker threads, has a pool of the engine's daemons (RatingPool, asking with
// the program's RatingClient) rate it, and answers with a SpamReport, or the
// error record, or with --unavailable=neutral the rating of a plain message.
// One log line per rating says what the engine decided and how long it took.
//
// The options beside the common rows (daemon_options.h): the members
// (the program's own rows), --workers, --reload-grace, --max-size,
// --timeout, --unavailable.
//
// Inputs: the command line; the frames of each connection; the engine's
// replies.  Limits: a request's message is cut to --max-size before it is
// queued, at most 32 wait for a worker (a client that floods is slowed
// down), every rating (its second try
// included) is bounded by --timeout.
#ifndef TARNWICK_ENGINES_RATING_RATING_DAEMON_H
#define TARNWICK_ENGINES_RATING_RATING_DAEMON_H

#include <cstddef>
#include <string>
#include <vector>

#include "engines/kit/member_address.h"
#include "engines/rating/rating.h"

namespace engined {

// One option that adds members to the pool.
struct MemberOption {
    const char* name;      // without the dashes
    const char* argument;  // the value's name in --help
    const char* help;
    // Adds what the value names; false with the reason in problem.
    bool (*add)(const std::string& text, std::vector<MemberAddress>& members, std::string& problem);
    const char* defaultText;  // the "(default ...)" of --help, or nullptr
};

struct RatingDaemonDesc {
    const char* program;  // "quillon-spamd": the log's name, --help, --version
    // The first lines of --help: usage and what the program does.
    const char* usage;
    // How the pool asks; its name ("spamd") stands in option texts and log
    // lines.
    RatingClient client;
    std::vector<MemberOption> members;
    // Added with members[0].add when no member option is given.
    const char* defaultMember;
    // What --reload-grace covers, in its --help: "a rule reload".
    const char* refusal;
    size_t maxSize;    // --max-size's default
    unsigned workers;  // --workers' default
    // The reject threshold of the neutral rating (--unavailable=neutral).
    double neutralThreshold;
    // Decimals of the score in the reply's details, as the engine's own
    // client prints them.
    int decimals;
    // What the pool's ask sends for a message; nullptr: the message itself.
    std::string (*request)(const std::string& message);
    // The middle of the log line of a rating, between "SPAM"/"ham" and the
    // time: "score=... required=... tests=...".
    std::string (*ratingText)(const RatingVerdict& verdict);
};

// Reads the options, serves until SIGTERM or SIGINT; the exit status.
int RunRatingDaemon(const RatingDaemonDesc& desc, int argc, char** argv);

}  // namespace engined

#endif
