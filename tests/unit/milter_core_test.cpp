// The pieces of tarnwick-milter that read what a filter says and write what
// a filter reads, at their edges.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <regex>
#include <fstream>
#include <sstream>
#include <thread>

#include "milter/answer.h"
#include "milter/figures.h"
#include "milter/filters.h"
#include "milter/queue_head.h"
#include "milter/head_start.h"
#include "milter/smtp_submit.h"
#include "milter/spool.h"
#include "milter/verdict.h"

using namespace milter;

namespace {

Answer Parse(const std::string& line) {
    Answer a;
    EXPECT_TRUE(ParseAnswer(line, a)) << line;
    return a;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace

TEST(Answer, KindsTokensAndDecodedTexts) {
    Answer a = Parse("17 OK");
    EXPECT_EQ(a.token, 17);
    EXPECT_EQ(a.kind, AnswerKind::Ok);
    EXPECT_EQ(Parse("3 DISCARD").kind, AnswerKind::Discard);
    a = Parse("4 FAILURE error=SE_SCAN_TIMEOUT");
    EXPECT_EQ(a.kind, AnswerKind::Failure);
    EXPECT_EQ(a.text, "error=SE_SCAN_TIMEOUT");
    // Backslash-e breaks the line; escaped quote and backslash stand for themselves.
    a = Parse(R"(9 ERROR "Virus found: E\"v\\il\e1 virus(es) found\eMessage rejected")");
    EXPECT_EQ(a.kind, AnswerKind::Error);
    EXPECT_EQ(a.text, "Virus found: E\"v\\il\n1 virus(es) found\nMessage rejected");
    a = Parse(R"(2147483647 ADDHEADER "X-Junk-Score:  91 [XXXXX]\eX-Color: red")");
    EXPECT_EQ(a.token, INT_MAX);
    EXPECT_EQ(a.text, "X-Junk-Score:  91 [XXXXX]\nX-Color: red");
    EXPECT_EQ(Parse("5 ADDHEADER \"\"").text, "");
    EXPECT_EQ(Parse("6 WHATEVER x").kind, AnswerKind::Other);
}

TEST(Answer, LinesThatAreNotAnswers) {
    Answer a;
    for (const char* line : {"* original score=120", "", "17", "17OK", "0 OK", "-1 OK", "x1 OK",
                             "2147483648 OK", "99999999999999999999 OK", " 17 OK"})
        EXPECT_FALSE(ParseAnswer(line, a)) << line;
}

TEST(Answer, ProbeAnswersAreNeverMessageAnswers) {
    unsigned long long token = 0;
    Answer a;
    for (const char* line :
         {"2147483648 INTF 3 PROD=QLON", "2147483649  INTF", "999999999999999999 INTFX"}) {
        EXPECT_TRUE(ParseProbeAnswer(line, token)) << line;
        EXPECT_FALSE(ParseAnswer(line, a)) << line;
    }
    EXPECT_EQ(token, 999999999999999999ULL);
    // Request tokens, other words and numbers too long to be ours are not
    // probe answers.
    for (const char* line : {"2147483647 INTF 3 PROD=QLON", "1 INTF 3", "2147483648 OK",
                             "2147483648 INT", "2147483648", "* 2147483648 INTF",
                             "18446744073709551617 INTF", "1000000000000000000 INTF"})
        EXPECT_FALSE(ParseProbeAnswer(line, token)) << line;
}

// A broken day's lines of the filters come out at warning or above, and
// nothing of an ordinary day does.
TEST(FilterLines, ProblemsAtTheirPriority) {
    using daemonlog::Level;
    for (const char* line :
         {"* Error in Tarnwick-AS.cfg line 1 ", "* Syntax error: ';' expected",
          "* program aborted", "Configuration error: Tarnwick-AS.cfg is missing the Socket item",
          "Configuration error: unknown item Sokcet in line 3",
          "* Error: Cannot connect to ScanEngine: /run/x.sock : No such file or directory",
          "* Line 4: unterminated string 'abc'", "* Can't open Queue/q1,errno=2",
          "* FAILURE: unable to access directory Temp", "* unvalid answer from the scanning engine",
          "* incorrect value type; expected string got array"})
        EXPECT_EQ(FilterLineLevel(line), Level::kError) << line;
    for (const char* line : {"* Can't open Queue/q1,errno=2,will retry",
                             "* failed renaming a to b, errno=13, will retry again",
                             "* no info returned"})
        EXPECT_EQ(FilterLineLevel(line), Level::kWarning) << line;
    for (const char* line :
         {"* Tarnwick-AV plugin version 1.1.0 started", "* Connected to /run/tarnwick/clamd.sock",
          "* re-reading Tarnwick-AV.cfg", "* 3 items read from whitelist.txt",
          "* alice@example.org is whitelisted by *@example.org", "* original score=12",
          "* Generating daily report message", "* (2) Eicar-Test-Signature",
          "* Tarnwick-AS plugin finished.", ""})
        EXPECT_EQ(FilterLineLevel(line), Level::kInfo) << line;
}

TEST(Headers, FieldsContinuationsAndRejects) {
    int skipped = 0;
    auto f = HeaderFields("X-A:  1 [X]\n\tfolded\nbad line\nX B: no\n: empty\nX-C:v\r\n", skipped);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0].first, "X-A");
    EXPECT_EQ(f[0].second, "  1 [X]\n\tfolded");
    EXPECT_EQ(f[1].first, "X-C");
    EXPECT_EQ(f[1].second, "v");
    EXPECT_EQ(skipped, 3);
    // A continuation after a rejected line cannot attach to anything.
    f = HeaderFields("nonsense\n folded", skipped);
    EXPECT_TRUE(f.empty());
    EXPECT_EQ(skipped, 2);
    // Control bytes cannot reach the MTA; the count is bounded.
    std::string many;
    for (int i = 0; i < 100; ++i)
        many +=
            "X-N: a\x01"
            "b\n";
    f = HeaderFields(many, skipped);
    EXPECT_EQ(f.size(), 32u);
    EXPECT_EQ(f[0].second, " a b");
}

