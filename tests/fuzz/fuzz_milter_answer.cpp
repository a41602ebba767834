// tarnwick-milter reads the filters' answer lines, whose texts carry virus
// names and other words chosen by whoever wrote the mail (an answer to the
// host's INTF probe is never a message's answer), and writes the
// SMTP client's addresses into queue files.  Whatever the bytes: nothing
// that reaches the MTA holds a line break it did not mean, header field
// names stay field names, replies stay bounded printable ASCII, and an
// envelope keeps one line per address.
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "milter/answer.h"
#include "milter/decision.h"
#include "milter/queue_head.h"
#include "milter/verdict.h"
#include "tests/fuzz/fuzz_common.h"

using namespace milter;

namespace {

void CheckVerdict(const Verdict& v) {
    for (const HeaderField& h : v.headers) {
        FUZZ_CHECK(!h.first.empty(), "empty field name");
        for (unsigned char c : h.first)
            FUZZ_CHECK(c > 32 && c < 127 && c != ':', "name byte %d", c);
        for (size_t k = 0; k < h.second.size(); ++k) {
            unsigned char c = static_cast<unsigned char>(h.second[k]);
            if (c == '\n') {
                FUZZ_CHECK(
                    k + 1 < h.second.size() && (h.second[k + 1] == ' ' || h.second[k + 1] == '\t'),
                    "a line break that does not fold");
                continue;
            }
            FUZZ_CHECK(c >= 32 || c == '\t', "value byte %d", c);
            FUZZ_CHECK(c != 127, "DEL in value");
        }
    }
    FUZZ_CHECK(v.headers.size() <= 64, "%zu fields", v.headers.size());
    if (v.action == Action::Reject || v.action == Action::Tempfail) {
        FUZZ_CHECK(!v.reply.empty() && v.reply.size() <= kMaxReplyLines, "%zu reply lines",
                   v.reply.size());
        for (const std::string& line : v.reply) {
            FUZZ_CHECK(!line.empty() && line.size() <= kMaxReplyLine, "reply line of %zu",
                       line.size());
            for (unsigned char c : line) FUZZ_CHECK(c >= 32 && c <= 126, "reply byte %d", c);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    // Two answer lines, split at the first line feed.
    size_t nl = input.find('\n');
    std::vector<std::string> lines{input.substr(0, nl)};
    lines.push_back(nl == std::string::npos ? std::string() : input.substr(nl + 1));
    std::vector<Answer> answers(2);
    std::vector<bool> answered(2);
    for (size_t i = 0; i < 2; ++i) {
        answered[i] = ParseAnswer(lines[i], answers[i]);
        if (answered[i]) {
            FUZZ_CHECK(answers[i].token >= 1 && answers[i].token <= INT_MAX, "token %ld",
                       answers[i].token);
            FUZZ_CHECK(answers[i].text.size() <= lines[i].size(), "decoded text grew");
        }
        unsigned long long probe = 0;
        if (ParseProbeAnswer(lines[i], probe))
            FUZZ_CHECK(!answered[i] && probe >= kFirstProbeToken, "probe answer %llu taken", probe);
    }
    for (OnFailure policy : {OnFailure::Tempfail, OnFailure::Accept, OnFailure::Reject})
        CheckVerdict(MergeAnswers(answers, answered, std::vector<OnFailure>(2, policy)));
    // With every site policy on: a held refusal's field names what was found.
    SitePolicy site{PolicySettings(), {OnFailure::Tempfail, OnFailure::Accept}, {0, 1}};
    site.settings.holdInfected = true;
    site.settings.rejectScore = 90;
    site.settings.holdScore = 50;
    MessageFacts facts;
    facts.outcome = Outcome{answers, answered, {true, true}, {false, false}};
    facts.canHold = true;
    facts.scoreField = ScoreFieldOfHeader("X-Junk-Score: ^1");
    CheckVerdict(DecideMessage(facts, site).verdict);

    Envelope env;
    env.clientName = lines[0];
    env.sender = lines[1];
    env.recipients = {input, lines[1]};
    std::string text = EnvelopeText(env);
    size_t count = 0;
    for (char c : text) count += c == '\n';
    FUZZ_CHECK(count == 5, "envelope of %zu lines: %s", count, text.c_str());
    FUZZ_CHECK(text.compare(text.size() - 2, 2, "\n\n") == 0, "no blank line at the end");
    text = EnvelopeFields(env);
    count = 0;
    for (char c : text) count += c == '\n';
    FUZZ_CHECK(count == 3, "envelope fields of %zu lines: %s", count, text.c_str());
    return 0;
}
