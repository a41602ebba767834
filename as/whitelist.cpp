// Sender whitelist of the anti-spam filter: patterns from whitelist.txt in
// the working directory, matched against envelope senders.
//
// Input is the file, read once at start-up in pieces of at most 1023 bytes
// (a longer line becomes several patterns).  Patterns are lower-cased ASCII
// with "*" (any run) and "?" (one character); letters match regardless of
// case.  The list is filled before the reader thread exists and is only read
// afterwards, so it needs no lock.  Matching is one pass with a single
// back-tracking point: no recursion, so no pattern can exhaust the stack.
// A request does not try every pattern: most patterns end in a fixed text
// ("*@partner.example"), and only those whose fixed end the sender's
// address ends with are tried, so a list of thousands of partner domains
// costs about as much per request as a list of ten.
#include "as/settings.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "common/base/log.h"
#include "common/base/owners.h"
#include "common/base/text.h"

class whitelist whitelist;

namespace {

constexpr size_t pieceSize = 1023;

bool inSet(const uint64_t (&set)[4], char c) {
    const auto b = static_cast<unsigned char>(c);
    return (set[b >> 6] >> (b & 63)) & 1;
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Key of a text read backwards from its end, one character at a time, so
// that the keys of all an address's endings come out of one walk.
uint64_t tailKeyStep(uint64_t key, char c) {
    return (key ^ static_cast<unsigned char>(LowerAscii(c))) * 1099511628211ull +
           0x9e3779b97f4a7c15ull;
}

}  // namespace

void whitelist::Add(const std::string& line) {
    // The same rules as for a piece read from the file, so a caller may pass
    // a whole line of any length.
    for (size_t at = 0; at < line.size(); at += pieceSize) {
        std::string pattern = line.substr(at, pieceSize);
        if (pattern.empty() || pattern[0] == '#') continue;
        const size_t lf = pattern.find('\n');
        if (lf != std::string::npos) pattern.resize(lf);
        // A whitelist saved with CR LF line ends would otherwise only match
        // senders ending in a carriage return, that is nobody.
        if (!pattern.empty() && pattern.back() == '\r') pattern.pop_back();
        if (pattern.empty()) continue;
        for (char& c : pattern) c = LowerAscii(c);
        if (pattern.size() < 3) continue;
        size_t star = pattern.rfind('*');
        const size_t tailFrom = star == std::string::npos ? 0 : star + 1;
        const uint32_t number = static_cast<uint32_t>(patterns_.size());
        if (tailFrom < pattern.size() && pattern.find('?', tailFrom) == std::string::npos) {
            const size_t tailLen = pattern.size() - tailFrom;
            uint64_t key = 0;
            for (size_t i = pattern.size(); i-- > tailFrom;) key = tailKeyStep(key, pattern[i]);
            byTail_[key].push_back(number);
            auto at = std::lower_bound(
                tailLengths_.begin(), tailLengths_.end(), tailLen,
                [](const tailLength& t, size_t length) { return t.length < length; });
            if (at == tailLengths_.end() || at->length != tailLen)
                at = tailLengths_.insert(at, tailLength{tailLen, {0, 0, 0, 0}});
            const auto first = static_cast<unsigned char>(pattern[tailFrom]);
            at->firstChars[first >> 6] |= uint64_t{1} << (first & 63);
            const auto last = static_cast<unsigned char>(pattern.back());
            lastChars_[last >> 6] |= uint64_t{1} << (last & 63);
        } else {
            general_.push_back(number);
        }
        tailFrom_.push_back(star == std::string::npos ? std::string::npos : star + 1);
        patterns_.push_back(std::move(pattern));
    }
}

void whitelist::Initialize() {
    UniqueFile file(fopen(whitelist_file_name, "r"));
    if (!file) return;
    char piece[pieceSize + 1];
    while (fgets(piece, sizeof piece, file.get())) Add(piece);
    file.reset();
    patterns_.shrink_to_fit();
    tailFrom_.shrink_to_fit();
    PrintMsg("* %d items read from %s\n", static_cast<int>(patterns_.size()), whitelist_file_name);
}

namespace {
// A match needs the address to end in what follows the pattern's last "*"
// (to be the whole pattern when it has none): one cheap look that turns
// away almost every pattern before the full match runs.
bool tailCanMatch(const std::string& pattern, size_t tailFrom, const char* address,
                  size_t addressLen) {
    const bool starless = tailFrom == std::string::npos;
    if (starless) tailFrom = 0;
    const size_t tailLen = pattern.size() - tailFrom;
    if (starless ? addressLen != tailLen : addressLen < tailLen) return false;
    const char* a = address + addressLen - tailLen;
    for (size_t i = 0; i < tailLen; ++i) {
        const char p = pattern[tailFrom + i];
        if (p != '?' && LowerAscii(p) != LowerAscii(a[i])) return false;
    }
    return true;
}
}  // namespace

bool whitelist::IsListed(const char* address) const {
    if (!address) return false;
    const size_t addressLen = strlen(address);
    auto matches = [&](uint32_t i) {
        return tailCanMatch(patterns_[i], tailFrom_[i], address, addressLen) &&
               wildcmp(patterns_[i].c_str(), address);
    };
    // The first pattern in file order decides: the first match among the
    // general patterns, then any earlier one among those the tails find.
    uint32_t first = UINT32_MAX;
    for (uint32_t i : general_) {
        if (matches(i)) {
            first = i;
            break;
        }
    }
    // The key of the address's ending is taken one character further each
    // time a tail length is worth a look, so the walk costs at most one
    // step per character of the address.
    uint64_t key = 0;
    size_t walked = 0;
    const bool tailsEndHere =
        addressLen > 0 && inSet(lastChars_, LowerAscii(address[addressLen - 1]));
    for (const tailLength& tail : tailLengths_) {
        if (!tailsEndHere || tail.length > addressLen) break;
        if (!inSet(tail.firstChars, LowerAscii(address[addressLen - tail.length]))) continue;
        while (walked < tail.length) {
            ++walked;
            key = tailKeyStep(key, address[addressLen - walked]);
        }
        auto found = byTail_.find(key);
        if (found == byTail_.end()) continue;
        for (uint32_t i : found->second) {
            if (i >= first) break;  // numbers ascend
            if (matches(i)) {
                first = i;
                break;
            }
        }
    }
    if (first == UINT32_MAX) return false;
    PrintMsg("* %s is whitelisted by %s\n", address, patterns_[first].c_str());
    return true;
}

int wildcmp(const char* pattern, const char* text) {
    const char* p = pattern;
    const char* a = text;

    while (*a && *p != '*') {
        if (*p != '?' && LowerAscii(*p) != LowerAscii(*a)) return 0;
        ++p;
        ++a;
    }

    // After a star: retry from `starP` against the address from `retryA` on,
    // one character later each time the literal part fails.
    const char* starP = nullptr;
    const char* retryA = nullptr;
    while (*a) {
        if (*p == '*') {
            if (!*++p) return 1;
            starP = p;
            retryA = a + 1;
        } else if (*p == '?' || (*p && LowerAscii(*p) == LowerAscii(*a))) {
            ++p;
            ++a;
        } else {
            if (!starP) return 0;
            p = starP;
            a = retryA++;
        }
    }

    while (*p == '*') ++p;
    return !*p;
}
