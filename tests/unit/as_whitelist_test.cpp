// Sender whitelist: loading rules, the pattern matcher and the log lines.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "as/as.h"

namespace {

// A reference matcher written the obvious way (dynamic programming over
// pattern and text), to hold the one-pass matcher against.
bool ReferenceMatch(const std::string& p, const std::string& t) {
    std::vector<std::vector<bool>> m(p.size() + 1, std::vector<bool>(t.size() + 1, false));
    m[p.size()][t.size()] = true;
    for (size_t i = p.size(); i-- > 0;) {
        for (size_t j = t.size() + 1; j-- > 0;) {
            if (p[i] == '*') {
                m[i][j] = m[i + 1][j] || (j < t.size() && m[i][j + 1]);
            } else if (j < t.size() && (p[i] == '?' || tolower(p[i]) == tolower(t[j]))) {
                m[i][j] = m[i + 1][j + 1];
            }
        }
    }
    return m[0][0];
}

std::string Logged(const std::function<void()>& action) {
    testing::internal::CaptureStdout();
    action();
    return testing::internal::GetCapturedStdout();
}

// Runs `action` in a fresh directory holding whitelist.txt with `content`
// (no file at all when content is null).
void InScratchDirectory(const char* content, const std::function<void()>& action) {
    char dirTemplate[] = "/tmp/tw-whitelist-XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(dirTemplate), 0);
    if (content) {
        FILE* f = fopen(whitelist_file_name, "w");
        ASSERT_NE(f, nullptr);
        fputs(content, f);
        fclose(f);
    }
    action();
    unlink(whitelist_file_name);
    ASSERT_EQ(chdir(previous), 0);
    rmdir(dirTemplate);
}

}  // namespace

TEST(Wildcmp, StarAndQuestionMark) {
    EXPECT_TRUE(wildcmp("a?z", "abz"));
    EXPECT_FALSE(wildcmp("a?z", "az"));
    EXPECT_FALSE(wildcmp("a?z", "abbz"));
    EXPECT_TRUE(wildcmp("a*z", "az"));
    EXPECT_TRUE(wildcmp("a*z", "abz"));
    EXPECT_TRUE(wildcmp("a*z", "abbz"));
    EXPECT_FALSE(wildcmp("a*z", "abza"));
    EXPECT_FALSE(wildcmp("abc?", "abc"));  // "?" never matches the end
    EXPECT_TRUE(wildcmp("*", ""));
    EXPECT_TRUE(wildcmp("**", "anything"));
    EXPECT_TRUE(wildcmp("*@example.com", "bob@example.com"));
    EXPECT_FALSE(wildcmp("*@example.com", "bob@example.com.evil"));
    EXPECT_TRUE(wildcmp("*ab*cd", "xabyabcd"));  // needs the back-tracking point moved
    EXPECT_TRUE(wildcmp("*aab", "aaaab"));
    EXPECT_FALSE(wildcmp("exact@x", "exact@xy"));
    EXPECT_FALSE(wildcmp("exact@xy", "exact@x"));
    EXPECT_FALSE(wildcmp("", "a"));
    EXPECT_TRUE(wildcmp("", ""));
}

TEST(Wildcmp, LettersRegardlessOfCase) {
    EXPECT_TRUE(wildcmp("alice@example.com", "ALICE@Example.COM"));
    EXPECT_TRUE(wildcmp("ALICE@*", "alice@example.com"));      // before the first star
    EXPECT_TRUE(wildcmp("*@EXAMPLE.com", "Bob@example.COM"));  // after it
    EXPECT_FALSE(wildcmp("a[b", "a{b"));  // only letters fold: '[' and '{' differ by 32
}

TEST(Wildcmp, AgreesWithReferenceMatcher) {
    std::mt19937 rng(20201201);
    const char patternChars[] = "abA*?";
    const char textChars[] = "abB";
    for (int round = 0; round < 20000; ++round) {
        std::string p, t;
        for (int n = rng() % 7; n > 0; --n) p += patternChars[rng() % 5];
        for (int n = rng() % 8; n > 0; --n) t += textChars[rng() % 3];
        ASSERT_EQ(wildcmp(p.c_str(), t.c_str()) != 0, ReferenceMatch(p, t)) << p << " vs " << t;
    }
}

