// Statistics file and daily report, with the clock injected: the dump
// layout and its round trip, the load rules (today only, restart time,
// half-known scan times, merged networks), the atomic replacement, the
// midnight rule, the empty-period rule, and the report text itself.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "common/base/log.h"
#include "common/base/text.h"
#include "common/config/settings.h"
#include "common/engine/pending.h"
#include "common/envelope/envelope.h"
#include "common/host/host.h"
#include "common/stats/stats.h"
#include "mail_test_util.h"
#include "stats_peer.h"

namespace {

using namespace mailtest;

// A section that counts names and reports only its figures.
class testSection final : public statSection {
  public:
    const char* Name() const override { return "Viruses"; }
    void Dump(FILE* out) override { viruses.Dump(out, "Viruses"); }
    void Load(const cfgfItem* dict) override { viruses.Load(dict); }
    void Report(FILE* out, int32_t messages) override {
        fprintf(out, "[viruses %d, messages %d]\n", viruses.nTotal, messages);
        viruses.Clear();
    }
    void History(std::string&) override {}
    void Reset(bool) override {}
    reportObject viruses;
};

const char* const dailyConf = R"(
DailyReport = {
    From = "av@example.org";
    To = "admin@example.org";
    Subject = "Report ^1";
    ExtraHeaders = "X-A: 1\eX-B: 2";
};
)";

// Monday 5 January 2026, 10:00:00 UTC.
const time_t t0 = Utc(2026, 1, 5, 10, 0, 0);

// The counted lists, looked at and added to under the statistics lock.
enum statList { virusList, sourceList, targetList };

reportObject& pick(const statisticsPeer::inside& in, statList which) {
    if (which == virusList) return dynamic_cast<testSection&>(*in.section).viruses;
    return which == sourceList ? in.sources : in.targets;
}

void Add(statList which, const char* name, int32_t count) {
    statisticsPeer::Locked(
        [&](const statisticsPeer::inside& in) { pick(in, which).Add(name, count); });
}

int32_t CountOf(statList which, const std::string& name) {
    return statisticsPeer::Locked([&](const statisticsPeer::inside& in) {
        const reportObject& list = pick(in, which);
        for (int32_t i = 0; i < list.nItems; ++i)
            if (name == list.items[i].name) return list.items[i].count;
        return -1;
    });
}

int32_t ItemsOf(statList which) {
    return statisticsPeer::Locked(
        [&](const statisticsPeer::inside& in) { return pick(in, which).nItems; });
}

bool TargetsReported() {
    return statisticsPeer::Locked(
        [](const statisticsPeer::inside& in) { return in.reportTargets; });
}

scanCounters::figures Scans() {
    return statisticsPeer::Locked([](const statisticsPeer::inside& in) { return in.scans.Peek(); });
}

void SetScanFigures(int32_t messages, uint64_t tMin, uint64_t tMax, uint64_t tTotal) {
    statisticsPeer::Locked([&](const statisticsPeer::inside& in) {
        in.scans.TakeAndReset();
        in.scans.Load({messages, tMin, tMax, tTotal});
    });
}

class StatsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        UseUtc();
        stats.UseSection(std::make_unique<testSection>());
        workPath = dir.path() + "/";
        submitted = dir.sub("Submitted");
        mkdir(submitted.c_str(), 0777);
        Publish(dailyConf);
        startupTime = t0;
        stats.period = reportPeriod();
        statisticsPeer::Locked([](const statisticsPeer::inside& in) {
            in.reportSources = true;
            in.reportTargets = true;
        });
        SetScanFigures(0, 0, 0, 0);
        ClearLists();
    }
    void TearDown() override {
        ClearLists();
        SetScanFigures(0, 0, 0, 0);
        PublishSettings(nullptr);
    }
    void ClearLists() {
        statisticsPeer::Locked([](const statisticsPeer::inside& in) {
            pick(in, virusList).Clear();
            in.sources.Clear();
            in.targets.Clear();
        });
    }
    void Publish(const std::string& conf, int32_t interval = 10) {
        auto settings = std::make_shared<commonSettings>();
        ReadReportSections(Tree(conf).get(), *settings);
        settings->submittedDirName = submitted;
        settings->statDumpInterval = interval;
        settings->statDumpFileName = "statistics-av.dat";
        PublishSettings(settings);
    }
    std::string StatFile() const { return dir.sub("statistics-av.dat"); }
    // The one report in the submission directory (and removes it).
    std::string TakeReport() {
        std::vector<std::string> names = Names(submitted);
        EXPECT_EQ(names.size(), 1u);
        if (names.size() != 1) return "";
        EXPECT_EQ(names[0].rfind("Qln_AV_daily_", 0), 0u) << names[0];
        EXPECT_EQ(names[0].substr(names[0].size() - 4), ".sub");
        std::string text = ReadWhole(submitted + "/" + names[0]);
        fs::remove(submitted + "/" + names[0]);
        return text;
    }
    bool NoReport() const { return Names(submitted).empty(); }

    scratchDir dir;
    std::string submitted;
};

