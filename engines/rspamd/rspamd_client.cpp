// rspamd client: the MTA's facts, the HTTP request, the bounded reply
// reader.  See rspamd_client.h for the contract.
#include "engines/rspamd/rspamd_client.h"

#include <arpa/inet.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>
#include <set>

#include "common/base/options.h"

namespace engined {

namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;

// One header field at pos: its name and its unfolded value (continuation
// lines joined by a blank, the CR of a CR LF line end dropped).  False at
// the blank line or the end.
bool NextField(std::string_view text, size_t& pos, std::string_view& name, std::string& value) {
    if (pos >= text.size() || text[pos] == '\n' || text[pos] == '\r') return false;
    size_t end = text.find('\n', pos);
    const size_t colon = text.find(':', pos);
    if (colon == std::string_view::npos || (end != std::string_view::npos && colon > end))
        return false;
    name = text.substr(pos, colon - pos);
    value.clear();
    size_t from = colon + 1;
    for (;;) {
        size_t lineEnd = end == std::string_view::npos ? text.size() : end;
        if (lineEnd > from && text[lineEnd - 1] == '\r') --lineEnd;
        if (!value.empty()) value += ' ';
        value.append(text.substr(from, lineEnd - from));
        if (value.size() > 64 * 1024) return false;  // no field of the host's is this long
        if (end == std::string_view::npos) {
            pos = text.size();
            break;
        }
        pos = end + 1;
        if (pos >= text.size() || (text[pos] != ' ' && text[pos] != '\t')) break;
        end = text.find('\n', pos);
        // The folding blanks are the one blank above.
        from = std::min(text.find_first_not_of(" \t", pos),
                        end == std::string_view::npos ? text.size() : end);
    }
    return true;
}

// Blanks at the ends dropped, printable ASCII only (Printable), at most
// maxFactLength bytes: a value that cannot end the header line it goes into.
std::string Clean(std::string_view in) {
    const size_t begin = in.find_first_not_of(" \t");
    if (begin == std::string_view::npos) return "";
    const std::string out =
        Printable(in.substr(begin, in.find_last_not_of(" \t") - begin + 1), maxFactLength);
    return out.substr(0, out.find_last_not_of(' ') + 1);
}

std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    size_t pos = 0;
    while ((pos = text.find_first_not_of(" \t\r\n", pos)) != std::string::npos) {
        const size_t end = text.find_first_of(" \t\r\n", pos);
        words.push_back(text.substr(pos, end == std::string::npos ? end : end - pos));
        pos = end;
    }
    return words;
}

bool IsAddress(std::string& text) {
    if (text.compare(0, 5, "IPv6:") == 0) text.erase(0, 5);
    // inet_pton reads up to a NUL: what follows would go to rspamd unread.
    if (text.find('\0') != std::string::npos) return false;
    unsigned char buffer[sizeof(in6_addr)];
    return inet_pton(AF_INET, text.c_str(), buffer) == 1 ||
           inet_pton(AF_INET6, text.c_str(), buffer) == 1;
}

// "from HELO (NAME [ADDRESS]) by HOST with PROTOCOL id QUEUEID; DATE"
void ReadReceived(const std::string& value, MtaFacts& facts) {
    const std::vector<std::string> words = Words(value);
    if (words.size() < 3 || words[0] != "from") return;
    if (words[1] != "unknown") facts.helo = Clean(words[1]);
    size_t i = 2;
    if (words[i].size() > 1 && words[i][0] == '(') {
        std::string name = words[i].substr(1);
        const bool closed = !name.empty() && name.back() == ')';
        if (closed) name.pop_back();
        if (name != "unknown") facts.hostname = Clean(name);
        ++i;
        if (!closed && i < words.size() && words[i].size() > 3 && words[i][0] == '[' &&
            words[i].compare(words[i].size() - 2, 2, "])") == 0) {
            std::string address = words[i].substr(1, words[i].size() - 3);
            if (IsAddress(address)) facts.ip = address;
            ++i;
        }
    }
    for (; i + 1 < words.size(); ++i) {
        if (words[i] != "id") continue;
        std::string id = words[i + 1];
        if (!id.empty() && id.back() == ';') id.pop_back();
        facts.queueId = Clean(id);
        break;
    }
}

