// Helpers for the configuration tests: temporary directories, files, and
// running code whose output (or exit) is the thing under test.
#ifndef TARNWICK_TESTS_UNIT_CFG_TEST_UTIL_H
#define TARNWICK_TESTS_UNIT_CFG_TEST_UTIL_H

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace cfgtest {

inline std::string MakeTempDir() {
    char tmpl[] = "/tmp/tw-cfg-XXXXXX";
    const char* dir = mkdtemp(tmpl);
    EXPECT_NE(dir, nullptr);
    return dir ? dir : "";
}

inline void RemoveTree(const std::string& dir) {
    std::error_code ignored;
    if (dir.size() > 5) std::filesystem::remove_all(dir, ignored);
}

inline void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    ASSERT_TRUE(out.good()) << path;
}

inline std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Standard output written while `fn` runs.
inline std::string Capture(const std::function<void()>& fn) {
    testing::internal::CaptureStdout();
    fn();
    return testing::internal::GetCapturedStdout();
}

struct childResult {
    int exitCode;  // -1 when the child did not exit normally
    std::string output;
};

// Runs `fn` in a child process with standard output going to a file, for
// paths that end the process.  A child that returns exits with code 0.
inline childResult RunInChild(const std::function<void()>& fn) {
    char tmpl[] = "/tmp/tw-cfg-out-XXXXXX";
    int fd = mkstemp(tmpl);
    EXPECT_GE(fd, 0);
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fd, 1);
        fn();
        fflush(stdout);
        _exit(0);
    }
    close(fd);
    int status = 0;
    waitpid(pid, &status, 0);
    childResult r{WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadWhole(tmpl)};
    unlink(tmpl);
    return r;
}

}  // namespace cfgtest

#endif
