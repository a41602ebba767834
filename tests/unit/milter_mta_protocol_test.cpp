// The milter protocol as the MTA speaks it: commands cut from a stream
// that arrives in any pieces, their arguments split as libmilter splits
// them, the frame bound, the order of a session's commands, the macro
// lookup, the negotiation and the reply bytes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "milter/mta_protocol.h"

using namespace milter;

namespace {

std::string Frame(char code, const std::string& data = std::string()) {
    return EncodeFrame(code, data);
}

std::string Z(const std::string& s) {
    return s + std::string(1, '\0');
}

std::string BE32(uint32_t v) {
    return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 8), static_cast<char>(v)};
}

// Every command of a stream, fed in pieces of `step` bytes as reads
// would bring them; stops at the first malformed one (its why in `why`).
std::vector<MtaCommand> Cut(const std::string& stream, size_t step, std::string* why = nullptr) {
    std::vector<MtaCommand> out;
    std::string buf;
    size_t fed = 0;
    for (;;) {
        MtaCommand c;
        DecodeResult r = DecodeCommand(buf.data(), buf.size(), c);
        if (r.kind == Decoded::kMalformed) {
            if (why) *why = r.why;
            return out;
        }
        if (r.kind == Decoded::kCommand) {
            out.push_back(c);
            buf.erase(0, r.used);
            continue;
        }
        if (fed == stream.size()) return out;
        const size_t n = std::min(step, stream.size() - fed);
        buf.append(stream, fed, n);
        fed += n;
    }
}

TEST(MtaProtocolTest, CommandsCutFromAnyPiecesWithTheirArguments) {
    const std::string connect =
        Z("mx.example.org") + "4" + std::string("\x00\x19", 2) + Z("192.0.2.7");
    const std::string stream =
        Frame('O', BE32(6) + BE32(0x1ff) + BE32(0x1fffff)) +
        Frame('D', "C" + Z("j") + Z("mta.example.com") + Z("{daemon_name}") + Z("smtpd")) +
        Frame('C', connect) + Frame('H', Z("helo.example.org")) +
        Frame('M', Z("<alice@example.org>") + Z("SIZE=10")) + Frame('R', Z("<bob@example.net>")) +
        Frame('T') + Frame('L', Z("Subject") + Z(" hi")) + Frame('N') +
        Frame('B', std::string("body\0more\r\n", 11)) + Frame('E') + Frame('A') + Frame('K') +
        Frame('U', Z("VRFY x")) + Frame('Q');
    for (size_t step : {stream.size(), size_t{1}, size_t{7}}) {
        const std::vector<MtaCommand> c = Cut(stream, step);
        ASSERT_EQ(c.size(), 15u) << step;
        EXPECT_EQ(c[0].version, 6u);
        EXPECT_EQ(c[0].actions, 0x1ffu);
        EXPECT_EQ(c[0].protocol, 0x1fffffu);
        EXPECT_EQ(c[1].macroStage, 'C');
        EXPECT_EQ(c[1].args,
                  (std::vector<std::string>{"j", "mta.example.com", "{daemon_name}", "smtpd"}));
        EXPECT_EQ(c[2].args, std::vector<std::string>{"mx.example.org"});
        EXPECT_EQ(c[2].family, '4');
        EXPECT_EQ(c[2].port, 25);
        EXPECT_EQ(c[2].address, "192.0.2.7");
        EXPECT_EQ(c[3].args, std::vector<std::string>{"helo.example.org"});
        EXPECT_EQ(c[4].args, (std::vector<std::string>{"<alice@example.org>", "SIZE=10"}));
        EXPECT_EQ(c[6].code, 'T');
        EXPECT_EQ(c[7].args, (std::vector<std::string>{"Subject", " hi"}));
        EXPECT_EQ(c[9].body, std::string("body\0more\r\n", 11));
        EXPECT_EQ(c[10].code, 'E');
        EXPECT_TRUE(c[10].body.empty());
        EXPECT_EQ(c[13].args, std::vector<std::string>{"VRFY x"});
        EXPECT_EQ(c[14].code, 'Q');
    }
}

