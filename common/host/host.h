// The filter host, top floor of common/: start-up, the command loop of the
// filter protocol, the reload and shutdown, shared by both programs.  Each program describes what
// differs in one programDesc and hands it to RunFilterHost().
#ifndef TARNWICK_COMMON_HOST_HOST_H
#define TARNWICK_COMMON_HOST_HOST_H

#include <cstdio>
#include <string>

#include "common/base/process.h"
#include "common/engine/pending.h"
#include "common/stats/stats.h"

// What differs between the two programs.  Filled with named fields.
struct programDesc {
    processIdentity identity;

    // Start-up and serving.
    void (*ReadConfigFile)() = nullptr;  // reads and publishes the settings
    void (*AfterListsCleared)() = nullptr;
    void (*readerThreadProc)() = nullptr;
    void (*EnqueueFile)(const char* token, const char* path) = nullptr;
    void (*BeforeCommandLoop)() = nullptr;
    // Sends the still pending requests again after a reconnection.
    void (*ResendPending)() = nullptr;
    // Cleans up after a request answered without its reply (deadline
    // passed); may be null.
    void (*DiscardRequest)(const scanListItem& item) = nullptr;
    // The socket path of the settings in force.
    std::string (*EngineSocketPath)() = nullptr;

    // One line for --help: what the program does.
    const char* summary = "";

    // The program's own statistics section ("Viruses" or "Scores").
    statSection stats;
};

extern const programDesc* thisProgram;

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