TEST(Reply, LinesAreCleanBoundedAndNeverEmpty) {
    auto l = ReplyLines("Virus found: EICAR\n\n1 virus(es) found\r\nbad\x07\xff end  ", "fb");
    ASSERT_EQ(l.size(), 3u);
    EXPECT_EQ(l[0], "Virus found: EICAR");
    EXPECT_EQ(l[1], "1 virus(es) found");
    EXPECT_EQ(l[2], "bad?? end");
    EXPECT_EQ(ReplyLines("\n \n", "fallback")[0], "fallback");
    std::string lots;
    for (int i = 0; i < 40; ++i) lots += std::string(1000, 'a') + "\n";
    l = ReplyLines(lots, "fb");
    EXPECT_EQ(l.size(), kMaxReplyLines);
    EXPECT_EQ(l[0].size(), kMaxReplyLine);
    // The MTA reads the text as a format: each % must stand for itself.
    EXPECT_EQ(MilterReplyText("Virus found: Evil%s%n%%Name"), "Virus found: Evil%%s%%n%%%%Name");
    EXPECT_EQ(MilterReplyText("%"), "%%");
}

TEST(Verdict, RejectThenDiscardThenFailurePolicyThenHeaders) {
    Answer ok = Parse("1 OK"), hdr = Parse(R"(1 ADDHEADER "X-S: 5\eX-T: 6")");
    Answer err = Parse(R"(1 ERROR "Virus found\eMessage rejected")"), dis = Parse("1 DISCARD");
    Answer fail = Parse("1 FAILURE no scan report returned");
    auto decide = [](std::vector<Answer> a, std::vector<bool> got, OnFailure p) {
        return MergeAnswers(a, got, std::vector<OnFailure>(a.size(), p));
    };

    Verdict v = decide({err, hdr}, {true, true}, OnFailure::Tempfail);
    EXPECT_EQ(v.action, Action::Reject);
    EXPECT_EQ(v.reply, (std::vector<std::string>{"Virus found", "Message rejected"}));
    EXPECT_TRUE(v.headers.empty());
    // A verdict beats a failure of the other filter.
    EXPECT_EQ(decide({fail, err}, {true, true}, OnFailure::Accept).action, Action::Reject);
    EXPECT_EQ(decide({dis, hdr}, {true, false}, OnFailure::Tempfail).action, Action::Discard);

    v = decide({ok, hdr}, {true, true}, OnFailure::Tempfail);
    EXPECT_EQ(v.action, Action::Accept);
    EXPECT_FALSE(v.failed);
    ASSERT_EQ(v.headers.size(), 2u);
    EXPECT_EQ(v.headers[1], (HeaderField{"X-T", " 6"}));

    v = decide({ok, hdr}, {true, false}, OnFailure::Tempfail);
    EXPECT_EQ(v.action, Action::Tempfail);
    EXPECT_TRUE(v.headers.empty());
    EXPECT_EQ(decide({fail, hdr}, {true, true}, OnFailure::Reject).action, Action::Reject);
    v = decide({fail, hdr}, {true, true}, OnFailure::Accept);
    EXPECT_EQ(v.action, Action::Accept);
    EXPECT_TRUE(v.failed);
    EXPECT_EQ(v.headers.size(), 2u);
    EXPECT_EQ(decide({Parse("1 ODD")}, {true}, OnFailure::Tempfail).action, Action::Tempfail);
}

