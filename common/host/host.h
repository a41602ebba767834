// The filter host, top floor of common/: start-up, the command loop of the
// filter protocol, the reload and shutdown, shared by both programs.  Each program describes what
// differs in one programDesc and hands it to RunFilterHost().
#ifndef TARNWICK_COMMON_HOST_HOST_H
#define TARNWICK_COMMON_HOST_HOST_H

#include <cstdio>
#include <string>

#include "common/host/program.h"

// Derives workPath from argument zero (exposed for tests).
std::string ProgramDirectory(const char* argv0);

// Handles one request line (without its line feed) of the command loop.
// Returns false after QUIT, when the caller must shut down; FILE requests
// go to thisProgram->EnqueueFile.
bool HandleRequestLine(const std::string& line);

// --help and --version as the first argument: prints the text and returns
// true (the caller exits 0).  Anything else is the server's command line.
bool HandleInfoOption(int argc, char** argv, const programDesc& program);

// Runs the whole life of a filter; returns only through exit().
[[noreturn]] void RunFilterHost(int argc, char** argv, const programDesc& program);

#endif
