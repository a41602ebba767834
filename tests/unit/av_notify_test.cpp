// Virus notification, byte for byte: one and three recipients, the sender
// line, the copied header lines, the file name number, the failures and the
// retried opening of a message file that appears late.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <thread>

#include "av/av.h"
#include "common/base/log.h"
#include "common/base/text.h"
#include "common/envelope/envelope.h"
#include "common/envelope/queuefile.h"
#include "mail_test_util.h"

namespace {

using namespace mailtest;

const char* const notifyConf = R"(
NotifyRecipientsOptions = {
    From = "postmaster@example.org";
    Subject = "Virus found";
    ExtraHeaders = "X-Notify: yes";
    Description = ("A message to you was infected.", "It was not delivered.");
    SenderInfo = "The sender was ^1 (^1).";
    HeaderTitle = "Header of the message:";
};
)";

const std::string virusText = "EICAR-Test\\e";  // as the verdict builds it
const std::string summary = "1 virus(es) found";

class NotifyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char buf[4096];
        ASSERT_NE(getcwd(buf, sizeof buf), nullptr);
        oldCwd = buf;
        // Paths are relative to the working directory, and the scratch
        // directory's own name must not lend the file name its digits.
        ASSERT_EQ(chdir(dir.path().c_str()), 0);
        fs::create_directory("Queue");
        fs::create_directory("Submitted");
        Configure(notifyConf);
    }
    void TearDown() override { EXPECT_EQ(chdir(oldCwd.c_str()), 0); }
    void Configure(const std::string& conf) {
        ReadNotificationSettings(Tree(conf).get(), settings);
        settings.submittedDirName = "Submitted";
    }
    // As the verdict does it: the envelope as measured when the request was
    // prepared, the header block from the file.
    void Run(const std::string& path) {
        const std::string file = fs::exists(path) ? ReadWhole(path) : "";
        const int64_t envLen = EnvelopeLengthAV(file.data(), file.size(), true);
        NotifyRecipientsProc(settings, path, std::string_view(file.data(), envLen), virusText,
                             summary);
    }
    std::string Notify(const std::string& path, const std::string& prefix) {
        Run(path);
        std::vector<std::string> names = Names("Submitted");
        EXPECT_EQ(names.size(), 1u);
        if (names.size() != 1) return "";
        EXPECT_TRUE(std::regex_match(names[0], std::regex(prefix + "[0-9]{1,5}\\.sub")))
            << names[0];
        std::string text = ReadWhole("Submitted/" + names[0]);
        fs::remove("Submitted/" + names[0]);
        return text;
    }

    scratchDir dir;
    std::string oldCwd;
    avSettings settings;
};

TEST_F(NotifyTest, OneRecipient) {
    WriteWhole("Queue/417.msg",
               "P <sender@example.net>\nS smtp [10.0.0.1]\nR <one@example.org>\n\n"
               "From: sender@example.net\nSubject: hello\n\nbody line\n");
    EXPECT_EQ(Notify("Queue/417.msg", "Qln_AV_notify_417_"),
              "Return-Path: <>\n"
              "From: postmaster@example.org\n"
              "Subject: Virus found\n"
              "X-Notify: yes\n"
              "To: one@example.org\n"
              "\n"
              "A message to you was infected.\n"
              "It was not delivered.\n"
              "EICAR-Test\n"
              "\n"
              "1 virus(es) found\n"
              "The sender was sender@example.net (sender@example.net).\n"
              "Header of the message:\n"
              "From: sender@example.net\n"
              "Subject: hello\n"
              "\n");
}

TEST_F(NotifyTest, ThreeRecipientsGoToBcc) {
    WriteWhole("Queue/msg.q",
               "P <a\\b@example.net>\nP <second@example.net>\nR <one@x.org>\nR <two@x.org>\n"
               "R broken line\nR <three@x.org>\n\nSubject: s\n\nbody\n");
    EXPECT_EQ(Notify("Queue/msg.q", "Qln_AV_notify_"),
              "Return-Path: <>\n"
              "From: postmaster@example.org\n"
              "Subject: Virus found\n"
              "X-Notify: yes\n"
              "To: recipients;\n"
              "Bcc: one@x.org, two@x.org, three@x.org\n"
              "\n"
              "A message to you was infected.\n"
              "It was not delivered.\n"
              "EICAR-Test\n"
              "\n"
              "1 virus(es) found\n"
              "The sender was a\\b@example.net (a\\b@example.net).\n"
              "Header of the message:\n"
              "Subject: s\n"
              "\n");
}

TEST_F(NotifyTest, EmptySenderMissingTextsAndHeaderToTheEnd) {
    Configure("NotifyRecipientsOptions = { SenderInfo = \"never ^1\"; };");
    // Header block running to the end of the file, last line unterminated.
    WriteWhole("Queue/9.msg", "P <>\nR <r@x.org>\n\nFrom: a\nSubject: b");
    EXPECT_EQ(Notify("Queue/9.msg", "Qln_AV_notify_9_"),
              "Return-Path: <>\nFrom: \nSubject: \nTo: r@x.org\n\n"
              "EICAR-Test\n\n1 virus(es) found\n\nFrom: a\nSubject: b\n");

    // CR LF throughout: the blank line ends the envelope and then the header
    // block, and a body line that looks like an envelope line is no
    // recipient.
    WriteWhole("Queue/10.msg",
               "R <r@x.org>\r\n\r\nFrom: a\r\n\r\nR <victim@elsewhere.example>\r\nEICAR body\r\n");
    EXPECT_EQ(Notify("Queue/10.msg", "Qln_AV_notify_10_"),
              "Return-Path: <>\nFrom: \nSubject: \nTo: r@x.org\n\n"
              "EICAR-Test\n\n1 virus(es) found\n\nFrom: a\r\n\n");
}