bool NameIs(std::string_view name, const char* expected) {
    return name.size() == strlen(expected) && strncasecmp(name.data(), expected, name.size()) == 0;
}

// Whether the JSON text nests no deeper than maxJsonDepth (strings
// skipped, their escapes too).  The parser would take any depth.
bool DepthWithin(const std::string& text) {
    size_t depth = 0;
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            if (++depth > maxJsonDepth) return false;
        } else if ((c == '}' || c == ']') && depth > 0) {
            --depth;
        }
    }
    return true;
}

bool Number(const Json& value, double& out) {
    if (!value.is_number()) return false;
    out = value.get<double>();
    return std::isfinite(out);
}

// The verdict in rspamd's JSON reply.
bool ReadVerdict(std::string body, RatingVerdict& verdict, std::string& problem) {
    // Only ASCII is read from the reply; a byte of a broken UTF-8 sequence
    // (rspamd quoting the message) must not make the whole reply unreadable.
    for (char& c : body)
        if (static_cast<unsigned char>(c) >= 0x80) c = '?';
    if (!DepthWithin(body)) {
        problem = "rspamd reply nested too deep";
        return false;
    }
    // A key named twice in one object: this parser keeps the last, another
    // reader of the same reply (rspamc, a log) may keep the first, and the
    // two would then disagree on the rating.
    std::vector<std::set<std::string>> open;
    bool twice = false;
    const Json reply = Json::parse(
        body,
        [&open, &twice](int, Json::parse_event_t event, Json& parsed) {
            if (event == Json::parse_event_t::object_start) {
                open.emplace_back();
            } else if (event == Json::parse_event_t::object_end) {
                if (!open.empty()) open.pop_back();
            } else if (event == Json::parse_event_t::key && !open.empty() &&
                       !open.back().insert(parsed.get<std::string>()).second) {
                twice = true;
            }
            return true;
        },
        false);
    if (reply.is_discarded() || !reply.is_object()) {
        problem = "rspamd reply is not a JSON object";
        return false;
    }
    if (twice) {
        problem = "rspamd reply names a key twice in one object";
        return false;
    }
    if (reply.contains("error")) {
        problem =
            "rspamd: " + Printable(reply["error"].is_string() ? reply["error"].get<std::string>()
                                                              : std::string("error"),
                                   200);
        return false;
    }
    double threshold = 0;
    const bool haveThreshold =
        (reply.contains("required_score") && Number(reply["required_score"], threshold)) ||
        (reply.contains("thresholds") && reply["thresholds"].is_object() &&
         reply["thresholds"].contains("reject") &&
         Number(reply["thresholds"]["reject"], threshold));
    if (!reply.contains("score") || !Number(reply["score"], verdict.score) || !haveThreshold) {
        problem = "rspamd reply without a score or a reject threshold";
        return false;
    }
    verdict.threshold = threshold;
    const auto action = reply.find("action");
    if (action == reply.end() || !action->is_string() || action->get<std::string>().empty()) {
        problem = "rspamd reply without an action";
        return false;
    }
    verdict.action = Printable(action->get<std::string>(), maxRspamdAction);
    std::replace(verdict.action.begin(), verdict.action.end(), '"', '?');
    verdict.spam = verdict.action == "reject";
    const auto skipped = reply.find("is_skipped");
    verdict.forced = skipped != reply.end() && skipped->is_boolean() && skipped->get<bool>();
    verdict.rules.clear();
    const auto symbols = reply.find("symbols");
    if (symbols != reply.end() && symbols->is_object()) {
        for (const auto& symbol : symbols->items()) {
            const std::string name = Printable(symbol.key(), 256);
            if (verdict.rules.size() + name.size() + 1 > maxRspamdSymbols) {
                problem = "rspamd reply with too many symbols";
                return false;
            }
            if (!verdict.rules.empty()) verdict.rules += ',';
            verdict.rules += name;
        }
    }
    return true;
}