TEST_F(StatsTest, DateText) {
    EXPECT_EQ(mkDate(Utc(2026, 1, 5, 7, 8, 9)), "Mon, 5 Jan 2026 07:08:09");
    EXPECT_EQ(mkDate(Utc(2025, 12, 31, 23, 59, 59)), "Wed, 31 Dec 2025 23:59:59");
    EXPECT_TRUE(SameLocalDay(Utc(2026, 1, 5, 0, 0, 0), Utc(2026, 1, 5, 23, 59, 59)));
    EXPECT_FALSE(SameLocalDay(Utc(2026, 1, 5, 0, 0, 0), Utc(2026, 1, 4, 23, 59, 59)));
    EXPECT_FALSE(SameLocalDay(Utc(2026, 1, 5, 0, 0, 0), Utc(2025, 1, 5, 0, 0, 0)));
}

TEST_F(StatsTest, DumpLayoutAndRoundTripWithAwkwardNames) {
    SetScanFigures(3, 120, 2500, 3000);
    Add(virusList, "EICAR \"test\" \\ x", 2);
    Add(virusList, "back\\slash\\e", 1);
    Add(sourceList, "smtp [10.0.0.1]", 2);
    Add(targetList, "a@example.org", 1);
    const time_t now = t0 + 100;
    stats.DumpAt(true, now);

    EXPECT_EQ(ReadWhole(StatFile()), "StatStart=" + std::to_string(t0) +
                                         "; #Mon, 5 Jan 2026 10:00:00\n"
                                         "StatEnd=" +
                                         std::to_string(now) +
                                         "; #Mon, 5 Jan 2026 10:01:40\n"
                                         "MessagesTotal=3;\n"
                                         "ScanTimeMin=120;\n"
                                         "ScanTimeMax=2500;\n"
                                         "ScanTimeTotal=3000;\n"
                                         "NormalShutdown=YES;\n"
                                         "Viruses={\n"
                                         "\"EICAR \\\"test\\\" \\\\ x\"=2;\n"
                                         "\"back\\\\slash\\\\e\"=1;\n"
                                         "};\n"
                                         "Sources={\n"
                                         "\"smtp [10.0.0.1]\"=2;\n"
                                         "};\n"
                                         "Targets={\n"
                                         "\"a@example.org\"=1;\n"
                                         "};\n");
    EXPECT_EQ(stats.period.prevDumpTime, now);
    EXPECT_FALSE(fs::exists(StatFile() + ".new"));

    // A restart later the same day takes everything up again.
    ClearLists();
    SetScanFigures(0, 0, 0, 0);
    stats.period.prevReportTime = 0;
    startupTime = now + 50;
    stats.ReadAt(now + 60);
    EXPECT_EQ(CountOf(virusList, "EICAR \"test\" \\ x"), 2);
    EXPECT_EQ(CountOf(virusList, "back\\slash\\e"), 1);
    EXPECT_EQ(CountOf(sourceList, "smtp [10.0.0.1]"), 2);
    EXPECT_EQ(CountOf(targetList, "a@example.org"), 1);
    EXPECT_EQ(stats.period.prevReportTime, t0);
    EXPECT_EQ(stats.period.restartTime, 0);  // it shut down normally
    const scanCounters::figures scans = Scans();
    EXPECT_EQ(scans.messages, 3);
    EXPECT_EQ(scans.timeMin, 120u);
    EXPECT_EQ(scans.timeMax, 2500u);
    EXPECT_EQ(scans.timeTotal, 3000u);
    EXPECT_TRUE(fs::exists(StatFile()));  // stays until the next dump
}

