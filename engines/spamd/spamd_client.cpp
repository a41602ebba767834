// spamd client: request writer, bounded reply reader and reply parser.
// See spamd_client.h for the contract.
#include "engines/spamd/spamd_client.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/base/daemonlog.h"
#include "common/base/owners.h"
#include "common/base/signals.h"
#include "engines/kit/connect.h"
#include "engines/kit/daemon_options.h"

namespace engined {

using daemonlog::Debug;
using daemonlog::Error;
using daemonlog::Log;
using daemonlog::Warn;

namespace {

using Clock = std::chrono::steady_clock;

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
bool ParseSpamHeader(const std::string& value, SpamdVerdict& verdict) {
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

std::string PrintableRules(const std::string& body) {
    std::string rules;
    for (char c : Trim(body)) {
        if (c >= 0x20 && c < 0x7f) rules += c;
    }
    return rules;
}

SpamdOutcome Fail(SpamdFailure failure, std::string what) {
    SpamdOutcome outcome;
    outcome.failure = failure;
    outcome.what = std::move(what);
    return outcome;
}

}  // namespace

std::string SpamdAddress::Text() const {
    if (!socketPath.empty()) return socketPath;
    return host.find(':') != std::string::npos ? "[" + host + "]:" + port : host + ":" + port;
}

bool ParseHostPort(const std::string& text, SpamdAddress& out) {
    std::string host, port;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':')
            return false;
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        size_t colon = text.rfind(':');
        if (colon == std::string::npos) return false;
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (host.empty() || port.empty()) return false;
    out.socketPath.clear();
    out.host = host;
    out.port = port;
    return true;
}

ReplyStatus ParseSpamdReply(const std::string& reply, bool endOfStream, SpamdVerdict& verdict,
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
        problem = "spamd refused the request: " + PrintableRules(rest);
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
    verdict.rules = PrintableRules(reply.substr(pos, bodySize));
    return ReplyStatus::kComplete;
}

void Exchange(const SpamdAddress& address, const char* peer, const std::string& request,
              Clock::time_point deadline, const ExchangeRules& rules, const ReplyParser& parse,
              SpamdOutcome& outcome, bool& connected) {
    const std::string name(peer);
    std::string problem;
    bool busy = false;
    UniqueFd fd = ConnectStream({address.socketPath, address.host, address.port}, deadline,
                                problem, busy);
    if (!fd.Valid()) {
        // A full backlog is a busy daemon, not one that is away.
        outcome = busy ? Fail(SpamdFailure::kTimeout,
                              "cannot connect to " + name + " at " + address.Text() + ": " + name +
                                  "'s backlog stayed full")
                       : Fail(SpamdFailure::kUnreachable,
                              "cannot connect to " + name + " at " + address.Text() + ": " + problem);
        return;
    }
    connected = true;
    size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n = send(fd.Get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (WaitReady(fd.Get(), POLLOUT, deadline) != Readiness::kReady) {
                outcome = Fail(SpamdFailure::kTimeout, name + " did not take the message in time");
                return;
            }
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            outcome = Fail(SpamdFailure::kNetwork, "cannot send to " + name + ": " +
                                                       strerror(n < 0 ? errno : EPIPE));
            return;
        }
    }
    // spamd knows the length already; the half close only tells it that
    // nothing else will follow.  rspamd takes it for a client gone away.
    if (rules.halfClose) shutdown(fd.Get(), SHUT_WR);

