// Counted name lists: the network-merging name order, counting, growth of
// the item vector and the name blocks, report order and percentages.
#include "common/stats/reportlist.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

class ReportListTest : public ::testing::Test {
  protected:
    void TearDown() override { list.Clear(); }
    int32_t CountOf(const std::string& name) const {
        for (int32_t i = 0; i < list.nItems; ++i)
            if (name == list.items[i].name) return list.items[i].count;
        return -1;
    }
    std::string Printed(int32_t limit) {
        char* data = nullptr;
        size_t size = 0;
        FILE* out = open_memstream(&data, &size);
        list.PrintItems(out, limit);
        fclose(out);
        std::string text(data, size);
        free(data);
        return text;
    }
    reportObject list;
};

TEST_F(ReportListTest, NameOrderMergesOneNetwork) {
    list.Add("smtp [192.168.1.10]", 1);
    list.Add("smtp [192.168.1.77]", 1);  // same /24: same item
    list.Add("smtp [192.168.2.10]", 1);  // third number differs
    ASSERT_EQ(list.nItems, 2);
    EXPECT_EQ(CountOf("smtp [192.168.1.10]"), 2);  // named as added first
    EXPECT_EQ(CountOf("smtp [192.168.1.77]"), -1);
    EXPECT_EQ(CountOf("smtp [192.168.2.10]"), 1);
    EXPECT_EQ(list.nTotal, 3);

    // Numbers compare as numbers, not as text.
    EXPECT_LT(reportItemCmp("x [9.0.0.1]", "x [10.0.0.1]"), 0);
    EXPECT_GT(reportItemCmp("x [10.0.0.1]", "x [9.0.0.1]"), 0);
    // "[" at different positions: plain byte order, never merged.
    EXPECT_LT(reportItemCmp("ab[1.2.3.4]", "abc[1.2.3.4]"), 0);
    EXPECT_GT(reportItemCmp("abc[1.2.3.4]", "ab[1.2.3.4]"), 0);
    // Text before the bracket decides first.
    EXPECT_LT(reportItemCmp("a [9.9.9.9]", "b [1.1.1.1]"), 0);
    // Bracketed parts without digits are not compared at all.
    EXPECT_EQ(reportItemCmp("x [abc]", "x [abd]"), 0);
    // Names that end inside the bracket are never read past their end.
    EXPECT_EQ(reportItemCmp("x [1", "x [1"), 0);
    EXPECT_LT(reportItemCmp("x [1", "x [1.2"), 0);
    EXPECT_EQ(reportItemCmp("x [1.2.3", "x [1.2.3.4"), 0);
    EXPECT_NE(reportItemCmp("plain", "plainer"), 0);
}

TEST_F(ReportListTest, CountsAndTotals) {
    list.Add("EICAR", 5);
    list.Add("EICAR", 7);
    EXPECT_EQ(list.nItems, 1);
    EXPECT_EQ(CountOf("EICAR"), 12);
    EXPECT_EQ(list.nTotal, 12);

    list.Add("Zero", 0);  // the item exists, the total stays
    EXPECT_EQ(list.nItems, 2);
    EXPECT_EQ(CountOf("Zero"), 0);
    EXPECT_EQ(list.nTotal, 12);

    // Counts saturate instead of wrapping round to negative.
    list.Add("Big", INT32_MAX);
    list.Add("Big", 5);
    EXPECT_EQ(CountOf("Big"), INT32_MAX);
    EXPECT_EQ(list.nTotal, INT32_MAX);
}

