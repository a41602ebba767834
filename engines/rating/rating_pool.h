// Several daemons of a rating engine (or one: spamd for quillon-spamd,
// rspamd for quillon-rspamd; "spamd" below stands for either) that rate
// messages in turn, on the member pool of the kit.  A member that refuses a
// connection or breaks the exchange of one message twice is away: it gets
// no messages until it answers a PING, which the pool sends it once a
// second (never more often), and the message goes at once to the next
// member that is not away, in the time left.  One that takes a message and
// does not answer within its share of the time is paused instead (a PING
// says nothing of a spamd that hangs on ratings): no messages for 1 s, then
// 2, 4, ... up to 60 s each time it fails again, back to 1 s once it rates;
// while no other member can rate, a paused one is still asked.  Each try
// gets the time left divided among the members still to try, so a member
// that hangs leaves time for the others.  While every member is away a
// message is held (MemberPool::Hold) for the grace period (a rule reload:
// spamd refuses connections for a few seconds while it reads its rules
// again), counted from the moment the last member went away and within the
// message's time limit, its spamd tried again every MemberPool::holdPause;
// once the grace is over it is answered at once with the reason, without a
// try.  Held messages are those the worker threads are rating, so at most
// --workers at a time.  An exchange that broke once is tried again, after a
// pause that doubles from 0.1 s to 1 s when the same member is tried; the
// whole stays within the time limit of the message.
//
// One warning line when a member goes away, one line when it is back; the
// tries of a message log under its serial.
#ifndef TARNWICK_ENGINES_RATING_RATING_POOL_H
#define TARNWICK_ENGINES_RATING_RATING_POOL_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engines/kit/member_pool.h"
#include "engines/rating/rating.h"

namespace engined {

class RatingPool {
  public:
    // grace: how long messages are held once every member is away (0: none).
    RatingPool(std::vector<MemberAddress> members, std::chrono::milliseconds grace,
               RatingClient client);
    RatingPool(const RatingPool&) = delete;
    RatingPool& operator=(const RatingPool&) = delete;

    static constexpr std::chrono::milliseconds pingLimit{2000};

    // request: what the client's ask sends (for spamd the message itself).
    RatingOutcome Rate(const std::string& request, uint32_t serial, int timeoutMs);
    size_t Size() const { return members_.size(); }
    const MemberAddress& Member(size_t index) const { return members_[index]; }
    std::string Text() const;  // the members, comma-separated, for log lines

  private:
    // One round of a hold: each member away tried once, in turn, while
    // `until` has not come (a try that connects may take until deadline);
    // rated: the member that rated message.  tries counts the tries.
    MemberPool::Round HoldRound(const std::string& message,
                                std::chrono::steady_clock::time_point until,
                                std::chrono::steady_clock::time_point deadline,
                                RatingOutcome& outcome, int& tries, int& rated);

    const std::vector<MemberAddress> members_;
    const std::chrono::milliseconds grace_;
    const RatingClient client_;
    MemberPool health_;  // last: its prober reads members_
};

}  // namespace engined

#endif
