#include "milter/mta_protocol.h"

#include <arpa/inet.h>
#include <sys/un.h>

#include <cstdio>
#include <cstring>

namespace milter {

namespace {

uint32_t ReadBE32(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return (uint32_t{u[0]} << 24) | (uint32_t{u[1]} << 16) | (uint32_t{u[2]} << 8) | u[3];
}

void AppendBE32(std::string& out, uint32_t v) {
    out += static_cast<char>(v >> 24);
    out += static_cast<char>(v >> 16);
    out += static_cast<char>(v >> 8);
    out += static_cast<char>(v);
}

// The NUL-terminated strings of p[0..n); an unterminated rest is dropped,
// as libmilter drops it.  Returns how many there were.
size_t SplitStrings(const char* p, size_t n, std::vector<std::string>& out) {
    size_t start = 0, count = 0;
    for (size_t i = 0; i < n; ++i)
        if (p[i] == '\0') {
            out.emplace_back(p + start, i - start);
            start = i + 1;
            ++count;
        }
    return count;
}

std::string CString(const char* p, size_t n) {
    return std::string(p, strnlen(p, n));
}

DecodeResult Malformed(std::string why) {
    DecodeResult r;
    r.kind = Decoded::kMalformed;
    r.why = std::move(why);
    return r;
}

// CONNECT: host name, family, and (but for family 'U') the port and the
// address, checked as libmilter checks them.
bool DecodeConnect(const char* s, size_t l, MtaCommand& out, std::string& why) {
    size_t i = 0;
    while (i < l && s[i] != '\0') ++i;
    if (i + 1 >= l) {
        why = "connect information without a family";
        return false;
    }
    out.args.emplace_back(s, i);
    ++i;
    out.family = s[i++];
    if (out.family == 'U') return true;
    if (i + 2 >= l || s[l - 1] != '\0') {
        why = "connect information cut short";
        return false;
    }
    out.port = static_cast<uint16_t>((static_cast<unsigned char>(s[i]) << 8) |
                                     static_cast<unsigned char>(s[i + 1]));
    i += 2;
    out.address = CString(s + i, l - i);
    char text[INET6_ADDRSTRLEN] = "";
    if (out.family == '4') {
        in_addr a{};
        if (inet_aton(out.address.c_str(), &a) != 1) {
            why = "connect information with a bad IPv4 address";
            return false;
        }
        out.address = inet_ntop(AF_INET, &a, text, sizeof text) ? text : "";
    } else if (out.family == '6') {
        in6_addr a{};
        if (inet_pton(AF_INET6, out.address.c_str(), &a) != 1) {
            why = "connect information with a bad IPv6 address";
            return false;
        }
        out.address = inet_ntop(AF_INET6, &a, text, sizeof text) ? text : "";
    } else if (out.family == 'L') {
        if (out.address.size() >= sizeof(sockaddr_un{}.sun_path)) {
            why = "connect information with a socket path too long";
            return false;
        }
    } else {
        why = "connect information of unknown family " + CommandName(out.family);
        return false;
    }
    return true;
}

bool DecodeArguments(const char* p, size_t n, MtaCommand& out, std::string& why) {
    const char* what = "";
    switch (out.code) {
        case kCmdOptneg:
            if (n < 12) {
                why = "a negotiation of " + std::to_string(n) + " bytes";
                return false;
            }
            out.version = ReadBE32(p);
            out.actions = ReadBE32(p + 4);
            out.protocol = ReadBE32(p + 8);
            if (out.version < 2) {
                why = "protocol version " + std::to_string(out.version) + " is too old";
                return false;
            }
            if (out.actions == 0) out.actions = kActV1;
            if (out.protocol == 0) out.protocol = kProtoV1;
            out.protocol &= ~kProtoInternal;
            return true;
        case kCmdMacro:
            if (n < 1) break;
            // A list without a string, as one of an unknown stage, is
            // passed over (macroStage 0), as libmilter does.
            out.macroStage = SplitStrings(p + 1, n - 1, out.args) ? p[0] : 0;
            return true;
        case kCmdConnect:
            if (n < 1) break;
            return DecodeConnect(p, n, out, why);
        case kCmdHelo:
            if (n < 1 || p[n - 1] != '\0') {
                what = "HELO";
                break;
            }
            out.args.push_back(CString(p, n));
            return true;
        case kCmdMail:
        case kCmdRcpt:
            if (n < 1 || SplitStrings(p, n, out.args) == 0) {
                what = out.code == kCmdMail ? "MAIL" : "RCPT";
                break;
            }
            return true;
        case kCmdHeader: {
            // The name (never empty), then the value, both terminated.
            size_t i = 1;
            while (i < n && p[i] != '\0') ++i;
            if (n < 1 || p[n - 1] != '\0' || i >= n - 1) {
                what = "header field";
                break;
            }
            out.args.emplace_back(p, i);
            out.args.push_back(CString(p + i + 1, n - i - 1));
            return true;
        }
        case kCmdBody:
            if (n < 1) {
                what = "body chunk";
                break;
            }
            out.body.assign(p, n);
            return true;
        case kCmdBodyEob:
            out.body.assign(p, n);
            return true;
        case kCmdUnknown:
            if (n < 1) break;
            out.args.push_back(CString(p, n));
            return true;
        case kCmdData:
        case kCmdEoh:
        case kCmdAbort:
        case kCmdQuit:
        case kCmdQuitNc:
            return true;
        default:
            why = "unknown command " + CommandName(out.code);
            return false;
    }
    why = *what ? std::string("a malformed ") + what
                : "command " + CommandName(out.code) + " without its arguments";
    return false;
}

constexpr int MacroIndex(char command) {
    switch (command) {
        case kCmdConnect:
            return 0;
        case kCmdHelo:
            return 1;
        case kCmdMail:
            return 2;
        case kCmdRcpt:
            return 3;
        case kCmdData:
            return 4;
        case kCmdBodyEob:
            return 5;
        case kCmdEoh:
            return 6;
        default:
            return -1;
    }
}

// myisenhsc: an enhanced status code, 2, 4 or 5, then two numbers of one
// to three digits, all of the text.
bool EnhancedCode(const std::string& s) {
    if (s.size() < 2 || (s[0] != '2' && s[0] != '4' && s[0] != '5') || s[1] != '.') return false;
    size_t i = 2;
    for (int part = 0; part < 2; ++part) {
        size_t digits = 0;
        while (digits < 3 && i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
        if (digits == 0) return false;
        if (part == 0) {
            if (i >= s.size() || s[i] != '.') return false;
            ++i;
        }
    }
    return i == s.size();
}

constexpr size_t kMaxReplyLineBytes = 980;
constexpr size_t kMaxReplyLinesTaken = 32;

}  // namespace

std::string CommandName(char code) {
    char text[32];
    if (code > 32 && code < 127)
        snprintf(text, sizeof text, "'%c'", code);
    else
        snprintf(text, sizeof text, "0x%02x", static_cast<unsigned char>(code));
    return text;
}

uint32_t NoReplyFlagOf(char command) {
    switch (command) {
        case kCmdConnect:
            return kNoReplyConnect;
        case kCmdHelo:
            return kNoReplyHelo;
        case kCmdMail:
            return kNoReplyMail;
        case kCmdRcpt:
            return kNoReplyRcpt;
        case kCmdData:
            return kNoReplyData;
        case kCmdUnknown:
            return kNoReplyUnknown;
        case kCmdHeader:
            return kNoReplyHeader;
        case kCmdEoh:
            return kNoReplyEoh;
        case kCmdBody:
            return kNoReplyBody;
        default:
            return 0;
    }
}

DecodeResult DecodeCommand(const char* data, size_t n, MtaCommand& out) {
    if (n < 4) return {};
    const uint32_t length = ReadBE32(data);
    if (length == 0) return Malformed("a frame of length 0");
    if (length - 1 > kMaxFrameData)
        return Malformed("a frame of " + std::to_string(length) + " bytes (at most " +
                         std::to_string(kMaxFrameData + 1) + " taken)");
    if (n < 4 + static_cast<size_t>(length)) return {};
    out = MtaCommand();
    out.code = data[4];
    std::string why;
    if (!DecodeArguments(data + kFrameHead, length - 1, out, why)) return Malformed(why);
    DecodeResult r;
    r.kind = Decoded::kCommand;
    r.used = 4 + static_cast<size_t>(length);
    return r;
}

CommandOrder::Step CommandOrder::Next(char command) {
    const Phase was = phase_;
    const bool inTransaction = InTransaction();
    auto to = [this](Phase p) {
        phase_ = p;
        return Step::kTake;
    };
    switch (command) {
        case kCmdMacro:
            return Step::kTake;
        case kCmdOptneg:
            return was == kStart ? to(kNegotiated) : Step::kOutOfOrder;
        case kCmdConnect:
            return was == kNegotiated ? to(kConnected) : Step::kOutOfOrder;
        case kCmdHelo:
        case kCmdMail:
            if (was < kConnected) return Step::kOutOfOrder;
            phase_ = command == kCmdMail ? kEnvelope : kConnected;
            return inTransaction ? Step::kAbortThenTake : Step::kTake;
        case kCmdRcpt:
            return was == kEnvelope || was == kRecipients ? to(kRecipients) : Step::kOutOfOrder;
        case kCmdData:
            return was == kRecipients ? to(kData) : Step::kOutOfOrder;
        case kCmdHeader:
        case kCmdEoh:
            if (was != kRecipients && was != kData && was != kHeaders) return Step::kOutOfOrder;
            return to(command == kCmdHeader ? kHeaders : kEndOfHeaders);
        case kCmdBody:
        case kCmdBodyEob:
            if (was != kRecipients && was != kEndOfHeaders && was != kBody)
                return Step::kOutOfOrder;
            return to(command == kCmdBody ? kBody : kConnected);
        case kCmdAbort:
            if (was < kNegotiated) return Step::kOutOfOrder;
            return to(was >= kConnected ? kConnected : kNegotiated);
        case kCmdUnknown:
            if (was < kNegotiated || (was >= kData && was <= kBody)) return Step::kOutOfOrder;
            return Step::kTake;
        case kCmdQuit:
            return Step::kTake;
        case kCmdQuitNc:
            return was >= kNegotiated ? to(kNegotiated) : Step::kOutOfOrder;
        default:
            return Step::kOutOfOrder;
    }
}

const char* CommandOrder::PhaseName() const {
    static const char* const names[] = {
        "before the negotiation",
        "after the negotiation",
        "outside a transaction",
        "after MAIL",
        "after RCPT",
        "after DATA",
        "among the header fields",
        "after the header",
        "in the body",
    };
    return names[phase_];
}

bool MacroTable::Set(char stage, std::vector<std::string> namesAndValues) {
    const int i = MacroIndex(stage);
    if (i < 0) return false;
    stages_[i] = std::move(namesAndValues);
    set_[i] = true;
    return true;
}

void MacroTable::ForgetFrom(char command) {
    const int from = command == kCmdOptneg ? 0 : MacroIndex(command) + 1;
    if (command != kCmdOptneg && from <= 0) return;
    for (size_t i = static_cast<size_t>(from); i < kStages; ++i) {
        stages_[i].clear();
        set_[i] = false;
    }
}

void MacroTable::ForgetAll() {
    ForgetFrom(kCmdOptneg);
}

const std::string* MacroTable::Get(const std::string& name) const {
    if (name.empty()) return nullptr;
    std::string one, braces;
    if (name.size() == 3 && name[0] == '{' && name[2] == '}') one = name.substr(1, 1);
    if (name.size() == 1) braces = "{" + name + "}";
    for (size_t s = kStages; s-- > 0;) {
        if (!set_[s]) continue;
        const std::vector<std::string>& items = stages_[s];
        for (size_t i = 0; i < items.size(); i += 2) {
            const std::string& n = items[i];
            if (n == name || (!one.empty() && n == one) || (!braces.empty() && n == braces))
                return i + 1 < items.size() ? &items[i + 1] : nullptr;
        }
    }
    return nullptr;
}

uint32_t OfferedProtocol(uint32_t mtaProtocol) {
    return mtaProtocol | kNoReplyAll;
}

bool SettleOptions(const MtaCommand& optneg, uint32_t actions, uint32_t protocol,
                   SettledOptions& out, std::string& why) {
    out = SettledOptions();
    out.version = optneg.version < kMilterProtocolVersion ? optneg.version : kMilterProtocolVersion;
    out.mtaProtocol = optneg.protocol;
    out.filterProtocol = protocol;
    uint32_t sent = protocol;
    // "No reply" the MTA does not offer: the filter's silence is answered
    // with a continue for it.
    sent &= ~(kNoReplyAll & ~optneg.protocol);
    sent &= ~((kProtoNoData | kProtoNoUnknown) & ~optneg.protocol);
    char text[96];
    if ((actions & optneg.actions) != actions) {
        snprintf(text, sizeof text, "actions 0x%x asked, the MTA offers 0x%x", actions,
                 optneg.actions);
        why = text;
        return false;
    }
    if ((optneg.protocol & sent) != sent) {
        snprintf(text, sizeof text, "protocol 0x%x asked, the MTA offers 0x%x", sent,
                 optneg.protocol);
        why = text;
        return false;
    }
    out.actions = actions;
    out.protocol = sent & ~kProtoInternal;
    return true;
}

bool SmtpReplyText(const std::string& code, const std::string& xcode,
                   const std::vector<std::string>& lines, std::string& out) {
    if (code.size() != 3 || (code[0] != '4' && code[0] != '5') || code[1] < '0' || code[1] > '9' ||
        code[2] < '0' || code[2] > '9' || !EnhancedCode(xcode))
        return false;
    if (lines.size() > kMaxReplyLinesTaken) return false;
    for (const std::string& l : lines)
        if (l.size() > kMaxReplyLineBytes || l.find_first_of("\r\n") != std::string::npos ||
            l.find('\0') != std::string::npos)
            return false;
    if (lines.size() == 1) {
        out = code + " " + xcode + " " + lines[0];
        return true;
    }
    size_t left = lines.size();
    const char mark = left == 1 ? ' ' : '-';
    out = code + mark + xcode;
    std::string repl = code + mark + xcode + " ";
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i == 0) {
            out += " " + lines[0];
            continue;
        }
        if (--left <= 1) repl[3] = ' ';
        out += "\r\n" + repl + lines[i];
    }
    return true;
}