TEST_F(StatsTest, DumpIntervalAndSwitchOff) {
    stats.DumpAt(false, t0);  // stats.period.prevDumpTime 0: the first line always dumps
    EXPECT_EQ(stats.period.prevDumpTime, t0);
    fs::remove(StatFile());
    stats.DumpAt(false, t0 + 5);
    stats.DumpAt(false, t0 + 10);  // not more than 10 seconds: no dump
    EXPECT_FALSE(fs::exists(StatFile()));
    stats.DumpAt(false, t0 + 11);
    EXPECT_TRUE(fs::exists(StatFile()));
    EXPECT_EQ(stats.period.prevDumpTime, t0 + 11);
    EXPECT_EQ(ReadWhole(StatFile()).find("NormalShutdown"), std::string::npos);
    stats.DumpAt(false, t0 + 3);  // the clock went back: dump at once
    EXPECT_EQ(stats.period.prevDumpTime, t0 + 3);

    fs::remove(StatFile());
    Publish(dailyConf, 0);
    stats.DumpAt(true, t0 + 100);
    EXPECT_FALSE(fs::exists(StatFile()));
}

TEST_F(StatsTest, FailedDumpKeepsTheOldFileAndRetries) {
    stats.DumpAt(false, t0);
    Add(sourceList, "later", 1);
    // No new file can be made beside the old one: the old one is rewritten.
    fs::create_directory(StatFile() + ".new");
    stats.DumpAt(false, t0 + 20);
    EXPECT_EQ(stats.period.prevDumpTime, t0 + 20);
    EXPECT_NE(ReadWhole(StatFile()).find("\"later\"=1;"), std::string::npos);

    // Nor the old one, a link, which is never written through.
    const std::string target = StatFile() + ".target";
    WriteWhole(target, "kept");
    fs::remove(StatFile());
    fs::create_symlink(target, StatFile());
    testing::internal::CaptureStdout();
    stats.DumpAt(false, t0 + 40);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "* unable create " + StatFile() + ": Is a directory\n");
    EXPECT_EQ(stats.period.prevDumpTime, t0 + 20);  // so the next request line tries again
    EXPECT_EQ(ReadWhole(target), "kept");

    fs::remove(StatFile() + ".new");
    stats.DumpAt(false, t0 + 41);
    EXPECT_EQ(stats.period.prevDumpTime, t0 + 41);
    EXPECT_NE(ReadWhole(StatFile()).find("\"later\"=1;"), std::string::npos);
    EXPECT_EQ(ReadWhole(target), "kept");
}

TEST_F(StatsTest, LoadDeletesForeignDayAndBrokenFiles) {
    const time_t today = t0;
    const time_t yesterday = t0 - 86400;
    auto load = [&](const std::string& text) {
        WriteWhole(StatFile(), text);
        ClearLists();
        stats.period.prevReportTime = 0;
        stats.ReadAt(today);
        return fs::exists(StatFile());
    };
    const std::string sources = "Sources={\"s\"=1;};\n";
    EXPECT_FALSE(load("StatStart=" + std::to_string(yesterday) +
                      ";\nStatEnd=" + std::to_string(yesterday) + ";\n" + sources));
    // Begun yesterday but written today: the midnight report failed, the
    // figures wait for the next one.
    EXPECT_TRUE(load("StatStart=" + std::to_string(yesterday) +
                     ";\nStatEnd=" + std::to_string(today) + ";\n" + sources));
    EXPECT_EQ(stats.period.prevReportTime, yesterday);
    EXPECT_FALSE(load("StatStart=" + std::to_string(today) + ";\n" + sources));
    EXPECT_FALSE(load("StatEnd=" + std::to_string(today) + ";\n" + sources));
    EXPECT_FALSE(load("StatEnd={};\nStatStart=1;\n"));
    testing::internal::CaptureStdout();  // the reader reports the syntax error
    EXPECT_FALSE(load("StatStart=\"unterminated;\n"));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(CountOf(sourceList, "s"), -1);
    EXPECT_EQ(stats.period.prevReportTime, 0);

    doDebug = true;
    testing::internal::CaptureStdout();
    load("StatStart=" + std::to_string(today) + ";\nStatEnd=" + std::to_string(yesterday) + ";\n");
    const std::string log = testing::internal::GetCapturedStdout();
    doDebug = false;
    EXPECT_EQ(log,
              "* Dumped statistics found for Sun, 4 Jan 2026 10:00:00\n"
              "* The found data is obsolete\n");
}

