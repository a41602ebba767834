// Console log shared by both filters.
//
// Standard output is the only channel to the mail server and both threads
// write to it.  PrintMsg/DebugMsg/PrintRaw hand each piece to the system in
// one write under mtx_print, so an answer reaches the server at once and two
// lines never interleave.
#ifndef TARNWICK_COMMON_BASE_LOG_H
#define TARNWICK_COMMON_BASE_LOG_H

#include <sys/uio.h>

#include <cstdio>
#include <string>

#include "common/base/threads.h"

// The console lock: held only for one write of an already formatted piece.
extern twMutex mtx_print;
// Set once by -debug before the reader thread exists; read-only afterwards.
extern bool doDebug;

void PrintMsg(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void DebugMsg(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Writes an already formatted block under the console lock (multi-line
// reports, and answers built without a format string).
void PrintRaw(const std::string& text);
void PrintRaw(const char* text, size_t len);

// True once a write to standard output failed: the server no longer reads
// us.  The command loop then shuts down as at the end of its input.
bool StandardOutputLost();

// After a write of `done` bytes from the pieces iov[0..count): moves iov and
// count past the pieces written whole and trims the first one left.
void SkipWritten(struct iovec*& iov, int& count, size_t done);

// Ends the process with `code` without ever cutting a line in half: the
// console lock is taken first, so no other thread is inside a write.
[[noreturn]] void xExit(int code);

#endif
