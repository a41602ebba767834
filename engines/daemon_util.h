// Small pieces shared by the engine daemons: number and size parsing for
// the command line, the options every daemon takes, and the readiness
// messages to the service manager.  The log, the descriptor owner and the
// signal flags are the daemon kit's (common/base: daemonlog.h, owners.h,
// signals.h).
//
// Input: the command line.
#ifndef TARNWICK_ENGINES_DAEMON_UTIL_H
#define TARNWICK_ENGINES_DAEMON_UTIL_H

#include <getopt.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace engined {

// Tells the service manager (systemd, when it started us with NOTIFY_SOCKET)
// about a state change: "READY=1", "RELOADING=1", "STOPPING=1", "STATUS=...".
// Does nothing elsewhere.
void NotifyServiceManager(const std::string& state);

// Reads a decimal number within [minimum, maximum]; false when the text is
// not one.
bool ParseNumber(const std::string& text, uint64_t minimum, uint64_t maximum, uint64_t& out);
// Reads a size as ClamAV writes it: a number of bytes with an optional K or
// M suffix (1024 and 1024*1024), within [minimum, maximum] bytes.
bool ParseSize(const std::string& text, uint64_t minimum, uint64_t maximum, uint64_t& out);

// Who may connect to a daemon's socket, and the permissions of the socket
// file.  Filled from --socket-mode, --socket-group, --allow-uid, --allow-gid.
struct SocketAccess {
    unsigned mode = 0660;
    int group = -1;  // -1: the daemon's own group
    std::vector<unsigned> allowUids;
    std::vector<unsigned> allowGids;

    // The option handlers; each logs and returns false on a bad value.
    bool SetMode(const std::string& text);
    bool SetGroup(const std::string& text);
    bool AddUid(const std::string& text);  // a user name or number
    bool AddGid(const std::string& text);  // a group name or number
};

// The options every daemon takes, as getopt_long codes; a daemon numbers
// its own from kFirstOwnOption on.
enum : int {
    kOptSocket = 256,
    kOptSocketMode,
    kOptSocketGroup,
    kOptAllowUid,
    kOptAllowGid,
    kOptSyslog,
    kFirstOwnOption,
};
// Where a daemon listens, who may connect, where it logs.
struct CommonOptions {
    std::string socketPath;
    SocketAccess access;
    bool syslog = false;
};
// getopt_long's table: the common options, then a daemon's own `own`
// (without the terminating entry).
std::vector<option> LongOptions(std::initializer_list<option> own);
// The --help lines of the common options.
extern const char kCommonUsage[];
// Takes one of the common options: false when `opt` is none of them; `ok`
// is cleared (after a log line) for a bad value.
bool ReadCommonOption(int opt, const char* arg, CommonOptions& options, bool& ok);
// A number option within [minimum, maximum]; logs and returns false otherwise.
bool NumberOption(const char* name, const char* text, uint64_t minimum, uint64_t maximum,
                  uint64_t& out);
// What every daemon checks once its options are read: no stray argument and
// a socket.  Logs and returns false when one is missing.
bool CommonOptionsComplete(int argc, char** argv, int next, const CommonOptions& options);

}  // namespace engined

#endif
