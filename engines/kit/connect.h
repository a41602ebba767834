// Connecting to the daemons the engines ask (clamd, spamd): one socket,
// non-blocking, connected before a deadline, to a unix path or host:port;
// and the one wait for a descriptor with a deadline that every exchange of
// the engine daemons uses.
//
// Input: the address from the command line; the peer's answer to connect.
#ifndef TARNWICK_ENGINES_KIT_CONNECT_H
#define TARNWICK_ENGINES_KIT_CONNECT_H

#include <chrono>
#include <string>

#include "common/base/owners.h"

namespace engined {

enum class Readiness { kReady, kTimeout, kError };

// Waits until fd is ready for events (POLLIN, POLLOUT) or the deadline has
// passed; Clock::time_point::max() waits without one.  A signal does not end
// the wait.
Readiness WaitReady(int fd, short events, std::chrono::steady_clock::time_point deadline);

// Where to connect: a unix socket when path is set, else host and port
// (a number or a service name) through getaddrinfo, each address in turn.
struct StreamTarget {
    std::string path;
    std::string host;
    std::string port;
};

// A non-blocking, close-on-exec socket connected to target before deadline,
// or an invalid one with why set to the reason.  A unix socket whose backlog
// is full refuses with EAGAIN and connects nothing; that is knocked on again
// until the deadline, and then reported with busy set.
UniqueFd ConnectStream(const StreamTarget& target, std::chrono::steady_clock::time_point deadline,
                       std::string& why, bool& busy);

}  // namespace engined

#endif
