// Where a member of a pool listens (clamd, spamd, rspamd), in the one form
// every pool option takes: "unix:PATH", "tcp:HOST:PORT" or plain
// "HOST:PORT", an IPv6 host in brackets ("[::1]:783"; a bare one is read up
// to its last colon), PORT a number or a service name.  A list adds several:
// entries separated by commas, except that a "unix:" list is one path whole
// (a path may hold a comma).
//
// Input: the command line.  Limits: a socket path shorter than sun_path; at
// most MemberPool::maxMembers members in one pool, none listed twice.
#ifndef TARNWICK_ENGINES_KIT_MEMBER_ADDRESS_H
#define TARNWICK_ENGINES_KIT_MEMBER_ADDRESS_H

#include <string>
#include <vector>

#include "engines/kit/connect.h"

namespace engined {

struct MemberAddress {
    std::string socketPath;  // unix socket; when empty, host and port are used
    std::string host;
    std::string port;
    // "PATH" or "HOST:PORT" ("[::1]:783"): the member in log lines.
    std::string Text() const;
    // "unix:PATH" or "tcp:HOST:PORT": the member as the options write it.
    std::string Form() const;
    StreamTarget Target() const { return {socketPath, host, port}; }
};

// Reads one address; false, with the reason in problem, when it is none.
bool ParseMemberAddress(const std::string& text, MemberAddress& out, std::string& problem);

// Adds the members of a list to members; AddMemberSocket adds one unix
// socket path given without "unix:".  False, with the reason in problem
// and members unchanged, for an entry that is no address, one listed
// before, or more members than a pool takes.
bool AddMembers(const std::string& list, std::vector<MemberAddress>& members, std::string& problem);
bool AddMemberSocket(const std::string& path, std::vector<MemberAddress>& members,
                     std::string& problem);

}  // namespace engined

#endif