// The HTTP reply so far: kComplete with its status code and body.
ReplyStatus ReadHttp(const std::string& reply, bool endOfStream, int& status, std::string& body,
                     std::string& problem) {
    // The header ends at its first empty line ("\r\n" or a bare "\n"):
    // found line by line, so a prefix of a reply never ends it elsewhere.
    size_t headerEnd = std::string::npos;
    size_t bodyAt = 0;
    for (size_t pos = 0, lf;
         (lf = reply.find('\n', pos)) != std::string::npos && pos <= maxRspamdHeader;
         pos = lf + 1) {
        if (pos > 0 && (lf == pos || (lf == pos + 1 && reply[pos] == '\r'))) {
            headerEnd = pos;
            bodyAt = lf + 1;
            break;
        }
    }
    if (headerEnd == std::string::npos || headerEnd > maxRspamdHeader) {
        if (reply.size() > maxRspamdHeader) {
            problem = "rspamd reply header too long";
            return ReplyStatus::kBad;
        }
        if (!endOfStream) return ReplyStatus::kIncomplete;
        problem = reply.empty() ? "rspamd closed the connection without a reply"
                                : "rspamd reply cut short in its header";
        return ReplyStatus::kBad;
    }
    const std::string head = reply.substr(0, headerEnd);
    // "HTTP/1.1 200 OK"
    const std::vector<std::string> first = Words(head.substr(0, head.find('\n')));
    uint64_t code = 0;
    if (first.size() < 2 || first[0].compare(0, 5, "HTTP/") != 0 ||
        !ParseNumber(first[1], 100, 599, code)) {
        problem = "not an HTTP reply";
        return ReplyStatus::kBad;
    }
    status = static_cast<int>(code);
    bool haveLength = false;
    uint64_t length = 0;
    for (size_t pos = head.find('\n'); pos != std::string::npos && pos < head.size();) {
        const size_t end = head.find('\n', pos + 1);
        const std::string line =
            head.substr(pos + 1, end == std::string::npos ? std::string::npos : end - pos - 1);
        pos = end;
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        const std::string name = line.substr(0, colon);
        std::vector<std::string> value = Words(line.substr(colon + 1));
        if (strcasecmp(name.c_str(), "Content-Length") == 0) {
            // Two lengths: which one ends the body is anyone's guess.
            if (haveLength) {
                problem = "rspamd reply with Content-Length twice";
                return ReplyStatus::kBad;
            }
            if (value.size() != 1 || !ParseNumber(value[0], 0, maxRspamdBody, length)) {
                problem = "bad or oversized Content-Length in rspamd reply";
                return ReplyStatus::kBad;
            }
            haveLength = true;
        } else if (strcasecmp(name.c_str(), "Transfer-Encoding") == 0 ||
                   (strcasecmp(name.c_str(), "Content-Encoding") == 0 &&
                    !(value.size() == 1 && strcasecmp(value[0].c_str(), "identity") == 0))) {
            problem = "rspamd reply encoded (" + Printable(name, 40) + ")";
            return ReplyStatus::kBad;
        }
    }
    size_t bodySize = reply.size() - bodyAt;
    if (haveLength) {
        if (bodySize < length) {
            if (!endOfStream) return ReplyStatus::kIncomplete;
            problem = "rspamd reply shorter than its Content-Length";
            return ReplyStatus::kBad;
        }
        bodySize = static_cast<size_t>(length);
    } else {
        if (bodySize > maxRspamdBody) {
            problem = "rspamd reply body too long";
            return ReplyStatus::kBad;
        }
        if (!endOfStream) return ReplyStatus::kIncomplete;
    }
    body = reply.substr(bodyAt, bodySize);
    return ReplyStatus::kComplete;
}

constexpr ExchangeRules rspamdRules{maxRspamdHeader + 4 + maxRspamdBody, false};

}  // namespace

