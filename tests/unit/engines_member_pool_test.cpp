// The member pool of the engine daemons: a member that did not finish its
// work in time is paused for a time that doubles, is never probed, comes
// back when its pause is over or when it finishes work, and is the last
// resort while no member is up.  The pauses on an injected clock.
#include "engines/kit/member_pool.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <vector>

namespace engined {
namespace {

using namespace std::chrono_literals;
using Clock = MemberPool::Clock;

// What the pool told its program.
struct Told {
    std::mutex mu;
    std::condition_variable changed;
    std::vector<size_t> probed, back;
    std::vector<long long> paused, resumed;

    MemberPool::Hooks Hooks() {
        return MemberPool::Hooks{
            [this](size_t member, std::string&) {
                std::lock_guard<std::mutex> lock(mu);
                probed.push_back(member);
                changed.notify_all();
                return false;
            },
            [](size_t, const std::string&, size_t) {},
            [this](size_t member, long long) {
                std::lock_guard<std::mutex> lock(mu);
                back.push_back(member);
            },
            [this](size_t, const std::string&, long long seconds, size_t) {
                std::lock_guard<std::mutex> lock(mu);
                paused.push_back(seconds);
            },
            [this](size_t, long long seconds) {
                std::lock_guard<std::mutex> lock(mu);
                resumed.push_back(seconds);
            }};
    }
};

TEST(MemberPool, APauseDoublesUpToItsBoundAndAFinishedJobResetsIt) {
    Told told;
    MemberPool pool(2, told.Hooks());
    Clock::time_point now = Clock::now();
    std::chrono::milliseconds expected = MemberPool::firstPause;
    for (int round = 0; round < 8; ++round) {
        ASSERT_EQ(pool.TimedOutAt(0, "slow", now), expected);
        // Only the other member until the pause is over, then member 0 in
        // its turn again.
        EXPECT_EQ(pool.PickAt(0, false, now), 1);
        EXPECT_EQ(pool.PickAt(0, false, now + expected - 1ms), 1);
        EXPECT_EQ(pool.PickAt(0, true, now + expected - 1ms), 1) << "paused, not restarting";
        EXPECT_EQ(pool.PickAt(uint64_t{1} << 1, false, now + expected - 1ms), -1);
        EXPECT_EQ(pool.PickAt(0, false, now + expected), 0);
        now += expected;
        expected = std::min(expected * 2, MemberPool::longestPause);
    }
    EXPECT_EQ(expected, MemberPool::longestPause);
    {
        std::lock_guard<std::mutex> lock(told.mu);
        EXPECT_EQ(told.paused, (std::vector<long long>{1, 2, 4, 8, 16, 32, 60, 60}));
        EXPECT_EQ(told.resumed, told.paused);
        EXPECT_TRUE(told.back.empty());
    }
    // A rating done: the next pause is the first one again.
    pool.Finished(0);
    EXPECT_EQ(pool.TimedOutAt(0, "slow", now), MemberPool::firstPause);
}

TEST(MemberPool, APausedMemberIsTheLastResortAndNeverProbed) {
    Told told;
    MemberPool pool(3, told.Hooks());
    pool.TimedOut(0, "slow");
    pool.GoneAway(1, "refused");
    // While member 2 is up it takes everything; without it the paused one
    // is asked, never the refusing one.
    EXPECT_EQ(pool.Pick(0), 2);
    EXPECT_EQ(pool.Pick(0), 2);
    EXPECT_EQ(pool.PickPaused(uint64_t{1} << 2), 0);
    EXPECT_EQ(pool.PickPaused(uint64_t{1} << 0), -1);
    // A restart is waited for only on the refusing member.
    const Clock::time_point refusedAt = pool.LatestAway();
    EXPECT_NE(refusedAt, Clock::time_point::min());
    pool.CameBack(1);
    EXPECT_EQ(pool.LatestAway(), Clock::time_point::min());
    pool.GoneAway(1, "refused");
    {
        // The prober asks the refusing member (within its interval and a
        // margin for a busy machine) and never the paused one.
        std::unique_lock<std::mutex> lock(told.mu);
        ASSERT_TRUE(told.changed.wait_for(lock, MemberPool::probeInterval * 10,
                                          [&] { return !told.probed.empty(); }));
        EXPECT_EQ(told.probed, std::vector<size_t>{1});
    }
    // A rating the paused member finished as the last resort takes it back.
    pool.Finished(0);
    {
        std::lock_guard<std::mutex> lock(told.mu);
        EXPECT_EQ(told.back, (std::vector<size_t>{1, 0}));
    }
    EXPECT_EQ(pool.UpLeft(0), 2u);
}

}  // namespace
}  // namespace engined
