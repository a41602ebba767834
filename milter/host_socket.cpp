#include "milter/host_socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "common/base/daemonlog.h"
#include "common/base/socket_access.h"

namespace milter {

namespace {

// The path of a unix socket address (a bare path is one), or empty for an
// inet one.
std::string UnixPath(const std::string& address) {
    for (const char* prefix : {"unix:", "local:"})
        if (address.compare(0, strlen(prefix), prefix) == 0) return address.substr(strlen(prefix));
    return address.find(':') == std::string::npos ? address : std::string();
}

// inet:PORT@HOST or inet6:PORT@HOST (HOST a name, an address or [address];
// none: every address) to a socket address.
bool InetAddress(const std::string& address, sockaddr_storage& a, socklen_t& len,
                 std::string& why) {
    const size_t colon = address.find(':');
    const std::string family = address.substr(0, colon);
    if (family != "inet" && family != "inet6") {
        why = "unknown socket family " + family;
        return false;
    }
    const int af = family == "inet" ? AF_INET : AF_INET6;
    std::string rest = address.substr(colon + 1);
    const size_t at = rest.find('@');
    const std::string port = rest.substr(0, at);
    std::string host = at == std::string::npos ? std::string() : rest.substr(at + 1);
    // A number must be a port (getaddrinfo would take 99999 for 34463); a
    // name is a service of /etc/services.
    if (port.empty() || (port.find_first_not_of("0123456789") == std::string::npos &&
                         (port.size() > 5 || std::stoul(port) > 65535))) {
        why = "no port in " + address;
        return false;
    }
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    addrinfo hints{};
    hints.ai_family = af;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &found);
    if (rc != 0 || !found) {
        why = "cannot resolve " + address + ": " + gai_strerror(rc);
        return false;
    }
    memcpy(&a, found->ai_addr, found->ai_addrlen);
    len = found->ai_addrlen;
    freeaddrinfo(found);
    return true;
}

bool Listen(int fd, const sockaddr* a, socklen_t len, std::string& why) {
    if (bind(fd, a, len) != 0 || listen(fd, SOMAXCONN) != 0) {
        why = strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

bool OpenSocket(const HostOptions& o, ListeningSocket& out) {
    const std::string path = UnixPath(o.socket.path);
    std::string why;
    if (path.empty()) {
        sockaddr_storage a{};
        socklen_t len = 0;
        if (!InetAddress(o.socket.path, a, len, why)) {
            daemonlog::Error("start: %s", why.c_str());
            return false;
        }
        out.fd = socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        if (out.fd < 0 || setsockopt(out.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
            !Listen(out.fd, reinterpret_cast<sockaddr*>(&a), len, why)) {
            daemonlog::Error("start: %s", out.fd < 0 ? strerror(errno) : why.c_str());
            if (out.fd >= 0) close(out.fd);
            out.fd = -1;
            return false;
        }
        return true;
    }
    sockaddr_un u{};
    u.sun_family = AF_UNIX;
    if (path.size() >= sizeof u.sun_path) {
        daemonlog::Error("start: the socket path %s is too long", path.c_str());
        return false;
    }
    memcpy(u.sun_path, path.c_str(), path.size() + 1);
    gid_t gid = 0;
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
    // A socket file of an earlier run is replaced; anything else is kept
    // and the bind fails on it.
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) unlink(path.c_str());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || !CreateSocketFile(
                      path, o.socket,
                      [fd, &u](std::string& failure) {
                          return Listen(fd, reinterpret_cast<sockaddr*>(&u), sizeof u, failure);
                      },
                      why)) {
        daemonlog::Error("start: %s", fd < 0 ? strerror(errno) : why.c_str());
        if (fd >= 0) close(fd);
        return false;
    }
    out.fd = fd;
    out.path = path;
    if (lstat(path.c_str(), &st) == 0) out.inode = st.st_ino;
    return true;
}

void RemoveSocketFile(const ListeningSocket& s) {
    struct stat st {};
    if (!s.path.empty() && lstat(s.path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) &&
        st.st_ino == s.inode)
        unlink(s.path.c_str());
}

std::string SocketAddressText(int fd) {
    sockaddr_storage a = {};
    socklen_t len = sizeof a;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return "?";
    char text[INET6_ADDRSTRLEN] = "";
    if (a.ss_family == AF_UNIX) {
        const auto* u = reinterpret_cast<const sockaddr_un*>(&a);
        const size_t n =
            len > offsetof(sockaddr_un, sun_path) ? len - offsetof(sockaddr_un, sun_path) : 0;
        return "unix:" + std::string(u->sun_path, strnlen(u->sun_path, n));
    }
    if (a.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&a);
        inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
        return "inet:" + std::to_string(ntohs(in->sin_port)) + "@" + std::string(text);
    }
    if (a.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&a);
        inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
        return "inet6:" + std::to_string(ntohs(in6->sin6_port)) + "@[" + std::string(text) + "]";
    }
    return "?";
}

}  // namespace milter
