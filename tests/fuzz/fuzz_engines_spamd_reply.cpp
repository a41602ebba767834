// Fuzz target: quillon-spamd's readers of spamd's replies (ParseSpamdReply,
// and ParsePongReply for the PING that checks on a spamd that was away),
// which the daemon calls again after every chunk that arrives.
//
// Input: one byte of choices.  With bit 0 clear, two bytes of cut position
// follow and the rest is the reply as spamd might send it.  With bit 0 set,
// the input describes a well-formed reply instead (verdict word, score and
// threshold in tenths, rule text, the chunk size it arrives in), and the
// target writes it the way spamd does.
//
// Properties: the end of the stream always settles the reply; a refusal
// always says why; a verdict has finite numbers and printable rules within
// the body limit; a reply found complete or bad on a prefix stays so when
// more bytes come (the daemon stops reading at that point); a well-formed
// reply reads back as written, whatever the chunks.  The raw input is read
// as a PONG as well, with the same properties.
#include <algorithm>
#include <cstdio>
#include <string>

#include "engines/spamd/spamd_client.h"
#include "fuzz_common.h"

namespace {

using engined::ParseSpamdReply;
using engined::RatingVerdict;
using engined::ReplyStatus;

using Reader = fuzz::EngineReplyReader<ReplyStatus, RatingVerdict>;
const Reader replies(ParseSpamdReply, engined::ParsePongReply, engined::maxSpamdBody, "rule",
                     "PONG");

void CheckWrittenReply(fuzz::reader& in, uint8_t choices) {
    static const char* const words[] = {"True", "False", "Yes", "No", "true", "FALSE", "yes", "nO"};
    const char* word = words[(choices >> 1) & 7];
    const bool spam = word[0] == 'T' || word[0] == 't' || word[0] == 'Y' || word[0] == 'y';
    const double score = static_cast<int16_t>(in.Short()) / 10.0;
    const double threshold = static_cast<int16_t>(in.Short()) / 10.0;
    const size_t chunk = 1 + in.Byte();
    const bool withLength = (choices & 0x10) == 0;
    std::string rules;
    for (char c : in.Rest()) {
        if (c >= 0x20 && c < 0x7f) rules += c;
    }
    while (!rules.empty() && rules.back() == ' ') rules.pop_back();
    while (!rules.empty() && rules.front() == ' ') rules.erase(0, 1);
    const std::string body = rules + "\r\n";

    char spamLine[96];
    snprintf(spamLine, sizeof spamLine, "Spam: %s ; %.1f / %.1f\r\n", word, score, threshold);
    std::string reply = "SPAMD/1.1 0 EX_OK\r\n";
    if (withLength) reply += "Content-length: " + std::to_string(body.size()) + "\r\n";
    reply += spamLine;
    reply += "\r\n" + body;

    // As the daemon reads: chunk by chunk until the reply is settled.
    Reader::Reading r;
    size_t have = 0;
    do {
        have = std::min(reply.size(), have + chunk);
        r = replies.Read(reply.substr(0, have), false);
        FUZZ_CHECK(r.status != ReplyStatus::kBad, "a well-formed reply refused after %zu bytes: %s",
                   have, r.problem.c_str());
    } while (r.status == ReplyStatus::kIncomplete && have < reply.size());
    if (r.status == ReplyStatus::kIncomplete) r = replies.Read(reply, true);
    FUZZ_CHECK(r.status == ReplyStatus::kComplete, "a well-formed reply not complete: %s",
               r.problem.c_str());
    FUZZ_CHECK(!withLength || have == reply.size(), "complete before its body had arrived");
    FUZZ_CHECK(r.verdict.spam == spam, "verdict word %s read wrongly", word);
    FUZZ_CHECK(r.verdict.score == score && r.verdict.threshold == threshold,
               "read %g / %g, wrote %.1f / %.1f", r.verdict.score, r.verdict.threshold, score,
               threshold);
    FUZZ_CHECK(r.verdict.rules == rules, "rules '%s', wrote '%s'", r.verdict.rules.c_str(),
               rules.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::reader in(data, size);
    const uint8_t choices = in.Byte();
    if (choices & 1) {
        CheckWrittenReply(in, choices);
    } else {
        const size_t cutChoice = in.Short();
        const std::string reply = in.Rest();
        replies.Check(reply, cutChoice % (reply.size() + 1));
    }
    return 0;
}
