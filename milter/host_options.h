// tarnwick-milter's command line: the options table, its --help text and
// the checks across options (a filter named by --on-failure, the score
// levels' filter and field).  Reads the filters' settings files; no
// sockets.
#ifndef TARNWICK_MILTER_HOST_OPTIONS_H
#define TARNWICK_MILTER_HOST_OPTIONS_H

#include <string>
#include <vector>

#include "common/base/socket_access.h"
#include "engines/kit/connect.h"
#include "milter/settings.h"

namespace milter {

// "tarnwick-milter VERSION", for --version and the start line.
const char* HostVersion();

// Postfix's smtpd runs chrooted in its spool directory and reaches the
// socket there as unix:tarnwick/milter.sock.
constexpr const char* kDefaultSocket = "unix:/var/spool/postfix/tarnwick/milter.sock";
// Beside the filters' statistics in the package's program directory, where
// tarnwick-stats finds both.
constexpr const char* kDefaultFigures = "/var/lib/tarnwick/milter/tarnwick-milter.prom";

struct HostOptions {
    // --socket is an address here (unix:/path or inet:PORT@HOST); the group
    // is the MTA's.
    SocketOptions socket{kDefaultSocket, 0660, "postfix", false};
    std::string base;
    std::vector<std::string> filters;
    std::vector<std::string> sendmail{"/usr/sbin/sendmail"};
    int sendmailTimeoutSec = 30;
    // --submit-to: the MTA's SMTP listener, in place of sendmail.
    std::string submitTo;
    engined::StreamTarget submitTarget;
    std::string figuresFile = kDefaultFigures;
    int figuresEverySec = 5;
    HostSettings host;
    // --session-timeout: the longest the MTA may be silent in a session
    // (the 7210 s milter filters have always given it).
    int sessionTimeoutSec = 7210;
    bool debug = false;
};

// Returns -1 to go on serving, else the exit status.
int ParseOptions(int argc, char** argv, HostOptions& o);

// --syslog is looked for before the options are read, so that what is
// wrong with them goes where the administrator looks.
bool SyslogAsked(int argc, char** argv);

// A relative path made absolute from the working directory at the start.
std::string Absolute(const std::string& path);

}  // namespace milter

#endif
