// tarnwick-milter reads the MTA's milter commands from its socket, and
// whoever can connect there is the MTA.  Whatever the bytes, cut in any
// pieces: a command takes no more than its frame and never more than the
// bound allows, the same stream cut differently gives the same commands,
// a negotiation settles only options the MTA offered, and the macro
// lookup and the reply texts stay within what was given.
#include <cstdint>
#include <string>
#include <vector>

#include "milter/mta_protocol.h"
#include "tests/fuzz/fuzz_common.h"

using namespace milter;

namespace {

// Every command of the stream, fed `step` bytes at a time; the reason of
// a malformed one ends it.
std::vector<std::string> Cut(const std::string& input, size_t step, std::string& end) {
    std::vector<std::string> out;
    std::string buf;
    size_t fed = 0;
    MacroTable macros;
    CommandOrder order;
    for (;;) {
        MtaCommand c;
        const DecodeResult r = DecodeCommand(buf.data(), buf.size(), c);
        if (r.kind == Decoded::kMalformed) {
            FUZZ_CHECK(!r.why.empty() && r.why.size() < 200, "why of %zu bytes", r.why.size());
            end = r.why;
            return out;
        }
        if (r.kind == Decoded::kCommand) {
            FUZZ_CHECK(r.used >= kFrameHead && r.used <= buf.size(), "used %zu of %zu", r.used,
                       buf.size());
            FUZZ_CHECK(r.used <= kFrameHead + kMaxFrameData, "a frame of %zu", r.used);
            FUZZ_CHECK(c.body.size() + kFrameHead <= r.used, "body beyond the frame");
            size_t args = 0;
            for (const std::string& a : c.args) args += a.size() + 1;
            FUZZ_CHECK(args + kFrameHead <= r.used + 1, "arguments beyond the frame");
            if (c.code == kCmdHeader)
                FUZZ_CHECK(c.args.size() == 2 && !c.args[0].empty(), "header");
            if (c.code == kCmdMail || c.code == kCmdRcpt || c.code == kCmdHelo)
                FUZZ_CHECK(!c.args.empty(), "no arguments");
            if (c.code == kCmdConnect) FUZZ_CHECK(c.args.size() == 1, "connect host");
            if (c.code == kCmdOptneg) {
                FUZZ_CHECK(c.version >= 2, "version %u", c.version);
                FUZZ_CHECK((c.protocol & kProtoInternal) == 0, "internal bits");
                SettledOptions o;
                std::string why;
                // As the host asks: the leading blank only where offered,
                // every "no reply", a step skipped that may not be.
                const uint32_t want =
                    (c.protocol & kProtoLeadingSpace) | kNoReplyAll | kProtoNoData;
                if (SettleOptions(c, kActAddHeaders, want, o, why)) {
                    FUZZ_CHECK((o.protocol & ~c.protocol) == 0, "a flag not offered");
                    FUZZ_CHECK(o.version <= kMilterProtocolVersion, "version %u", o.version);
                } else {
                    FUZZ_CHECK((c.actions & kActAddHeaders) == 0, "refused: %s", why.c_str());
                }
            }
            if (c.code == kCmdMacro && c.macroStage) {
                const bool known = macros.Set(c.macroStage, c.args);
                if (known && !c.args.empty()) {
                    const std::string* v = macros.Get(c.args[0]);
                    if (v) FUZZ_CHECK(v->size() <= r.used, "a value beyond the frame");
                }
            }
            order.Next(c.code);
            std::string text;
            if (!c.args.empty() && SmtpReplyText("550", "5.7.1", c.args, text))
                FUZZ_CHECK(text.find('\n') == std::string::npos || c.args.size() > 1,
                           "a line break in one line");
            out.push_back(std::string(1, c.code) + std::to_string(r.used));
            buf.erase(0, r.used);
            continue;
        }
        if (fed == input.size()) {
            end = buf.empty() ? "" : "rest of " + std::to_string(buf.size());
            return out;
        }
        const size_t n = std::min(step, input.size() - fed);
        buf.append(input, fed, n);
        fed += n;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::string endWhole, endPieces;
    const std::vector<std::string> whole = Cut(input, input.size() + 1, endWhole);
    const std::vector<std::string> pieces = Cut(input, 3, endPieces);
    FUZZ_CHECK(whole == pieces, "%zu commands whole, %zu in pieces", whole.size(), pieces.size());
    FUZZ_CHECK(endWhole == endPieces, "'%s' against '%s'", endWhole.c_str(), endPieces.c_str());
    return 0;
}
