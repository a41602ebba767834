// How long the first filter (Tarnwick-AV) has a message to itself in the
// staggered order: long enough for its usual refusal, so that the anti-spam
// engine rates only what the anti-virus filter lets on, without waiting for
// every clean message's scan as the serial order does.
//
// The head start is the 95th percentile of the times of the last kWindow
// refusals (from the moment the message was handed to the filter to its
// ERROR or DISCARD), plus kSlack, bounded to [kFloor, kCap]; kFloor until
// a refusal is seen.  Only refusals count: the head start exists for them,
// and a percentile over all answers would fall among the clean messages'
// times wherever fewer than one message in twenty is refused.
//
// What it costs a clean message: the others are asked as soon as the
// first filter lets it on, or when the head start ends, whichever comes
// first; so its answer comes at most min(first filter's time, head start,
// other filters' time) after the slower filter's, and never later than in
// the serial order.  A clean message the anti-virus filter passes within
// kFloor waits no longer than before.
//
// Thread safety: Record is called from the filters' supervisor threads;
// Current from the milter threads, lock-free.  The window lives beside
// its lock.
#ifndef TARNWICK_MILTER_HEAD_START_H
#define TARNWICK_MILTER_HEAD_START_H

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "common/base/threads.h"

namespace milter {

class HeadStart {
  public:
    using Duration = std::chrono::microseconds;
    static constexpr Duration kFloor = std::chrono::milliseconds(5);
    static constexpr Duration kCap = std::chrono::seconds(2);
    // Beyond the percentile: a refusal at about its usual time must not be
    // missed by the width of a timer's wake-up.
    static constexpr Duration kSlack = std::chrono::milliseconds(1);
    static constexpr size_t kWindow = 64;

    // The head start for a message that starts now.
    Duration Current() const { return Duration(current_.load(std::memory_order_relaxed)); }
    // The first filter refused a message `took` after it was handed over.
    void RecordRefusal(Duration took) EXCLUDES(mu_);

    // The one every message of this process records into.
    static HeadStart& Shared();

  private:
    twMutex mu_;
    std::array<int64_t, kWindow> refusals_ GUARDED_BY(mu_){};
    size_t count_ GUARDED_BY(mu_) = 0;  // recorded so far, at most kWindow kept
    size_t next_ GUARDED_BY(mu_) = 0;   // the slot the next one overwrites
    std::atomic<int64_t> current_{kFloor.count()};
};

}  // namespace milter

#endif
