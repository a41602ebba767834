// The scanning half of quillon-clamd: loading a signature database
// directory into a libclamav engine, and turning one received frame body into
// what the daemon does with it and the reply it sends.  Kept apart from the
// socket and thread handling so that it can be driven without a connection.
//
// Inputs: the database directory, frame bodies from a client, the files they
// name.  Limits: a report lists at most maxFindings names, each signature
// once.  A path is looked at only when it is absolute, holds no zero byte
// and no ".." component; its last component must not be a link; it is
// first opened without read access (O_PATH) and opened for reading only
// once it is known to be a regular file under one of the allowed
// directories, so no device or FIFO is ever opened for reading.  With
// allowed directories, a name outside them is refused by its text alone,
// before anything is looked up, and a name inside them that leads out
// through a link gets that same answer whether its file exists or not:
// the replies tell a client nothing about files outside.  The
// engine's size, depth, file count and time limits are ScanSettings; a file
// that hits one (with alertExceedsMax) or holds an encrypted archive or
// document (with alertEncrypted) is reported with a Heuristics.* finding,
// never as clean; so is none during which libclamav reported an error (a
// part it could not write to ScanSettings::tempDir) unless it found a
// match.
#ifndef TARNWICK_ENGINES_CLAMD_CLAMAV_SCAN_H
#define TARNWICK_ENGINES_CLAMD_CLAMAV_SCAN_H

#include <clamav.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/base/threads.h"
#include "engines/clamd/clamd_pool.h"
#include "quillon_se_api.pb.h"