TEST_F(ReportListTest, KeepsNameOrderAndGrowsAtThe255thName) {
    char name[32];
    // Added in a scrambled order; must come out sorted.
    for (int i = 0; i < 254; ++i) {
        snprintf(name, sizeof name, "name%03d", (i * 97) % 254);
        list.Add(name, 1);
    }
    EXPECT_EQ(list.nItems, 254);
    EXPECT_EQ(list.nAllocated, 256);
    list.Add("name254", 1);
    EXPECT_EQ(list.nItems, 255);
    EXPECT_EQ(list.nAllocated, 512);
    EXPECT_EQ(list.items.size(), 512u);
    EXPECT_FALSE(list.inNameOrder);
    list.OrderByName();
    EXPECT_TRUE(list.inNameOrder);
    for (int32_t i = 1; i < list.nItems; ++i)
        EXPECT_LT(reportItemCmp(list.items[i - 1].name, list.items[i].name), 0) << i;
    EXPECT_EQ(list.nTotal, 255);

    list.Clear();
    EXPECT_EQ(list.nItems, 0);
    EXPECT_EQ(list.nTotal, 0);
    EXPECT_EQ(list.nAllocated, 0);
    EXPECT_TRUE(list.items.empty());
    EXPECT_EQ(list.firstBlock, nullptr);
    EXPECT_EQ(list.lastBlock, nullptr);
    list.Add("again", 2);
    EXPECT_EQ(list.nAllocated, 256);
    EXPECT_NE(list.firstBlock, nullptr);
    EXPECT_EQ(list.firstBlock.get(), list.lastBlock);
    EXPECT_EQ(list.blockUsed, 6);
    EXPECT_EQ(CountOf("again"), 2);
}

TEST_F(ReportListTest, NamesSpanBlocksAndOverlongNamesAreCut) {
    const std::string a(20000, 'a'), b(20000, 'b'), c(12766, 'c');
    list.Add(a.c_str(), 1);
    list.Add(b.c_str(), 1);  // does not fit behind a: new block
    EXPECT_NE(list.firstBlock.get(), list.lastBlock);
    list.Add(c.c_str(), 1);  // exactly fills the rest of b's block
    EXPECT_EQ(list.blockUsed, 32768);
    EXPECT_EQ(CountOf(a), 1);
    EXPECT_EQ(CountOf(b), 1);
    EXPECT_EQ(CountOf(c), 1);

    const std::string huge(40000, 'z');
    list.Add(huge.c_str(), 3);
    EXPECT_EQ(CountOf(std::string(32767, 'z')), 3);
    EXPECT_EQ(list.blockUsed, 32768);
    // Counted again, it finds the item it was cut to instead of adding one.
    const int32_t items = list.nItems;
    list.Add(huge.c_str(), 2);
    EXPECT_EQ(list.nItems, items);
    EXPECT_EQ(CountOf(std::string(32767, 'z')), 5);
}

TEST_F(ReportListTest, LookupMergesWhatNameOrderCallsEqual) {
    // Spellings of one network in other bytes (leading zeros, a shorter
    // name, a bracket without digits), given as text or with a length, must
    // land on the item the name order calls equal, and on no other.
    const char* const names[] = {
        "smtp [10.0.0.1]", "smtp [010.0.0.2]", "smtp [10.00.0]",  "smtp [10.0.0",
        "smtp [10.0.",     "smtp [10.0",       "smtp [10.0.1.1]", "smtp [10]",
        "smtp [10.x.0.1]", "smtp [10..0.1]",   "smtp [x]",        "smtp [y]",
        "smtp[10.0.0.1]",  "smtp [10.0.0.1",   "a[1[2.3.4]",      "a[1[2.3.5]",
        "plain",           "plain [",          "plain [[",        "smtp [10.0.0.1]x",
    };
    std::vector<std::string> added;
    for (int round = 0; round < 2; ++round) {
        for (const char* name : names) {
            if (round == 0)
                list.Add(name, 1);
            else
                list.Add(std::string_view(name), 1);
            added.push_back(name);
        }
    }
    // The slow way: a name counts for the first added name equal to it.
    std::vector<std::pair<std::string, int32_t>> expected;
    for (const std::string& name : added) {
        auto it = std::find_if(expected.begin(), expected.end(), [&](const auto& e) {
            return reportItemCmp(e.first.c_str(), name.c_str()) == 0;
        });
        if (it == expected.end())
            expected.emplace_back(name, 1);
        else
            ++it->second;
    }
    ASSERT_EQ(list.nItems, static_cast<int32_t>(expected.size()));
    for (const auto& [name, count] : expected) EXPECT_EQ(CountOf(name), count) << name;
    // Eleven spellings read as 10, 0, 0 (a step without digits reads 0).
    EXPECT_EQ(CountOf("smtp [10.0.0.1]"), 22);
}