TEST(Verdict, FailurePolicyPerFilter) {
    FailurePolicy policy;
    std::string error;
    // Defaults: no unscanned mail, no mail held for want of a rating.
    const FilterRole av = FilterRole::kVirusScan, as = FilterRole::kSpamRating;
    EXPECT_EQ(policy.For("Tarnwick-AV", av), OnFailure::Tempfail);
    EXPECT_EQ(policy.For("Tarnwick-AS", as), OnFailure::Accept);
    ASSERT_TRUE(policy.Add("Tarnwick-AS=tempfail", error));
    ASSERT_TRUE(policy.Add("reject", error));  // for all, but not over a filter's own
    EXPECT_EQ(policy.For("Tarnwick-AS", as), OnFailure::Tempfail);
    EXPECT_EQ(policy.For("Tarnwick-AV", av), OnFailure::Reject);
    EXPECT_EQ(policy.Named(), std::vector<std::string>{"Tarnwick-AS"});
    for (const char* wrong : {"maybe", "Tarnwick-AS=", "=accept", "dir/Tarnwick-AS=accept", ""})
        EXPECT_FALSE(policy.Add(wrong, error)) << wrong;

    Answer hdr = Parse(R"(1 ADDHEADER "X-S: 5")"), fail = Parse("1 FAILURE engine gone");
    std::vector<OnFailure> avTempfailAsAccept{OnFailure::Tempfail, OnFailure::Accept};
    Verdict v = MergeAnswers({hdr, fail}, {true, true}, avTempfailAsAccept);
    EXPECT_EQ(v.action, Action::Accept);  // unrated, with what the other said
    EXPECT_TRUE(v.failed);
    EXPECT_EQ(v.headers.size(), 1u);
    EXPECT_EQ(MergeAnswers({fail, hdr}, {true, true}, avTempfailAsAccept).action, Action::Tempfail);
    // The strictest policy of the failed filters decides.
    EXPECT_EQ(MergeAnswers({fail, fail}, {true, false}, {OnFailure::Reject, OnFailure::Tempfail}).action,
              Action::Reject);
}

