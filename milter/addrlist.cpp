#include "milter/addrlist.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "common/base/text.h"

namespace milter {

namespace {

constexpr size_t kMaxRefusedKept = 8;
constexpr size_t kRefusedCut = 100;
constexpr int kMaxCommentDepth = 64;

enum class Kind { kAtom, kQuoted, kLiteral, kSpecial, kBad };

struct Token {
    Kind kind;
    std::string text;   // atom, quoted content (unescaped), literal with brackets, the special
    size_t begin, end;  // bytes of the body
};

bool IsAtext(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           (c != 0 && strchr("!#$%&'*+-/=?^_`{|}~", c) != nullptr) || c >= 0x80;
}

bool IsSpace(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Splits a field body into tokens, comments and folding white space left
// out.  An unterminated quoted string, comment or literal is one bad token
// to the end.
std::vector<Token> Lex(std::string_view s) {
    std::vector<Token> out;
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t begin = i;
        if (IsSpace(c)) {
            ++i;
        } else if (c == '(') {
            int depth = 0;
            for (; i < s.size(); ++i) {
                if (s[i] == '\\') {
                    ++i;
                } else if (s[i] == '(') {
                    if (++depth > kMaxCommentDepth) break;
                } else if (s[i] == ')' && --depth == 0) {
                    break;
                }
            }
            if (i >= s.size() || depth != 0) {
                out.push_back({Kind::kBad, std::string(), begin, s.size()});
                return out;
            }
            ++i;
        } else if (c == '"') {
            std::string text;
            for (++i; i < s.size() && s[i] != '"'; ++i) {
                if (s[i] == '\\' && i + 1 < s.size()) ++i;
                if (s[i] != '\r' && s[i] != '\n') text += s[i];
            }
            if (i >= s.size()) {
                out.push_back({Kind::kBad, std::string(), begin, s.size()});
                return out;
            }
            ++i;
            out.push_back({Kind::kQuoted, std::move(text), begin, i});
        } else if (c == '[') {
            size_t close = s.find_first_of("[]\\", i + 1);
            if (close == std::string_view::npos || s[close] != ']') {
                out.push_back({Kind::kBad, std::string(), begin, s.size()});
                return out;
            }
            i = close + 1;
            out.push_back({Kind::kLiteral, std::string(s.substr(begin, i - begin)), begin, i});
        } else if (IsAtext(c)) {
            while (i < s.size() && IsAtext(static_cast<unsigned char>(s[i]))) ++i;
            out.push_back({Kind::kAtom, std::string(s.substr(begin, i - begin)), begin, i});
        } else if (c != 0 && strchr("<>@,;:.", c) != nullptr) {
            ++i;
            out.push_back({Kind::kSpecial, std::string(1, static_cast<char>(c)), begin, i});
        } else {
            ++i;
            out.push_back({Kind::kBad, std::string(), begin, i});
        }
    }
    return out;
}

class Parser {
  public:
    Parser(std::string_view body, AddressList& out, size_t max)
        : body_(body), t_(Lex(body)), out_(out), max_(max) {}

    void List() {
        while (i_ < t_.size()) {
            // Empty members (obsolete syntax) and, at the top level, a ';'
            // where a ',' belongs.
            if (Is(i_, ',') || Is(i_, ';')) {
                ++i_;
                continue;
            }
            Address(false);
        }
    }

  private:
    bool Is(size_t k, char special) const {
        return k < t_.size() && t_[k].kind == Kind::kSpecial && t_[k].text[0] == special;
    }
    bool Word(size_t k) const {
        return k < t_.size() && (t_[k].kind == Kind::kAtom || t_[k].kind == Kind::kQuoted);
    }
    // Ends a member: ';' closes a group, and at the top level stands for
    // the ',' that was meant.
    bool Separator(size_t k) const { return k >= t_.size() || Is(k, ',') || Is(k, ';'); }

    void Address(bool inGroup) {
        size_t start = i_;
        size_t j = i_;
        while (Word(j) || Is(j, '.')) ++j;
        if (Is(j, ':') && !inGroup) {
            // A group: its members are addresses; the group itself is none.
            i_ = j + 1;
            while (i_ < t_.size()) {
                if (Is(i_, ';')) {
                    ++i_;
                    return;
                }
                if (Is(i_, ',')) {
                    ++i_;
                    continue;
                }
                Address(true);
            }
            return;
        }
        if (!inGroup && j > start && Is(j, ';')) {
            // "recipients;": the server's group without its colon.
            i_ = j + 1;
            return;
        }
        std::string address;
        size_t k;
        bool ok;
        if (Is(j, '<')) {
            k = j + 1;
            if (Is(k, '@')) {  // a source route, dropped
                while (k < t_.size() && !Is(k, ':') && !Is(k, '>')) ++k;
                k += Is(k, ':') ? 1 : 0;
            }
            ok = AddrSpec(k, address) && Is(k, '>');
            k += ok ? 1 : 0;
        } else {
            k = start;
            ok = AddrSpec(k, address);
        }
        if (ok && Separator(k)) {
            i_ = k;
            Add(address);
            return;
        }
        // Refused up to the end of the member.
        k = std::max(k, start + 1);
        k = std::min(k, t_.size());
        while (!Separator(k)) ++k;
        Refuse(start, k);
        i_ = k;
    }

