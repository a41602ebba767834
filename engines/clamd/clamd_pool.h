// A pool of ClamAV clamd daemons that quillon-clamd hands its scans to
// instead of scanning in process, for sites that run central clamd hosts.
// Each scan streams the already opened file to one member with clamd's
// INSTREAM command ("zINSTREAM\0", chunks of a 4-byte big-endian length and
// the bytes, a zero length at the end) and reads the reply: "stream: OK",
// "stream: NAME FOUND" (one per match when clamd scans all matches) or
// "... ERROR".
//
// Inputs: the member addresses (--clamd), the replies of the members.
// Failover (the kit's member pool): scans go round the members that are up;
// a member that refuses the connection, breaks it or does not answer within
// the reply deadline is marked down at once and the scan goes to the next;
// the pool's prober tries each down member once a second (PING, expecting
// PONG) and takes it back.  When every member is down a scan still tries
// them, in case one came back before the prober saw it, and goes on trying
// every holdPause for the grace period counted from the moment the last
// member went down (a clamd restarting after a signature update), before it
// fails.  Limits: a reply is read to at most maxClamdReply bytes; a match
// name is cut at 256 bytes; at most maxFindings names are kept.
#ifndef TARNWICK_ENGINES_CLAMD_CLAMD_POOL_H
#define TARNWICK_ENGINES_CLAMD_CLAMD_POOL_H

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "engines/kit/member_pool.h"

namespace engined {

constexpr size_t maxClamdReply = 64u << 10;

// One member: "unix:/run/clamav/clamd.ctl" or "tcp:HOST:PORT" (an IPv6
// host in brackets).
struct ClamdAddress {
    bool unix = false;
    std::string path;  // unix
    std::string host;  // tcp
    std::string port;  // tcp
    std::string text;  // as given, for the log
};
// Reads an address; false when it is none of the two forms.
bool ParseClamdAddress(const std::string& text, ClamdAddress& out);

// What a member answered to one INSTREAM.
struct ClamdVerdict {
    enum Kind { kClean, kFound, kError } kind = kError;
    std::vector<std::string> names;  // kFound
    std::string error;               // kError: clamd's text before " ERROR"
};
// Parses the replies of one INSTREAM (each ended by '\0' or a newline;
// several when clamd reports every match).  False when the text is no
// clamd reply at all.
bool ParseClamdReply(const std::string& text, ClamdVerdict& verdict);

class ClamdPool {
  public:
    // replySeconds: how long a member may take to answer one scan; grace:
    // how long scans are held once every member is down (0: none).  At
    // most MemberPool::maxMembers members.
    ClamdPool(std::vector<ClamdAddress> members, unsigned replySeconds,
              std::chrono::milliseconds grace);

    static constexpr std::chrono::milliseconds holdPause{100};
    ClamdPool(const ClamdPool&) = delete;
    ClamdPool& operator=(const ClamdPool&) = delete;

    // Streams the file behind fd (size bytes, read from offset 0) to a
    // member that is up, failing over to the next at once.  False when no
    // member could answer; verdict.error then says why.
    bool Scan(int fd, uint64_t size, ClamdVerdict& verdict);
    // The VERSION answer of the first member that gives one ("ClamAV
    // 1.4.6/27450/Mon Nov 18 09:34:22 2024"); empty when none does.
    std::string Version();

  private:
    // Sends command (and, with fd, the file as INSTREAM chunks) to one
    // member and reads its whole reply; false when the member failed.
    bool Ask(const ClamdAddress& address, const std::string& command, int fd, uint64_t size,
             std::string& reply, std::string& why) const;
    // One round of tries: the members up in turn, then (evenDown) the ones
    // down.  True when one answered.
    bool TryMembers(int fd, uint64_t size, bool evenDown, ClamdVerdict& verdict);

    const unsigned replySeconds_;
    const std::chrono::milliseconds grace_;
    const std::vector<ClamdAddress> members_;
    MemberPool health_;  // last: its prober reads members_
};

}  // namespace engined

#endif
