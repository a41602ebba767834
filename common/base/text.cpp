// Text utilities: configured templates ("^n" markers, backslash escapes),
// number and name parsing, and the date format of reports and mail.
#include "common/base/text.h"

#include <climits>
#include <cstring>

namespace {

const char* const weekDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

const char* WeekDayName(int day) {
    return weekDays[((day % 7) + 7) % 7];
}

const char* MonthName(int month) {
    return months[((month % 12) + 12) % 12];
}

std::string mkDate(time_t t) {
    struct tm tm;
    if (!localtime_r(&t, &tm)) return std::string();
    char buf[64];
    snprintf(buf, sizeof buf, "%s, %d %s %d %02d:%02d:%02d", WeekDayName(tm.tm_wday), tm.tm_mday,
             MonthName(tm.tm_mon), tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

bool SameLocalDay(time_t a, time_t b) {
    struct tm ta, tb;
    if (!localtime_r(&a, &ta) || !localtime_r(&b, &tb)) return false;
    return ta.tm_year == tb.tm_year && ta.tm_yday == tb.tm_yday;
}

std::string& SubstStr(std::string& text, int n, const char* value) {
    const char marker = static_cast<char>('0' + n);
    size_t pos = text.find('^');
    if (pos == std::string::npos) return text;
    // One pass into a new text: templates are rebuilt for every answer, and
    // replacing in place would move the tail once per marker.
    std::string out;
    out.reserve(text.size() + (value ? strlen(value) : 0) * 2);
    size_t done = 0;
    for (; pos != std::string::npos; pos = text.find('^', pos)) {
        if (pos + 1 < text.size() && text[pos + 1] == marker) {
            out.append(text, done, pos - done);
            if (value) out += value;
            pos += 2;
            done = pos;
        } else {
            ++pos;
        }
    }
    out.append(text, done, std::string::npos);
    text.swap(out);
    return text;
}

namespace {

template <class Put>
void decodeTemplate(const std::string& tmpl, Put put) {
    for (size_t i = 0; i < tmpl.size(); ++i) {
        char c = tmpl[i];
        if (c == '\\' && i + 1 < tmpl.size()) {
            char next = tmpl[++i];
            put(next == 'e' ? '\n' : next);
        } else {
            put(c);
        }
    }
}

}  // namespace

void fprintS(FILE* out, const std::string& tmpl) {
    decodeTemplate(tmpl, [out](char c) { fputc(c, out); });
}

void fprintS(std::string& out, const std::string& tmpl) {
    decodeTemplate(tmpl, [&out](char c) { out += c; });
}

bool EqualStringsNoCase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        if (*a == '\0') return *b == '\0';
        if (*a == *b) continue;
        unsigned char ca = static_cast<unsigned char>(*a);
        unsigned char cb = static_cast<unsigned char>(*b);
        if ((ca ^ cb) != 32) return false;
        unsigned char upper = ca & ~32u;
        if (upper < 'A' || upper > 'Z') return false;
    }
}

int32_t xAtoi(const char* text) {
    if (!text) return 0;
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = (*text++ == '-');
    long long value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + (*text - '0');
        if (value > static_cast<long long>(INT32_MAX) + 1)
            value = static_cast<long long>(INT32_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT32_MAX) value = INT32_MAX;
    return static_cast<int32_t>(value);
}

std::string EscapeControl(std::string_view text, size_t max) {
    static const char hex[] = "0123456789abcdef";
    const bool cut = text.size() > max;
    if (cut) text = text.substr(0, max);
    std::string out;
    out.reserve(text.size() + (cut ? 3 : 0));
    for (unsigned char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c == 0x7f) {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    if (cut) out += "...";
    return out;
}

namespace {

bool atext(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           (c != 0 && strchr("!#$%&'*+-/=?^_`{|}~", c) != nullptr) || c >= 0x80;
}

bool domainChar(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c >= 0x80;
}

bool dotAtom(std::string_view s, bool (*allowed)(unsigned char)) {
    if (s.empty() || s.front() == '.' || s.back() == '.' || s.find("..") != std::string_view::npos)
        return false;
    for (unsigned char c : s)
        if (c != '.' && !allowed(c)) return false;
    return true;
}

bool addressLiteral(std::string_view s) {
    if (s.size() < 3 || s.front() != '[' || s.back() != ']') return false;
    for (unsigned char c : s.substr(1, s.size() - 2))
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == ':' || c == '-'))
            return false;
    return true;
}

}  // namespace

bool SendableAddress(std::string_view address) {
    const size_t at = address.rfind('@');
    if (address.empty() || address.size() > maxSendableAddress || address[0] == '-' ||
        at == std::string_view::npos)
        return false;
    const std::string_view domain = address.substr(at + 1);
    return dotAtom(address.substr(0, at), atext) &&
           (dotAtom(domain, domainChar) || addressLiteral(domain));
}
