// Framing of the engine link as the engine daemons speak it: a 4-byte
// little-endian body length, then the body.  Self-contained on purpose: the
// simulators stand for outside daemons and must not share the filters' own
// transport code, or a fault in it would hide on both ends.
#ifndef TARNWICK_SIM_FRAME_H
#define TARNWICK_SIM_FRAME_H

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

namespace sim {

enum class frameStatus { ok, closed, broken, tooLong };

inline bool WriteAll(int fd, const char* data, size_t len) {
    size_t done = 0;
    while (done < len) {
        const ssize_t n = write(fd, data + done, len - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

// Reads exactly len bytes.  `closed` is set when the peer ended the stream
// before the first byte, which is an orderly end between frames.
inline bool ReadAll(int fd, char* data, size_t len, bool& closed) {
    size_t done = 0;
    closed = false;
    while (done < len) {
        const ssize_t n = read(fd, data + done, len - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            closed = (n == 0 && done == 0);
            return false;
        }
    }
    return true;
}

inline std::string LengthPrefix(uint32_t len) {
    std::string prefix(4, '\0');
    for (int i = 0; i < 4; ++i) prefix[i] = static_cast<char>((len >> (8 * i)) & 0xff);
    return prefix;
}

// One frame into `body`.  A length above maxLen is refused before anything
// is allocated: the stream cannot be trusted after that.
inline frameStatus ReadFrame(int fd, std::string& body, uint32_t maxLen, uint32_t& announced) {
    unsigned char prefix[4];
    bool closed = false;
    if (!ReadAll(fd, reinterpret_cast<char*>(prefix), 4, closed))
        return closed ? frameStatus::closed : frameStatus::broken;
    announced = static_cast<uint32_t>(prefix[0]) | static_cast<uint32_t>(prefix[1]) << 8 |
                static_cast<uint32_t>(prefix[2]) << 16 | static_cast<uint32_t>(prefix[3]) << 24;
    if (announced > maxLen) return frameStatus::tooLong;
    body.assign(announced, '\0');
    if (announced && !ReadAll(fd, &body[0], announced, closed)) return frameStatus::broken;
    return frameStatus::ok;
}

inline bool WriteFrame(int fd, const std::string& body) {
    const std::string frame = LengthPrefix(static_cast<uint32_t>(body.size())) + body;
    return WriteAll(fd, frame.data(), frame.size());
}

}  // namespace sim

#endif
