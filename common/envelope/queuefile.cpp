// Queue file reading: the notification's envelope and header block, the
// anti-spam program's whole-message read and the anti-virus program's
// envelope head.
//
// Limits: a notification reads at most maxNotificationHead bytes of lines;
// the anti-spam read takes at most the caller's maxBytes; the anti-virus
// head grows only as far as the envelope runs, and never past the file.
#include "common/envelope/queuefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>

#include "common/base/log.h"
#include "common/envelope/envelope.h"

namespace {

constexpr size_t blockSize = 65536;

struct fdCloser {
    int fd;
    explicit fdCloser(int f) : fd(f) {}
    ~fdCloser() {
        if (fd >= 0) close(fd);
    }
    fdCloser(const fdCloser&) = delete;
    fdCloser& operator=(const fdCloser&) = delete;
};

bool angleAddress(std::string_view line, std::string& address) {
    const size_t open = line.find('<');
    if (open == std::string_view::npos) return false;
    const size_t close = line.find('>', open + 1);
    if (close == std::string_view::npos) return false;
    address.assign(line.substr(open + 1, close - open - 1));
    return true;
}

// The server may still be placing the file: try at once, then after a
// second.
int openMessage(const std::string& path) {
    for (int attempt = 1;; ++attempt) {
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) return fd;
        int err = errno;
        if (attempt == 1) {
            DebugMsg("Can't open %s,errno=%d,will retry\n", path.c_str(), err);
        } else if (attempt == 2) {
            DebugMsg("Can't open %s, will retry again\n", path.c_str());
            struct timespec left = {1, 0};
            while (nanosleep(&left, &left) != 0 && errno == EINTR) {
            }
        } else {
            PrintMsg("* Can't open %s,errno=%d\n", path.c_str(), err);
            return -1;
        }
    }
}

bool startsBlank(std::string_view line) {
    return !line.empty() && line[0] == '\n';
}

}  // namespace

bool queueLineReader::fill() {
    if (eof_) return false;
    if (pos_ > 0) {
        buf_.erase(0, pos_);
        pos_ = 0;
    }
    const size_t have = buf_.size();
    buf_.resize(have + blockSize);
    ssize_t n;
    do {
        n = read(fd_, &buf_[have], blockSize);
    } while (n < 0 && errno == EINTR);
    buf_.resize(have + (n > 0 ? static_cast<size_t>(n) : 0));
    if (n <= 0) eof_ = true;
    return n > 0;
}

bool queueLineReader::Next(std::string_view& line) {
    size_t searched = pos_;
    for (;;) {
        const size_t lf = buf_.find('\n', searched);
        size_t end = lf == std::string::npos ? std::string::npos : lf + 1;
        const size_t held = (end == std::string::npos ? buf_.size() : end) - pos_;
        if (used_ + held > budget_) {
            // The line would pass the budget: the reading ends before it.
            cut_ = true;
            return false;
        }
        if (end == std::string::npos) {
            searched = buf_.size();
            const size_t before = pos_;
            if (fill()) {
                searched -= before;  // fill moved the unread bytes to the front
                continue;
            }
            if (pos_ >= buf_.size()) return false;
            end = buf_.size();  // the last line, without its line feed
        }
        line = std::string_view(buf_.data() + pos_, end - pos_);
        used_ += end - pos_;
        pos_ = end;
        return true;
    }
}

namespace {

// The notification's rule over any source of whole lines: the envelope part
// ends at the first line that begins with a line feed, the header block at
// the next one.  False when the envelope names no recipient.
template <class NextLine>
bool takeNotificationParts(NextLine next, notificationParts& out) {
    out = notificationParts();
    std::string_view line;
    std::string address;
    bool haveSender = false;
    while (next(line) && !startsBlank(line)) {
        if (line.size() < 2 || line[1] != ' ' || !angleAddress(line, address)) continue;
        if (line[0] == 'P' && !haveSender) {
            out.sender = address;
            haveSender = true;
        } else if (line[0] == 'R') {
            out.recipients.push_back(address);
        }
    }
    if (out.recipients.empty()) return false;
    while (next(line) && !startsBlank(line)) out.headerLines.append(line);
    return true;
}

}  // namespace

bool ReadNotificationParts(const std::string& path, notificationParts& out) {
    fdCloser in(openMessage(path));
    if (in.fd < 0) return false;
    queueLineReader reader(in.fd, maxNotificationHead);
    if (!takeNotificationParts([&reader](std::string_view& line) { return reader.Next(line); },
                               out)) {
        PrintMsg("* Bad message file: %s\n", path.c_str());
        return false;
    }
    if (reader.Cut())
        PrintMsg("* header of %s cut at %zu bytes\n", path.c_str(), maxNotificationHead);
    return true;
}

bool NotificationParts(const char* data, size_t len, notificationParts& out) {
    size_t pos = 0;
    return takeNotificationParts(
        [data, len, &pos](std::string_view& line) {
            if (pos >= len) return false;
            const void* lf = memchr(data + pos, '\n', len - pos);
            const size_t end =
                lf ? static_cast<size_t>(static_cast<const char*>(lf) - data) + 1 : len;
            line = std::string_view(data + pos, end - pos);
            pos = end;
            return true;
        },
        out);
}

std::unique_ptr<char[]> ReadQueueFile(const char* path, size_t maxBytes, uint64_t& envLen,
                                      size_t& size) {
    fdCloser in(open(path, O_RDONLY | O_CLOEXEC));
    if (in.fd < 0) return nullptr;
    struct stat st;
    if (fstat(in.fd, &st) != 0) return nullptr;
    const size_t want = std::min<size_t>(static_cast<size_t>(st.st_size), maxBytes);
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[want + 1]);
    if (!buffer) {
        errno = ENOMEM;
        return nullptr;
    }
    size_t have = 0;
    while (have < want) {
        ssize_t n = read(in.fd, buffer.get() + have, want - have);
        if (n < 0 && errno == EINTR) continue;
        // Not a message that can be read (a directory, an I/O error): the
        // caller says so rather than have an empty text rated.
        if (n < 0) return nullptr;
        if (n == 0) break;
        have += static_cast<size_t>(n);
    }
    buffer[have] = '\0';
    size = have;
    envLen = EnvelopeLengthAS(buffer.get(), have);
    return buffer;
}

int64_t ReadEnvelopeHeadAV(int fd, size_t fileSize, std::vector<char>& head) {
    head.clear();
    size_t want = blockSize;
    int64_t length = envelopeNeedMore;
    while (length == envelopeNeedMore) {
        const size_t target = std::min(want, fileSize);
        try {
            head.resize(target);
        } catch (const std::bad_alloc&) {
            PrintMsg("* can't allocate %ld bytes\n", static_cast<long>(target));
            return 0;
        }
        size_t have = 0;
        while (have < target) {
            ssize_t n = pread(fd, head.data() + have, target - have, static_cast<off_t>(have));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return 0;
            have += static_cast<size_t>(n);
        }
        length = EnvelopeLengthAV(head.data(), head.size(), head.size() == fileSize);
        want *= 4;
    }
    return length;
}
