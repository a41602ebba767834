// The daemon kit: one line format for every daemon's log, one escaping rule
// for outside text in it, and children that start clean (their own process
// group, default signals, no descriptor but the three given).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>

#include "common/base/daemonlog.h"
#include "common/base/owners.h"
#include "common/base/spawn.h"
#include "common/base/text.h"

namespace {

TEST(Kit, EscapeControlKeepsOutsideTextOnOneLine) {
    EXPECT_EQ(EscapeControl("a\nb\r\x1b[0m\x7f\\x"), "a\\x0ab\\x0d\\x1b[0m\\x7f\\\\x");
    EXPECT_EQ(EscapeControl("B\xc3\xa4r"), "B\xc3\xa4r");  // other bytes stay
    EXPECT_EQ(EscapeControl("abcdef", 3), "abc...");
    EXPECT_EQ(EscapeControl("abc", 3), "abc");
    EXPECT_EQ(EscapeControl(std::string("\0z", 2), 1), "\\x00...");
}

TEST(Kit, LogWritesOneStampedLinePerEvent) {
    FILE* sink = tmpfile();
    ASSERT_NE(sink, nullptr);
    daemonlog::SetName("kit-test");
    daemonlog::SetStream(sink);
    daemonlog::Debug("not shown");
    daemonlog::Warn("forged\nline %d", 7);
    daemonlog::SetDebug(true);
    daemonlog::Debug("shown");
    daemonlog::SetDebug(false);
    daemonlog::SetStream(stderr);
    rewind(sink);
    char buf[4096];
    const size_t n = fread(buf, 1, sizeof buf, sink);
    fclose(sink);
    const std::string pid = std::to_string(getpid());
    const std::string stamp = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d )";
    EXPECT_TRUE(
        std::regex_match(std::string(buf, n),
                         std::regex(stamp + "kit-test\\[" + pid + "\\]: warning: forged line 7\n" +
                                    stamp + "kit-test\\[" + pid + "\\]: debug: shown\n")))
        << std::string(buf, n);
}

TEST(Kit, ChildGetsOnlyItsDescriptorsAndDefaultSignals) {
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    UniqueFd readEnd(out[0]), writeEnd(out[1]);
    // A descriptor some thread opened without O_CLOEXEC, and an ignored
    // signal: neither may reach the child.
    const UniqueFd leaked(open("/dev/null", O_RDONLY));
    ASSERT_TRUE(leaked.Valid());
    signal(SIGTERM, SIG_IGN);
    const std::string fd = std::to_string(leaked.Get());
    const pid_t pid = SpawnInGroup({"/bin/sh", "-c",
                                    "test -e /dev/fd/" + fd +
                                        " && echo leaked; echo $(($(ps -o pgid= -p $$) == $$)); "
                                        "kill -TERM $$; echo survived"},
                                   std::string(), -1, writeEnd.Get(), -1);
    signal(SIGTERM, SIG_DFL);
    ASSERT_GT(pid, 0);
    writeEnd.Reset();
    bool killed = true;
    const int status = WaitOrKillGroup(pid, 10000, &killed);
    EXPECT_FALSE(killed);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << DescribeStatus(status);
    char buf[256];
    const ssize_t n = read(readEnd.Get(), buf, sizeof buf);
    EXPECT_EQ(std::string(buf, n > 0 ? n : 0), "1\n");  // its own group leader
}

TEST(Kit, TimeLimitEndsTheChildsWholeGroup) {
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    UniqueFd readEnd(out[0]), writeEnd(out[1]);
    // The grandchild holds the pipe open: only a kill of the group ends it.
    const pid_t pid = SpawnInGroup({"/bin/sh", "-c", "sleep 30 & sleep 30"}, std::string(), -1,
                                   writeEnd.Get(), -1);
    ASSERT_GT(pid, 0);
    writeEnd.Reset();
    bool killed = false;
    const int status = WaitOrKillGroup(pid, 200, &killed);
    EXPECT_TRUE(killed);
    EXPECT_EQ(DescribeStatus(status), "signal 9");
    // Every writer is gone at once, the background one too.
    struct pollfd p = {readEnd.Get(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    char c;
    EXPECT_EQ(read(readEnd.Get(), &c, 1), 0);
}

}  // namespace
