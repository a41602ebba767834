// Tarnwick-AS settings: real files in a temporary program directory (also
// the working directory, so the default "Submitted" resolves there), the
// order of the reports, the score-bar table and snapshots.
#include <unistd.h>

#include <climits>
#include <vector>

#include "as/as.h"
#include "common/host/host.h"
#include "tests/unit/cfg_test_util.h"

using cfgtest::Capture;

namespace {

class AsSettingsTest : public testing::Test {
  protected:
    void SetUp() override {
        char cwd[PATH_MAX];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        oldCwd_ = cwd;
        dir_ = cfgtest::MakeTempDir();
        mkdir((dir_ + "/Submitted").c_str(), 0700);
        mkdir((dir_ + "/Out").c_str(), 0700);
        ASSERT_EQ(chdir(dir_.c_str()), 0);
        workPath = dir_ + "/";
        thisProgram = &asProgram;
        thisProcess = &asProgram.identity;
        PublishSettings(nullptr);
    }
    void TearDown() override {
        PublishSettings(nullptr);
        EXPECT_EQ(chdir(oldCwd_.c_str()), 0);
        cfgtest::RemoveTree(dir_);
    }

    std::string ConfigPath() const { return dir_ + "/Tarnwick-AS.cfg"; }
    std::string Err(const std::string& rest) const {
        return "* Error in " + ConfigPath() + " " + rest;
    }
    std::string Read(const std::string& text) {
        cfgtest::WriteFile(ConfigPath(), text);
        return Capture([] { ReadAsSettings(); });
    }
    std::vector<int32_t> Table() const {
        auto s = AsSettings();
        return std::vector<int32_t>(s->scoreRange, s->scoreRange + s->nScoreRanges);
    }

    std::string oldCwd_;
    std::string dir_;
};

const char* const fullConfig =
    "Socket = \"/run/spam.sock\";\n"
    "Header = \"X-Score: ^1 [^2]\";\n"
    "AlertLevel = 80;\n"
    "AlertHeader = \"X-Alert: yes\";\n"
    "StatDumpInterval = 5;\n"
    "StatDumpFile = s.dat;\n"
    "OnProblem = Quit;\n"
    "BarScoreRanges = (10, 50, 90);\n"
    "SubmittedDirectory = Out;\n"
    "DailyReport = { Enabled = No; };\n"
    "EventsReports = { };\n"
    "Mode = Reject;\n";  // not an anti-spam key: ignored silently

TEST_F(AsSettingsTest, MissingFileReportsEverySettingInOrder) {
    std::string out = Capture([] { ReadAsSettings(); });
    EXPECT_EQ(out, Err("\n* unable to open file\n") + Err("\n* Missing Socket\n") +
                       Err("\n* Missing Header item\n") + Err("\n* Missing AlertLevel item\n") +
                       Err("\n* Missing AlertHeader item\n") + Err("\n* Missing OnProblem item\n") +
                       Err("\n* Missing BarScoreRanges item\n") +
                       Err("\n* Missing SubmittedDirectory\n") +
                       Err("\n* Missing DailyReport={...};\n") +
                       Err("\n* Missing EventsReports={...};\n"));
    auto s = AsSettings();
    EXPECT_EQ(s->fileName, dir_ + "/Tarnwick-AS.cfg");
    EXPECT_FALSE(s->daily.present);
    EXPECT_EQ(s->socketPath, "");
    EXPECT_EQ(s->pMainHeader, "X-Junk-Score: ^1 [^2]\\eX-Quillon-Score: ^1 [^2]");
    EXPECT_EQ(s->alertLevel, 100);
    EXPECT_EQ(s->pAlertHeader, "X-Alert: possible spam!\\eX-Color: red");
    EXPECT_EQ(Table(), (std::vector<int32_t>{0, 39, 76, 84, 90, 99, 100}));
    EXPECT_EQ(s->submittedDirName, "Submitted");
    EXPECT_EQ(s->statDumpInterval, 10);
    EXPECT_EQ(s->statDumpFileName, "statistics-as.dat");

    // Without the default directory the program stops, with the colon.
    rmdir("Submitted");
    cfgtest::childResult r = cfgtest::RunInChild([] { ReadAsSettings(); });
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.output.find("* FAILURE: unable to access directory Submitted\n"),
              std::string::npos);
}

