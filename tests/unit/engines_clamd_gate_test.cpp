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

// The fields tarnwick-milter writes above the message are passed over, and
// nothing else is: a message of their shape further down, a block cut
// short, a file without them.
TEST(HostFields, OnlyTheHostsBlockAtTheTop) {
    const std::string block =
        "X-Envelope-From: <a@b>\nX-Envelope-To: <c@d>\nX-Envelope-To: <e@f>\n"
        "Received: from h (n [192.0.2.7])\n\tby mx with ESMTP id Q1;\n\tThu, 01 Jan 1970 00:00:00 "
        "+0000\n";
    const std::string message = "Received: from elsewhere\nSubject: s\r\n\r\nbody\r\n";
    EXPECT_EQ(engined::HostFieldsLength(block + message), block.size());
    // No Received field of the host's (a sender that names none): the
    // message's own first field stays.
    EXPECT_EQ(engined::HostFieldsLength("x-envelope-from: <>\nSubject: s\n\nbody"), 20u);
    EXPECT_EQ(engined::HostFieldsLength("Subject: s\nX-Envelope-From: <a@b>\n\nbody"), 0u);
    EXPECT_EQ(engined::HostFieldsLength(block), 0u);  // nothing after it: not known to end
    EXPECT_EQ(engined::HostFieldsLength(block.substr(0, 60)), 0u);
    EXPECT_EQ(engined::HostFieldsLength(""), 0u);
}
