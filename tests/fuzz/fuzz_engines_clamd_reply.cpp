// Fuzz target: quillon-clamd's reader of the replies of a clamd in its
// pool (ParseClamdReply), fed the bytes a member sent back to INSTREAM.
//
// Properties: a reply read as found lists one to a hundred names, none
// empty, none longer than 256 bytes, none twice; one read as an error says
// what clamd said; a clean one lists nothing.
#include <set>
#include <string>

#include "engines/clamd/clamd_pool.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string reply(reinterpret_cast<const char*>(data), size);
    engined::ClamdVerdict verdict;
    if (!engined::ParseClamdReply(reply, verdict)) return 0;
    switch (verdict.kind) {
        case engined::ClamdVerdict::kFound: {
            FUZZ_CHECK(!verdict.names.empty() && verdict.names.size() <= 100, "names out of bounds");
            std::set<std::string> seen;
            for (const std::string& name : verdict.names) {
                FUZZ_CHECK(!name.empty() && name.size() <= 256, "a name out of bounds");
                FUZZ_CHECK(seen.insert(name).second, "a name listed twice");
            }
            break;
        }
        case engined::ClamdVerdict::kError:
            FUZZ_CHECK(verdict.names.empty(), "an error with names");
            break;
        case engined::ClamdVerdict::kClean:
            FUZZ_CHECK(verdict.names.empty() && verdict.error.empty(), "a clean reply with findings");
            break;
    }
    return 0;
}
