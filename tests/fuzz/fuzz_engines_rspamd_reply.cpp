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
// when more bytes come; a rating's action is printable, within its bound
// and without a quote, the verdict spam exactly when it is "reject", and
// the engine score at or above the threshold's exactly then; a reply whose
// header gives Content-Length twice, or whose JSON object names a key
// twice (found by a SAX reader of its own), is never a rating.  Of a message: every fact is
// printable and within its bound, so the request has exactly one header line per fact; behind its
// blank line the message unchanged from the end of a line on (where the host's fields end) or
// nothing of it, all of it when no facts were read.
#include <strings.h>

#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "engines/rating/rating.h"
#include "engines/rspamd/rspamd_client.h"
#include "fuzz_common.h"

namespace {

using engined::RatingVerdict;
using engined::ReplyStatus;

using Reader = fuzz::EngineReplyReader<ReplyStatus, RatingVerdict>;
const Reader replies(engined::ParseRspamdReply, engined::ParseRspamdPong, engined::maxRspamdSymbols,
                     "symbol", "pong");

// Which key repeats in an object, by the SAX interface rather than the
// parser callback the reader uses.
struct RepeatedKeys : nlohmann::json_sax<nlohmann::json> {
    std::vector<std::set<std::string>> open;
    bool found = false;
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override {
        open.emplace_back();
        return true;
    }
    bool key(string_t& name) override {
        found = found || !open.back().insert(name).second;
        return true;
    }
    bool end_object() override {
        open.pop_back();
        return true;
    }
    bool start_array(std::size_t) override { return true; }
    bool end_array() override { return true; }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }
};

// What a reply's header and body say by a plain reading: how many
// Content-Length fields, and whether the body (up to the length given)
// holds an object that names a key twice.
void ReadPlainly(const std::string& reply, size_t& lengths, bool& repeated) {
    lengths = 0;
    repeated = false;
    size_t end = std::string::npos, bodyAt = 0;
    for (size_t pos = reply.find('\n'); pos != std::string::npos; pos = reply.find('\n', pos + 1)) {
        const size_t next = pos + 1;
        if (next < reply.size() && reply[next] == '\n') {
            end = next;
            bodyAt = next + 1;
            break;
        }
        if (next + 1 < reply.size() && reply[next] == '\r' && reply[next + 1] == '\n') {
            end = next;
            bodyAt = next + 2;
            break;
        }
    }
    if (end == std::string::npos) return;
    uint64_t length = UINT64_MAX;
    for (size_t pos = reply.find('\n'); pos != std::string::npos && pos < end;
         pos = reply.find('\n', pos + 1)) {
        const std::string line = reply.substr(pos + 1, reply.find('\n', pos + 1) - pos - 1);
        if (line.size() > 15 && strncasecmp(line.c_str(), "Content-Length:", 15) == 0) {
            ++lengths;
            length = strtoull(line.c_str() + 15, nullptr, 10);
        }
    }
    std::string body = reply.substr(bodyAt, lengths == 1 ? length : std::string::npos);
    for (char& c : body)
        if (static_cast<unsigned char>(c) >= 0x80) c = '?';
    RepeatedKeys keys;
    repeated = nlohmann::json::sax_parse(body, &keys) && keys.found;
}

void CheckRating(const std::string& reply) {
    RatingVerdict verdict;
    std::string problem;
    const ReplyStatus status = engined::ParseRspamdReply(reply, true, verdict, problem);
    size_t lengths = 0;
    bool repeated = false;
    ReadPlainly(reply, lengths, repeated);
    if (status != ReplyStatus::kComplete) return;
    FUZZ_CHECK(lengths < 2, "a rating from a reply with %zu Content-Length fields", lengths);
    FUZZ_CHECK(!repeated, "a rating from a reply whose JSON names a key twice");
    FUZZ_CHECK(verdict.action.size() <= engined::maxRspamdAction, "an action of %zu bytes",
               verdict.action.size());
    for (char c : verdict.action)
        FUZZ_CHECK(c >= 0x20 && c < 0x7f && c != '"', "the action holds byte 0x%02x", c & 0xff);
    FUZZ_CHECK(verdict.spam == (verdict.action == "reject"), "spam %d for the action %s",
               verdict.spam, verdict.action.c_str());
    const int64_t score = engined::VerdictScore(verdict);
    FUZZ_CHECK((score >= engined::thresholdEngineScore) == verdict.spam,
               "engine score %lld for %s at %g of %g", static_cast<long long>(score),
               verdict.action.c_str(), verdict.score, verdict.threshold);
}

void CheckFact(const std::string& value) {
    FUZZ_CHECK(value.size() <= engined::maxFactLength, "a fact of %zu bytes", value.size());
    for (char c : value) FUZZ_CHECK(c >= 0x20 && c < 0x7f, "a fact holds byte 0x%02x", c & 0xff);
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
    FUZZ_CHECK(
        blank != std::string::npos && request.substr(blank + 4) == message.substr(facts.messageAt),
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
        CheckRating(text);
    }
    return 0;
}
