// spamd client: request writer, bounded reply reader and reply parser.
// See spamd_client.h for the contract.
#include "engines/spamd/spamd_client.h"

#include <strings.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>

#include "common/base/options.h"

namespace engined {

namespace {

using Clock = std::chrono::steady_clock;

constexpr ExchangeRules spamdRules{maxSpamdHeader + maxSpamdBody, true};

std::string Trim(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) return "";
    size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

bool EqualsNoCase(const std::string& a, const char* b) {
    return strcasecmp(a.c_str(), b) == 0;
}

// A decimal number that uses the whole text; spamd prints scores like "5.2"
// or "-0.1".  Infinities and NaN would break the score mapping.
bool ParseDouble(const std::string& text, double& out) {
    std::string trimmed = Trim(text);
    if (trimmed.empty() || trimmed.size() > 32) return false;
    char* end = nullptr;
    double value = strtod(trimmed.c_str(), &end);
    if (end != trimmed.c_str() + trimmed.size() || !std::isfinite(value)) return false;
    out = value;
    return true;
}

// Lines end in CR LF in spamd's replies; a bare LF is taken as well.
bool NextLine(const std::string& text, size_t& pos, size_t limit, std::string& line) {
    size_t lf = text.find('\n', pos);
    if (lf == std::string::npos || lf >= limit) return false;
    size_t end = lf;
    if (end > pos && text[end - 1] == '\r') --end;
    line = text.substr(pos, end - pos);
    pos = lf + 1;
    return true;
}

// "True ; 5.2 / 5.0"
bool ParseSpamHeader(const std::string& value, RatingVerdict& verdict) {
    size_t semicolon = value.find(';');
    size_t slash = value.find('/', semicolon == std::string::npos ? 0 : semicolon);
    if (semicolon == std::string::npos || slash == std::string::npos) return false;
    std::string flag = Trim(value.substr(0, semicolon));
    if (EqualsNoCase(flag, "True") || EqualsNoCase(flag, "Yes")) {
        verdict.spam = true;
    } else if (EqualsNoCase(flag, "False") || EqualsNoCase(flag, "No")) {
        verdict.spam = false;
    } else {
        return false;
    }
    return ParseDouble(value.substr(semicolon + 1, slash - semicolon - 1), verdict.score) &&
           ParseDouble(value.substr(slash + 1), verdict.threshold);
}

}  // namespace

ReplyStatus ParseSpamdReply(const std::string& reply, bool endOfStream, RatingVerdict& verdict,
                            std::string& problem) {
    const size_t headerLimit = std::min(reply.size(), maxSpamdHeader);
    size_t pos = 0;
    std::string line;
    if (!NextLine(reply, pos, headerLimit, line)) {
        if (reply.size() >= maxSpamdHeader) {
            problem = "status line too long";
            return ReplyStatus::kBad;
        }
        if (!endOfStream) return ReplyStatus::kIncomplete;
        problem = reply.empty() ? "spamd closed the connection without a reply"
                                : "reply cut short in its status line";
        return ReplyStatus::kBad;
    }
    // "SPAMD/1.1 0 EX_OK"
    if (line.compare(0, 6, "SPAMD/") != 0) {
        problem = "not a spamd reply";
        return ReplyStatus::kBad;
    }
    size_t codeAt = line.find(' ');
    if (codeAt == std::string::npos) {
        problem = "status line without a code";
        return ReplyStatus::kBad;
    }
    std::string rest = Trim(line.substr(codeAt + 1));
    size_t codeEnd = rest.find(' ');
    std::string code = rest.substr(0, codeEnd);
    if (code != "0") {
        problem = "spamd refused the request: " + Printable(rest);
        return ReplyStatus::kBad;
    }

    bool haveSpam = false;
    bool haveLength = false;
    uint64_t contentLength = 0;
    for (;;) {
        if (!NextLine(reply, pos, headerLimit, line)) {
            if (reply.size() >= maxSpamdHeader) {
                problem = "reply header too long";
                return ReplyStatus::kBad;
            }
            if (!endOfStream) return ReplyStatus::kIncomplete;
            problem = "reply cut short in its header";
            return ReplyStatus::kBad;
        }
        if (line.empty()) break;
        size_t colon = line.find(':');
        if (colon == std::string::npos) {
            problem = "header line without a colon";
            return ReplyStatus::kBad;
        }
        std::string name = Trim(line.substr(0, colon));
        std::string value = Trim(line.substr(colon + 1));
        if (EqualsNoCase(name, "Spam")) {
            if (!ParseSpamHeader(value, verdict)) {
                problem = "unreadable Spam header";
                return ReplyStatus::kBad;
            }
            haveSpam = true;
        } else if (EqualsNoCase(name, "Content-length")) {
            if (!ParseNumber(value, 0, maxSpamdBody, contentLength)) {
                problem = "bad or oversized Content-length";
                return ReplyStatus::kBad;
            }
            haveLength = true;
        }
    }
    if (!haveSpam) {
        problem = "reply without a Spam header";
        return ReplyStatus::kBad;
    }
    size_t bodySize = reply.size() - pos;
    if (haveLength) {
        if (bodySize < contentLength) {
            if (!endOfStream) return ReplyStatus::kIncomplete;
            problem = "reply body shorter than its Content-length";
            return ReplyStatus::kBad;
        }
        bodySize = static_cast<size_t>(contentLength);
    } else {
        if (bodySize > maxSpamdBody) {
            problem = "reply body too long";
            return ReplyStatus::kBad;
        }
        if (!endOfStream) return ReplyStatus::kIncomplete;
    }
    verdict.rules = Printable(Trim(reply.substr(pos, bodySize)));
    return ReplyStatus::kComplete;
}

RatingOutcome AskSpamd(const MemberAddress& address, const std::string& message, int timeoutMs) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string request =
        "SYMBOLS SPAMC/1.5\r\nContent-length: " + std::to_string(message.size()) + "\r\n\r\n";
    request += message;
    RatingOutcome outcome;
    static_cast<ExchangeResult&>(outcome) =
        Exchange(address, "spamd", request, deadline, spamdRules,
                 [&outcome](const std::string& reply, bool end, std::string& problem) {
                     return ParseSpamdReply(reply, end, outcome.verdict, problem);
                 });
    return outcome;
}

