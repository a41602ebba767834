// The clamd pool of quillon-clamd: INSTREAM to ClamAV's clamd with
// failover.  See clamd_pool.h for the contract.
#include "engines/clamd/clamd_pool.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "common/base/daemonlog.h"
#include "common/base/owners.h"
#include "common/base/text.h"
#include "engines/kit/connect.h"

namespace engined {

using daemonlog::Log;
using daemonlog::Warn;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int connectSeconds = 2;
constexpr size_t chunkBytes = 64u << 10;
constexpr size_t maxNameBytes = 256;
constexpr size_t maxPoolFindings = 100;

bool EndsWith(const std::string& text, const char* tail) {
    size_t n = strlen(tail);
    return text.size() >= n && text.compare(text.size() - n, n, tail) == 0;
}

// A non-blocking socket connected to address, or an invalid one with why.
UniqueFd Connect(const MemberAddress& address, std::string& why) {
    bool busy = false;
    return ConnectStream(address.Target(), Clock::now() + std::chrono::seconds(connectSeconds), why,
                         busy);
}

std::string Shown(const MemberAddress& address) {
    return EscapeControl(address.Form(), 256);
}

bool SendAll(int fd, const char* data, size_t size, Clock::time_point deadline) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = send(fd, data + done, size - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            if (WaitReady(fd, POLLOUT, deadline) != Readiness::kReady) return false;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

bool ParseClamdReply(const std::string& text, ClamdVerdict& verdict) {
    verdict = ClamdVerdict();
    bool any = false, found = false, clean = false, failed = false;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of(std::string("\0\n", 2), pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (line.empty()) continue;
        any = true;
        if (EndsWith(line, " FOUND")) {
            line.resize(line.size() - 6);
            size_t colon = line.find(": ");
            std::string name = colon == std::string::npos ? line : line.substr(colon + 2);
            if (name.empty()) return false;
            if (name.size() > maxNameBytes) name.resize(maxNameBytes);
            found = true;
            bool known = false;
            for (const std::string& seen : verdict.names) known = known || seen == name;
            if (!known && verdict.names.size() < maxPoolFindings) verdict.names.push_back(name);
        } else if (EndsWith(line, " ERROR")) {
            failed = true;
            if (verdict.error.empty()) verdict.error = line.substr(0, line.size() - 6);
        } else if (EndsWith(line, ": OK")) {
            clean = true;
        } else {
            return false;
        }
    }
    if (!any) return false;
    // A match found settles the verdict whatever else was reported.
    verdict.kind = found    ? ClamdVerdict::kFound
                   : failed ? ClamdVerdict::kError
                            : ClamdVerdict::kClean;
    return found || failed || clean;
}

ClamdPool::ClamdPool(std::vector<MemberAddress> members, unsigned replySeconds,
                     std::chrono::milliseconds grace)
    : replySeconds_(replySeconds),
      grace_(grace),
      members_(std::move(members)),
      health_(members_.size(),
              MemberPool::Hooks{
                  [this](size_t member, std::string& why) {
                      std::string reply;
                      return Ask(members_[member], std::string("zPING", 6), -1, 0, reply, why) ==
                                 Asked::kAnswered &&
                             reply.compare(0, 4, "PONG") == 0;
                  },
                  [this](size_t member, const std::string& why, size_t) {
                      Warn("clamd %s is down (%s): scans go to the other members",
                           Shown(members_[member]).c_str(), EscapeControl(why, 256).c_str());
                  },
                  [this](size_t member, long long) {
                      Log("clamd %s answers again", Shown(members_[member]).c_str());
                  },
                  [this](size_t member, const std::string& why, long long seconds, size_t left) {
                      const std::string pause = std::to_string(seconds) + " s";
                      Warn("clamd %s is paused (%s): %s", Shown(members_[member]).c_str(),
                           EscapeControl(why, 256).c_str(),
                           (left > 0
                                ? "scans go to the other members for " + pause
                                : "no other is up: it is still asked, first in turn after " + pause)
                               .c_str());
                  },
                  [this](size_t member, long long seconds) {
                      Log("clamd %s gets scans again after a pause of %lld s",
                          Shown(members_[member]).c_str(), seconds);
                  }}) {}

ClamdPool::Asked ClamdPool::Ask(const MemberAddress& address, const std::string& command, int fd,
                                uint64_t size, std::string& reply, std::string& why) const {
    reply.clear();
    UniqueFd sock = Connect(address, why);
    if (!sock.Valid()) return Asked::kFailed;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(replySeconds_);
    bool sent = SendAll(sock.Get(), command.data(), command.size(), deadline);
    if (sent && fd >= 0) {
        std::vector<char> chunk(4 + chunkBytes);
        uint64_t offset = 0;
        while (sent && offset < size) {
            size_t want = static_cast<size_t>(std::min<uint64_t>(chunkBytes, size - offset));
            ssize_t n = pread(fd, chunk.data() + 4, want, static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;  // the file shrank: clamd scans what there is
            uint32_t length = static_cast<uint32_t>(n);
            for (int i = 0; i < 4; ++i) chunk[i] = static_cast<char>(length >> (24 - 8 * i));
            sent = SendAll(sock.Get(), chunk.data(), 4 + static_cast<size_t>(n), deadline);
            offset += static_cast<uint64_t>(n);
        }
        const char end[4] = {0, 0, 0, 0};
        if (sent) sent = SendAll(sock.Get(), end, sizeof end, deadline);
    }
    // Read even when sending failed: clamd says why before it hangs up
    // ("INSTREAM size limit exceeded").
    char buffer[4096];
    for (;;) {
        if (WaitReady(sock.Get(), POLLIN, deadline) != Readiness::kReady) {
            why = "no reply in time";
            return Asked::kTimedOut;
        }
        ssize_t n = recv(sock.Get(), buffer, sizeof buffer, 0);
        if (n > 0) {
            if (reply.size() + static_cast<size_t>(n) > maxClamdReply) {
                why = "reply too long";
                return Asked::kFailed;
            }
            reply.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n < 0) why = strerror(errno);
        break;
    }
    if (reply.empty()) {
        if (why.empty()) why = sent ? "closed without a reply" : "the stream could not be sent";
        return Asked::kFailed;
    }
    return Asked::kAnswered;
}

bool ClamdPool::TryMember(size_t member, int fd, uint64_t size, ClamdVerdict& verdict) {
    std::string reply, why;
    switch (Ask(members_[member], std::string("zINSTREAM", 10), fd, size, reply, why)) {
        case Asked::kAnswered:
            if (ParseClamdReply(reply, verdict)) {
                health_.Finished(member);
                return true;
            }
            why = "not a clamd reply: " + reply.substr(0, 80);
            break;
        case Asked::kTimedOut:
            // Connected and silent: a clamd that takes scans and never
            // finishes them may still answer PING, so only a pause or a
            // scan brings it back.
            health_.TimedOut(member, why + " (within " + std::to_string(replySeconds_) + " s)");
            return false;
        case Asked::kFailed:
            break;
    }
    health_.GoneAway(member, why);
    return false;
}

bool ClamdPool::TryMembers(int fd, uint64_t size, ClamdVerdict& verdict) {
    uint64_t tried = 0;
    // Members that are up first, in turn; then the ones marked down, in
    // case one came back before the prober saw it; then, no other left,
    // the paused ones.
    for (int pass = 0; pass < 3; ++pass) {
        for (;;) {
            const int index = pass < 2 ? health_.Pick(tried, pass == 1) : health_.PickPaused(tried);
            if (index < 0) break;
            tried |= uint64_t{1} << index;
            if (TryMember(static_cast<size_t>(index), fd, size, verdict)) return true;
        }
    }
    return false;
}

bool ClamdPool::Scan(int fd, uint64_t size, ClamdVerdict& verdict) {
    if (TryMembers(fd, size, verdict)) return true;
    // Every member down: held while the last went down less than the grace
    // ago (a clamd restarting after a signature update).
    const Clock::time_point until = health_.HoldUntil(grace_);
    if (Clock::now() < until && health_.Hold(until, [&] {
            return TryMembers(fd, size, verdict) ? MemberPool::Round::kAnswered
                                                 : MemberPool::Round::kNone;
        }))
        return true;
    verdict = ClamdVerdict();
    verdict.error = "no clamd of the pool answers";
    return false;
}

std::string ClamdPool::Version() {
    for (const MemberAddress& address : members_) {
        std::string reply, why;
        if (Ask(address, std::string("zVERSION", 9), -1, 0, reply, why) != Asked::kAnswered)
            continue;
        while (!reply.empty() && (reply.back() == '\0' || reply.back() == '\n')) reply.pop_back();
        if (reply.compare(0, 7, "ClamAV ") == 0 && reply.size() < 256) return reply;
    }
    return std::string();
}

}  // namespace engined