// The order of asking and the end of the wait, without processes: what a
// recorded answer asks next, when the answer is known, and when the queue
// file's owner may go.
TEST(MessageOrder, StaggeredSerialAndTheLastAnswer) {
    using Clock = std::chrono::steady_clock;
    const Answer ok = Parse("7 OK"), err = Parse(R"(7 ERROR "Virus found")");
    const auto now = [] { return Clock::now(); };

    Message staggered(7, "Queue/7.msg", "Q7", 3, Order::Staggered);
    EXPECT_EQ(staggered.Snapshot().asked, (std::vector<bool>{true, false, false}));
    Message::Recorded r = staggered.Record(0, ok);  // let on: every other is asked
    EXPECT_EQ(r.ask, (std::vector<size_t>{1, 2}));
    EXPECT_EQ(staggered.WaitDecided(now(), std::chrono::seconds(1), nullptr),
              Message::Waited::kDeadline);

    // The head start ran out; then the first filter refuses: the answer is
    // known at once, the other request finishes in the background.
    Message early(8, "Queue/8.msg", "Q8", 2, Order::Staggered);
    EXPECT_EQ(early.AskRest(), std::vector<size_t>{1});
    EXPECT_TRUE(early.Record(0, err).ask.empty());
    EXPECT_EQ(early.WaitDecided(now() + std::chrono::seconds(5), std::chrono::seconds(1), nullptr),
              Message::Waited::kDecided);
    auto keep = std::make_shared<int>(1);
    std::weak_ptr<int> watch = keep;
    EXPECT_FALSE(early.Release(std::move(keep)));
    EXPECT_FALSE(watch.expired());  // a filter still reads the queue file
    r = early.Record(1, ok);
    EXPECT_TRUE(r.late && r.finished && r.afterRefusal);  // not a problem: logged as info
    r.keep.reset();
    EXPECT_TRUE(watch.expired());
    EXPECT_TRUE(early.Record(1, ok).ask.empty());  // a second answer changes nothing

    // A refusal within the head start: nobody else is ever asked.
    Message spared(9, "Queue/9.msg", "Q9", 2, Order::Staggered);
    spared.Record(0, err);
    EXPECT_TRUE(spared.AskRest().empty());
    EXPECT_TRUE(spared.Release(nullptr));

    Message serial(10, "Queue/10.msg", "Q10", 3, Order::Serial);
    EXPECT_EQ(serial.Record(0, ok).ask, std::vector<size_t>{1});
    EXPECT_EQ(serial.Record(1, Parse("10 FAILURE x")).ask, std::vector<size_t>{2});
    EXPECT_TRUE(serial.Record(2, ok).ask.empty());
    EXPECT_EQ(serial.WaitDecided(now(), std::chrono::seconds(1), nullptr),
              Message::Waited::kDecided);

    // Let go at --timeout with nothing refused: the late answer is a problem.
    Message timedOut(12, "Queue/12.msg", "Q12", 2, Order::Parallel);
    EXPECT_FALSE(timedOut.Release(std::make_shared<int>(1)));
    r = timedOut.Record(0, ok);
    EXPECT_TRUE(r.late && !r.afterRefusal);

    Message parallel(11, "Queue/11.msg", "Q11", 2, Order::Parallel);
    EXPECT_EQ(parallel.Snapshot().asked, (std::vector<bool>{true, true}));
    parallel.Abandon();
    EXPECT_EQ(
        parallel.WaitDecided(now() + std::chrono::seconds(5), std::chrono::seconds(1), nullptr),
        Message::Waited::kAbandoned);
}

