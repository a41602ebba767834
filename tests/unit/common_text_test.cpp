// Marker substitution, template decoding and the case-blind comparison
// that every header, notification and command line goes through.
#include <gtest/gtest.h>

#include "common/base/log.h"
#include "common/base/text.h"
#include "common/host/host.h"

TEST(Text, SubstStrReplacesEveryMarkerOnce) {
    std::string t = "^1 [^2]";
    EXPECT_EQ(SubstStr(t, 1, "7"), "7 [^2]");
    EXPECT_EQ(SubstStr(t, 2, "yes"), "7 [yes]");

    std::string twice = "^1^1";
    EXPECT_EQ(SubstStr(twice, 1, "ab"), "abab");
    std::string gone = "^1^1";
    EXPECT_EQ(SubstStr(gone, 1, ""), "");
    std::string null = "a^1b";
    EXPECT_EQ(SubstStr(null, 1, nullptr), "ab");

    std::string selfRef = "x^1y^1";
    EXPECT_EQ(SubstStr(selfRef, 1, "^1"), "x^1y^1");  // inserted text is not scanned again

    std::string empty;
    EXPECT_EQ(SubstStr(empty, 1, "v"), "");
    std::string tail = "end^";
    EXPECT_EQ(SubstStr(tail, 1, "v"), "end^");
    std::string other = "^^1^3";
    EXPECT_EQ(SubstStr(other, 1, "v"), "^v^3");
}

TEST(Text, FprintSDecodesEscapes) {
    std::string out;
    fprintS(out, "Line one\\eLine two");
    EXPECT_EQ(out, "Line one\nLine two");
    out.clear();
    fprintS(out, "say \\\"hi\\\" \\\\ \\q");
    EXPECT_EQ(out, "say \"hi\" \\ q");
    out.clear();
    fprintS(out, "trailing\\");  // never read beyond the end
    EXPECT_EQ(out, "trailing\\");
}

TEST(Text, EqualStringsNoCaseOnlyFoldsLetters) {
    EXPECT_TRUE(EqualStringsNoCase("-debug", "-DEBUG"));
    EXPECT_TRUE(EqualStringsNoCase("-debug", "-Debug"));
    EXPECT_FALSE(EqualStringsNoCase("-debug", "-debugs"));
    EXPECT_FALSE(EqualStringsNoCase("-debug", "--debug"));
    EXPECT_FALSE(EqualStringsNoCase("@", "`"));  // differ in bit 32, but are no letters
    EXPECT_FALSE(EqualStringsNoCase("\xe9", "\xc9"));
}

TEST(Text, ProgramDirectoryFromArgumentZero) {
    EXPECT_EQ(ProgramDirectory("/opt/filter/Tarnwick-AV"), "/opt/filter/");
    EXPECT_EQ(ProgramDirectory("bin/Tarnwick-AV"), "bin/");
    EXPECT_EQ(ProgramDirectory("Tarnwick-AV"), "./");
    EXPECT_EQ(ProgramDirectory("/Tarnwick-AV"), "./");
    EXPECT_EQ(ProgramDirectory(nullptr), "");
}

TEST(Text, AtoiReadsLikeTheCLibraryWithoutOverflow) {
    EXPECT_EQ(xAtoi("  -42abc"), -42);
    EXPECT_EQ(xAtoi("+7"), 7);
    EXPECT_EQ(xAtoi("high"), 0);
    EXPECT_EQ(xAtoi("99999999999"), INT32_MAX);
    EXPECT_EQ(xAtoi("-99999999999"), INT32_MIN);
}

TEST(Text, SkipWrittenResumesAfterAShortWrite) {
    char a[] = "ab", b[] = "cde", c[] = "f";
    struct iovec pieces[3] = {{a, 2}, {b, 3}, {c, 1}};
    struct iovec* iov = pieces;
    int count = 3;
    SkipWritten(iov, count, 3);  // all of the first piece and one byte of the second
    ASSERT_EQ(count, 2);
    EXPECT_EQ(std::string(static_cast<char*>(iov->iov_base), iov->iov_len), "de");
    SkipWritten(iov, count, 2);  // a piece written exactly: nothing of the next is skipped
    ASSERT_EQ(count, 1);
    EXPECT_EQ(std::string(static_cast<char*>(iov->iov_base), iov->iov_len), "f");
    SkipWritten(iov, count, 1);
    EXPECT_EQ(count, 0);
}