std::string EncodeFrame(char code, const std::string& data) {
    std::string out;
    out.reserve(kFrameHead + data.size());
    AppendBE32(out, static_cast<uint32_t>(data.size() + 1));
    out += code;
    out += data;
    return out;
}

std::string EncodeStatus(MtaStatus status) {
    switch (status) {
        case MtaStatus::kContinue:
            return EncodeFrame('c');
        case MtaStatus::kReject:
            return EncodeFrame('r');
        case MtaStatus::kTempfail:
            return EncodeFrame('t');
        case MtaStatus::kDiscard:
            return EncodeFrame('d');
        case MtaStatus::kAccept:
            return EncodeFrame('a');
        case MtaStatus::kNoReply:
        case MtaStatus::kEndSession:
            break;
    }
    return std::string();
}

std::string EncodeReplyCode(const std::string& text) {
    return EncodeFrame('y', text + std::string(1, '\0'));
}

std::string EncodeAddHeader(const std::string& name, const std::string& value) {
    return EncodeFrame('h', name + std::string(1, '\0') + value + std::string(1, '\0'));
}

std::string EncodeChangeHeader(uint32_t index, const std::string& name, const std::string& value) {
    std::string data;
    AppendBE32(data, index);
    data += name;
    data += '\0';
    data += value;
    data += '\0';
    return EncodeFrame('m', data);
}

std::string EncodeQuarantine(const std::string& reason) {
    return EncodeFrame('q', reason + std::string(1, '\0'));
}

std::string EncodeProgress() {
    return EncodeFrame('p');
}

std::string EncodeOptions(const SettledOptions& o) {
    std::string data;
    AppendBE32(data, o.version);
    AppendBE32(data, o.actions);
    AppendBE32(data, o.protocol);
    return EncodeFrame('O', data);
}

}  // namespace milter
