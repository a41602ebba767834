// Socket file mode and group: option rows and their application.  See
// socket_access.h for the contract.
#include "common/base/socket_access.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

bool ParseOctalMode(const std::string& text, unsigned& mode) {
    if (text.empty() || text.size() > 4 || text.find_first_not_of("01234567") != std::string::npos)
        return false;
    unsigned value = 0;
    for (char c : text) value = value * 8 + static_cast<unsigned>(c - '0');
    if (value > 0777) return false;
    mode = value;
    return true;
}

bool LookupGroup(const std::string& group, gid_t& gid, std::string& why) {
    uint64_t number = 0;
    if (ParseNumber(group, 0, 0xfffffffe, number)) {
        gid = static_cast<gid_t>(number);
        return true;
    }
    const struct group* found = getgrnam(group.c_str());
    if (found == nullptr) {
        why = "no group " + group;
        return false;
    }
    gid = found->gr_gid;
    return true;
}

std::vector<OptionRow> SocketOptionRows(SocketOptions& o, const SocketRowText& socketRow) {
    char mode[8];
    snprintf(mode, sizeof mode, "%04o", o.mode);
    OptionRow socket = TextOption("socket", socketRow.argument, socketRow.help, &o.path);
    socket.defaultText = socketRow.defaultText != nullptr ? socketRow.defaultText : "";
    socket.required = socketRow.defaultText == nullptr;
    socket.shortName = socketRow.shortName;
    return {
        socket,
        CheckedTextOption("socket-mode", "MODE", "octal permissions of the socket file",
                          [&o](const char* text, std::string& why) {
                              if (ParseOctalMode(text, o.mode)) return true;
                              why =
                                  std::string("wants octal permissions such as 0660, not ") + text;
                              return false;
                          })
            .Default(mode),
        CheckedTextOption("socket-group", "GROUP", "group of the socket file",
                          [&o](const char* text, std::string& why) {
                              gid_t gid = 0;
                              if (!LookupGroup(text, gid, why)) return false;
                              o.group = text;
                              return true;
                          })
            .Default(o.group.empty() ? "the daemon's group" : o.group),
        FlagOption("syslog", "log to syslog (facility mail) instead of stderr", &o.syslog),
    };
}

bool CreateSocketFile(const std::string& path, const SocketOptions& o,
                      const std::function<bool(std::string& why)>& create, std::string& why) {
    gid_t gid = static_cast<gid_t>(-1);
    if (!o.group.empty() && !LookupGroup(o.group, gid, why)) return false;
    const mode_t previous = umask(0177);
    const bool created = create(why);
    umask(previous);
    if (!created) return false;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) {
        why = path + " is not a socket after its creation";
        return false;
    }
    if (gid != static_cast<gid_t>(-1) &&
        fchownat(AT_FDCWD, path.c_str(), static_cast<uid_t>(-1), gid, AT_SYMLINK_NOFOLLOW) != 0) {
        why = "cannot give " + path + " to group " + o.group + ": " + strerror(errno);
        return false;
    }
    if (chmod(path.c_str(), o.mode) != 0) {
        char mode[8];
        snprintf(mode, sizeof mode, "%04o", o.mode);
        why = std::string("cannot set mode ") + mode + " on " + path + ": " + strerror(errno);
        return false;
    }
    return true;
}