TEST_F(StatsTest, LoadRestartTimeAndScanFigures) {
    const std::string day =
        "StatStart=" + std::to_string(t0) + ";\nStatEnd=" + std::to_string(t0 + 500) + ";\n";
    auto load = [&](const std::string& text) {
        WriteWhole(StatFile(), day + text);
        stats.period.restartTime = 0;
        SetScanFigures(0, 0, 0, 0);
        ClearLists();
        stats.ReadAt(t0 + 600);
    };
    load("MessagesTotal=4;\nScanTimeMin=10;\nScanTimeMax=30;\nScanTimeTotal=80;\n");
    EXPECT_EQ(stats.period.restartTime, t0 + 500);  // died after its last dump
    {
        const scanCounters::figures scans = Scans();
        EXPECT_EQ(scans.messages, 4);
        EXPECT_EQ(scans.timeTotal, 80u);
    }
    load("RestartTime=" + std::to_string(t0 + 7) + ";\nNormalShutdown=YES;\n");
    EXPECT_EQ(stats.period.restartTime, t0 + 7);
    load("NormalShutdown=yes;\n");  // only an upper-case Y counts
    EXPECT_EQ(stats.period.restartTime, t0 + 500);
    load("NormalShutdown=YES;\n");
    EXPECT_EQ(stats.period.restartTime, 0);

    load("MessagesTotal=4;\nScanTimeMin=0;\nScanTimeMax=30;\nScanTimeTotal=80;\n");
    {
        const scanCounters::figures scans = Scans();
        EXPECT_EQ(scans.messages, 4);
        EXPECT_EQ(scans.timeMin, 0u);
        EXPECT_EQ(scans.timeMax, 0u);
        EXPECT_EQ(scans.timeTotal, 0u);
    }
    // Millisecond sums beyond 32 bits read back whole.
    load("MessagesTotal=9;\nScanTimeMin=1;\nScanTimeMax=5000000000;\nScanTimeTotal=9000000000;\n");
    {
        const scanCounters::figures scans = Scans();
        EXPECT_EQ(scans.timeMax, 5000000000u);
        EXPECT_EQ(scans.timeTotal, 9000000000u);
    }

    // Sections of the wrong type are reported in the order the program
    // looks them up, its own section first, whatever the file's order.
    testing::internal::CaptureStdout();
    load("Targets=\"t\";\nViruses=\"v\";\nSources=\"s\";\n");
    const std::string file = StatFile();
    const std::string wrong = "\n* incorrect value type; expected Dictionary got String\n";
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "* Error in " + file + " line 4 " + wrong + "* Error in " + file + " line 5 " + wrong +
                  "* Error in " + file + " line 3 " + wrong);

    load(
        "Sources={\"smtp [10.1.2.3]\"=2;\"smtp [10.1.2.200]\"=5;\"bad\"={};\"neg\"=-4;};\n"
        "Viruses={\"V\"=3;};\n");
    EXPECT_EQ(CountOf(sourceList, "smtp [10.1.2.3]"), 7);
    EXPECT_EQ(CountOf(sourceList, "bad"), -1);
    EXPECT_EQ(CountOf(sourceList, "neg"), 0);
    EXPECT_EQ(CountOf(virusList, "V"), 3);
}

TEST_F(StatsTest, MidnightRuleAndFullReportText) {
    SetScanFigures(3, 120, 2500, 3000);
    Add(virusList, "EICAR", 2);
    Add(sourceList, "smtp [10.0.0.1]", 1);
    Add(sourceList, "smtp [10.0.0.9]", 1);
    Add(sourceList, "smtp [10.0.1.1]", 1);
    Add(targetList, "a@example.org", 1);

    stats.DailyReportAt(false, Utc(2026, 1, 5, 23, 59, 0));
    EXPECT_TRUE(stats.period.canMakeReport);
    EXPECT_TRUE(NoReport());

    const time_t midnight = Utc(2026, 1, 6, 0, 0, 5);
    testing::internal::CaptureStdout();
    stats.DailyReportAt(false, midnight);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "* Generating daily report message\n");
    EXPECT_EQ(TakeReport(),
              "Return-Path: <>\n"
              "From: av@example.org\n"
              "To: admin@example.org\n"
              "Subject: Report Mon, 5 Jan 2026 10:00:00\n"
              "X-A: 1\n"
              "X-B: 2\n"
              "\n"
              "Velmora Quillon Antivirus plugin activity report.\n\n"
              "Period start: Mon, 5 Jan 2026 10:00:00\n"
              "Period end: Tue, 6 Jan 2026 00:00:05\n\n"
              "Uptime: 0d 14h 00m 05s\n\n"
              "[viruses 2, messages 3]\n"
              "Scanning time:\n"
              "Min:   0.120 sec.\n"
              "Avg:   1.000 sec.\n"
              "Max:   2.500 sec.\n\n"
              "\n\nVirus Sources:\n\n"
              "      #       %  Source\n"
              "      2  66.66%  smtp [10.0.0.1]\n"
              "      1  33.33%  smtp [10.0.1.1]\n"
              "-----------------\n"
              "      3 sources total\n\n"
              "\n\nVirus Targets:\n\n"
              "      #       %  Target\n"
              "      1 100.00%  a@example.org\n"
              "-----------------\n"
              "      1 targets total\n\n"
              "\n");
    EXPECT_FALSE(stats.period.canMakeReport);
    EXPECT_EQ(stats.period.prevReportTime, midnight);
    EXPECT_EQ(ItemsOf(sourceList), 0);
    EXPECT_EQ(ItemsOf(targetList), 0);
    EXPECT_EQ(ItemsOf(virusList), 0);
    {
        const scanCounters::figures scans = Scans();
        EXPECT_EQ(scans.messages, 0);
        EXPECT_EQ(scans.timeMin + scans.timeMax + scans.timeTotal, 0u);
    }

    // Once per night: later checks in the same hour make none, even busy.
    SetScanFigures(1, 5, 5, 5);
    stats.DailyReportAt(false, Utc(2026, 1, 6, 0, 30, 0));
    stats.DailyReportAt(false, Utc(2026, 1, 6, 0, 59, 59));
    EXPECT_TRUE(NoReport());
    stats.DailyReportAt(false, Utc(2026, 1, 6, 1, 0, 0));
    EXPECT_TRUE(stats.period.canMakeReport);
    EXPECT_TRUE(NoReport());
}

