// quillon-spamd: an anti-spam engine daemon on SpamAssassin.  It speaks the
// engine side of the anti-spam wire protocol on a unix socket, hands the
// message of every GET_SPAM_REPORT_REQUEST to a running spamd, and answers
// with a SpamReport: VR_SPAM or VR_LEGIT as spamd decided, SpamAssassin's
// score mapped onto the engine scale (EngineScore in spam_rating.h), and the
// names of the rules that hit.  One log line per rating says what spamd
// decided and how long it took.
//
// Several spamd daemons can share the work (SpamdPool in spamd_pool.h):
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
#include "quillon_ase_api.pb.h"
#include "engines/spamd/spam_rating.h"
#include "engines/spamd/spamd_pool.h"

using daemonlog::Error;
using daemonlog::Log;
using daemonlog::Warn;

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t maxQueuedRequests = 32;

struct Settings : engined::CommonOptions {
    std::vector<engined::SpamdAddress> spamd;
    size_t maxSize = 512000;
    int timeoutMs = 60000;
    bool neutralWhenUnavailable = false;
    unsigned workers = 2;
    // A rule reload keeps spamd from answering for one to three seconds
    // with Debian's rules, up to about ten with many rules on a slow host.
    unsigned graceSeconds = 10;
};

class SpamHandler : public engined::FrameHandler {
  public:
    explicit SpamHandler(const Settings& settings)
        : settings_(settings), spamd_(settings.spamd, std::chrono::seconds(settings.graceSeconds)),
          pool_(settings.workers, maxQueuedRequests) {}

    bool OnFrame(const std::shared_ptr<engined::Connection>& connection,
                 const std::string& body) override {
        auto request = std::make_shared<ql::ClientMessage>();
        // Cut before queueing, so that waiting requests hold no more than spamd
        // will ever see.
        if (!engined::ReadRatingRequest(body, settings_.maxSize, *request)) {
            Warn("connection %u: a frame of %zu bytes is not a valid request", connection->Id(),
                 body.size());
            return false;
        }
        pool_.Submit([this, connection, request] { Answer(*connection, *request); });
        return true;
    }

    std::string SpamdText() const { return spamd_.Text(); }

  private:
    void Answer(engined::Connection& connection, const ql::ClientMessage& request) {
        const Clock::time_point started = Clock::now();
        engined::SpamdOutcome outcome =
            spamd_.Rate(request.message(), request.serial(), settings_.timeoutMs);
        auto elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
        if (outcome.failure != engined::SpamdFailure::kNone) {
            // While every spamd is away the pool has said so once; a line
            // per message would only repeat it.
            if (settings_.neutralWhenUnavailable) {
                if (!outcome.unasked)
                    Warn("serial %u: not rated, answered as a plain message: %s", request.serial(),
                         outcome.what.c_str());
                outcome = engined::SpamdOutcome();
                outcome.verdict.threshold = 5.0;
            } else if (!outcome.unasked) {
                daemonlog::LogAt(daemonlog::Level::kError, "serial %u: %s", request.serial(),
                                 outcome.what.c_str());
            }
        } else {
            const engined::SpamdVerdict& verdict = outcome.verdict;
            // In a pool the line names the spamd that rated.
            std::string from;
            if (spamd_.Size() > 1)
                from = " from " + spamd_.Member(static_cast<size_t>(outcome.member)).Text();
            Log("serial %u: %s score=%.1f required=%.1f engine=%lld tests=%s (%lld ms)%s",
                request.serial(), verdict.spam ? "SPAM" : "ham", verdict.score, verdict.threshold,
                static_cast<long long>(engined::EngineScore(verdict.score, verdict.threshold)),
                verdict.rules.c_str(), static_cast<long long>(elapsed), from.c_str());
        }
        ql::ServerMessage reply;
        engined::BuildRatingReply(request, outcome, reply);
        connection.Send(reply);
    }

    const Settings& settings_;
    engined::SpamdPool spamd_;
    // Last member: its destructor waits for running requests, which read
    // settings_ and spamd_.
    engined::WorkerPool pool_;
};

