// The one address form of every pool's members (quillon-clamd's --clamd,
// quillon-spamd's --spamd and --spamd-socket, quillon-rspamd's --rspamd):
// each form the daemons have taken, the lists, and the one cap.
#include "engines/kit/member_address.h"

#include <gtest/gtest.h>

#include "engines/kit/member_pool.h"

namespace engined {
namespace {

MemberAddress Parsed(const std::string& text) {
    MemberAddress address;
    std::string problem;
    EXPECT_TRUE(ParseMemberAddress(text, address, problem)) << text << ": " << problem;
    return address;
}

TEST(MemberAddress, EveryFormOfEveryPool) {
    // --spamd, --rspamd: HOST:PORT, IPv6 in brackets.
    EXPECT_EQ(Parsed("127.0.0.1:783").Form(), "tcp:127.0.0.1:783");
    MemberAddress v6 = Parsed("[::1]:7830");
    EXPECT_EQ(v6.host, "::1");
    EXPECT_EQ(v6.port, "7830");
    EXPECT_EQ(v6.Text(), "[::1]:7830");
    // --clamd: tcp:HOST:PORT (a bare IPv6 host read up to its last colon),
    // unix:/PATH; --rspamd: unix:PATH.
    EXPECT_EQ(Parsed("tcp:clamd.example:3310").Text(), "clamd.example:3310");
    EXPECT_EQ(Parsed("tcp:::1:3310").Text(), "[::1]:3310");
    EXPECT_EQ(Parsed("tcp:[::1]:3310").host, "::1");
    const MemberAddress unix = Parsed("unix:/run/clamav/clamd.ctl");
    EXPECT_EQ(unix.socketPath, "/run/clamav/clamd.ctl");
    EXPECT_EQ(unix.Text(), "/run/clamav/clamd.ctl");
    EXPECT_EQ(unix.Form(), "unix:/run/clamav/clamd.ctl");
    EXPECT_EQ(Parsed("spamd.example:spamd").port, "spamd");  // a service name

    for (const char* bad : {"localhost", ":783", "localhost:", "[::1]783", "tcp:", "tcp:host",
                            "unix:", "h:0", "h:65536", "h:123456", "h:78 3", "h:a/b", ""}) {
        MemberAddress address;
        std::string problem;
        EXPECT_FALSE(ParseMemberAddress(bad, address, problem)) << bad;
        EXPECT_FALSE(problem.empty()) << bad;
    }
    MemberAddress address;
    std::string problem;
    EXPECT_FALSE(ParseMemberAddress("unix:/" + std::string(200, 'x'), address, problem));
}

TEST(MemberAddress, ListsAndSocketsAddUpToTheOneCap) {
    std::vector<MemberAddress> members;
    std::string problem;
    ASSERT_TRUE(AddMembers("10.0.0.1:783, [::1]:783,spamd.example:7830", members, problem))
        << problem;
    ASSERT_TRUE(AddMemberSocket("/run/spamd,a.sock", members, problem)) << problem;
    ASSERT_TRUE(AddMembers("unix:/run/rspamd,b.sock", members, problem)) << problem;
    ASSERT_EQ(members.size(), 5u);
    EXPECT_EQ(members[1].Text(), "[::1]:783");
    EXPECT_EQ(members[2].host, "spamd.example");
    EXPECT_EQ(members[3].socketPath, "/run/spamd,a.sock");  // a path is taken whole
    EXPECT_EQ(members[4].socketPath, "/run/rspamd,b.sock");

    // A refused list adds none of its entries; a member is listed once,
    // whichever form names it.
    for (const char* bad :
         {"10.0.0.2:783,", "10.0.0.2:783,,10.0.0.3:783", "10.0.0.2", "10.0.0.2:783,10.0.0.1:783",
          "10.0.0.2:783,10.0.0.2:783", "tcp:10.0.0.1:783", "unix:/run/spamd,a.sock"}) {
        problem.clear();
        EXPECT_FALSE(AddMembers(bad, members, problem)) << bad;
        EXPECT_FALSE(problem.empty()) << bad;
        EXPECT_EQ(members.size(), 5u) << bad;
    }
    EXPECT_FALSE(AddMemberSocket("", members, problem));
    EXPECT_FALSE(AddMemberSocket("/run/spamd,a.sock", members, problem));
    EXPECT_FALSE(AddMemberSocket("/" + std::string(200, 'x'), members, problem));

    std::string many;
    for (size_t i = members.size(); i < MemberPool::maxMembers; ++i)
        many += (many.empty() ? "" : ",") + ("h" + std::to_string(i) + ":783");
    ASSERT_TRUE(AddMembers(many, members, problem)) << problem;
    EXPECT_EQ(members.size(), MemberPool::maxMembers);
    EXPECT_FALSE(AddMemberSocket("/run/one-more.sock", members, problem));
    EXPECT_FALSE(AddMembers("tcp:one-more:3310", members, problem));
    EXPECT_EQ(members.size(), MemberPool::maxMembers);
}

}  // namespace
}  // namespace engined