    // local-part "@" domain from token k on; k is left after it.
    bool AddrSpec(size_t& k, std::string& address) {
        std::string local;
        bool wantWord = true;
        while (k < t_.size()) {
            if (wantWord && Word(k)) {
                local += t_[k].text;
                wantWord = false;
            } else if (!wantWord && Is(k, '.')) {
                local += '.';
                wantWord = true;
            } else {
                break;
            }
            ++k;
        }
        if (wantWord || !Is(k, '@')) return false;
        ++k;
        std::string domain;
        if (k < t_.size() && t_[k].kind == Kind::kLiteral) {
            domain = t_[k++].text;
        } else {
            wantWord = true;
            while (k < t_.size()) {
                if (wantWord && t_[k].kind == Kind::kAtom) {
                    domain += t_[k].text;
                    wantWord = false;
                } else if (!wantWord && Is(k, '.')) {
                    domain += '.';
                    wantWord = true;
                } else {
                    break;
                }
                ++k;
            }
            if (wantWord) return false;
        }
        address = local + "@" + domain;
        // The rule the notification writer names its recipients by.
        return SendableAddress(address);
    }

    void Add(const std::string& address) {
        if (std::find(out_.addresses.begin(), out_.addresses.end(), address) !=
            out_.addresses.end())
            return;
        if (out_.addresses.size() >= max_) {
            ++out_.dropped;
            return;
        }
        out_.addresses.push_back(address);
    }

    void Refuse(size_t from, size_t to) {
        ++out_.refusedCount;
        if (out_.refused.size() >= kMaxRefusedKept || from >= to) return;
        size_t b = t_[from].begin, e = t_[to - 1].end;
        out_.refused.emplace_back(body_.substr(b, std::min(e - b, kRefusedCut)));
    }

    std::string_view body_;
    std::vector<Token> t_;
    AddressList& out_;
    size_t max_;
    size_t i_ = 0;
};

bool NameIs(std::string_view name, const char* want) {
    size_t n = strlen(want);
    if (name.size() != n) return false;
    for (size_t k = 0; k < n; ++k)
        if (tolower(static_cast<unsigned char>(name[k])) != want[k]) return false;
    return true;
}

// The phrase of a field body that is only a phrase and ';' (the server's
// "recipients;"), or empty.
std::string_view ColonlessGroup(std::string_view body) {
    while (!body.empty() && IsSpace(static_cast<unsigned char>(body.front())))
        body.remove_prefix(1);
    while (!body.empty() && IsSpace(static_cast<unsigned char>(body.back()))) body.remove_suffix(1);
    if (body.size() < 2 || body.back() != ';') return std::string_view();
    body.remove_suffix(1);
    for (unsigned char c : body)
        if (!(c == ' ' || (c < 0x80 && IsAtext(c)))) return std::string_view();
    return IsAtext(static_cast<unsigned char>(body.back())) ? body : std::string_view();
}

}  // namespace

void ParseAddressList(std::string_view body, AddressList& out, size_t maxAddresses) {
    Parser(body, out, maxAddresses).List();
}

void CollectRecipients(std::string_view header, AddressList& out, std::string* withoutBcc,
                       size_t maxAddresses) {
    size_t pos = 0;
    while (pos < header.size()) {
        // One field: its first line and the lines that continue it.
        size_t end = pos;
        do {
            size_t nl = header.find('\n', end);
            end = nl == std::string_view::npos ? header.size() : nl + 1;
        } while (end < header.size() && (header[end] == ' ' || header[end] == '\t'));
        std::string_view field = header.substr(pos, end - pos);
        pos = end;

        size_t colon = field.find(':');
        size_t nl = field.find('\n');
        std::string_view name;
        if (colon != std::string_view::npos && colon < nl && field[0] != ' ' && field[0] != '\t') {
            name = field.substr(0, colon);
            while (!name.empty() && (name.back() == ' ' || name.back() == '\t'))
                name.remove_suffix(1);
        }
        bool bcc = NameIs(name, "bcc");
        bool toCc = NameIs(name, "to") || NameIs(name, "cc");
        if (bcc || toCc) ParseAddressList(field.substr(colon + 1), out, maxAddresses);
        if (!withoutBcc || bcc) continue;
        std::string_view group = ColonlessGroup(field.substr(colon + 1));
        if (toCc && !group.empty()) {
            // MTAs read "recipients;" as a local address and write it back
            // qualified ("recipients@host"): the valid empty group instead.
            withoutBcc->append(name).append(": ").append(group).append(":;");
            withoutBcc->append(field.find('\r') != std::string_view::npos ? "\r\n" : "\n");
        } else {
            withoutBcc->append(field);
        }
    }
}

}  // namespace milter