// The head start follows the first filter's recent refusal times: their
// 95th percentile, a stray slow scan ignored, old times forgotten, within
// its floor and cap.
TEST(HeadStart, FollowsTheRecentRefusals) {
    using std::chrono::milliseconds;
    const auto feed = [](HeadStart& h, size_t n, milliseconds took) {
        for (size_t i = 0; i < n; ++i) h.RecordRefusal(took);
    };
    HeadStart h;
    EXPECT_EQ(h.Current(), HeadStart::kFloor);  // nothing refused yet
    h.RecordRefusal(milliseconds(40));
    EXPECT_EQ(h.Current(), milliseconds(40) + HeadStart::kSlack);
    feed(h, 60, milliseconds(20));
    feed(h, 3, milliseconds(900));  // 3 of 64 are beyond the 95th percentile
    EXPECT_EQ(h.Current(), milliseconds(40) + HeadStart::kSlack);
    h.RecordRefusal(milliseconds(900));  // the oldest 40 ms goes, a fourth 900 ms comes
    EXPECT_EQ(h.Current(), milliseconds(900) + HeadStart::kSlack);
    feed(h, HeadStart::kWindow, milliseconds(1));  // fast again: the floor
    EXPECT_EQ(h.Current(), HeadStart::kFloor);
    feed(h, HeadStart::kWindow, milliseconds(30000));
    EXPECT_EQ(h.Current(), HeadStart::kCap);

    // Recorded from several supervisor threads while a waiter reads.
    HeadStart shared;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back([&] { feed(shared, 500, milliseconds(30)); });
    while (shared.Current() == HeadStart::kFloor) std::this_thread::yield();
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(shared.Current(), milliseconds(30) + HeadStart::kSlack);
}

// A message waits for the head start its estimator gives, and records the
// first filter's refusals there (only the first filter's).
TEST(MessageOrder, StaggeredHeadStartFollowsTheEstimator) {
    using Clock = std::chrono::steady_clock;
    using std::chrono::milliseconds;
    HeadStart times;
    for (size_t i = 0; i < HeadStart::kWindow; ++i) times.RecordRefusal(milliseconds(60));
    Message m(12, "Queue/12.msg", "Q12", 2, Order::Staggered, {}, times);
    const auto born = Clock::now();
    Clock::duration askedAfter{};
    const auto waited = m.Wait(born + std::chrono::seconds(10), std::chrono::seconds(1), nullptr,
                               [&](const std::vector<size_t>& which) {
                                   askedAfter = Clock::now() - born;
                                   EXPECT_EQ(which, std::vector<size_t>{1});
                                   m.Record(1, Parse("12 OK"));
                                   m.Record(0, Parse("12 OK"));
                               });
    EXPECT_EQ(waited, Message::Waited::kDecided);
    EXPECT_GE(askedAfter, milliseconds(61));

    HeadStart fresh;
    Message refused(13, "Queue/13.msg", "Q13", 2, Order::Parallel, {}, fresh);
    refused.Record(1, Parse(R"(13 ERROR "spam")"));
    EXPECT_EQ(fresh.Current(), HeadStart::kFloor);
    std::this_thread::sleep_for(milliseconds(100));
    refused.Record(0, Parse(R"(13 ERROR "Virus found")"));
    EXPECT_GE(fresh.Current(), milliseconds(101));
}

// A filter skipped for a trusted sender is passed over in every order and
// never holds the message up.
TEST(MessageOrder, SkippedFilterIsNeverAsked) {
    const Answer ok = Parse("7 OK");
    const std::vector<bool> skipFirst{true, false, false}, skipMiddle{false, true, false};
    Message serial(7, "Queue/7.msg", "Q7", 3, Order::Serial, skipMiddle);
    EXPECT_EQ(serial.Record(0, ok).ask, std::vector<size_t>{2});
    Message staggered(8, "Queue/8.msg", "Q8", 3, Order::Staggered, skipFirst);
    EXPECT_EQ(staggered.Snapshot().asked, (std::vector<bool>{false, true, false}));
    EXPECT_EQ(staggered.AskRest(), std::vector<size_t>{2});
    Message parallel(9, "Queue/9.msg", "Q9", 3, Order::Parallel, skipMiddle);
    EXPECT_EQ(parallel.Snapshot().asked, (std::vector<bool>{true, false, true}));
    parallel.Record(0, ok);
    parallel.Record(2, ok);
    EXPECT_EQ(
        parallel.WaitDecided(std::chrono::steady_clock::now(), std::chrono::seconds(1), nullptr),
        Message::Waited::kDecided);
}

