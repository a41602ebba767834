// Edge cases of the spamd reply and PONG parsers: replies that arrive in
// pieces, end early, lie about their length or carry garbage.
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
    RatingVerdict verdict;
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
    RatingVerdict verdict;
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
        RatingVerdict verdict;
        std::string problem;
        EXPECT_EQ(ParseSpamdReply(c.reply, c.endOfStream, verdict, problem), ReplyStatus::kBad)
            << c.reply.substr(0, 80);
        EXPECT_FALSE(problem.empty()) << c.reply.substr(0, 80);
    }
}

TEST(SpamdReply, ControlCharactersAndZeroBytesInTheRuleListAreMarked) {
    std::string body = std::string("GTUBE,\x01X\0Y\x7f", 11) + "\r\n";
    std::string reply = "SPAMD/1.1 0 EX_OK\r\nContent-length: " + std::to_string(body.size()) +
                        "\r\nSpam: True ; 6 / 5\r\n\r\n" + body;
    RatingVerdict verdict;
    std::string problem;
    ASSERT_EQ(ParseSpamdReply(reply, true, verdict, problem), ReplyStatus::kComplete) << problem;
    // Marked, not dropped: dropped, "X" and "Y" would join into a rule
    // name spamd never sent.
    EXPECT_EQ(verdict.rules, "GTUBE,?X?Y?");
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
