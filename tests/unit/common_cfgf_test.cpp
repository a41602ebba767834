// The configuration language: trees, line numbers, every report text, and
// the edges of the syntax (end of file inside items, nesting, escapes).
#include <sys/stat.h>

#include <atomic>
#include <regex>
#include <thread>

#include "common/config/cfgf.h"
#include "tests/unit/cfg_test_util.h"

using cfgtest::Capture;

namespace {

struct parsed {
    std::unique_ptr<cfgfItem> tree;
    std::string output;
};

parsed Parse(const std::string& text) {
    parsed p;
    p.output = Capture([&] { p.tree = cfgfReadConfigText(text, "t.cfg"); });
    return p;
}

std::string Report(const std::string& lineAndMsg) {
    return "* Error in t.cfg " + lineAndMsg;
}

TEST(CfgfRead, BuildsTreeWithLinesCountsAndFileOrder) {
    parsed p = Parse(
        "# settings\n"
        "Socket = \"/var/run/scan.sock\";   # trailing comment\n"
        "Mode = Reject;\n"
        "List = (a, b c,\n"
        "  \"d e\",);\n"
        "Nested = {\n"
        "  Inner = ( (x) {k=v;} );\n"
        "};\n"
        "Mode = Discard;\n");
    ASSERT_TRUE(p.tree);
    EXPECT_EQ(p.output, "");
    const cfgfItem* top = p.tree.get();
    EXPECT_EQ(top->type, cfgfDictionary);
    EXPECT_EQ(top->line, 1);
    EXPECT_EQ(top->count, 5);
    EXPECT_STREQ(cfgfGetDictNthKey(top, 0), "Socket");
    EXPECT_STREQ(cfgfGetDictNthKey(top, 4), "Mode");

    const cfgfItem* socket = cfgfGetDictValue(top, "Socket", cfgfString);
    ASSERT_TRUE(socket);
    EXPECT_EQ(socket->data, "/var/run/scan.sock");
    EXPECT_EQ(socket->count, 18);
    EXPECT_EQ(socket->line, 2);

    // The later of two equal keys wins; keys compare case-sensitively.
    EXPECT_STREQ(cfgfGetDictValueStr(top, "Mode"), "Discard");
    EXPECT_EQ(cfgfGetDictValue(top, "Mode", cfgfString)->line, 9);
    EXPECT_EQ(cfgfGetDictValueStr(top, "mode"), nullptr);
    EXPECT_STREQ(cfgfGetDictNthValue(top, 1)->data.c_str(), "Reject");

    const cfgfItem* list = cfgfGetDictValue(top, "List", cfgfArray);
    ASSERT_TRUE(list);
    EXPECT_EQ(list->line, 4);
    ASSERT_EQ(list->count, 4);
    EXPECT_EQ(cfgfGetArrayValue(list, 0)->data, "a");
    EXPECT_EQ(cfgfGetArrayValue(list, 1)->data, "b");
    EXPECT_EQ(cfgfGetArrayValue(list, 2)->data, "c");
    EXPECT_EQ(cfgfGetArrayValue(list, 3)->data, "d e");
    EXPECT_EQ(cfgfGetArrayValue(list, 3)->line, 5);
    EXPECT_EQ(cfgfGetArrayValue(list, 4), nullptr);
    EXPECT_EQ(cfgfGetArrayValue(list, -1), nullptr);

    const cfgfItem* nested = cfgfGetDictValue(top, "Nested", cfgfDictionary);
    ASSERT_TRUE(nested);
    EXPECT_EQ(nested->line, 6);
    const cfgfItem* inner = cfgfGetDictValue(nested, "Inner", cfgfArray);
    ASSERT_TRUE(inner);
    EXPECT_EQ(inner->line, 7);
    ASSERT_EQ(inner->count, 2);
    EXPECT_EQ(cfgfGetArrayValue(inner, 0)->type, cfgfArray);
    EXPECT_EQ(cfgfGetArrayValue(cfgfGetArrayValue(inner, 0), 0)->data, "x");
    EXPECT_STREQ(cfgfGetDictValueStr(cfgfGetArrayValue(inner, 1), "k"), "v");
}

TEST(CfgfRead, EmptyInputsAndTopLevelBrace) {
    for (const char* text : {"", "   \t\r\n\n", "# only a comment", "# one\n\n# two\n"}) {
        parsed p = Parse(text);
        ASSERT_TRUE(p.tree) << text;
        EXPECT_EQ(p.tree->type, cfgfDictionary);
        EXPECT_EQ(p.tree->count, 0);
        EXPECT_EQ(p.output, "");
    }
    // Everything after a "}" where a key could begin is ignored, garbage included.
    parsed p = Parse("a = b;\n}\nc = d;\n((( nonsense");
    ASSERT_TRUE(p.tree);
    EXPECT_EQ(p.output, "");
    EXPECT_EQ(p.tree->count, 1);
    EXPECT_EQ(cfgfGetDictValueStr(p.tree.get(), "c"), nullptr);

    parsed empties = Parse("d = {};\na = ();\n");
    ASSERT_TRUE(empties.tree);
    EXPECT_EQ(cfgfGetDictValue(empties.tree.get(), "d", cfgfDictionary)->count, 0);
    EXPECT_EQ(cfgfGetDictValue(empties.tree.get(), "a", cfgfArray)->count, 0);
}

TEST(CfgfRead, StringForms) {
    std::string text =
        "e = \"one\\etwo\";\n"       // backslash-e stays two characters
        "q = \"\\q\\\"\\\\\\n\";\n"  // \q \" \\ \n -> q " \ n
        "h = \"a # b\";\n"           // "#" inside quotes is text
        "b = ab# comment ends the bare string\n"
        ";\n"
        "s = \"two\\\nlines\";\n"  // escaped line feed: kept, not counted
        "after = x;\n"
        "m = a!-.@_Z9;\n";
    parsed p = Parse(text);
    ASSERT_TRUE(p.tree) << p.output;
    EXPECT_EQ(p.output, "");
    const cfgfItem* t = p.tree.get();
    EXPECT_STREQ(cfgfGetDictValueStr(t, "e"), "one\\etwo");
    EXPECT_STREQ(cfgfGetDictValueStr(t, "q"), "q\"\\n");
    EXPECT_STREQ(cfgfGetDictValueStr(t, "h"), "a # b");
    EXPECT_STREQ(cfgfGetDictValueStr(t, "b"), "ab");
    EXPECT_STREQ(cfgfGetDictValueStr(t, "s"), "two\nlines");
    EXPECT_EQ(cfgfGetDictValue(t, "after", cfgfString)->line, 7);
    EXPECT_STREQ(cfgfGetDictValueStr(t, "m"), "a!-.@_Z9");

    // No length limit on keys and values; a zero byte inside quotes is text.
    std::string longKey(5000, 'k');
    std::string longValue(20000, 'v');
    std::string zero("a\0b", 3);
    parsed big = Parse(longKey + " = \"" + longValue + "\";\nz = \"" + zero + "\";");
    ASSERT_TRUE(big.tree);
    EXPECT_EQ(cfgfGetDictValue(big.tree.get(), longKey.c_str(), cfgfString)->data, longValue);
    const cfgfItem* z = cfgfGetDictValue(big.tree.get(), "z", cfgfString);
    EXPECT_EQ(z->data, zero);
    EXPECT_EQ(z->count, 3);
}

TEST(CfgfRead, ArraySeparators) {
    parsed p = Parse("a = (1 2 3);\nb = (1,2,3);\nc = (1, 2 ,3,);\nd = (1,2 3);\n");
    ASSERT_TRUE(p.tree);
    for (const char* key : {"a", "b", "c", "d"}) {
        const cfgfItem* arr = cfgfGetDictValue(p.tree.get(), key, cfgfArray);
        ASSERT_TRUE(arr) << key;
        ASSERT_EQ(arr->count, 3) << key;
        EXPECT_EQ(cfgfGetArrayValue(arr, 2)->data, "3") << key;
    }
    parsed comma = Parse("k = (,a);");
    EXPECT_FALSE(comma.tree);
    EXPECT_EQ(comma.output, Report("\n* Line 1: unexpected character ','\n"));
}

TEST(CfgfRead, SyntaxErrorReports) {
    struct syntaxCase {
        std::string text;
        std::string output;
    };
    const syntaxCase cases[] = {
        // The last entry lacks its ";": the top level is shown as line 1.
        {"a = b;\n\nc = d\n", Report("line 1 \n* Syntax error: ';' expected\n")},
        {"k = a/b;", Report("line 1 \n* Syntax error: ';' expected\n")},
        // Errors name the line of the enclosing dictionary, not the fault's.
        {"x = 1;\nd = {\n  ok = 1;\n  k v;\n};",
         Report("line 2 \n* Syntax error: '=' expected after 'k'\n")},
        {"x = 1;\nd = {\n  k = v\n};", Report("line 2 \n* Syntax error: ';' expected\n")},
        {"# c\n\nk = \"ab\ncd\";", Report("\n* Line 3: unterminated string 'ab'\n")},
        {"k = $;", Report("\n* Line 1: unexpected character '$'\n")},
        {"\n/k = v;", Report("\n* Line 2: unexpected character '/'\n")},
        {"k = v;\n k = ;", Report("\n* Line 2: unexpected character ';'\n")},
        // End of file where a string must begin shows a blank.
        {"k =", Report("\n* Line 1: unexpected character ' '\n")},
        {"k = v;\nkey", Report("line 1 \n* Syntax error: '=' expected after 'key'\n")},
        // End of file inside an item ends it; the entry then lacks its ";".
        {"k = (a, b", Report("line 1 \n* Syntax error: ';' expected\n")},
        {"k = (", Report("line 1 \n* Syntax error: ';' expected\n")},
        {"k = \"abc", Report("line 1 \n* Syntax error: ';' expected\n")},
        {"k = \"abc\\", Report("line 1 \n* Syntax error: ';' expected\n")},
        {"d = { a = b;", Report("line 1 \n* Syntax error: ';' expected\n")},
        // A failed element fails the array and the whole reading.
        {"ok = 1;\nk = (a, {x = ;}, b);", Report("\n* Line 2: unexpected character ';'\n")},
    };
    for (const syntaxCase& c : cases) {
        parsed p = Parse(c.text);
        EXPECT_FALSE(p.tree) << c.text;
        EXPECT_EQ(p.output, c.output) << c.text;
    }
}

TEST(CfgfRead, NestingIsBounded) {
    auto nested = [](int depth) {
        return "k = " + std::string(depth, '(') + "x" + std::string(depth, ')') + ";";
    };
    parsed deepest = Parse(nested(cfgfMaxDepth));
    ASSERT_TRUE(deepest.tree);
    EXPECT_EQ(deepest.output, "");
    const cfgfItem* node = cfgfGetDictValue(deepest.tree.get(), "k", cfgfNone);
    for (int i = 0; i < cfgfMaxDepth; i++) node = cfgfGetArrayValue(node, 0);
    ASSERT_TRUE(node);
    EXPECT_EQ(node->data, "x");

    parsed tooDeep = Parse("a = b;\n" + nested(cfgfMaxDepth + 1));
    EXPECT_FALSE(tooDeep.tree);
    EXPECT_EQ(tooDeep.output, Report("\n* Line 2: nesting too deep\n"));

    // A hostile file must fail cleanly, not overflow the stack.
    std::string hostile = "k = ";
    for (int i = 0; i < 200000; i++) hostile += (i % 2 ? "{a=" : "(");
    parsed h = Parse(hostile);
    EXPECT_FALSE(h.tree);
    EXPECT_EQ(h.output, Report("\n* Line 1: nesting too deep\n"));
}

TEST(CfgfLookup, TypeChecksAndTheirReports) {
    parsed p = Parse("s = text;\nd = { a = 1; };\n\nx = str;\narr = (q);\n");
    ASSERT_TRUE(p.tree);
    const cfgfItem* top = p.tree.get();

    std::string out =
        Capture([&] { EXPECT_EQ(cfgfGetDictValue(top, "x", cfgfDictionary), nullptr); });
    EXPECT_EQ(out, Report("line 4 \n* incorrect value type; expected Dictionary got String\n"));
    out = Capture([&] { EXPECT_EQ(cfgfGetDictValueStr(top, "arr"), nullptr); });
    EXPECT_EQ(out, Report("line 5 \n* incorrect value type; expected String got Array\n"));

    // Any type is wanted with cfgfNone; a missing key is not reported.
    out = Capture([&] {
        EXPECT_EQ(cfgfGetDictValue(top, "d", cfgfNone)->type, cfgfDictionary);
        EXPECT_EQ(cfgfGetDictValue(top, "missing", cfgfString), nullptr);
        EXPECT_EQ(cfgfGetDictValue(nullptr, "s", cfgfString), nullptr);
        EXPECT_EQ(cfgfGetArrayValue(nullptr, 0), nullptr);
        EXPECT_EQ(cfgfGetDictNthKey(nullptr, 0), nullptr);
        EXPECT_EQ(cfgfGetDictNthValue(top, 5), nullptr);
        EXPECT_EQ(cfgfGetDictNthKey(top, -1), nullptr);
    });
    EXPECT_EQ(out, "");

    const cfgfItem* s = cfgfGetDictValue(top, "s", cfgfString);
    out = Capture([&] { EXPECT_EQ(cfgfGetDictValue(s, "a", cfgfNone), nullptr); });
    EXPECT_EQ(out, Report("line 1 \n* wrong item type (String), dictionary expected\n"));
    out = Capture([&] { EXPECT_EQ(cfgfGetDictNthKey(s, 0), nullptr); });
    EXPECT_EQ(out, Report("line 1 \n* wrong item type (String), dictionary expected\n"));
    out = Capture([&] {
        EXPECT_EQ(cfgfGetDictNthValue(cfgfGetDictValue(top, "arr", cfgfNone), 0), nullptr);
    });
    EXPECT_EQ(out, Report("line 5 \n* wrong item type (Array), dictionary expected\n"));
    out = Capture([&] { EXPECT_EQ(cfgfGetArrayValue(top, 0), nullptr); });
    EXPECT_EQ(out, Report("line 1 \n* wrong item type, array expected\n"));
}

TEST(CfgfLookup, PresenceAndValidity) {
    parsed p = Parse("a = 1;\nb = { };\nc = 3;\n");
    ASSERT_TRUE(p.tree);
    const cfgfItem* top = p.tree.get();
    const char* const abc[] = {"a", "b", "c", nullptr};
    const char* const ab[] = {"a", "b", nullptr};
    const char* const azb[] = {"a", "z", "b", nullptr};
    const char* const none[] = {nullptr};

    EXPECT_EQ(cfgfCheckPresence(top, abc, cfgfNone), -1);
    EXPECT_EQ(cfgfCheckPresence(top, azb, cfgfNone), 1);
    EXPECT_EQ(cfgfCheckPresence(nullptr, abc, cfgfNone), 0);
    EXPECT_EQ(cfgfCheckPresence(top, none, cfgfString), -1);
    // Present with another type counts as missing, after the lookup's report.
    std::string out = Capture([&] { EXPECT_EQ(cfgfCheckPresence(top, abc, cfgfString), 1); });
    EXPECT_EQ(out, Report("line 2 \n* incorrect value type; expected String got Dictionary\n"));

    EXPECT_EQ(cfgfCheckValidity(top, abc), -1);
    EXPECT_EQ(cfgfCheckValidity(top, ab), 2);
    EXPECT_EQ(cfgfCheckValidity(top, none), 0);
    parsed empty = Parse("");
    EXPECT_EQ(cfgfCheckValidity(empty.tree.get(), none), -1);
}

TEST(CfgfFree, FreesOnceAndReportsTheSecondTime) {
    parsed p = Parse("a = (1, {b = 2;});\nc = x;\n");
    ASSERT_TRUE(p.tree);
    std::string out = Capture([&] { cfgfFreeItem(p.tree.get()); });
    EXPECT_EQ(out, "");
    EXPECT_EQ(p.tree->type, cfgfNone);
    EXPECT_TRUE(p.tree->keys.empty());
    EXPECT_TRUE(p.tree->values.empty());
    out = Capture([&] { cfgfFreeItem(p.tree.get()); });
    EXPECT_EQ(out, Report("line 1 \n* Can't deallocate: unknown item type (0)\n"));
    EXPECT_EQ(p.tree->type, cfgfNone);
    // A freed node looked up as a dictionary must not index the name table.
    out = Capture([&] { EXPECT_EQ(cfgfGetDictValue(p.tree.get(), "a", cfgfNone), nullptr); });
    EXPECT_EQ(out, Report("line 1 \n* wrong item type (None), dictionary expected\n"));

    cfgfItem s = cfgfNewString("hello");
    EXPECT_EQ(s.type, cfgfString);
    EXPECT_EQ(s.count, 5);
    EXPECT_EQ(s.data, "hello");
    EXPECT_EQ(s.line, 0);
    cfgfFreeItem(&s);
    EXPECT_EQ(s.type, cfgfNone);
    EXPECT_TRUE(s.data.empty());
}

class CfgfFile : public testing::Test {
  protected:
    void SetUp() override { dir_ = cfgtest::MakeTempDir(); }
    void TearDown() override { cfgtest::RemoveTree(dir_); }
    std::string dir_;
};

TEST_F(CfgfFile, ReadsFilesAndReportsAgainstEachTreesOwnFile) {
    std::string good = dir_ + "/good.cfg";
    std::string bad = dir_ + "/bad.cfg";
    cfgtest::WriteFile(good, "# c\nk = v;\nd = { x = y; };\n");
    cfgtest::WriteFile(bad, "k = v\n");

    std::unique_ptr<cfgfItem> tree;
    std::string out = Capture([&] { tree = cfgfReadConfigFile(good); });
    ASSERT_TRUE(tree);
    EXPECT_EQ(out, "");
    EXPECT_EQ(cfgfGetDictValue(tree.get(), "k", cfgfString)->line, 2);

    out = Capture([&] { EXPECT_FALSE(cfgfReadConfigFile(bad)); });
    EXPECT_EQ(out, "* Error in " + bad + " line 1 \n* Syntax error: ';' expected\n");

    // A lookup long after the reading names its own tree's file, not the
    // file read last.
    out = Capture([&] { cfgfGetDictValue(tree.get(), "d", cfgfString); });
    EXPECT_EQ(out, "* Error in " + good +
                       " line 3 \n* incorrect value type; expected String got Dictionary\n");

    std::string missing = dir_ + "/none.cfg";
    out = Capture([&] { EXPECT_FALSE(cfgfReadConfigFile(missing)); });
    EXPECT_EQ(out, "* Error in " + missing + " \n* unable to open file\n");

    // A directory opens but cannot be read: no tree rather than an empty one.
    out = Capture([&] { EXPECT_FALSE(cfgfReadConfigFile(dir_)); });
    EXPECT_EQ(out, "* Error in " + dir_ + " \n* unable to open file\n");
}

TEST_F(CfgfFile, ReportsNeverEndTheProcessAndNameTheirOwnFile) {
    // Every problem is reported whole and the caller decides what follows.
    cfgtest::childResult r = cfgtest::RunInChild([] {
        if (cfgfReadConfigText("k = v", "x.cfg")) printf("a tree\n");
        printf("reached\n");
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, "* Error in x.cfg line 1 \n* Syntax error: ';' expected\nreached\n");

    std::string missing = dir_ + "/none.cfg";
    std::string out = Capture([&] { EXPECT_FALSE(cfgfReadConfigFile(missing)); });
    EXPECT_EQ(out, "* Error in " + missing + " \n* unable to open file\n");

    // Two trees read one after the other each report as their own file; an
    // empty tree stands for a file that could not be read.
    auto first = cfgfReadConfigText("k = v;", "y.cfg");
    auto second = cfgfReadConfigText("k = v;", "z.cfg");
    auto none = cfgfEmptyTree("gone.cfg");
    out = Capture([&] {
        cfgfGetDictValue(first.get(), "k", cfgfArray);
        cfgfGetDictValue(second.get(), "k", cfgfArray);
        EXPECT_EQ(cfgfGetDictValue(none.get(), "k", cfgfNone), nullptr);
        cfgfFileError(cfgfFileName(none.get()), "Missing k");
    });
    EXPECT_EQ(out,
              "* Error in y.cfg line 1 \n* incorrect value type; expected Array got String\n"
              "* Error in z.cfg line 1 \n* incorrect value type; expected Array got String\n"
              "* Error in gone.cfg \n* Missing k\n");
}

TEST(CfgfConcurrency, ReportsStayWholeWhileAnotherThreadReads) {
    // The reader thread reports lookups while the main thread reads other
    // files: every report must be two whole lines naming the looked-up file.
    parsed p = Parse("k = v;\n");
    ASSERT_TRUE(p.tree);
    std::string out = Capture([&] {
        std::atomic<bool> stop{false};
        std::thread reporter([&] {
            for (int i = 0; i < 300; i++) cfgfGetDictValue(p.tree.get(), "k", cfgfArray);
            stop = true;
        });
        int n = 0;
        while (!stop) {
            cfgfReadConfigText("a = b;", (n++ % 2) ? "first-name.cfg" : "second-name.cfg");
        }
        reporter.join();
    });
    std::regex block(
        "\\* Error in t\\.cfg line 1 \n"
        "\\* incorrect value type; expected Array got String\n");
    std::string rest = std::regex_replace(out, block, "");
    EXPECT_EQ(rest, "");
    EXPECT_FALSE(out.empty());
}

}  // namespace
