// Request line reader: the protocol's line rules over block reads, and the
// second descriptor it waits on (the reload watch).
#include "common/host/input.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

struct pipeFds {
    int fd[2] = {-1, -1};
    pipeFds() { EXPECT_EQ(pipe(fd), 0); }
    ~pipeFds() {
        for (int f : fd)
            if (f >= 0) close(f);
    }
    void Write(const std::string& text) {
        ASSERT_EQ(write(fd[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void CloseWriter() {
        close(fd[1]);
        fd[1] = -1;
    }
};

std::vector<std::string> ReadAll(lineReader& reader) {
    std::vector<std::string> lines;
    std::string line;
    while (reader.xGetInput(line)) lines.push_back(line);
    return lines;
}

TEST(LineReader, KeepsTheLineRules) {
    pipeFds in;
    lineReader reader(in.fd[0], 10, nullptr);
    in.Write("1 FILE a\r\n\r\n2 IN\0TF 3\n"s + std::string(12, 'x') + "\n3 QU");
    std::string line;
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(reader.xGetInput(line));
    // The rest of a line comes with the next block.
    in.Write("\0IT\nunfin"s);
    in.CloseWriter();
    // CRs and zero bytes never enter a line, a long line goes on as the
    // next one, and a line without its line feed at the end is dropped.
    EXPECT_EQ(line, "xx");
    EXPECT_EQ(ReadAll(reader), std::vector<std::string>{"3 QUIT"});
}

int watchCalls = 0;
int watchFdOfTest = -1;
bool keepWatching = true;

bool OnWatch() {
    ++watchCalls;
    char buf[64];
    if (keepWatching) {
        EXPECT_GT(read(watchFdOfTest, buf, sizeof buf), 0);  // drained like inotify
    }
    return keepWatching;
}

TEST(LineReader, WaitsOnTheWatchAsWellAsOnInput) {
    pipeFds in, watch;
    watchFdOfTest = watch.fd[0];
    watchCalls = 0;
    keepWatching = true;
    lineReader reader(in.fd[0], 100, nullptr, watch.fd[0], OnWatch);

    // A change seen while waiting is reported before the line that follows
    // it is returned.
    watch.Write("e");
    in.Write("1 INTF 3\n");
    std::string line;
    ASSERT_TRUE(reader.xGetInput(line));
    EXPECT_EQ(line, "1 INTF 3");
    EXPECT_EQ(watchCalls, 1);

    // A watch that breaks is no longer waited on: left readable, it must
    // neither be reported again nor keep the reader spinning.
    keepWatching = false;
    watch.Write("e");
    in.Write("2 INTF 3\n");
    ASSERT_TRUE(reader.xGetInput(line));
    EXPECT_EQ(line, "2 INTF 3");
    EXPECT_EQ(watchCalls, 2);
    in.Write("3 INTF 3\n");
    in.CloseWriter();
    ASSERT_TRUE(reader.xGetInput(line));
    EXPECT_EQ(line, "3 INTF 3");
    EXPECT_FALSE(reader.xGetInput(line));
    EXPECT_EQ(watchCalls, 2);
}

}  // namespace
