#include "milter/hostlog.h"

#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace milter {

namespace {

std::atomic<bool> debugOn{false};

void Emit(const char* fmt, va_list ap) {
    char line[8192];
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tm;
    localtime_r(&tv.tv_sec, &tm);
    int n = static_cast<int>(strftime(line, sizeof line, "%Y-%m-%d %H:%M:%S", &tm));
    n += snprintf(line + n, sizeof line - n,
                  ".%03ld tarnwick-milter[%d]: ", static_cast<long>(tv.tv_usec / 1000),
                  static_cast<int>(getpid()));
    int body = vsnprintf(line + n, sizeof line - n - 1, fmt, ap);
    if (body < 0) body = 0;
    n += body;
    if (n > static_cast<int>(sizeof line) - 2) n = sizeof line - 2;
    line[n++] = '\n';
    // One write per line; a short write on a pipe is finished, never mixed.
    for (int done = 0; done < n;) {
        ssize_t w = write(STDERR_FILENO, line + done, n - done);
        if (w <= 0) break;
        done += static_cast<int>(w);
    }
}

}  // namespace

void Log(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    Emit(fmt, ap);
    va_end(ap);
}

void Debug(const char* fmt, ...) {
    if (!debugOn.load(std::memory_order_relaxed)) return;
    va_list ap;
    va_start(ap, fmt);
    Emit(fmt, ap);
    va_end(ap);
}

void SetDebug(bool on) {
    debugOn = on;
}
bool DebugOn() {
    return debugOn;
}

}  // namespace milter
