// tarnwick-milter reads the recipients of generated mail from its header
// fields, whose display names and copied lines come from hostile mail, and
// hands each one to sendmail as an argument.  Whatever the bytes: every
// address is a bounded plain address (local@domain) that no sendmail can take for an
// option or a list, the limits hold, and the header handed on has no Bcc:
// field left and names no recipient the original did not.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "common/base/text.h"
#include "milter/addrlist.h"
#include "tests/fuzz/fuzz_common.h"

using namespace milter;

namespace {

constexpr size_t kMax = 8;

void CheckList(const AddressList& l) {
    FUZZ_CHECK(l.addresses.size() <= kMax, "%zu addresses", l.addresses.size());
    FUZZ_CHECK(l.refused.size() <= 8 && l.refused.size() <= l.refusedCount, "%zu refused kept",
               l.refused.size());
    for (const std::string& r : l.refused) FUZZ_CHECK(r.size() <= 100, "refused of %zu", r.size());
    for (size_t k = 0; k < l.addresses.size(); ++k) {
        const std::string& a = l.addresses[k];
        FUZZ_CHECK(!a.empty() && a.size() <= maxSendableAddress, "address of %zu", a.size());
        FUZZ_CHECK(a[0] != '-' && a[0] != '@', "address %s", a.c_str());
        FUZZ_CHECK(std::count(a.begin(), a.end(), '@') == 1, "address %s", a.c_str());
        for (unsigned char c : a)
            FUZZ_CHECK(c > 32 && c != 127 && !strchr(",;<>()\"\\", c), "byte %d in %s", c,
                       a.c_str());
        FUZZ_CHECK(
            std::find(l.addresses.begin(), l.addresses.begin() + k, a) == l.addresses.begin() + k,
            "%s twice", a.c_str());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    AddressList list;
    ParseAddressList(input, list, kMax);
    CheckList(list);

    AddressList all;
    std::string handed;
    CollectRecipients(input, all, &handed, kMax);
    CheckList(all);
    AddressList again;
    std::string twice;
    CollectRecipients(handed, again, &twice, kMax);
    CheckList(again);
    // Against every recipient the original names: with its Bcc: gone, the
    // header handed on may reach To: and Cc: addresses the limit cut off.
    AddressList everyone;
    CollectRecipients(input, everyone, nullptr, input.size());
    for (const std::string& a : again.addresses)
        FUZZ_CHECK(std::find(everyone.addresses.begin(), everyone.addresses.end(), a) !=
                       everyone.addresses.end(),
                   "%s appeared in the header handed on", a.c_str());
    FUZZ_CHECK(twice == handed, "handing on is not stable");
    return 0;
}
