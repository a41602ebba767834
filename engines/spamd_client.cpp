// spamd client: request writer, bounded reply reader and reply parser.
// See spamd_client.h for the contract.
#include "spamd_client.h"

#include <fcntl.h>
#include <netdb.h>
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
#include <thread>

#include "common/base/daemonlog.h"
#include "common/base/owners.h"
#include "daemon_util.h"

namespace engined {

using daemonlog::Error;
using daemonlog::Log;
using daemonlog::Warn;

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds backlogPause{5};

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

// Waits until fd is ready for events or the deadline has passed.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd waiting = {fd, events, 0};
        int ready = poll(&waiting, 1, static_cast<int>(left));
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return false;
    }
}

// Finishes a non-blocking connect; true when it succeeded.
bool CompleteConnect(int fd, Clock::time_point deadline, int& error) {
    if (!WaitFor(fd, POLLOUT, deadline)) {
        error = ETIMEDOUT;
        return false;
    }
    socklen_t size = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
    return error == 0;
}

UniqueFd Connect(const SpamdAddress& address, Clock::time_point deadline, std::string& problem) {
    int error = 0;
    if (!address.socketPath.empty()) {
        sockaddr_un un;
        memset(&un, 0, sizeof un);
        un.sun_family = AF_UNIX;
        if (address.socketPath.size() >= sizeof un.sun_path) {
            problem = "socket path too long";
            return UniqueFd();
        }
        memcpy(un.sun_path, address.socketPath.data(), address.socketPath.size());
        UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!fd.Valid()) {
            problem = strerror(errno);
            return UniqueFd();
        }
        // A unix socket never connects in the background: EAGAIN means that
        // spamd's backlog is full and nothing was connected (the socket would
        // even poll as writable).  Knock again until there is room.
        for (;;) {
            if (connect(fd.Get(), reinterpret_cast<sockaddr*>(&un), sizeof un) == 0) return fd;
            error = errno;
            if (error == EINTR) continue;
            if (error != EAGAIN || Clock::now() + backlogPause >= deadline) break;
            std::this_thread::sleep_for(backlogPause);
        }
        problem = error == EAGAIN ? "spamd's backlog stayed full" : strerror(error);
        return UniqueFd();
    }
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &found);
    if (rc != 0) {
        problem = gai_strerror(rc);
        return UniqueFd();
    }
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(found, freeaddrinfo);
    problem = "no address";
    for (addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
        UniqueFd fd(
            socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol));
        if (!fd.Valid()) {
            problem = strerror(errno);
            continue;
        }
        if (connect(fd.Get(), ai->ai_addr, ai->ai_addrlen) == 0) return fd;
        error = errno;
        if (error == EINPROGRESS && CompleteConnect(fd.Get(), deadline, error)) return fd;
        problem = strerror(error);
    }
    return UniqueFd();
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

SpamdOutcome AskSpamd(const SpamdAddress& address, const std::string& message, int timeoutMs) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string problem;
    UniqueFd fd = Connect(address, deadline, problem);
    if (!fd.Valid())
        return Fail(SpamdFailure::kUnreachable,
                    "cannot connect to spamd at " + address.Text() + ": " + problem);

    std::string request =
        "SYMBOLS SPAMC/1.5\r\nContent-length: " + std::to_string(message.size()) + "\r\n\r\n";
    request += message;
    size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n = send(fd.Get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!WaitFor(fd.Get(), POLLOUT, deadline))
                return Fail(SpamdFailure::kTimeout, "spamd did not take the message in time");
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return Fail(SpamdFailure::kNetwork,
                        std::string("cannot send to spamd: ") + strerror(n < 0 ? errno : EPIPE));
        }
    }
    // spamd knows the length already; the half close only tells it that
    // nothing else will follow.
    shutdown(fd.Get(), SHUT_WR);

    std::string reply;
    SpamdOutcome outcome;
    char chunk[4096];
    for (;;) {
        ssize_t n = recv(fd.Get(), chunk, sizeof chunk, 0);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!WaitFor(fd.Get(), POLLIN, deadline))
                return Fail(SpamdFailure::kTimeout, "spamd did not answer in time");
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0)
            return Fail(SpamdFailure::kNetwork,
                        std::string("cannot read from spamd: ") + strerror(errno));
        reply.append(chunk, static_cast<size_t>(n));
        if (reply.size() > maxSpamdHeader + maxSpamdBody)
            return Fail(SpamdFailure::kProtocol, "spamd reply too long");
        // A spamd child that dies before its first byte (spamd restarting
        // after a rule update) broke the exchange; nothing was refused.
        if (n == 0 && reply.empty())
            return Fail(SpamdFailure::kNetwork, "spamd closed the connection without a reply");
        ReplyStatus status = ParseSpamdReply(reply, n == 0, outcome.verdict, problem);
        if (status == ReplyStatus::kComplete) return outcome;
        if (status == ReplyStatus::kBad) return Fail(SpamdFailure::kProtocol, problem);
        if (n == 0) return Fail(SpamdFailure::kProtocol, "reply cut short");
    }
}

}  // namespace engined
