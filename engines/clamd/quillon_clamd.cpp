// quillon-clamd: a scan engine daemon on libclamav.  It speaks the engine
// side of the scan engine wire protocol on a unix socket: a SCAN_FILE_REQUEST
// names a file by absolute path, the file is scanned with every match
// reported (mail messages are unpacked by ClamAV, so a virus in a MIME
// attachment is found) and the SCAN_FILE_RESULT carries one `virus` entry per
// match; a SUBSCRIBE_INFO is answered with the ClamAV version and the time
// stamp of the signature databases, and again after every reload (SIGHUP,
// or the self-check finding the database directory changed).  A file that
// hits one of the engine's limits, or holds encrypted content, is reported
// with ClamAV's Heuristics.* finding (see clamav_scan.h), never as clean.
//
// Inputs: the frames of each connection, the files they name, the signature
// database directory.  Limits: the report is flat (the matches of nested
// objects are listed on the root, without `item` children); the per-request
// depth and timeout settings of the schema are not honoured beyond switching
// mail or archive parsing off at a depth of 0, because libclamav sets its
// limits per engine, not per scan; a signature that matches in several
// layers of a file is listed once; at most maxFindings names are listed.
#include <clamav.h>
#include <malloc.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "common/base/daemonlog.h"
#include "common/base/options.h"
#include "common/base/readiness.h"
#include "common/base/signals.h"
#include "common/base/text.h"
#include "common/base/threads.h"
#include "common/base/version.h"
#include "engines/clamd/clamav_scan.h"
#include "engines/kit/daemon_options.h"
#include "engines/kit/frame_server.h"
#include "engines/kit/member_address.h"
#include "quillon_se_api.pb.h"

using daemonlog::Error;
using daemonlog::Log;
using daemonlog::Warn;
using engined::LoadedEngine;

namespace {

constexpr size_t maxQueuedScans = 256;
// Scans of files at least this large hand their freed memory back.
constexpr uint64_t trimAfterBytes = 1u << 20;
// Files from this size on are scanned at most --large-scans at once.
constexpr uint64_t largeScanBytes = 4u << 20;

struct Options : engined::CommonOptions {
    std::string dbDir;
    unsigned workers = 2;
    unsigned largeScans = 0;  // 0 until the options are read: one more than the CPUs
    unsigned selfCheckSeconds = 600;
    unsigned dbMaxAgeDays = 7;
    engined::ScanSettings scan;
    // With members, scans go to these clamd daemons instead of libclamav.
    std::vector<engined::MemberAddress> clamd;
    // How long a member may take to answer one scan; 0: --max-scan-time and
    // a margin for the stream.
    unsigned clamdTimeoutSeconds = 0;
    // How long scans wait while every member is down (a clamd restarted).
    // clamd's own reload after a signature update keeps serving, or holds
    // the connections it accepted until it is done; a restart on the full
    // database takes longer than this, and --reload-grace is there for it.
    unsigned graceSeconds = 10;
    std::shared_ptr<engined::ClamdPool> pool;
};

// Logs how old the loaded signatures are, with a warning past maxAgeDays:
// an engine whose updates silently stopped still answers every scan.
void ReportAge(const LoadedEngine& loaded, unsigned maxAgeDays) {
    const time_t now = time(nullptr);
    const long long age =
        loaded.stamp > 0
            ? (static_cast<long long>(now) - static_cast<long long>(loaded.stamp)) / 86400
            : -1;
    if (age < 0) {
        Log("%u signatures loaded, the databases carry no date", loaded.signatures);
    } else if (maxAgeDays > 0 && age > maxAgeDays) {
        Warn(
            "%u signatures loaded, the databases are %lld days old (more than %u): "
            "check freshclam",
            loaded.signatures, age, maxAgeDays);
    } else {
        Log("%u signatures loaded, the databases are %lld days old", loaded.signatures, age);
    }
}

// Watches the database directory for the files freshclam replaces.
class DatabaseWatch {
  public:
    explicit DatabaseWatch(std::string dir) : dir_(std::move(dir)) {}
    ~DatabaseWatch() { Forget(); }
    DatabaseWatch(const DatabaseWatch&) = delete;
    DatabaseWatch& operator=(const DatabaseWatch&) = delete;

