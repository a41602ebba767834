// Several spamd daemons (or one) that rate messages in turn, on the member
// pool of the kit.  A member that refuses a connection, breaks the exchange
// of one message twice, or takes a message and does not answer within its
// share of the time, is away: it gets no messages until it answers a PING,
// which the pool sends it once a second (never more often), and the message
// goes at once to the next member that is not away, in the time left.  Each
// try gets the time left divided among the members still to try, so a
// member that hangs leaves time for the others.  While every member is away
// a message is answered at once with the reason, without a try.  An
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
#include <string>
#include <vector>

#include "engines/kit/member_pool.h"
#include "engines/spamd/spamd_client.h"

namespace engined {

class SpamdPool {
  public:
    explicit SpamdPool(std::vector<SpamdAddress> members);
    SpamdPool(const SpamdPool&) = delete;
    SpamdPool& operator=(const SpamdPool&) = delete;

    static constexpr std::chrono::milliseconds pingLimit{2000};

    SpamdOutcome Rate(const std::string& message, uint32_t serial, int timeoutMs);
    size_t Size() const { return members_.size(); }
    const SpamdAddress& Member(size_t index) const { return members_[index]; }
    std::string Text() const;  // the members, comma-separated, for log lines

  private:
    const std::vector<SpamdAddress> members_;
    MemberPool health_;  // last: its prober reads members_
};

}  // namespace engined

#endif
