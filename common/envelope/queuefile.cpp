// Queue file reading: the notification's envelope and header block, the
// anti-spam program's whole-message read and the anti-virus program's
// envelope head.
//
// Limits: a notification reads at most maxNotificationHeader bytes of the
// header block (its addresses come from envelope bytes already read);
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
#include "common/base/owners.h"
#include "common/base/text.h"
#include "common/envelope/envelope.h"

namespace {

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
        int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) return fd;
        int err = errno;
        if (attempt == 1) {
            DebugMsg("Can't open %s,errno=%d,will retry\n", EscapeControl(path).c_str(), err);
        } else if (attempt == 2) {
            DebugMsg("Can't open %s, will retry again\n", EscapeControl(path).c_str());
            struct timespec left = {1, 0};
            while (nanosleep(&left, &left) != 0 && errno == EINTR) {
            }
        } else {
            PrintMsg("* Can't open %s,errno=%d\n", EscapeControl(path).c_str(), err);
            return -1;
        }
    }
}

}  // namespace

bool NotificationAddresses(const char* envelope, size_t len, notificationParts& out) {
    out = notificationParts();
    std::string address;
    bool haveSender = false;
    for (size_t pos = 0; pos < len;) {
        const void* lf = memchr(envelope + pos, '\n', len - pos);
        const size_t end =
            lf ? static_cast<size_t>(static_cast<const char*>(lf) - envelope) + 1 : len;
        const std::string_view line(envelope + pos, end - pos);
        pos = end;
        if (line.size() < 2 || line[1] != ' ' || !angleAddress(line, address)) continue;
        if (line[0] == 'P' && !haveSender) {
            out.sender = address;
            haveSender = true;
        } else if (line[0] == 'R') {
            out.recipients.push_back(address);
        }
    }
    return !out.recipients.empty();
}

size_t HeaderBlockLength(const char* data, size_t len, bool complete, bool& cut) {
    cut = false;
    size_t pos = 0;
    while (pos < len) {
        if (data[pos] == '\n' || (data[pos] == '\r' && pos + 1 < len && data[pos + 1] == '\n'))
            return pos;
        const void* lf = memchr(data + pos, '\n', len - pos);
        const size_t end = lf ? static_cast<size_t>(static_cast<const char*>(lf) - data) + 1 : len;
        if (end > maxNotificationHeader || (!lf && !complete)) {
            cut = true;
            return pos;
        }
        pos = end;
    }
    return pos;
}

bool ReadNotificationParts(const std::string& path, std::string_view envelope,
                           notificationParts& out) {
    if (!NotificationAddresses(envelope.data(), envelope.size(), out)) {
        PrintMsg("* Bad message file: %s\n", EscapeControl(path).c_str());
        return false;
    }
    const UniqueFd in(openMessage(path));
    if (!in.Valid()) return false;
    // One byte past the bound tells a line that ends just there from one
    // that runs on.
    std::string head(maxNotificationHeader + 1, '\0');
    size_t have = 0;
    while (have < head.size()) {
        ssize_t n = pread(in.Get(), &head[have], head.size() - have,
                          static_cast<off_t>(envelope.size() + have));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        have += static_cast<size_t>(n);
    }
    bool cut = false;
    const size_t length = HeaderBlockLength(head.data(), have, have < head.size(), cut);
    out.headerLines.assign(head.data(), length);
    if (cut)
        PrintMsg("* header of %s cut at %zu bytes\n", EscapeControl(path).c_str(),
                 maxNotificationHeader);
    return true;
}

bool NotificationParts(const char* data, size_t len, notificationParts& out) {
    const int64_t envLen = EnvelopeLengthAV(data, len, true);
    if (!NotificationAddresses(data, static_cast<size_t>(envLen), out)) return false;
    bool cut = false;
    const size_t rest = len - static_cast<size_t>(envLen);
    out.headerLines.assign(data + envLen, HeaderBlockLength(data + envLen, rest, true, cut));
    return true;
}

