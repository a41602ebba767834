// Small pieces shared by the engine daemons: the rows of the options they
// share and the readiness messages to the service manager.  The log, the
// descriptor owner and the signal flags are the daemon kit's (common/base:
// daemonlog.h, owners.h, signals.h).
//
// Input: the command line.
#ifndef TARNWICK_ENGINES_KIT_DAEMON_OPTIONS_H
#define TARNWICK_ENGINES_KIT_DAEMON_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

#include "common/base/options.h"

namespace engined {

// Tells the service manager (systemd, when it started us with NOTIFY_SOCKET)
// about a state change: "READY=1", "RELOADING=1", "STOPPING=1", "STATUS=...".
// Does nothing elsewhere.
void NotifyServiceManager(const std::string& state);


// Who may connect to a daemon's socket, how many at once, and the
// permissions of the socket file.  Filled from --socket-mode,
// --socket-group, --allow-uid, --allow-gid, --max-connections,
// --max-per-user, --frame-timeout.
struct SocketAccess {
    unsigned mode = 0660;
    int group = -1;  // -1: the daemon's own group
    std::vector<unsigned> allowUids;
    std::vector<unsigned> allowGids;
    // Clients served at once, and of them the most one user outside the
    // trusted ones (root, the daemon's user, the allow lists) may hold.
    unsigned maxConnections = 64;
    unsigned maxPerUser = 16;
    // A frame whose first byte has arrived must be whole within this.
    unsigned frameTimeoutSeconds = 30;

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
// --max-connections, --max-per-user, --frame-timeout, --syslog.
std::vector<OptionRow> CommonOptionRows(CommonOptions& options);
// Reads a daemon's options: complaints go to the log, no argument may be
// left over, and a mistake ends with "Try NAME --help".  0: go on; -1:
// --help or --version answered (exit 0); otherwise the exit status.
int ReadOptions(OptionTable& table, int argc, char** argv);

}  // namespace engined

#endif
