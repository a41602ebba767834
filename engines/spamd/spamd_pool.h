// Several spamd daemons (or one) that rate messages in turn, on the member
// pool of the kit.  A member that refuses a connection or breaks the
// exchange of one message twice is away: it gets no messages until it
// answers a PING, which the pool sends it once a second (never more often),
// and the message goes at once to the next member that is not away, in the
// time left.  One that takes a message and does not answer within its share
// of the time is paused instead (a PING says nothing of a spamd that hangs
// on ratings): no messages for 1 s, then 2, 4, ... up to 60 s each time it
// fails again, back to 1 s once it rates; while no other member can rate,
// a paused one is still asked.  Each
// try gets the time left divided among the members still to try, so a
// member that hangs leaves time for the others.  While every member is away
// a message is held for the grace period (a rule reload: spamd refuses
// connections for a few seconds while it reads its rules again), counted
// from the moment the last member went away and within the message's time
// limit, its spamd tried again every holdPause; once the grace is over it is
// answered at once with the reason, without a try.  Held messages are those
// the worker threads are rating, so at most --workers at a time.  An
// exchange that broke once is tried again, after a pause that doubles from
// 0.1 s to 1 s when the same member is tried; the whole stays within the
// time limit of the message.
//
// One warning line when a member goes away, one line when it is back; the
// tries of a message log under its serial.
#ifndef TARNWICK_ENGINES_SPAMD_SPAMD_POOL_H
#define TARNWICK_ENGINES_SPAMD_SPAMD_POOL_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engines/kit/member_pool.h"
#include "engines/spamd/spamd_client.h"

namespace engined {

// What the pool asks its members with: spamd's protocol by default,
// rspamd's HTTP protocol for quillon-rspamd.  name is the daemon's in log
// lines and reasons ("spamd at ADDRESS is away").
struct RatingClient {
    const char* name;
    std::function<SpamdOutcome(const SpamdAddress&, const std::string& request, int timeoutMs)> ask;
    std::function<bool(const SpamdAddress&, int timeoutMs, std::string& problem)> ping;
};
RatingClient SpamdRatingClient();

class SpamdPool {
  public:
    // grace: how long messages are held once every member is away (0: none).
    SpamdPool(std::vector<SpamdAddress> members, std::chrono::milliseconds grace,
              RatingClient client = SpamdRatingClient());
    SpamdPool(const SpamdPool&) = delete;
    SpamdPool& operator=(const SpamdPool&) = delete;

    static constexpr std::chrono::milliseconds pingLimit{2000};
    static constexpr std::chrono::milliseconds holdPause{100};

    // request: what the client's ask sends (for spamd the message itself).
    SpamdOutcome Rate(const std::string& request, uint32_t serial, int timeoutMs);
    size_t Size() const { return members_.size(); }
    const SpamdAddress& Member(size_t index) const { return members_[index]; }
    std::string Text() const;  // the members, comma-separated, for log lines

  private:
    // Tries the members away every holdPause until one rates message or
    // `until` (a try that connects may take until `deadline`); the member
    // that rated it, or -1 (outcome: the last try's).  tries counts them.
    int Hold(const std::string& message, std::chrono::steady_clock::time_point until,
             std::chrono::steady_clock::time_point deadline, SpamdOutcome& outcome, int& tries);

    const std::vector<SpamdAddress> members_;
    const std::chrono::milliseconds grace_;
    const RatingClient client_;
    MemberPool health_;  // last: its prober reads members_
};

}  // namespace engined

#endif
