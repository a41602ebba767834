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
// The pool, the hold while every rspamd is away (--reload-grace) and the
// answers then are quillon-spamd's (SpamdPool, asking with rspamd's
// protocol).
//
// Inputs: the frames of each connection; rspamd's replies.  Limits:
// messages longer than --max-size are cut before rating; every rating, its
// second try included, is bounded by --timeout.
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "common/base/daemonlog.h"
#include "common/base/options.h"
#include "common/base/readiness.h"
#include "common/base/signals.h"
#include "common/base/version.h"
#include "engines/kit/daemon_options.h"
#include "engines/kit/frame_server.h"
#include "engines/rspamd/rspamd_client.h"
#include "engines/spamd/spam_rating.h"
#include "engines/spamd/spamd_pool.h"
#include "quillon_ase_api.pb.h"

using daemonlog::Error;
using daemonlog::Log;
using daemonlog::Warn;

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t maxQueuedRequests = 32;
// rspamd's default reject threshold, for the rating of a plain message.
constexpr double defaultReject = 15.0;
// rspamc prints scores with two decimals; the details do the same.
constexpr int scoreDecimals = 2;

struct Settings : engined::CommonOptions {
    std::vector<engined::SpamdAddress> rspamd;
    // rspamd rates large messages quickly (its own limit is 50 MiB); with
    // 32 requests queued this bounds them to 320 MiB.
    size_t maxSize = 10u << 20;
    int timeoutMs = 60000;
    bool neutralWhenUnavailable = false;
    unsigned workers = 4;
    unsigned graceSeconds = 10;
};

class RspamdHandler : public engined::FrameHandler {
  public:
    explicit RspamdHandler(const Settings& settings)
        : settings_(settings),
          rspamd_(settings.rspamd, std::chrono::seconds(settings.graceSeconds),
                  engined::RatingClient{"rspamd", engined::AskRspamd, engined::PingRspamd}),
          pool_(settings.workers, maxQueuedRequests) {}

    bool OnFrame(const std::shared_ptr<engined::Connection>& connection,
                 const std::string& body) override {
        auto request = std::make_shared<ql::ClientMessage>();
        if (!engined::ReadRatingRequest(body, settings_.maxSize, *request)) {
            Warn("connection %u: a frame of %zu bytes is not a valid request", connection->Id(),
                 body.size());
            return false;
        }
        pool_.Submit([this, connection, request] { Answer(*connection, *request); });
        return true;
    }

    std::string RspamdText() const { return rspamd_.Text(); }

  private:
    void Answer(engined::Connection& connection, const ql::ClientMessage& request) {
        const Clock::time_point started = Clock::now();
        const std::string http = engined::RspamdRequest(
            request.message(), engined::ReadMtaFacts(request.message()));
        engined::SpamdOutcome outcome = rspamd_.Rate(http, request.serial(), settings_.timeoutMs);
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
        if (outcome.failure != engined::SpamdFailure::kNone) {
            if (settings_.neutralWhenUnavailable) {
                if (!outcome.unasked)
                    Warn("serial %u: not rated, answered as a plain message: %s", request.serial(),
                         outcome.what.c_str());
                outcome = engined::SpamdOutcome();
                outcome.verdict.threshold = defaultReject;
            } else if (!outcome.unasked) {
                daemonlog::LogAt(daemonlog::Level::kError, "serial %u: %s", request.serial(),
                                 outcome.what.c_str());
            }
        } else {
            const engined::SpamdVerdict& verdict = outcome.verdict;
            std::string from;
            if (rspamd_.Size() > 1)
                from = " from " + rspamd_.Member(static_cast<size_t>(outcome.member)).Text();
            Log("serial %u: %s score=%.2f required=%.2f%s symbols=%s (%lld ms)%s", request.serial(),
                verdict.spam ? "SPAM" : "ham", verdict.score, verdict.threshold,
                verdict.forced ? " forced" : "", verdict.rules.c_str(),
                static_cast<long long>(elapsed), from.c_str());
        }
        ql::ServerMessage reply;
        engined::BuildRatingReply(request, outcome, reply, scoreDecimals);
        connection.Send(reply);
    }

    const Settings& settings_;
    engined::SpamdPool rspamd_;
    // Last member: its destructor waits for running requests, which read
    // settings_ and rspamd_.
    engined::WorkerPool pool_;
};

constexpr char defaultRspamd[] = "127.0.0.1:11333";

int ReadOptions(int argc, char** argv, Settings& settings) {
    OptionTable table("quillon-rspamd",
                      "usage: quillon-rspamd --socket PATH [--rspamd HOST:PORT|unix:PATH]... "
                      "[options]\n"
                      "Rates the messages that Tarnwick-AS sends with rspamd's normal worker.\n"
                      "\n",
                      "", std::string("quillon-rspamd ") + tarnwickVersion);
    // As quillon-spamd: a message of at most 32 MiB with a few fields.
    settings.access.maxFrameBytes = (32u << 20) + (64u << 10);
    table.Add(engined::CommonOptionRows(settings));
    table.Add({
        TextOption("rspamd", "HOST:PORT|unix:PATH",
                   "rspamd's normal worker ([::1]:11333 for IPv6); repeated, they share the "
                   "messages",
                   [&settings](const char* text) {
                       std::string problem;
                       if (engined::AddRspamdMember(text, settings.rspamd, problem)) return true;
                       Error("--rspamd: %s", problem.c_str());
                       return false;
                   })
            .Default(defaultRspamd),
        NumberOption("workers", "N", "messages rated at once", 1, 32, &settings.workers),
        NumberOption("reload-grace", "SECONDS",
                     "while every rspamd refuses (a restart), hold ratings this long from the "
                     "refusal, within --timeout, before answering them unrated; 0: answer at once",
                     0, 60, &settings.graceSeconds),
        NumberOption("max-size", "BYTES", "longer messages are cut before rating", 1024,
                     engined::maxFrameLength, &settings.maxSize),
        NumberOption("timeout", "SECONDS", "limit for one rating, its second try included", 1,
                     3600,
                     [&settings](uint64_t n) { settings.timeoutMs = static_cast<int>(n * 1000); })
            .Default(std::to_string(settings.timeoutMs / 1000)),
        ChoiceOption("unavailable", "ACTION",
                     "while every rspamd is away: an error reply, or the score of a plain message",
                     {"error", "neutral"},
                     [&settings](size_t choice) { settings.neutralWhenUnavailable = choice == 1; })
            .Default(settings.neutralWhenUnavailable ? "neutral" : "error"),
    });
    engined::ReadOptions(table, argc, argv);
    std::string problem;
    if (settings.rspamd.empty() &&
        !engined::AddRspamdMember(defaultRspamd, settings.rspamd, problem)) {
        Error("%s", problem.c_str());
        return 2;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    daemonlog::SetName("quillon-rspamd");
    Settings settings;
    if (int rc = ReadOptions(argc, argv, settings)) return rc;
    if (settings.socket.syslog) daemonlog::UseSyslog();

    InstallSignalHandlers();
    RspamdHandler handler(settings);
    engined::FrameServer server(settings.socket, handler, settings.access);
    if (!server.Listen()) return 1;
    const std::string rspamd = handler.RspamdText();
    Log("asking rspamd at %s (%s answer while every one is away), listening on %s", rspamd.c_str(),
        settings.neutralWhenUnavailable ? "neutral" : "error", settings.socket.path.c_str());
    NotifyServiceManager("READY=1\nSTATUS=asking rspamd at " + rspamd);
    server.Run();
    NotifyServiceManager("STOPPING=1");
    Log("stopped");
    return 0;
}
