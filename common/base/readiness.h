// Telling the service manager about a daemon's state: systemd, when it
// started us with NOTIFY_SOCKET (Type=notify), and taking the listening
// socket it holds for us (socket activation: LISTEN_FDS, LISTEN_PID).  The
// one place that speaks sd-daemon; built without libsystemd it sends
// nothing and passes no socket.
#ifndef TARNWICK_COMMON_BASE_READINESS_H
#define TARNWICK_COMMON_BASE_READINESS_H

#include <string>

// state: "READY=1", "RELOADING=1", "STOPPING=1", "STATUS=...", or several
// of them one a line.  A failure is logged as a warning, never fatal.
void NotifyServiceManager(const std::string& state);

// The listening stream socket the service manager passed this process
// (close-on-exec, its variables taken out of the environment), -1 when it
// passed none, -2 with why set when what it passed is not one listening
// stream socket.
int ServiceManagerSocket(std::string& why);

#endif
