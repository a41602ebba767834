// Queue file envelope: where the server's envelope lines end, which source
// and recipients they name, and who the envelope sender is.
//
// Inputs are bytes in memory with an explicit length (the head of a queue
// file, or the envelope alone); nothing here needs a terminating zero byte
// or reads past the length, so a truncated or hostile file is safe to pass.
// Limits: counted names are cut to maxCountedNameLength characters, the
// sender to maxSenderLength.  Nothing here locks or keeps state.
#include "common/envelope/envelope.h"

#include <algorithm>
#include <cstring>

namespace {

// One line of [begin, end): `next` is where the following line starts,
// `valueEnd` is the end of the line without its line feed and without a
// carriage return in front of it (or at the very end of the data, where the
// line feed is missing).
struct lineSpan {
    size_t begin;
    size_t valueEnd;
    size_t next;
};

lineSpan LineAt(const char* data, size_t len, size_t pos) {
    const void* lf = memchr(data + pos, '\n', len - pos);
    lineSpan line{pos, len, len};
    if (lf) {
        line.valueEnd = static_cast<size_t>(static_cast<const char*>(lf) - data);
        line.next = line.valueEnd + 1;
    }
    if (line.valueEnd > pos && data[line.valueEnd - 1] == '\r') --line.valueEnd;
    return line;
}

// The address between the first "<" from the line's third byte on and the
// next ">" on the same line.  The search stays inside the line: a bracket
// missing on one line must not pair with one on a later line.
bool AngleAddress(const char* data, const lineSpan& line, size_t& from, size_t& to) {
    const size_t start = line.begin + 2;
    if (start >= line.valueEnd) return false;
    const void* open = memchr(data + start, '<', line.valueEnd - start);
    if (!open) return false;
    from = static_cast<size_t>(static_cast<const char*>(open) - data) + 1;
    const void* close = memchr(data + from, '>', line.valueEnd - from);
    if (!close) return false;
    to = static_cast<size_t>(static_cast<const char*>(close) - data);
    return true;
}

bool IsLineEnd(char c) {
    return c == '\n' || c == '\r';
}

}  // namespace

int64_t EnvelopeLengthAV(const char* data, size_t len, bool complete) {
    const int64_t toEnd = complete ? static_cast<int64_t>(len) : envelopeNeedMore;
    if (len == 0) return complete ? 0 : envelopeNeedMore;

    // Where a blank line starts at pos: a line feed directly behind its
    // first byte belongs to it as well.
    auto blankLineEnd = [&](size_t pos) -> int64_t {
        if (pos + 1 < len) return static_cast<int64_t>(pos + (data[pos + 1] == '\n' ? 2 : 1));
        return complete ? static_cast<int64_t>(pos + 1) : envelopeNeedMore;
    };

    if (IsLineEnd(data[0])) return blankLineEnd(0);
    if (len < 2) return complete ? 0 : envelopeNeedMore;
    if (!IsEnvelopeLine(data, len)) return 0;

    size_t pos = 0;
    for (;;) {
        const void* lf = memchr(data + pos, '\n', len - pos);
        if (!lf) return toEnd;  // the last envelope line has no line end
        pos = static_cast<size_t>(static_cast<const char*>(lf) - data) + 1;
        if (pos >= len) return toEnd;
        if (IsLineEnd(data[pos])) return blankLineEnd(pos);
        if (len - pos < 2) {
            // One byte left: it cannot be an envelope line if the file ends
            // here, but more of the file might make it one.
            return complete ? static_cast<int64_t>(pos) : envelopeNeedMore;
        }
        if (!IsEnvelopeLine(data + pos, len - pos)) return static_cast<int64_t>(pos);
    }
}

uint64_t EnvelopeLengthAS(const char* data, size_t len) {
    if (!IsEnvelopeLine(data, len)) return 0;
    // From line feed to line feed with memchr, not strstr: a zero byte
    // inside the envelope must not hide the blank line behind it, and the
    // envelope of an ordinary message ends after a handful of lines.
    const char* const end = data + len;
    for (const char* p = data;
         (p = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p))));) {
        if (++p < end && *p == '\n') return static_cast<uint64_t>(p + 1 - data);
        if (p >= end) break;
    }
    for (const char* p = data + 1;
         (p = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p))));) {
        if (end - p >= 3 && p[-1] == '\r' && p[1] == '\r' && p[2] == '\n')
            return static_cast<uint64_t>(p + 3 - data);
        if (++p >= end) break;
    }
    return 0;
}

bool ReadEnvelopeNames(const char* data, size_t len, envelopeNameSink& sink) {
    bool sourceSeen = false;
    if (!data) return false;
    for (size_t pos = 0; pos < len;) {
        const lineSpan line = LineAt(data, len, pos);
        // Only envelope lines count: the anti-spam rule can take header
        // lines into the envelope, and "Return-Path: <x>" or "Subject:"
        // must not be counted as a recipient or a source.
        if (!IsEnvelopeLine(data + pos, line.next - pos)) {
            pos = line.next;
            continue;
        }
        if (data[pos] == 'R') {
            size_t from = 0, to = 0;
            if (AngleAddress(data, line, from, to)) sink.Target(data + from, to - from);
        } else if (data[pos] == 'S') {
            sourceSeen = true;
            const size_t from = std::min(line.begin + 2, line.valueEnd);
            sink.Source(data + from, line.valueEnd - from);
        }
        pos = line.next;
    }
    return sourceSeen;
}

std::string_view EnvelopeSender(const char* data, size_t len) {
    std::string_view sender;
    if (!data) return sender;
    for (size_t pos = 0; pos < len;) {
        const lineSpan line = LineAt(data, len, pos);
        size_t from = 0, to = 0;
        if (data[pos] == 'P' && IsEnvelopeLine(data + pos, line.next - pos) &&
            AngleAddress(data, line, from, to))
            sender = std::string_view(data + from, std::min(to - from, maxSenderLength));
        pos = line.next;
    }
    return sender;
}
