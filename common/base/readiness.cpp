// sd_notify for every daemon.  See readiness.h for the contract.
#include "common/base/readiness.h"

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
