// Edge cases of the spamd reply parser and the address reader: replies that
// arrive in pieces, end early, lie about their length or carry garbage.
#include "engines/spamd/spamd_client.h"

#include <gtest/gtest.h>

namespace engined {
namespace {

const std::string kGtubeReply =
    "SPAMD/1.1 0 EX_OK\r\n"
    "Content-length: 24\r\n"
    "Spam: True ; 1002.5 / 5.0\r\n"
    "\r\n"
    "GTUBE,MISSING_DATE,NO_RE";

TEST(SpamdReply, CompleteReplyInPiecesAndWhole) {
    SpamdVerdict verdict;
    std::string problem;
    // Every proper prefix is incomplete while the stream is open.
    for (size_t cut = 0; cut < kGtubeReply.size(); ++cut) {
        EXPECT_EQ(ParseSpamdReply(kGtubeReply.substr(0, cut), false, verdict, problem),
                  ReplyStatus::kIncomplete)
            << "cut at " << cut;
    }
    ASSERT_EQ(ParseSpamdReply(kGtubeReply, false, verdict, problem), ReplyStatus::kComplete)
        << problem;
    EXPECT_TRUE(verdict.spam);
    EXPECT_DOUBLE_EQ(verdict.score, 1002.5);
    EXPECT_DOUBLE_EQ(verdict.threshold, 5.0);
    EXPECT_EQ(verdict.rules, "GTUBE,MISSING_DATE,NO_RE");

    // Bytes past the Content-length are not part of the rule list.
    ASSERT_EQ(ParseSpamdReply(kGtubeReply + "CEIVED\r\n", true, verdict, problem),
              ReplyStatus::kComplete);
    EXPECT_EQ(verdict.rules, "GTUBE,MISSING_DATE,NO_RE");
}

TEST(SpamdReply, HamWithNegativeScoreBareLineFeedsAndNoLength) {
    const std::string reply = "SPAMD/1.1 0 EX_OK\nspam: no ; -0.1 / 5.0\n\nALL_TRUSTED\n";
    SpamdVerdict verdict;
    std::string problem;
    // Without a Content-length only the end of the stream closes the body.
    EXPECT_EQ(ParseSpamdReply(reply, false, verdict, problem), ReplyStatus::kIncomplete);
    ASSERT_EQ(ParseSpamdReply(reply, true, verdict, problem), ReplyStatus::kComplete) << problem;
    EXPECT_FALSE(verdict.spam);
    EXPECT_DOUBLE_EQ(verdict.score, -0.1);
    EXPECT_EQ(verdict.rules, "ALL_TRUSTED");
}

TEST(SpamdReply, RefusedCutShortOrMalformedRepliesAreBad) {
    struct Case {
        std::string reply;
        bool endOfStream;
    } cases[] = {
        {"", true},                                                     // closed at once
        {"SPAMD/1.0 76 Bad header line: (EOF)\r\n", false},             // refusal
        {"HTTP/1.1 200 OK\r\n\r\n", false},                             // someone else
        {"SPAMD/1.1\r\n", false},                                       // no code
        {"SPAMD/1.1 0 EX_OK\r\nContent-length: 3\r\n\r\n", false},      // no Spam header
        {"SPAMD/1.1 0 EX_OK\r\nSpam: Maybe ; 1 / 5\r\n\r\n", true},     // bad flag
        {"SPAMD/1.1 0 EX_OK\r\nSpam: True ; nan / 5\r\n\r\n", true},    // not a number
        {"SPAMD/1.1 0 EX_OK\r\nSpam: True ; 1e999 / 5\r\n\r\n", true},  // infinite
        {"SPAMD/1.1 0 EX_OK\r\nSpam: True 6 / 5\r\n\r\n", true},        // no separator
        {"SPAMD/1.1 0 EX_OK\r\nContent-length: 99999999\r\nSpam: True ; 6 / 5\r\n\r\n",
         false},  // oversized
        {"SPAMD/1.1 0 EX_OK\r\nContent-length: -1\r\nSpam: True ; 6 / 5\r\n\r\n",
         false},  // negative
        {"SPAMD/1.1 0 EX_OK\r\nContent-length: 10\r\nSpam: True ; 6 / 5\r\n\r\nGTUBE",
         true},                                                 // body cut
        {"SPAMD/1.1 0 EX_OK\r\nSpam: True ; 6 / 5\r\n", true},  // header cut
        {"SPAMD/1.1 0 EX_OK\r\nno colon here\r\n\r\n", false},
        {std::string(maxSpamdHeader, 'S'), false},                            // endless status line
        {"SPAMD/1.1 0 EX_OK\r\n" + std::string(maxSpamdHeader, 'X'), false},  // endless header
    };
    for (const Case& c : cases) {
        SpamdVerdict verdict;
        std::string problem;
        EXPECT_EQ(ParseSpamdReply(c.reply, c.endOfStream, verdict, problem), ReplyStatus::kBad)
            << c.reply.substr(0, 80);
        EXPECT_FALSE(problem.empty()) << c.reply.substr(0, 80);
    }
}

TEST(SpamdReply, ControlCharactersAndZeroBytesLeaveTheRuleList) {
    std::string body = std::string("GTUBE,\x01X\0Y\x7f", 11) + "\r\n";
    std::string reply = "SPAMD/1.1 0 EX_OK\r\nContent-length: " + std::to_string(body.size()) +
                        "\r\nSpam: True ; 6 / 5\r\n\r\n" + body;
    SpamdVerdict verdict;
    std::string problem;
    ASSERT_EQ(ParseSpamdReply(reply, true, verdict, problem), ReplyStatus::kComplete) << problem;
    EXPECT_EQ(verdict.rules, "GTUBE,XY");
}

TEST(SpamdAddressText, HostPortForms) {
    SpamdAddress address;
    ASSERT_TRUE(ParseHostPort("127.0.0.1:783", address));
    EXPECT_EQ(address.host, "127.0.0.1");
    EXPECT_EQ(address.port, "783");
    ASSERT_TRUE(ParseHostPort("[::1]:7830", address));
    EXPECT_EQ(address.host, "::1");
    EXPECT_EQ(address.port, "7830");
    EXPECT_EQ(address.Text(), "[::1]:7830");
    EXPECT_FALSE(ParseHostPort("localhost", address));
    EXPECT_FALSE(ParseHostPort(":783", address));
    EXPECT_FALSE(ParseHostPort("localhost:", address));
    EXPECT_FALSE(ParseHostPort("[::1]783", address));
}

TEST(SpamdPoolMembers, ListsAndSocketsAddUpToTheLimit) {
    std::vector<SpamdAddress> members;
    std::string problem;
    ASSERT_TRUE(AddSpamdHosts("10.0.0.1:783, [::1]:783,spamd.example:7830", members, problem))
        << problem;
    ASSERT_TRUE(AddSpamdSocket("/run/spamd,a.sock", members, problem)) << problem;
    ASSERT_EQ(members.size(), 4u);
    EXPECT_EQ(members[1].Text(), "[::1]:783");
    EXPECT_EQ(members[2].host, "spamd.example");
    EXPECT_EQ(members[3].socketPath, "/run/spamd,a.sock");  // a path is taken whole

    // A refused list adds none of its entries.
    for (const char* bad : {"10.0.0.2:783,", "10.0.0.2:783,,10.0.0.3:783", "10.0.0.2",
                            "10.0.0.2:783,10.0.0.1:783", "10.0.0.2:783,10.0.0.2:783"}) {
        problem.clear();
        EXPECT_FALSE(AddSpamdHosts(bad, members, problem)) << bad;
        EXPECT_FALSE(problem.empty()) << bad;
        EXPECT_EQ(members.size(), 4u) << bad;
    }
    EXPECT_FALSE(AddSpamdSocket("", members, problem));
    EXPECT_FALSE(AddSpamdSocket("/run/spamd,a.sock", members, problem));
    EXPECT_FALSE(AddSpamdSocket("/" + std::string(200, 'x'), members, problem));

    std::string many;
    for (size_t i = members.size(); i < maxSpamdMembers; ++i)
        many += (many.empty() ? "" : ",") + ("h" + std::to_string(i) + ":783");
    ASSERT_TRUE(AddSpamdHosts(many, members, problem)) << problem;
    EXPECT_EQ(members.size(), maxSpamdMembers);
    EXPECT_FALSE(AddSpamdSocket("/run/one-more.sock", members, problem));
    EXPECT_EQ(members.size(), maxSpamdMembers);
}

TEST(SpamdPong, OnlyAZeroStatusPongCounts) {
    std::string problem;
    EXPECT_EQ(ParsePongReply("SPAMD/1.5 0 PONG\r\n", false, problem), ReplyStatus::kComplete);
    EXPECT_EQ(ParsePongReply("SPAMD/1.5 0 PO", false, problem), ReplyStatus::kIncomplete);
    EXPECT_EQ(ParsePongReply("SPAMD/1.5 0 PO", true, problem), ReplyStatus::kBad);
    EXPECT_EQ(ParsePongReply("SPAMD/1.0 76 Bad header line: PING\r\n", false, problem),
              ReplyStatus::kBad);
    EXPECT_EQ(ParsePongReply("HTTP/1.1 0 PONG\r\n", false, problem), ReplyStatus::kBad);
    EXPECT_EQ(ParsePongReply(std::string(200, 'S'), false, problem), ReplyStatus::kBad);
}

}  // namespace
}  // namespace engined
