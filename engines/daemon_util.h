// Small pieces shared by the engine daemons: the log, an owning file
// descriptor, number and size parsing for the command line, the readiness
// messages to the service manager, and the signal flags that end or reload a
// daemon.
//
// Inputs: the command line and the process signals.  Limits: a log line is
// cut at 1 KiB; the log is the only writer of stderr (or of syslog with
// --syslog).
#ifndef TARNWICK_ENGINES_DAEMON_UTIL_H
#define TARNWICK_ENGINES_DAEMON_UTIL_H

#include <getopt.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

namespace engined {

enum class Level { kInfo, kWarning, kError };

// Sets the name that opens every log line (the daemon's own name).
void SetLogName(const char* name);
// Writes one line: "2026-12-08T09:15:02.114+01:00 name[pid]: info: text"
// to stderr in one call, under the log mutex; or hands the text to syslog
// (facility mail) after UseSyslog.
void LogAt(Level level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));    // info
void Warn(const char* format, ...) __attribute__((format(printf, 1, 2)));   // warning
void Error(const char* format, ...) __attribute__((format(printf, 1, 2)));  // error
// Sends the log lines to stream instead of stderr, or drops them when it is
// null: a harness that drives the daemons' code millions of times wants
// neither the lines nor the time they take.
void SetLogStream(FILE* stream);
// Sends the log to syslog from now on.
void UseSyslog();

// Tells the service manager (systemd, when it started us with NOTIFY_SOCKET)
// about a state change: "READY=1", "RELOADING=1", "STOPPING=1", "STATUS=...".
// Does nothing elsewhere.
void NotifyServiceManager(const std::string& state);

// Owns one descriptor; closes it on destruction.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    int Release();
    void Reset(int fd = -1);

  private:
    int fd_ = -1;
};

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

// Set from signal handlers, read by the accept loop.
extern std::atomic<bool> stopRequested;    // SIGTERM, SIGINT
extern std::atomic<bool> reloadRequested;  // SIGHUP

// Installs the handlers above and ignores SIGPIPE, so that a client that
// went away makes a write fail instead of killing the daemon.
void InstallSignalHandlers();

}  // namespace engined

#endif
