// Fuzz target: quillon-rspamd's readers of outside text: rspamd's HTTP
// replies to /checkv2 and /ping (ParseRspamdReply, ParseRspamdPong, called
// again after every chunk that arrives), and the facts read from the top
// of a message that Tarnwick-AS sends (ReadMtaFacts) with the request made
// of them (RspamdRequest).
//
// Input: one byte of choices, two bytes of cut position, the rest the text.
// With bit 0 clear the text is a reply; with bit 0 set it is a message.
//
// Properties of a reply: the end of the stream always settles it; a refusal
// always says why; a verdict has finite numbers and printable symbol names
// within their bound; a reply found complete or bad on a prefix stays so
// when more bytes come.  Of a message: every fact is printable and within
// its bound, so the request has exactly one header line per fact; behind
// its blank line the message unchanged from the end of a line on (where
// the host's fields end) or nothing of it, all of it when no facts were
// read.
#include <string>

#include "engines/rspamd/rspamd_client.h"
#include "fuzz_common.h"

namespace {

using engined::ReplyStatus;
using engined::SpamdVerdict;

using Reader = fuzz::EngineReplyReader<ReplyStatus, SpamdVerdict>;
const Reader replies(engined::ParseRspamdReply, engined::ParseRspamdPong, engined::maxRspamdSymbols,
                     "symbol", "pong");

void CheckFact(const std::string& value) {
    FUZZ_CHECK(value.size() <= engined::maxFactLength, "a fact of %zu bytes", value.size());
    for (char c : value)
        FUZZ_CHECK(c >= 0x20 && c < 0x7f, "a fact holds byte 0x%02x", c & 0xff);
}

void CheckMessage(const std::string& message) {
    const engined::MtaFacts facts = engined::ReadMtaFacts(message);
    FUZZ_CHECK(facts.rcpts.size() <= engined::maxFactRecipients, "%zu recipients",
               facts.rcpts.size());
    size_t expected = 2;  // the request line and the length
    for (const std::string* value :
         {&facts.from, &facts.ip, &facts.hostname, &facts.helo, &facts.queueId}) {
        CheckFact(*value);
        expected += value->empty() ? 0 : 1;
    }
    if (facts.envelope && facts.from.empty()) ++expected;  // "<>"
    for (const std::string& rcpt : facts.rcpts) {
        CheckFact(rcpt);
        FUZZ_CHECK(!rcpt.empty(), "an empty recipient");
        ++expected;
    }
    const std::string request = engined::RspamdRequest(message, facts);
    const size_t blank = request.find("\r\n\r\n");
    FUZZ_CHECK(facts.messageAt <= message.size() &&
                   (facts.messageAt == 0 ? !facts.envelope
                                         : facts.messageAt == message.size() ||
                                               message[facts.messageAt - 1] == '\n'),
               "the message would begin at %zu, not after a line", facts.messageAt);
    FUZZ_CHECK(blank != std::string::npos && request.substr(blank + 4) == message.substr(facts.messageAt),
               "the message is not behind the request's header");
    size_t lines = 0;
    for (size_t at = 0; at <= blank; ++at) {
        const char c = request[at];
        if (c == '\r') {
            FUZZ_CHECK(request[at + 1] == '\n', "a bare CR in the request header");
            ++lines;
            ++at;
        } else {
            FUZZ_CHECK(c != '\n' && c != 0, "byte 0x%02x in the request header", c & 0xff);
        }
    }
    FUZZ_CHECK(lines == expected, "%zu header lines for %zu facts", lines, expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::reader in(data, size);
    const uint8_t choices = in.Byte();
    const size_t cutChoice = in.Short();
    const std::string text = in.Rest();
    if (choices & 1) {
        CheckMessage(text);
    } else {
        replies.Check(text, cutChoice % (text.size() + 1));
    }
    return 0;
}