TEST(Envelope, LinesTheFiltersRead) {
    Envelope env;
    env.clientName = "mx.example.org";
    env.clientAddress = "192.0.2.7";
    env.sender = "alice@example.org";
    env.recipients = {"bob@example.net", "carol@x.test"};
    EXPECT_EQ(EnvelopeText(env),
              "S mx.example.org [192.0.2.7]\nP <alice@example.org>\nR <bob@example.net>\n"
              "R <carol@x.test>\n\n");
    EXPECT_EQ(EnvelopeFields(env),
              "X-Envelope-From: <alice@example.org>\nX-Envelope-To: <bob@example.net>\n"
              "X-Envelope-To: <carol@x.test>\n");
    // Null sender, unknown client; hostile bytes cannot end a line or the brackets.
    Envelope odd;
    odd.recipients = {"<ev\nil>>@x\r>", std::string(2000, 'a')};
    EXPECT_EQ(EnvelopeText(odd),
              "S unknown\nP <>\nR <evil@x>\nR <" + std::string(kMaxAddress, 'a') + ">\n\n");
    EXPECT_EQ(EnvelopeFields(odd).substr(0, 54),
              "X-Envelope-From: <>\nX-Envelope-To: <evil@x>\nX-Envelope");
}

TEST(Envelope, ClientAndHeloAsTheMtaRecordsThem) {
    // The MTA hands over "[address]" for a client without a name.
    EXPECT_EQ(ClientName("[127.0.0.1]"), "unknown");
    EXPECT_EQ(ClientName(nullptr), "unknown");
    EXPECT_EQ(ClientName("mx.example.org"), "mx.example.org");
    // A HELO with blanks cannot forge a hop: only its first word counts.
    EXPECT_EQ(HeloWord("  a by trusted.example.net with ESMTPS id X"), "a");
    EXPECT_EQ(HeloWord("h\x01x"), "h");
    EXPECT_EQ(HeloWord(std::string(300, 'h').c_str()), std::string(255, 'h'));
    EXPECT_EQ(TraceProtocol("", false, false), "ESMTP");
    EXPECT_EQ(TraceProtocol("", true, false), "ESMTPS");
    EXPECT_EQ(TraceProtocol("", false, true), "ESMTPA");
    EXPECT_EQ(TraceProtocol("ESMTPS", false, true), "ESMTPSA");
    EXPECT_EQ(TraceProtocol("SMTP", false, false), "SMTP");
}

TEST(Envelope, TraceFieldOfTheLastHop) {
    Envelope env;
    env.clientName = "mx.example.org";
    env.clientAddress = "192.0.2.7";
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(ReceivedField("helo.example.org", env, "mta.test", "ESMTP", "4XkQ1", 0),
              "Received: from helo.example.org (mx.example.org [192.0.2.7])\n"
              "\tby mta.test with ESMTP id 4XkQ1;\n\tThu, 01 Jan 1970 00:00:00 +0000\n");
    // A HELO chosen by the client cannot close the comment or start a line.
    Envelope none;
    EXPECT_EQ(ReceivedField("x) (y\r\nBcc: z", none, "", "", "", 0),
              "Received: from xyBcc:z (unknown)\n\tby localhost with SMTP;\n"
              "\tThu, 01 Jan 1970 00:00:00 +0000\n");
}

