// The anti-spam engine daemon: its options, the handler that turns a
// rating request into a rating through the pool, start-up and shutdown.
// See rating_daemon.h for the contract.
#include "engines/rating/rating_daemon.h"

#include <chrono>
#include <memory>

#include "common/base/daemonlog.h"
#include "common/base/options.h"
#include "common/base/readiness.h"
#include "common/base/signals.h"
#include "common/base/version.h"
#include "engines/kit/daemon_options.h"
#include "engines/kit/frame_server.h"
#include "engines/rating/rating_pool.h"
#include "quillon_ase_api.pb.h"

namespace engined {

using daemonlog::Error;
using daemonlog::Log;
using daemonlog::Warn;

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t maxQueuedRequests = 32;

struct Settings : CommonOptions {
    std::vector<MemberAddress> members;
    size_t maxSize = 0;
    int timeoutMs = 60000;
    bool neutralWhenUnavailable = false;
    unsigned workers = 0;
    // A rule reload keeps spamd from answering for one to three seconds
    // with Debian's rules, up to about ten with many rules on a slow host.
    unsigned graceSeconds = 10;
};

class RatingHandler : public FrameHandler {
  public:
    RatingHandler(const RatingDaemonDesc& desc, const Settings& settings)
        : desc_(desc),
          settings_(settings),
          members_(settings.members, std::chrono::seconds(settings.graceSeconds), desc.client),
          pool_(settings.workers, maxQueuedRequests) {}

    bool OnFrame(const std::shared_ptr<Connection>& connection, const std::string& body) override {
        auto request = std::make_shared<ql::ClientMessage>();
        // Cut before queueing, so that waiting requests hold no more than the
        // engine will ever see.
        if (!ReadRatingRequest(body, settings_.maxSize, *request)) {
            Warn("connection %u: a frame of %zu bytes is not a valid request", connection->Id(),
                 body.size());
            return false;
        }
        pool_.Submit([this, connection, request] { Answer(*connection, *request); });
        return true;
    }

    std::string MembersText() const { return members_.Text(); }

  private:
    void Answer(Connection& connection, const ql::ClientMessage& request) {
        const Clock::time_point started = Clock::now();
        RatingOutcome outcome =
            desc_.request ? members_.Rate(desc_.request(request.message()), request.serial(),
                                          settings_.timeoutMs)
                          : members_.Rate(request.message(), request.serial(), settings_.timeoutMs);
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
        if (outcome.failure != ExchangeFailure::kNone) {
            // While every member is away the pool has said so once; a line
            // per message would only repeat it.
            if (settings_.neutralWhenUnavailable) {
                if (!outcome.unasked)
                    Warn("serial %u: not rated, answered as a plain message: %s", request.serial(),
                         outcome.what.c_str());
                outcome = RatingOutcome();
                outcome.verdict.threshold = desc_.neutralThreshold;
            } else if (!outcome.unasked) {
                daemonlog::LogAt(daemonlog::Level::kError, "serial %u: %s", request.serial(),
                                 outcome.what.c_str());
            }
        } else {
            const RatingVerdict& verdict = outcome.verdict;
            // In a pool the line names the member that rated.
            std::string from;
            if (members_.Size() > 1)
                from = " from " + members_.Member(static_cast<size_t>(outcome.member)).Text();
            Log("serial %u: %s %s (%lld ms)%s", request.serial(), verdict.spam ? "SPAM" : "ham",
                desc_.ratingText(verdict).c_str(), static_cast<long long>(elapsed), from.c_str());
        }
        ql::ServerMessage reply;
        BuildRatingReply(request, outcome, reply, desc_.decimals);
        connection.Send(reply);
    }

    const RatingDaemonDesc& desc_;
    const Settings& settings_;
    RatingPool members_;
    // Last member: its destructor waits for running requests, which read
    // settings_ and members_.
    WorkerPool pool_;
};

// 0: go on; otherwise the exit status (a mistake or --help in the options
// ends the process there).
int ReadRatingOptions(const RatingDaemonDesc& desc, int argc, char** argv, Settings& settings) {
    const std::string engine = desc.client.name;
    OptionTable table(desc.program, desc.usage, "",
                      std::string(desc.program) + " " + tarnwickVersion);
    // Tarnwick-AS sends a message of at most 32 MiB with a few fields around
    // it; the margin covers those fields many times over.
    settings.access.maxFrameBytes = (32u << 20) + (64u << 10);
    settings.maxSize = desc.maxSize;
    settings.workers = desc.workers;
    table.Add(CommonOptionRows(settings));
    std::vector<OptionRow> rows;
    for (const MemberOption& option : desc.members) {
        OptionRow row = TextOption(option.name, option.argument, option.help,
                                   [&option, &settings](const char* text) {
                                       std::string problem;
                                       if (option.add(text, settings.members, problem)) return true;
                                       Error("--%s: %s", option.name, problem.c_str());
                                       return false;
                                   });
        rows.push_back(option.defaultText ? std::move(row).Default(option.defaultText)
                                          : std::move(row));
    }
    const std::string graceHelp = "while every " + engine + " refuses (" + desc.refusal +
                                  "), hold ratings this long from the refusal, within --timeout, "
                                  "before answering them unrated; 0: answer at once";
    const std::string unavailableHelp =
        "while every " + engine + " is away: an error reply, or the score of a plain message";
    rows.push_back(
        NumberOption("workers", "N", "messages rated at once", 1, 32, &settings.workers));
    rows.push_back(
        NumberOption("reload-grace", "SECONDS", graceHelp.c_str(), 0, 60, &settings.graceSeconds));
    rows.push_back(NumberOption("max-size", "BYTES", "longer messages are cut before rating", 1024,
                                maxFrameLength, &settings.maxSize));
    rows.push_back(
        NumberOption("timeout", "SECONDS", "limit for one rating, its second try included", 1, 3600,
                     [&settings](uint64_t n) { settings.timeoutMs = static_cast<int>(n * 1000); })
            .Default(std::to_string(settings.timeoutMs / 1000)));
    rows.push_back(
        ChoiceOption("unavailable", "ACTION", unavailableHelp.c_str(), {"error", "neutral"},
                     [&settings](size_t choice) { settings.neutralWhenUnavailable = choice == 1; })
            .Default(settings.neutralWhenUnavailable ? "neutral" : "error"));
    table.Add(std::move(rows));
    ReadOptions(table, argc, argv);
    std::string problem;
    if (settings.members.empty() &&
        !desc.members.front().add(desc.defaultMember, settings.members, problem)) {
        Error("%s", problem.c_str());
        return 2;
    }
    return 0;
}

}  // namespace

int RunRatingDaemon(const RatingDaemonDesc& desc, int argc, char** argv) {
    daemonlog::SetName(desc.program);
    Settings settings;
    if (int rc = ReadRatingOptions(desc, argc, argv, settings)) return rc;
    if (settings.socket.syslog) daemonlog::UseSyslog();

    InstallSignalHandlers();
    RatingHandler handler(desc, settings);
    FrameServer server(settings.socket, handler, settings.access);
    if (!server.Listen()) return 1;
    const std::string members = handler.MembersText();
    Log("asking %s at %s (%s answer while every one is away), listening on %s", desc.client.name,
        members.c_str(), settings.neutralWhenUnavailable ? "neutral" : "error",
        settings.socket.path.c_str());
    NotifyServiceManager(std::string("READY=1\nSTATUS=asking ") + desc.client.name + " at " +
                         members);
    server.Run();
    NotifyServiceManager("STOPPING=1");
    Log("stopped");
    return 0;
}

}  // namespace engined
