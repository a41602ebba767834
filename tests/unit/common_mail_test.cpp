// Generated message submission: temporary names (exclusive, unique across
// threads), the rename with its retries and permissions, the header frame,
// and the start and stop event reports.
#include "common/mail/mail.h"

#include <gtest/gtest.h>

#include <utility>

#include <fcntl.h>
#include <sys/stat.h>

#include <random>
#include <regex>
#include <set>
#include <thread>

#include "common/base/log.h"
#include "common/base/text.h"
#include "common/config/settings.h"
#include "common/host/host.h"
#include "common/stats/stats.h"
#include "mail_test_util.h"

namespace {

using namespace mailtest;

processIdentity SpamIdentity() {
    processIdentity id;
    id.name = "Tarnwick-AS";
    id.configFileName = "Tarnwick-AS.cfg";
    id.statFileName = "statistics-as.dat";
    id.productName = "AntiSpam";
    id.mailTag = "AS";
    id.listTitle = "Spam";
    return id;
}
const processIdentity spamIdentity = SpamIdentity();

TEST(OpenTempFile, NamesWithAndWithoutNumber) {
    scratchDir dir;
    std::string path;
    filePtr f = OpenTempFile(dir.path(), "Qln_AV_report_", 0, ".tmp", path);
    ASSERT_TRUE(f);
    EXPECT_TRUE(std::regex_match(path, std::regex(dir.path() + "/Qln_AV_report_[0-9]{1,5}\\.tmp")))
        << path;
    EXPECT_TRUE(fs::exists(path));
    EXPECT_LE(std::stoul(path.substr(path.rfind('_') + 1)), 65535u);

    filePtr g = OpenTempFile(dir.path(), "Qln_AV_notify_", 417, ".tmp", path);
    ASSERT_TRUE(g);
    EXPECT_TRUE(
        std::regex_match(path, std::regex(dir.path() + "/Qln_AV_notify_417_[0-9]{1,5}\\.tmp")))
        << path;

    const std::string missing = dir.sub("no-such-dir");
    errno = 0;
    filePtr h = OpenTempFile(missing, "p_", 0, ".tmp", path);
    EXPECT_FALSE(h);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(path.rfind(missing + "/p_", 0), 0u);  // the last name tried
}

TEST(OpenTempFile, NeverOpensAnExistingName) {
    scratchDir dir;
    // Re-create the generator's next ten numbers, for this second and the
    // next two in case the clock ticks.
    const unsigned seed = 4242;
    std::minstd_rand twin(seed);
    std::vector<unsigned long> draws;
    for (int i = 0; i < 10; ++i) draws.push_back(twin());
    auto nameFor = [&dir](unsigned long part) {
        return dir.sub("p_" + std::to_string(part & 0xFFFF) + ".tmp");
    };
    const unsigned long now = static_cast<unsigned long>(time(nullptr));
    for (unsigned long draw : draws)
        for (unsigned long dt = 0; dt < 3; ++dt) WriteWhole(nameFor(now + dt + draw), "x");
    const size_t existing = Names(dir.path()).size();

    // Every name it can try exists: ten tries, all refused, none touched.
    TempNameSeed(seed);
    std::string path;
    filePtr f = OpenTempFile(dir.path(), "p_", 0, ".tmp", path);
    EXPECT_FALSE(f);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(Names(dir.path()).size(), existing);
    for (const std::string& name : Names(dir.path())) EXPECT_EQ(ReadWhole(dir.sub(name)), "x");

    // Only the first name taken: the second try succeeds beside it.
    scratchDir other;
    const unsigned long later = static_cast<unsigned long>(time(nullptr));
    for (unsigned long dt = 0; dt < 3; ++dt)
        WriteWhole(other.sub("p_" + std::to_string((later + dt + draws[0]) & 0xFFFF) + ".tmp"),
                   "x");
    TempNameSeed(seed);
    f = OpenTempFile(other.path(), "p_", 0, ".tmp", path);
    ASSERT_TRUE(f);
    EXPECT_TRUE(ReadWhole(path).empty());
    for (const std::string& name : Names(other.path())) {
        if (other.sub(name) != path) {
            EXPECT_EQ(ReadWhole(other.sub(name)), "x");
        }
    }
}

TEST(OpenTempFile, TwoThreadsNeverShareAName) {
    scratchDir dir;
    std::vector<std::string> paths[2];
    auto work = [&dir](std::vector<std::string>* out) {
        for (int i = 0; i < 300; ++i) {
            std::string path;
            filePtr f = OpenTempFile(dir.path(), "t_", 0, ".tmp", path);
            if (f) out->push_back(path);
        }
    };
    std::thread a(work, &paths[0]);
    std::thread b(work, &paths[1]);
    a.join();
    b.join();
    std::set<std::string> all(paths[0].begin(), paths[0].end());
    all.insert(paths[1].begin(), paths[1].end());
    EXPECT_EQ(paths[0].size() + paths[1].size(), 600u);
    EXPECT_EQ(all.size(), 600u);
    EXPECT_EQ(Names(dir.path()).size(), 600u);
}

std::vector<unsigned> sleeps;
void recordSleep(unsigned seconds) {
    sleeps.push_back(seconds);
}

TEST(SubmitTempFile, SubmitsWithMode644WhateverTheMask) {
    scratchDir dir;
    std::string path;
    mode_t old = umask(077);
    filePtr f = OpenTempFile(dir.path(), "Qln_AV_daily_", 0, ".tmp", path);
    ASSERT_TRUE(f);
    fputs("body\n", f.get());
    EXPECT_TRUE(SubmitTempFile(std::move(f), path));
    umask(old);
    const std::string sub = path.substr(0, path.size() - 4) + ".sub";
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(ReadWhole(sub), "body\n");
    struct stat st;
    ASSERT_EQ(stat(sub.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST(SubmitTempFile, AFailedWriteSubmitsNothing) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    scratchDir dir;
    // A full disk, as the stream sees it.
    const std::string path = dir.path() + "/Qln_AV_daily_1.tmp";
    fs::create_symlink("/dev/full", path);
    filePtr f(fopen(path.c_str(), "w"));
    ASSERT_TRUE(f);
    fputs("body\n", f.get());
    testing::internal::CaptureStdout();
    EXPECT_FALSE(SubmitTempFile(std::move(f), path));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "* can't write " + path + ", errno=28: nothing submitted\n");
    EXPECT_TRUE(Names(dir.path()).empty());
}

TEST(RenameTempToSub, TenTriesWithGrowingWaits) {
    scratchDir dir;
    const std::string path = dir.sub("gone.tmp");
    sleeps.clear();
    doDebug = true;
    testing::internal::CaptureStdout();
    RenameTempToSub(path, recordSleep);
    const std::string log = testing::internal::GetCapturedStdout();
    doDebug = false;
    EXPECT_EQ(sleeps, (std::vector<unsigned>{1, 2, 3, 4}));
    std::string expected;
    for (int i = 0; i < 9; ++i)
        expected += "* failed renaming " + path + " to " + dir.sub("gone.sub") +
                    ", errno=2, will retry again\n";
    expected += "* failed renaming " + path + " to " + dir.sub("gone.sub") + ", errno=2\n";
    EXPECT_EQ(log, expected);

    // Without -debug only the final line appears.
    testing::internal::CaptureStdout();
    RenameTempToSub(path, recordSleep);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "* failed renaming " + path + " to " + dir.sub("gone.sub") + ", errno=2\n");

    // A whole message that cannot take its .sub name (a directory is in the
    // way) is left as it is for the administrator, never deleted.
    const std::string kept = dir.sub("kept.tmp");
    WriteWhole(kept, "Return-Path: <>\n\nbody\n");
    fs::create_directory(dir.sub("kept.sub"));
    WriteWhole(dir.sub("kept.sub/x"), "");
    testing::internal::CaptureStdout();
    EXPECT_FALSE(RenameTempToSub(kept, recordSleep));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(ReadWhole(kept), "Return-Path: <>\n\nbody\n");
}

TEST(MailHeader, FrameOrdersAndEmptyValues) {
    // Event and daily report order, with two extra header lines.
    EXPECT_EQ(FormatMailHeader({MailHeader("From: ", "a@x"), MailHeader("To: ", "b@x"),
                                MailHeader("Subject: ", "Hi \\\"there\\\""),
                                MailExtraHeaders("X-A: 1\\eX-B: 2")}),
              "Return-Path: <>\nFrom: a@x\nTo: b@x\nSubject: Hi \"there\"\nX-A: 1\nX-B: 2\n\n");
    // Missing texts: empty values, and no empty line for the extra headers.
    EXPECT_EQ(FormatMailHeader({MailHeader("From: ", nullptr), MailHeader("To: ", nullptr),
                                MailHeader("Subject: ", ""), MailExtraHeaders(nullptr)}),
              "Return-Path: <>\nFrom: \nTo: \nSubject: \n\n");
    EXPECT_EQ(FormatMailHeader({MailHeader("From: ", "a"), MailExtraHeaders("")}),
              "Return-Path: <>\nFrom: a\n\n");
    // A trailing or doubled line break in a text cannot end the header early.
    EXPECT_EQ(
        FormatMailHeader({MailExtraHeaders("X-A: 1\\e\\eX-B: 2\\e"), MailHeader("To: ", "c")}),
        "Return-Path: <>\nX-A: 1\nX-B: 2\nTo: c\n\n");
    // Notification order; its To value is written raw, backslashes and all.
    EXPECT_EQ(
        FormatMailHeader({MailHeader("From: ", "f"), MailHeader("Subject: ", "s"),
                          MailExtraHeaders("X-E: 1"),
                          MailRawHeader("To: ", "recipients;\nBcc: a\\b@x, c@x")}),
        "Return-Path: <>\nFrom: f\nSubject: s\nX-E: 1\nTo: recipients;\nBcc: a\\b@x, c@x\n\n");
}

class EventReportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        UseUtc();
        thisProcess = &spamIdentity;
        submitted = dir.sub("Submitted");
        fs::create_directory(submitted);
    }
    void TearDown() override { PublishSettings(nullptr); }
    void Publish(const std::string& conf) {
        auto settings = std::make_shared<commonSettings>();
        ReadReportSections(Tree(conf).get(), *settings);
        settings->submittedDirName = submitted;
        PublishSettings(settings);
    }
    std::string Take(const std::string& prefix) {
        std::vector<std::string> names = Names(submitted);
        EXPECT_EQ(names.size(), 1u);
        if (names.size() != 1) return "";
        EXPECT_TRUE(std::regex_match(names[0], std::regex(prefix + "[0-9]{1,5}\\.sub")))
            << names[0];
        std::string text = ReadWhole(submitted + "/" + names[0]);
        fs::remove(submitted + "/" + names[0]);
        return text;
    }

    scratchDir dir;
    std::string submitted;
};