TEST(Spool, AppearsWholeUnderItsFinalNameAndIsRemoved) {
    char dirTemplate[] = "/tmp/tw-spool-XXXXXX";
    std::string dir = mkdtemp(dirTemplate);
    Envelope env;
    env.sender = "a@b";
    const std::string envelope = EnvelopeText(env);  // "S unknown\nP <a@b>\n\n"
    const std::string small = "Subject: x\r\n\r\nb\r\n";
    // Longer than the host holds, in chunks as the MTA sends them.
    const std::string large =
        "Subject: x\r\n\r\n" + std::string(3 * SpoolFile::kHeld, 'b') + "\r\n";
    auto spool = [&](SpoolFile& s, const std::string& name, const std::string& text, size_t room) {
        ASSERT_TRUE(s.Open(dir, name, room));
        for (size_t at = 0; at < text.size(); at += 65535)
            ASSERT_TRUE(s.Write(text.data() + at, std::min<size_t>(65535, text.size() - at)));
    };
    {
        SpoolFile s;
        spool(s, "7", large, 64);
        EXPECT_NE(access((dir + "/7.tmp").c_str(), F_OK), -1);
        EXPECT_EQ(access((dir + "/7.msg").c_str(), F_OK), -1);
        // A second writer of the same name is refused, not interleaved.
        SpoolFile clash;
        EXPECT_FALSE(clash.Open(dir, "7", 0));
        // The head, known only at the end, comes first; the room it leaves
        // is filled with envelope lines that every reader skips.
        ASSERT_TRUE(s.Commit(envelope, "Received: x\n"));
        EXPECT_FALSE(s.Rewritten());
        const std::string filler(64 - envelope.size() - 12 - 2, ' ');
        // (Compared whole, not printed: the message is long.)
        EXPECT_TRUE(ReadFile(dir + "/7.msg") ==
                    "S unknown\nP <a@b>\nZ" + filler + "\n\nReceived: x\n" + large);
        EXPECT_EQ(access((dir + "/7.tmp").c_str(), F_OK), -1);
    }
    // Destroyed: the file is gone, committed or not.
    EXPECT_EQ(access((dir + "/7.msg").c_str(), F_OK), -1);
    {
        SpoolFile s;
        ASSERT_TRUE(s.Open(dir, "8", 0));
    }
    EXPECT_EQ(access((dir + "/8.tmp").c_str(), F_OK), -1);
    {
        // A message the host holds whole gets its head exact, whatever the room.
        SpoolFile s;
        spool(s, "10", small, 4096);
        ASSERT_TRUE(s.Commit(envelope, "Received: x\n"));
        EXPECT_EQ(ReadFile(dir + "/10.msg"), envelope + "Received: x\n" + small);
        // A head that outgrew its room (or would leave less than a filler
        // line) makes the file anew, the same bytes.
        for (size_t room : {size_t(8), envelope.size() + 12 + 1}) {
            SpoolFile big;
            spool(big, "11", large, room);
            ASSERT_TRUE(big.Commit(envelope, "Received: x\n"));
            EXPECT_TRUE(big.Rewritten());
            EXPECT_TRUE(ReadFile(dir + "/11.msg") == envelope + "Received: x\n" + large);
        }
    }
    // A file of the final name that this did not make is not replaced.
    {
        SpoolFile s;
        spool(s, "9", small, 0);
        { std::ofstream(dir + "/9.msg") << "theirs"; }
        EXPECT_FALSE(s.Commit("S x\n\n", ""));
        EXPECT_EQ(ReadFile(dir + "/9.msg"), "theirs");
        unlink((dir + "/9.msg").c_str());
    }
    EXPECT_EQ(access((dir + "/9.tmp").c_str(), F_OK), -1);
    rmdir(dir.c_str());
}

TEST(SmtpSubmit, AddressesAndDataForm) {
    engined::StreamTarget t;
    std::string why;
    ASSERT_TRUE(ParseSubmitAddress("127.0.0.1:10026", t, why));
    EXPECT_EQ(t.host + " " + t.port, "127.0.0.1 10026");
    ASSERT_TRUE(ParseSubmitAddress("[::1]:25", t, why));
    EXPECT_EQ(t.host + " " + t.port, "::1 25");
    ASSERT_TRUE(ParseSubmitAddress("unix:/run/smtp.sock", t, why));
    EXPECT_EQ(t.path, "/run/smtp.sock");
    EXPECT_TRUE(t.host.empty());
    for (const char* bad : {"localhost", ":25", "host:", "unix:relative", "unix:"})
        EXPECT_FALSE(ParseSubmitAddress(bad, t, why)) << bad;

    EXPECT_EQ(DotStuffed(""), "");
    EXPECT_EQ(DotStuffed(".\n"), "..\r\n");
    EXPECT_EQ(DotStuffed("a\n.b\r\n..c\nend"), "a\r\n..b\r\n...c\r\nend\r\n");
    EXPECT_EQ(DotStuffed("cr\ralone\n"), "cr\ralone\r\n");
    EXPECT_EQ(DotStuffed("x.\n\n."), "x.\r\n\r\n..\r\n");
}