TEST(Wildcmp, ManyStarsStayFast) {
    // A recursive matcher takes exponential time here.
    const std::string pattern = "*a*a*a*a*a*a*a*a*a*a*a*a*b";
    const std::string text(3000, 'a');
    EXPECT_FALSE(wildcmp(pattern.c_str(), text.c_str()));
}

TEST(Whitelist, LoadingRulesPerLine) {
    class whitelist list;
    list.Add("# a comment\n");
    list.Add("\n");
    list.Add("");
    list.Add("?\n");
    list.Add("ab\n");
    list.Add("ab\r\n");  // two characters once the line end is gone
    EXPECT_EQ(list.Size(), 0u);

    list.Add("a*b\n");
    list.Add(" #not-a-comment\n");
    list.Add("Upper@Example.COM");
    EXPECT_EQ(list.Size(), 3u);
    const std::string log = Logged([&] {
        EXPECT_TRUE(list.IsListed("aXXb"));
        EXPECT_TRUE(list.IsListed(" #not-a-comment"));
        EXPECT_FALSE(list.IsListed("ac"));
    });
    EXPECT_EQ(log,
              "* aXXb is whitelisted by a*b\n"
              "*  #not-a-comment is whitelisted by  #not-a-comment\n");
}

TEST(Whitelist, CaseAndBlanks) {
    class whitelist list;
    list.Add("Upper@Example.COM\n");
    list.Add("  lead@x.org\n");
    std::string log = Logged([&] {
        EXPECT_TRUE(list.IsListed("upper@example.com"));
        EXPECT_TRUE(list.IsListed("UPPER@EXAMPLE.COM"));
        EXPECT_FALSE(list.IsListed("lead@x.org"));
        EXPECT_TRUE(list.IsListed("  lead@x.org"));
    });
    // The stored pattern is the lower-cased one.
    EXPECT_EQ(log,
              "* upper@example.com is whitelisted by upper@example.com\n"
              "* UPPER@EXAMPLE.COM is whitelisted by upper@example.com\n"
              "*   lead@x.org is whitelisted by   lead@x.org\n");
}

TEST(Whitelist, FirstMatchingPatternLogged) {
    class whitelist list;
    list.Add("*@example.com\n");
    list.Add("bob@*\n");
    std::string log = Logged([&] { EXPECT_TRUE(list.IsListed("bob@example.com")); });
    EXPECT_EQ(log, "* bob@example.com is whitelisted by *@example.com\n");

    log = Logged([&] { EXPECT_TRUE(list.IsListed("bob@other.org")); });
    EXPECT_EQ(log, "* bob@other.org is whitelisted by bob@*\n");

    log = Logged([&] { EXPECT_FALSE(list.IsListed("eve@other.org")); });
    EXPECT_EQ(log, "");  // no match, no line
}

