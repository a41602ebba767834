// Request line reader: block reads from standard input with the protocol's
// line rules (see input.h).  Waiting uses poll() with a one-second timeout so
// that a request arriving while idle is read at once, yet the caller's tick
// still runs once per idle second.
#include "common/host/input.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

lineReader::lineReader(int fd, size_t lineMax, bool (*tick)(), int watchFd, bool (*onWatch)(),
                       int (*writeFd)(), void (*onWritable)())
    : fd_(fd),
      lineMax_(lineMax),
      tick_(tick),
      watchFd_(onWatch ? watchFd : -1),
      onWatch_(onWatch),
      writeFd_(onWritable ? writeFd : nullptr),
      onWritable_(onWritable) {}

bool lineReader::takeLine(std::string& line) {
    const char* const start = buf_ + pos_;
    const void* lf = memchr(start, '\n', len_ - pos_);
    const char* const end = lf ? static_cast<const char*>(lf) : buf_ + len_;
    const char* p = start;
    while (p < end) {
        // A run of ordinary bytes goes in at once.  A zero byte counts as no
        // input at all: like a carriage return it never enters a line.
        const size_t room = lineMax_ - line.size();
        const char* const stop = static_cast<size_t>(end - p) > room ? p + room : end;
        const char* q = p;
        // Bytes above the carriage return, nearly all, take one comparison.
        while (q < stop && (static_cast<unsigned char>(*q) > '\r' || (*q != '\r' && *q != '\0')))
            ++q;
        line.append(p, static_cast<size_t>(q - p));
        p = q;
        if (line.size() >= lineMax_) {
            // Full: the rest of the line comes back as the next line.
            pos_ = static_cast<size_t>(p - buf_);
            return true;
        }
        if (p < end) ++p;  // the carriage return or zero byte
    }
    if (lf) {
        pos_ = static_cast<size_t>(end - buf_) + 1;
        return true;
    }
    pos_ = len_;
    return false;
}

bool lineReader::endOfInput() {
    // An unfinished line is dropped.
    eof_ = true;
    pos_ = len_ = 0;
    return false;
}

bool lineReader::xGetInput(std::string& line) {
    line.clear();
    if (lineMax_ < 1) return true;
    for (;;) {
        if (pos_ < len_ && takeLine(line)) return true;
        if (eof_) return false;

        const int writeFd = writeFd_ ? writeFd_() : -1;
        struct pollfd pfd[3] = {{fd_, POLLIN, 0}, {watchFd_, POLLIN, 0}, {writeFd, POLLOUT, 0}};
        int ready = poll(pfd, 3, 1000);
        if (ready > 0 && writeFd >= 0 && pfd[2].revents != 0) {
            onWritable_();
            if (--ready == 0) {
                // A slow engine may keep us busy here: the tick runs anyway.
                if (tick_ && !tick_()) return endOfInput();
                continue;
            }
        }
        if (ready > 0 && watchFd_ >= 0 && pfd[1].revents != 0) {
            if (!onWatch_()) watchFd_ = -1;
            if (pfd[0].revents == 0) {
                // Not idle for a whole second, but the report check must
                // not starve behind a directory that keeps changing.
                if (tick_ && !tick_()) return endOfInput();
                continue;
            }
        }
        if (ready == 0 || (ready < 0 && errno == EINTR)) {
            if (tick_ && !tick_()) return endOfInput();
            continue;
        }
        ssize_t n = read(fd_, buf_, sizeof buf_);
        if (n < 0 && errno == EINTR) continue;
        // End of input and a read error end the conversation alike.
        if (n <= 0) return endOfInput();
        pos_ = 0;
        len_ = static_cast<size_t>(n);
        if (tick_ && !tick_()) return endOfInput();
    }
}
