// quillon-spamd: an anti-spam engine daemon on SpamAssassin.  It speaks the
// engine side of the anti-spam wire protocol on a unix socket, hands the
// message of every GET_SPAM_REPORT_REQUEST to a running spamd, and answers
// with a SpamReport: VR_SPAM or VR_LEGIT as spamd decided, SpamAssassin's
// score mapped onto the engine scale (EngineScore in kit/spam_scale.h), and the
// names of the rules that hit.  One log line per rating says what spamd
// decided and how long it took.
//
// Several spamd daemons can share the work (RatingPool in rating/rating_pool.h):
// messages go to them in turn, and one that refuses connections is left
// out until it answers again.  While every spamd refuses, a message is held
// for --reload-grace (a rule reload is not an outage) and then answered at
// once, not after --timeout: a mail server in front should not hold each
// message for the length of an outage.  The reply then carries an
// `error` record, or, with --unavailable=neutral, the rating of a plain
// message (what spamc passes on when spamd is gone).  An exchange that
// breaks once (a spamd child ending in the middle) is tried again.
//
// Inputs: the frames of each connection; spamd's replies.  Limits: messages
// longer than --max-size are cut to that size before rating, as spamd gets
// slow and spamc refuses them beyond a similar size; every rating, its
// second try included, is bounded by --timeout.
#include <cstdio>
#include <string>

#include "engines/kit/member_address.h"
#include "engines/kit/spam_scale.h"
#include "engines/rating/rating_daemon.h"
#include "engines/spamd/spamd_client.h"

namespace {

std::string RatingText(const engined::RatingVerdict& verdict) {
    char text[160];
    std::snprintf(text, sizeof text, "score=%.1f required=%.1f engine=%lld tests=", verdict.score,
                  verdict.threshold,
                  static_cast<long long>(engined::EngineScore(verdict.score, verdict.threshold)));
    return text + verdict.rules;
}

}  // namespace

int main(int argc, char** argv) {
    const engined::RatingDaemonDesc desc{
        "quillon-spamd",
        "usage: quillon-spamd --socket PATH [--spamd HOST:PORT[,...]] [--spamd-socket PATH]... "
        "[options]\n"
        "Rates the messages that Tarnwick-AS sends with SpamAssassin's spamd.\n"
        "\n",
        engined::SpamdRatingClient(),
        {{"spamd", "HOST:PORT[,...]",
          "spamd over TCP ([::1]:783 for IPv6); several, comma-separated or repeated, share the "
          "messages",
          engined::AddMembers, "127.0.0.1:783, unless --spamd-socket is given"},
         {"spamd-socket", "PATH",
          "spamd over its unix socket (repeatable; may be mixed with --spamd)",
          engined::AddMemberSocket, nullptr}},
        "127.0.0.1:783",
        "a rule reload",
        512000,  // spamd gets slow beyond this, and spamc refuses a similar size
        2,
        5.0,  // SpamAssassin's default required score
        1,    // as spamc prints scores
        nullptr,
        RatingText,
    };
    return engined::RunRatingDaemon(desc, argc, argv);
}