constexpr char defaultSpamd[] = "127.0.0.1:783";

// 0: go on; otherwise the exit status (a mistake or --help in the options
// ends the process there).
int ReadOptions(int argc, char** argv, Settings& settings) {
    OptionTable table(
        "quillon-spamd",
        "usage: quillon-spamd --socket PATH [--spamd HOST:PORT[,...]] [--spamd-socket PATH]... "
        "[options]\n"
        "Rates the messages that Tarnwick-AS sends with SpamAssassin's spamd.\n"
        "\n",
        "", std::string("quillon-spamd ") + tarnwickVersion);
    // Tarnwick-AS sends a message of at most 32 MiB with a few fields around
    // it; the margin covers those fields many times over.
    settings.access.maxFrameBytes = (32u << 20) + (64u << 10);
    table.Add(engined::CommonOptionRows(settings));
    auto add = [&settings](const char* option, const char* text, bool tcp) {
        std::string problem;
        if (tcp ? engined::AddSpamdHosts(text, settings.spamd, problem)
                : engined::AddSpamdSocket(text, settings.spamd, problem))
            return true;
        Error("--%s: %s", option, problem.c_str());
        return false;
    };
    table.Add({
        TextOption("spamd", "HOST:PORT[,...]",
                   "spamd over TCP ([::1]:783 for IPv6); several, comma-separated or repeated, "
                   "share the messages",
                   [add](const char* text) { return add("spamd", text, true); })
            .Default(std::string(defaultSpamd) + ", unless --spamd-socket is given"),
        TextOption("spamd-socket", "PATH",
                   "spamd over its unix socket (repeatable; may be mixed with --spamd)",
                   [add](const char* text) { return add("spamd-socket", text, false); }),
        NumberOption("workers", "N", "messages rated at once", 1, 32, &settings.workers),
        NumberOption("reload-grace", "SECONDS",
                     "while every spamd refuses (a rule reload), hold ratings this long from the "
                     "refusal, within --timeout, before answering them unrated; 0: answer at once",
                     0, 60, &settings.graceSeconds),
        NumberOption("max-size", "BYTES", "longer messages are cut before rating", 1024,
                     engined::maxFrameLength, &settings.maxSize),
        NumberOption("timeout", "SECONDS", "limit for one rating, its second try included", 1,
                     3600,
                     [&settings](uint64_t n) { settings.timeoutMs = static_cast<int>(n * 1000); })
            .Default(std::to_string(settings.timeoutMs / 1000)),
        ChoiceOption("unavailable", "ACTION",
                     "while every spamd is away: an error reply, or the score of a plain message",
                     {"error", "neutral"},
                     [&settings](size_t choice) { settings.neutralWhenUnavailable = choice == 1; })
            .Default(settings.neutralWhenUnavailable ? "neutral" : "error"),
    });
    engined::ReadOptions(table, argc, argv);
    std::string problem;
    if (settings.spamd.empty() && !engined::AddSpamdHosts(defaultSpamd, settings.spamd, problem)) {
        Error("%s", problem.c_str());
        return 2;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    daemonlog::SetName("quillon-spamd");
    Settings settings;
    if (int rc = ReadOptions(argc, argv, settings)) return rc;
    if (settings.socket.syslog) daemonlog::UseSyslog();

    InstallSignalHandlers();
    SpamHandler handler(settings);
    engined::FrameServer server(settings.socket, handler, settings.access);
    if (!server.Listen()) return 1;
    const std::string spamd = handler.SpamdText();
    Log("asking spamd at %s (%s answer while every one is away), listening on %s", spamd.c_str(),
        settings.neutralWhenUnavailable ? "neutral" : "error", settings.socket.path.c_str());
    NotifyServiceManager("READY=1\nSTATUS=asking spamd at " + spamd);
    server.Run();
    NotifyServiceManager("STOPPING=1");
    Log("stopped");
    return 0;
}