std::string WithoutEnvelopeFields(std::string_view block) {
    static const std::string_view dropped[] = {"x-envelope-from", "x-envelope-to"};
    std::string out;
    out.reserve(block.size());
    bool dropping = false;
    for (size_t pos = 0; pos < block.size();) {
        const size_t lf = block.find('\n', pos);
        const size_t end = lf == std::string_view::npos ? block.size() : lf + 1;
        const std::string_view line = block.substr(pos, end - pos);
        pos = end;
        if (line[0] == ' ' || line[0] == '\t') {
            // A continuation belongs to the field above it.
            if (!dropping) out.append(line);
            continue;
        }
        // The name, and blanks an old-style writer put before its colon.
        const size_t colon = line.find(':');
        size_t nameEnd = colon == std::string_view::npos ? 0 : colon;
        while (nameEnd > 0 && (line[nameEnd - 1] == ' ' || line[nameEnd - 1] == '\t')) --nameEnd;
        dropping = false;
        for (std::string_view name : dropped) {
            bool same = nameEnd == name.size();
            for (size_t k = 0; same && k < nameEnd; ++k)
                same =
                    (line[k] >= 'A' && line[k] <= 'Z' ? line[k] + ('a' - 'A') : line[k]) == name[k];
            dropping = dropping || same;
        }
        if (!dropping) out.append(line);
    }
    return out;
}

int OpenQueueFile(const char* path, struct stat& st) {
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a
    // writer; on a regular file it changes nothing.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    if (fstat(fd, &st) != 0) {
        const int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        errno = errNotRegular;
        return -1;
    }
    return fd;
}

const char* QueueFileError(int err) {
    return err == errNotRegular ? "not a regular file" : strerror(err);
}

std::unique_ptr<char[]> ReadQueueFile(const char* path, size_t maxBytes, uint64_t& envLen,
                                      size_t& size) {
    struct stat st;
    const UniqueFd in(OpenQueueFile(path, st));
    if (!in.Valid()) return nullptr;
    const size_t want = std::min<size_t>(static_cast<size_t>(st.st_size), maxBytes);
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[want + 1]);
    if (!buffer) {
        errno = ENOMEM;
        return nullptr;
    }
    size_t have = 0;
    while (have < want) {
        ssize_t n = read(in.Get(), buffer.get() + have, want - have);
        if (n < 0 && errno == EINTR) continue;
        // Not a message that can be read (a directory, an I/O error): the
        // caller says so rather than have an empty text rated.
        if (n < 0) return nullptr;
        if (n == 0) break;
        have += static_cast<size_t>(n);
    }
    buffer[have] = '\0';
    size = have;
    // The line rule, as the anti-virus program reads it: a blank line
    // further down (a body line in a CR LF file) never makes the message's
    // own lines part of the envelope.
    envLen = static_cast<uint64_t>(EnvelopeLengthAV(buffer.get(), have, true));
    return buffer;
}

int64_t ReadEnvelopeHeadAV(int fd, size_t fileSize, headBuffer& head) {
    head.size = 0;
    size_t want = keptHeadBytes;
    int64_t length = envelopeNeedMore;
    while (length == envelopeNeedMore) {
        const size_t target = std::min(want, fileSize);
        if (target > head.capacity) {
            // Grown without zero-filling; what was read so far moves along.
            std::unique_ptr<char[]> grown(new (std::nothrow) char[target]);
            if (!grown) {
                PrintMsg("* can't allocate %ld bytes\n", static_cast<long>(target));
                return 0;
            }
            if (head.size != 0) memcpy(grown.get(), head.data.get(), head.size);
            head.data = std::move(grown);
            head.capacity = target;
        }
        while (head.size < target) {
            ssize_t n = pread(fd, head.data.get() + head.size, target - head.size,
                              static_cast<off_t>(head.size));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return 0;
            head.size += static_cast<size_t>(n);
        }
        length = EnvelopeLengthAV(head.data.get(), head.size, head.size == fileSize);
        want *= 4;
    }
    return length;
}
