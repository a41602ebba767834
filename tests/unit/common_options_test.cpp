// The option rows at their edges: ranges accepted to the last value and
// refused one past it, with the message naming option and range; sizes in
// their units; choices, short names, required options and stray arguments.
#include "common/base/options.h"
#include "common/base/socket_access.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Outcome {
    OptionTable::Result result;
    std::string complaint;
    int next = 0;
};

class OptionsTest : public ::testing::Test {
  protected:
    OptionsTest() : table_("prog", "usage: prog\n", "", "prog 1") {
        table_.Add({
            TextOption("socket", "PATH", "where", &socket_).Short('s').Required(),
            NumberOption("workers", "N", "at once", 1, 32, &workers_),
            SizeOption("max-size", "SIZE", "cut", 1, 2000ull << 20, &size_),
            ChoiceOption("on-failure", "WHAT", "then", {"tempfail", "accept", "reject"},
                         [this](size_t choice) { choice_ = choice; })
                .Short('o'),
            FlagOption("serial", "one by one", &serial_).Short('S'),
        });
        table_.SetComplaint([this](const std::string& text) { complaint_ = text; });
        table_.SetMaxOperands(0);
    }

    Outcome Parse(std::vector<std::string> words) {
        words.insert(words.begin(), "prog");
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(&word[0]);
        argv.push_back(nullptr);
        complaint_.clear();
        Outcome run;
        run.result = table_.Parse(static_cast<int>(words.size()), argv.data(), run.next);
        run.complaint = complaint_;
        return run;
    }

    OptionTable table_;
    std::string socket_, complaint_;
    unsigned workers_ = 2;
    uint64_t size_ = 400ull << 20;
    size_t choice_ = 0;
    bool serial_ = false;
};

TEST_F(OptionsTest, NumbersAndSizesAreBoundedByTheirRow) {
    EXPECT_EQ(Parse({"-s", "x", "--workers", "32", "--max-size", "2000M"}).result,
              OptionTable::Result::kGo);
    EXPECT_EQ(workers_, 32u);
    EXPECT_EQ(size_, 2000ull << 20);
    EXPECT_EQ(Parse({"-s", "x", "--workers", "1", "--max-size", "3k"}).result,
              OptionTable::Result::kGo);
    EXPECT_EQ(workers_, 1u);
    EXPECT_EQ(size_, 3072u);

    Outcome run = Parse({"-s", "x", "--workers", "33"});
    EXPECT_EQ(run.result, OptionTable::Result::kBadValue);
    EXPECT_EQ(run.complaint, "--workers must be a number from 1 to 32, not 33");
    for (const char* bad : {"0", "", "2x", "-1", "99999999999999999999"}) {
        EXPECT_EQ(Parse({"-s", "x", "--workers", bad}).result, OptionTable::Result::kBadValue)
            << bad;
    }
    run = Parse({"-s", "x", "--max-size", "2001M"});
    EXPECT_EQ(run.complaint, "--max-size must be a size from 1 byte to 2000M, not 2001M");
    EXPECT_EQ(Parse({"-s", "x", "--max-size", "0"}).result, OptionTable::Result::kBadValue);
    // Outside text in a complaint cannot start a line of its own.
    EXPECT_EQ(Parse({"-s", "x", "--workers", "1\nforged"}).complaint,
              "--workers must be a number from 1 to 32, not 1\\x0aforged");
}

TEST_F(OptionsTest, ChoicesShortNamesAndFlags) {
    EXPECT_EQ(Parse({"-sx", "-o", "reject", "-S"}).result, OptionTable::Result::kGo);
    EXPECT_EQ(socket_, "x");
    EXPECT_EQ(choice_, 2u);
    EXPECT_TRUE(serial_);
    Outcome run = Parse({"-s", "x", "--on-failure", "maybe"});
    EXPECT_EQ(run.result, OptionTable::Result::kBadValue);
    EXPECT_EQ(run.complaint, "--on-failure wants tempfail, accept or reject, not maybe");
}

TEST_F(OptionsTest, RequiredOptionsAndStrayArguments) {
    Outcome run = Parse({"--workers", "3"});
    EXPECT_EQ(run.result, OptionTable::Result::kBadUsage);
    EXPECT_EQ(run.complaint, "--socket is required");
    run = Parse({"-s", "x", "left"});
    EXPECT_EQ(run.result, OptionTable::Result::kBadUsage);
    EXPECT_EQ(run.complaint, "unexpected argument left");
    EXPECT_EQ(Parse({"-s", "x", "--no-such-option"}).result, OptionTable::Result::kBadUsage);
}

// The socket rows every daemon shares: modes are 1 to 4 octal digits up to
// 0777, groups must exist, and both complain through the program's table.
TEST(SocketRows, ModesAndGroupsAreCheckedWhereTheProgramComplains) {
    SocketOptions socket;
    OptionTable table("prog", "usage: prog\n", "", "prog 1");
    table.Add(SocketOptionRows(socket, {"PATH", "where", nullptr, 0}));
    std::string complaint;
    table.SetComplaint([&complaint](const std::string& text) { complaint = text; });
    auto parse = [&table, &complaint](std::vector<std::string> words) {
        words.insert(words.begin(), "prog");
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(&word[0]);
        argv.push_back(nullptr);
        complaint.clear();
        int next = 0;
        return table.Parse(static_cast<int>(words.size()), argv.data(), next);
    };
    EXPECT_EQ(parse({"--socket", "s", "--socket-mode", "640", "--socket-group", "0"}),
              OptionTable::Result::kGo);
    EXPECT_EQ(socket.mode, 0640u);
    EXPECT_EQ(socket.group, "0");
    EXPECT_EQ(parse({"--socket", "s", "--socket-mode", "0777"}), OptionTable::Result::kGo);
    EXPECT_EQ(socket.mode, 0777u);
    for (const char* bad : {"", "8", "0680", "1777", "00660", "-660", "0x1ff"}) {
        EXPECT_EQ(parse({"--socket", "s", "--socket-mode", bad}), OptionTable::Result::kBadValue)
            << bad;
        EXPECT_EQ(socket.mode, 0777u) << bad;
    }
    EXPECT_EQ(complaint, "--socket-mode: wants octal permissions such as 0660, not 0x1ff");
    EXPECT_EQ(parse({"--socket", "s", "--socket-group", "no-such-group-here"}),
              OptionTable::Result::kBadValue);
    EXPECT_EQ(complaint, "--socket-group: no group no-such-group-here");
    EXPECT_EQ(parse({"--socket-mode", "600"}), OptionTable::Result::kBadUsage);
}

TEST_F(OptionsTest, HelpShowsEachRangeAndDefaultOfTheRows) {
    const std::string help = table_.Help();
    EXPECT_NE(help.find("      --workers N        at once (1 to 32, default 2)\n"),
              std::string::npos)
        << help;
    EXPECT_NE(help.find("(1 byte to 2000M, default 400M)"), std::string::npos) << help;
    EXPECT_NE(help.find("(tempfail, accept or reject)"), std::string::npos) << help;
    EXPECT_EQ(help.find("options-markdown"), std::string::npos) << help;
    // The manual page's terms keep two hyphens through pandoc.
    EXPECT_NE(table_.Markdown().find("**\\-s**, **\\-\\-socket** *PATH*\n"), std::string::npos);
}

}  // namespace
