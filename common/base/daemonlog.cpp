#include "common/base/daemonlog.h"

#include <sys/stat.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <ctime>

#include "common/base/threads.h"

namespace daemonlog {

namespace {

// True when standard error is a stream of the journal (systemd's
// JOURNAL_STREAM names its device and inode): each line then opens with its
// syslog priority as "<N>", which journald takes as the line's priority and
// removes, so that `journalctl -p warning` shows the problems.
bool StderrIsJournal() {
    const char* named = getenv("JOURNAL_STREAM");
    struct stat st;
    if (!named || fstat(STDERR_FILENO, &st) != 0) return false;
    unsigned long long dev = 0, ino = 0;
    return sscanf(named, "%llu:%llu", &dev, &ino) == 2 &&
           dev == static_cast<unsigned long long>(st.st_dev) &&
           ino == static_cast<unsigned long long>(st.st_ino);
}

struct logState {
    twMutex mutex;  // also held for every write, so lines never interleave
    const char* name GUARDED_BY(mutex) = "tarnwick";
    FILE* stream GUARDED_BY(mutex) = stderr;
    bool toSyslog GUARDED_BY(mutex) = false;
    bool journal GUARDED_BY(mutex) = StderrIsJournal();  // of stderr, not another stream
};

logState& state() {
    static logState s;
    return s;
}

std::atomic<bool> debugOn{false};

// The word in the line and the syslog priority, in the order of Level.
struct levelNames {
    const char* word;
    int priority;
};
const levelNames levels[] = {
    {"debug", LOG_DEBUG}, {"info", LOG_INFO}, {"warning", LOG_WARNING}, {"error", LOG_ERR}};

const levelNames& NamesOf(Level level) {
    return levels[static_cast<int>(level)];
}

// "2026-12-08T09:15:02.114+01:00": sorts as text, and carries its zone so
// that lines from machines in different zones can be laid side by side.
void TimeStamp(char (&text)[48]) {
    timeval now;
    gettimeofday(&now, nullptr);
    struct tm local;
    localtime_r(&now.tv_sec, &local);
    size_t n = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    long offset = local.tm_gmtoff / 60;
    const char sign = offset < 0 ? '-' : '+';
    if (offset < 0) offset = -offset;
    snprintf(text + n, sizeof text - n, ".%03ld%c%02ld:%02ld",
             static_cast<long>(now.tv_usec / 1000), sign, offset / 60, offset % 60);
}

void Write(Level level, const char* format, va_list args) {
    char text[maxLogLine];
    if (vsnprintf(text, sizeof text, format, args) < 0) return;
    // A line break inside would let outside text forge a line of its own.
    for (char* p = text; *p != '\0'; ++p) {
        if (*p == '\n' || *p == '\r') *p = ' ';
    }
    char stamp[48];
    TimeStamp(stamp);
    logState& s = state();
    twLock lock(s.mutex);
    if (s.toSyslog) {
        syslog(NamesOf(level).priority, "%s", text);
        return;
    }
    if (s.stream == nullptr) return;
    char priority[8] = "";
    if (s.journal && s.stream == stderr)
        snprintf(priority, sizeof priority, "<%d>", NamesOf(level).priority);
    fprintf(s.stream, "%s%s %s[%ld]: %s: %s\n", priority, stamp, s.name,
            static_cast<long>(getpid()), NamesOf(level).word, text);
    fflush(s.stream);
}

}  // namespace

void SetName(const char* name) {
    logState& s = state();
    twLock lock(s.mutex);
    s.name = name;
}

void UseSyslog() {
    logState& s = state();
    twLock lock(s.mutex);
    openlog(s.name, LOG_PID | LOG_NDELAY, LOG_MAIL);
    s.toSyslog = true;
}

void SetStream(FILE* stream) {
    logState& s = state();
    twLock lock(s.mutex);
    s.stream = stream;
}

void SetDebug(bool on) {
    debugOn.store(on, std::memory_order_relaxed);
}

bool DebugOn() {
    return debugOn.load(std::memory_order_relaxed);
}

void LogAt(Level level, const char* format, ...) {
    if (level == Level::kDebug && !DebugOn()) return;
    va_list args;
    va_start(args, format);
    Write(level, format, args);
    va_end(args);
}

#define TW_LOG_AT(level)        \
    va_list args;               \
    va_start(args, format);     \
    Write(level, format, args); \
    va_end(args)

void Log(const char* format, ...) {
    TW_LOG_AT(Level::kInfo);
}

void Warn(const char* format, ...) {
    TW_LOG_AT(Level::kWarning);
}

void Error(const char* format, ...) {
    TW_LOG_AT(Level::kError);
}

void Debug(const char* format, ...) {
    if (!DebugOn()) return;
    TW_LOG_AT(Level::kDebug);
}

}  // namespace daemonlog