TEST(MtaProtocolTest, ArgumentsAsLibmilterReadsThem) {
    // A zero from the MTA stands for the first version's flags; the
    // internal bits never count.
    std::vector<MtaCommand> c = Cut(Frame('O', BE32(2) + BE32(0) + BE32(0x70000000)), 64);
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].actions, kActV1);
    EXPECT_EQ(c[0].protocol, 0u);
    c = Cut(Frame('O', BE32(6) + BE32(1) + BE32(0)), 64);
    EXPECT_EQ(c[0].protocol, kProtoV1);
    // An unknown family carries no address; an IPv6 one is given in the
    // MTA's text and kept in the canonical one; a short IPv4 form as
    // inet_aton reads it.
    c = Cut(Frame('C', Z("unknown") + "U"), 64);
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].family, 'U');
    EXPECT_TRUE(c[0].address.empty());
    c = Cut(Frame('C', Z("h") + "6" + std::string(2, '\0') + Z("2001:DB8:0:0::1")), 64);
    EXPECT_EQ(c[0].address, "2001:db8::1");
    c = Cut(Frame('C', Z("h") + "4" + std::string(2, '\0') + Z("127.1")), 64);
    EXPECT_EQ(c[0].address, "127.0.0.1");
    // The unterminated rest of MAIL's arguments is dropped; a value ends
    // at its first NUL; a macro list of an unknown kind is passed over.
    c = Cut(Frame('M', Z("<a@b>") + "rest") + Frame('L', Z("X") + Z("v") + Z("w")) +
                Frame('D', "Z" + Z("j") + Z("x")) + Frame('D', "C"),
            64);
    ASSERT_EQ(c.size(), 4u);
    EXPECT_EQ(c[0].args, std::vector<std::string>{"<a@b>"});
    EXPECT_EQ(c[1].args, (std::vector<std::string>{"X", "v"}));
    EXPECT_EQ(c[2].macroStage, 'Z');
    EXPECT_EQ(c[3].macroStage, 0);
}

TEST(MtaProtocolTest, MalformedFramesEndTheSession) {
    struct Case {
        std::string stream, why;
    };
    const std::vector<Case> cases = {
        {BE32(0x10000) + "B", ""},  // the longest taken is 65535 bytes of data
        {BE32(0x10001 + 1), "a frame of 65538 bytes"},
        {BE32(0xffffffff), "a frame of 4294967295 bytes"},
        {BE32(0), "a frame of length 0"},
        {Frame('X', "data"), "unknown command 'X'"},
        {Frame('\x01'), "unknown command 0x01"},
        {Frame('O', BE32(6) + BE32(1)), "a negotiation of 8 bytes"},
        {Frame('O', BE32(1) + BE32(1) + BE32(1)), "protocol version 1 is too old"},
        {Frame('H', "helo"), "a malformed HELO"},
        {Frame('M', "<a@b>"), "a malformed MAIL"},
        {Frame('R'), "a malformed RCPT"},
        {Frame('L', Z("Subject")), "a malformed header field"},
        {Frame('L', Z("") + Z("v")), "a malformed header field"},
        {Frame('B'), "a malformed body chunk"},
        {Frame('C', "host"), "connect information without a family"},
        {Frame('C', Z("h") + "4" + std::string(2, '\0')), "connect information cut short"},
        {Frame('C', Z("h") + "4" + std::string(2, '\0') + Z("999.1.1.1")),
         "connect information with a bad IPv4 address"},
        {Frame('C', Z("h") + "9" + std::string(2, '\0') + Z("x")),
         "connect information of unknown family '9'"},
        {Frame('D'), "command 'D' without its arguments"},
    };
    for (const Case& c : cases) {
        std::string why;
        const std::vector<MtaCommand> got = Cut(c.stream, 3, &why);
        if (c.why.empty()) {
            // Whole with 65535 bytes of data: a body chunk.
            const std::string whole = c.stream + std::string(0xffff, 'x');
            EXPECT_EQ(Cut(whole, 4096).size(), 1u);
            continue;
        }
        EXPECT_TRUE(got.empty()) << c.why;
        EXPECT_EQ(why.compare(0, c.why.size(), c.why), 0) << why << " / " << c.why;
    }
    // The length alone decides an oversized frame: nothing more is waited for.
    MtaCommand cmd;
    EXPECT_EQ(DecodeCommand(BE32(0x20000).data(), 4, cmd).kind, Decoded::kMalformed);
}

