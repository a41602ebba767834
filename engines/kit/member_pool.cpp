// Up, away, the turn and the prober of a pool of daemons.  See
// member_pool.h for the contract.
#include "engines/kit/member_pool.h"

#include <algorithm>

#include "common/base/signals.h"

namespace engined {

constexpr size_t MemberPool::maxMembers;
constexpr std::chrono::milliseconds MemberPool::probeInterval;
constexpr std::chrono::milliseconds MemberPool::holdPause;
constexpr std::chrono::milliseconds MemberPool::firstPause;
constexpr std::chrono::milliseconds MemberPool::longestPause;

namespace {

long long Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration_cast<std::chrono::seconds>(d).count();
}

}  // namespace

MemberPool::MemberPool(size_t count, Hooks hooks)
    : count_(std::min(count, maxMembers)), hooks_(std::move(hooks)), health_(count_) {
    prober_ = std::thread([this] { ProbeLoop(); });
}

MemberPool::~MemberPool() {
    {
        twLock lock(mutex_);
        stopping_ = true;
    }
    wake_.NotifyAll();
    prober_.join();
}

bool MemberPool::ResumeLocked(Health& health, Clock::time_point now) {
    if (!health.paused || now < health.pausedUntil) return false;
    health.away = health.paused = false;
    return true;
}

int MemberPool::PickAt(uint64_t tried, bool evenAway, Clock::time_point now) {
    int picked = -1;
    long long resumedAfter = -1;
    {
        twLock lock(mutex_);
        for (size_t i = 0; i < count_ && picked < 0; ++i) {
            const size_t member = (next_ + i) % count_;
            Health& health = health_[member];
            if (tried >> member & 1) continue;
            if (health.paused) {
                if (!ResumeLocked(health, now)) continue;
                resumedAfter = Seconds(health.pause);
            } else if (health.away && !evenAway) {
                continue;
            }
            next_ = member + 1;
            picked = static_cast<int>(member);
        }
    }
    if (resumedAfter >= 0 && hooks_.resumed)
        hooks_.resumed(static_cast<size_t>(picked), resumedAfter);
    return picked;
}

int MemberPool::PickPaused(uint64_t tried) {
    twLock lock(mutex_);
    for (size_t i = 0; i < count_; ++i) {
        const size_t member = (next_ + i) % count_;
        if ((tried >> member & 1) == 0 && health_[member].paused) return static_cast<int>(member);
    }
    return -1;
}

size_t MemberPool::UpLeft(uint64_t tried) {
    twLock lock(mutex_);
    size_t left = 0;
    for (size_t member = 0; member < count_; ++member)
        left += (tried >> member & 1) == 0 && !health_[member].away ? 1 : 0;
    return left;
}

void MemberPool::GoneAway(size_t member, const std::string& why) {
    size_t left = 0;
    {
        twLock lock(mutex_);
        Health& health = health_[member];
        // A paused member that refuses now is probed from here on.
        if (health.away && !health.paused) return;
        if (!health.away) health.since = Clock::now();
        health.away = true;
        health.paused = false;
        health.nextProbe = Clock::now() + probeInterval;
        health.why = why;
        for (const Health& other : health_) left += other.away ? 0 : 1;
    }
    wake_.NotifyAll();
    hooks_.away(member, why, left);
}

void MemberPool::CameBack(size_t member) {
    long long seconds = 0;
    {
        twLock lock(mutex_);
        Health& health = health_[member];
        if (!health.away) return;
        health.away = health.paused = false;
        seconds = Seconds(Clock::now() - health.since);
    }
    hooks_.back(member, seconds);
}

std::chrono::milliseconds MemberPool::TimedOutAt(size_t member, const std::string& why,
                                                 Clock::time_point now) {
    std::chrono::milliseconds pause;
    size_t left = 0;
    bool wentAway;
    {
        twLock lock(mutex_);
        Health& health = health_[member];
        wentAway = !health.away;
        if (wentAway) health.since = now;
        pause = health.nextPause;
        health.nextPause = std::min(pause * 2, longestPause);
        health.away = health.paused = true;
        health.pause = pause;
        health.pausedUntil = now + pause;
        health.why = why;
        for (const Health& other : health_) left += other.away ? 0 : 1;
    }
    // Given work as the last resort and silent again: paused longer, without
    // a second line.
    if (!wentAway) return pause;
    if (hooks_.paused)
        hooks_.paused(member, why, Seconds(pause), left);
    else
        hooks_.away(member, why, left);
    return pause;
}

void MemberPool::Finished(size_t member) {
    {
        twLock lock(mutex_);
        Health& health = health_[member];
        health.nextPause = firstPause;
        if (!health.away) return;
    }
    CameBack(member);
}

MemberPool::Clock::time_point MemberPool::LatestAway() {
    twLock lock(mutex_);
    Clock::time_point latest = Clock::time_point::min();
    for (const Health& health : health_)
        if (health.away && !health.paused) latest = std::max(latest, health.since);
    return latest;
}

std::string MemberPool::AwayText() {
    twLock lock(mutex_);
    const Clock::time_point now = Clock::now();
    std::string text;
    for (const Health& health : health_) {
        if (!health.away) continue;
        text += text.empty() ? "" : "; ";
        text += health.why + " (away for " + std::to_string(Seconds(now - health.since)) + " s)";
    }
    return text;
}

MemberPool::Clock::time_point MemberPool::HoldUntil(std::chrono::milliseconds grace,
                                                    Clock::time_point deadline) {
    if (grace.count() <= 0) return Clock::time_point::min();
    return std::min(deadline, LatestAway() + grace);
}

bool MemberPool::Hold(Clock::time_point until, const std::function<Round()>& round) {
    for (;;) {
        const Clock::time_point wake = std::min(until, Clock::now() + holdPause);
        std::this_thread::sleep_until(wake);
        if (wake >= until || stopRequested.load()) return false;
        switch (round()) {
            case Round::kAnswered:
                return true;
            case Round::kGiveUp:
                return false;
            case Round::kNone:
                break;
        }
    }
}

int MemberPool::NextProbe() {
    for (;;) {
        if (stopping_) return -1;
        const Clock::time_point now = Clock::now();
        Clock::time_point earliest = Clock::time_point::max();
        for (size_t member = 0; member < count_; ++member) {
            Health& health = health_[member];
            if (!health.away || health.paused) continue;
            if (health.nextProbe <= now) {
                // Once per interval from the start of the last probe, however
                // long that one took.
                health.nextProbe = now + probeInterval;
                return static_cast<int>(member);
            }
            earliest = std::min(earliest, health.nextProbe);
        }
        if (earliest == Clock::time_point::max()) {
            wake_.Wait(mutex_);
        } else {
            wake_.WaitUntil(mutex_, earliest);
        }
    }
}

void MemberPool::ProbeLoop() {
    for (;;) {
        int member;
        {
            twLock lock(mutex_);
            member = NextProbe();
        }
        if (member < 0) return;
        std::string why;
        if (hooks_.probe(static_cast<size_t>(member), why)) CameBack(static_cast<size_t>(member));
    }
}

}  // namespace engined
