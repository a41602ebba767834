// What a program hands the filter host: its identity and the hooks where
// the two programs differ.  Apart from host.h so that the reload, which
// calls the hooks, and the host, which runs the reload, need not include
// each other.
#ifndef TARNWICK_COMMON_HOST_PROGRAM_H
#define TARNWICK_COMMON_HOST_PROGRAM_H

#include <memory>
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
    // Sends one pending request that was held behind an older one of its
    // serial.
    void (*SendHeld)(const scanListItem& item) = nullptr;
    // Cleans up after a request answered without its reply (deadline
    // passed); may be null.
    void (*DiscardRequest)(const scanListItem& item) = nullptr;
    // The socket path of the settings in force.
    std::string (*EngineSocketPath)() = nullptr;

    // One line for --help: what the program does.
    const char* summary = "";

    // Makes the program's own statistics section ("Viruses" or "Scores").
    std::unique_ptr<statSection> (*MakeStatSection)() = nullptr;
};

extern const programDesc* thisProgram;

#endif
