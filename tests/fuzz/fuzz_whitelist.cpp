// Fuzz target: the sender whitelist.  Input: whitelist lines, then a line
// holding only "--", then the sender address (the rest of the input).
//
// wildcmp is held against a plain dynamic-programming glob matcher ("*" any
// run, "?" one character, letters regardless of case); IsListed must agree
// with trying every pattern kept by the loading rules, and name the first
// of them that matches.
#include <algorithm>
#include <string>
#include <vector>

#include "as/as.h"
#include "fuzz_common.h"

namespace {

// Bounds the quadratic reference; the matcher itself takes any length.
constexpr size_t maxReferenceCells = 1u << 18;

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool referenceMatch(const std::string& p, const std::string& t) {
    // next[j]: does p from i+1 on match t from j on; row i built from it.
    std::vector<char> next(t.size() + 1, 0), row(t.size() + 1, 0);
    next[t.size()] = 1;
    for (size_t i = p.size(); i-- > 0;) {
        for (size_t j = t.size() + 1; j-- > 0;) {
            if (p[i] == '*')
                row[j] = next[j] || (j < t.size() && row[j + 1]);
            else
                row[j] = j < t.size() && (p[i] == '?' || lower(p[i]) == lower(t[j])) && next[j + 1];
        }
        next.swap(row);
    }
    return next[0];
}

// The loading rules for one line of the file: pieces of at most 1023
// bytes, comments skipped, lower case, three characters at least.  A
// carriage return before the line end is dropped, as the loader does.
std::vector<std::string> kept(const std::string& line) {
    std::vector<std::string> out;
    for (size_t at = 0; at < line.size(); at += 1023) {
        std::string p = line.substr(at, 1023);
        if (p.empty() || p[0] == '#') continue;
        if (p.back() == '\r') p.pop_back();
        for (char& c : p) c = lower(c);
        if (p.size() >= 3) out.push_back(p);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::CaptureStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::ResetStdout();
    std::string input(reinterpret_cast<const char*>(data), size);
    const size_t cut = input.find("\n--\n");
    std::string lines = cut == std::string::npos ? std::string() : input.substr(0, cut + 1);
    std::string address = cut == std::string::npos ? input : input.substr(cut + 4);
    // The file is read as C strings; the address comes from one envelope
    // line, so it holds neither a zero byte nor a line feed.
    lines.erase(std::remove(lines.begin(), lines.end(), '\0'), lines.end());
    address = address.substr(0, address.find_first_of(std::string("\0\n", 2)));

    class whitelist list;
    std::vector<std::string> patterns;
    for (size_t at = 0; at < lines.size();) {
        const size_t lf = lines.find('\n', at);
        list.Add(lines.substr(at, lf - at + 1));
        for (const std::string& p : kept(lines.substr(at, lf - at))) patterns.push_back(p);
        at = lf + 1;
    }
    FUZZ_CHECK(list.Size() == patterns.size(), "%zu patterns kept, %zu expected", list.Size(),
               patterns.size());

    bool anyMatch = false;
    bool bounded = true;
    std::string firstMatch;  // valid while bounded
    for (const std::string& p : patterns) {
        if ((p.size() + 1) * (address.size() + 1) > maxReferenceCells) {
            bounded = false;
            continue;
        }
        const bool match = referenceMatch(p, address);
        if (match && !anyMatch && bounded) firstMatch = p;
        anyMatch |= match;
        FUZZ_CHECK((wildcmp(p.c_str(), address.c_str()) != 0) == match,
                   "pattern '%s' against '%s': wildcmp says %d", p.c_str(), address.c_str(),
                   wildcmp(p.c_str(), address.c_str()));
    }
    // Every text matches itself, "*" matches everything.
    FUZZ_CHECK(wildcmp(address.c_str(), address.c_str()), "'%s' does not match itself",
               address.c_str());
    FUZZ_CHECK(wildcmp("*", address.c_str()), "'*' does not match '%s'", address.c_str());

    const long mark = fuzz::StdoutMark();
    const bool listed = list.IsListed(address.c_str());
    const std::string written = fuzz::CapturedSince(mark);
    if (bounded) FUZZ_CHECK(listed == anyMatch, "IsListed('%s') says %d", address.c_str(), listed);
    // The first matching pattern in file order is the one named.
    if (bounded && listed)
        FUZZ_CHECK(written == "* " + address + " is whitelisted by " + firstMatch + "\n",
                   "IsListed wrote '%s'", written.c_str());
    FUZZ_CHECK(listed ? written.compare(0, 2, "* ") == 0 : written.empty(), "IsListed wrote '%s'",
               written.c_str());
    return 0;
}
