// The server's envelope at the head of a queue file: envelope lines (an
// upper-case letter and a space, then the value), ended by a blank line.
//
// All functions work on bytes in memory with an explicit length; none reads
// past it, and none needs the data to be zero-terminated.
#ifndef TARNWICK_COMMON_ENVELOPE_ENVELOPE_H
#define TARNWICK_COMMON_ENVELOPE_ENVELOPE_H

#include <atomic>
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

bool IsEnvelopeLine(const char* data, size_t len);

// Counts the source ("Unknown" when none) and the recipients of an envelope
// into reportSourceList and reportTargetList, as doReportSources and
// doReportTargets allow.  Only envelope lines ("S ", "R ") count, so header
// lines that the anti-spam rule takes into the envelope are never counted;
// the brackets of a recipient must stand on its own line.
// Takes reportMutex once for all of them.
void ParseEnvelope(const char* data, int64_t length);
// The same for a caller that holds reportMutex.
void ParseEnvelopeLocked(const char* data, int64_t length);

// The envelope sender for the whitelist: the address of the last "P " line
// that has both brackets, at most 254 characters; empty when there is none.
// It points into data.
std::string_view EnvelopeSender(const char* data, size_t len);

// Set by the daily report from its settings; read by ParseEnvelope on the
// reader thread.
extern std::atomic<bool> doReportSources;
extern std::atomic<bool> doReportTargets;

constexpr size_t maxCountedNameLength = 98;
constexpr size_t maxSenderLength = 254;

#endif
