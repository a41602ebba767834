#include "milter/address.h"

#include <algorithm>

namespace milter {

namespace {

bool IsAtext(unsigned char c) {
    if (c >= 0x80) return true;
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    switch (c) {
        case '!':
        case '#':
        case '$':
        case '%':
        case '&':
        case '\'':
        case '*':
        case '+':
        case '-':
        case '/':
        case '=':
        case '?':
        case '^':
        case '_':
        case '`':
        case '{':
        case '|':
        case '}':
        case '~':
            return true;
        default:
            return false;
    }
}

bool IsLetDig(unsigned char c) {
    return c >= 0x80 || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

class Reader {
  public:
    explicit Reader(std::string_view s) : s_(s) {}
    bool AtEnd() const { return i_ >= s_.size(); }
    unsigned char Peek() const { return AtEnd() ? 0 : static_cast<unsigned char>(s_[i_]); }
    bool Take(char c) {
        if (AtEnd() || s_[i_] != c) return false;
        ++i_;
        return true;
    }
    size_t Pos() const { return i_; }
    std::string_view From(size_t start) const { return s_.substr(start, i_ - start); }

    // sub-domain *("." sub-domain); sub-domain = Let-dig [Ldh-str]
    bool Domain() {
        do {
            if (!IsLetDig(Peek())) return false;
            unsigned char last = 0;
            while (IsLetDig(Peek()) || Peek() == '-') last = static_cast<unsigned char>(s_[i_++]);
            if (last == '-') return false;
        } while (Take('.'));
        return true;
    }

    // "[" IPv4, IPv6 or tag ":" content "]": letters, digits, ".", ":"
    // and "-" only, which every address literal in use is made of; the
    // rest of RFC 5321's dcontent (brackets, commas, parentheses) has no
    // place in an address the notifications or the whitelist see.
    bool AddressLiteral() {
        if (!Take('[')) return false;
        size_t start = i_;
        while ((IsLetDig(Peek()) && Peek() < 0x80) || Peek() == '.' || Peek() == ':' ||
               Peek() == '-')
            ++i_;
        return i_ > start && Take(']');
    }

    bool LocalPart() {
        if (Take('"')) {
            while (!AtEnd() && Peek() != '"') {
                unsigned char c = Peek();
                if (c == '\\') {
                    ++i_;
                    if (AtEnd() || Peek() < 32 || Peek() > 126) return false;
                } else if (c < 32 || c == 127) {
                    return false;
                }
                ++i_;
            }
            return Take('"');
        }
        do {
            if (!IsAtext(Peek())) return false;
            while (IsAtext(Peek())) ++i_;
        } while (Take('.'));
        return true;
    }

    bool Mailbox() {
        if (!LocalPart()) return false;
        if (!Take('@')) return true;
        return Peek() == '[' ? AddressLiteral() : Domain();
    }

    // A-d-l = At-domain *( "," At-domain ), then ":".
    bool SourceRoute() {
        do {
            if (!Take('@') || !Domain()) return false;
        } while (Take(','));
        return Take(':');
    }

  private:
    std::string_view s_;
    size_t i_ = 0;
};

}  // namespace

bool ParsePath(std::string_view arg, std::string& address) {
    address.clear();
    Reader r(arg);
    size_t start;
    if (r.Take('<')) {
        if (r.Take('>')) return r.AtEnd() || r.Peek() == ' ';
        if (r.Peek() == '@' && !r.SourceRoute()) return false;
        start = r.Pos();
        if (!r.Mailbox()) return false;
        std::string_view mailbox = r.From(start);
        if (!r.Take('>') || !(r.AtEnd() || r.Peek() == ' ')) return false;
        if (mailbox.size() > kMaxPathAddress) return false;
        address.assign(mailbox);
        return true;
    }
    start = r.Pos();
    if (!r.Mailbox() || !(r.AtEnd() || r.Peek() == ' ')) return false;
    std::string_view mailbox = r.From(start);
    if (mailbox.size() > kMaxPathAddress) return false;
    address.assign(mailbox);
    return true;
}

namespace {

bool SameIgnoringAsciiCase(const std::string& a, const std::string& b) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return lower(x) == lower(y); });
}

}  // namespace

bool MtaAddress(const char* given, std::string_view path, std::string& out) {
    if (!given) return ParsePath(path, out);
    if (given[0] == '<') {
        if (!ParsePath(given, out)) return false;
    } else {
        out = given;
    }
    std::string written;
    if (ParsePath(path, written) && SameIgnoringAsciiCase(written, out)) out = written;
    return true;
}

}  // namespace milter
