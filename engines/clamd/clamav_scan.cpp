// Signature loading, scanning and the replies of quillon-clamd.  See
// clamav_scan.h for the contract.
#include "engines/clamd/clamav_scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/base/daemonlog.h"
#include "common/base/owners.h"
#include "common/base/text.h"
#include "engines/kit/daemon_options.h"

namespace engined {

using daemonlog::Error;
using daemonlog::Log;
using daemonlog::Warn;

namespace {

// Lines of libclamav's messages logged per scan; a hostile file can make
// it repeat one for every line of a part (each write that failed).
constexpr unsigned maxLibraryLines = 5;

// The matches of one scan, filled by the virus-found callback, and the
// errors libclamav reported during it, by the message callback.
struct ScanContext {
    std::vector<std::string> names;
    bool truncated = false;
    // An error of libclamav's own temporary files (a full or unwritable
    // temporary directory): the part it could not write out was never
    // scanned, though libclamav goes on as if it were empty.
    bool writeFailed = false;
    unsigned messages = 0;  // warnings and errors, logged or not
};

extern "C" void OnVirusFound(int, const char* name, void* context) {
    auto* scan = static_cast<ScanContext*>(context);
    if (scan == nullptr || name == nullptr) return;
    // ClamAV reports a signature again for each layer it matches in (a text
    // file raw and normalised, say); a flat report gains nothing from repeats.
    for (const std::string& known : scan->names) {
        if (known == name) return;
    }
    if (scan->names.size() >= maxFindings) {
        scan->truncated = true;
        return;
    }
    scan->names.emplace_back(name);
}

// libclamav passes the scan's context to its message callback for the
// messages of a scan, null for the others (loading, compiling).
extern "C" void OnLibraryMessage(enum cl_msg severity, const char* fullmsg, const char* msg,
                                 void* context) {
    if (severity < CL_MSG_WARN || fullmsg == nullptr) return;
    auto* scan = static_cast<ScanContext*>(context);
    if (scan != nullptr) {
        // Other errors (a malformed file of the mail, say) leave the scan's
        // answer as libclamav gives it, as clamd does: failing them would
        // defer ordinary mail that merely carries a broken attachment.
        if (severity == CL_MSG_ERROR && msg != nullptr &&
            (strcasestr(msg, "write") != nullptr || strcasestr(msg, "temporary") != nullptr))
            scan->writeFailed = true;
        if (++scan->messages > maxLibraryLines) return;
    }
    std::string text = fullmsg;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    daemonlog::LogAt(
        severity == CL_MSG_ERROR ? daemonlog::Level::kError : daemonlog::Level::kWarning, "%s",
        EscapeControl(text, 1024).c_str());
}

// The stamp and per-file counts come from the files themselves: only CVD
// containers carry a build time, and a directory of plain signature files
// (the test database, local additions) has none.
void DescribeDatabases(const std::string& dir, LoadedEngine& loaded) {
    time_t built =
        static_cast<time_t>(cl_engine_get_num(loaded.engine.get(), CL_ENGINE_DB_TIME, nullptr));
    uint64_t newest = 0;
    const UniqueDir listing(opendir(dir.c_str()));
    if (listing) {
        while (dirent* entry = readdir(listing.get())) {
            std::string path = dir + "/" + entry->d_name;
            struct stat st;
            if (entry->d_name[0] == '.' || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
                continue;
            unsigned count = 0;
            if (cl_countsigs(path.c_str(), CL_COUNTSIGS_ALL, &count) != CL_SUCCESS || count == 0)
                continue;
            loaded.bases.emplace_back(path, count);
            if (static_cast<uint64_t>(st.st_mtime) > newest)
                newest = static_cast<uint64_t>(st.st_mtime);
        }
    }
    loaded.stamp = built > 0 ? static_cast<uint64_t>(built) : newest;
    loaded.version = std::string("ClamAV ") + cl_retver();
    unsigned dbVersion = static_cast<unsigned>(
        cl_engine_get_num(loaded.engine.get(), CL_ENGINE_DB_VERSION, nullptr));
    if (dbVersion > 0) loaded.version += "/" + std::to_string(dbVersion);
}

ql::ScanError ErrorFromErrno(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
        case ELOOP:
            return ql::SE_FILE_NOT_FOUND;
        case EACCES:
        case EPERM:
            return ql::SE_NO_ACCESS;
        case ENAMETOOLONG:
            return ql::SE_NAME_TOO_LONG;
        case EBUSY:
        case ETXTBSY:
            return ql::SE_FILE_BUSY;
        case EIO:
            return ql::SE_READ_ERROR;
        default:
            return ql::SE_ENGINE_ERROR;
    }
}

ql::ScanError ErrorFromClamAV(cl_error_t rc) {
    switch (rc) {
        case CL_EOPEN:
        case CL_EACCES:
            return ql::SE_NO_ACCESS;
        case CL_EREAD:
        case CL_ESEEK:
        case CL_ESTAT:
        case CL_EMAP:
            return ql::SE_READ_ERROR;
        case CL_EWRITE:
        case CL_ECREAT:
        case CL_ETMPFILE:
        case CL_ETMPDIR:
            return ql::SE_WRITE_ERROR;
        case CL_EUNPACK:
            return ql::SE_UNPACKING_ERROR;
        case CL_ETIMEOUT:
            return ql::SE_SCAN_TIMEOUT;
        case CL_EMAXREC:
            return ql::SE_ARCHIVE_LEVEL_LIMIT;
        case CL_EMAXSIZE:
            return ql::SE_FILE_TOO_LARGE;
        default:
            return ql::SE_ENGINE_ERROR;
    }
}

ql::VirusType TypeOfName(const std::string& name) {
    if (name.compare(0, 11, "Heuristics.") == 0) return ql::SE_UNKNOWN_VIRUS;
    if (name.compare(0, 4, "PUA.") == 0) return ql::SE_RISKWARE;
    return ql::SE_KNOWN_VIRUS;
}

bool HasDotDot(const std::string& path) {
    size_t pos = 0;
    while ((pos = path.find("..", pos)) != std::string::npos) {
        bool startsComponent = pos == 0 || path[pos - 1] == '/';
        bool endsComponent = pos + 2 == path.size() || path[pos + 2] == '/';
        if (startsComponent && endsComponent) return true;
        pos += 2;
    }
    return false;
}

// Whether real is one of dirs or lies under one of them.
bool UnderAllowedDir(const std::string& real, const std::vector<std::string>& dirs) {
    for (const std::string& dir : dirs) {
        if (dir == "/") return true;
        if (real.size() >= dir.size() && real.compare(0, dir.size(), dir) == 0 &&
            (real.size() == dir.size() || real[dir.size()] == '/'))
            return true;
    }
    return false;
}

// Whether the object behind handle really lies in the allowed directories,
// every link on its way resolved.
bool HandleAllowed(int handle, const ScanSettings& settings) {
    const std::string self = "/proc/self/fd/" + std::to_string(handle);
    char real[PATH_MAX + 1];
    ssize_t n = readlink(self.c_str(), real, PATH_MAX);
    return n > 0 && UnderAllowedDir(std::string(real, static_cast<size_t>(n)), settings.allowDirs);
}

// The answer for a name inside the allowed directories that could not be
// opened: its nearest existing directory decides whether that is the
// name's own fault or a link leading out, which must answer as any name
// outside does.
ql::ScanError OpenFailure(const std::string& path, int error, const ScanSettings& settings) {
    if (settings.allowDirs.empty()) return ErrorFromErrno(error);
    std::string dir = path;
    for (;;) {
        size_t slash = dir.find_last_not_of('/');
        slash = slash == std::string::npos ? std::string::npos : dir.rfind('/', slash);
        if (slash == std::string::npos || slash == 0) return ql::SE_NO_ACCESS;
        dir.erase(slash);
        UniqueFd handle(open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (handle.Valid())
            return HandleAllowed(handle.Get(), settings) ? ErrorFromErrno(error) : ql::SE_NO_ACCESS;
        // An allowed directory that does not exist yet holds nothing.
        const std::string normal = Normalise(dir);
        for (const auto* dirs : {&settings.allowNames, &settings.allowDirs}) {
            if (std::find(dirs->begin(), dirs->end(), normal) != dirs->end())
                return ErrorFromErrno(error);
        }
    }
}

void RefuseOutside(const std::string& path, ql::ScanReport& report) {
    Warn("%s refused: not under an --allow-dir directory", EscapeControl(path, 512).c_str());
    report.set_error(ql::SE_NO_ACCESS);
}

// Opens path for reading when it may be scanned, else sets the report's
// error and returns an invalid descriptor.  st receives the file's status.
UniqueFd OpenForScan(const std::string& path, const ScanSettings& settings, ql::ScanReport& report,
                     struct stat& st) {
    if (path.empty() || path[0] != '/') {
        report.set_error(ql::SE_PATH_NOT_ABSOLUTE);
        return UniqueFd();
    }
    // open() would stop at a zero byte and scan some other file.
    if (path.find('\0') != std::string::npos) {
        report.set_error(ql::SE_FILE_NOT_FOUND);
        return UniqueFd();
    }
    // The filters name their own files by plain absolute paths; a ".." is
    // someone climbing out of the allowed directories.
    if (HasDotDot(path)) {
        report.set_error(ql::SE_PATH_NOT_ABSOLUTE);
        return UniqueFd();
    }
    const bool restricted = !settings.allowDirs.empty();
    // Outside by its very name: refused before the name is looked up, so
    // that no reply depends on what lies there.
    if (restricted && !NameUnder(path, settings.allowNames) &&
        !NameUnder(path, settings.allowDirs)) {
        RefuseOutside(path, report);
        return UniqueFd();
    }
    // A handle that reads nothing: a device or FIFO planted under the name
    // is never opened for reading, so it can neither block a worker nor
    // wake a driver.
    UniqueFd handle(open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!handle.Valid()) {
        ql::ScanError error = OpenFailure(path, errno, settings);
        if (error == ql::SE_NO_ACCESS) {
            RefuseOutside(path, report);
        } else {
            report.set_error(error);
        }
        return UniqueFd();
    }
    // Where the handle really is, links in the directories resolved; before
    // anything else is learnt about the file.
    if (restricted && !HandleAllowed(handle.Get(), settings)) {
        RefuseOutside(path, report);
        return UniqueFd();
    }
    if (fstat(handle.Get(), &st) != 0) {
        report.set_error(ql::SE_READ_ERROR);
        return UniqueFd();
    }
    if (!S_ISREG(st.st_mode)) {
        report.set_error(ql::SE_FILE_NOT_REGULAR);
        return UniqueFd();
    }
    // Reopening through the handle reaches the very file that was checked,
    // whatever happened to the name meanwhile.
    const std::string self = "/proc/self/fd/" + std::to_string(handle.Get());
    UniqueFd fd(open(self.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.Valid()) {
        report.set_error(ErrorFromErrno(errno));
        return UniqueFd();
    }
    return fd;
}

void AddFinding(ql::ScanReport& report, const std::string& name) {
    ql::Virus* virus = report.add_virus();
    virus->set_type(TypeOfName(name));
    virus->set_name(name);
}

// The alert for a limit that libclamav reported only by its return code.
const char* LimitAlert(cl_error_t rc) {
    switch (rc) {
        case CL_ETIMEOUT:
            return exceededScanTime;
        case CL_EMAXREC:
            return exceededRecursion;
        case CL_EMAXSIZE:
            return exceededScanSize;
        case CL_EMAXFILES:
            return exceededFiles;
        default:
            return nullptr;
    }
}

// The same report as an in-process scan, from a member of the pool.
void ScanInPool(ClamdPool& pool, int fd, const struct stat& st, const ScanSettings& settings,
                const std::string& path, ql::ScanReport& report) {
    ClamdVerdict verdict;
    if (!pool.Scan(fd, static_cast<uint64_t>(st.st_size), verdict)) {
        Warn("%s: not scanned: %s", EscapeControl(path, 512).c_str(), verdict.error.c_str());
        report.set_error(ql::SE_ENGINE_ERROR);
        return;
    }
    if (verdict.kind == ClamdVerdict::kFound) {
        for (const std::string& name : verdict.names) AddFinding(report, name);
        return;
    }
    if (verdict.kind == ClamdVerdict::kClean) return;
    Warn("%s: clamd: %s", EscapeControl(path, 512).c_str(),
         EscapeControl(verdict.error, 256).c_str());
    // The member's StreamMaxLength is below the file: the same answer as a
    // file over our own limit.
    if (verdict.error.find("size limit exceeded") != std::string::npos) {
        if (settings.alertExceedsMax) {
            AddFinding(report, exceededFileSize);
        } else {
            report.set_error(ql::SE_FILE_TOO_LARGE);
        }
        return;
    }
    report.set_error(ql::SE_ENGINE_ERROR);
}

// How far ahead of the message the host's fields are looked for.
// How far ahead of the message the host's fields are looked for; a file
// no longer than this is scanned from the bytes read for that, without
// mapping it.
constexpr size_t hostFieldsLookahead = 64 * 1024;

// The file mapped for reading, and the map libclamav reads of it from the
// message on (libclamav maps a descriptor only from a page boundary).
struct FileView {
    void* data = MAP_FAILED;
    size_t size = 0;
    cl_fmap_t* map = nullptr;
    ~FileView() {
        if (map) cl_fmap_close(map);
        if (data != MAP_FAILED) munmap(data, size);
    }
};

void ScanFile(const LoadedEngine& loaded, const ql::ScanFileRequest& request,
              ql::ScanReport& report, LargeScanGate* gate) {
    const std::string& path = request.path();
    const ScanSettings& settings = loaded.settings;
    report.set_object(path);
    struct stat st;
    UniqueFd fd = OpenForScan(path, settings, report, st);
    if (!fd.Valid()) return;
    report.set_size(static_cast<uint64_t>(st.st_size));
    // libclamav passes over a file larger than its limit as clean, and over
    // one beyond 2 GiB whatever the limit: settle both here.
    if (static_cast<uint64_t>(st.st_size) > settings.maxFileSize) {
        if (settings.alertExceedsMax) {
            AddFinding(report, exceededFileSize);
        } else {
            report.set_error(ql::SE_FILE_TOO_LARGE);
        }
        return;
    }

    if (loaded.pool) {
        ScanInPool(*loaded.pool, fd.Get(), st, settings, path, report);
        return;
    }

    cl_scan_options options;
    memset(&options, 0, sizeof options);
    // First match by default, as clamd: a verdict needs one signature, and
    // scanning on through every layer of a large archive is most of the cost.
    options.general = settings.allMatch ? CL_SCAN_GENERAL_ALLMATCHES : 0;
    if (request.heuristic_analysis()) options.general |= CL_SCAN_GENERAL_HEURISTICS;
    if (settings.alertExceedsMax) options.heuristic |= CL_SCAN_HEURISTIC_EXCEEDS_MAX;
    if (settings.alertEncrypted)
        options.heuristic |= CL_SCAN_HEURISTIC_ENCRYPTED_ARCHIVE | CL_SCAN_HEURISTIC_ENCRYPTED_DOC;
    options.parse = ~0u;
    if (request.mail_max_level() == 0) options.parse &= ~static_cast<uint32_t>(CL_SCAN_PARSE_MAIL);
    if (request.archive_max_level() == 0)
        options.parse &= ~static_cast<uint32_t>(CL_SCAN_PARSE_ARCHIVE);

    ScanContext scan;
    const char* lastName = nullptr;
    unsigned long scanned = 0;
    const LargeScanGate::Pass pass(gate, static_cast<uint64_t>(st.st_size));
    // Kept from scan to scan by each worker thread.
    thread_local std::vector<char> head(hostFieldsLookahead);
    const ssize_t got = pread(fd.Get(), head.data(), head.size(), 0);
    const size_t skip =
        got > 0 ? HostFieldsLength(std::string_view(head.data(), static_cast<size_t>(got))) : 0;
    FileView view;
    if (skip > 0 && skip < static_cast<uint64_t>(st.st_size)) {
        if (static_cast<uint64_t>(got) == static_cast<uint64_t>(st.st_size)) {
            view.map = cl_fmap_open_memory(head.data() + skip, static_cast<size_t>(got) - skip);
        } else {
            view.size = static_cast<size_t>(st.st_size);
            view.data = mmap(nullptr, view.size, PROT_READ, MAP_PRIVATE, fd.Get(), 0);
            if (view.data != MAP_FAILED)
                view.map = cl_fmap_open_memory(static_cast<const char*>(view.data) + skip,
                                               view.size - skip);
        }
    }
    cl_error_t rc = view.map ? cl_scanmap_callback(view.map, path.c_str(), &lastName, &scanned,
                                                   loaded.engine.get(), &options, &scan)
                             : cl_scandesc_callback(fd.Get(), path.c_str(), &lastName, &scanned,
                                                    loaded.engine.get(), &options, &scan);
    // The callback sees every match; the returned name is a fallback should a
    // library version report a match only there.
    if (rc == CL_VIRUS && scan.names.empty() && lastName != nullptr)
        scan.names.emplace_back(lastName);
    if (scan.names.empty() && settings.alertExceedsMax && LimitAlert(rc) != nullptr)
        scan.names.emplace_back(LimitAlert(rc));
    if (scan.truncated)
        Warn("%s: more than %zu matches, the rest are not listed", EscapeControl(path, 512).c_str(),
             maxFindings);
    for (const std::string& name : scan.names) AddFinding(report, name);
    if (scan.messages > maxLibraryLines)
        Warn("%s: %u more messages of libclamav not logged", EscapeControl(path, 512).c_str(),
             scan.messages - maxLibraryLines);
    if (rc == CL_CLEAN && scan.writeFailed) {
        // Only a match settles a scan that could not write out a part.
        Warn(
            "%s: not answered clean: libclamav could not write a part of it to its temporary "
            "directory (see its error above)",
            EscapeControl(path, 512).c_str());
        report.set_error(ql::SE_WRITE_ERROR);
        return;
    }
    if (rc != CL_CLEAN && rc != CL_VIRUS) {
        Warn("%s: scan failed: %s", EscapeControl(path, 512).c_str(), cl_strerror(rc));
        // A match already found settles the verdict; the error would only turn
        // an infected message into an unscanned one.
        if (scan.names.empty()) report.set_error(ErrorFromClamAV(rc));
    }
}

}  // namespace

size_t HostFieldsLength(std::string_view head) {
    // The end of the field that starts at pos (its folded lines with it),
    // or npos when it does not end within head.
    auto fieldEnd = [head](size_t pos) {
        for (size_t end = head.find('\n', pos);; end = head.find('\n', end + 1)) {
            if (end == std::string_view::npos || end + 1 >= head.size())
                return std::string_view::npos;
            if (head[end + 1] != ' ' && head[end + 1] != '\t') return end + 1;
        }
    };
    auto named = [head](size_t pos, std::string_view name) {
        return head.size() - pos > name.size() &&
               strncasecmp(head.data() + pos, name.data(), name.size()) == 0;
    };
    if (!named(0, "X-Envelope-From:")) return 0;
    size_t pos = fieldEnd(0);
    while (pos != std::string_view::npos && named(pos, "X-Envelope-To:")) pos = fieldEnd(pos);
    if (pos != std::string_view::npos && named(pos, "Received:")) pos = fieldEnd(pos);
    return pos == std::string_view::npos ? 0 : pos;
}

bool NameUnder(const std::string& name, const std::vector<std::string>& dirs) {
    return UnderAllowedDir(Normalise(name), dirs);
}

std::string Normalise(const std::string& name) {
    std::string normal;
    normal.reserve(name.size());
    size_t pos = 0;
    while (pos < name.size()) {
        size_t end = name.find('/', pos);
        if (end == std::string::npos) end = name.size();
        if (end > pos && name.compare(pos, end - pos, ".") != 0) {
            normal += '/';
            normal.append(name, pos, end - pos);
        }
        pos = end + 1;
    }
    if (normal.empty()) normal = "/";
    return normal;
}

void RouteLibraryMessages() {
    cl_set_clcb_msg(OnLibraryMessage);
}

std::string TempDirOf(const ScanSettings& settings) {
    if (!settings.tempDir.empty()) return settings.tempDir;
    const char* env = getenv("TMPDIR");
    return env != nullptr && *env != '\0' ? env : "/tmp";
}

bool CheckTempDir(const std::string& dir, std::string& why, bool& tmpfs) {
    tmpfs = false;
    if (dir.empty() || dir[0] != '/') {
        why = "must be an absolute path";
        return false;
    }
    // The handle pins the directory that is checked; O_NOFOLLOW: a link in
    // its place could lead anywhere, to another user's directory too.
    UniqueFd handle(open(dir.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!handle.Valid() || fstat(handle.Get(), &st) != 0) {
        why = strerror(errno);
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        why = "a symbolic link: name the directory itself";
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        why = "not a directory";
        return false;
    }
    if (st.st_uid != geteuid() && st.st_uid != 0) {
        why = "belongs to another user (uid " + std::to_string(st.st_uid) + ")";
        return false;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0) {
        why = "writable by other users without the sticky bit: they could move the scans' files";
        return false;
    }
    if (faccessat(handle.Get(), ".", W_OK | X_OK, AT_EACCESS) != 0) {
        why = std::string("the daemon cannot write there: ") + strerror(errno);
        return false;
    }
    struct statfs fs;
    tmpfs = fstatfs(handle.Get(), &fs) == 0 && fs.f_type == TMPFS_MAGIC;
    return true;
}

std::shared_ptr<const LoadedEngine> LoadEngine(const std::string& dir,
                                               const ScanSettings& settings) {
    auto loaded = std::make_shared<LoadedEngine>();
    loaded->settings = settings;
    loaded->engine.reset(cl_engine_new());
    if (!loaded->engine) {
        Error("cannot create a ClamAV engine");
        return nullptr;
    }
    cl_engine* engine = loaded->engine.get();
    const std::pair<cl_engine_field, long long> limits[] = {
        {CL_ENGINE_MAX_SCANSIZE, static_cast<long long>(settings.maxScanSize)},
        {CL_ENGINE_MAX_FILESIZE, static_cast<long long>(settings.maxFileSize)},
        {CL_ENGINE_MAX_RECURSION, settings.maxRecursion},
        {CL_ENGINE_MAX_FILES, settings.maxFiles},
        {CL_ENGINE_MAX_SCANTIME, settings.maxScanTimeMs},
        {CL_ENGINE_CACHE_SIZE, settings.cacheSize},
    };
    for (const auto& limit : limits) {
        cl_error_t set = cl_engine_set_num(engine, limit.first, limit.second);
        if (set != CL_SUCCESS) {
            Error("cannot set a scan limit: %s", cl_strerror(set));
            return nullptr;
        }
    }
    if (!settings.tempDir.empty()) {
        cl_error_t set = cl_engine_set_str(engine, CL_ENGINE_TMPDIR, settings.tempDir.c_str());
        if (set != CL_SUCCESS) {
            Error("cannot set the temporary directory: %s", cl_strerror(set));
            return nullptr;
        }
    }
    cl_error_t rc = cl_load(dir.c_str(), loaded->engine.get(), &loaded->signatures, CL_DB_STDOPT);
    if (rc != CL_SUCCESS) {
        Error("cannot load the signature databases in %s: %s", dir.c_str(), cl_strerror(rc));
        return nullptr;
    }
    if (loaded->signatures == 0) {
        Error("no signatures in %s: run freshclam or give --db a database directory", dir.c_str());
        return nullptr;
    }
    rc = cl_engine_compile(loaded->engine.get());
    if (rc != CL_SUCCESS) {
        Error("cannot compile the signatures of %s: %s", dir.c_str(), cl_strerror(rc));
        return nullptr;
    }
    cl_engine_set_clcb_virus_found(loaded->engine.get(), OnVirusFound);
    DescribeDatabases(dir, *loaded);
    return loaded;
}

std::shared_ptr<const LoadedEngine> PoolEngine(std::shared_ptr<ClamdPool> pool,
                                               const ScanSettings& settings) {
    auto loaded = std::make_shared<LoadedEngine>();
    loaded->settings = settings;
    loaded->pool = std::move(pool);
    // "ClamAV 1.4.6/27450/Mon Nov 18 09:34:22 2024": the name as the
    // in-process engine gives it, the date as the stamp.
    std::string version = loaded->pool->Version();
    size_t second = version.find('/', version.find('/') + 1);
    if (version.empty()) {
        Warn("no clamd of the pool answers VERSION yet");
        loaded->version = "ClamAV (clamd pool)";
        return loaded;
    }
    loaded->version = version.substr(0, second);
    if (second != std::string::npos) {
        struct tm built;
        memset(&built, 0, sizeof built);
        const char* end = strptime(version.c_str() + second + 1, "%a %b %d %H:%M:%S %Y", &built);
        if (end != nullptr) {
            time_t stamp = timegm(&built);
            if (stamp > 0) loaded->stamp = static_cast<uint64_t>(stamp);
        }
    }
    return loaded;
}

ClamdFrame ReadClamdFrame(const std::string& body, ql::ClientMessage& request) {
    if (!request.ParseFromString(body)) return ClamdFrame::kMalformed;
    switch (request.tag()) {
        case ql::ClientMessage::SCAN_FILE_REQUEST:
            return ClamdFrame::kScan;
        case ql::ClientMessage::SUBSCRIBE_INFO:
            return ClamdFrame::kSubscribe;
        case ql::ClientMessage::UNSUBSCRIBE_INFO:
            return ClamdFrame::kUnsubscribe;
    }
    return ClamdFrame::kMalformed;
}

LargeScanGate::Pass::Pass(LargeScanGate* gate, uint64_t size) {
    if (gate == nullptr || gate->slots_ == 0 || size < gate->bytes_) return;
    twLock lock(gate->mutex_);
    while (gate->busy_ >= gate->slots_) gate->freed_.Wait(gate->mutex_);
    ++gate->busy_;
    held_ = gate;
}

LargeScanGate::Pass::~Pass() {
    if (held_ == nullptr) return;
    {
        twLock lock(held_->mutex_);
        --held_->busy_;
    }
    held_->freed_.NotifyOne();
}

void AnswerScan(const LoadedEngine& loaded, const ql::ClientMessage& request,
                ql::ServerMessage& reply, LargeScanGate* gate) {
    const auto started = std::chrono::steady_clock::now();
    reply.Clear();
    reply.set_tag(ql::ServerMessage::SCAN_FILE_RESULT);
    if (request.has_serial()) reply.set_serial(request.serial());
    ql::ScanReport* report = reply.mutable_scan_report();
    if (!request.has_scan_file_request()) {
        Warn("serial %u: a scan request without a path", request.serial());
        report->set_object("");
        report->set_error(ql::SE_PATH_NOT_ABSOLUTE);
        return;
    }
    ScanFile(loaded, request.scan_file_request(), *report, gate);
    if (report->virus_size() == 0) return;
    std::string names;
    for (const ql::Virus& virus : report->virus()) {
        if (!names.empty()) names += ", ";
        names += virus.name();
    }
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    Log("serial %u: %s: FOUND %s (%lld ms)", request.serial(),
        EscapeControl(report->object(), 512).c_str(), EscapeControl(names, 1024).c_str(),
        static_cast<long long>(elapsed.count()));
}

void DescribeEngine(const LoadedEngine& loaded, unsigned workers, ql::ServerMessage& notification) {
    notification.Clear();
    notification.set_tag(ql::ServerMessage::INFO_NOTIFICATION);
    ql::SEAppInfo* info = notification.mutable_info();
    info->set_engine_version(loaded.version);
    info->set_base_stamp(loaded.stamp);
    info->set_max_forks(workers);
    for (const auto& base : loaded.bases) {
        ql::SEVirusBase* entry = info->add_virus_base();
        entry->set_path(base.first);
        entry->set_virus_records(base.second);
    }
}

}  // namespace engined