ReplyStatus ParsePongReply(const std::string& reply, bool endOfStream, std::string& problem) {
    // A PONG is one short line; spamd closes the connection after it.
    constexpr size_t longestPong = 128;
    size_t lf = reply.find('\n');
    if (lf == std::string::npos) {
        if (reply.size() > longestPong) {
            problem = "not a PONG";
            return ReplyStatus::kBad;
        }
        if (!endOfStream) return ReplyStatus::kIncomplete;
        problem = "PONG cut short";
        return ReplyStatus::kBad;
    }
    std::string line = Trim(reply.substr(0, std::min(lf, longestPong + 1)));
    size_t codeAt = line.find(' ');
    if (line.compare(0, 6, "SPAMD/") != 0 || codeAt == std::string::npos ||
        Trim(line.substr(codeAt + 1)) != "0 PONG") {
        problem = "not a PONG: " + Printable(line.substr(0, longestPong));
        return ReplyStatus::kBad;
    }
    return ReplyStatus::kComplete;
}

bool PingSpamd(const MemberAddress& address, int timeoutMs, std::string& problem) {
    const ExchangeResult result =
        Exchange(address, "spamd", "PING SPAMC/1.5\r\n\r\n",
                 Clock::now() + std::chrono::milliseconds(timeoutMs), spamdRules, ParsePongReply);
    problem = result.what;
    return result.failure == ExchangeFailure::kNone;
}

RatingClient SpamdRatingClient() {
    return RatingClient{"spamd", AskSpamd, PingSpamd};
}

}  // namespace engined
