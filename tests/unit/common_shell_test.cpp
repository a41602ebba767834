// Commands of the settings through the shell: the markers become
// positional parameters, so hostile values arrive as one word each and run
// nothing, whatever quoting surrounds the marker; the command's output is
// logged, never passed on, and a command past its time limit is killed.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "common/base/log.h"
#include "common/base/shell.h"
#include "common/base/text.h"

namespace {

TEST(ShellMarkers, EachQuotingFormBecomesOneWord) {
    EXPECT_EQ(ShellMarkersToParameters("echo ^1 ^2"), "echo \"$1\" \"$2\"");
    EXPECT_EQ(ShellMarkersToParameters("echo \"in ^2!\" x^1y"), "echo \"in ${2}!\" x\"$1\"y");
    EXPECT_EQ(ShellMarkersToParameters("echo '^2' 'a ^1 b'"), "echo ''\"$2\"'' 'a '\"$1\"' b'");
    // Escapes and other markers stand; a backslash before a marker goes.
    EXPECT_EQ(ShellMarkersToParameters("a \\\" ^3 \"\\\"^21\" \\^1"),
              "a \\\" ^3 \"\\\"${2}1\" \"$1\"");
    EXPECT_EQ(ShellMarkersToParameters("no markers 'here' \"at all\""),
              "no markers 'here' \"at all\"");
}

// Runs the command with the two values and returns what it logged.
std::string RunLogged(const std::string& command, const std::string& v1, const std::string& v2,
                      int limit = 10, shellRun* run = nullptr) {
    testing::internal::CaptureStdout();
    shellRun r = RunShellCommand(ShellMarkersToParameters(command), {v1, v2}, limit, "Cmd");
    if (run) *run = r;
    return testing::internal::GetCapturedStdout();
}

TEST(ShellMarkers, HostileValuesArriveIntactAndRunNothing) {
    const std::string hostile[] = {"Worm.X; touch pwned #", "it's \"q\" $(touch pwned) `id`",
                                   "a  b\\", "-n", "*"};
    for (const std::string& name : hostile) {
        for (const char* form :
             {"printf '[%s]' ^2", "printf '[%s]' \"^2\"", "printf '[%s]' '^2'"}) {
            EXPECT_EQ(RunLogged(form, "Queue/1 2.msg", name),
                      "* Cmd: [" + EscapeControl(name) + "]\n")
                << form << " with " << name;
        }
    }
    EXPECT_EQ(RunLogged("printf '<%s>' \"path ^1 is\"", "a b", ""), "* Cmd: <path a b is>\n");
    EXPECT_FALSE(std::filesystem::exists("pwned"));
}

TEST(ShellRun, InputIsEmptyOutputIsLoggedCutAndEscaped) {
    shellRun run;
    // Reading standard input ends at once; what it prints is logged only.
    EXPECT_EQ(RunLogged("cat; echo '12 OK'; printf 'a\\tb\\n' >&2; exit 3", "", "", 10, &run),
              "* Cmd: 12 OK\n* Cmd: a\\x09b\n");
    EXPECT_TRUE(WIFEXITED(run.status));
    EXPECT_EQ(WEXITSTATUS(run.status), 3);

    const std::string log = RunLogged("head -c 1000 /dev/zero | tr '\\0' x; seq 1 60", "", "");
    EXPECT_NE(log.find("* Cmd: " + std::string(maxShellOutputLine, 'x') + "\n"), std::string::npos);
    EXPECT_NE(log.find("* Cmd: 10 more output lines dropped\n"), std::string::npos);
}

TEST(ShellRun, TimeLimitKillsTheWholeGroup) {
    shellRun run;
    const auto start = std::chrono::steady_clock::now();
    const std::string log = RunLogged("sleep 30 & sleep 30; echo never", "", "", 1, &run);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(run.timedOut);
    EXPECT_EQ(log, "* Cmd: still running after 1 s, its process group was killed\n");
    EXPECT_LT(took, std::chrono::seconds(5));
}

}  // namespace