namespace engined {

constexpr size_t maxFindings = 100;

// The names ClamAV gives these alerts; a limit the library reports only
// through its return code gets the same names here.
constexpr char exceededFileSize[] = "Heuristics.Limits.Exceeded.MaxFileSize";
constexpr char exceededScanSize[] = "Heuristics.Limits.Exceeded.MaxScanSize";
constexpr char exceededRecursion[] = "Heuristics.Limits.Exceeded.MaxRecursion";
constexpr char exceededFiles[] = "Heuristics.Limits.Exceeded.MaxFiles";
constexpr char exceededScanTime[] = "Heuristics.Limits.Exceeded.MaxScanTime";

// How the engine scans, fixed when the databases are loaded.  The defaults
// are clamd's, but for the file size: a message the filters take must fit.
struct ScanSettings {
    uint64_t maxScanSize = 400ull << 20;  // bytes read and unpacked per file
    uint64_t maxFileSize = 400ull << 20;  // a file, or an object inside one
    uint32_t maxRecursion = 17;           // nesting of archives and attachments
    uint32_t maxFiles = 10000;            // objects unpacked from one file
    uint32_t maxScanTimeMs = 120000;
    // Clean objects remembered by their hash, so that an attachment seen
    // again is not scanned again.  libclamav's default of 65536 keeps
    // 3.6 MiB resident from the start, a fifth of an engine on a small
    // database, for repeats that mail seldom brings beyond the last few
    // thousand objects.
    uint32_t cacheSize = 8192;
    bool alertExceedsMax = true;
    bool alertEncrypted = true;
    // Real paths of the directories whose files may be scanned; empty: any.
    std::vector<std::string> allowDirs;
    // The same directories as they were given (links unresolved), for the
    // check of a request's name before anything is looked up.
    std::vector<std::string> allowNames;
    // Scan on after the first match and list every signature (clamd's
    // AllMatchScanning); off, the first match ends the scan, as in clamd.
    bool allMatch = false;
    // Where libclamav writes what it unpacks (clamd's TemporaryDirectory);
    // empty: the library's own choice, $TMPDIR or /tmp.
    std::string tempDir;
};

struct ClamEngineFree {
    void operator()(cl_engine* engine) const { cl_engine_free(engine); }
};

// One loaded and compiled signature set, or the clamd pool the scans go
// to.  Never changed after loading, so scans on several threads may share
// it; a reload builds a new one.
struct LoadedEngine {
    std::unique_ptr<cl_engine, ClamEngineFree> engine;  // null with a pool
    std::shared_ptr<ClamdPool> pool;                    // null in process
    unsigned signatures = 0;
    std::string version;  // "ClamAV 1.4.6", with "/db version" when the databases carry one
    uint64_t stamp = 0;   // seconds since 1970
    std::vector<std::pair<std::string, uint32_t>> bases;  // database file, signature count
    ScanSettings settings;
};

// How many bytes at the start of head are the fields a milter host writes
// above the message: an X-Envelope-From field, then X-Envelope-To fields,
// then the host's own Received field (each with its folded lines); 0 when
// head does not begin with them or they do not end within it.  The scan
// passes over them: they hold nothing of the message, and without them the
// same message scans to the same bytes each time it comes, as the MTA
// hands it to a milter, so the engine's cache of clean files knows it again.
size_t HostFieldsLength(std::string_view head);

// Whether name, with doubled slashes and "." components dropped, lies under (or
// is) one of dirs; by its text alone.  name is absolute, without "..".
bool NameUnder(const std::string& name, const std::vector<std::string>& dirs);
// name with doubled and trailing slashes and "." components dropped.
std::string Normalise(const std::string& name);

// Sends libclamav's warnings and errors to the daemon's log (it would
// write them to stderr itself, between the daemon's lines), and has an
// error that libclamav reports in the middle of a scan fail that scan
// unless it found a match: libclamav goes on past a part of a mail it
// could not write to its temporary directory (one that is full) and
// would answer clean without having looked at that part.  Call once,
// before any thread starts.
void RouteLibraryMessages();

// The directory libclamav writes its temporary files in with settings.
std::string TempDirOf(const ScanSettings& settings);

// Whether dir may take libclamav's temporary files, the decoded parts of
// the mail being scanned: an existing directory (its own name no link),
// the daemon's user's or root's, writable by the daemon, and writable by
// no other user but with the sticky bit (as /tmp), so that nobody else can
// move or replace what the daemon puts there (libclamav makes a directory
// of mode 0700 in it for each scan).  false with why set otherwise; tmpfs
// tells whether it is a tmpfs, where the files of a scan never reach a disk.
bool CheckTempDir(const std::string& dir, std::string& why, bool& tmpfs);

// Loads and compiles the databases of dir (cl_init must have run) with the
// limits of settings.  Logs and returns null when that fails or the
// directory holds no signatures.
std::shared_ptr<const LoadedEngine> LoadEngine(const std::string& dir,
                                               const ScanSettings& settings = {});

// The engine of a daemon that hands its scans to pool: the version is the
// first answering member's ("ClamAV 1.4.6/27450"), the stamp the date of
// its databases.  The open, path and size checks stay the daemon's; the
// rest of settings is the members' own configuration.
std::shared_ptr<const LoadedEngine> PoolEngine(std::shared_ptr<ClamdPool> pool,
                                               const ScanSettings& settings);

// What a frame body asks for.  kMalformed: not a request at all; the
// connection that sent it is closed.
enum class ClamdFrame { kMalformed, kScan, kSubscribe, kUnsubscribe };
ClamdFrame ReadClamdFrame(const std::string& body, ql::ClientMessage& request);

// At most `slots` in-process scans of files of at least `bytes` at once;
// smaller files are never held.  Unpacking a large archive holds tens of
// MiB in libclamav, so the daemon's peak grows with the number of such
// scans that run together, while beyond the number of CPUs they do not
// finish any sooner.  A worker that finds every slot taken waits.
class LargeScanGate {
  public:
    LargeScanGate(unsigned slots, uint64_t bytes) : slots_(slots), bytes_(bytes) {}
    LargeScanGate(const LargeScanGate&) = delete;
    LargeScanGate& operator=(const LargeScanGate&) = delete;

    // Holds a slot for its scope when size is large.
    class Pass {
      public:
        Pass(LargeScanGate* gate, uint64_t size);
        ~Pass();
        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;

      private:
        LargeScanGate* held_ = nullptr;
    };

  private:
    const unsigned slots_;
    const uint64_t bytes_;
    twMutex mutex_;
    twCondVar freed_;
    unsigned busy_ GUARDED_BY(mutex_) = 0;
};

// The SCAN_FILE_RESULT for a kScan request: the request's serial and the
// report of its file (or the error that kept the file from being scanned).
// Logs one line for a file with findings: serial, path, names, scan time.
// gate, when given, bounds the large scans that run at once.
void AnswerScan(const LoadedEngine& loaded, const ql::ClientMessage& request,
                ql::ServerMessage& reply, LargeScanGate* gate = nullptr);

// The INFO_NOTIFICATION describing loaded, for a daemon of `workers` workers.
void DescribeEngine(const LoadedEngine& loaded, unsigned workers, ql::ServerMessage& notification);

}  // namespace engined

#endif
