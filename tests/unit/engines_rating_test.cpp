// The score mapping and the replies of quillon-spamd: the points the README
// promises administrators, and replies for spamd's verdicts and failures.
#include "engines/rating/rating.h"

#include <cstdio>

#include <gtest/gtest.h>

#include "quillon_error.pb.h"

namespace engined {
namespace {

// Tarnwick-AS's rescaling of the engine score onto 0..100.
int Shown(int64_t s) {
    if (s > 300) return 100;
    if (s > 100) return static_cast<int>(90 + (s - 100) / 20);
    return static_cast<int>((s + 1000) * 90 / 1100);
}

TEST(EngineScore, ThresholdLandsOnNinetyAndGtubeOnHundred) {
    struct Case {
        double score;
        int shown;
    } cases[] = {{-10, 0},  {-5, 0}, {-1, 22},  {0, 28},   {2.5, 59},
                 {4.9, 88}, {5, 90}, {7.5, 95}, {10, 100}, {1000, 100}};
    for (const Case& c : cases)
        EXPECT_EQ(Shown(EngineScore(c.score, 5.0)), c.shown) << "score " << c.score;
    // rspamd's threshold is its own unit: Debian's actions (greylist 4, add
    // header 6, reject 15) land where the README says.
    const Case rspamd[] = {{-2, 24},   {0, 28},  {2.4, 38},  {4, 45},   {6, 53},
                           {14.9, 89}, {15, 90}, {22.5, 95}, {30, 100}, {-15, 0}};
    for (const Case& c : rspamd)
        EXPECT_EQ(Shown(EngineScore(c.score, 15.0)), c.shown) << "score " << c.score << " of 15";
    EXPECT_EQ(EngineScore(5.0, 5.0), 100);
    EXPECT_EQ(EngineScore(10.0, 5.0), 300);
    EXPECT_EQ(EngineScore(1002.5, 5.0), 1000);
    EXPECT_EQ(EngineScore(-1e300, 5.0), -1000);
    EXPECT_EQ(EngineScore(1e300, 1e-300), 1000);
    // Without a threshold of its own the scale borrows 5 as its unit.
    EXPECT_EQ(EngineScore(0.0, 0.0), 100);
    EXPECT_EQ(EngineScore(5.0, 0.0), 300);
    EXPECT_EQ(EngineScore(-3.0, -3.0), 100);
}

ql::ClientMessage Request(uint32_t serial) {
    ql::ClientMessage request;
    request.set_tag(ql::ClientMessage::GET_SPAM_REPORT_REQUEST);
    request.set_serial(serial);
    request.set_message("Subject: hello\r\n\r\nhi\r\n");
    return request;
}

TEST(RatingReply, VerdictBecomesAReport) {
    RatingOutcome outcome;
    outcome.verdict = {true, 1002.5, 5.0, "GTUBE,NO_RECEIVED"};
    ql::ServerMessage reply;
    BuildRatingReply(Request(17), outcome, reply);
    ASSERT_TRUE(reply.IsInitialized());
    EXPECT_EQ(reply.tag(), ql::ServerMessage::GET_SPAM_REPORT_RESPONSE);
    EXPECT_EQ(reply.serial(), 17u);
    EXPECT_FALSE(reply.has_error());
    EXPECT_EQ(reply.spam_report().score().state(), ql::VR_SPAM);
    EXPECT_EQ(reply.spam_report().score().score(), 1000);
    EXPECT_EQ(reply.spam_report().details(), "score=1002.5 required=5.0 tests=GTUBE,NO_RECEIVED");
}

TEST(RatingReply, TheEnginesDecisionSetsTheSideOfTheThreshold) {
    struct Case {
        bool spam;
        double score;
        bool forced;
        int shown;
    } cases[] = {
        {true, 2.0, false, 100},  // rspamd forced "reject" on a low score
        {true, -3.0, false, 100},
        {true, 15.0, true, 100},  // GTUBE: not rated
        {true, 15.5, false, 90},  // rated past the threshold: its own place
        {true, 22.5, false, 95},
        {false, 15.0, true, 89},   // a skipped "soft reject" or "greylist" scores the threshold
        {false, 40.0, false, 89},  // a forced "no action"
        {false, 4.0, false, 45},   // rspamd's greylist score, rated
        {false, -15, false, 0},
    };
    for (const Case& c : cases) {
        RatingOutcome outcome;
        outcome.verdict.spam = c.spam;
        outcome.verdict.score = c.score;
        outcome.verdict.threshold = 15.0;
        outcome.verdict.forced = c.forced;
        outcome.verdict.action = c.spam ? "reject" : "no action";
        ql::ServerMessage reply;
        BuildRatingReply(Request(3), outcome, reply, 2);
        EXPECT_EQ(reply.spam_report().score().state(), c.spam ? ql::VR_SPAM : ql::VR_LEGIT);
        EXPECT_EQ(Shown(reply.spam_report().score().score()), c.shown)
            << (c.spam ? "spam " : "ham ") << c.score << (c.forced ? " forced" : "");
    }
}

TEST(RatingReply, HugeNumbersStayWholeInTheDetails) {
    // spamd never sends such numbers, but the parser takes them: the rule
    // names must not be glued onto a cut-off number.
    RatingOutcome outcome;
    outcome.verdict = {false, -1e300, 1e99, "ALL_TRUSTED"};
    ql::ServerMessage reply;
    BuildRatingReply(Request(3), outcome, reply);
    char score[400], threshold[400];
    snprintf(score, sizeof score, "%.1f", -1e300);
    snprintf(threshold, sizeof threshold, "%.1f", 1e99);
    EXPECT_EQ(reply.spam_report().details(),
              std::string("score=") + score + " required=" + threshold + " tests=ALL_TRUSTED");
    EXPECT_EQ(reply.spam_report().score().state(), ql::VR_LEGIT);
    EXPECT_EQ(reply.spam_report().score().score(), -1000);
}

TEST(RatingReply, FailuresBecomeErrorRecords) {
    const struct {
        ExchangeFailure failure;
        ql::ErrorCode code;
    } cases[] = {{ExchangeFailure::kUnreachable, ql::EC_NOT_READY},
                 {ExchangeFailure::kNetwork, ql::EC_NETWORK_ERROR},
                 {ExchangeFailure::kTimeout, ql::EC_NETWORK_TIMEDOUT},
                 {ExchangeFailure::kProtocol, ql::EC_PROTOCOL_VIOLATION}};
    for (const auto& c : cases) {
        RatingOutcome outcome;
        outcome.failure = c.failure;
        outcome.what = "what happened";
        ql::ServerMessage reply;
        BuildRatingReply(Request(9), outcome, reply);
        ASSERT_TRUE(reply.IsInitialized());
        EXPECT_EQ(reply.serial(), 9u);
        EXPECT_FALSE(reply.has_spam_report());
        EXPECT_EQ(reply.error().code(), c.code);
        EXPECT_EQ(reply.error().what(), "what happened");
    }
}

TEST(RatingRequest, BodiesAreReadAndMessagesCut) {
    ql::ClientMessage request = Request(5);
    ql::ClientMessage read;
    ASSERT_TRUE(ReadRatingRequest(request.SerializeAsString(), 7, read));
    EXPECT_EQ(read.serial(), 5u);
    EXPECT_EQ(read.message(), "Subject");
    ASSERT_TRUE(ReadRatingRequest(request.SerializeAsString(), 1 << 20, read));
    EXPECT_EQ(read.message(), request.message());
    // No tag, an unknown tag, not protocol-buffer encoding.
    for (const std::string& body :
         {std::string(), std::string("\x08\x07", 2), std::string("\xff\xff\xff", 3)}) {
        EXPECT_FALSE(ReadRatingRequest(body, 1024, read)) << body.size();
    }
}

}  // namespace
}  // namespace engined
