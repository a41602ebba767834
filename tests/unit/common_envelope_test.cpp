// The server's envelope at the head of a queue file: both length rules, the
// statistics reading and the whitelist sender.
#include "common/envelope/envelope.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "common/envelope/queuefile.h"
#include "common/stats/reportlist.h"
#include "common/stats/stats.h"
#include "stats_peer.h"

namespace {

// The data goes into a heap block of exactly its size, so that a read past
// the length is caught by the address sanitizer build.
std::unique_ptr<char[]> Exact(const std::string& s) {
    std::unique_ptr<char[]> block(new char[s.size() ? s.size() : 1]);
    memcpy(block.get(), s.data(), s.size());
    return block;
}

int64_t AV(const std::string& s, bool complete = true) {
    return EnvelopeLengthAV(Exact(s).get(), s.size(), complete);
}
uint64_t AS(const std::string& s) {
    return EnvelopeLengthAS(Exact(s).get(), s.size());
}

// The statistics object's lists, looked at under its lock.
enum statList { sourceList, targetList };

const reportObject& pick(const statisticsPeer::inside& in, statList which) {
    return which == sourceList ? in.sources : in.targets;
}

int32_t CountOf(statList which, const std::string& name) {
    return statisticsPeer::Locked([&](const statisticsPeer::inside& in) {
        const reportObject& list = pick(in, which);
        for (int32_t i = 0; i < list.nItems; ++i)
            if (name == list.items[i].name) return list.items[i].count;
        return 0;
    });
}

int32_t TotalOf(statList which) {
    return statisticsPeer::Locked(
        [&](const statisticsPeer::inside& in) { return pick(in, which).nTotal; });
}

class ParseEnvelopeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SetGates(true, true);
        stats.ClearLists();
    }
    void TearDown() override { SetGates(true, true); }
    static void SetGates(bool sources, bool targets) {
        statisticsPeer::Locked([&](const statisticsPeer::inside& in) {
            in.reportSources = sources;
            in.reportTargets = targets;
        });
    }
    static void Parse(const std::string& s) {
        stats.CountEnvelope(Exact(s).get(), static_cast<int64_t>(s.size()));
    }
};

}  // namespace

TEST(EnvelopeLengthAV, FileWithoutEnvelope) {
    EXPECT_EQ(AV(""), 0);
    EXPECT_EQ(AV("From: a@b\n\nbody"), 0);      // header line: a letter, then more letters
    EXPECT_EQ(AV("Subject hello\n\nbody"), 0);  // letter followed by a letter, not a space
    EXPECT_EQ(AV("s lower\n\nbody"), 0);        // lower-case letter
    EXPECT_EQ(AV("1 digit\n\nbody"), 0);
    EXPECT_EQ(AV("S"), 0);  // a lone capital at the end of the file is no envelope line
}

TEST(EnvelopeLengthAV, FileBeginningWithBlankLine) {
    EXPECT_EQ(AV("\r\nFrom: a"), 2);
    EXPECT_EQ(AV("\nFrom: a"), 1);
    EXPECT_EQ(AV("\n\nbody"), 2);  // a lone line feed takes a second one with it
    EXPECT_EQ(AV("\rX"), 1);
    EXPECT_EQ(AV("\r"), 1);
    EXPECT_EQ(AV("\n"), 1);
}

TEST(EnvelopeLengthAV, EnvelopeEndsBehindBlankLine) {
    const std::string env = "P <a@x>\nS host [1.2.3.4]\nR <b@y>\n\n";
    EXPECT_EQ(AV(env + "From: a@x\n\nbody\n"), static_cast<int64_t>(env.size()));

    const std::string crlf = "P <a@x>\r\nS host\r\nR <b@y>\r\n\r\n";
    EXPECT_EQ(AV(crlf + "From: a@x\r\n"), static_cast<int64_t>(crlf.size()));

    // Lone carriage return as blank line: one byte only.
    EXPECT_EQ(AV("S h\n\rFrom"), 5);
    // Blank line followed by another blank line: both line feeds are taken.
    EXPECT_EQ(AV("S h\n\n\nbody"), 6);
}

TEST(EnvelopeLengthAV, NonEnvelopeLineEndsEnvelopeWithoutBlankLine) {
    const std::string env = "S host\nR <b@y>\n";
    EXPECT_EQ(AV(env + "From: a@x\n\nbody"), static_cast<int64_t>(env.size()));
    EXPECT_EQ(AV("S host\nR"), 7);  // one byte left at the end: not an envelope line
}

