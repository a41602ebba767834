// Console log.
//
// Every write to standard output goes through here, one whole piece under
// mtx_print with a single write, because the mail server reads the protocol
// line by line from a pipe and the reader thread answers while the main
// thread logs.  Formatting happens before the lock is taken, so one thread
// formatting a long line never holds up the other.  Nothing is buffered in
// stdio: each piece is on its way to the server when the call returns.
#include "common/base/log.h"

#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

twMutex mtx_print;
bool doDebug = false;

namespace {

std::atomic<bool> outputLost{false};

// Caller holds mtx_print.  A failed write means the server has gone (its end
// of the pipe is closed, or the disk behind a redirection is full): there is
// no one to tell, and the command loop ends the program in order.
void writeLocked(struct iovec* iov, int count) REQUIRES(mtx_print) {
    const int fd = fileno(stdout);
    while (count > 0) {
        ssize_t n = count == 1 ? write(fd, iov->iov_base, iov->iov_len) : writev(fd, iov, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            outputLost.store(true, std::memory_order_relaxed);
            return;
        }
        SkipWritten(iov, count, static_cast<size_t>(n));
    }
}

void vprintLocked(const char* prefix, const char* fmt, va_list ap) {
    char small[1024];
    std::string big;
    va_list again;
    va_copy(again, ap);
    int n = vsnprintf(small, sizeof small, fmt, ap);
    const char* text = small;
    if (n >= static_cast<int>(sizeof small)) {
        big.resize(static_cast<size_t>(n));
        vsnprintf(&big[0], big.size() + 1, fmt, again);
        text = big.data();
    }
    va_end(again);
    if (n < 0) return;
    struct iovec iov[2];
    int count = 0;
    if (prefix) iov[count++] = {const_cast<char*>(prefix), strlen(prefix)};
    iov[count++] = {const_cast<char*>(text), static_cast<size_t>(n)};
    twLock lock(mtx_print);
    writeLocked(iov, count);
}

}  // namespace

bool StandardOutputLost() {
    return outputLost.load(std::memory_order_relaxed);
}

void SkipWritten(struct iovec*& iov, int& count, size_t done) {
    while (count > 0 && done >= iov->iov_len) {
        done -= iov->iov_len;
        ++iov;
        --count;
    }
    if (count > 0) {
        iov->iov_base = static_cast<char*>(iov->iov_base) + done;
        iov->iov_len -= done;
    }
}

void PrintMsg(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vprintLocked(nullptr, fmt, ap);
    va_end(ap);
}

void DebugMsg(const char* fmt, ...) {
    if (!doDebug) return;
    va_list ap;
    va_start(ap, fmt);
    vprintLocked("* ", fmt, ap);
    va_end(ap);
}

void PrintRaw(const char* text, size_t len) {
    struct iovec iov = {const_cast<char*>(text), len};
    twLock lock(mtx_print);
    writeLocked(&iov, len ? 1 : 0);
}

void PrintRaw(const std::string& text) {
    PrintRaw(text.data(), text.size());
}

void xExit(int code) {
    // Never released: the process ends while holding it, so the other
    // thread cannot start a line that would be cut off.
    mtx_print.lock();
    fflush(stdout);
    _exit(code);
}
