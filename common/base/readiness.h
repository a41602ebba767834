// Telling the service manager about a daemon's state: systemd, when it
// started us with NOTIFY_SOCKET (Type=notify).  The one place that speaks
// sd_notify; built without libsystemd it sends nothing.
#ifndef TARNWICK_COMMON_BASE_READINESS_H
#define TARNWICK_COMMON_BASE_READINESS_H

#include <string>

// state: "READY=1", "RELOADING=1", "STOPPING=1", "STATUS=...", or several
// of them one a line.  A failure is logged as a warning, never fatal.
void NotifyServiceManager(const std::string& state);

#endif
