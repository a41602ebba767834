// The rows of the options the engine daemons share: the socket file's
// (common/base/socket_access.h) and who may connect and how much.  The log,
// the descriptor owner, the signal flags and the readiness messages are the
// daemon kit's (common/base: daemonlog.h, owners.h, signals.h, readiness.h).
//
// Input: the command line.
#ifndef TARNWICK_ENGINES_KIT_DAEMON_OPTIONS_H
#define TARNWICK_ENGINES_KIT_DAEMON_OPTIONS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/base/options.h"
#include "common/base/socket_access.h"

namespace engined {

// The most --max-frame may allow; no request comes near this.
constexpr uint32_t maxFrameLength = 64u << 20;

// Who may connect to a daemon's socket and how many at once.  Filled from
// --allow-uid, --allow-gid, --max-connections, --max-per-user,
// --frame-timeout.
struct SocketAccess {
    std::vector<unsigned> allowUids;
    std::vector<unsigned> allowGids;
    // Clients served at once, and of them the most one user outside the
    // trusted ones (root, the daemon's user, the allow lists) may hold.
    unsigned maxConnections = 64;
    unsigned maxPerUser = 16;
    // A frame whose first byte has arrived must be whole within this.
    unsigned frameTimeoutSeconds = 30;
    // The longest frame a client may announce (--max-frame); each daemon
    // sets its own default before the rows are made, from the largest
    // request it serves.  At most maxFrameLength.
    uint64_t maxFrameBytes = 64u << 20;

    // The option handlers; false with why on a name that is none.
    bool AddUid(const std::string& text, std::string& why);  // a user name or number
    bool AddGid(const std::string& text, std::string& why);  // a group name or number
};

// Where a daemon listens (and its socket file's mode and group), who may
// connect, where it logs.
struct CommonOptions {
    SocketOptions socket;
    SocketAccess access;
};
// The rows of the options every daemon takes, filling `options`: --socket
// (required), --socket-mode, --socket-group, --syslog, --allow-uid,
// --allow-gid, --max-connections, --max-per-user, --frame-timeout,
// --max-frame (its default: options.access.maxFrameBytes as it is now).
std::vector<OptionRow> CommonOptionRows(CommonOptions& options);
// Reads a daemon's options (ParseOrExit): complaints go to the log and no
// argument may be left over.
void ReadOptions(OptionTable& table, int argc, char** argv);

}  // namespace engined

#endif
