// Rescaling of engine scores and the score bar.
#include <gtest/gtest.h>

#include "as/as.h"

TEST(Rescale, EngineScoresOntoZeroToHundred) {
    const std::pair<int64_t, int> table[] = {
        {-1000, 0}, {0, 81},    {100, 90},  {101, 90},  {120, 91},
        {300, 100}, {301, 100}, {400, 100}, {-1001, 0}, {-5000000, 0},
        {-999, 0},  {-988, 0},  {-987, 1},  {119, 90},  {99, 89},
    };
    for (const auto& [engine, rescaled] : table)
        EXPECT_EQ(RescaleScore(engine), rescaled) << engine;
}

// Every engine score from below the floor to beyond the cap, against the
// rule read the other way round: the lowest engine score that earns each
// value.  Up to 90 that is the least s with (s + 1000) * 90 >= 1100 * v;
// above it, 100 plus 20 per step.  A value is the number of steps reached.
TEST(Rescale, EveryScoreBetweenTheWorkedPoints) {
    int64_t lowest[101];
    for (int v = 0; v <= 100; ++v)
        lowest[v] = v <= 90 ? (1100 * v + 89) / 90 - 1000 : 100 + 20 * (v - 90);
    for (int64_t s = -1100; s <= 400; ++s) {
        int expected = 0;
        while (expected < 100 && lowest[expected + 1] <= s) ++expected;
        ASSERT_EQ(RescaleScore(s), expected) << s;
    }
}

TEST(Rescale, BarCountsThresholdsStrictlyBelow) {
    const int32_t ranges[] = {0, 39, 76, 84, 90, 99, 100};
    EXPECT_EQ(ScoreBar(0, ranges, 7), "");
    EXPECT_EQ(ScoreBar(1, ranges, 7), "X");
    EXPECT_EQ(ScoreBar(90, ranges, 7), "XXXX");
    EXPECT_EQ(ScoreBar(91, ranges, 7), "XXXXX");
    EXPECT_EQ(ScoreBar(100, ranges, 7), "XXXXXX");
    EXPECT_EQ(ScoreBar(50, ranges, 0), "");
    const int32_t custom[] = {10, 50};
    EXPECT_EQ(ScoreBar(100, custom, 2), "XX");
    EXPECT_EQ(ScoreBar(50, custom, 2), "X");
}
