#include "milter/mta_sessions.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "common/base/daemonlog.h"

namespace milter {

namespace {

// The MTA's sessions open at the stop (connected, between messages) get up
// to kSessionsMs to end before the filters stop: a session cut off would
// have its next message deferred.  Connections still waiting on a socket
// the service manager holds are the next process's; the MTA gives each 30 s
// (Postfix's milter_command_timeout) for the first reply, within which the
// stop (libmilter's 5 s, this wait, the filters' final reports) and the
// next start stay.
constexpr int kSessionsMs = 10 * 1000;

}  // namespace

// The descriptors open now that are listening sockets.
std::set<int> ListeningSockets() {
    std::set<int> out;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return out;
    const int own = dirfd(dir);
    while (struct dirent* e = readdir(dir)) {
        char* end;
        const long fd = strtol(e->d_name, &end, 10);
        if (*end != '\0' || end == e->d_name || fd == own) continue;
        int listening = 0;
        socklen_t len = sizeof listening;
        if (getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) == 0 &&
            listening)
            out.insert(static_cast<int>(fd));
    }
    closedir(dir);
    return out;
}

// The local address of a socket as --socket writes it; portOnly leaves the
// host out of an inet one (a listener on every address accepts on one).
std::string SocketAddressText(int fd, bool portOnly) {
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
        return "inet:" + std::to_string(ntohs(in->sin_port)) +
               (portOnly ? "" : "@" + std::string(text));
    }
    if (a.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&a);
        inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
        return "inet6:" + std::to_string(ntohs(in6->sin6_port)) +
               (portOnly ? "" : "@[" + std::string(text) + "]");
    }
    return "?";
}

// The MTA's sessions open now: the connected sockets that libmilter
// accepted on the listening socket whose address is `listening` (an
// accepted socket bears the listener's local address).  Counted from the
// descriptors, not from the callbacks: at the stop libmilter may accept one
// last connection that has not yet reached any callback.
int OpenSessions(const std::string& listening) {
    int open = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return 0;
    const int own = dirfd(dir);
    while (struct dirent* e = readdir(dir)) {
        char* end;
        const long fd = strtol(e->d_name, &end, 10);
        if (*end != '\0' || end == e->d_name || fd == own) continue;
        int listens = 1, type = 0;
        socklen_t len = sizeof listens, typeLen = sizeof type;
        if (getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_ACCEPTCONN, &listens, &len) == 0 &&
            !listens &&
            getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_TYPE, &type, &typeLen) == 0 &&
            type == SOCK_STREAM && SocketAddressText(static_cast<int>(fd), true) == listening)
            ++open;
    }
    closedir(dir);
    return open;
}

// Ends the accepting of new sessions without stopping libmilter, whose
// pool of workers serves no session any more once it is told to stop: the
// sessions open now go on to their end, and the connections not yet taken
// stay on the listening socket (for the next process, when the service
// manager holds it).  A stand-in listener of the same family takes the
// place of libmilter's descriptor `fd`, with one connection of its own
// waiting on it, so that libmilter's accept, woken by a connection to the
// real socket, takes that one and never blocks.
void StopAccepting(int fd, const std::string& base) {
    sockaddr_storage a = {};
    socklen_t len = sizeof a;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return;
    sockaddr_storage b = {};
    socklen_t blen = 0;
    std::string dir;
    if (a.ss_family == AF_UNIX) {
        dir = base + "/.stop-XXXXXX";
        if (!mkdtemp(&dir[0])) return;
        auto* u = reinterpret_cast<sockaddr_un*>(&b);
        u->sun_family = AF_UNIX;
        snprintf(u->sun_path, sizeof u->sun_path, "%s/s", dir.c_str());
        blen = sizeof *u;
    } else if (a.ss_family == AF_INET) {
        auto* in = reinterpret_cast<sockaddr_in*>(&b);
        in->sin_family = AF_INET;
        in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        blen = sizeof *in;
    } else if (a.ss_family == AF_INET6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&b);
        in6->sin6_family = AF_INET6;
        in6->sin6_addr = in6addr_loopback;
        blen = sizeof *in6;
    } else {
        return;
    }
    const int standIn = socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int caller = socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    socklen_t boundLen = blen;
    const bool ok =
        standIn >= 0 && caller >= 0 && bind(standIn, reinterpret_cast<sockaddr*>(&b), blen) == 0 &&
        listen(standIn, 4) == 0 &&
        getsockname(standIn, reinterpret_cast<sockaddr*>(&b), &boundLen) == 0 &&
        connect(caller, reinterpret_cast<sockaddr*>(&b), boundLen) == 0 && dup2(standIn, fd) == fd;
    if (!ok) daemonlog::Error("stop: new sessions cannot be turned away: %s", strerror(errno));
    if (standIn >= 0) close(standIn);
    if (caller >= 0) close(caller);
    if (!dir.empty()) {
        unlink((dir + "/s").c_str());
        rmdir(dir.c_str());
    }
}

void LetSessionsEnd(int listenFd, const std::string& listening, const std::string& base) {
    StopAccepting(listenFd, base);
    const int atStop = OpenSessions(listening);
    daemonlog::Log("stop: no new sessions taken; %d open one(s) may end first", atStop);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSessionsMs);
    int open = atStop;
    while (open > 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        open = OpenSessions(listening);
    }
    if (open > 0)
        daemonlog::Warn("stop: %d session(s) of the MTA still open after %d s are cut off", open,
                        kSessionsMs / 1000);
}

}  // namespace milter