TEST(EnvelopeLengthAV, DataEndingInsideEnvelope) {
    // The envelope runs to the end of the file, never past it.
    EXPECT_EQ(AV("S host\nR <b@y>\n"), 15);
    EXPECT_EQ(AV("S host\nR <b@"), 12);
    EXPECT_EQ(AV("S host"), 6);
    EXPECT_EQ(AV("S host\n\n"), 8);
    EXPECT_EQ(AV("S host\r\n\r"), 9);

    // More of the file exists: the caller must read on.
    EXPECT_EQ(AV("", false), envelopeNeedMore);
    EXPECT_EQ(AV("S", false), envelopeNeedMore);
    EXPECT_EQ(AV("\r", false), envelopeNeedMore);
    EXPECT_EQ(AV("S host", false), envelopeNeedMore);
    EXPECT_EQ(AV("S host\nR <b@y>\n", false), envelopeNeedMore);
    EXPECT_EQ(AV("S host\nR", false), envelopeNeedMore);
    EXPECT_EQ(AV("S host\n\n", false), envelopeNeedMore);  // a third line feed would belong to it
    EXPECT_EQ(AV("S host\n\nF", false), 8);
    EXPECT_EQ(AV("S host\nFrom", false), 7);
    EXPECT_EQ(AV("From", false), 0);
}

TEST(EnvelopeLengthAV, EveryPrefixAgreesWithTheWholeFile) {
    const std::string files[] = {
        "P <a@x>\r\nS host [10.0.0.1]\r\nR <b@y>\r\nR <c@z>\r\n\r\nFrom: a\r\n\r\nbody\r\n",
        "P <a@x>\nS h\nR <b@y>\nFrom: a\n\nbody\n",
        "S h\n\n\nbody",
        "\r\nbody",
        "Received: x\n\nbody",
    };
    for (const std::string& file : files) {
        const int64_t whole = AV(file);
        ASSERT_GE(whole, 0);
        ASSERT_LE(whole, static_cast<int64_t>(file.size()));
        for (size_t n = 0; n <= file.size(); ++n) {
            const std::string head = file.substr(0, n);
            const int64_t partial = AV(head, n == file.size());
            if (partial != envelopeNeedMore) {
                EXPECT_EQ(partial, whole) << "prefix " << n << " of " << file;
            }
            const int64_t truncated = AV(head, true);
            EXPECT_GE(truncated, 0);
            EXPECT_LE(truncated, static_cast<int64_t>(n));
        }
    }
}

TEST(EnvelopeLengthAS, FirstBlankLine) {
    EXPECT_EQ(AS(""), 0u);
    EXPECT_EQ(AS("From: a\n\nbody"), 0u);
    EXPECT_EQ(AS("\n\nbody"), 0u);
    EXPECT_EQ(AS("S h\nR <a@b>\n\nbody"), 13u);
    EXPECT_EQ(AS("S h\r\nR <a@b>\r\n\r\nbody"), 16u);
    EXPECT_EQ(AS("S h\nR <a@b>\n"), 0u);  // no blank line at all
    // Unlike the anti-virus rule, a header line does not stop the search.
    const std::string mixed = "S h\nFrom: a\n\nbody";
    EXPECT_EQ(AS(mixed), 13u);
    EXPECT_EQ(AV(mixed), 4);
}

TEST(EnvelopeLengthAS, ZeroByteDoesNotHideBlankLine) {
    const std::string env("S h\0st\nR <a@b>\n\n", 16);
    EXPECT_EQ(AS(env + "body"), 16u);
    // The length given is the limit even when the data goes on.
    const std::string file = "S h\nR <a@b>\n\nbody";
    EXPECT_EQ(EnvelopeLengthAS(file.data(), 12), 0u);
}

TEST(IsEnvelopeLine, LetterAndSpace) {
    EXPECT_TRUE(IsEnvelopeLine("A x", 3));
    EXPECT_TRUE(IsEnvelopeLine("Z ", 2));
    EXPECT_FALSE(IsEnvelopeLine("R ", 1));  // the space lies beyond the length
    EXPECT_FALSE(IsEnvelopeLine("a x", 3));
    EXPECT_FALSE(IsEnvelopeLine("@ x", 3));
    EXPECT_FALSE(IsEnvelopeLine("[ x", 3));
    EXPECT_FALSE(IsEnvelopeLine("R\tx", 3));
}

