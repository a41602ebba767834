// Tarnwick-AV settings: real files in a temporary program directory, the
// reports and fatal checks, snapshots, and the reload through "hup.sig".
#include <sys/socket.h>
#include <sys/un.h>

#include <map>
#include <vector>

#include "av/av.h"
#include "common/engine/engine.h"
#include "common/host/host.h"
#include "common/host/reload.h"
#include "tests/unit/cfg_test_util.h"

using cfgtest::Capture;

namespace {

class AvSettingsTest : public testing::Test {
  protected:
    void SetUp() override {
        dir_ = cfgtest::MakeTempDir();
        mkdir((dir_ + "/Submitted").c_str(), 0700);
        workPath = dir_ + "/";
        thisProgram = &avProgram;
        thisProcess = &avProgram.identity;
        PublishSettings(nullptr);
        entries_ = {
            {"Socket", "\"" + dir_ + "/scan.sock\""},
            {"Mode", "Reject"},
            {"SubmittedDirectory", "\"" + dir_ + "/Submitted\""},
            {"PostProcess", "\"\""},
            {"RejectOptions", "{ NotifyRecipients = No; }"},
            {"DiscardOptions", "{ NotifyRecipients = yes; }"},
            {"AddHeaderOptions", "{ Header = \"X-Virus: ^1\"; }"},
            {"NotificationMessage", "{\n  Caption = \"cap\";\n  Summary = sum;\n  Footer = f;\n}"},
            {"NotifyRecipientsOptions", "{ From = \"a@b\"; }"},
            {"DailyReport", "{ Enabled = No; }"},
            {"EventsReports", "{ From = x; }"},
        };
    }
    void TearDown() override {
        PublishSettings(nullptr);
        cfgtest::RemoveTree(dir_);
    }

    void Set(const std::string& key, const std::string& value) {
        for (auto& e : entries_) {
            if (e.first == key) {
                e.second = value;
                return;
            }
        }
        entries_.emplace_back(key, value);
    }
    void Remove(const std::string& key) {
        for (size_t i = 0; i < entries_.size(); i++) {
            if (entries_[i].first == key) entries_.erase(entries_.begin() + i);
        }
    }
    // One entry per line, in order, so that line numbers are predictable.
    void WriteConfig() {
        std::string text;
        for (const auto& e : entries_) text += e.first + " = " + e.second + ";\n";
        cfgtest::WriteFile(ConfigPath(), text);
    }
    int LineOf(const std::string& key) const {
        int line = 1;
        for (const auto& e : entries_) {
            if (e.first == key) return line;
            line += 1 + static_cast<int>(std::count(e.second.begin(), e.second.end(), '\n'));
        }
        return -1;
    }
    std::string ConfigPath() const { return dir_ + "/Tarnwick-AV.cfg"; }
    std::string Err(const std::string& rest) const {
        return "* Error in " + ConfigPath() + " " + rest;
    }
    std::string Read() {
        WriteConfig();
        return Capture([] { ReadAvSettings(); });
    }
    cfgtest::childResult ReadInChild() {
        WriteConfig();
        return cfgtest::RunInChild([] { ReadAvSettings(); });
    }

