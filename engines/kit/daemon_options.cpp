// The shared options and the service manager messages of the engine
// daemons.  See daemon_options.h for the contract.
#include "engines/kit/daemon_options.h"

#include <grp.h>
#include <pwd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef TARNWICK_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

#include "common/base/daemonlog.h"

namespace engined {

using daemonlog::Error;
using daemonlog::Warn;

namespace {

bool LookupId(const std::string& text, bool group, unsigned& out) {
    uint64_t number = 0;
    if (ParseNumber(text, 0, 0xfffffffe, number)) {
        out = static_cast<unsigned>(number);
        return true;
    }
    if (group) {
        const struct group* found = getgrnam(text.c_str());
        if (found != nullptr) out = found->gr_gid;
        return found != nullptr;
    }
    const struct passwd* found = getpwnam(text.c_str());
    if (found != nullptr) out = found->pw_uid;
    return found != nullptr;
}

}  // namespace

void NotifyServiceManager(const std::string& state) {
#ifdef TARNWICK_HAVE_SYSTEMD
    int rc = sd_notify(0, state.c_str());
    if (rc < 0) Warn("cannot notify the service manager: %s", strerror(-rc));
#else
    (void)state;
#endif
}

std::vector<OptionRow> CommonOptionRows(CommonOptions& options) {
    SocketAccess& access = options.access;
    char mode[8];
    snprintf(mode, sizeof mode, "%04o", access.mode);
    return {
        TextOption("socket", "PATH", "unix socket to listen on", &options.socketPath).Required(),
        TextOption("socket-mode", "MODE", "permissions of the socket file",
                   [&access](const char* text) { return access.SetMode(text); })
            .Default(mode),
        TextOption("socket-group", "GROUP", "group of the socket file",
                   [&access](const char* text) { return access.SetGroup(text); })
            .Default("the daemon's group"),
        TextOption("allow-uid", "USER", "let only this user connect (repeatable)",
                   [&access](const char* text) { return access.AddUid(text); }),
        TextOption("allow-gid", "GROUP", "let only members of this group connect (repeatable)",
                   [&access](const char* text) { return access.AddGid(text); }),
        NumberOption("max-connections", "N", "clients served at once", 2, 4096,
                     &access.maxConnections),
        NumberOption("max-per-user", "N",
                     "connections one user outside root, the daemon's user and the allow lists "
                     "may hold; as many are kept free for those",
                     1, 4096, &access.maxPerUser),
        NumberOption("frame-timeout", "SECONDS",
                     "a request whose first byte has arrived must be whole within this", 1, 3600,
                     &access.frameTimeoutSeconds),
        FlagOption("syslog", "log to syslog (facility mail) instead of stderr", &options.syslog),
    };
}

int ReadOptions(OptionTable& table, int argc, char** argv) {
    table.SetComplaint([](const std::string& text) { Error("%s", text.c_str()); });
    table.SetMaxOperands(0);
    int next = 0;
    switch (table.Parse(argc, argv, next)) {
        case OptionTable::Result::kGo:
            return 0;
        case OptionTable::Result::kDone:
            return -1;
        default:
            fprintf(stderr, "Try %s --help\n", table.Program().c_str());
            return 2;
    }
}

bool SocketAccess::SetMode(const std::string& text) {
    if (text.empty() || text.size() > 4 ||
        text.find_first_not_of("01234567") != std::string::npos) {
        Error("--socket-mode wants an octal mode such as 0660, not %s", text.c_str());
        return false;
    }
    mode = static_cast<unsigned>(strtoul(text.c_str(), nullptr, 8)) & 0777;
    return true;
}

bool SocketAccess::SetGroup(const std::string& text) {
    unsigned gid = 0;
    if (!LookupId(text, true, gid)) {
        Error("--socket-group: no group %s", text.c_str());
        return false;
    }
    group = static_cast<int>(gid);
    return true;
}

bool SocketAccess::AddUid(const std::string& text) {
    unsigned uid = 0;
    if (!LookupId(text, false, uid)) {
        Error("--allow-uid: no user %s", text.c_str());
        return false;
    }
    allowUids.push_back(uid);
    return true;
}

bool SocketAccess::AddGid(const std::string& text) {
    unsigned gid = 0;
    if (!LookupId(text, true, gid)) {
        Error("--allow-gid: no group %s", text.c_str());
        return false;
    }
    allowGids.push_back(gid);
    return true;
}

}  // namespace engined