TEST_F(ParseEnvelopeTest, SourceAndRecipientsCounted) {
    Parse("P <s@x>\nS relay.example [10.1.2.3]\nR <a@y>\nR <b@y>\nR <a@y>\n\n");
    EXPECT_EQ(CountOf(sourceList, "relay.example [10.1.2.3]"), 1);
    EXPECT_EQ(TotalOf(sourceList), 1);
    EXPECT_EQ(CountOf(targetList, "a@y"), 2);
    EXPECT_EQ(CountOf(targetList, "b@y"), 1);
    EXPECT_EQ(TotalOf(targetList), 3);
    EXPECT_EQ(CountOf(targetList, "s@x"), 0);  // the sender is no target
}

TEST_F(ParseEnvelopeTest, TwoThreadsLoseNoCount) {
    // The reader thread counts replies while the main thread may take the
    // figures up: the statistics object's lock keeps every count.
    auto work = [](char prefix) {
        for (int i = 0; i < 2000; ++i) {
            const std::string envelope =
                std::string("S gate\nR <") + prefix + std::to_string(i % 300) + "@y>\n\n";
            stats.CountEnvelope(envelope.data(), static_cast<int64_t>(envelope.size()));
        }
    };
    std::thread one(work, 'x');
    std::thread two(work, 'y');
    one.join();
    two.join();
    EXPECT_EQ(TotalOf(targetList), 4000);
    EXPECT_EQ(CountOf(targetList, "x0@y"), 7);
    EXPECT_EQ(CountOf(sourceList, "gate"), 4000);
}

TEST_F(ParseEnvelopeTest, CrLfLineEnds) {
    Parse("S gate\r\nR <a@y>\r\n\r\n");
    EXPECT_EQ(CountOf(sourceList, "gate"), 1);
    EXPECT_EQ(CountOf(sourceList, "gate\r"), 0);
    EXPECT_EQ(CountOf(targetList, "a@y"), 1);
}

TEST_F(ParseEnvelopeTest, MissingSourceCountsUnknown) {
    Parse("R <a@y>\n\n");
    EXPECT_EQ(CountOf(sourceList, "Unknown"), 1);
    stats.CountEnvelope("", 0);
    stats.CountEnvelope("S x\n", -4);
    EXPECT_EQ(CountOf(sourceList, "Unknown"), 3);
    EXPECT_EQ(CountOf(sourceList, "x"), 0);
    EXPECT_EQ(TotalOf(targetList), 1);
}

TEST_F(ParseEnvelopeTest, LongValuesCut) {
    const std::string longAddress(150, 'r');
    const std::string longSource(120, 's');
    Parse("S " + longSource + "\nR <" + longAddress + ">\n\n");
    EXPECT_EQ(CountOf(targetList, longAddress.substr(0, 98)), 1);
    EXPECT_EQ(CountOf(sourceList, longSource.substr(0, 98)), 1);
}

TEST_F(ParseEnvelopeTest, MalformedLinesSkippedAndLengthRespected) {
    // Brackets never pair across lines.
    Parse("R <broken@y\nR x> <c@y>\nR no-brackets\nS\n\n");
    EXPECT_EQ(TotalOf(targetList), 1);
    EXPECT_EQ(CountOf(targetList, "c@y"), 1);
    EXPECT_EQ(CountOf(sourceList, "Unknown"), 1);  // "S" alone is no envelope line
    EXPECT_EQ(TotalOf(sourceList), 1);

    // Header lines that the anti-spam rule takes into the envelope.
    Parse("S gate\nReturn-Path: <bounce@x>\nSubject: <hi>\n\n");
    EXPECT_EQ(CountOf(targetList, "bounce@x"), 0);
    EXPECT_EQ(CountOf(sourceList, "gate"), 1);
    EXPECT_EQ(TotalOf(sourceList), 2);

    // Bytes beyond the length are never looked at.
    const std::string data = "R <abc>\nS extra\n";
    stats.CountEnvelope(data.data(), 5);
    EXPECT_EQ(CountOf(targetList, "abc"), 0);
    EXPECT_EQ(CountOf(sourceList, "extra"), 0);
    EXPECT_EQ(CountOf(sourceList, "Unknown"), 2);

    // A value without line end runs to the end of the data.
    stats.CountEnvelope(data.data() + 8, 7);
    EXPECT_EQ(CountOf(sourceList, "extra"), 1);
}