TEST(Whitelist, FirstInFileOrderAmongManyPatterns) {
    // Patterns found through their fixed end and patterns tried one by one
    // (a "?" in the end, or no fixed end) must still give the first match
    // in file order, against the plain walk over every pattern.
    std::mt19937 rng(11);
    const char* const shapes[] = {"*@d%u.example.com",
                                  "u%u@*",
                                  "*%u.example.com",
                                  "u%u@d?.example.com",
                                  "u%u@d%u.example.com",
                                  "*@d%u.ex*.com",
                                  "u%u*",
                                  "*.com"};
    std::vector<std::string> patterns;
    class whitelist list;
    for (int i = 0; i < 400; ++i) {
        char text[64];
        snprintf(text, sizeof text, shapes[rng() % 8], static_cast<unsigned>(rng() % 30),
                 static_cast<unsigned>(rng() % 30));
        if (i < 300 && std::string(text) == "*.com")
            continue;  // keep most addresses unlisted by it
        patterns.push_back(text);
        list.Add(std::string(text) + "\n");
    }
    int listed = 0;
    for (int i = 0; i < 300; ++i) {
        char address[64];
        snprintf(address, sizeof address, i % 3 ? "U%u@d%u.example.com" : "u%u@D%u.example.org",
                 static_cast<unsigned>(rng() % 200), static_cast<unsigned>(rng() % 60));
        std::string expected;
        for (const std::string& p : patterns) {
            if (ReferenceMatch(p, address)) {
                expected = std::string("* ") + address + " is whitelisted by " + p + "\n";
                break;
            }
        }
        bool result = false;
        EXPECT_EQ(Logged([&] { result = list.IsListed(address); }), expected) << address;
        EXPECT_EQ(result, !expected.empty());
        listed += result;
    }
    EXPECT_GT(listed, 30);  // both outcomes are exercised
    EXPECT_LT(listed, 300);
}

// The fixed end of a pattern against addresses as long as it, one shorter
// and one longer: the star may stand for nothing, and a pattern ending in
// a star has no fixed end at all.
TEST(Whitelist, FixedEndAtItsBoundaries) {
    const char* const patterns[] = {"*bob@x.org", "bob@x.org", "bob@*", "b*b@x.org", "*b@?.org", "b?b*"};
    const char* const addresses[] = {"bob@x.org", "ob@x.org", "abob@x.org", "bob@x.or", "bob@", "bo", "bob"};
    for (const char* p : patterns) {
        class whitelist list;
        list.Add(std::string(p) + "\n");
        for (const char* a : addresses) {
            bool listed = false;
            Logged([&] { listed = list.IsListed(a); });
            EXPECT_EQ(listed, ReferenceMatch(p, a)) << p << " against " << a;
        }
    }
}

TEST(Whitelist, CarriageReturnRemoved) {
    class whitelist list;
    list.Add("user@x.org\r\n");
    list.Add("*@crlf.net\r");
    std::string log = Logged([&] {
        EXPECT_TRUE(list.IsListed("user@x.org"));
        EXPECT_TRUE(list.IsListed("a@crlf.net"));
    });
    EXPECT_EQ(log.find('\r'), std::string::npos);
}

TEST(Whitelist, LongLineBecomesSeveralPatterns) {
    class whitelist list;
    const std::string longLine = std::string(1023, 'x') + std::string(477, 'y') + "\n";
    list.Add(longLine);
    EXPECT_EQ(list.Size(), 2u);
    Logged([&] {
        EXPECT_TRUE(list.IsListed(std::string(1023, 'X').c_str()));
        EXPECT_TRUE(list.IsListed(std::string(477, 'y').c_str()));
    });
}

TEST(Whitelist, InitializeFromFile) {
    InScratchDirectory(
        "# senders we trust\n"
        "*@Partner.example\r\n"
        "\n"
        "boss@corp.example\n"
        "#   another comment\n"
        "ab\n"
        "news-??@list.example",  // last line without line feed
        [] {
            class whitelist list;
            const std::string log = Logged([&] { list.Initialize(); });
            EXPECT_EQ(log, "* 3 items read from whitelist.txt\n");
            EXPECT_EQ(list.Size(), 3u);
            Logged([&] {
                EXPECT_TRUE(list.IsListed("joe@partner.example"));
                EXPECT_TRUE(list.IsListed("Boss@Corp.Example"));
                EXPECT_TRUE(list.IsListed("news-42@list.example"));
                EXPECT_FALSE(list.IsListed("news-4@list.example"));
            });
        });
}

TEST(Whitelist, MissingFileLogsNothing) {
    InScratchDirectory(nullptr, [] {
        class whitelist list;
        const std::string log = Logged([&] { list.Initialize(); });
        EXPECT_EQ(log, "");
        EXPECT_EQ(list.Size(), 0u);
        EXPECT_FALSE(list.IsListed("anyone@anywhere"));
    });
}
