#include "milter/answer.h"

#include <cctype>
#include <climits>
#include <cstring>

#include "common/base/text.h"

namespace milter {

namespace {

bool IsFieldNameChar(unsigned char c) {
    return c > 32 && c < 127 && c != ':';
}

// Header values may hold tabs and blanks but nothing else below 32.
std::string CleanValue(const std::string& v) {
    std::string out;
    out.reserve(v.size());
    for (unsigned char c : v) out += (c < 32 && c != '\t') || c == 127 ? ' ' : static_cast<char>(c);
    return out;
}

constexpr size_t kMaxHeaderFields = 32;
constexpr size_t kMaxFieldLength = 2000;

}  // namespace

bool ParseAnswer(const std::string& line, Answer& out) {
    size_t i = 0;
    long long token = 0;
    while (i < line.size() && line[i] >= '0' && line[i] <= '9') {
        token = token * 10 + (line[i] - '0');
        if (token > INT_MAX) return false;
        ++i;
    }
    if (i == 0 || i >= line.size() || line[i] != ' ' || token == 0) return false;
    while (i < line.size() && line[i] == ' ') ++i;
    size_t wordEnd = line.find(' ', i);
    if (wordEnd == std::string::npos) wordEnd = line.size();
    out = Answer();
    out.token = static_cast<long>(token);
    out.word = line.substr(i, wordEnd - i);
    std::string rest = wordEnd < line.size() ? line.substr(wordEnd + 1) : std::string();
    if (out.word == "OK")
        out.kind = AnswerKind::Ok;
    else if (out.word == "ADDHEADER")
        out.kind = AnswerKind::AddHeader;
    else if (out.word == "ERROR")
        out.kind = AnswerKind::Error;
    else if (out.word == "DISCARD")
        out.kind = AnswerKind::Discard;
    else if (out.word == "FAILURE")
        out.kind = AnswerKind::Failure;
    if (out.kind == AnswerKind::AddHeader || out.kind == AnswerKind::Error) {
        size_t open = rest.find('"');
        size_t close = rest.rfind('"');
        if (open != std::string::npos && close > open) {
            // A backslash before the closing quote belongs to an escape
            // only if the quote is not the last one; the last quote always
            // closes, so a text ending in "\\" decodes to one backslash.
            fprintS(out.text, rest.substr(open + 1, close - open - 1));
        } else {
            fprintS(out.text, rest);
        }
    } else {
        out.text = rest;
    }
    return true;
}

bool ParseProbeAnswer(const std::string& line, unsigned long long& token) {
    size_t i = 0;
    unsigned long long value = 0;
    while (i < line.size() && line[i] >= '0' && line[i] <= '9') {
        if (i == 18) return false;
        value = value * 10 + static_cast<unsigned long long>(line[i] - '0');
        ++i;
    }
    if (i == 0 || i >= line.size() || line[i] != ' ' || value < kFirstProbeToken) return false;
    while (i < line.size() && line[i] == ' ') ++i;
    if (line.compare(i, 4, "INTF") != 0) return false;
    token = value;
    return true;
}

const char* KindName(AnswerKind kind) {
    switch (kind) {
        case AnswerKind::Ok:
            return "OK";
        case AnswerKind::AddHeader:
            return "ADDHEADER";
        case AnswerKind::Error:
            return "ERROR";
        case AnswerKind::Discard:
            return "DISCARD";
        case AnswerKind::Failure:
            return "FAILURE";
        default:
            return "OTHER";
    }
}

std::vector<HeaderField> HeaderFields(const std::string& decoded, int& skipped) {
    std::vector<HeaderField> fields;
    skipped = 0;
    bool lastValid = false;
    size_t pos = 0;
    while (pos <= decoded.size()) {
        size_t end = decoded.find('\n', pos);
        if (end == std::string::npos) end = decoded.size();
        std::string line = decoded.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) {
            lastValid = false;
            continue;
        }
        if (line[0] == ' ' || line[0] == '\t') {
            // A continuation keeps the fold so the field stays readable.
            if (lastValid && fields.back().second.size() + line.size() < kMaxFieldLength)
                fields.back().second += "\n" + CleanValue(line);
            else
                ++skipped;
            continue;
        }
        size_t colon = line.find(':');
        bool valid = colon != std::string::npos && colon > 0 && fields.size() < kMaxHeaderFields &&
                     line.size() < kMaxFieldLength;
        for (size_t k = 0; valid && k < colon; ++k)
            valid = IsFieldNameChar(static_cast<unsigned char>(line[k]));
        lastValid = valid;
        if (!valid) {
            ++skipped;
            continue;
        }
        fields.emplace_back(line.substr(0, colon), CleanValue(line.substr(colon + 1)));
    }
    return fields;
}

std::vector<std::string> ConfiguredFieldNames(const std::string& quoted) {
    std::string decoded;
    fprintS(decoded, quoted.substr(0, kMaxHeaderFields * kMaxFieldLength));
    int skipped = 0;
    std::vector<std::string> names;
    for (const HeaderField& f : HeaderFields(decoded, skipped)) {
        if (f.first.find('^') != std::string::npos) continue;
        std::string name = f.first;
        for (char& c : name)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        names.push_back(name);
    }
    return names;
}

std::vector<std::string> ReplyLines(const std::string& decoded, const char* fallback) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < decoded.size() && lines.size() < kMaxReplyLines) {
        size_t end = decoded.find('\n', pos);
        if (end == std::string::npos) end = decoded.size();
        std::string line;
        for (size_t k = pos; k < end && line.size() < kMaxReplyLine; ++k) {
            unsigned char c = static_cast<unsigned char>(decoded[k]);
            if (c == '\r') continue;
            line += (c < 32 || c > 126) ? '?' : static_cast<char>(c);
        }
        pos = end + 1;
        while (!line.empty() && line.back() == ' ') line.pop_back();
        if (!line.empty()) lines.push_back(line);
    }
    if (lines.empty()) lines.emplace_back(fallback);
    return lines;
}

std::string MilterReplyText(const std::string& line) {
    std::string out;
    out.reserve(line.size());
    for (char c : line) {
        out += c;
        if (c == '%') out += '%';
    }
    return out;
}

std::string AnswerLogText(const Answer& answer) {
    if (answer.kind == AnswerKind::Ok || answer.kind == AnswerKind::Discard) return answer.word;
    return answer.word + "\"" + EscapeControl(answer.text, 300) + "\"";
}

daemonlog::Level FilterLineLevel(const std::string& line) {
    // Every line where a filter says something went wrong begins with one
    // of these (the settings reader's report is two lines, "* Error in
    // FILE line N " and its message, and may end in "* program aborted").
    static const char* const kErrors[] = {
        "Configuration error",
        "* Error",
        "* FAILURE",
        "* Failed",
        "* Syntax error",
        "* Line ",
        "* wrong item type",
        "* incorrect value type",
        "* unable",
        "* program aborted",
        "* Can't",
        "* can't",
        "* Bad message file",
        "* getcwd error",
        "* open failed",
        "* unvalid answer",
        "* failed renaming",
        "* Cannot",
    };
    for (const char* prefix : kErrors)
        if (line.compare(0, strlen(prefix), prefix) == 0)
            return line.find("retry") != std::string::npos ? daemonlog::Level::kWarning
                                                           : daemonlog::Level::kError;
    if (line.compare(0, 18, "* no info returned") == 0) return daemonlog::Level::kWarning;
    return daemonlog::Level::kInfo;
}

}  // namespace milter
