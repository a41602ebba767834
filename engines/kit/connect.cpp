// See connect.h for the contract.
#include "engines/kit/connect.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>

namespace engined {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds backlogPause{5};

// Finishes a non-blocking connect; true when it succeeded.
bool CompleteConnect(int fd, Clock::time_point deadline, int& error) {
    switch (WaitReady(fd, POLLOUT, deadline)) {
        case Readiness::kReady:
            break;
        case Readiness::kTimeout:
            error = ETIMEDOUT;
            return false;
        case Readiness::kError:
            error = errno;
            return false;
    }
    socklen_t size = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
    return error == 0;
}

UniqueFd ConnectUnix(const std::string& path, Clock::time_point deadline, std::string& why,
                     bool& busy) {
    sockaddr_un un;
    memset(&un, 0, sizeof un);
    un.sun_family = AF_UNIX;
    if (path.size() >= sizeof un.sun_path) {
        why = "socket path too long";
        return UniqueFd();
    }
    memcpy(un.sun_path, path.data(), path.size());
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) {
        why = strerror(errno);
        return UniqueFd();
    }
    // A unix socket never connects in the background: EAGAIN means that the
    // backlog is full and nothing was connected (the socket would even poll
    // as writable).  Knock again until there is room.
    int error = 0;
    for (;;) {
        if (connect(fd.Get(), reinterpret_cast<sockaddr*>(&un), sizeof un) == 0) return fd;
        error = errno;
        if (error == EINTR) continue;
        if (error != EAGAIN || Clock::now() + backlogPause >= deadline) break;
        std::this_thread::sleep_for(backlogPause);
    }
    busy = error == EAGAIN;
    why = strerror(error);
    return UniqueFd();
}

}  // namespace

Readiness WaitReady(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        int timeout = -1;
        if (deadline != Clock::time_point::max()) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                    .count();
            if (left <= 0) return Readiness::kTimeout;
            // Rounded up, so that the wait never ends just short of the deadline.
            timeout = static_cast<int>(std::min<long long>(left + 1, 60000));
        }
        pollfd waiting = {fd, events, 0};
        const int ready = poll(&waiting, 1, timeout);
        if (ready > 0) return Readiness::kReady;
        if (ready < 0 && errno != EINTR) return Readiness::kError;
    }
}

UniqueFd ConnectStream(const StreamTarget& target, Clock::time_point deadline, std::string& why,
                       bool& busy) {
    busy = false;
    if (!target.path.empty()) return ConnectUnix(target.path, deadline, why, busy);
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(target.host.c_str(), target.port.c_str(), &hints, &found);
    if (rc != 0) {
        why = gai_strerror(rc);
        return UniqueFd();
    }
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(found, freeaddrinfo);
    why = "no address";
    for (addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
        UniqueFd fd(
            socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol));
        if (!fd.Valid()) {
            why = strerror(errno);
            continue;
        }
        if (connect(fd.Get(), ai->ai_addr, ai->ai_addrlen) == 0) return fd;
        int error = errno;
        if (error == EINPROGRESS && CompleteConnect(fd.Get(), deadline, error)) return fd;
        why = strerror(error);
    }
    return UniqueFd();
}

}  // namespace engined
