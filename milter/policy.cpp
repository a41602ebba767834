#include "milter/policy.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "common/base/text.h"
#include "common/config/cfgf.h"
#include "common/config/filterkeys.h"
#include "milter/filter_settings.h"

namespace milter {

namespace {

const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// The client address as bytes; an IPv4-mapped IPv6 address as IPv4.
bool AddressBytes(const std::string& text, int& family, unsigned char bytes[16]) {
    if (inet_pton(AF_INET, text.c_str(), bytes) == 1) {
        family = AF_INET;
        return true;
    }
    if (inet_pton(AF_INET6, text.c_str(), bytes) != 1) return false;
    if (memcmp(bytes, kMapped, sizeof kMapped) == 0) {
        memmove(bytes, bytes + 12, 4);
        family = AF_INET;
    } else {
        family = AF_INET6;
    }
    return true;
}

bool PrefixMatches(const unsigned char* a, const unsigned char* b, int prefix) {
    int whole = prefix / 8, rest = prefix % 8;
    if (memcmp(a, b, static_cast<size_t>(whole)) != 0) return false;
    if (rest == 0) return true;
    const unsigned char mask = static_cast<unsigned char>(0xff << (8 - rest));
    return (a[whole] & mask) == (b[whole] & mask);
}

}  // namespace

bool ParseNetwork(const std::string& text, Network& out, std::string& why) {
    out = Network();
    const size_t slash = text.find('/');
    const std::string address = text.substr(0, slash);
    if (address.size() <= INET6_ADDRSTRLEN) {
        if (inet_pton(AF_INET, address.c_str(), out.bytes) == 1)
            out.family = AF_INET;
        else if (inet_pton(AF_INET6, address.c_str(), out.bytes) == 1)
            out.family = AF_INET6;
    }
    if (out.family == 0) {
        why = "wants an IPv4 or IPv6 address, with /PREFIX for a network";
        out = Network();
        return false;
    }
    // A client's mapped address is matched as IPv4, so such a network
    // could never match.
    if (out.family == AF_INET6 && memcmp(out.bytes, kMapped, sizeof kMapped) == 0) {
        why = "is an IPv4-mapped IPv6 address: give the IPv4 network";
        out = Network();
        return false;
    }
    const int bits = out.family == AF_INET ? 32 : 128;
    out.prefix = bits;
    if (slash != std::string::npos) {
        const std::string digits = text.substr(slash + 1);
        int prefix = 0;
        bool ok = !digits.empty() && digits.size() <= 3;
        for (char c : digits) {
            ok = ok && c >= '0' && c <= '9';
            if (ok) prefix = prefix * 10 + (c - '0');
        }
        if (!ok || prefix > bits) {
            why = "wants a prefix length from 0 to " + std::to_string(bits) + " after /";
            out = Network();
            return false;
        }
        out.prefix = prefix;
    }
    for (int bit = out.prefix; bit < bits; ++bit)
        if (out.bytes[bit / 8] & (0x80 >> (bit % 8))) {
            why = "has address bits set beyond its /" + std::to_string(out.prefix) +
                  " prefix (a typo would trust another network)";
            out = Network();
            return false;
        }
    out.text = text;
    return true;
}

bool InNetwork(const std::string& address, const Network& network) {
    int family = 0;
    unsigned char bytes[16] = {};
    if (address.empty() || !AddressBytes(address, family, bytes)) return false;
    return family == network.family && PrefixMatches(bytes, network.bytes, network.prefix);
}

ScoreField ScoreFieldOfHeader(const std::string& quoted) {
    std::string decoded;
    fprintS(decoded, quoted.substr(0, 64 * 1024));
    int skipped = 0;
    for (const HeaderField& f : HeaderFields(decoded, skipped)) {
        const size_t marker = f.second.find("^1");
        if (marker == std::string::npos || f.first.find('^') != std::string::npos) continue;
        return ScoreField{Lower(f.first), f.second.substr(0, marker)};
    }
    return ScoreField();
}

ScoreField ScoreFieldOf(const std::string& program) {
    const std::string file = SettingsFileOf(program);
    std::unique_ptr<cfgfItem> tree;
    if (access(file.c_str(), R_OK) == 0) tree = cfgfReadConfigFile(file);
    if (!tree) return ScoreField();
    const char* header = cfgfGetDictValueStr(tree.get(), filterKeys::header);
    return header ? ScoreFieldOfHeader(header) : ScoreField();
}

Score ReadScore(const std::vector<HeaderField>& fields, const ScoreField& where) {
    Score score;
    if (where.name.empty()) return score;
    for (const HeaderField& f : fields) {
        if (Lower(f.first) != where.name) continue;
        if (f.second.compare(0, where.prefix.size(), where.prefix) != 0) return score;
        const std::string rest = f.second.substr(where.prefix.size());
        auto digit = [&rest](size_t k) {
            return k < rest.size() && rest[k] >= '0' && rest[k] <= '9';
        };
        // Rated: "%3d", three places, blanks before the first digit and no
        // leading zero ("050" or " 05" is no rating).
        size_t k = 0;
        while (k < 2 && k < rest.size() && rest[k] == ' ') ++k;
        if (rest.size() >= 3 && digit(k)) {
            bool allDigits = true;
            for (size_t d = k; d < 3; ++d) allDigits = allDigits && digit(d);
            const int value = allDigits ? atoi(rest.substr(k, 3 - k).c_str()) : -1;
            const size_t places = value >= 100 ? 3 : value >= 10 ? 2 : 1;
            if (allDigits && !digit(3) && value <= 100 && k + places == 3) {
                score.kind = Score::Kind::kRated;
                score.value = value;
                return score;
            }
        }
        if (!rest.empty() && rest[0] == '0' && !digit(1)) score.kind = Score::Kind::kWhitelisted;
        return score;
    }
    return score;
}

std::string PolicySettings::TrustReason(const std::string& authenticated,
                                        const std::string& address) const {
    if (trustAuthenticated && !authenticated.empty()) return "authenticated session";
    for (const Network& n : trustedNetworks)
        if (InNetwork(address, n)) return "client " + address + " in trusted network " + n.text;
    return std::string();
}

}  // namespace milter
