// Who this process is and where it works: set once by the start-up on the
// main thread before any other thread exists, read-only afterwards (except
// quitRequest).
#ifndef TARNWICK_COMMON_BASE_PROCESS_H
#define TARNWICK_COMMON_BASE_PROCESS_H

#include <atomic>
#include <cstddef>
#include <ctime>
#include <string>

// The fixed texts that tell the two programs apart.
struct processIdentity {
    const char* name = "Tarnwick-AV";                // log lines
    const char* configFileName = "Tarnwick-AV.cfg";  // in the program directory
    const char* statFileName = "statistics-av.dat";  // default statistics file
    // One line per reported period, beside the statistics file.
    const char* historyFileName = "history-av.dat";
    const char* productName = "Antivirus";  // "Antivirus" / "AntiSpam" in generated mail
    const char* mailTag = "AV";             // file prefixes Qln_<tag>_...
    const char* listTitle = "Virus";        // "Virus" / "Spam": report table titles
    // Log line of a failed engine read (the anti-spam program has always
    // written two blanks after "Error:").
    const char* readErrorFormat = "* Error: Cannot get data from ScanEngine: %s\n";
};

// The identity in force; never null (the anti-virus texts until start-up
// names another).
extern const processIdentity* thisProcess;

extern std::string workPath;  // program directory, ends in "/"
extern std::string curDir;    // working directory, ends in "/"
extern std::string tempDir;   // curDir + "Temp/"
extern time_t startupTime;
// Set by the main thread once the program is to end; read by the reader.
extern std::atomic<bool> quitRequest;

constexpr const char* tempDirName = "Temp";
constexpr const char* pathSeparatorStr = "/";
constexpr const char* pluginVersion = "1.1 Linux-x86_64 build 1-Dec-2020";
// Paths live in fixed 1024-byte fields on the server's side of the contract.
constexpr size_t maxPathLength = 1023;
constexpr size_t requestLineSize = 1044;

#endif