TEST_F(ParseEnvelopeTest, Gates) {
    SetGates(true, false);
    Parse("S gate\nR <a@y>\n\n");
    EXPECT_EQ(TotalOf(targetList), 0);
    EXPECT_EQ(CountOf(sourceList, "gate"), 1);

    SetGates(false, true);
    Parse("S gate\nR <a@y>\n\n");
    Parse("R <a@y>\n\n");  // no source and no "Unknown" either
    EXPECT_EQ(TotalOf(sourceList), 1);
    EXPECT_EQ(CountOf(targetList, "a@y"), 2);
}

TEST(EnvelopeSender, LastSenderLineCounts) {
    const std::string env = "P <first@x>\nS h\nP <second@x>\nP no brackets\nR <r@y>\n\n";
    EXPECT_EQ(EnvelopeSender(env.data(), env.size()), "second@x");
    EXPECT_EQ(EnvelopeSender("S h\nR <r@y>\n\n", 13), "");
    EXPECT_EQ(EnvelopeSender("P <>\n\n", 6), "");
    EXPECT_EQ(EnvelopeSender("P <a@b>\r\n\r\n", 11), "a@b");
    // Cut off before the closing bracket by the length: not taken.
    EXPECT_EQ(EnvelopeSender("P <a@b>\n", 6), "");
    // Brackets do not pair across lines; a header line is no sender line.
    EXPECT_EQ(EnvelopeSender("P <a@b\nR x>\n", 12), "");
    EXPECT_EQ(EnvelopeSender("P <a@b>\nPriority: <c@d>\n\n", 25), "a@b");

    const std::string longSender(300, 'p');
    const std::string env2 = "P <" + longSender + ">\n\n";
    EXPECT_EQ(EnvelopeSender(env2.data(), env2.size()), longSender.substr(0, 254));
}

// The head buffer is reused from message to message: an envelope that runs
// past the first 64 KiB grows it with what was read carried along, and a
// small message after it is measured on its own bytes only.
TEST(ReadEnvelopeHeadAV, GrowsAndIsReused) {
    char name[] = "/tmp/tw-head-XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    unlink(name);
    auto measure = [fd](const std::string& file, headBuffer& head) {
        EXPECT_EQ(ftruncate(fd, 0), 0);
        EXPECT_EQ(pwrite(fd, file.data(), file.size(), 0), static_cast<ssize_t>(file.size()));
        return ReadEnvelopeHeadAV(fd, file.size(), head);
    };
    std::string big;
    for (int i = 0; big.size() < 200000; ++i) big += "R <user" + std::to_string(i) + "@x>\n";
    big += "\nSubject: s\n\n" + std::string(300000, 'b');
    const size_t bigEnv = big.find("\n\n") + 2;

    headBuffer head;
    EXPECT_EQ(measure(big, head), static_cast<int64_t>(bigEnv));
    EXPECT_GE(head.size, bigEnv);
    EXPECT_EQ(std::string(head.data.get(), bigEnv), big.substr(0, bigEnv));

    // Stale bytes of the big file behind these would change their answers.
    for (const std::string small : {"P <a@b>\nR <c@d>\n", "P <a@b>\n\nbody\n", "R <u0@x>\n"}) {
        EXPECT_EQ(measure(small, head), AV(small)) << small;
        EXPECT_EQ(head.size, small.size());
    }
    close(fd);
}

TEST(WithoutEnvelopeFields, HostEnvelopeFieldsGoOthersStayByteForByte) {
    const std::string kept1 = "Return-Path: <a@b>\r\nX-Envelope-Toolkit: 2\n";
    const std::string kept2 = "Received: from h\n\tby mta;\nSubject: x-envelope-to: here\r\n";
    const std::string kept3 = "To: bob@example.net\n X-Envelope-To: folded, not a field\n";
    const std::string block = "X-Envelope-From: <eve@x.test>\n" + kept1 +
                              "x-envelope-TO: <bob@example.net>,\n\t<hidden@example.net>\r\n"
                              "  <more@example.net>\n" +
                              kept2 + "X-Envelope-To : <old-style@example.net>\n" + kept3 +
                              "X-ENVELOPE-FROM:<last@x.test>";
    EXPECT_EQ(WithoutEnvelopeFields(block), kept1 + kept2 + kept3);
    EXPECT_EQ(WithoutEnvelopeFields(kept1 + kept2 + kept3), kept1 + kept2 + kept3);
}
