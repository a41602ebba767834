// quillon-clamd: a scan engine daemon on libclamav.  It speaks the engine
// side of the scan engine wire protocol on a unix socket: a SCAN_FILE_REQUEST
// names a file by absolute path, the file is scanned with every match
// reported (mail messages are unpacked by ClamAV, so a virus in a MIME
// attachment is found) and the SCAN_FILE_RESULT carries one `virus` entry per
// match; a SUBSCRIBE_INFO is answered with the ClamAV version and the time
// stamp of the signature databases, and again after every reload (SIGHUP).
//
// Inputs: the frames of each connection, the files they name, the signature
// database directory.  Limits: the report is flat (the matches of nested
// objects are listed on the root, without `item` children); the per-request
// depth and timeout settings of the schema are not honoured beyond switching
// mail or archive parsing off at a depth of 0, because libclamav sets its
// limits per engine, not per scan; a signature that matches in several
// layers of a file is listed once; at most maxFindings names are listed.
#include <clamav.h>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "clamd_scan.h"
#include "daemon_util.h"
#include "frame_server.h"
#include "quillon_se_api.pb.h"

using engined::LoadedEngine;
using engined::Log;

namespace {

constexpr size_t maxQueuedScans = 256;

// libclamav writes its warnings to stderr by itself; route them through our
// log so that lines never interleave.
extern "C" void OnLibraryMessage(enum cl_msg severity, const char* fullmsg, const char*, void*) {
    if (severity < CL_MSG_WARN || fullmsg == nullptr) return;
    std::string text = fullmsg;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    Log("%s", text.c_str());
}

class ClamHandler : public engined::FrameHandler {
  public:
    ClamHandler(std::string dbDir, std::shared_ptr<const LoadedEngine> loaded, unsigned workers)
        : dbDir_(std::move(dbDir)),
          workers_(workers),
          loaded_(std::move(loaded)),
          pool_(workers, maxQueuedScans) {}

    bool OnFrame(const std::shared_ptr<engined::Connection>& connection,
                 const std::string& body) override {
        ql::ClientMessage request;
        switch (engined::ReadClamdFrame(body, request)) {
            case engined::ClamdFrame::kMalformed:
                Log("connection %u: a frame of %zu bytes is not a valid request", connection->Id(),
                    body.size());
                return false;
            case engined::ClamdFrame::kScan:
                pool_.Submit([this, connection, request] { Answer(*connection, request); });
                break;
            case engined::ClamdFrame::kSubscribe:
                Subscribe(connection);
                SendInfo(*connection);
                break;
            case engined::ClamdFrame::kUnsubscribe:
                Unsubscribe(connection.get());
                break;
        }
        return true;
    }

    void OnClose(const std::shared_ptr<engined::Connection>& connection) override {
        Unsubscribe(connection.get());
    }

    void OnReload() override {
        Log("reloading the signature databases of %s", dbDir_.c_str());
        std::shared_ptr<const LoadedEngine> fresh = engined::LoadEngine(dbDir_);
        if (!fresh) {
            Log("reload failed, the previous signatures stay in use");
            return;
        }
        Log("%u signatures loaded", fresh->signatures);
        {
            std::lock_guard<std::mutex> lock(engineMutex_);
            loaded_ = std::move(fresh);
        }
        std::vector<std::shared_ptr<engined::Connection>> targets;
        {
            std::lock_guard<std::mutex> lock(subscribersMutex_);
            targets = subscribers_;
        }
        for (const auto& connection : targets) SendInfo(*connection);
    }

  private:
    std::shared_ptr<const LoadedEngine> Current() {
        std::lock_guard<std::mutex> lock(engineMutex_);
        return loaded_;
    }

    void Answer(engined::Connection& connection, const ql::ClientMessage& request) {
        // The engine in force when the scan starts stays alive until it ends,
        // even if a reload replaces it meanwhile.
        std::shared_ptr<const LoadedEngine> loaded = Current();
        ql::ServerMessage reply;
        engined::AnswerScan(*loaded, request, reply);
        connection.Send(reply);
    }

    void SendInfo(engined::Connection& connection) {
        ql::ServerMessage notification;
        engined::DescribeEngine(*Current(), workers_, notification);
        connection.Send(notification);
    }

    void Subscribe(const std::shared_ptr<engined::Connection>& connection) {
        Unsubscribe(connection.get());
        std::lock_guard<std::mutex> lock(subscribersMutex_);
        subscribers_.push_back(connection);
    }

    void Unsubscribe(const engined::Connection* connection) {
        std::lock_guard<std::mutex> lock(subscribersMutex_);
        for (auto it = subscribers_.begin(); it != subscribers_.end();) {
            it = it->get() == connection ? subscribers_.erase(it) : it + 1;
        }
    }

    const std::string dbDir_;
    const unsigned workers_;
    std::mutex engineMutex_;  // guards loaded_ (the pointer; the engine itself is immutable)
    std::shared_ptr<const LoadedEngine> loaded_;
    std::mutex subscribersMutex_;  // guards subscribers_
    std::vector<std::shared_ptr<engined::Connection>> subscribers_;
    // Last member: its destructor waits for running scans, which use the
    // members above.
    engined::WorkerPool pool_;
};

void Usage() {
    Log("usage: quillon-clamd --socket PATH [--db DIR] [--workers N]");
}

}  // namespace

int main(int argc, char** argv) {
    engined::SetLogName("quillon-clamd");
    cl_set_clcb_msg(OnLibraryMessage);
    std::string socketPath, dbDir, workersText = "2", help;
    if (!engined::ParseOptions(argc, argv,
                               {{"--socket", &socketPath, false},
                                {"--db", &dbDir, false},
                                {"--workers", &workersText, false},
                                {"--help", &help, true}}) ||
        !help.empty() || socketPath.empty()) {
        Usage();
        return help.empty() ? 2 : 0;
    }
    uint64_t workers = 0;
    if (!engined::ParseNumber(workersText, 1, 32, workers)) {
        Log("--workers must be a number from 1 to 32");
        return 2;
    }
    if (dbDir.empty()) dbDir = cl_retdbdir();

    cl_error_t rc = cl_init(CL_INIT_DEFAULT);
    if (rc != CL_SUCCESS) {
        Log("cannot initialise libclamav: %s", cl_strerror(rc));
        return 1;
    }
    std::shared_ptr<const LoadedEngine> loaded = engined::LoadEngine(dbDir);
    if (!loaded) return 1;

    engined::InstallSignalHandlers();
    ClamHandler handler(dbDir, loaded, static_cast<unsigned>(workers));
    engined::FrameServer server(socketPath, handler);
    if (!server.Listen()) return 1;
    Log("%s, %u signatures from %s, listening on %s", loaded->version.c_str(), loaded->signatures,
        dbDir.c_str(), socketPath.c_str());
    loaded.reset();
    server.Run();
    Log("stopped");
    return 0;
}