const time_t eventTime = Utc(2026, 1, 5, 7, 8, 9);

TEST_F(EventReportTest, StartAndStopReports) {
    Publish(R"(EventsReports = {
        From = "filter@example.org"; To = "admin@example.org"; ExtraHeaders = "X-Tag: 1";
        Started = { Subject = "Started ^1"; };
        Stopped = { Enabled = Yes; Subject = "Stopped"; };
    };)");
    EventReportAt(true, eventTime);
    EXPECT_EQ(Take("Qln_AS_report_"),
              "Return-Path: <>\nFrom: filter@example.org\nTo: admin@example.org\n"
              "Subject: Started Mon, 5 Jan 2026 07:08:09\nX-Tag: 1\n\n"
              "Velmora Quillon AntiSpam plugin started on Mon, 5 Jan 2026 07:08:09.\n\n");
    EventReportAt(false, eventTime);
    EXPECT_EQ(Take("Qln_AS_stopped_"),
              "Return-Path: <>\nFrom: filter@example.org\nTo: admin@example.org\n"
              "Subject: Stopped\nX-Tag: 1\n\n"
              "Velmora Quillon AntiSpam plugin stopped on Mon, 5 Jan 2026 07:08:09.\n\n");
}

TEST_F(EventReportTest, SwitchedOffAndMissingDictionaries) {
    Publish(R"(EventsReports = { Started = { Enabled = nope; }; Stopped = { Enabled = Y; }; };)");
    EventReportAt(true, eventTime);
    EXPECT_TRUE(Names(submitted).empty());
    EventReportAt(false, eventTime);
    EXPECT_EQ(Take("Qln_AS_stopped_"),
              "Return-Path: <>\nFrom: \nTo: \nSubject: \n\n"
              "Velmora Quillon AntiSpam plugin stopped on Mon, 5 Jan 2026 07:08:09.\n\n");

    Publish(R"(EventsReports = { Stopped = {}; };)");
    testing::internal::CaptureStdout();
    EventReportAt(true, eventTime);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("Missing EventsReports={Started={...} ... };"), std::string::npos) << log;
    EXPECT_EQ(log.find("Missing EventsReports={...};"), std::string::npos) << log;
    EXPECT_NE(Take("Qln_AS_report_").find("\nSubject: \n\nVelmora"), std::string::npos);

    Publish("Other = 1;");
    testing::internal::CaptureStdout();
    EventReportAt(false, eventTime);
    log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("Missing EventsReports={...};"), std::string::npos) << log;
    EXPECT_NE(log.find("Missing EventsReports={Stopped={...} ... };"), std::string::npos) << log;
    EXPECT_EQ(Take("Qln_AS_stopped_").rfind("Return-Path: <>\nFrom: \nTo: \nSubject: \n\n", 0), 0u);

    fs::remove_all(submitted);
    testing::internal::CaptureStdout();
    EventReportAt(true, eventTime);
    log = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(std::regex_search(
        log, std::regex(
                 "\\* Can't create temp file .*/Submitted/Qln_AS_report_[0-9]+\\.tmp, errno=2\n")))
        << log;
}

}  // namespace
