// sd_notify for every daemon.  See readiness.h for the contract.
#include "common/base/readiness.h"

#include <sys/socket.h>

#include <cstring>

#ifdef TARNWICK_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

#include "common/base/daemonlog.h"

void NotifyServiceManager(const std::string& state) {
#ifdef TARNWICK_HAVE_SYSTEMD
    int rc = sd_notify(0, state.c_str());
    if (rc < 0) daemonlog::Warn("cannot notify the service manager: %s", strerror(-rc));
#else
    (void)state;
#endif
}

int ServiceManagerSocket(std::string& why) {
#ifdef TARNWICK_HAVE_SYSTEMD
    const int n = sd_listen_fds(1);
    if (n == 0) return -1;
    if (n < 0) {
        why = std::string("the sockets of the service manager cannot be taken: ") + strerror(-n);
        return -2;
    }
    if (n > 1) {
        why = "the service manager passed " + std::to_string(n) + " sockets, not one";
        return -2;
    }
    if (sd_is_socket(SD_LISTEN_FDS_START, AF_UNSPEC, SOCK_STREAM, 1) <= 0) {
        why = "what the service manager passed is not a listening stream socket";
        return -2;
    }
    return SD_LISTEN_FDS_START;
#else
    (void)why;
    return -1;
#endif
}
