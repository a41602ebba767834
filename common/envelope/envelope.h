// The server's envelope at the head of a queue file: envelope lines (an
// upper-case letter and a space, then the value), ended by a blank line.
//
// All functions work on bytes in memory with an explicit length; none reads
// past it, and none needs the data to be zero-terminated.
#ifndef TARNWICK_COMMON_ENVELOPE_ENVELOPE_H
#define TARNWICK_COMMON_ENVELOPE_ENVELOPE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Returned by EnvelopeLengthAV when the data ends inside the envelope and
// more of the file exists.
constexpr int64_t envelopeNeedMore = -1;

// Anti-virus rule, line by line.  `complete` says whether data holds the
// whole file; if not, and the envelope runs to the end of data, the result
// is envelopeNeedMore.
int64_t EnvelopeLengthAV(const char* data, size_t len, bool complete);
// Anti-spam rule: the first "\n\n", else the first "\r\n\r\n", when the
// first line is an envelope line.
uint64_t EnvelopeLengthAS(const char* data, size_t len);

// An upper-case letter and a space; inline, as every line of every
// envelope is asked this several times.
inline bool IsEnvelopeLine(const char* data, size_t len) {
    return len >= 2 && data[0] >= 'A' && data[0] <= 'Z' && data[1] == ' ';
}

// Receives the names of an envelope, in file order.  The text points into
// the data and is not zero-terminated.
class envelopeNameSink {
  public:
    virtual void Source(const char* text, size_t n) = 0;  // the value of an "S " line
    virtual void Target(const char* text, size_t n) = 0;  // the bracketed address of an "R " line
  protected:
    ~envelopeNameSink() = default;
};
// Hands every source and recipient of the envelope to sink.  Only envelope
// lines ("S ", "R ") count, so header lines that the anti-spam rule takes
// into the envelope are never counted; the brackets of a recipient must
// stand on its own line.  Returns whether an "S " line was seen.
bool ReadEnvelopeNames(const char* data, size_t len, envelopeNameSink& sink);

// The envelope sender for the whitelist: the address of the last "P " line
// that has both brackets, at most 254 characters; empty when there is none.
// It points into data.
std::string_view EnvelopeSender(const char* data, size_t len);

constexpr size_t maxCountedNameLength = 98;
constexpr size_t maxSenderLength = 254;

#endif
