// quillon-spamd: an anti-spam engine daemon on SpamAssassin.  It speaks the
// engine side of the anti-spam wire protocol on a unix socket, hands the
// message of every GET_SPAM_REPORT_REQUEST to a running spamd, and answers
// with a SpamReport: VR_SPAM or VR_LEGIT as spamd decided, SpamAssassin's
// score mapped onto the engine scale (EngineScore in spam_rating.h), and the
// names of the rules that hit.  One log line per rating says what spamd
// decided and how long it took.
//
// spamd restarts itself after every rule update; a refused connection or an
// exchange that breaks is tried again until --timeout has passed, so that a
// restart costs time, not an answer.  Only then does the reply carry an
// `error` record, or, with --unavailable=neutral, the rating of a plain
// message (what spamc passes on when spamd is gone).
//
// Inputs: the frames of each connection; spamd's replies.  Limits: messages
// longer than --max-size are cut to that size before rating, as spamd gets
// slow and spamc refuses them beyond a similar size; every rating, retries
// included, is bounded by --timeout.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <thread>

#include "common/base/daemonlog.h"
#include "common/base/options.h"
#include "common/base/signals.h"
#include "common/base/version.h"
#include "daemon_util.h"
#include "frame_server.h"
#include "quillon_ase_api.pb.h"
#include "spam_rating.h"
#include "spamd_client.h"

using daemonlog::Error;
using daemonlog::Log;
using daemonlog::Warn;

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t maxQueuedRequests = 32;
// First pause before another try; it doubles up to the longest.
constexpr int firstPauseMs = 100;
constexpr int longestPauseMs = 1000;

struct Settings : engined::CommonOptions {
    engined::SpamdAddress spamd;
    size_t maxSize = 512000;
    int timeoutMs = 60000;
    bool neutralWhenUnavailable = false;
    unsigned workers = 2;
};

// Worth another try: spamd was not there, or went away mid-exchange.
bool Transient(engined::SpamdFailure failure) {
    return failure == engined::SpamdFailure::kUnreachable ||
           failure == engined::SpamdFailure::kNetwork;
}

class SpamHandler : public engined::FrameHandler {
  public:
    explicit SpamHandler(const Settings& settings)
        : settings_(settings), pool_(settings.workers, maxQueuedRequests) {}

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

  private:
    engined::SpamdOutcome Ask(const ql::ClientMessage& request) {
        const Clock::time_point deadline =
            Clock::now() + std::chrono::milliseconds(settings_.timeoutMs);
        int pauseMs = firstPauseMs;
        int tries = 0;
        for (;;) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            engined::SpamdOutcome outcome = engined::AskSpamd(settings_.spamd, request.message(),
                                                              std::max<int>(1, left.count()));
            ++tries;
            if (!Transient(outcome.failure)) {
                if (tries > 1 && outcome.failure == engined::SpamdFailure::kNone)
                    Log("serial %u: spamd answered at try %d", request.serial(), tries);
                return outcome;
            }
            if (tries == 1)
                Warn("serial %u: %s; trying again for up to %d s", request.serial(),
                     outcome.what.c_str(), settings_.timeoutMs / 1000);
            if (Clock::now() + std::chrono::milliseconds(pauseMs) >= deadline ||
                stopRequested.load()) {
                outcome.what += " (" + std::to_string(tries) + " tries)";
                return outcome;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
            pauseMs = std::min(pauseMs * 2, longestPauseMs);
        }
    }

    void Answer(engined::Connection& connection, const ql::ClientMessage& request) {
        const Clock::time_point started = Clock::now();
        engined::SpamdOutcome outcome = Ask(request);
        auto elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
        if (outcome.failure != engined::SpamdFailure::kNone) {
            if (settings_.neutralWhenUnavailable) {
                Warn("serial %u: not rated, answered as a plain message: %s", request.serial(),
                     outcome.what.c_str());
                outcome = engined::SpamdOutcome();
                outcome.verdict.threshold = 5.0;
            } else {
                daemonlog::LogAt(daemonlog::Level::kError, "serial %u: %s", request.serial(),
                                 outcome.what.c_str());
            }
        } else {
            const engined::SpamdVerdict& verdict = outcome.verdict;
            Log("serial %u: %s score=%.1f required=%.1f engine=%lld tests=%s (%lld ms)",
                request.serial(), verdict.spam ? "SPAM" : "ham", verdict.score, verdict.threshold,
                static_cast<long long>(engined::EngineScore(verdict.score, verdict.threshold)),
                verdict.rules.c_str(), static_cast<long long>(elapsed));
        }
        ql::ServerMessage reply;
        engined::BuildRatingReply(request, outcome, reply);
        connection.Send(reply);
    }