TEST(MtaProtocolTest, CommandOrderOfASession) {
    using Step = CommandOrder::Step;
    auto run = [](const std::string& commands) {
        CommandOrder order;
        std::string steps;
        for (char c : commands) {
            const Step s = order.Next(c);
            steps += s == Step::kTake ? '.' : s == Step::kAbortThenTake ? 'a' : 'X';
            if (s == Step::kOutOfOrder) break;
        }
        return steps;
    };
    // Two messages, macros anywhere, HELO again, an abort, a new
    // connection over the same session.
    EXPECT_EQ(run("DODCHHMRRTLLNBBEMRLNEDMRAHMRBEQ"), "...............................");
    EXPECT_EQ(run("OCMRNE"), "......");   // no DATA, no header, no body
    EXPECT_EQ(run("OCMRLBE"), ".....X");  // a body chunk before the end of the header
    // HELO or MAIL inside a transaction abort it first.
    EXPECT_EQ(run("OCMHMRBE"), "...a....");
    EXPECT_EQ(run("OCMRTMR"), ".....a.");
    EXPECT_EQ(run("OCMRTLMR"), "......a.");
    EXPECT_EQ(run("OCKCMRE"), ".......");
    EXPECT_EQ(run("M"), "X");            // before the negotiation
    EXPECT_EQ(run("OM"), ".X");          // before the connection
    EXPECT_EQ(run("OCR"), "..X");        // a recipient outside a transaction
    EXPECT_EQ(run("OCMT"), "...X");      // DATA with no recipient
    EXPECT_EQ(run("OCMRNL"), ".....X");  // a header field after the end of the header
    EXPECT_EQ(run("OCE"), "..X");        // an end of message outside a transaction
    EXPECT_EQ(run("OO"), ".X");
    EXPECT_EQ(run("OCC"), "..X");
    EXPECT_EQ(run("OCMRTU"), ".....X");  // an unknown SMTP command inside the data
    EXPECT_EQ(run("OCUMRU"), "......");
}

TEST(MtaProtocolTest, MacrosOfThisStageAndTheEarlierOnes) {
    MacroTable m;
    EXPECT_TRUE(m.Set('C', {"j", "mta.example.com", "{daemon_name}", "smtpd"}));
    EXPECT_TRUE(m.Set('M', {"{mail_addr}", "alice@example.org", "i", "4XkQ1"}));
    EXPECT_TRUE(m.Set('R', {"{rcpt_addr}", "bob@example.net", "{auth_authen}"}));
    EXPECT_FALSE(m.Set('Z', {"x", "y"}));
    ASSERT_NE(m.Get("j"), nullptr);
    EXPECT_EQ(*m.Get("j"), "mta.example.com");
    EXPECT_EQ(*m.Get("{j}"), "mta.example.com");  // either spelling
    EXPECT_EQ(*m.Get("{i}"), "4XkQ1");
    EXPECT_EQ(m.Get("daemon_name"), nullptr);  // only one letter takes braces
    EXPECT_EQ(*m.Get("{daemon_name}"), "smtpd");
    EXPECT_EQ(m.Get("{auth_authen}"), nullptr);  // a name without a value
    EXPECT_EQ(m.Get(""), nullptr);
    // The later stage's value wins.
    EXPECT_TRUE(m.Set('E', {"i", "4XkQ2"}));
    EXPECT_EQ(*m.Get("i"), "4XkQ2");
    // A new MAIL forgets the recipients' and the message's macros, not
    // its own nor the connection's.
    m.ForgetFrom('M');
    EXPECT_EQ(*m.Get("i"), "4XkQ1");
    EXPECT_EQ(m.Get("{rcpt_addr}"), nullptr);
    EXPECT_EQ(*m.Get("{mail_addr}"), "alice@example.org");
    m.ForgetFrom('T');  // no stage of its own to clear from: nothing forgotten
    EXPECT_EQ(*m.Get("{mail_addr}"), "alice@example.org");
    m.ForgetFrom('C');
    EXPECT_EQ(m.Get("{mail_addr}"), nullptr);
    EXPECT_EQ(*m.Get("j"), "mta.example.com");
    m.ForgetAll();
    EXPECT_EQ(m.Get("j"), nullptr);
}

