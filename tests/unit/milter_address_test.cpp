// The SMTP path reader the host falls back on when the MTA does not hand
// over the address it parsed: it gives the address the MTA took or none.
#include <gtest/gtest.h>

#include <string>

#include "milter/address.h"

using milter::ParsePath;

namespace {

std::string Path(const std::string& arg) {
    std::string out;
    EXPECT_TRUE(ParsePath(arg, out)) << arg;
    return out;
}

void Invalid(const std::string& arg) {
    std::string out = "x";
    EXPECT_FALSE(ParsePath(arg, out)) << arg;
    EXPECT_EQ(out, "") << arg;
}

TEST(Path, MailboxesAsTheMtaTakesThem) {
    EXPECT_EQ(Path("<alice@example.org>"), "alice@example.org");
    EXPECT_EQ(Path("<alice@example.org> SIZE=120 BODY=8BITMIME"), "alice@example.org");
    EXPECT_EQ(Path("<>"), "");
    EXPECT_EQ(Path("<> SIZE=1"), "");
    EXPECT_EQ(Path("<Postmaster>"), "Postmaster");
    EXPECT_EQ(Path("alice@example.org"), "alice@example.org");
    EXPECT_EQ(Path("<a.b+c@[192.0.2.1]>"), "a.b+c@[192.0.2.1]");
    EXPECT_EQ(Path("<x@[IPv6:2001:db8::1]>"), "x@[IPv6:2001:db8::1]");
    // A source route is dropped; the mailbox is the address.
    EXPECT_EQ(Path("<@relay.example,@b.example:bob@example.net>"), "bob@example.net");
    // A quoted local part keeps its quotes, whatever it holds.
    EXPECT_EQ(Path("<\"x>y\"@example.net>"), "\"x>y\"@example.net");
    EXPECT_EQ(Path("<\"a\\\"b c\"@example.net>"), "\"a\\\"b c\"@example.net");
    EXPECT_EQ(Path("<j\xc3\xbcrgen@b\xc3\xbc.example>"), "j\xc3\xbcrgen@b\xc3\xbc.example");
}

TEST(Path, TricksGiveNoAddress) {
    // The comment tricks: no part of them can pass for the address.
    Invalid("<attacker@evil.example (<boss@example.net>)>");
    Invalid("<evil@evil.example (\"x>y\") <bob@example.net>>");
    Invalid("<a@b><c@d>");
    Invalid("<a@b>x");
    // The null path takes nothing after it but parameters.
    Invalid("<>x");
    Invalid("<><bob@example.net>");
    Invalid("<a@b");
    Invalid("a@b>");
    Invalid("<a b@c>");
    Invalid("<\"unclosed@b>");
    Invalid("<\"a\nb\"@c>");
    Invalid("<a..b@c>");
    Invalid("<.a@c>");
    Invalid("<a@-c>");
    Invalid("<a@c->");
    Invalid("<a@c.>");
    Invalid("<a@>");
    Invalid("<@a.example:>");
    Invalid("<@a.example,b@c>");
    Invalid("<a@[]>");
    Invalid("<a@[x[y]>");
    Invalid("<x@[IPv6:2001:db)::1]>");
    Invalid("");
    Invalid(" <a@b>");
    Invalid("<" + std::string(600, 'a') + "@b>");
    Invalid(std::string("<a@b\0c>", 7));
}

}  // namespace
