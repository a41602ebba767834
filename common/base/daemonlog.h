// The log of the daemons and tools (the engine daemons, the milter host,
// the checkers).  The filters keep their console log (log.h): standard
// output is their channel to the mail server.
//
// One line per event: "2026-12-08T09:15:02.114+01:00 name[pid]: info: text"
// on standard error (the journal under systemd, each line then opened by
// its syslog priority "<3>", "<4>", "<6>" or "<7>", which journald takes as
// the line's priority and strips), each written whole in one
// call under the log's lock, so lines of different threads never
// interleave; or the text alone to syslog (facility mail) after UseSyslog.
// Outside text in a line goes through EscapeControl (text.h) first; a line
// break left in the text is turned into a blank all the same, and a line
// is cut at maxLogLine bytes.
#ifndef TARNWICK_COMMON_BASE_DAEMONLOG_H
#define TARNWICK_COMMON_BASE_DAEMONLOG_H

#include <cstddef>
#include <cstdio>

namespace daemonlog {

enum class Level { kDebug, kInfo, kWarning, kError };

constexpr size_t maxLogLine = 4096;

// Sets the name that opens every line (the program's own name).  Called
// at start-up before other threads exist; the text must live as long as
// the process (syslog keeps the pointer).
void SetName(const char* name);
// Sends the lines to syslog from now on.
void UseSyslog();
// Sends the lines to stream instead of stderr, or drops them when it is
// null: a harness that drives a daemon's code millions of times wants
// neither the lines nor the time they take.
void SetStream(FILE* stream);
// Lines of Debug are written only after SetDebug(true).
void SetDebug(bool on);
bool DebugOn();

void LogAt(Level level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));    // info
void Warn(const char* format, ...) __attribute__((format(printf, 1, 2)));   // warning
void Error(const char* format, ...) __attribute__((format(printf, 1, 2)));  // error
void Debug(const char* format, ...) __attribute__((format(printf, 1, 2)));  // debug, if on

}  // namespace daemonlog

#endif