TEST_F(StatsTest, StartAfterMidnightWaitsForTheNextNight) {
    startupTime = Utc(2026, 1, 6, 0, 10, 0);
    SetScanFigures(2, 1, 1, 2);
    stats.DailyReportAt(false, Utc(2026, 1, 6, 0, 20, 0));
    stats.DailyReportAt(false, Utc(2026, 1, 6, 0, 59, 59));
    EXPECT_TRUE(NoReport());
    stats.DailyReportAt(false, Utc(2026, 1, 6, 12, 0, 0));
    stats.DailyReportAt(false, Utc(2026, 1, 7, 0, 0, 1));
    EXPECT_NE(TakeReport().find("Period start: Tue, 6 Jan 2026 00:10:00\n"), std::string::npos);
}

TEST_F(StatsTest, EmptyPeriodShorterThanAnHourMakesNoReport) {
    stats.DailyReportAt(true, t0 + 3599);
    EXPECT_TRUE(NoReport());
    EXPECT_EQ(stats.period.prevReportTime, t0);
    stats.DailyReportAt(true, t0 + 3600);
    const std::string report = TakeReport();
    EXPECT_NE(report.find("[viruses 0, messages 0]\n"), std::string::npos);
    EXPECT_EQ(report.find("Scanning time:"), std::string::npos);
    EXPECT_NE(report.find("      0 sources total\n"), std::string::npos);

    // Shutdown with messages: reported however short the stats.period.
    SetScanFigures(1, 7, 7, 7);
    stats.DailyReportAt(true, t0 + 3700);
    EXPECT_NE(TakeReport().find("Min:   0.007 sec.\n"), std::string::npos);
}

TEST_F(StatsTest, SourcesSwitchedOffByAReportCountNoUnknownSource) {
    Publish(R"(DailyReport = { ReportSources = No; };)");
    SetScanFigures(1, 1, 1, 1);
    stats.DailyReportAt(true, t0 + 10);  // the report takes up the switches
    EXPECT_EQ(TakeReport().find("Sources"), std::string::npos);
    // A reply whose envelope names no source: neither it nor "Unknown" counts.
    const std::string envelope = "R <a@y>\n\n";
    struct timespec start;
    timespec_get(&start, TIME_UTC);
    stats.CountReply(start, envelope);
    stats.DumpAt(true, t0 + 20);
    const std::string file = ReadWhole(StatFile());
    EXPECT_NE(file.find("Sources={\n};\nTargets={\n\"a@y\"=1;\n};\n"), std::string::npos) << file;
}

TEST_F(StatsTest, DisabledReportKeepsTheCountersEmptiesTheListsAndMovesThePeriod) {
    Publish("DailyReport = { Enabled = no; };");
    SetScanFigures(5, 1, 1, 5);
    Add(sourceList, "s", 5);
    stats.DailyReportAt(true, t0 + 10);
    EXPECT_TRUE(NoReport());
    EXPECT_EQ(stats.period.prevReportTime, t0 + 10);
    EXPECT_EQ(CountOf(sourceList, "s"), -1);  // lists must not grow without end
    const scanCounters::figures scans = Scans();
    EXPECT_EQ(scans.messages, 5);
}

