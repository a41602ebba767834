// Tarnwick-AV's answer to a clean reply: the message is counted before its
// answer line goes out, so a server that sends QUIT the moment it has the
// last answer finds it in the final save.  Standard output is made a pipe
// that is full: the answer's write then waits, and the count must already
// be there while it does.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "av/av.h"
#include "quillon_se_api.pb.h"
#include "stats_peer.h"

namespace {

int32_t Counted() {
    return statisticsPeer::Locked([](statisticsPeer::inside in) { return in.scans.Peek().messages; });
}

TEST(CleanAnswer, CountedBeforeItsLineGoesOut) {
    ql::ServerMessage reply;
    reply.set_tag(ql::ServerMessage::SCAN_FILE_RESULT);
    reply.set_serial(41);
    reply.mutable_scan_report()->set_object("/base/Temp/41.msg");
    scanListItem entry;
    entry.serial = 41;
    clock_gettime(CLOCK_REALTIME, &entry.start);
    const int32_t before = Counted();

    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    fcntl(pipeFds[1], F_SETPIPE_SZ, 4096);
    fflush(stdout);
    const int savedOut = dup(STDOUT_FILENO);
    ASSERT_GE(savedOut, 0);
    ASSERT_EQ(dup2(pipeFds[1], STDOUT_FILENO), STDOUT_FILENO);
    // Full to the last byte, so the answer's write has to wait.
    const int flags = fcntl(pipeFds[1], F_GETFL);
    fcntl(pipeFds[1], F_SETFL, flags | O_NONBLOCK);
    const char fill[512] = {};
    while (write(pipeFds[1], fill, 1) == 1) {
    }
    fcntl(pipeFds[1], F_SETFL, flags);

    std::thread reader([&] { AnswerScanResult(reply, &entry); });
    // Nothing is printed until standard output is back: gtest writes there.
    bool countedWhileWaiting = false;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!(countedWhileWaiting = Counted() == before + 1) &&
           std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::string out;
    char buf[4096];
    while (out.find("41 OK\n") == std::string::npos) {
        const ssize_t n = read(pipeFds[0], buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    reader.join();
    dup2(savedOut, STDOUT_FILENO);
    close(savedOut);
    close(pipeFds[0]);
    close(pipeFds[1]);

    EXPECT_TRUE(countedWhileWaiting) << "the answer went out before the message was counted";
    EXPECT_EQ(out.substr(out.find_first_not_of('\0')), "41 OK\n");
    EXPECT_EQ(Counted(), before + 1);
}

}  // namespace
