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
// a member that refuses the connection, breaks it or answers something that
// is no clamd reply is marked down at once and the scan goes to the next;
// the pool's prober tries each down member once a second (PING, expecting
// PONG) and takes it back.  A member that took the scan and did not answer
// within the reply deadline is paused instead (a clamd that hangs on scans
// may still answer PING): it is never pinged, gets no scans for 1 s, then
// 2, 4, ... up to 60 s each time it fails again, and back to 1 s once it
// answers a scan; while no other member is up it is still asked.  When
// every member is down a scan still tries them, in case one came back
// before the prober saw it, and goes on trying every MemberPool::holdPause
// for the grace period counted from the moment the last member went down
// (a clamd restarting after a signature update), before it fails.  Limits:
// a reply is read to at most maxClamdReply bytes; a match name is cut at
// 256 bytes; at most maxFindings names are kept.
#ifndef TARNWICK_ENGINES_CLAMD_CLAMD_POOL_H
#define TARNWICK_ENGINES_CLAMD_CLAMD_POOL_H

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "engines/kit/member_address.h"
#include "engines/kit/member_pool.h"

namespace engined {

constexpr size_t maxClamdReply = 64u << 10;

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
    ClamdPool(std::vector<MemberAddress> members, unsigned replySeconds,
              std::chrono::milliseconds grace);

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
    enum class Asked { kAnswered, kFailed, kTimedOut };
    // Sends command (and, with fd, the file as INSTREAM chunks) to one
    // member and reads its whole reply; kTimedOut when the member was
    // connected and did not answer within the reply time.
    Asked Ask(const MemberAddress& address, const std::string& command, int fd, uint64_t size,
              std::string& reply, std::string& why) const;
    // Scans with one member and marks it by what it did; true when it
    // answered.
    bool TryMember(size_t member, int fd, uint64_t size, ClamdVerdict& verdict);
    // One round of tries: the members up in turn, then the ones down, then
    // (no other left) the paused ones.  True when one answered.
    bool TryMembers(int fd, uint64_t size, ClamdVerdict& verdict);

    const unsigned replySeconds_;
    const std::chrono::milliseconds grace_;
    const std::vector<MemberAddress> members_;
    MemberPool health_;  // last: its prober reads members_
};

}  // namespace engined

#endif