TEST_F(NotifyTest, HeaderBlockCutAtALineWithinTheBound) {
    // Past the bound the header block ends at the last whole line.
    const std::string line = "X-Many: " + std::string(1000, 'b') + "\n";
    std::string many;
    while (many.size() < maxNotificationHeader + line.size()) many += line;
    WriteWhole("Queue/12.msg", "R <r@x.org>\n\n" + many + "\nbody\n");
    testing::internal::CaptureStdout();
    std::string text = Notify("Queue/12.msg", "Qln_AV_notify_12_");
    EXPECT_EQ(
        testing::internal::GetCapturedStdout(),
        "* header of Queue/12.msg cut at " + std::to_string(maxNotificationHeader) + " bytes\n");
    const size_t copied = text.size() - text.find("X-Many");
    EXPECT_LE(copied, maxNotificationHeader);
    EXPECT_EQ(copied % line.size(), 1u);  // whole lines and the closing line feed

    // A single line past the bound is never copied in part.
    WriteWhole("Queue/11.msg", "R <r@x.org>\n\nX-Long: " + std::string(200000, 'a') + "\n\n");
    testing::internal::CaptureStdout();
    text = Notify("Queue/11.msg", "Qln_AV_notify_11_");
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(text.find("X-Long"), std::string::npos);
}

TEST_F(NotifyTest, ABareLocalNameIsNamedBesideAnAddress) {
    WriteWhole("Queue/14.msg", "P <s@x.org>\nR <postmaster>\nR <bob@example.net>\n\nSubject: s\n");
    const std::string text = Notify("Queue/14.msg", "Qln_AV_notify_14_");
    EXPECT_NE(text.find("\nTo: recipients;\nBcc: postmaster, bob@example.net\n\n"), std::string::npos)
        << text;
}

TEST_F(NotifyTest, AddressesThatWouldAddRecipientsAreLeftOut) {
    // A comma, a semicolon, a comment, a quoted string, a blank, a route or
    // a group could read as another address; a leading '-' as an option.
    // Any dots and a bare name read as themselves.
    WriteWhole("Queue/13.msg",
               "P <s\r@x.org>\nR <a@x.org, evil@y.org>\nR <b@x.org>\nR <c;d@x.org>\n"
               "R <e@x.org (f@y.org)>\nR <\"g h\"@x.org>\nR <\"i\\\\\"@x.org>\nR <j:k@y.org>\n"
               "R <l@x.org\tm@y.org>\nR <-oQ/tmp@x.org>\nR <.odd..dots.@x.org>\nR <abuse>\n"
               "\nSubject: s\n");
    testing::internal::CaptureStdout();
    const std::string text = Notify("Queue/13.msg", "Qln_AV_notify_13_");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "* notification: recipient address left out: a@x.org, evil@y.org\n"
              "* notification: recipient address left out: c;d@x.org\n"
              "* notification: recipient address left out: e@x.org (f@y.org)\n"
              "* notification: recipient address left out: \"g h\"@x.org\n"
              "* notification: recipient address left out: \"i\\\\\\\\\"@x.org\n"
              "* notification: recipient address left out: j:k@y.org\n"
              "* notification: recipient address left out: l@x.org\\x09m@y.org\n"
              "* notification: recipient address left out: -oQ/tmp@x.org\n"
              "* notification: sender address left out: s\\x0d@x.org\n");
    EXPECT_NE(text.find("\nTo: recipients;\nBcc: b@x.org, .odd..dots.@x.org, abuse\n"), std::string::npos)
        << text;
    EXPECT_EQ(text.find("evil"), std::string::npos);
    EXPECT_EQ(text.find("The sender was"), std::string::npos);
}

TEST_F(NotifyTest, FailuresSendNothing) {
    WriteWhole("Queue/1.msg", "P <s@x.org>\nS smtp\n\nFrom: a\n");
    testing::internal::CaptureStdout();
    Run("Queue/1.msg");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "* Bad message file: Queue/1.msg\n");
    EXPECT_TRUE(Names("Submitted").empty());

    WriteWhole("Queue/2.msg", "R <r@x.org>\n\n");
    settings.submittedDirName = "Missing";
    testing::internal::CaptureStdout();
    Run("Queue/2.msg");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "* open failed, errno=2\n");
}

TEST_F(NotifyTest, LateHeaderFileIsOpenedAtTheThirdAttempt) {
    const std::string envelope = "R <r@x.org>\n\n";
    doDebug = true;
    // The first two attempts come at once, the third a second later: the
    // file appears half-way, as far from either as a busy machine allows.
    std::thread writer([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        WriteWhole("Queue/5.msg", "R <r@x.org>\n\nSubject: late\n");
    });
    testing::internal::CaptureStdout();
    NotifyRecipientsProc(settings, "Queue/5.msg", envelope, virusText, summary);
    const std::string log = testing::internal::GetCapturedStdout();
    writer.join();
    doDebug = false;
    EXPECT_EQ(log,
              "* Can't open Queue/5.msg,errno=2,will retry\n"
              "* Can't open Queue/5.msg, will retry again\n");
    EXPECT_EQ(Names("Submitted").size(), 1u);
    EXPECT_NE(ReadWhole("Submitted/" + Names("Submitted")[0]).find("Subject: late\n"),
              std::string::npos);

    // A file gone for good: the addresses are known, but nothing is sent.
    testing::internal::CaptureStdout();
    NotifyRecipientsProc(settings, "Queue/never.msg", envelope, virusText, summary);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "* Can't open Queue/never.msg,errno=2\n");
    EXPECT_EQ(Names("Submitted").size(), 1u);
}

}  // namespace
