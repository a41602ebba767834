// Command-line values, the common options and service manager messages of
// the engine daemons.  See daemon_util.h for the contract.
#include "daemon_util.h"

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

bool ParseNumber(const std::string& text, uint64_t minimum, uint64_t maximum, uint64_t& out) {
    if (text.empty() || text.size() > 19) return false;
    uint64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + static_cast<uint64_t>(c - '0');
    }
    if (n < minimum || n > maximum) return false;
    out = n;
    return true;
}

bool ParseSize(const std::string& text, uint64_t minimum, uint64_t maximum, uint64_t& out) {
    if (text.empty()) return false;
    std::string digits = text;
    uint64_t unit = 1;
    char last = digits.back();
    if (last == 'K' || last == 'k') unit = 1024;
    if (last == 'M' || last == 'm') unit = 1024 * 1024;
    if (unit != 1) digits.pop_back();
    uint64_t n = 0;
    // 12 digits of mebibytes stay far below 2^64.
    if (digits.size() > 12 || !ParseNumber(digits, 0, UINT64_MAX, n)) return false;
    n *= unit;
    if (n < minimum || n > maximum) return false;
    out = n;
    return true;
}

std::vector<option> LongOptions(std::initializer_list<option> own) {
    std::vector<option> all = {
        {"socket", required_argument, nullptr, kOptSocket},
        {"socket-mode", required_argument, nullptr, kOptSocketMode},
        {"socket-group", required_argument, nullptr, kOptSocketGroup},
        {"allow-uid", required_argument, nullptr, kOptAllowUid},
        {"allow-gid", required_argument, nullptr, kOptAllowGid},
        {"syslog", no_argument, nullptr, kOptSyslog},
    };
    all.insert(all.end(), own);
    all.push_back({nullptr, 0, nullptr, 0});
    return all;
}

const char kCommonUsage[] =
    "  --socket PATH          unix socket to listen on (required)\n"
    "  --socket-mode MODE     permissions of the socket file (default 0660)\n"
    "  --socket-group GROUP   group of the socket file (default: the daemon's)\n"
    "  --allow-uid USER       let only this user connect (repeatable)\n"
    "  --allow-gid GROUP      let only members of this group connect (repeatable)\n"
    "  --syslog               log to syslog (facility mail) instead of stderr\n";

bool ReadCommonOption(int opt, const char* arg, CommonOptions& options, bool& ok) {
    switch (opt) {
        case kOptSocket:
            options.socketPath = arg;
            return true;
        case kOptSocketMode:
            ok = options.access.SetMode(arg);
            return true;
        case kOptSocketGroup:
            ok = options.access.SetGroup(arg);
            return true;
        case kOptAllowUid:
            ok = options.access.AddUid(arg);
            return true;
        case kOptAllowGid:
            ok = options.access.AddGid(arg);
            return true;
        case kOptSyslog:
            options.syslog = true;
            return true;
        default:
            return false;
    }
}

bool NumberOption(const char* name, const char* text, uint64_t minimum, uint64_t maximum,
                  uint64_t& out) {
    if (ParseNumber(text, minimum, maximum, out)) return true;
    Error("--%s must be a number from %llu to %llu, not %s", name,
          static_cast<unsigned long long>(minimum), static_cast<unsigned long long>(maximum), text);
    return false;
}

bool CommonOptionsComplete(int argc, char** argv, int next, const CommonOptions& options) {
    if (next < argc) {
        Error("unexpected argument %s", argv[next]);
        return false;
    }
    if (options.socketPath.empty()) {
        Error("--socket is required");
        return false;
    }
    return true;
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