TEST(Spool, AFiltersWorkingDirectoryLinksToTheBaseOnly) {
    char baseTemplate[] = "/tmp/tw-work-XXXXXX";
    const std::string base = mkdtemp(baseTemplate);
    const std::string dir = FilterWorkDir(base, "Tarnwick-AS");
    ASSERT_EQ(mkdir((base + "/Work").c_str(), 0750), 0);
    ASSERT_EQ(mkdir(dir.c_str(), 0750), 0);
    // Planted links: one elsewhere, one nearly right, one as it must be.
    ASSERT_EQ(symlink("/etc/passwd", (dir + "/whitelist.txt").c_str()), 0);
    ASSERT_EQ(symlink("../../Queue/x", (dir + "/Queue").c_str()), 0);
    ASSERT_EQ(symlink("../../Submitted", (dir + "/Submitted").c_str()), 0);
    struct stat kept;
    ASSERT_EQ(lstat((dir + "/Submitted").c_str(), &kept), 0);
    ASSERT_TRUE(PrepareFilterWorkDir(base, "Tarnwick-AS"));
    for (const char* shared : {"whitelist.txt", "Queue", "Submitted"}) {
        char target[256] = {};
        ASSERT_GT(readlink((dir + "/" + shared).c_str(), target, sizeof target - 1), 0) << shared;
        EXPECT_EQ(std::string(target), std::string("../../") + shared);
    }
    struct stat now;
    ASSERT_EQ(lstat((dir + "/Submitted").c_str(), &now), 0);
    EXPECT_EQ(now.st_ino, kept.st_ino);  // the right link is left as it is
    for (const char* shared : {"whitelist.txt", "Queue", "Submitted"}) unlink((dir + "/" + shared).c_str());
    rmdir(dir.c_str());
    rmdir((base + "/Work").c_str());
    rmdir(base.c_str());
}

TEST(Figures, AnswerTimeBucketsAreCumulative) {
    Figures figures;
    figures.SetFilters({"Tarnwick-AV", "Tarnwick-AS"});
    const long times[] = {0, 3, 7, 30, 30, 30, 600, 2400, 100000};
    for (long ms : times) figures.Answered(1, ms);
    figures.Answered(0, 1);
    const std::string text = figures.Text();
    const std::regex bucket(
        R"re(tarnwick_milter_filter_answer_seconds_bucket\{filter="Tarnwick-AS",le="([^"]+)"\} (\d+))re");
    std::vector<std::pair<std::string, unsigned long>> seen;
    for (std::sregex_iterator it(text.begin(), text.end(), bucket), end; it != end; ++it)
        seen.emplace_back((*it)[1], std::stoul((*it)[2]));
    ASSERT_EQ(seen.size(), Figures::kBucketsMs.size() + 1) << text;
    // Each bucket counts every answer at or below its bound, so none falls
    // as the bound grows, and +Inf counts them all.
    for (size_t b = 0; b < Figures::kBucketsMs.size(); ++b) {
        unsigned long within = 0;
        for (long ms : times) within += ms <= Figures::kBucketsMs[b] ? 1 : 0;
        EXPECT_EQ(seen[b].second, within) << "le=" << seen[b].first;
        if (b > 0) {
            EXPECT_GE(seen[b].second, seen[b - 1].second) << "le=" << seen[b].first;
        }
    }
    EXPECT_EQ(seen.back(), std::make_pair(std::string("+Inf"), 9ul));
    EXPECT_NE(text.find("tarnwick_milter_filter_answer_seconds_count{filter=\"Tarnwick-AS\"} 9\n"),
              std::string::npos);
}
