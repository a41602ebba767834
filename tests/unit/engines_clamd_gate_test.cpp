// quillon-clamd's bound on the large scans that run at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "engines/clamd/clamav_scan.h"

using engined::LargeScanGate;

// A large scan waits while every slot is held and goes on as soon as one
// is let go; a file below the size never waits.
TEST(LargeScanGate, HoldsOnlyLargeScansBeyondTheSlots) {
    LargeScanGate gate(1, 1000);
    std::atomic<bool> secondIn{false};
    std::thread second;
    {
        const LargeScanGate::Pass first(&gate, 1000);
        second = std::thread([&] {
            const LargeScanGate::Pass waits(&gate, 5000);
            secondIn = true;
        });
        { const LargeScanGate::Pass small(&gate, 999); }  // would hang if held
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_FALSE(secondIn);
    }
    second.join();
    EXPECT_TRUE(secondIn);
    { const LargeScanGate::Pass again(&gate, 1000); }  // the slot came back
}
