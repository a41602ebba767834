// The filter host: start-up, the command loop of the filter protocol and
// shutdown, shared by both programs.  Each program describes what differs
// in one programDesc and hands it to RunFilterHost().
#ifndef TARNWICK_COMMON_HOST_HOST_H
#define TARNWICK_COMMON_HOST_HOST_H

#include <atomic>
#include <cstdio>
#include <ctime>
#include <string>

struct cfgfItem;

struct programDesc {
    const char* name;            // "Tarnwick-AV"
    const char* configFileName;  // "Tarnwick-AV.cfg"
    const char* statFileName;    // default statistics file, "statistics-av.dat"
    const char* productName;     // "Antivirus" / "AntiSpam" in generated mail
    const char* mailTag;         // "AV" / "AS": file prefixes Qln_<tag>_...
    const char* listTitle;       // "Virus" / "Spam": report table titles
    bool readErrorTwoBlanks;     // the anti-spam build's "* Error:  Cannot get data" line
    bool hasVirusList;           // whether reportVirusesList is in use

    // Start-up and serving.
    void (*ReadConfigFile)();
    void (*AfterListsCleared)();  // may be null
    void (*readerThreadProc)();
    void (*EnqueueFile)(const char* seq, const char* path);
    void (*BeforeCommandLoop)();  // may be null
    // Sends the still pending requests again after a reconnection.
    void (*ResendPending)();

    // The program's own statistics section ("Viruses" or "Scores").
    const char* statSectionName;
    void (*DumpStatSection)(FILE* out);             // under reportMutex
    void (*LoadStatSection)(const cfgfItem* dict);  // main thread, start-up
    void (*ReportStatSection)(FILE* out);           // under reportMutex
};

extern const programDesc* thisProgram;

// Program-wide state of the host, set during start-up on the main thread
// before the reader thread exists, read-only afterwards.
extern std::string workPath;  // program directory, ends in "/"
extern std::string curDir;    // working directory, ends in "/"
extern std::string tempDir;   // curDir + "Temp/"
extern time_t startupTime;
extern std::atomic<bool> quitRequest;

constexpr const char* tempDirName = "Temp";
constexpr const char* pathSeparatorStr = "/";
constexpr const char* pluginVersion = "1.1 Linux-x86_64 build 1-Dec-2020";
// Paths live in fixed 1024-byte fields on the server's side of the contract.
constexpr size_t maxPathLength = 1023;
constexpr size_t requestLineSize = 1044;

// Derives workPath from argument zero (exposed for tests).
std::string ProgramDirectory(const char* argv0);

// Handles one request line (without its line feed) of the command loop.
// Returns false after QUIT, when the caller must shut down; FILE requests
// go to thisProgram->EnqueueFile.
bool HandleRequestLine(const std::string& line);

// Runs the whole life of a filter; returns only through exit().
[[noreturn]] void RunFilterHost(int argc, char** argv, const programDesc& program);

#endif
