// Request line reader: block reads from standard input with the protocol's
// line rules (see input.h).  Waiting uses poll() with a one-second timeout so
// that a request arriving while idle is read at once, yet the caller's tick
// still runs once per idle second.
#include "common/host/input.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

lineReader::lineReader(int fd, size_t lineMax, void (*tick)()) : fd_(fd), lineMax_(lineMax), tick_(tick) {}

bool lineReader::xGetInput(std::string& line) {
    line.clear();
    if (lineMax_ < 1) return true;
    for (;;) {
        while (pos_ < len_) {
            char c = buf_[pos_++];
            if (c == '\n') return true;
            // A zero byte counts as no input at all, like a carriage return
            // it never enters a line.
            if (c != '\r' && c != '\0') line += c;
            if (line.size() >= lineMax_) return true;
        }
        if (eof_) return false;

        struct pollfd pfd = {fd_, POLLIN, 0};
        int ready = poll(&pfd, 1, 1000);
        if (ready == 0 || (ready < 0 && errno == EINTR)) {
            if (tick_) tick_();
            continue;
        }
        ssize_t n = read(fd_, buf_, sizeof buf_);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // End of input and a read error end the conversation alike; an
            // unfinished line is dropped.
            eof_ = true;
            pos_ = len_ = 0;
            return false;
        }
        pos_ = 0;
        len_ = static_cast<size_t>(n);
        if (tick_) tick_();
    }
}