TEST_F(StatsTest, RestartWarningTruncationAndSwitches) {
    Publish(R"(DailyReport = { Subject = "S"; ReportSourcesMax = 1; ReportTargets = No; };)");
    stats.period.prevReportTime = t0 - 3600;  // the period began in an earlier run
    stats.period.restartTime = t0 - 600;
    const char* names[] = {"e", "d", "c", "b", "a"};
    for (int i = 0; i < 5; ++i) Add(sourceList, names[i], 5 - i);
    Add(targetList, "t", 1);
    stats.DailyReportAt(true, t0 + 60);
    std::string report = TakeReport();
    EXPECT_EQ(report.rfind("Return-Path: <>\nFrom: \nTo: \nSubject: S\n\n", 0), 0u) << report;
    EXPECT_NE(report.find("Warning: the daily statistics may be inaccurate because the plugin\n"
                          "was restarted somewhere around Mon, 5 Jan 2026 09:50:00\n\n"),
              std::string::npos);
    EXPECT_NE(report.find("      #       %  Source\n"
                          "      5  33.33%  e\n"
                          "      4  26.66%  d\n"
                          "      3  20.00%  c\n"
                          "      (... 2 sources truncated)\n"
                          "-----------------\n"
                          "     15 sources total\n\n"),
              std::string::npos)
        << report;
    EXPECT_EQ(report.find("Targets"), std::string::npos);
    EXPECT_FALSE(TargetsReported());
    EXPECT_EQ(ItemsOf(targetList), 0);              // cleared although not printed
    EXPECT_EQ(stats.period.restartTime, t0 - 600);  // only a midnight report clears it

    Publish("DailyReport = { };");
    stats.period.prevReportTime = t0 - 3600;
    stats.period.restartTime = 0;
    stats.DailyReportAt(true, t0 + 120);
    report = TakeReport();
    EXPECT_NE(report.find("was restarted during the reporting period.\n\n"),
              std::string::npos);
    EXPECT_TRUE(TargetsReported());
}

TEST_F(StatsTest, MissingDictionaryAndUnwritableDirectory) {
    Publish("Other = x;");
    testing::internal::CaptureStdout();
    stats.DailyReportAt(true, t0 + 4000);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("Missing DailyReport={...};"), std::string::npos);
    EXPECT_EQ(TakeReport().rfind("Return-Path: <>\nFrom: \nTo: \nSubject: \n\nVelmora", 0), 0u);

    // No message file: the figures and the period start stay together.
    fs::remove_all(submitted);
    SetScanFigures(2, 1, 1, 2);
    Add(sourceList, "kept", 2);
    const time_t before = stats.period.prevReportTime;
    testing::internal::CaptureStdout();
    stats.DailyReportAt(true, t0 + 5000);
    log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("* Can't create temp file " + submitted + "/Qln_AV_daily_"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(".tmp, errno=2\n"), std::string::npos) << log;
    EXPECT_EQ(stats.period.prevReportTime, before);
    EXPECT_EQ(CountOf(sourceList, "kept"), 2);
    const scanCounters::figures scans = Scans();
    EXPECT_EQ(scans.messages, 2);
}

TEST_F(StatsTest, FiguresOfAFailedMidnightReportSurviveARestartThatDay) {
    Publish(dailyConf);
    stats.period.prevReportTime = t0;
    stats.period.canMakeReport = true;
    SetScanFigures(4, 1, 1, 4);
    Add(sourceList, "kept", 4);
    fs::remove_all(submitted);
    const time_t midnight = Utc(2026, 1, 6, 0, 0, 30);
    testing::internal::CaptureStdout();
    stats.DailyReportAt(false, midnight);
    testing::internal::GetCapturedStdout();
    stats.DumpAt(false, midnight + 3600 * 5);  // the day goes on, then a restart
    ClearLists();
    SetScanFigures(0, 0, 0, 0);
    stats.period.prevReportTime = stats.period.prevDumpTime = stats.period.restartTime = 0;
    stats.ReadAt(midnight + 3600 * 6);
    EXPECT_EQ(stats.period.prevReportTime, t0);
    EXPECT_EQ(CountOf(sourceList, "kept"), 4);
    EXPECT_EQ(Scans().messages, 4);
}

}  // namespace
