// Log, descriptor ownership, the shared options, service manager messages
// and signal flags of the engine daemons.  See daemon_util.h for the
// contract.
#include "daemon_util.h"

#include <grp.h>
#include <pwd.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#ifdef TARNWICK_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace engined {

namespace {

std::mutex logMutex;  // guards logName, logStream, logToSyslog and every write to the log
std::string logName = "engine";
FILE* logStream = stderr;
bool logToSyslog = false;

extern "C" void OnStopSignal(int) {
    stopRequested.store(true);
}
extern "C" void OnReloadSignal(int) {
    reloadRequested.store(true);
}

const char* LevelWord(Level level) {
    switch (level) {
        case Level::kWarning:
            return "warning";
        case Level::kError:
            return "error";
        default:
            return "info";
    }
}

// "2026-12-08T09:15:02.114+01:00": sorts as text, and carries its zone so
// that lines from machines in different zones can be laid side by side.
std::string TimeStamp() {
    timeval now;
    gettimeofday(&now, nullptr);
    struct tm local;
    localtime_r(&now.tv_sec, &local);
    char text[48];
    size_t n = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    long offset = local.tm_gmtoff / 60;
    char sign = offset < 0 ? '-' : '+';
    if (offset < 0) offset = -offset;
    snprintf(text + n, sizeof text - n, ".%03ld%c%02ld:%02ld",
             static_cast<long>(now.tv_usec / 1000), sign, offset / 60, offset % 60);
    return text;
}

void Write(Level level, const char* format, va_list args) {
    char text[1024];
    vsnprintf(text, sizeof text, format, args);
    // A line break inside would let a file name forge a log line.
    for (char* p = text; *p != '\0'; ++p) {
        if (*p == '\n' || *p == '\r') *p = ' ';
    }
    std::lock_guard<std::mutex> lock(logMutex);
    if (logToSyslog) {
        syslog(level == Level::kError     ? LOG_ERR
               : level == Level::kWarning ? LOG_WARNING
                                          : LOG_INFO,
               "%s", text);
        return;
    }
    if (logStream == nullptr) return;
    fprintf(logStream, "%s %s[%ld]: %s: %s\n", TimeStamp().c_str(), logName.c_str(),
            static_cast<long>(getpid()), LevelWord(level), text);
    fflush(logStream);
}

bool LookupId(const std::string& text, bool group, unsigned& out) {
    uint64_t number = 0;
    if (ParseNumber(text, 0, 0xfffffffe, number)) {
        out = static_cast<unsigned>(number);
        return true;
    }
    if (group) {
        const struct group* found = getgrnam(text.c_str());
        if (found != nullptr) out = found->gr_gid;
        return found != nullptr;
    }
    const struct passwd* found = getpwnam(text.c_str());
    if (found != nullptr) out = found->pw_uid;
    return found != nullptr;
}

}  // namespace

static_assert(std::atomic<bool>::is_always_lock_free, "signal handlers need a lock-free flag");
std::atomic<bool> stopRequested{false};
std::atomic<bool> reloadRequested{false};

void SetLogName(const char* name) {
    std::lock_guard<std::mutex> lock(logMutex);
    logName = name;
}

void LogAt(Level level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Write(level, format, args);
    va_end(args);
}

void Log(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Write(Level::kInfo, format, args);
    va_end(args);
}

void Warn(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Write(Level::kWarning, format, args);
    va_end(args);
}

void Error(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Write(Level::kError, format, args);
    va_end(args);
}

void SetLogStream(FILE* stream) {
    std::lock_guard<std::mutex> lock(logMutex);
    logStream = stream;
}

void UseSyslog() {
    std::lock_guard<std::mutex> lock(logMutex);
    // openlog keeps the pointer: logName lives as long as the process.
    openlog(logName.c_str(), LOG_PID | LOG_NDELAY, LOG_MAIL);
    logToSyslog = true;
}

void NotifyServiceManager(const std::string& state) {
#ifdef TARNWICK_HAVE_SYSTEMD
    int rc = sd_notify(0, state.c_str());
    if (rc < 0) Warn("cannot notify the service manager: %s", strerror(-rc));
#else
    (void)state;
#endif
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
}

int UniqueFd::Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void UniqueFd::Reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
}

std::vector<OptionRow> CommonOptionRows(CommonOptions& options) {
    SocketAccess& access = options.access;
    char mode[8];
    snprintf(mode, sizeof mode, "%04o", access.mode);
    return {
        TextOption("socket", "PATH", "unix socket to listen on", &options.socketPath).Required(),
        TextOption("socket-mode", "MODE", "permissions of the socket file",
                   [&access](const char* text) { return access.SetMode(text); })
            .Default(mode),
        TextOption("socket-group", "GROUP", "group of the socket file",
                   [&access](const char* text) { return access.SetGroup(text); })
            .Default("the daemon's group"),
        TextOption("allow-uid", "USER", "let only this user connect (repeatable)",
                   [&access](const char* text) { return access.AddUid(text); }),
        TextOption("allow-gid", "GROUP", "let only members of this group connect (repeatable)",
                   [&access](const char* text) { return access.AddGid(text); }),
        FlagOption("syslog", "log to syslog (facility mail) instead of stderr", &options.syslog),
    };
}

int ReadOptions(OptionTable& table, int argc, char** argv) {
    table.SetComplaint([](const std::string& text) { Error("%s", text.c_str()); });
    table.SetMaxOperands(0);
    int next = 0;
    switch (table.Parse(argc, argv, next)) {
        case OptionTable::Result::kGo:
            return 0;
        case OptionTable::Result::kDone:
            return -1;
        default:
            fprintf(stderr, "Try %s --help\n", table.Program().c_str());
            return 2;
    }
}

bool SocketAccess::SetMode(const std::string& text) {
    if (text.empty() || text.size() > 4 ||
        text.find_first_not_of("01234567") != std::string::npos) {
        Error("--socket-mode wants an octal mode such as 0660, not %s", text.c_str());
        return false;
    }
    mode = static_cast<unsigned>(strtoul(text.c_str(), nullptr, 8)) & 0777;
    return true;
}

bool SocketAccess::SetGroup(const std::string& text) {
    unsigned gid = 0;
    if (!LookupId(text, true, gid)) {
        Error("--socket-group: no group %s", text.c_str());
        return false;
    }
    group = static_cast<int>(gid);
    return true;
}

bool SocketAccess::AddUid(const std::string& text) {
    unsigned uid = 0;
    if (!LookupId(text, false, uid)) {
        Error("--allow-uid: no user %s", text.c_str());
        return false;
    }
    allowUids.push_back(uid);
    return true;
}

bool SocketAccess::AddGid(const std::string& text) {
    unsigned gid = 0;
    if (!LookupId(text, true, gid)) {
        Error("--allow-gid: no group %s", text.c_str());
        return false;
    }
    allowGids.push_back(gid);
    return true;
}

void InstallSignalHandlers() {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: the accept loop's poll should wake up on the signal.
    action.sa_handler = OnStopSignal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    action.sa_handler = OnReloadSignal;
    sigaction(SIGHUP, &action, nullptr);
    action.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &action, nullptr);
}

}  // namespace engined
