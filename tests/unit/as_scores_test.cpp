// The anti-spam score statistics: the "Scores" section of the statistics
// file, its load rules, and the histogram of the daily report over default,
// custom and out-of-range score bounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "as/as.h"
#include "common/stats/stats.h"
#include "mail_test_util.h"

namespace {

// Messages answered in the reported period, as the daily report hands it in.
int32_t reportedMessages = 0;

template <class Write>
std::string Capture(Write write) {
    char* data = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&data, &size);
    write(out);
    fclose(out);
    std::string text(data, size);
    free(data);
    return text;
}

class ScoresTest : public ::testing::Test {
  protected:
    void TearDown() override { PublishSettings(nullptr); }
    void Ranges(std::initializer_list<int32_t> ends) {
        auto settings = std::make_shared<asSettings>();
        std::copy(ends.begin(), ends.end(), settings->scoreRange);
        settings->nScoreRanges = static_cast<int32_t>(ends.size());
        PublishSettings(settings);
    }
    std::string Report() {
        return Capture([this](FILE* out) { scores.Report(out, *AsSettings(), reportedMessages); });
    }
    bool AllZero() const {
        for (int i = 0; i <= scoreCounters::maxScore; ++i)
            if (scores.At(i) != 0) return false;
        return true;
    }
    scoreCounters scores;
};

TEST_F(ScoresTest, DefaultRangesWorkedExample) {
    // Before any settings were read the built-in bounds apply.
    scores.Set(0, 2);
    scores.Set(10, 5);
    scores.Set(39, 1);
    scores.Set(100, 3);
    reportedMessages = 11;
    EXPECT_EQ(Report(),
              "Spam Scores:\n\n"
              "Range   Messages\n"
              "    0          2\n"
              " 1-39          6\n"
              "40-76          0\n"
              "77-84          0\n"
              "85-90          0\n"
              "91-99          0\n"
              "  100          3\n"
              "-----------------\n"
              "              11 messages rated\n\n");
    EXPECT_FALSE(AllZero());  // kept until the report has been submitted
    scores.Reset();
    EXPECT_TRUE(AllZero());
}

TEST_F(ScoresTest, CustomAndOddRanges) {
    Ranges({10, 50, 100});
    scores.Set(10, 1);
    scores.Set(11, 2);
    scores.Set(100, 4);
    reportedMessages = 7;
    EXPECT_EQ(Report(),
              "Spam Scores:\n\nRange   Messages\n"
              " 0-   10          1\n"
              "11-50          2\n"
              "51-100          4\n"
              "-----------------\n"
              "               7 messages rated\n\n");

    // Bounds beyond 100, out of order, or negative: only real scores are
    // summed, and scores above the last bound appear nowhere.
    Ranges({-5, 5, 3, 150, 200});
    for (int i = 0; i <= 100; ++i) scores.Set(i, 1);
    reportedMessages = 101;
    EXPECT_EQ(Report(),
              "Spam Scores:\n\nRange   Messages\n"
              " 0-   -5          0\n"
              "-4- 5          6\n"
              " 6- 3          0\n"
              " 4-150         97\n"
              "151-200          0\n"
              "-----------------\n"
              "             101 messages rated\n\n");

    Ranges({});  // no ranges: no lines
    scores.Set(50, 9);
    EXPECT_EQ(Report(),
              "Spam Scores:\n\nRange   Messages\n-----------------\n"
              "             101 messages rated\n\n");
}

TEST_F(ScoresTest, StatisticsSection) {
    auto dump = [this] { return Capture([this](FILE* out) { scores.Dump(out); }); };
    EXPECT_EQ(dump(), "Scores={\n};\n");
    scores.Set(0, 2);
    scores.Set(100, 3);
    EXPECT_EQ(dump(), "Scores={\n\"0\"=2;\n\"100\"=3;\n};\n");

    scores.Set(7, 1);
    auto tree = mailtest::Tree(
        R"(Scores = { "7" = 4; "150" = 9; "-1" = 9; "100" = 5; "8" = {}; "9" = -3; };)");
    scores.Load(cfgfGetDictValue(tree.get(), "Scores", cfgfDictionary));
    EXPECT_EQ(scores.At(7), 4);  // set, not added
    EXPECT_EQ(scores.At(100), 5);
    EXPECT_EQ(scores.At(0), 2);
    EXPECT_EQ(scores.At(8), 0);
    EXPECT_EQ(scores.At(9), 0);
    scores.Load(nullptr);
}

}  // namespace