    std::string dir_;
    std::vector<std::pair<std::string, std::string>> entries_;
};

TEST_F(AvSettingsTest, ReadsEverySetting) {
    Set("PostProcess", "\"/usr/bin/report ^1 ^2\"");
    Set("OnProblem", "Ignore");
    Set("EngineOptions", "( any, { thing = 1; } )");
    EXPECT_EQ(Read(), "");
    auto s = AvSettings();
    EXPECT_EQ(s->socketPath, dir_ + "/scan.sock");
    EXPECT_EQ(s->opMode, 0);
    EXPECT_EQ(s->submittedDirName, dir_ + "/Submitted");
    EXPECT_EQ(s->postProcessStr, "/usr/bin/report ^1 ^2");
    EXPECT_TRUE(s->doPostProcess);
    EXPECT_FALSE(s->doNotifyRecipeints);
    EXPECT_EQ(s->addHeaderStr, "");  // not read in Reject mode
    EXPECT_EQ(s->statDumpInterval, 10);
    EXPECT_EQ(s->statDumpFileName, "statistics-av.dat");
    EXPECT_EQ(s->fileName, dir_ + "/Tarnwick-AV.cfg");
    EXPECT_EQ(s->notification.caption, "cap");
    EXPECT_TRUE(s->daily.present);
    EXPECT_TRUE(s->events.present);
    // The published snapshot is the one the generic accessor hands out.
    EXPECT_EQ(CurrentSettings().get(), static_cast<const commonSettings*>(s.get()));

    Set("Mode", "Discard");
    EXPECT_EQ(Read(), "");
    EXPECT_EQ(AvSettings()->opMode, 1);
    EXPECT_TRUE(AvSettings()->doNotifyRecipeints);

    Set("Mode", "AddHeader");
    EXPECT_EQ(Read(), "");
    EXPECT_EQ(AvSettings()->opMode, 2);
    EXPECT_EQ(AvSettings()->addHeaderStr, "X-Virus: ^1");
}

TEST_F(AvSettingsTest, BadValuesAreReportedAndKeepTheValueInForce) {
    Set("Mode", "Discard");
    EXPECT_EQ(Read(), "");

    // Lower case is not a mode: reported with the line of Mode, mode kept.
    Set("Mode", "reject");
    Set("OnProblem", "retry");
    Set("Socket", "\"\"");
    Set("SubmittedDirectory", "\"\"");
    EXPECT_EQ(Read(), Err("\n* Missing Socket\n") +
                          Err("line " + std::to_string(LineOf("Mode")) +
                              " \n* Mode can be either Reject, Discard or AddHeader\n") +
                          Err("line " + std::to_string(LineOf("OnProblem")) +
                              " \n* OnProblem can be either Ignore,Exit or Quit\n") +
                          Err("\n* Missing SubmittedDirectory\n"));
    auto s = AvSettings();
    EXPECT_EQ(s->opMode, 1);
    EXPECT_EQ(s->socketPath, dir_ + "/scan.sock");
    EXPECT_EQ(s->submittedDirName, dir_ + "/Submitted");

    // A Mode of another type is reported by the lookup and counts as absent.
    Set("Mode", "{ Value = Reject; }");
    Remove("OnProblem");
    Set("Socket", "\"/run/other.sock\"");
    Set("SubmittedDirectory", "\"" + dir_ + "/Submitted\"");
    EXPECT_EQ(Read(), Err("line " + std::to_string(LineOf("Mode")) +
                          " \n* incorrect value type; expected String got Dictionary\n"));
    EXPECT_EQ(AvSettings()->opMode, 1);
    EXPECT_EQ(AvSettings()->socketPath, "/run/other.sock");
}

TEST_F(AvSettingsTest, EngineTimeout) {
    EXPECT_EQ(Read(), "");
    EXPECT_EQ(AvSettings()->engineTimeout, 120);
    Set("EngineOptions", "{ Timeout = \"0\"; }");
    EXPECT_EQ(Read(), "");
    EXPECT_EQ(AvSettings()->engineTimeout, 0);
    Set("EngineOptions", "{ Timeout = 2; }");
    EXPECT_EQ(Read(), "");
    EXPECT_EQ(AvSettings()->engineTimeout, 2);
    // A typing error must not turn into "no limit": reported, value kept.
    for (const char* bad : {"\"2s\"", "\"-1\"", "\"\"", "\"99999999999\""}) {
        Set("EngineOptions", std::string("{ Timeout = ") + bad + "; }");
        EXPECT_EQ(Read(), Err("line " + std::to_string(LineOf("EngineOptions")) +
                              " \n* Timeout must be a number of seconds from 0 to 31536000\n"))
            << bad;
        EXPECT_EQ(AvSettings()->engineTimeout, 2);
    }
}

TEST_F(AvSettingsTest, AddHeaderWithoutHeader) {
    Set("Mode", "AddHeader");
    EXPECT_EQ(Read(), "");
    EXPECT_EQ(AvSettings()->addHeaderStr, "X-Virus: ^1");

    Set("AddHeaderOptions", "{ Other = 1; }");
    EXPECT_EQ(Read(), Err("line " + std::to_string(LineOf("AddHeaderOptions")) +
                          " \n* missing Header= option\n"));
    EXPECT_EQ(AvSettings()->opMode, 2);
    EXPECT_EQ(AvSettings()->addHeaderStr, "X-Virus: ^1");
}

TEST_F(AvSettingsTest, PostProcessAndStatisticsSettings) {
    Set("PostProcess", "\"run ^1\"");
    Set("StatDumpFile", "other.dat");  // ignored without StatDumpInterval
    EXPECT_EQ(Read(), "");
    EXPECT_TRUE(AvSettings()->doPostProcess);
    EXPECT_EQ(AvSettings()->statDumpInterval, 10);
    EXPECT_EQ(AvSettings()->statDumpFileName, "statistics-av.dat");

    // Emptying PostProcess switches it off; two characters are not enough.
    Set("PostProcess", "\"\"");
    Set("StatDumpInterval", "0");
    EXPECT_EQ(Read(), "");
    EXPECT_FALSE(AvSettings()->doPostProcess);
    EXPECT_EQ(AvSettings()->postProcessStr, "");
    EXPECT_EQ(AvSettings()->statDumpInterval, 0);
    EXPECT_EQ(AvSettings()->statDumpFileName, "statistics-av.dat");

    Set("PostProcess", "ab");
    Set("StatDumpInterval", "\" 30s\"");
    EXPECT_EQ(Read(), "");
    EXPECT_FALSE(AvSettings()->doPostProcess);
    EXPECT_EQ(AvSettings()->postProcessStr, "ab");
    EXPECT_EQ(AvSettings()->statDumpInterval, 30);
    EXPECT_EQ(AvSettings()->statDumpFileName, "other.dat");

    Set("StatDumpInterval", "never");
    EXPECT_EQ(Read(), "");
    EXPECT_EQ(AvSettings()->statDumpInterval, 0);
}

TEST_F(AvSettingsTest, ThreadsCopyIsTheSnapshotInForceFromItsNextLookOn) {
    // Before any reading: defaults naming the statistics file, the same
    // ones at every look rather than made anew each time.
    const std::shared_ptr<const commonSettings>& mine = CurrentSettings();
    ASSERT_NE(mine, nullptr);
    const commonSettings* defaults = mine.get();
    EXPECT_EQ(defaults->statDumpFileName, "statistics-av.dat");
    EXPECT_EQ(CurrentSettings().get(), defaults);

    EXPECT_EQ(Read(), "");
    EXPECT_EQ(CurrentSettings().get(), static_cast<const commonSettings*>(AvSettings().get()));
    EXPECT_NE(mine.get(), defaults);  // the thread's copy, now the published one
    EXPECT_EQ(mine->fileName, dir_ + "/Tarnwick-AV.cfg");

    PublishSettings(nullptr);
    EXPECT_EQ(CurrentSettings()->fileName, "");
    EXPECT_EQ(AvSettings()->fileName, "");
    EXPECT_EQ(AvSettings()->statDumpFileName, "statistics-av.dat");
}

TEST_F(AvSettingsTest, SnapshotsStayValidAcrossReadings) {
    EXPECT_EQ(Read(), "");
    auto old = AvSettings();

    Set("Mode", "Discard");
    Set("PostProcess", "\"cmd ^1\"");
    Set("NotificationMessage", "{ Caption = new; Summary = s; Footer = f; }");
    EXPECT_EQ(Read(), "");
    auto now = AvSettings();

    // A handler holding the old snapshot keeps reading the old values and
    // the old tree, untouched by the new reading.
    EXPECT_NE(old, now);
    EXPECT_EQ(old->opMode, 0);
    EXPECT_FALSE(old->doPostProcess);
    EXPECT_EQ(old->notification.caption, "cap");
    EXPECT_EQ(now->notification.caption, "new");
    EXPECT_EQ(now->opMode, 1);
    EXPECT_TRUE(now->doPostProcess);
}

TEST_F(AvSettingsTest, FatalChecks) {
    // Each case exits with code 1 after exactly this output.
    struct fatalCase {
        std::function<void()> change;
        std::function<std::string()> output;
    };
    std::vector<fatalCase> cases = {
        {[&] { Remove("PostProcess"); },
         [] { return "Configuration error: Tarnwick-AV.cfg is missing the PostProcess item\n"; }},
        {[&] {
             Set("NotificationMessage", "{ Caption = c; Summary = s; Footer = f;\n Aborted = x; }");
         },
         [&] {
             return "Configuration error: unknown item Aborted in line " +
                    std::to_string(LineOf("NotificationMessage") + 1) + "\n";
         }},
        {[&] { Set("Colour", "red"); },
         [&] {
             return "Configuration error: unknown item Colour in line " +
                    std::to_string(LineOf("Colour")) + "\n";
         }},
        {[&] { Set("NotificationMessage", "{ Caption = (c); Summary = s; Footer = f; }"); },
         [&] {
             return Err("line " + std::to_string(LineOf("NotificationMessage")) +
                        " \n* incorrect value type; expected String got Array\n") +
                    "Configuration error: NotificationMessage is missing the Caption item\n";
         }},
        {[&] { Set("SubmittedDirectory", "\"" + dir_ + "/NoSuchDir\""); },
         [&] { return "* FAILURE unable to access directory " + dir_ + "/NoSuchDir\n"; }},
        {[&] { Set("Mode", "Reject\n x"); },
         [&] {
             return Err("line 1 \n* Syntax error: ';' expected\n") +
                    "Configuration error: Tarnwick-AV.cfg is missing the Socket item\n";
         }},
    };
    auto saved = entries_;
    for (size_t i = 0; i < cases.size(); i++) {
        entries_ = saved;
        cases[i].change();
        cfgtest::childResult r = ReadInChild();
        EXPECT_EQ(r.exitCode, 1) << "case " << i;
        EXPECT_EQ(r.output, cases[i].output()) << "case " << i;
    }

    unlink(ConfigPath().c_str());
    cfgtest::childResult r = cfgtest::RunInChild([] { ReadAvSettings(); });
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.output, Err("\n* unable to open file\n") +
                            "Configuration error: Tarnwick-AV.cfg is missing the Socket item\n");
}

