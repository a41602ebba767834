// The shared options of the engine daemons.  See daemon_options.h for the
// contract.
#include "engines/kit/daemon_options.h"

#include <pwd.h>

#include "common/base/daemonlog.h"

namespace engined {

using daemonlog::Error;

namespace {

// A user name or number.
bool LookupUser(const std::string& text, unsigned& out) {
    uint64_t number = 0;
    if (ParseNumber(text, 0, 0xfffffffe, number)) {
        out = static_cast<unsigned>(number);
        return true;
    }
    const struct passwd* found = getpwnam(text.c_str());
    if (found != nullptr) out = found->pw_uid;
    return found != nullptr;
}

}  // namespace

std::vector<OptionRow> CommonOptionRows(CommonOptions& options) {
    SocketAccess& access = options.access;
    std::vector<OptionRow> rows =
        SocketOptionRows(options.socket, {"PATH", "unix socket to listen on", nullptr, 0});
    for (OptionRow& row : std::vector<OptionRow>{
             CheckedTextOption(
                 "allow-uid", "USER", "let only this user connect (repeatable)",
                 [&access](const char*text, std::string&why) { return access.AddUid(text, why); }),
             CheckedTextOption(
                 "allow-gid", "GROUP", "let only members of this group connect (repeatable)",
                 [&access](const char*text, std::string&why) { return access.AddGid(text, why); }),
             NumberOption("max-connections", "N", "clients served at once", 2, 4096,
                          &access.maxConnections),
             NumberOption("max-per-user", "N",
                          "connections one user outside root, the daemon's user and the allow "
                          "lists may hold; as many are kept free for those",
                          1, 4096, &access.maxPerUser),
             NumberOption("frame-timeout", "SECONDS",
                          "a request whose first byte has arrived must be whole within this", 1,
                          3600, &access.frameTimeoutSeconds),
             SizeOption("max-frame", "BYTES",
                        "longest request a client may announce; a longer one closes its "
                        "connection before any of it is read",
                        1024, maxFrameLength, &access.maxFrameBytes),
         })
        rows.push_back(std::move(row));
    return rows;
}

void ReadOptions(OptionTable& table, int argc, char** argv) {
    table.SetComplaint([](const std::string& text) { Error("%s", text.c_str()); });
    table.SetMaxOperands(0);
    ParseOrExit(table, argc, argv);
}

bool SocketAccess::AddUid(const std::string& text, std::string& why) {
    unsigned uid = 0;
    if (!LookupUser(text, uid)) {
        why = "no user " + text;
        return false;
    }
    allowUids.push_back(uid);
    return true;
}

bool SocketAccess::AddGid(const std::string& text, std::string& why) {
    gid_t gid = 0;
    if (!LookupGroup(text, gid, why)) return false;
    allowGids.push_back(gid);
    return true;
}

}  // namespace engined
