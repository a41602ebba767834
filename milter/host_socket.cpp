#include "milter/host_socket.h"

#include <fcntl.h>
#include <libmilter/mfapi.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>

#include "common/base/daemonlog.h"
#include "common/base/owners.h"
#include "milter/mta_sessions.h"

namespace milter {

namespace {

// The path of a unix socket address (libmilter takes a bare path as one),
// or empty for an inet one.
std::string UnixPath(const std::string& address) {
    for (const char* prefix : {"unix:", "local:"})
        if (address.compare(0, strlen(prefix), prefix) == 0) return address.substr(strlen(prefix));
    return address.find(':') == std::string::npos ? address : std::string();
}

}  // namespace

bool OpenSocket(const HostOptions& o) {
    const std::string path = UnixPath(o.socket.path);
    if (path.empty()) return smfi_opensocket(1) == MI_SUCCESS;
    gid_t gid = 0;
    std::string why;
    if (!LookupGroup(o.socket.group, gid, why)) {
        daemonlog::Error("start: %s for the socket", why.c_str());
        return false;
    }
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        const std::string dir = path.substr(0, slash);
        if (mkdir(dir.c_str(), 0750) == 0 && chown(dir.c_str(), static_cast<uid_t>(-1), gid) != 0)
            daemonlog::Warn("start: cannot give %s to group %s: %s", dir.c_str(),
                            o.socket.group.c_str(), strerror(errno));
    }
    if (!CreateSocketFile(
            path, o.socket,
            [](std::string& failure) {
                failure = "libmilter cannot open the socket";
                return smfi_opensocket(1) == MI_SUCCESS;
            },
            why)) {
        daemonlog::Error("start: %s", why.c_str());
        return false;
    }
    return true;
}

bool TakeOverSocket(const HostOptions& o, int inherited, std::string& address) {
    address = SocketAddressText(inherited);
    sockaddr_storage a = {};
    socklen_t len = sizeof a;
    if (getsockname(inherited, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        daemonlog::Error("start: the socket of the service manager has no address: %s",
                         strerror(errno));
        return false;
    }
    std::string standIn, dir;
    if (a.ss_family == AF_UNIX) {
        std::string pattern = o.base + "/.listen-XXXXXX";
        if (!mkdtemp(&pattern[0])) {
            daemonlog::Error("start: cannot make %s: %s", pattern.c_str(), strerror(errno));
            return false;
        }
        dir = pattern;
        standIn = "unix:" + dir + "/s";
    } else if (a.ss_family == AF_INET) {
        standIn = "inet:0@[127.0.0.1]";
    } else if (a.ss_family == AF_INET6) {
        standIn = "inet6:0@[::1]";
    } else {
        daemonlog::Error(
            "start: the socket of the service manager is of family %d, not unix or "
            "inet",
            static_cast<int>(a.ss_family));
        return false;
    }
    const std::set<int> before = ListeningSockets();
    const bool opened = smfi_setconn(const_cast<char*>(standIn.c_str())) == MI_SUCCESS &&
                        smfi_opensocket(1) == MI_SUCCESS;
    int target = -1;
    for (int fd : ListeningSockets())
        if (!before.count(fd)) target = target < 0 ? fd : -2;
    bool ok = opened && target >= 0 && dup2(inherited, target) == target &&
              fcntl(target, F_SETFD, FD_CLOEXEC) == 0;
    if (!ok)
        daemonlog::Error(
            "start: libmilter's socket cannot be replaced by the one of the service "
            "manager%s%s",
            opened ? "" : ": libmilter cannot open its stand-in ", opened ? "" : standIn.c_str());
    close(inherited);
    if (!dir.empty()) {
        unlink((dir + "/s").c_str());
        rmdir(dir.c_str());
    }
    return ok;
}

}  // namespace milter
