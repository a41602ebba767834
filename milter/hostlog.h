// The host's log: one time-stamped line per event on standard error (the
// journal under systemd), each written whole in one call so lines of
// different threads never interleave.  Lines begin with a fixed word an
// administrator can search for ("message", "filter", "submit", ...).
#ifndef TARNWICK_MILTER_HOSTLOG_H
#define TARNWICK_MILTER_HOSTLOG_H

namespace milter {

void Log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Only with --debug.
void Debug(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void SetDebug(bool on);
bool DebugOn();

}  // namespace milter

#endif
