// Console log and text utilities.
//
// Every write to standard output goes through here, one whole piece under
// mtx_print with a single write, because the mail server reads the protocol
// line by line from a pipe and the reader thread answers while the main
// thread logs.  Formatting happens before the lock is taken, so one thread
// formatting a long line never holds up the other.  Nothing is buffered in
// stdio: each piece is on its way to the server when the call returns.
#include "common/host/log.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

std::mutex mtx_print;
bool doDebug = false;

namespace {

// Caller holds mtx_print.  A failed write means the server has gone; the
// next read of its input ends the program, so there is no one to tell.
void writeLocked(struct iovec* iov, int count) {
    const int fd = fileno(stdout);
    while (count > 0) {
        ssize_t n = count == 1 ? write(fd, iov->iov_base, iov->iov_len) : writev(fd, iov, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
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
    std::lock_guard<std::mutex> lock(mtx_print);
    writeLocked(iov, count);
}

}  // namespace

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
    std::lock_guard<std::mutex> lock(mtx_print);
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

std::string& SubstStr(std::string& text, int n, const char* value) {
    const char marker = static_cast<char>('0' + n);
    size_t pos = text.find('^');
    if (pos == std::string::npos) return text;
    // One pass into a new text: templates are rebuilt for every answer, and
    // replacing in place would move the tail once per marker.
    std::string out;
    out.reserve(text.size() + (value ? strlen(value) : 0) * 2);
    size_t done = 0;
    for (; pos != std::string::npos; pos = text.find('^', pos)) {
        if (pos + 1 < text.size() && text[pos + 1] == marker) {
            out.append(text, done, pos - done);
            if (value) out += value;
            pos += 2;
            done = pos;
        } else {
            ++pos;
        }
    }
    out.append(text, done, std::string::npos);
    text.swap(out);
    return text;
}

std::string& bufConcat(std::string& text, const char* more) {
    if (more) text += more;
    return text;
}

namespace {

template <class Put>
void decodeTemplate(const std::string& tmpl, Put put) {
    for (size_t i = 0; i < tmpl.size(); ++i) {
        char c = tmpl[i];
        if (c == '\\' && i + 1 < tmpl.size()) {
            char next = tmpl[++i];
            put(next == 'e' ? '\n' : next);
        } else {
            put(c);
        }
    }
}

}  // namespace

void fprintS(FILE* out, const std::string& tmpl) {
    decodeTemplate(tmpl, [out](char c) { fputc(c, out); });
}

void fprintS(std::string& out, const std::string& tmpl) {
    decodeTemplate(tmpl, [&out](char c) { out += c; });
}

bool EqualStringsNoCase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        if (*a == '\0') return *b == '\0';
        if (*a == *b) continue;
        unsigned char ca = static_cast<unsigned char>(*a);
        unsigned char cb = static_cast<unsigned char>(*b);
        if ((ca ^ cb) != 32) return false;
        unsigned char upper = ca & ~32u;
        if (upper < 'A' || upper > 'Z') return false;
    }
}

int32_t xAtoi(const char* text) {
    if (!text) return 0;
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = (*text++ == '-');
    long long value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + (*text - '0');
        if (value > static_cast<long long>(INT32_MAX) + 1)
            value = static_cast<long long>(INT32_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT32_MAX) value = INT32_MAX;
    return static_cast<int32_t>(value);
}
