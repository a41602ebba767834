// The pending requests: one serial answered oldest first, the oldest entry
// found after answers in any order, a drained backlog starting afresh, and
// a reused `out` holding nothing of what it held before.
#include "common/engine/pending.h"

#include <gtest/gtest.h>

namespace {

scanListItem Entry(int32_t serial, const std::string& token, int64_t deadlineMs = 0) {
    scanListItem item;
    item.serial = serial;
    item.token = token;
    item.deadlineMs = deadlineMs;
    return item;
}

TEST(PendingRequests, SameSerialOldestFirstAndOldestAfterAnyAnswer) {
    pendingRequests list;
    scanListItem out;
    EXPECT_FALSE(list.Oldest(&out));
    list.Append(Entry(7, "7a"));
    list.Append(Entry(8, "8"));
    list.Append(Entry(7, "7b"));
    list.Append(Entry(9, "9"));

    ASSERT_TRUE(list.Take(8, &out));  // answered out of order
    ASSERT_TRUE(list.Oldest(&out));
    EXPECT_EQ(out.token, "7a");
    ASSERT_TRUE(list.Take(7, &out));
    EXPECT_EQ(out.token, "7a");
    ASSERT_TRUE(list.Oldest(&out));
    EXPECT_EQ(out.token, "7b");
    EXPECT_FALSE(list.Take(8, &out));  // a second reply finds nothing

    std::vector<scanListItem> all = list.Snapshot();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].token, "7b");
    EXPECT_EQ(all[1].token, "9");

    ASSERT_TRUE(list.Take(9, &out));
    ASSERT_TRUE(list.Take(7, &out));
    EXPECT_EQ(list.Size(), 0u);
    EXPECT_FALSE(list.Oldest(&out));
}

TEST(PendingRequests, LargeBacklogDrainsAndStartsAfresh) {
    pendingRequests list;
    scanListItem out;
    for (int32_t i = 0; i < 3000; ++i) list.Append(Entry(i, std::to_string(i)));
    for (int32_t i = 2999; i >= 1; --i) ASSERT_TRUE(list.Take(i, &out)) << i;
    ASSERT_TRUE(list.Oldest(&out));
    EXPECT_EQ(out.token, "0");
    ASSERT_TRUE(list.Take(0, &out));
    EXPECT_FALSE(list.Oldest(&out));
    list.Append(Entry(5, "again"));
    ASSERT_TRUE(list.Oldest(&out));
    EXPECT_EQ(out.token, "again");
}

TEST(PendingRequests, OneOutReusedHoldsOnlyTheEntryTakenLast) {
    // One `out` serves every take (the reader keeps one): what it held
    // before must never come back, neither in it nor in an entry that
    // reuses the slot.
    pendingRequests list;
    scanListItem out;
    scanListItem first = Entry(1, "1");
    first.msgPath = "queue/first";
    first.scanPath = "/base/Temp/message_1.tmp";
    first.envelope = std::string(4000, 'E');  // past what a slot keeps
    first.envLen = first.envelope.size();
    list.Append(first);
    ASSERT_TRUE(list.Take(1, &out));
    EXPECT_EQ(out.scanPath, first.scanPath);
    EXPECT_EQ(out.envelope, first.envelope);

    list.Append(Entry(2, "2"));
    ASSERT_TRUE(list.Oldest(&out));
    EXPECT_EQ(out.token, "2");
    EXPECT_EQ(out.msgPath, "");
    EXPECT_EQ(out.scanPath, "");
    EXPECT_EQ(out.envelope, "");
    out = first;  // a full `out` goes into the slot at the next take
    ASSERT_TRUE(list.Take(2, &out));
    EXPECT_EQ(out.token, "2");
    EXPECT_EQ(out.msgPath, "");
    EXPECT_EQ(out.scanPath, "");
    EXPECT_EQ(out.envelope, "");
    EXPECT_EQ(out.envLen, 0u);

    list.Append(Entry(3, "3"));
    ASSERT_TRUE(list.Take(3, &out));
    EXPECT_EQ(out.token, "3");
    EXPECT_EQ(out.msgPath, "");
    EXPECT_EQ(out.envelope, "");
}

TEST(PendingRequests, OverdueTakenByDeadlineNotHeldBehindALaterOne) {
    pendingRequests list;
    scanListItem out;
    list.Append(Entry(1, "none"));  // no deadline: never taken
    list.Append(Entry(2, "a", 100));
    list.Append(Entry(3, "answered", 150));
    list.Append(Entry(4, "b", 500));
    list.Append(Entry(5, "shortened", 300));  // a reload lowered the timeout
    list.Append(Entry(6, "c", 350));
    ASSERT_TRUE(list.Take(3, &out));

    EXPECT_FALSE(list.TakeOverdue(99, &out));
    ASSERT_TRUE(list.TakeOverdue(400, &out));
    EXPECT_EQ(out.token, "a");
    std::vector<std::string> due;
    while (list.TakeOverdue(400, &out)) due.push_back(out.token);
    EXPECT_EQ(due, (std::vector<std::string>{"shortened", "c"}));
    ASSERT_TRUE(list.TakeOverdue(500, &out));
    EXPECT_EQ(out.token, "b");
    EXPECT_FALSE(list.TakeOverdue(1 << 30, &out));
    EXPECT_EQ(list.Size(), 1u);
    EXPECT_FALSE(list.Take(2, &out));  // a late reply finds nothing

    // Lanes emptied meanwhile do not hold up new entries.
    list.Append(Entry(7, "d", 600));
    ASSERT_TRUE(list.TakeOverdue(600, &out));
    EXPECT_EQ(out.token, "d");
}

}  // namespace
