// quillon-spamd: an anti-spam engine daemon on SpamAssassin.  It speaks the
// engine side of the anti-spam wire protocol on a unix socket, hands the
// message of every GET_SPAM_REPORT_REQUEST to a running spamd, and answers
// with a SpamReport: VR_SPAM or VR_LEGIT as spamd decided, SpamAssassin's
// score mapped onto the engine scale (EngineScore in spam_rating.h), and the
// names of the rules that hit.  When spamd cannot be reached or answers nonsense, the
// reply carries an `error` record instead, and the reason is logged.
//
// Inputs: the frames of each connection; spamd's replies.  Limits: messages
// longer than --max-size are cut to that size before rating, as spamd gets
// slow and spamc refuses them beyond a similar size; every spamd exchange is
// bounded by --timeout.
#include <unistd.h>
#include <memory>
#include <string>

#include "daemon_util.h"
#include "frame_server.h"
#include "quillon_ase_api.pb.h"
#include "spam_rating.h"
#include "spamd_client.h"

using engined::Log;

namespace {

constexpr size_t maxQueuedRequests = 32;
// spamd refuses connections only while it is (re)starting; a short retry
// spares the filter an error reply in that window.
constexpr int connectAttempts = 3;
constexpr int connectPauseMs = 250;

struct Settings {
    engined::SpamdAddress spamd;
    size_t maxSize = 512000;
    int timeoutMs = 60000;
};

class SpamHandler : public engined::FrameHandler {
  public:
    SpamHandler(Settings settings, unsigned workers)
        : settings_(std::move(settings)), pool_(workers, maxQueuedRequests) {}

    bool OnFrame(const std::shared_ptr<engined::Connection>& connection,
                 const std::string& body) override {
        auto request = std::make_shared<ql::ClientMessage>();
        // Cut before queueing, so that waiting requests hold no more than spamd
        // will ever see.
        if (!engined::ReadRatingRequest(body, settings_.maxSize, *request)) {
            Log("connection %u: a frame of %zu bytes is not a valid request", connection->Id(),
                body.size());
            return false;
        }
        pool_.Submit([this, connection, request] { Answer(*connection, *request); });
        return true;
    }

  private:
    void Answer(engined::Connection& connection, const ql::ClientMessage& request) {
        engined::SpamdOutcome outcome;
        for (int attempt = 1; attempt <= connectAttempts; ++attempt) {
            outcome = engined::AskSpamd(settings_.spamd, request.message(), settings_.timeoutMs);
            if (outcome.failure != engined::SpamdFailure::kUnreachable ||
                attempt == connectAttempts)
                break;
            usleep(connectPauseMs * 1000);
        }
        if (outcome.failure != engined::SpamdFailure::kNone)
            Log("serial %u: %s", request.serial(), outcome.what.c_str());
        ql::ServerMessage reply;
        engined::BuildRatingReply(request, outcome, reply);
        connection.Send(reply);
    }

    const Settings settings_;
    // Last member: its destructor waits for running requests, which read
    // settings_.
    engined::WorkerPool pool_;
};

void Usage() {
    Log("usage: quillon-spamd --socket PATH (--spamd HOST:PORT | --spamd-socket PATH) "
        "[--workers N] [--max-size BYTES] [--timeout SECONDS]");
}

}  // namespace

int main(int argc, char** argv) {
    engined::SetLogName("quillon-spamd");
    std::string socketPath, spamdTcp, spamdSocket, workersText = "2", maxSizeText = "512000",
                                                   timeoutText = "60", help;
    if (!engined::ParseOptions(argc, argv,
                               {{"--socket", &socketPath, false},
                                {"--spamd", &spamdTcp, false},
                                {"--spamd-socket", &spamdSocket, false},
                                {"--workers", &workersText, false},
                                {"--max-size", &maxSizeText, false},
                                {"--timeout", &timeoutText, false},
                                {"--help", &help, true}}) ||
        !help.empty() || socketPath.empty()) {
        Usage();
        return help.empty() ? 2 : 0;
    }
    Settings settings;
    if (!spamdTcp.empty() && !spamdSocket.empty()) {
        Log("give --spamd or --spamd-socket, not both");
        return 2;
    }
    if (!spamdSocket.empty()) {
        settings.spamd.socketPath = spamdSocket;
    } else if (!engined::ParseHostPort(spamdTcp.empty() ? "127.0.0.1:783" : spamdTcp,
                                       settings.spamd)) {
        Log("--spamd wants HOST:PORT, not %s", spamdTcp.c_str());
        return 2;
    }
    uint64_t workers = 0, maxSize = 0, timeout = 0;
    if (!engined::ParseNumber(workersText, 1, 32, workers)) {
        Log("--workers must be a number from 1 to 32");
        return 2;
    }
    if (!engined::ParseNumber(maxSizeText, 1024, engined::maxFrameLength, maxSize)) {
        Log("--max-size must be a number of bytes from 1024 to %u", engined::maxFrameLength);
        return 2;
    }
    if (!engined::ParseNumber(timeoutText, 1, 3600, timeout)) {
        Log("--timeout must be a number of seconds from 1 to 3600");
        return 2;
    }
    settings.maxSize = static_cast<size_t>(maxSize);
    settings.timeoutMs = static_cast<int>(timeout * 1000);
    const std::string spamdText = settings.spamd.Text();

    engined::InstallSignalHandlers();
    SpamHandler handler(std::move(settings), static_cast<unsigned>(workers));
    engined::FrameServer server(socketPath, handler);
    if (!server.Listen()) return 1;
    Log("asking spamd at %s, listening on %s", spamdText.c_str(), socketPath.c_str());
    server.Run();
    Log("stopped");
    return 0;
}