MtaFacts ReadMtaFacts(std::string_view message) {
    MtaFacts facts;
    size_t pos = 0;
    std::string_view name;
    std::string value;
    if (!NextField(message, pos, name, value) || !NameIs(name, "X-Envelope-From")) return facts;
    facts.envelope = true;
    facts.from = Clean(value);
    facts.messageAt = pos;
    while (NextField(message, pos, name, value)) {
        if (NameIs(name, "X-Envelope-To")) {
            const std::string rcpt = Clean(value);
            if (!rcpt.empty() && facts.rcpts.size() < maxFactRecipients)
                facts.rcpts.push_back(rcpt);
            facts.messageAt = pos;
            continue;
        }
        if (NameIs(name, "Received")) {
            ReadReceived(value, facts);
            facts.messageAt = pos;
        }
        break;
    }
    return facts;
}

std::string RspamdRequest(const std::string& message, const MtaFacts& facts) {
    // The host's fields stay out: an MTA shows a milter neither the
    // envelope as fields nor the Received field it adds itself, and rspamd
    // would count that field (RCVD_COUNT_ONE where its own milter finds
    // none, RCVD_NO_TLS_LAST).
    const std::string_view body =
        std::string_view(message).substr(std::min(facts.messageAt, message.size()));
    std::string request =
        "POST /checkv2 HTTP/1.0\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    auto add = [&request](const char* name, const std::string& value) {
        if (!value.empty()) request += std::string(name) + ": " + value + "\r\n";
    };
    if (facts.envelope) add("From", facts.from.empty() ? "<>" : facts.from);
    for (const std::string& rcpt : facts.rcpts) add("Rcpt", rcpt);
    add("IP", facts.ip);
    add("Hostname", facts.hostname);
    add("Helo", facts.helo);
    add("Queue-Id", facts.queueId);
    request += "\r\n";
    request += body;
    return request;
}

ReplyStatus ParseRspamdReply(const std::string& reply, bool endOfStream, RatingVerdict& verdict,
                             std::string& problem) {
    int status = 0;
    std::string body;
    const ReplyStatus read = ReadHttp(reply, endOfStream, status, body, problem);
    if (read != ReplyStatus::kComplete) return read;
    if (status != 200) {
        // rspamd says why in a JSON object; the status line is all we trust.
        RatingVerdict ignored;
        std::string why;
        const std::string said = "rspamd: ";
        if (ReadVerdict(body, ignored, why) || why.compare(0, said.size(), said) != 0)
            why = "error";
        problem = "rspamd answered HTTP " + std::to_string(status) + " (" + why + ")";
        return ReplyStatus::kBad;
    }
    return ReadVerdict(std::move(body), verdict, problem) ? ReplyStatus::kComplete
                                                          : ReplyStatus::kBad;
}

ReplyStatus ParseRspamdPong(const std::string& reply, bool endOfStream, std::string& problem) {
    int status = 0;
    std::string body;
    const ReplyStatus read = ReadHttp(reply, endOfStream, status, body, problem);
    if (read != ReplyStatus::kComplete) return read;
    if (status != 200 || Words(body) != std::vector<std::string>{"pong"}) {
        problem = "not a pong: HTTP " + std::to_string(status) + " " + Printable(body, 64);
        return ReplyStatus::kBad;
    }
    return ReplyStatus::kComplete;
}

RatingOutcome AskRspamd(const MemberAddress& address, const std::string& request, int timeoutMs) {
    RatingOutcome outcome;
    static_cast<ExchangeResult&>(outcome) =
        Exchange(address, "rspamd", request, Clock::now() + std::chrono::milliseconds(timeoutMs),
                 rspamdRules, [&outcome](const std::string& reply, bool end, std::string& problem) {
                     return ParseRspamdReply(reply, end, outcome.verdict, problem);
                 });
    return outcome;
}

bool PingRspamd(const MemberAddress& address, int timeoutMs, std::string& problem) {
    const ExchangeResult result =
        Exchange(address, "rspamd", "GET /ping HTTP/1.0\r\n\r\n",
                 Clock::now() + std::chrono::milliseconds(timeoutMs), rspamdRules, ParseRspamdPong);
    problem = result.what;
    return result.failure == ExchangeFailure::kNone;
}

}  // namespace engined