    const Settings& settings_;
    // Last member: its destructor waits for running requests, which read
    // settings_.
    engined::WorkerPool pool_;
};

constexpr char defaultSpamd[] = "127.0.0.1:783";

// 0: go on; -1: --help or --version answered; otherwise the exit status.
int ReadOptions(int argc, char** argv, Settings& settings) {
    std::string spamdTcp, spamdSocket;
    OptionTable table(
        "quillon-spamd",
        "usage: quillon-spamd --socket PATH [--spamd HOST:PORT | --spamd-socket PATH] [options]\n"
        "Rates the messages that Tarnwick-AS sends with SpamAssassin's spamd.\n"
        "\n",
        "", std::string("quillon-spamd ") + tarnwickVersion);
    table.Add(engined::CommonOptionRows(settings));
    table.Add({
        TextOption("spamd", "HOST:PORT", "spamd over TCP ([::1]:783 for IPv6)", &spamdTcp)
            .Default(defaultSpamd),
        TextOption("spamd-socket", "PATH", "spamd over its unix socket", &spamdSocket),
        NumberOption("workers", "N", "messages rated at once", 1, 32, &settings.workers),
        NumberOption("max-size", "BYTES", "longer messages are cut before rating", 1024,
                     engined::maxFrameLength, &settings.maxSize),
        NumberOption("timeout", "SECONDS", "limit for one rating, retries included", 1, 3600,
                     [&settings](uint64_t n) { settings.timeoutMs = static_cast<int>(n * 1000); })
            .Default(std::to_string(settings.timeoutMs / 1000)),
        ChoiceOption("unavailable", "ACTION",
                     "when spamd stays away: an error reply, or the score of a plain message",
                     {"error", "neutral"},
                     [&settings](size_t choice) { settings.neutralWhenUnavailable = choice == 1; })
            .Default(settings.neutralWhenUnavailable ? "neutral" : "error"),
    });
    if (int rc = engined::ReadOptions(table, argc, argv)) return rc;
    bool ok = true;
    if (!spamdTcp.empty() && !spamdSocket.empty()) {
        Error("give --spamd or --spamd-socket, not both");
        ok = false;
    }
    if (ok && !spamdSocket.empty()) {
        settings.spamd.socketPath = spamdSocket;
    } else if (ok && !engined::ParseHostPort(spamdTcp.empty() ? defaultSpamd : spamdTcp,
                                             settings.spamd)) {
        Error("--spamd wants HOST:PORT, not %s", spamdTcp.c_str());
        ok = false;
    }
    if (!ok) {
        fprintf(stderr, "Try quillon-spamd --help\n");
        return 2;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    daemonlog::SetName("quillon-spamd");
    Settings settings;
    if (int rc = ReadOptions(argc, argv, settings)) return rc < 0 ? 0 : rc;
    if (settings.syslog) daemonlog::UseSyslog();

    InstallSignalHandlers();
    SpamHandler handler(settings);
    engined::FrameServer server(settings.socketPath, handler, settings.access);
    if (!server.Listen()) return 1;
    Log("asking spamd at %s (%s when it stays away for %d s), listening on %s",
        settings.spamd.Text().c_str(), settings.neutralWhenUnavailable ? "neutral" : "error",
        settings.timeoutMs / 1000, settings.socketPath.c_str());
    engined::NotifyServiceManager("READY=1\nSTATUS=asking spamd at " + settings.spamd.Text());
    server.Run();
    engined::NotifyServiceManager("STOPPING=1");
    Log("stopped");
    return 0;
}