    std::string reply;
    char chunk[4096];
    for (;;) {
        ssize_t n = recv(fd.Get(), chunk, sizeof chunk, 0);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (WaitReady(fd.Get(), POLLIN, deadline) != Readiness::kReady) {
                outcome = Fail(SpamdFailure::kTimeout, name + " did not answer in time");
                return;
            }
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            outcome = Fail(SpamdFailure::kNetwork,
                           "cannot read from " + name + ": " + strerror(errno));
            return;
        }
        reply.append(chunk, static_cast<size_t>(n));
        if (reply.size() > rules.maxReply) {
            outcome = Fail(SpamdFailure::kProtocol, name + " reply too long");
            return;
        }
        // A child that dies before its first byte (spamd restarting after
        // a rule update, an rspamd worker ending) broke the exchange;
        // nothing was refused.
        if (n == 0 && reply.empty()) {
            outcome = Fail(SpamdFailure::kNetwork, name + " closed the connection without a reply");
            return;
        }
        ReplyStatus status = parse(reply, n == 0, problem);
        if (status == ReplyStatus::kComplete) return;
        if (status == ReplyStatus::kBad) {
            // Bad only because the stream ended: the child ended in the
            // middle of its reply (a rule reload), which broke the exchange
            // as one that ends before its first byte does.
            std::string unused;
            const bool cut = n == 0 && parse(reply, false, unused) == ReplyStatus::kIncomplete;
            outcome = Fail(cut ? SpamdFailure::kNetwork : SpamdFailure::kProtocol, problem);
            return;
        }
        if (n == 0) {
            outcome = Fail(SpamdFailure::kProtocol, "reply cut short");
            return;
        }
    }
}

SpamdOutcome AskSpamd(const SpamdAddress& address, const std::string& message, int timeoutMs) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string request =
        "SYMBOLS SPAMC/1.5\r\nContent-length: " + std::to_string(message.size()) + "\r\n\r\n";
    request += message;
    SpamdOutcome outcome;
    bool connected = false;
    Exchange(
        address, "spamd", request, deadline, ExchangeRules{maxSpamdHeader + maxSpamdBody, true},
        [&outcome](const std::string& reply, bool end, std::string& problem) {
            return ParseSpamdReply(reply, end, outcome.verdict, problem);
        },
        outcome, connected);
    outcome.connected = connected;
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
        problem = "not a PONG: " + PrintableRules(line.substr(0, longestPong));
        return ReplyStatus::kBad;
    }
    return ReplyStatus::kComplete;
}

bool PingSpamd(const SpamdAddress& address, int timeoutMs, std::string& problem) {
    SpamdOutcome outcome;
    bool connected = false;
    Exchange(address, "spamd", "PING SPAMC/1.5\r\n\r\n",
             Clock::now() + std::chrono::milliseconds(timeoutMs),
             ExchangeRules{maxSpamdHeader + maxSpamdBody, true}, ParsePongReply, outcome,
             connected);
    problem = outcome.what;
    return outcome.failure == SpamdFailure::kNone;
}

namespace {

bool AddMember(const SpamdAddress& address, std::vector<SpamdAddress>& members,
               std::string& problem) {
    for (const SpamdAddress& member : members) {
        if (member.Text() == address.Text()) {
            problem = "listed twice: " + address.Text();
            return false;
        }
    }
    if (members.size() >= maxSpamdMembers) {
        problem = "more than " + std::to_string(maxSpamdMembers) + " daemons listed";
        return false;
    }
    members.push_back(address);
    return true;
}

}  // namespace

bool AddSpamdHosts(const std::string& list, std::vector<SpamdAddress>& members,
                   std::string& problem) {
    std::vector<SpamdAddress> added = members;
    size_t begin = 0;
    for (;;) {
        const size_t comma = list.find(',', begin);
        const std::string entry = Trim(list.substr(begin, comma == std::string::npos
                                                              ? std::string::npos
                                                              : comma - begin));
        SpamdAddress address;
        if (!ParseHostPort(entry, address)) {
            problem = "not HOST:PORT: " + entry;
            return false;
        }
        if (!AddMember(address, added, problem)) return false;
        if (comma == std::string::npos) break;
        begin = comma + 1;
    }
    members = std::move(added);
    return true;
}

bool AddSpamdSocket(const std::string& path, std::vector<SpamdAddress>& members,
                    std::string& problem) {
    if (path.empty()) {
        problem = "an empty socket path";
        return false;
    }
    if (path.size() >= sizeof(sockaddr_un::sun_path)) {
        problem = "socket path too long: " + path;
        return false;
    }
    SpamdAddress address;
    address.socketPath = path;
    return AddMember(address, members, problem);
}


}  // namespace engined
