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
// its bound, so the request has exactly one header line per fact and the
// message behind its blank line unchanged.
#include <cmath>
#include <string>

#include "engines/rspamd/rspamd_client.h"
#include "fuzz_common.h"

namespace {

using engined::ReplyStatus;
using engined::SpamdVerdict;

struct Reading {
    ReplyStatus status;
    SpamdVerdict verdict;
    std::string problem;
};

Reading Read(const std::string& reply, bool endOfStream) {
    Reading r;
    r.status = engined::ParseRspamdReply(reply, endOfStream, r.verdict, r.problem);
    FUZZ_CHECK(r.status != ReplyStatus::kBad || !r.problem.empty(), "a bad reply without a reason");
    FUZZ_CHECK(!endOfStream || r.status != ReplyStatus::kIncomplete,
               "still incomplete at the end of the stream");
    if (r.status == ReplyStatus::kComplete) {
        FUZZ_CHECK(std::isfinite(r.verdict.score) && std::isfinite(r.verdict.threshold),
                   "a verdict with %g / %g", r.verdict.score, r.verdict.threshold);
        FUZZ_CHECK(r.verdict.rules.size() <= engined::maxRspamdSymbols, "%zu bytes of symbols",
                   r.verdict.rules.size());
        for (char c : r.verdict.rules)
            FUZZ_CHECK(c >= 0x20 && c < 0x7f, "symbol text holds byte 0x%02x", c & 0xff);
    }
    return r;
}

bool Same(const SpamdVerdict& a, const SpamdVerdict& b) {
    return a.spam == b.spam && a.forced == b.forced && a.score == b.score &&
           a.threshold == b.threshold && a.rules == b.rules;
}

ReplyStatus ReadPong(const std::string& reply, bool endOfStream) {
    std::string problem;
    const ReplyStatus status = engined::ParseRspamdPong(reply, endOfStream, problem);
    FUZZ_CHECK(status != ReplyStatus::kBad || !problem.empty(), "a bad pong without a reason");
    FUZZ_CHECK(!endOfStream || status != ReplyStatus::kIncomplete,
               "pong still incomplete at the end of the stream");
    return status;
}

void CheckReply(const std::string& reply, size_t cut) {
    const std::string prefix = reply.substr(0, cut);
    const Reading open = Read(reply, false);
    const Reading closed = Read(reply, true);
    const Reading part = Read(prefix, false);
    Read(prefix, true);
    if (open.status == ReplyStatus::kComplete)
        FUZZ_CHECK(closed.status == ReplyStatus::kComplete && Same(open.verdict, closed.verdict),
                   "the end of the stream changed a complete reply");
    if (open.status == ReplyStatus::kBad)
        FUZZ_CHECK(closed.status == ReplyStatus::kBad, "the end of the stream mended a bad reply");
    if (part.status == ReplyStatus::kComplete)
        FUZZ_CHECK(open.status == ReplyStatus::kComplete && Same(part.verdict, open.verdict),
                   "complete after %zu bytes, but not the same after %zu", cut, reply.size());
    if (part.status == ReplyStatus::kBad)
        FUZZ_CHECK(open.status == ReplyStatus::kBad, "bad after %zu bytes (%s), not after %zu", cut,
                   part.problem.c_str(), reply.size());
    const ReplyStatus pong = ReadPong(reply, false);
    const ReplyStatus pongPart = ReadPong(prefix, false);
    ReadPong(reply, true);
    FUZZ_CHECK(pongPart == ReplyStatus::kIncomplete || pongPart == pong,
               "a pong settled on a prefix changed with more bytes");
}

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
    FUZZ_CHECK(blank != std::string::npos && request.substr(blank + 4) == message,
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
        CheckReply(text, cutChoice % (text.size() + 1));
    }
    return 0;
}
