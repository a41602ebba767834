// The SMTP path reader of tarnwick-milter takes MAIL FROM and RCPT TO
// arguments written by the SMTP client.  Whatever the bytes: an address it
// gives is bounded, holds no byte that could end a line or an envelope
// field, and reads back as itself.
#include <cstdint>
#include <string>
#include <string_view>

#include "milter/address.h"
#include "tests/fuzz/fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string address = "unset";
    bool ok = milter::ParsePath(input, address);
    if (!ok) {
        FUZZ_CHECK(address.empty(), "address left after a failure");
        return 0;
    }
    FUZZ_CHECK(address.size() <= milter::kMaxPathAddress, "address of %zu", address.size());
    FUZZ_CHECK(address.size() <= input.size(), "address grew");
    for (unsigned char c : address) FUZZ_CHECK(c >= 32 && c != 127, "byte %d", c);
    if (!address.empty()) {
        // Outside quotes no bracket, blank or parenthesis survives.
        bool quoted = false;
        for (size_t k = 0; k < address.size(); ++k) {
            char c = address[k];
            if (quoted && c == '\\') {
                ++k;
                continue;
            }
            if (c == '"') quoted = !quoted;
            if (!quoted)
                FUZZ_CHECK(c != '<' && c != '>' && c != '(' && c != ')' && c != ',',
                           "'%c' outside quotes in %s", c, address.c_str());
        }
        std::string again;
        FUZZ_CHECK(milter::ParsePath("<" + address + ">", again) && again == address,
                   "%s does not read back", address.c_str());
    }
    return 0;
}