TEST_F(ReportListTest, LookupFindsItsItemAcrossReorderings) {
    // Many networks and recipients interleaved, as a day of mail brings
    // them; every count must land on the one item of its name or network.
    char name[64];
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 600; ++i) {
            snprintf(name, sizeof name, "smtp [10.%d.%d.%d]", i % 7, (i * 31) % 300,
                     round * 50 + i % 5);
            list.Add(name, 1);
            snprintf(name, sizeof name, "user%d@example.com", (i * 17) % 400);
            list.Add(name, 1);
        }
        // Reordering for the statistics file and the report moves items;
        // later counts must still find them.
        if (round == 0) list.OrderByName();
        if (round == 1) list.SortForReport();
    }
    EXPECT_EQ(list.nTotal, 3600);
    // 7 x 300 combinations of the first two numbers occur for i < 600 as
    // pairs (i % 7, i * 31 % 300); count them the slow way.
    std::set<std::pair<int, int>> networks;
    for (int i = 0; i < 600; ++i) networks.insert({i % 7, (i * 31) % 300});
    EXPECT_EQ(list.nItems, static_cast<int32_t>(networks.size()) + 400);
    int32_t sum = 0;
    for (int32_t i = 0; i < list.nItems; ++i) sum += list.items[i].count;
    EXPECT_EQ(sum, 3600);
    EXPECT_EQ(CountOf("user0@example.com"), 3 * 2);  // i = 0 and i = 400

    list.OrderByName();
    for (int32_t i = 1; i < list.nItems; ++i)
        EXPECT_LT(reportItemCmp(list.items[i - 1].name, list.items[i].name), 0) << i;
}

TEST_F(ReportListTest, FullListCountsFurtherNamesUnderOther) {
    for (int32_t i = 0; i < maxReportListNames; ++i) list.Add(("v" + std::to_string(i)).c_str(), 1);
    list.Add("v7", 2);  // a known name still counts as itself
    list.Add("new.one", 3);
    list.Add("new.two", 4);
    EXPECT_EQ(list.nItems, maxReportListNames + 1);
    EXPECT_EQ(CountOf("v7"), 3);
    EXPECT_EQ(CountOf("Other"), 7);
    EXPECT_EQ(CountOf("new.one"), -1);
    EXPECT_EQ(list.nTotal, maxReportListNames + 9);
}

TEST_F(ReportListTest, ReportOrderAndPercentages) {
    list.Add("b", 3);
    list.Add("c", 9);
    list.Add("a", 3);
    list.SortForReport();
    ASSERT_EQ(list.nItems, 3);
    EXPECT_STREQ(list.items[0].name, "c");
    EXPECT_STREQ(list.items[1].name, "a");
    EXPECT_STREQ(list.items[2].name, "b");
    EXPECT_LT(cmpReportItems(list.items[0], list.items[1]), 0);

    EXPECT_EQ(ReportPercent(2, 3), 6666);  // truncated, not rounded
    EXPECT_EQ(ReportPercent(1, 3), 3333);
    EXPECT_EQ(ReportPercent(3, 3), 10000);
    EXPECT_EQ(ReportPercent(INT32_MAX, INT32_MAX), 10000);  // no overflow
    EXPECT_EQ(ReportPercent(0, 0), 0);
    EXPECT_EQ(ReportPercent(5, 0), 0);

    EXPECT_EQ(Printed(2),
              "      9  60.00%  c\n"
              "      3  20.00%  a\n");
    EXPECT_EQ(Printed(1000), Printed(3));
}

TEST_F(ReportListTest, ZeroTotalWithItemsPrintsZeroPercent) {
    list.Add("read back with count 0", 0);
    EXPECT_EQ(Printed(10), "      0   0.00%  read back with count 0\n");
}

}  // namespace
