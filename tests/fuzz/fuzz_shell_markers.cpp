// Fuzz target: the post-processing command rewrite.  Whatever the template,
// no marker survives, every marker becomes a reference to $1 or $2 that the
// shell expands inside double quotes (one word, never parsed), and the
// template's own references keep their quoting.  The reference lexer here
// follows the POSIX rules for quotes and backslashes on its own.
#include <cstring>
#include <string>

#include "common/base/shell.h"
#include "fuzz_common.h"

namespace {

struct refCount {
    long quoted = 0;  // "$1" / "${1}" inside double quotes
    long bare = 0;    // outside any quotes: split into words by the shell
};

bool refAt(const std::string& s, size_t i, size_t& len) {
    for (const char* r : {"${1}", "${2}", "$1", "$2"}) {
        const size_t n = strlen(r);
        if (s.compare(i, n, r) == 0) {
            len = n;
            return true;
        }
    }
    return false;
}

refCount countRefs(const std::string& s) {
    enum { bare, single, dbl } state = bare;
    refCount count;
    for (size_t i = 0; i < s.size();) {
        size_t len = 0;
        if (state != single && refAt(s, i, len)) {
            ++(state == dbl ? count.quoted : count.bare);
            i += len;
        } else if (state != single && s[i] == '\\') {
            i += 2;
        } else {
            if (s[i] == '\'' && state != dbl) state = state == single ? bare : single;
            if (s[i] == '"' && state != single) state = state == dbl ? bare : dbl;
            ++i;
        }
    }
    return count;
}

long countMarkers(const std::string& s) {
    long n = 0;
    for (size_t i = 0; i + 1 < s.size();) {
        if (s[i] == '^' && (s[i + 1] == '1' || s[i + 1] == '2')) {
            ++n;
            i += 2;
        } else {
            ++i;
        }
    }
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string in(reinterpret_cast<const char*>(data), size);
    const std::string out = ShellMarkersToParameters(in);
    FUZZ_CHECK(out.find("^1") == std::string::npos && out.find("^2") == std::string::npos,
               "a marker survived");
    const long markers = countMarkers(in);
    if (markers == 0) FUZZ_CHECK(out == in, "a template without markers was changed");
    // A backslash in front of a marker is dropped; it can change what the
    // reference lexer sees only around that marker, so compare templates
    // without such backslashes.
    if (in.find("\\^") != std::string::npos) return 0;
    const refCount before = countRefs(in), after = countRefs(out);
    FUZZ_CHECK(after.bare == before.bare, "bare references %ld, were %ld", after.bare, before.bare);
    FUZZ_CHECK(after.quoted == before.quoted + markers,
               "quoted references %ld, were %ld, %ld markers", after.quoted, before.quoted,
               markers);
    return 0;
}