    // Notes the directory as it is now; the next Changed compares with it.
    void Remember() {
        Forget();
        memset(&stat_, 0, sizeof stat_);
        armed_ = cl_statinidir(dir_.c_str(), &stat_) == CL_SUCCESS;
    }
    bool Changed() { return armed_ && cl_statchkdir(&stat_) == 1; }

  private:
    void Forget() {
        if (armed_) cl_statfree(&stat_);
        armed_ = false;
    }
    const std::string dir_;
    cl_stat stat_;
    bool armed_ = false;
};

class ClamHandler : public engined::FrameHandler {
  public:
    ClamHandler(const Options& options, std::shared_ptr<const LoadedEngine> loaded)
        : options_(options),
          loaded_(std::move(loaded)),
          watch_(options.dbDir),
          nextCheck_(Clock::now() + std::chrono::seconds(options.selfCheckSeconds)),
          largeScans_(options.largeScans, largeScanBytes),
          pool_(options.workers, maxQueuedScans) {
        watch_.Remember();
    }

    bool OnFrame(const std::shared_ptr<engined::Connection>& connection,
                 const std::string& body) override {
        ql::ClientMessage request;
        switch (engined::ReadClamdFrame(body, request)) {
            case engined::ClamdFrame::kMalformed:
                Warn("connection %u: a frame of %zu bytes is not a valid request", connection->Id(),
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

    // SIGHUP, and the self-check when the directory changed.
    void OnReload() override {
        Log("reloading the signature databases of %s", options_.dbDir.c_str());
        NotifyServiceManager("RELOADING=1");
        // Remembered before the load: a file that changes while it runs
        // makes the next check load again.
        watch_.Remember();
        std::shared_ptr<const LoadedEngine> fresh =
            options_.pool ? engined::PoolEngine(options_.pool, options_.scan)
                          : engined::LoadEngine(options_.dbDir, options_.scan);
        NotifyServiceManager("READY=1");
        if (!fresh) {
            daemonlog::LogAt(daemonlog::Level::kError,
                             "reload failed, the previous signatures stay in use");
            return;
        }
        if (!options_.pool) ReportAge(*fresh, options_.dbMaxAgeDays);
        {
            twLock lock(engineMutex_);
            loaded_ = std::move(fresh);
        }
        std::vector<std::shared_ptr<engined::Connection>> targets;
        {
            twLock lock(subscribersMutex_);
            targets = subscribers_;
        }
        for (const auto& connection : targets) SendInfo(*connection);
    }

    void OnIdle() override {
        if (options_.selfCheckSeconds == 0 || options_.pool || Clock::now() < nextCheck_) return;
        nextCheck_ = Clock::now() + std::chrono::seconds(options_.selfCheckSeconds);
        if (watch_.Changed()) {
            Log("self-check: the signature databases changed");
            OnReload();
        }
    }

  private:
    using Clock = std::chrono::steady_clock;

    std::shared_ptr<const LoadedEngine> Current() {
        twLock lock(engineMutex_);
        return loaded_;
    }

    void Answer(engined::Connection& connection, const ql::ClientMessage& request) {
        // The engine in force when the scan starts stays alive until it ends,
        // even if a reload replaces it meanwhile.
        std::shared_ptr<const LoadedEngine> loaded = Current();
        ql::ServerMessage reply;
        engined::AnswerScan(*loaded, request, reply, &largeScans_);
        connection.Send(reply);
        // A large file leaves its unpacking buffers free but resident in
        // the arenas, under the next large scan's peak: give them back.  Mail
        // of usual size skips this (a walk of every arena).
        if (!options_.pool && reply.scan_report().size() >= trimAfterBytes) malloc_trim(0);
    }

    void SendInfo(engined::Connection& connection) {
        ql::ServerMessage notification;
        engined::DescribeEngine(*Current(), options_.workers, notification);
        connection.Send(notification);
    }

    void Subscribe(const std::shared_ptr<engined::Connection>& connection) {
        Unsubscribe(connection.get());
        twLock lock(subscribersMutex_);
        subscribers_.push_back(connection);
    }

    void Unsubscribe(const engined::Connection* connection) EXCLUDES(subscribersMutex_) {
        twLock lock(subscribersMutex_);
        for (auto it = subscribers_.begin(); it != subscribers_.end();) {
            it = it->get() == connection ? subscribers_.erase(it) : it + 1;
        }
    }

    const Options& options_;
    twMutex engineMutex_;
    // The pointer only: the engine itself is immutable once loaded.
    std::shared_ptr<const LoadedEngine> loaded_ GUARDED_BY(engineMutex_);
    twMutex subscribersMutex_;
    std::vector<std::shared_ptr<engined::Connection>> subscribers_ GUARDED_BY(subscribersMutex_);
    // Touched only on the accept loop.
    DatabaseWatch watch_;
    Clock::time_point nextCheck_;
    engined::LargeScanGate largeScans_;
    // Last member: its destructor waits for running scans, which use the
    // members above.
    engined::WorkerPool pool_;
};

// Bounds beyond which libclamav's own counters and maps give up.
constexpr uint64_t maxSizeLimit = 2000ull << 20;

// The real path of an allowed directory.  The filter creates its Temp
// directory when it starts, usually after the engine: a directory that does
// not exist yet is taken by the real path of its nearest existing parent
// and the rest of its name.
bool AddAllowDir(const char* text, Options& options) {
    std::string wanted = text;
    while (wanted.size() > 1 && wanted.back() == '/') wanted.pop_back();
    if (wanted.empty() || wanted[0] != '/' || wanted.find("/..") != std::string::npos ||
        wanted.find("/./") != std::string::npos) {
        Error("--allow-dir needs an absolute directory without . or .. components, not %s", text);
        return false;
    }
    std::string missing;
    char real[PATH_MAX];
    while (realpath(wanted.c_str(), real) == nullptr) {
        size_t slash = wanted.rfind('/');
        if (errno != ENOENT || slash == std::string::npos) {
            Error("--allow-dir %s: %s", text, strerror(errno));
            return false;
        }
        missing = wanted.substr(slash) + missing;
        wanted.erase(slash == 0 ? 1 : slash);
    }
    std::string dir = real;
    if (!missing.empty()) {
        Warn("--allow-dir %s does not exist yet", text);
        dir = (dir == "/" ? "" : dir) + missing;
    }
    options.scan.allowDirs.push_back(dir);
    options.scan.allowNames.push_back(engined::Normalise(text));
    return true;
}

// Fills options from the command line; a mistake or --help ends the process.
void ReadOptions(int argc, char** argv, Options& options) {
    options.dbDir = cl_retdbdir();
    engined::ScanSettings& scan = options.scan;
    OptionTable table(
        "quillon-clamd",
        "usage: quillon-clamd --socket PATH [options]\n"
        "Scans the files that Tarnwick-AV names with libclamav.\n"
        "\n",
        "\nSIZE: bytes, or a number with K or M.  SIGHUP reloads the databases.\n",
        std::string("quillon-clamd ") + tarnwickVersion + " (ClamAV " + cl_retver() + ")");
    // A scan request names a file: a path of at most PATH_MAX bytes and a
    // few fields.  Nothing longer is a request.
    options.access.maxFrameBytes = 16u << 10;
    table.Add(engined::CommonOptionRows(options));
    table.Add({
        TextOption("db", "DIR", "signature database directory", &options.dbDir),
        NumberOption("workers", "N", "scans at once", 1, 32, &options.workers),
        NumberOption("large-scans", "N",
                     "scans of files of 4M or more at once (default: one more than the CPUs, "
                     "at most --workers); each holds tens of MiB while it unpacks",
                     1, 32, &options.largeScans),
        TextOption("allow-dir", "DIR",
                   "scan only files under DIR (repeatable; without it, files anywhere)",
                   [&options](const char* text) { return AddAllowDir(text, options); }),
        SizeOption("max-scan-size", "SIZE", "data read and unpacked per file", 1, maxSizeLimit,
                   &scan.maxScanSize),
        SizeOption("max-file-size", "SIZE", "largest file or object scanned", 1, maxSizeLimit,
                   &scan.maxFileSize),
        NumberOption("max-recursion", "N", "nesting of archives and attachments", 1, 255,
                     &scan.maxRecursion),
        NumberOption("max-files", "N", "objects unpacked from one file", 1, 1000000,
                     &scan.maxFiles),
        NumberOption("max-scan-time", "MS", "milliseconds per file", 1, 3600000,
                     &scan.maxScanTimeMs),
        FlagOption("alert-exceeds-max",
                   "a file over a limit is reported as Heuristics.Limits.Exceeded.*",
                   &scan.alertExceedsMax, true),
        FlagOption("no-alert-exceeds-max", "a file over a limit is scanned as far as it goes",
                   &scan.alertExceedsMax, false),
        FlagOption("alert-encrypted",
                   "encrypted archives and documents are reported as Heuristics.Encrypted.*",
                   &scan.alertEncrypted, true),
        FlagOption("no-alert-encrypted", "encrypted archives and documents pass",
                   &scan.alertEncrypted, false),
        TextOption("clamd", "ADDRESS",
                   "hand the scans to ClamAV's clamd at unix:PATH or tcp:HOST:PORT instead of "
                   "scanning here (repeatable, or comma-separated: a pool with failover)",
                   [&options](const char* text) {
                       std::string problem;
                       if (engined::AddMembers(text, options.clamd, problem)) return true;
                       Error("--clamd: %s", problem.c_str());
                       return false;
                   }),
        NumberOption("clamd-timeout", "SECONDS",
                     "a --clamd member that takes a scan and gives no answer this long is paused "
                     "(default: --max-scan-time and 30 s)",
                     1, 3600, &options.clamdTimeoutSeconds),
        NumberOption("reload-grace", "SECONDS",
                     "while every --clamd member refuses (a clamd restarting), hold scans this "
                     "long from the refusal before answering them with an error; 0: at once",
                     0, 60, &options.graceSeconds),
        TextOption("temp-dir", "DIR",
                   "where libclamav writes the parts it decodes (default: $TMPDIR or /tmp): an "
                   "existing directory of the daemon's user or root that no other user may "
                   "write to, or a sticky one; a tmpfs costs far less CPU time than a disk",
                   [&options](const char* text) {
                       std::string why;
                       bool tmpfs = false;
                       if (!engined::CheckTempDir(text, why, tmpfs)) {
                           Error("--temp-dir %s: %s", text, why.c_str());
                           return false;
                       }
                       options.scan.tempDir = text;
                       return true;
                   }),
        NumberOption("cache-size", "N",
                     "clean objects remembered so as not to scan them again (clamd: 65536; "
                     "each keeps about 64 bytes resident from the start)",
                     256, 1048576, &scan.cacheSize),
        FlagOption("all-match", "scan on after the first match and report every signature",
                   &scan.allMatch),
        NumberOption("self-check", "SECONDS", "reload when the databases changed; 0: off", 0, 86400,
                     &options.selfCheckSeconds),
        NumberOption("db-max-age", "DAYS", "warn about older databases; 0: off", 0, 3650,
                     &options.dbMaxAgeDays),
    });
    engined::ReadOptions(table, argc, argv);
}

}  // namespace

int main(int argc, char** argv) {
    daemonlog::SetName("quillon-clamd");
    engined::RouteLibraryMessages();
    Options options;
    ReadOptions(argc, argv, options);
    if (options.socket.syslog) daemonlog::UseSyslog();
    if (options.largeScans == 0) {
        // One more than the CPUs: every core stays busy while a scan waits
        // on its temporary files, and a host shared with other work does
        // not see the engine's share of it shrink.
        const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
        options.largeScans = cpus > 0 ? static_cast<unsigned>(std::min<long>(cpus + 1, 32)) : 2;
    }
    options.largeScans = std::min(options.largeScans, options.workers);
    if (options.dbDir.empty()) options.dbDir = cl_retdbdir();

    // Files are reopened for reading through /proc/self/fd (see clamav_scan.h);
    // without it every scan would fail, so say so at once.
    if (access("/proc/self/fd", X_OK) != 0) {
        Error("/proc is not mounted (%s): files cannot be opened safely", strerror(errno));
        return 1;
    }
    cl_error_t rc = cl_init(CL_INIT_DEFAULT);
    if (rc != CL_SUCCESS) {
        Error("cannot initialise libclamav: %s", cl_strerror(rc));
        return 1;
    }
    // Scan threads allocate in arenas of their own; two bound the memory
    // that freed blocks of past scans keep mapped, at no cost in speed
    // for a handful of workers.  The buffers of a large archive are
    // mapped apart and given back when freed: without a fixed threshold
    // glibc raises it after the first such block and keeps every later
    // one in the arenas, so the peak of one scan stays for good.
    mallopt(M_ARENA_MAX, 2);
    mallopt(M_MMAP_THRESHOLD, 512 << 10);
    std::shared_ptr<const LoadedEngine> loaded;
    if (!options.clamd.empty()) {
        // Members get a scan's time limit and a margin for the stream.
        const unsigned replySeconds = options.clamdTimeoutSeconds > 0
                                          ? options.clamdTimeoutSeconds
                                          : options.scan.maxScanTimeMs / 1000 + 30;
        options.pool = std::make_shared<engined::ClamdPool>(
            options.clamd, replySeconds, std::chrono::seconds(options.graceSeconds));
        loaded = engined::PoolEngine(options.pool, options.scan);
        Log("scans go to a pool of %zu clamd: %s", options.clamd.size(), loaded->version.c_str());
    } else {
        NotifyServiceManager("STATUS=loading the signature databases");
        loaded = engined::LoadEngine(options.dbDir, options.scan);
        if (!loaded) return 1;
    }
    if (!options.pool) ReportAge(*loaded, options.dbMaxAgeDays);
    const engined::ScanSettings& scan = options.scan;
    Log("limits: max-scan-size %lluM, max-file-size %lluM, max-recursion %u, max-files %u, "
        "max-scan-time %u ms; alerts on limits %s, on encryption %s; %s",
        static_cast<unsigned long long>(scan.maxScanSize >> 20),
        static_cast<unsigned long long>(scan.maxFileSize >> 20), scan.maxRecursion, scan.maxFiles,
        scan.maxScanTimeMs, scan.alertExceedsMax ? "on" : "off", scan.alertEncrypted ? "on" : "off",
        scan.allowDirs.empty() ? "files anywhere may be scanned"
                               : "files only under the --allow-dir directories");

    if (!options.pool) {
        Log("%u workers, at most %u of them on files of 4M or more", options.workers,
            options.largeScans);
        // Every part of a mail that libclamav decodes is a file of its own
        // there, created and removed again within the scan: on a disk file
        // system that is most of the daemon's time.
        const std::string tempDir = engined::TempDirOf(scan);
        std::string why;
        bool tmpfs = false;
        if (engined::CheckTempDir(tempDir, why, tmpfs)) {
            Log("temporary files in %s (%s)", EscapeControl(tempDir, 512).c_str(),
                tmpfs ? "a tmpfs" : "not a tmpfs: each part a scan decodes is created on disk");
        } else {
            Warn("temporary files in %s: %s", EscapeControl(tempDir, 512).c_str(), why.c_str());
        }
    }
    InstallSignalHandlers();
    ClamHandler handler(options, loaded);
    engined::FrameServer server(options.socket, handler, options.access);
    if (!server.Listen()) return 1;
    if (options.pool) {
        Log("%s in a pool of %zu clamd, listening on %s", loaded->version.c_str(),
            options.clamd.size(), options.socket.path.c_str());
    } else {
        Log("%s, %u signatures from %s, listening on %s", loaded->version.c_str(),
            loaded->signatures, options.dbDir.c_str(), options.socket.path.c_str());
    }
    NotifyServiceManager("READY=1\nSTATUS=" + loaded->version + ", " +
                         std::to_string(loaded->signatures) + " signatures");
    loaded.reset();
    server.Run();
    NotifyServiceManager("STOPPING=1");
    Log("stopped");
    return 0;
}
