// quillon-rspamd: an anti-spam engine daemon on rspamd.  It speaks the
// engine side of the anti-spam wire protocol on a unix socket, as
// quillon-spamd does, and has rspamd's normal worker rate the message of
// every GET_SPAM_REPORT_REQUEST over rspamd's HTTP protocol, passing what
// the MTA saw (the envelope and the client, from the fields a milter host
// writes above the message: ReadMtaFacts in rspamd_client.h).  The reply:
// VR_SPAM when rspamd's action is "reject", rspamd's score mapped onto the
// engine scale against its reject threshold (EngineScore in
// kit/spam_scale.h), and the symbols.
//
// The daemon, its pool, the hold while every rspamd is away
// (--reload-grace) and the answers then are quillon-spamd's (RunRatingDaemon
// in rating/rating_daemon.h, the pool asking with rspamd's protocol).
//
// Inputs: the frames of each connection; rspamd's replies.  Limits:
// messages longer than --max-size are cut before rating; every rating, its
// second try included, is bounded by --timeout.
#include <cstdio>
#include <string>

#include "engines/kit/member_address.h"
#include "engines/rating/rating_daemon.h"
#include "engines/rspamd/rspamd_client.h"

namespace {

std::string Request(const std::string& message) {
    return engined::RspamdRequest(message, engined::ReadMtaFacts(message));
}

std::string RatingText(const engined::RatingVerdict& verdict) {
    char text[128];
    std::snprintf(text, sizeof text, "score=%.2f required=%.2f%s action=", verdict.score,
                  verdict.threshold, verdict.forced ? " forced" : "");
    // The action as rspamd wrote it (its words have blanks), in quotes the
    // reader of the reply already kept out of it.
    return text + ('"' + verdict.action + "\" symbols=") + verdict.rules;
}

}  // namespace

int main(int argc, char** argv) {
    const engined::RatingDaemonDesc desc{
        "quillon-rspamd",
        "usage: quillon-rspamd --socket PATH [--rspamd HOST:PORT|unix:PATH]... [options]\n"
        "Rates the messages that Tarnwick-AS sends with rspamd's normal worker.\n"
        "\n",
        engined::RatingClient{"rspamd", engined::AskRspamd, engined::PingRspamd},
        {{"rspamd", "HOST:PORT|unix:PATH",
          "rspamd's normal worker ([::1]:11333 for IPv6); repeated, they share the messages",
          engined::AddMembers, "127.0.0.1:11333"}},
        "127.0.0.1:11333",
        "a restart",
        // rspamd rates large messages quickly (its own limit is 50 MiB); with
        // 32 requests queued this bounds them to 320 MiB.
        10u << 20,
        4,
        15.0,  // rspamd's default reject threshold
        2,     // as rspamc prints scores
        Request,
        RatingText,
    };
    return engined::RunRatingDaemon(desc, argc, argv);
}
