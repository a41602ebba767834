// The health of the members of a pool of daemons an engine daemon hands its
// work to (quillon-clamd's clamd pool, the rating pool of quillon-spamd and
// quillon-rspamd): which members are up and which are away, the turn of the
// next request, the probing that takes an away member back, and the hold
// of work while every member is away.
//
// Contract: work goes round the members that are up; a member that failed is
// marked away at once and the request goes to the next; a prober thread
// asks each away member again, at most once per probeInterval whatever the
// probe took, and marks it up when it answers.  A member that took work
// and did not finish it in time is paused instead: a probe tells nothing of
// it (a daemon that hangs on its work may still answer its probe), so it is
// not probed, and it gets work again once its pause is over (the first
// firstPause, each pause after that twice the one before, at most
// longestPause) or when it finished work it was given as the last resort;
// work it finishes resets the pause.  The pool knows nothing of the
// daemons' protocols: the program gives the probe and the log lines.
// While every member is away (a daemon restarting), work is held for a
// grace counted from the moment the last one went away: the program's
// round of tries runs every holdPause until one answers or the grace is
// over.  Members are indexes 0..count-1, at most maxMembers (the one cap of
// every pool: far more daemons than a site runs, and the prober, which asks
// the away ones one after the other, still gets round in a few seconds), so
// that the members one request has tried fit a bit mask.
#ifndef TARNWICK_ENGINES_KIT_MEMBER_POOL_H
#define TARNWICK_ENGINES_KIT_MEMBER_POOL_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/base/threads.h"

namespace engined {

class MemberPool {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr size_t maxMembers = 16;
    static constexpr std::chrono::milliseconds probeInterval{1000};
    static constexpr std::chrono::milliseconds holdPause{100};
    static constexpr std::chrono::milliseconds firstPause{1000};
    static constexpr std::chrono::milliseconds longestPause{60000};

    struct Hooks {
        // Asks member whether it answers again; false with the reason.
        std::function<bool(size_t member, std::string& why)> probe;
        // Log lines: member went away (left: members still up), came back
        // after `seconds` away.
        std::function<void(size_t member, const std::string& why, size_t left)> away;
        std::function<void(size_t member, long long seconds)> back;
        // Member paused for `seconds` (left: members still up); without
        // this hook the away one says it.
        std::function<void(size_t member, const std::string& why, long long seconds, size_t left)>
            paused{};
        // A paused member gets work again after its pause of `seconds`.
        std::function<void(size_t member, long long seconds)> resumed{};
    };

    // count: 1..maxMembers.  Starts the prober.
    MemberPool(size_t count, Hooks hooks);
    // Stops the prober, after the probe in progress.
    ~MemberPool();
    MemberPool(const MemberPool&) = delete;
    MemberPool& operator=(const MemberPool&) = delete;

    size_t Count() const { return count_; }
    // The next member in turn that is not in tried (bit i: member i) and is
    // up (a paused member whose pause is over is up again), or with
    // evenAway one that is away and not paused; -1 when there is none.
    int Pick(uint64_t tried, bool evenAway = false) EXCLUDES(mutex_) {
        return PickAt(tried, evenAway, Clock::now());
    }
    int PickAt(uint64_t tried, bool evenAway, Clock::time_point now) EXCLUDES(mutex_);
    // The next paused member in turn that is not in tried, pause over or
    // not: the last resort when no member is up; -1 when there is none.
    int PickPaused(uint64_t tried) EXCLUDES(mutex_);
    // How many members are up and not in tried.
    size_t UpLeft(uint64_t tried) EXCLUDES(mutex_);
    void GoneAway(size_t member, const std::string& why) EXCLUDES(mutex_);
    void CameBack(size_t member) EXCLUDES(mutex_);
    // The member took work and did not finish it in time: paused from now.
    // Returns the pause.
    std::chrono::milliseconds TimedOut(size_t member, const std::string& why) EXCLUDES(mutex_) {
        return TimedOutAt(member, why, Clock::now());
    }
    std::chrono::milliseconds TimedOutAt(size_t member, const std::string& why,
                                         Clock::time_point now) EXCLUDES(mutex_);
    // The member finished work: up, its next pause the first again.
    void Finished(size_t member) EXCLUDES(mutex_);
    // When the member that went away last did so (paused ones aside: no
    // restart is waited for on them); Clock::time_point::min() when none is.
    Clock::time_point LatestAway() EXCLUDES(mutex_);
    // "WHY (away for N s)" of every member away, "; " between them.
    std::string AwayText() EXCLUDES(mutex_);

    // Until when work is held while every member is away: grace after the
    // last member went away (LatestAway), never past deadline;
    // Clock::time_point::min() without a grace.
    Clock::time_point HoldUntil(std::chrono::milliseconds grace,
                                Clock::time_point deadline = Clock::time_point::max())
        EXCLUDES(mutex_);
    // What one round of tries during a hold came to: an answer, nothing
    // yet, or an answer of its own that ends the hold.
    enum class Round { kAnswered, kNone, kGiveUp };
    // Holds: waits holdPause and runs round, again and again, until it is
    // kAnswered (true) or kGiveUp, until has come or a stop is requested
    // (false).  No lock is held while round runs.
    bool Hold(Clock::time_point until, const std::function<Round()>& round) EXCLUDES(mutex_);

  private:
    struct Health {
        bool away = false;
        bool paused = false;  // away for work not done in time: not probed
        Clock::time_point since, nextProbe;
        Clock::time_point pausedUntil;
        std::chrono::milliseconds pause{0}, nextPause = firstPause;
        std::string why;
    };
    // Takes a paused member whose pause is over back; true when it did.
    bool ResumeLocked(Health& health, Clock::time_point now) REQUIRES(mutex_);
    // Waits until an away member is due for a probe and returns it; -1 when
    // the pool is being destroyed.
    int NextProbe() REQUIRES(mutex_);
    void ProbeLoop();

    const size_t count_;
    const Hooks hooks_;
    twMutex mutex_;
    twCondVar wake_;  // a member went away, or the pool is stopping
    std::vector<Health> health_ GUARDED_BY(mutex_);
    size_t next_ GUARDED_BY(mutex_) = 0;
    bool stopping_ GUARDED_BY(mutex_) = false;
    std::thread prober_;  // last: started once the rest is ready
};

}  // namespace engined

#endif
