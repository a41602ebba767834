// Small pieces shared by the engine daemons: the log, an owning file
// descriptor, the rows of the options they share, the readiness
// messages to the service manager, and the signal flags that end or reload a
// daemon.
//
// Inputs: the command line and the process signals.  Limits: a log line is
// cut at 1 KiB; the log is the only writer of stderr (or of syslog with
// --syslog).
#ifndef TARNWICK_ENGINES_DAEMON_UTIL_H
#define TARNWICK_ENGINES_DAEMON_UTIL_H

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/base/options.h"

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

// Where a daemon listens, who may connect, where it logs.
struct CommonOptions {
    std::string socketPath;
    SocketAccess access;
    bool syslog = false;
};
// The rows of the options every daemon takes, filling `options`: --socket
// (required), --socket-mode, --socket-group, --allow-uid, --allow-gid,
// --syslog.
std::vector<OptionRow> CommonOptionRows(CommonOptions& options);
// Reads a daemon's options: complaints go to the log, no argument may be
// left over, and a mistake ends with "Try NAME --help".  0: go on; -1:
// --help or --version answered (exit 0); otherwise the exit status.
int ReadOptions(OptionTable& table, int argc, char** argv);

// Set from signal handlers, read by the accept loop.
extern std::atomic<bool> stopRequested;    // SIGTERM, SIGINT
extern std::atomic<bool> reloadRequested;  // SIGHUP

// Installs the handlers above and ignores SIGPIPE, so that a client that
// went away makes a write fail instead of killing the daemon.
void InstallSignalHandlers();

}  // namespace engined

#endif
