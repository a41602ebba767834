// The exchange of one request with a member of a pool.  See exchange.h
// for the contract.
#include "engines/kit/exchange.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/base/owners.h"
#include "engines/kit/connect.h"

namespace engined {

namespace {

using Clock = std::chrono::steady_clock;

ExchangeResult Fail(ExchangeFailure failure, std::string what, bool connected = false) {
    ExchangeResult result;
    result.failure = failure;
    result.what = std::move(what);
    result.connected = connected;
    return result;
}

}  // namespace

std::string Printable(std::string_view text, size_t limit) {
    std::string out;
    for (unsigned char c : text) {
        if (out.size() >= limit) break;
        out += c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?';
    }
    return out;
}

ExchangeResult Exchange(const MemberAddress& address, const char* peer, const std::string& request,
                        Clock::time_point deadline, const ExchangeRules& rules,
                        const ReplyParser& parse) {
    const std::string name(peer);
    std::string problem;
    bool busy = false;
    UniqueFd fd = ConnectStream(address.Target(), deadline, problem, busy);
    if (!fd.Valid()) {
        // A full backlog is a busy daemon, not one that is away.
        return busy ? Fail(ExchangeFailure::kTimeout, "cannot connect to " + name + " at " +
                                                          address.Text() + ": " + name +
                                                          "'s backlog stayed full")
                    : Fail(ExchangeFailure::kUnreachable,
                           "cannot connect to " + name + " at " + address.Text() + ": " + problem);
    }
    ExchangeResult done;
    done.connected = true;
    size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n = send(fd.Get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (WaitReady(fd.Get(), POLLOUT, deadline) != Readiness::kReady) {
                return Fail(ExchangeFailure::kTimeout, name + " did not take the message in time",
                            true);
            }
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return Fail(ExchangeFailure::kNetwork,
                        "cannot send to " + name + ": " + strerror(n < 0 ? errno : EPIPE), true);
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
                return Fail(ExchangeFailure::kTimeout, name + " did not answer in time", true);
            }
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            return Fail(ExchangeFailure::kNetwork,
                        "cannot read from " + name + ": " + strerror(errno), true);
        }
        reply.append(chunk, static_cast<size_t>(n));
        if (reply.size() > rules.maxReply) {
            return Fail(ExchangeFailure::kProtocol, name + " reply too long", true);
        }
        // A child that dies before its first byte (spamd restarting after
        // a rule update, an rspamd worker ending) broke the exchange;
        // nothing was refused.
        if (n == 0 && reply.empty()) {
            return Fail(ExchangeFailure::kNetwork, name + " closed the connection without a reply",
                        true);
        }
        ReplyStatus status = parse(reply, n == 0, problem);
        if (status == ReplyStatus::kComplete) return done;
        if (status == ReplyStatus::kBad) {
            // Bad only because the stream ended: the child ended in the
            // middle of its reply (a rule reload), which broke the exchange
            // as one that ends before its first byte does.
            std::string unused;
            const bool cut = n == 0 && parse(reply, false, unused) == ReplyStatus::kIncomplete;
            return Fail(cut ? ExchangeFailure::kNetwork : ExchangeFailure::kProtocol, problem,
                        true);
        }
        if (n == 0) {
            return Fail(ExchangeFailure::kProtocol, "reply cut short", true);
        }
    }
}

}  // namespace engined