TEST_F(AsSettingsTest, ReadsEverySettingAndKeepsThemWhenDropped) {
    EXPECT_EQ(Read(fullConfig), "");
    auto first = AsSettings();
    EXPECT_EQ(first->socketPath, "/run/spam.sock");
    EXPECT_EQ(first->pMainHeader, "X-Score: ^1 [^2]");
    EXPECT_EQ(first->alertLevel, 80);
    EXPECT_EQ(first->pAlertHeader, "X-Alert: yes");
    EXPECT_EQ(first->statDumpInterval, 5);
    EXPECT_EQ(first->statDumpFileName, "s.dat");
    EXPECT_EQ(Table(), (std::vector<int32_t>{10, 50, 90}));
    EXPECT_EQ(first->submittedDirName, "Out");

    // A reading that lacks a setting (or has it in the wrong type) keeps
    // the value in force; an unusable number reads as 0.
    EXPECT_EQ(Read("Header = { x = y; };\n"
                   "AlertLevel = high;\n"
                   "OnProblem = retry;\n"
                   "BarScoreRanges = ();\n"
                   "DailyReport = text;\n"
                   "EventsReports = {};\n"),
              Err("\n* Missing Socket\n") +
                  Err("line 1 \n* incorrect value type; expected String got Dictionary\n") +
                  Err("\n* Missing Header item\n") + Err("\n* Missing AlertHeader item\n") +
                  Err("line 3 \n* OnProblem can be either Ignore,Exit or Quit\n") +
                  Err("\n* Missing SubmittedDirectory\n") +
                  Err("line 5 \n* incorrect value type; expected Dictionary got String\n") +
                  Err("\n* Missing DailyReport={...};\n"));
    auto second = AsSettings();
    EXPECT_EQ(second->socketPath, "/run/spam.sock");
    EXPECT_EQ(second->pMainHeader, "X-Score: ^1 [^2]");
    EXPECT_EQ(second->alertLevel, 0);
    EXPECT_EQ(second->pAlertHeader, "X-Alert: yes");
    EXPECT_EQ(second->statDumpInterval, 5);
    EXPECT_EQ(Table(), (std::vector<int32_t>{10, 50, 90}));
    EXPECT_EQ(second->submittedDirName, "Out");

    // The first snapshot, still held by a handler, is untouched.
    EXPECT_EQ(first->alertLevel, 80);
    EXPECT_NE(first, second);
    EXPECT_EQ(first->socketPath, "/run/spam.sock");
}

TEST_F(AsSettingsTest, BarScoreRanges) {
    const std::string rest =
        "Socket = s;\nHeader = h;\nAlertLevel = 1;\nAlertHeader = a;\nOnProblem = Ignore;\n"
        "DailyReport = {};\nEventsReports = {};\nSubmittedDirectory = Submitted;\n";
    // Line 9 holds the array in every case below.
    auto withRanges = [&](const std::string& ranges) {
        return rest + "BarScoreRanges = " + ranges + ";\n";
    };

    EXPECT_EQ(Read(withRanges("(10, 20, 20, 30)")), Err("line 9 \n* Error in BarScoreRanges\n"));
    EXPECT_EQ(Table(), (std::vector<int32_t>{10, 20, 20, 30}));

    EXPECT_EQ(Read(withRanges("(50, 40, 30)")), Err("line 9 \n* Error in BarScoreRanges\n") +
                                                    Err("line 9 \n* Error in BarScoreRanges\n"));
    EXPECT_EQ(Table(), (std::vector<int32_t>{50, 40, 30}));

    std::string many = "(";
    for (int i = 1; i <= 25; i++) many += std::to_string(i * 4) + " ";
    EXPECT_EQ(Read(withRanges(many + ")")), "");
    ASSERT_EQ(AsSettings()->nScoreRanges, 20);
    EXPECT_EQ(AsSettings()->scoreRange[19], 80);

    // An empty array keeps the table; a shorter one lowers the count.
    EXPECT_EQ(Read(withRanges("()")), "");
    EXPECT_EQ(AsSettings()->nScoreRanges, 20);
    EXPECT_EQ(Read(withRanges("(5 60)")), "");
    EXPECT_EQ(Table(), (std::vector<int32_t>{5, 60}));

    // Elements that are not strings are reported at their own line and
    // left out; they never take a place in the table.
    EXPECT_EQ(Read(withRanges("(10,\n (5), 20,\n {a = b;}, 30)")),
              Err("line 10 \n* Error in BarScoreRanges\n") +
                  Err("line 11 \n* Error in BarScoreRanges\n"));
    EXPECT_EQ(Table(), (std::vector<int32_t>{10, 20, 30}));

    EXPECT_EQ(Read(withRanges("{ a = 1; }")),
              Err("line 9 \n* incorrect value type; expected Array got Dictionary\n") +
                  Err("\n* Missing BarScoreRanges item\n"));
    EXPECT_EQ(Table(), (std::vector<int32_t>{10, 20, 30}));
}

TEST_F(AsSettingsTest, StatisticsSettingsAndDirectoryFailure) {
    // StatDumpFile alone is ignored; an interval of 0 does not read it.
    std::string base = fullConfig;
    base.replace(base.find("StatDumpInterval = 5;\n"), 22, "");
    EXPECT_EQ(Read(base), "");
    EXPECT_EQ(AsSettings()->statDumpInterval, 10);
    EXPECT_EQ(AsSettings()->statDumpFileName, "statistics-as.dat");
    EXPECT_EQ(Read(base + "StatDumpInterval = 0;\n"), "");
    EXPECT_EQ(AsSettings()->statDumpInterval, 0);
    EXPECT_EQ(AsSettings()->statDumpFileName, "statistics-as.dat");

    std::string missingDir = fullConfig;
    missingDir.replace(missingDir.find("= Out;"), 6, "= Gone;");
    cfgtest::WriteFile(ConfigPath(), missingDir);
    cfgtest::childResult r = cfgtest::RunInChild([] { ReadAsSettings(); });
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.output, "* FAILURE: unable to access directory Gone\n");
}

}  // namespace
