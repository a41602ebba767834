#include "milter/head_start.h"

#include <algorithm>

namespace milter {

void HeadStart::RecordRefusal(Duration took) {
    twLock lock(mu_);
    refusals_[next_] = std::max<int64_t>(0, took.count());
    next_ = (next_ + 1) % kWindow;
    if (count_ < kWindow) ++count_;
    // Nearest rank: the smallest time that at least 95 % of the window
    // reach.  Sixty-four numbers: cheaper than keeping them ordered.
    std::array<int64_t, kWindow> sorted = refusals_;
    const auto end = sorted.begin() + static_cast<std::ptrdiff_t>(count_);
    const auto rank = sorted.begin() + static_cast<std::ptrdiff_t>((count_ * 95 + 99) / 100 - 1);
    std::nth_element(sorted.begin(), rank, end);
    // Stored under the lock, so that the last store is the latest window's.
    current_.store(std::clamp<int64_t>(*rank + kSlack.count(), kFloor.count(), kCap.count()),
                   std::memory_order_relaxed);
}

HeadStart& HeadStart::Shared() {
    static HeadStart shared;
    return shared;
}

}  // namespace milter
