#include "milter/request_queue.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "milter/answer.h"

namespace milter {

namespace {

std::string RequestLine(long token, const std::string& path) {
    return std::to_string(token) + " FILE " + path + "\n";
}

// The request a filter's own log line names: "* (TOKEN) ...".
bool NamedRequest(const std::string& line, long& token) {
    if (line.compare(0, 3, "* (") != 0) return false;
    char* end = nullptr;
    token = strtol(line.c_str() + 3, &end, 10);
    return end != line.c_str() + 3 && *end == ')';
}

}  // namespace

unsigned long long RequestQueue::Append(const std::string& line) {
    outbox_ += line;
    queued_ += line.size();
    return queued_;
}

unsigned long long RequestQueue::QueueIntfLocked() {
    lastIntf_ = std::max(lastIntf_ + 1, kFirstProbeToken);
    Append(std::to_string(lastIntf_) + " INTF 3\n");
    return lastIntf_;
}

bool RequestQueue::Add(long token, const std::string& path, const std::string& label) {
    twLock lock(mu_);
    if (down_) return false;
    Request& r = unanswered_[token];
    r.path = path;
    r.label = label;
    r.since = Clock::now();
    if (held_) {
        r.endsAt = kHeld;
        heldTokens_.push_back(token);
    } else {
        r.endsAt = Append(RequestLine(token, path));
    }
    return true;
}

bool RequestQueue::BeginHold() {
    twLock lock(mu_);
    held_ = true;
    if (!running_) return false;
    barrierWanted_ = true;
    return true;
}

bool RequestQueue::WaitHeld(Clock::time_point until) {
    twLock lock(mu_);
    while (!HeldLocked())
        if (!heldCv_.WaitUntil(mu_, until)) return HeldLocked();
    return true;
}

bool RequestQueue::HeldLocked() const {
    return (!barrierWanted_ && barrierToken_ == 0) || !running_;
}

void RequestQueue::Resume() {
    twLock lock(mu_);
    barrierToken_ = 0;
    // A replacement under way keeps holding until the fresh process runs.
    held_ = replacing_ || replaceWanted_;
    if (held_) return;
    for (long token : heldTokens_) {
        auto it = unanswered_.find(token);
        if (it == unanswered_.end() || it->second.endsAt != kHeld) continue;
        it->second.endsAt = Append(RequestLine(token, it->second.path));
    }
    heldTokens_.clear();
}

void RequestQueue::Nudge() {
    twLock lock(mu_);
    nudgeWanted_ = running_;
}

void RequestQueue::Replace() {
    twLock lock(mu_);
    replaceWanted_ = true;
}

std::string RequestQueue::TakenStamp() {
    twLock lock(mu_);
    return takenStamp_;
}

std::string RequestQueue::WhitelistAtStart() {
    twLock lock(mu_);
    return whitelistAtStart_;
}

ScoreField RequestQueue::TakenScoreField() {
    twLock lock(mu_);
    return takenScoreField_;
}

void RequestQueue::SettingsTaken(const std::string& stamp, const ScoreField& scoreField) {
    twLock lock(mu_);
    takenStamp_ = stamp;
    takenScoreField_ = scoreField;
}

void RequestQueue::BeginStop(Clock::time_point deadline) {
    twLock lock(mu_);
    stopping_ = true;
    stopDeadline_ = deadline;
}

bool RequestQueue::Stopping(Clock::time_point& deadline) {
    twLock lock(mu_);
    deadline = stopDeadline_;
    return stopping_;
}

RequestQueue::Started RequestQueue::ProcessStarted(const std::string& stamp, ScoreField scoreField,
                                                   std::string whitelist) {
    twLock lock(mu_);
    Started s;
    down_ = false;
    running_ = true;
    takenStamp_ = stamp;
    takenScoreField_ = std::move(scoreField);
    whitelistAtStart_ = std::move(whitelist);
    held_ = false;
    heldTokens_.clear();
    outbox_.clear();
    queued_ = written_ = 0;
    // The greeting first: its answer tells when the command loop runs.
    s.greeting = QueueIntfLocked();
    // Then whatever the last process left unanswered, in the order the
    // messages came.
    for (auto& entry : unanswered_)
        entry.second.endsAt = Append(RequestLine(entry.first, entry.second.path));
    s.resent = unanswered_.size();
    return s;
}

RequestQueue::Ended RequestQueue::ProcessEnded(bool expected) {
    Ended e;
    {
        twLock lock(mu_);
        running_ = false;
        e.replaced = replacing_;
        replacing_ = false;
        if (e.replaced) {
            held_ = false;
            heldTokens_.clear();
        }
        barrierToken_ = 0;
        barrierWanted_ = nudgeWanted_ = false;
        outbox_.clear();
        for (auto it = unanswered_.begin(); it != unanswered_.end();) {
            if (!expected && it->second.endsAt <= written_ && ++it->second.lost >= 2) {
                e.givenUp.push_back(it->first);
                it = unanswered_.erase(it);
            } else {
                ++it;
            }
        }
        e.pending = unanswered_.size();
    }
    heldCv_.NotifyAll();
    return e;
}

std::vector<long> RequestQueue::GoDown(bool& wasDown) {
    std::vector<long> waiting;
    twLock lock(mu_);
    wasDown = down_;
    down_ = true;
    for (const auto& entry : unanswered_) waiting.push_back(entry.first);
    unanswered_.clear();
    return waiting;
}

void RequestQueue::ForgetReplace() {
    twLock lock(mu_);
    replaceWanted_ = false;
}

std::vector<long> RequestQueue::TakeOverdue(Clock::time_point now, Clock::duration limit,
                                            bool& readByProcess) {
    std::vector<long> overdue;
    readByProcess = false;
    twLock lock(mu_);
    for (auto it = unanswered_.begin(); it != unanswered_.end();) {
        if (now - it->second.since < limit) {
            ++it;
            continue;
        }
        if (running_ && it->second.endsAt <= written_) readByProcess = true;
        overdue.push_back(it->first);
        it = unanswered_.erase(it);
    }
    return overdue;
}

size_t RequestQueue::Outstanding() {
    twLock lock(mu_);
    return unanswered_.size();
}

unsigned long long RequestQueue::QueueProbe() {
    twLock lock(mu_);
    return QueueIntfLocked();
}

RequestQueue::Plan RequestQueue::TakePlan(bool probeOut, bool quitSent, bool pipeOpen,
                                          bool stopping) {
    Plan p;
    twLock lock(mu_);
    if (barrierWanted_) {
        barrierWanted_ = false;
        barrierToken_ = QueueIntfLocked();
    }
    if (nudgeWanted_ && !probeOut) p.probe = QueueIntfLocked();
    nudgeWanted_ = false;
    if (replaceWanted_ && !quitSent) {
        replaceWanted_ = false;
        replacing_ = held_ = true;
        p.replaceBegun = static_cast<long>(unanswered_.size());
    }
    // The old process answers what it has read before it is asked to quit.
    const bool holds = std::any_of(unanswered_.begin(), unanswered_.end(),
                                   [](const auto& entry) { return entry.second.endsAt != kHeld; });
    if (!quitSent && pipeOpen && ((replacing_ && !holds) || stopping)) {
        Append("0 QUIT\n");
        p.quit = true;
    }
    p.write = !outbox_.empty();
    return p;
}

bool RequestQueue::WriteTo(int fd) {
    twLock lock(mu_);
    const ssize_t w = write(fd, outbox_.data(), outbox_.size());
    if (w > 0) {
        outbox_.erase(0, static_cast<size_t>(w));
        written_ += static_cast<unsigned long long>(w);
    }
    return w >= 0 || errno == EAGAIN || errno == EINTR;
}

bool RequestQueue::Empty() {
    twLock lock(mu_);
    return outbox_.empty();
}

void RequestQueue::ProbeAnswered(unsigned long long token) {
    {
        twLock lock(mu_);
        if (token != barrierToken_) return;
        barrierToken_ = 0;
    }
    heldCv_.NotifyAll();
}

bool RequestQueue::Answered(long token) {
    twLock lock(mu_);
    return unanswered_.erase(token) > 0;
}

std::string RequestQueue::LabelNamedBy(const std::string& line) {
    long token;
    if (!NamedRequest(line, token)) return std::string();
    twLock lock(mu_);
    auto it = unanswered_.find(token);
    return it == unanswered_.end() ? std::string() : it->second.label;
}

void RereadCount::Count(size_t filter) {
    {
        twLock lock(mu_);
        if (counts_.size() <= filter) counts_.resize(filter + 1, 0);
        ++counts_[filter];
    }
    changed_.NotifyAll();
}

std::vector<unsigned long> RereadCount::Counts(size_t filters) {
    twLock lock(mu_);
    std::vector<unsigned long> counts(counts_);
    counts.resize(std::max(filters, counts.size()), 0);
    return counts;
}

long RereadCount::ChangedLocked(const std::vector<unsigned long>& before) const {
    for (size_t i = 0; i < counts_.size(); ++i)
        if (counts_[i] != (i < before.size() ? before[i] : 0)) return static_cast<long>(i);
    return -1;
}

long RereadCount::WaitChange(const std::vector<unsigned long>& before,
                             std::chrono::steady_clock::time_point until) {
    twLock lock(mu_);
    long changed;
    while ((changed = ChangedLocked(before)) < 0)
        if (!changed_.WaitUntil(mu_, until)) return ChangedLocked(before);
    return changed;
}

}  // namespace milter
