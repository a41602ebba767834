// The requests a filter process is asked, driven as its supervisor would
// drive them, with a pipe standing for the process: what is written, what
// the reload holds back, what a replacement or a crash does to them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "milter/answer.h"
#include "milter/request_queue.h"

using namespace milter;

namespace {

using Clock = std::chrono::steady_clock;

// The pipe that stands for the filter process's standard input.
class FakeProcess {
  public:
    FakeProcess() { EXPECT_EQ(pipe2(fds_, O_NONBLOCK | O_CLOEXEC), 0); }
    ~FakeProcess() {
        close(fds_[0]);
        close(fds_[1]);
    }
    // What one supervisor turn writes of the queue.
    std::string Turn(RequestQueue& q) {
        q.TakePlan(false, false, true, false);
        return Written(q);
    }
    std::string Written(RequestQueue& q) {
        EXPECT_TRUE(q.WriteTo(fds_[1]));
        std::string got;
        char buf[4096];
        ssize_t n;
        while ((n = read(fds_[0], buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
        return got;
    }

  private:
    int fds_[2] = {-1, -1};
};

std::string Intf(unsigned long long token) {
    return std::to_string(token) + " INTF 3\n";
}

void Start(RequestQueue& q) {
    q.ProcessStarted("stamp", ScoreField{}, "=whitelist");
}

}  // namespace

TEST(RequestQueue, HoldWaitsForTheBarrierAndResumeSendsTheHeldLines) {
    RequestQueue q;
    FakeProcess p;
    // No process: nothing to hold, the held line waits for the next start.
    EXPECT_FALSE(q.BeginHold());
    EXPECT_TRUE(q.WaitHeld(Clock::now()));
    ASSERT_TRUE(q.Add(1, "Queue/a", "A1"));
    Start(q);
    EXPECT_EQ(p.Written(q), Intf(kFirstProbeToken) + "1 FILE Queue/a\n");

    // With a process: the barrier goes behind what it has; new lines wait.
    ASSERT_TRUE(q.BeginHold());
    ASSERT_TRUE(q.Add(2, "Queue/b", "B2"));
    EXPECT_FALSE(q.WaitHeld(Clock::now() + std::chrono::milliseconds(20)));
    const unsigned long long barrier = kFirstProbeToken + 1;
    EXPECT_EQ(p.Turn(q), Intf(barrier));
    // Another INTF's answer is not the barrier's.
    q.ProbeAnswered(kFirstProbeToken);
    EXPECT_FALSE(q.WaitHeld(Clock::now()));

    // The waiter sleeps until the answer comes, not to its bound.
    bool held = false;
    const auto began = Clock::now();
    std::thread waiter([&] { held = q.WaitHeld(Clock::now() + std::chrono::seconds(60)); });
    q.ProbeAnswered(barrier);
    waiter.join();
    EXPECT_TRUE(held);
    EXPECT_LT(Clock::now() - began, std::chrono::seconds(60));

    EXPECT_EQ(p.Turn(q), "");
    q.Resume();
    EXPECT_EQ(p.Turn(q), "2 FILE Queue/b\n");
    EXPECT_EQ(q.LabelNamedBy("* (2) scanning"), "B2");
}

TEST(RequestQueue, ReplaceQuitsTheOldProcessOnceItHasAnsweredWhatItRead) {
    RequestQueue q;
    FakeProcess p;
    Start(q);
    ASSERT_TRUE(q.Add(1, "Queue/a", ""));
    p.Written(q);
    q.Replace();
    RequestQueue::Plan plan = q.TakePlan(false, false, true, false);
    EXPECT_EQ(plan.replaceBegun, 1);
    EXPECT_FALSE(plan.quit);
    // New requests wait for the fresh process, whatever the reload does.
    ASSERT_TRUE(q.Add(2, "Queue/b", ""));
    q.Resume();
    EXPECT_EQ(p.Written(q), "");
    ASSERT_TRUE(q.Answered(1));
    plan = q.TakePlan(false, false, true, false);
    EXPECT_TRUE(plan.quit);
    EXPECT_EQ(p.Written(q), "0 QUIT\n");

    const RequestQueue::Ended e = q.ProcessEnded(true);
    EXPECT_TRUE(e.replaced);
    EXPECT_TRUE(e.givenUp.empty());
    EXPECT_EQ(e.pending, 1u);
    q.ProcessStarted("new stamp", ScoreField{}, "=new");
    EXPECT_EQ(p.Written(q), Intf(kFirstProbeToken + 1) + "2 FILE Queue/b\n");
    EXPECT_EQ(q.TakenStamp(), "new stamp");
    EXPECT_EQ(q.WhitelistAtStart(), "=new");
}

TEST(RequestQueue, ARequestReadByTwoProcessesThatDiedIsGivenUp) {
    RequestQueue q;
    FakeProcess p;
    Start(q);
    ASSERT_TRUE(q.Add(1, "Queue/a", ""));
    p.Written(q);
    ASSERT_TRUE(q.Add(2, "Queue/b", ""));  // never written: no loss
    EXPECT_TRUE(q.ProcessEnded(false).givenUp.empty());
    Start(q);
    EXPECT_EQ(p.Written(q), Intf(kFirstProbeToken + 1) + "1 FILE Queue/a\n2 FILE Queue/b\n");
    ASSERT_TRUE(q.Add(3, "Queue/c", ""));
    const RequestQueue::Ended e = q.ProcessEnded(false);
    EXPECT_EQ(e.givenUp, std::vector<long>{1});
    EXPECT_EQ(e.pending, 2u);

    // Down: what waits is handed back to fail, new requests are refused.
    bool wasDown = true;
    EXPECT_EQ(q.GoDown(wasDown), (std::vector<long>{2, 3}));
    EXPECT_FALSE(wasDown);
    EXPECT_FALSE(q.Add(4, "Queue/d", ""));
    Start(q);
    EXPECT_TRUE(q.Add(4, "Queue/d", ""));
}

TEST(RereadCount, TheReloadWakesForTheFilterThatReRead) {
    RereadCount rereads;
    rereads.Count(0);
    const std::vector<unsigned long> before = rereads.Counts(2);
    EXPECT_EQ(before, (std::vector<unsigned long>{1, 0}));
    EXPECT_EQ(rereads.WaitChange(before, Clock::now() + std::chrono::milliseconds(20)), -1);
    long by = -1;
    std::thread reload(
        [&] { by = rereads.WaitChange(before, Clock::now() + std::chrono::seconds(60)); });
    rereads.Count(1);
    reload.join();
    EXPECT_EQ(by, 1);
}
