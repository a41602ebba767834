// The recipients of generated mail: what the address-list reader takes
// from To:, Cc: and Bcc:, and what it refuses to hand to sendmail.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "milter/addrlist.h"

using namespace milter;
using Strings = std::vector<std::string>;

namespace {

AddressList Parse(const std::string& body, size_t max = kMaxRecipients) {
    AddressList out;
    ParseAddressList(body, out, max);
    return out;
}

}  // namespace

TEST(AddressList, MailboxesInEveryForm) {
    AddressList l = Parse(
        "Bob <bob@example.net>, \"Carol, C.\" <carol@example.net>,\r\n"
        " dave@example.net (Dave (the) \\) one), <@relay.example,@r2.example:erin@example.net>,"
        " John Q. Public <\"jqp\"@[192.0.2.1]>, \"frank.f\"@example.net,, bob@example.net");
    EXPECT_EQ(l.addresses, (Strings{"bob@example.net", "carol@example.net", "dave@example.net",
                                    "erin@example.net", "jqp@[192.0.2.1]",
                                    "frank.f@example.net"}));
    EXPECT_EQ(l.refusedCount, 0u);
}

TEST(AddressList, GroupsNameNobody) {
    EXPECT_TRUE(Parse("recipients;").addresses.empty());
    EXPECT_TRUE(Parse("undisclosed-recipients:;").addresses.empty());
    AddressList l = Parse("team: a@example.net, \"B\" <b@example.net>;, c@example.net; recipients;");
    EXPECT_EQ(l.addresses, (Strings{"a@example.net", "b@example.net", "c@example.net"}));
    EXPECT_EQ(l.refusedCount, 0u);
}

TEST(AddressList, RefusesWhatIsNoPlainAddress) {
    // Each refused member costs only itself: ok@ after each is kept.
    for (const char* bad :
         {"postmaster", "recipients", "\"john doe\"@example.net", "-oQ/tmp@example.net",
          "<>", "a@b c@d", "evil@evil.example (\"x>y\") <bob@example.net>", "x@exa\x01mple.net",
          "x@ex_a!mple.net", "x@[1.2.3.4 ]", "g: a@b: c@d;",
          "a..b@example.net", "<a@example.net", "a@example.net>"}) {
        AddressList l = Parse(std::string(bad) + ", ok@example.net");
        EXPECT_EQ(l.addresses, Strings{"ok@example.net"}) << bad;
        EXPECT_EQ(l.refusedCount, 1u) << bad;
        ASSERT_EQ(l.refused.size(), 1u) << bad;
    }
    // An SMTPUTF8 mailbox is sent, as the notification names it.
    EXPECT_EQ(Parse("j\xc3\xa9@example.net").addresses, Strings{"j\xc3\xa9@example.net"});
    // Unterminated quotes, comments and literals swallow the rest.
    for (const char* bad : {"\"a@b, ok@example.net", "(a, ok@example.net", "a@[1, ok@example.net"})
        EXPECT_TRUE(Parse(bad).addresses.empty()) << bad;
    std::string deep(100, '(');
    EXPECT_TRUE(Parse(deep + std::string(100, ')') + "a@example.net").addresses.empty());
    EXPECT_EQ(Parse(std::string(400, 'a') + "@example.net").refusedCount, 1u);
    EXPECT_TRUE(Parse(std::string("bob\0x@example.net", 17)).addresses.empty());
}

TEST(AddressList, AtMostTheLimit) {
    AddressList l = Parse("a@x, b@x, a@x, c@x, d@x", 2);
    EXPECT_EQ(l.addresses, (Strings{"a@x", "b@x"}));
    EXPECT_EQ(l.dropped, 2u);
}

TEST(CollectRecipients, ToCcBccFoldedAndBccRemoved) {
    const std::string header =
        "Return-Path: <>\r\n"
        "From: Tarnwick <postmaster@example.net>\r\n"
        "Subject: To: mallory@evil.example\r\n"
        "To: recipients;\r\n"
        "cc : carol@example.net,\r\n"
        "\tdave@example.net\r\n"
        "BCC: bob@example.net,\r\n"
        " erin@example.net\r\n"
        "X-Note: Bcc: mallory@evil.example\r\n";
    AddressList l;
    std::string without;
    CollectRecipients(header, l, &without);
    EXPECT_EQ(l.addresses, (Strings{"carol@example.net", "dave@example.net", "bob@example.net",
                                    "erin@example.net"}));
    EXPECT_EQ(without,
              "Return-Path: <>\r\nFrom: Tarnwick <postmaster@example.net>\r\n"
              "Subject: To: mallory@evil.example\r\nTo: recipients:;\r\n"
              "cc : carol@example.net,\r\n\tdave@example.net\r\n"
              "X-Note: Bcc: mallory@evil.example\r\n");

    // Line feeds alone, a last line without one.
    AddressList single;
    without.clear();
    CollectRecipients("To: bob@example.net\nBcc: carol@example.net", single, &without);
    EXPECT_EQ(single.addresses, (Strings{"bob@example.net", "carol@example.net"}));
    EXPECT_EQ(without, "To: bob@example.net\n");
}