// A listening socket where the engine would be: connects succeed.
class fakeEngine {
  public:
    explicit fakeEngine(const std::string& path) {
        fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
        struct sockaddr_un addr {};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        EXPECT_EQ(bind(fd_, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(listen(fd_, 8), 0);
    }
    ~fakeEngine() { close(fd_); }

  private:
    int fd_;
};

TEST_F(AvSettingsTest, ReloadThroughMarkerFile) {
    fakeEngine engine(dir_ + "/scan.sock");
    EXPECT_EQ(Read(), "");

    // No marker: nothing happens.
    EXPECT_EQ(Capture([] { CheckConfigUpdate(); }), "");

    Set("Mode", "Discard");
    Set("PostProcess", "\"cmd ^1\"");
    WriteConfig();
    cfgtest::WriteFile(dir_ + "/hup.sig", "");
    std::string out = Capture([] { CheckConfigUpdate(); });
    EXPECT_EQ(out,
              "* re-reading Tarnwick-AV.cfg\n* re-reading Tarnwick-AV.cfg\n* Closing Engine\n"
              "* Connected to " +
                  dir_ + "/scan.sock\n");
    EXPECT_NE(access((dir_ + "/hup.sig").c_str(), F_OK), 0);
    EXPECT_EQ(AvSettings()->opMode, 1);
    EXPECT_TRUE(AvSettings()->doPostProcess);
    EXPECT_GE(EngineConnection(), 0);

    // A reload that empties PostProcess switches it off.
    Set("PostProcess", "\"\"");
    WriteConfig();
    cfgtest::WriteFile(dir_ + "/hup.sig", "");
    out = Capture([] { CheckConfigUpdate(); });
    EXPECT_NE(out.find("* Closing Engine\n"), std::string::npos);
    EXPECT_FALSE(AvSettings()->doPostProcess);

    // A reload naming a missing submission directory stops the program.
    Set("SubmittedDirectory", "Gone");
    WriteConfig();
    cfgtest::WriteFile(dir_ + "/hup.sig", "");
    cfgtest::childResult r = cfgtest::RunInChild([] { CheckConfigUpdate(); });
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.output,
              "* re-reading Tarnwick-AV.cfg\n* re-reading Tarnwick-AV.cfg\n"
              "* Closing Engine\n* FAILURE unable to access directory Gone\n");
}

}  // namespace
