// Who may reach a daemon's unix socket through the file system: the socket
// file's mode and group, the rows of the options that set them (with the
// --socket row itself and --syslog, which every such daemon takes), and
// their application to a socket being created.
//
// Contract: CreateSocketFile makes the file under umask 0177, so that it is
// born owner-only, and opens it up to the configured group and mode only
// afterwards: no peer can connect under looser permissions than asked, not
// even for a moment.  The file it changes must be a socket (never a link).
// Inputs: the command line (a mode is 1 to 4 octal digits up to 0777; a
// group a name or number that exists).
#ifndef TARNWICK_COMMON_BASE_SOCKET_ACCESS_H
#define TARNWICK_COMMON_BASE_SOCKET_ACCESS_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "common/base/options.h"

struct SocketOptions {
    std::string path;      // --socket: a path, or the program's own address form
    unsigned mode = 0660;  // --socket-mode
    std::string group;     // --socket-group, a name or number; empty: the daemon's own
    bool syslog = false;   // --syslog
};

// What differs in the --socket row between programs.
struct SocketRowText {
    const char* argument;  // "PATH", "SPEC"
    const char* help;
    const char* defaultText;  // nullptr: the option is required
    char shortName;           // 0: none
};

// Reads 1 to 4 octal digits, at most 0777; false when the text is none.
bool ParseOctalMode(const std::string& text, unsigned& mode);
// The gid of a group name or number; false (why set) when there is none.
bool LookupGroup(const std::string& group, gid_t& gid, std::string& why);

// The rows --socket, --socket-mode, --socket-group and --syslog, filling o.
// Their defaults are what o holds when the rows are made.
std::vector<OptionRow> SocketOptionRows(SocketOptions& o, const SocketRowText& socketRow);

// Runs create (a bind, or a library's own opening of the socket, false
// with why on failure) with umask 0177, then gives the socket file at path
// the group and mode of o.  False, why set, when any step fails.
bool CreateSocketFile(const std::string& path, const SocketOptions& o,
                      const std::function<bool(std::string& why)>& create, std::string& why);

#endif