TEST(MtaProtocolTest, NegotiationAsLibmilterSettlesIt) {
    MtaCommand optneg;
    optneg.version = 6;
    optneg.actions = 0x1ff;
    // Postfix 3.7: every "no reply" but DATA's and UNKNOWN's offered.
    optneg.protocol = 0x1fffff & ~(kNoReplyData | kNoReplyUnknown);
    EXPECT_EQ(OfferedProtocol(optneg.protocol) & kNoReplyAll, kNoReplyAll);
    SettledOptions o;
    std::string why;
    const uint32_t asked = kProtoLeadingSpace | kNoReplyAll;
    ASSERT_TRUE(SettleOptions(optneg, kActAddHeaders | kActChangeHeaders, asked, o, why));
    EXPECT_EQ(o.version, 6u);
    EXPECT_EQ(o.actions, kActAddHeaders | kActChangeHeaders);
    // The silence the MTA cannot take is answered with a continue: the
    // flag is not sent, but the filter keeps it.
    EXPECT_EQ(o.protocol, asked & ~(kNoReplyData | kNoReplyUnknown));
    EXPECT_EQ(o.filterProtocol, asked);
    EXPECT_EQ(EncodeOptions(o),
              Frame('O', BE32(6) + BE32(0x11) + BE32(asked & ~(kNoReplyData | kNoReplyUnknown))));
    // An older MTA's version is answered with its own; actions it does not
    // offer fail the negotiation.
    optneg.version = 4;
    optneg.actions = kActV1;
    ASSERT_TRUE(SettleOptions(optneg, kActAddHeaders, 0, o, why));
    EXPECT_EQ(o.version, 4u);
    EXPECT_FALSE(SettleOptions(optneg, kActAddHeaders | kActQuarantine, 0, o, why));
    EXPECT_NE(why.find("0x21"), std::string::npos) << why;
    // A step the MTA cannot skip is not asked to be skipped.
    optneg.protocol = kProtoV1;
    ASSERT_TRUE(SettleOptions(optneg, kActAddHeaders, kProtoNoData | 0x1, o, why));
    EXPECT_EQ(o.protocol, 0x1u);
}

TEST(MtaProtocolTest, RepliesByteForByte) {
    std::string text;
    ASSERT_TRUE(SmtpReplyText("550", "5.7.1", {"Virus found: Eicar-Test"}, text));
    EXPECT_EQ(text, "550 5.7.1 Virus found: Eicar-Test");
    ASSERT_TRUE(SmtpReplyText("550", "5.7.1", {"one", "two", "three"}, text));
    EXPECT_EQ(text, "550-5.7.1 one\r\n550-5.7.1 two\r\n550 5.7.1 three");
    ASSERT_TRUE(SmtpReplyText("451", "4.7.1", {"a", "b"}, text));
    EXPECT_EQ(text, "451-4.7.1 a\r\n451 4.7.1 b");
    // What libmilter refuses.
    EXPECT_FALSE(SmtpReplyText("250", "2.0.0", {"ok"}, text));
    EXPECT_FALSE(SmtpReplyText("55", "5.7.1", {"x"}, text));
    EXPECT_FALSE(SmtpReplyText("550", "5.7", {"x"}, text));
    EXPECT_FALSE(SmtpReplyText("550", "5.7.1234", {"x"}, text));
    EXPECT_FALSE(SmtpReplyText("550", "5.7.1", {"a\r\nb"}, text));
    EXPECT_FALSE(SmtpReplyText("550", "5.7.1", {std::string(981, 'x')}, text));
    EXPECT_TRUE(SmtpReplyText("550", "5.7.1", {std::string(980, 'x')}, text));
    EXPECT_FALSE(SmtpReplyText("550", "5.7.1", std::vector<std::string>(33, "x"), text));

    EXPECT_EQ(EncodeStatus(MtaStatus::kContinue), std::string("\0\0\0\1c", 5));
    EXPECT_EQ(EncodeStatus(MtaStatus::kReject), std::string("\0\0\0\1r", 5));
    EXPECT_EQ(EncodeStatus(MtaStatus::kTempfail), std::string("\0\0\0\1t", 5));
    EXPECT_EQ(EncodeStatus(MtaStatus::kDiscard), std::string("\0\0\0\1d", 5));
    EXPECT_EQ(EncodeStatus(MtaStatus::kAccept), std::string("\0\0\0\1a", 5));
    EXPECT_TRUE(EncodeStatus(MtaStatus::kNoReply).empty());
    EXPECT_EQ(EncodeProgress(), std::string("\0\0\0\1p", 5));
    EXPECT_EQ(EncodeReplyCode("550 5.7.1 x"), std::string("\0\0\0\x0dy550 5.7.1 x\0", 17));
    EXPECT_EQ(EncodeAddHeader("X-Junk-Score", " 0 []"),
              std::string("\0\0\0\x14hX-Junk-Score\0 0 []\0", 24));
    EXPECT_EQ(EncodeChangeHeader(2, "X-Junk-Score", ""),
              std::string("\0\0\0\x13m\0\0\0\2X-Junk-Score\0\0", 23));
    EXPECT_EQ(EncodeQuarantine("infected"), std::string("\0\0\0\x0aqinfected\0", 14));
}

}  // namespace
