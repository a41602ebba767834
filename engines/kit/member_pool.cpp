// Up, away, the turn and the prober of a pool of daemons.  See
// member_pool.h for the contract.
#include "engines/kit/member_pool.h"

#include <algorithm>

namespace engined {

constexpr size_t MemberPool::maxMembers;
constexpr std::chrono::milliseconds MemberPool::probeInterval;

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

int MemberPool::Pick(uint64_t tried, bool evenAway) {
    twLock lock(mutex_);
    for (size_t i = 0; i < count_; ++i) {
        const size_t member = (next_ + i) % count_;
        if ((tried >> member & 1) == 0 && (evenAway || !health_[member].away)) {
            next_ = member + 1;
            return static_cast<int>(member);
        }
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
        if (health.away) return;
        health.away = true;
        health.since = Clock::now();
        health.nextProbe = health.since + probeInterval;
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
        health.away = false;
        seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - health.since)
                      .count();
    }
    hooks_.back(member, seconds);
}

MemberPool::Clock::time_point MemberPool::LatestAway() {
    twLock lock(mutex_);
    Clock::time_point latest = Clock::time_point::min();
    for (const Health& health : health_)
        if (health.away) latest = std::max(latest, health.since);
    return latest;
}

std::string MemberPool::AwayText() {
    twLock lock(mutex_);
    const Clock::time_point now = Clock::now();
    std::string text;
    for (const Health& health : health_) {
        if (!health.away) continue;
        text += text.empty() ? "" : "; ";
        text += health.why + " (away for " +
                std::to_string(
                    std::chrono::duration_cast<std::chrono::seconds>(now - health.since).count()) +
                " s)";
    }
    return text;
}

int MemberPool::NextProbe() {
    for (;;) {
        if (stopping_) return -1;
        const Clock::time_point now = Clock::now();
        Clock::time_point earliest = Clock::time_point::max();
        for (size_t member = 0; member < count_; ++member) {
            Health& health = health_[member];
            if (!health.away) continue;
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
