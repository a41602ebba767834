// tarnwick-milter's --trust-network reader and the client address match.
// Whatever the bytes: a network it takes has a prefix within its family's
// bits and no bit set beyond it, contains its own address, and reads back
// as itself.
#include <sys/socket.h>

#include <cstdint>
#include <string>

#include "milter/policy.h"
#include "tests/fuzz/fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    milter::Network n;
    std::string why;
    if (!milter::ParseNetwork(input, n, why)) {
        FUZZ_CHECK(!why.empty() && n.family == 0, "refused without a reason");
        // The text as a client address: never a crash, whatever it is.
        milter::Network any;
        if (milter::ParseNetwork("::/0", any, why)) (void)milter::InNetwork(input, any);
        return 0;
    }
    const int bits = n.family == AF_INET ? 32 : 128;
    FUZZ_CHECK(n.family == AF_INET || n.family == AF_INET6, "family %d", n.family);
    FUZZ_CHECK(n.prefix >= 0 && n.prefix <= bits, "prefix %d", n.prefix);
    for (int bit = n.prefix; bit < bits; ++bit)
        FUZZ_CHECK(!(n.bytes[bit / 8] & (0x80 >> (bit % 8))), "bit %d set", bit);
    FUZZ_CHECK(n.text == input, "text changed");
    const std::string address = input.substr(0, input.find('/'));
    FUZZ_CHECK(milter::InNetwork(address, n), "%s not in itself", input.c_str());
    milter::Network again;
    FUZZ_CHECK(milter::ParseNetwork(input, again, why) && again.prefix == n.prefix, "not stable");
    return 0;
}
