#include "milter/filters.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>

#include "common/base/daemonlog.h"
#include "common/base/spawn.h"
#include "common/base/text.h"
#include "common/config/cfgf.h"

namespace milter {

using daemonlog::Debug;
using daemonlog::Log;

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxLine = 64 * 1024;
constexpr int kMaxRestartDelayMs = 60 * 1000;
constexpr auto kStableRun = std::chrono::seconds(60);
// A filter whose next start is this far away counts as down.
constexpr int kFailFastDelayMs = 16 * 1000;

std::string BaseName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string RequestLine(long token, const std::string& path) {
    return std::to_string(token) + " FILE " + path + "\n";
}

// How often a stopped engine's socket is tried, and how often the
// supervisor looks for requests past their time.
constexpr auto kProbeEvery = std::chrono::milliseconds(500);
constexpr int kTickMs = 250;
// A process silent this long with requests out gets an INTF probe; one
// that then writes nothing for kProbeBound is taken for hung.  Together
// about 15 s, well inside the MTA's patience, and far above the
// milliseconds a working command loop takes to answer.
constexpr auto kProbeAfter = std::chrono::seconds(5);
constexpr auto kProbeBound = std::chrono::seconds(10);

int MillisUntil(Clock::time_point t) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()).count();
    return ms < 0 ? 0 : (ms > kTickMs ? kTickMs : static_cast<int>(ms));
}

// The settings file beside a filter's program (PROGRAM.cfg).
std::string SettingsFileOf(const std::string& program, const std::string& name) {
    size_t slash = program.rfind('/');
    return (slash == std::string::npos ? std::string() : program.substr(0, slash + 1)) + name +
           ".cfg";
}

// The settings whose texts a filter adds as header fields: the score and
// alert fields of the anti-spam filter, the field of the anti-virus
// filter's add-header mode.  Each file holds only its own filter's.
std::vector<std::string> AddedFieldNames(const cfgfItem* tree) {
    std::vector<std::string> names;
    const cfgfItem* addHeader = cfgfGetDictValue(tree, "AddHeaderOptions", cfgfDictionary);
    for (const char* text : {cfgfGetDictValueStr(tree, "Header"),
                             cfgfGetDictValueStr(tree, "AlertHeader"),
                             cfgfGetDictValueStr(addHeader, "Header")}) {
        if (!text) continue;
        std::vector<std::string> some = ConfiguredFieldNames(text);
        names.insert(names.end(), some.begin(), some.end());
    }
    return names;
}

// True when a unix stream socket at path takes a connection now (a full
// backlog counts: someone listens).  Never blocks.
bool Accepts(const std::string& path) {
    struct sockaddr_un un = {};
    if (path.empty() || path.size() >= sizeof un.sun_path) return false;
    un.sun_family = AF_UNIX;
    memcpy(un.sun_path, path.data(), path.size());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    int rc = connect(fd, reinterpret_cast<struct sockaddr*>(&un), sizeof un);
    bool ok = rc == 0 || errno == EAGAIN || errno == EINPROGRESS;
    close(fd);
    return ok;
}

}  // namespace

Message::Message(long token_, std::string path_, size_t filters, Order order)
    : token(token_), path(std::move(path_)), order_(order), born_(Clock::now()) {
    twLock lock(mu_);
    outcome_.answers.resize(filters);
    outcome_.answered.assign(filters, false);
    // No other thread knows the message yet: the first ones asked are
    // marked here.
    outcome_.asked.assign(filters, order == Order::Parallel);
    if (filters > 0) outcome_.asked[0] = true;
    out_ = order == Order::Parallel ? filters : (filters > 0 ? 1 : 0);
}

bool Message::DecidedLocked() const {
    return refused_ || out_ == 0;
}

Message::Recorded Message::Record(size_t index, const Answer& answer) {
    Recorded r;
    {
        twLock lock(mu_);
        if (index >= outcome_.answered.size() || outcome_.answered[index] ||
            !outcome_.asked[index])
            return r;
        outcome_.answers[index] = answer;
        outcome_.answered[index] = true;
        --out_;
        if (answer.kind == AnswerKind::Error || answer.kind == AnswerKind::Discard) {
            refused_ = true;  // the others need not look
        } else if (!refused_) {
            for (size_t next = index + 1; next < outcome_.asked.size(); ++next) {
                if (outcome_.asked[next]) continue;
                if (order_ == Order::Serial && next != index + 1) break;
                outcome_.asked[next] = true;
                ++out_;
                r.ask.push_back(next);
            }
        }
        r.late = released_;
        if (released_) {
            r.label = label_;
            r.elapsedMs = static_cast<long>(
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - born_)
                    .count());
        }
        if (released_ && out_ == 0) {
            r.finished = true;
            r.keep = std::move(keep_);
        }
    }
    answeredCv_.NotifyAll();
    return r;
}

std::vector<size_t> Message::AskRest() {
    std::vector<size_t> ask;
    twLock lock(mu_);
    if (refused_ || abandoned_) return ask;
    for (size_t i = 0; i < outcome_.asked.size(); ++i) {
        if (outcome_.asked[i]) continue;
        outcome_.asked[i] = true;
        ++out_;
        ask.push_back(i);
    }
    return ask;
}

Message::Waited Message::WaitDecided(Clock::time_point deadline,
                                     std::chrono::milliseconds progressEvery,
                                     const std::function<void()>& progress) {
    twLock lock(mu_);
    for (;;) {
        if (abandoned_) return Waited::kAbandoned;
        if (DecidedLocked()) return Waited::kDecided;
        const auto now = Clock::now();
        if (now >= deadline) return Waited::kDeadline;
        const auto until = std::min(deadline, now + progressEvery);
        while (!abandoned_ && !DecidedLocked() && answeredCv_.WaitUntil(mu_, until)) {
        }
        if (abandoned_ || DecidedLocked()) continue;
        if (Clock::now() < until) continue;  // woken early
        if (Clock::now() < deadline && progress) {
            mu_.unlock();
            progress();
            mu_.lock();
        }
    }
}

void Message::Abandon() {
    {
        twLock lock(mu_);
        abandoned_ = true;
    }
    answeredCv_.NotifyAll();
}

bool Message::Release(std::string label, std::shared_ptr<void> keep) {
    twLock lock(mu_);
    released_ = true;
    if (out_ == 0) return true;
    label_ = std::move(label);
    keep_ = std::move(keep);
    return false;
}

Outcome Message::Snapshot() const {
    twLock lock(mu_);
    return outcome_;
}

FilterChild::FilterChild(Filters& owner, size_t index, std::string program,
                         std::vector<std::string> args, std::string workDir)
    : owner_(owner),
      index_(index),
      program_(std::move(program)),
      name_(BaseName(program_)),
      workDir_(std::move(workDir)),
      args_(std::move(args)) {
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

FilterChild::~FilterChild() {
    if (thread_.joinable()) {
        BeginStop(Clock::now());
        Join();
    }
    if (wakeFd_ >= 0) close(wakeFd_);
}

void FilterChild::Start() {
    // Before the thread and before the first message: a forged field of
    // a name the filter adds only now and then (an alert) goes from the
    // first message on.
    ReadSettings();
    restartAt_ = Clock::now();
    thread_ = std::thread(&FilterChild::Run, this);
}

void FilterChild::Wake() {
    uint64_t one = 1;
    if (write(wakeFd_, &one, sizeof one) < 0) {
        // The counter is already non-zero: the thread wakes anyway.
    }
}

void FilterChild::Send(long token, const std::string& path) {
    bool down;
    {
        twLock lock(mu_);
        down = down_;
        if (!down) {
            std::string line = RequestLine(token, path);
            outbox_ += line;
            queued_ += line.size();
            Request& r = unanswered_[token];
            r.path = path;
            r.endsAt = queued_;
            r.since = Clock::now();
        }
    }
    if (down)
        Fail(token, "filter is not running");
    else
        Wake();
}

void FilterChild::BeginStop(Clock::time_point deadline) {
    {
        twLock lock(mu_);
        stopping_ = true;
        stopDeadline_ = deadline;
    }
    Wake();
}

void FilterChild::Join() {
    if (thread_.joinable()) thread_.join();
}

bool FilterChild::Launch() {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return false;
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return false;
    }
    std::vector<std::string> argv{program_};
    argv.insert(argv.end(), args_.begin(), args_.end());
    pid_t pid = SpawnInGroup(argv, workDir_, in[0], out[1], -1);
    int saved = errno;
    close(in[0]);
    close(out[1]);
    if (pid < 0) {
        close(in[1]);
        close(out[0]);
        Log("filter %s cannot be started: %s", name_.c_str(), strerror(saved));
        return false;
    }
    fcntl(in[1], F_SETFL, O_NONBLOCK);
    pid_ = pid;
    toChild_ = in[1];
    fromChild_ = out[0];
    inbuf_.clear();
    overlong_ = false;
    quitSent_ = false;
    startedAt_ = lastHeard_ = idleAt_ = Clock::now();
    loopUp_ = false;
    hungKilled_ = false;
    size_t resent;
    {
        // The greeting first: its answer tells when the command loop runs.
        // Then whatever the last process left unanswered, in the order the
        // messages came.
        twLock lock(mu_);
        down_ = false;
        outbox_.clear();
        queued_ = written_ = 0;
        QueueProbe();
        for (auto& entry : unanswered_) {
            outbox_ += RequestLine(entry.first, entry.second.path);
            entry.second.endsAt = outbox_.size();
        }
        queued_ = outbox_.size();
        resent = unanswered_.size();
    }
    Log("filter %s started, pid %d, %zu request(s) pending", name_.c_str(), static_cast<int>(pid),
        resent);
    return true;
}

void FilterChild::Reap(bool expected) {
    if (toChild_ >= 0) close(toChild_);
    if (fromChild_ >= 0) close(fromChild_);
    toChild_ = fromChild_ = -1;
    int status = WaitOrKillGroup(pid_, 5000);
    pid_ = -1;
    size_t pending;
    std::vector<long> givenUp;
    {
        twLock lock(mu_);
        outbox_.clear();
        for (auto it = unanswered_.begin(); it != unanswered_.end();) {
            if (!expected && it->second.endsAt <= written_ && ++it->second.lost >= 2) {
                givenUp.push_back(it->first);
                it = unanswered_.erase(it);
            } else {
                ++it;
            }
        }
        pending = unanswered_.size();
    }
    for (long token : givenUp) {
        Log("filter %s ended twice while checking request %ld; not sending it again", name_.c_str(),
            token);
        Fail(token, "filter ended while checking the message");
    }
    if (expected) {
        Log("filter %s finished, %s", name_.c_str(), DescribeStatus(status).c_str());
        return;
    }
    if (Clock::now() - startedAt_ >= kStableRun) restartDelayMs_ = 1000;
    Log("filter %s ended unexpectedly, %s, %zu request(s) unanswered; restart in %d ms",
        name_.c_str(), DescribeStatus(status).c_str(), pending, restartDelayMs_);
    ScheduleRestart();
}

void FilterChild::ScheduleRestart() {
    restartAt_ = Clock::now() + std::chrono::milliseconds(restartDelayMs_);
    // The settings may have changed since the last start.
    ReadSettings();
    engineRefused_ = !engineSocket_.empty() && !Accepts(engineSocket_);
    nextProbe_ = Clock::now() + kProbeEvery;
    if (engineRefused_)
        GoDown("its engine refuses connections");
    else if (restartDelayMs_ >= kFailFastDelayMs)
        GoDown("it keeps ending");
    restartDelayMs_ = std::min(restartDelayMs_ * 2, kMaxRestartDelayMs);
}

void FilterChild::ReadSettings() {
    const std::string file = SettingsFileOf(program_, name_);
    std::unique_ptr<cfgfItem> tree;
    if (access(file.c_str(), R_OK) == 0) tree = cfgfReadConfigFile(file);
    if (!tree) {
        engineSocket_.clear();
        if (!settingsMissingLogged_)
            Log("filter %s: settings file %s not readable; the names of its fields are learnt "
                "from its answers",
                name_.c_str(), EscapeControl(file, 300).c_str());
        settingsMissingLogged_ = true;
        return;
    }
    const char* socket = cfgfGetDictValueStr(tree.get(), "Socket");
    engineSocket_ = socket ? std::string(socket) : std::string();
    owner_.OwnFields().Learn(AddedFieldNames(tree.get()));
}

void FilterChild::GoDown(const char* why) {
    // The MTA hears so now instead of holding every message for the whole
    // timeout.
    std::map<long, Request> waiting;
    {
        twLock lock(mu_);
        if (!down_)
            Log("filter %s is down (%s); its requests fail until it runs again", name_.c_str(),
                why);
        down_ = true;
        waiting.swap(unanswered_);
    }
    for (const auto& entry : waiting) Fail(entry.first, "filter is not running");
}

bool FilterChild::EngineReturned() {
    if (!engineRefused_ || Clock::now() < nextProbe_) return false;
    nextProbe_ = Clock::now() + kProbeEvery;
    if (!Accepts(engineSocket_)) return false;
    Log("filter %s: its engine accepts connections again; starting it now", name_.c_str());
    engineRefused_ = false;
    restartDelayMs_ = 1000;
    return true;
}

void FilterChild::ExpireOverdue() {
    const auto now = Clock::now();
    const auto limit = std::chrono::milliseconds(timeoutMs_);
    std::vector<long> overdue;
    bool held = false;  // the running process has one of them
    {
        twLock lock(mu_);
        for (auto it = unanswered_.begin(); it != unanswered_.end();) {
            if (now - it->second.since < limit) {
                ++it;
                continue;
            }
            if (pid_ >= 0 && it->second.endsAt <= written_) held = true;
            overdue.push_back(it->first);
            it = unanswered_.erase(it);
        }
    }
    if (overdue.empty()) return;
    for (long token : overdue) Fail(token, "filter did not answer in time");
    if (held && !killed_ && !quitSent_ && !hungKilled_) {
        Log("filter %s did not answer request %ld within %d s; killing pid %d and starting it "
            "again",
            name_.c_str(), overdue.front(), timeoutMs_ / 1000, static_cast<int>(pid_));
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        hungKilled_ = true;
    }
}

void FilterChild::QueueProbe() {
    probeToken_ = lastProbeToken_ = std::max(lastProbeToken_ + 1, kFirstProbeToken);
    probeSentAt_ = Clock::now();
    const std::string line = std::to_string(probeToken_) + " INTF 3\n";
    outbox_ += line;
    queued_ += line.size();
}

void FilterChild::Probe() {
    if (pid_ < 0 || quitSent_ || killed_ || hungKilled_) return;
    const auto now = Clock::now();
    size_t out;
    {
        twLock lock(mu_);
        out = unanswered_.size();
        if (probeToken_ == 0) {
            if (out == 0)
                idleAt_ = now;
            else if (now - std::max(lastHeard_, idleAt_) >= kProbeAfter)
                QueueProbe();
            return;
        }
    }
    // Still starting (the greeting is not answered yet): the timeout alone
    // bounds it, as a slow start must not be taken for a hang.
    if (!loopUp_ || now - std::max(lastHeard_, probeSentAt_) < kProbeBound) return;
    Log("filter %s did not answer INTF within %d s, %zu request(s) out; killing pid %d and "
        "starting it again",
        name_.c_str(), static_cast<int>(kProbeBound.count()), out, static_cast<int>(pid_));
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    hungKilled_ = true;
}

void FilterChild::Fail(long token, const char* why) {
    Answer failure;
    failure.token = token;
    failure.kind = AnswerKind::Failure;
    failure.word = "FAILURE";
    failure.text = why;
    owner_.Deliver(index_, failure);
}

void FilterChild::HandleLine(const std::string& line, bool cut) {
    unsigned long long probe;
    if (ParseProbeAnswer(line, probe)) {
        Debug("filter %s: %s", name_.c_str(), EscapeControl(line, 200).c_str());
        loopUp_ = true;
        if (probe == probeToken_) probeToken_ = 0;
        return;
    }
    Answer answer;
    if (!ParseAnswer(line, answer)) {
        Log("%s: %s", name_.c_str(), EscapeControl(line, 2000).c_str());
        return;
    }
    bool known;
    {
        twLock lock(mu_);
        known = unanswered_.erase(answer.token) > 0;
    }
    if (!known) {
        Log("filter %s answered request %ld that is no longer waiting: %s", name_.c_str(),
            answer.token, EscapeControl(line, 400).c_str());
        return;
    }
    Debug("filter %s: %s", name_.c_str(), EscapeControl(line, 2000).c_str());
    if (cut) {
        // Only the beginning was kept: its text cannot be trusted whole.
        answer.kind = AnswerKind::Failure;
        answer.word = "FAILURE";
        answer.text = "answer line too long";
    }
    owner_.Deliver(index_, answer);
}

void FilterChild::Run() {
    char buf[65536];
    for (;;) {
        bool stopping;
        Clock::time_point deadline;
        {
            twLock lock(mu_);
            stopping = stopping_;
            deadline = stopDeadline_;
        }
        if (pid_ < 0) {
            if (stopping) return;
            if ((Clock::now() >= restartAt_ || EngineReturned()) && !Launch()) ScheduleRestart();
        }
        ExpireOverdue();
        Probe();
        bool wantWrite = false;
        if (pid_ >= 0) {
            twLock lock(mu_);
            if (stopping && !quitSent_ && toChild_ >= 0) {
                outbox_ += "0 QUIT\n";
                queued_ += 7;
                quitSent_ = true;
            }
            wantWrite = !outbox_.empty() && toChild_ >= 0;
        }
        if (pid_ >= 0 && stopping && !killed_ && Clock::now() >= deadline) {
            Log("filter %s did not finish in time, killing it", name_.c_str());
            kill(pid_, SIGKILL);
            killed_ = true;
        }

        struct pollfd fds[3];
        int n = 0;
        fds[n++] = {wakeFd_, POLLIN, 0};
        int readAt = -1, writeAt = -1;
        if (fromChild_ >= 0) {
            readAt = n;
            fds[n++] = {fromChild_, POLLIN, 0};
        }
        if (wantWrite) {
            writeAt = n;
            fds[n++] = {toChild_, POLLOUT, 0};
        }
        int timeout = pid_ < 0 ? MillisUntil(engineRefused_ ? std::min(restartAt_, nextProbe_)
                                                            : restartAt_)
                               : (stopping ? 100 : kTickMs);
        if (poll(fds, n, timeout) < 0) {
            if (errno == EINTR) continue;
            Log("filter %s: poll failed: %s", name_.c_str(), strerror(errno));
            return;
        }
        if (fds[0].revents) {
            uint64_t v;
            while (read(wakeFd_, &v, sizeof v) > 0) {
            }
        }
        if (writeAt >= 0 && fds[writeAt].revents) {
            twLock lock(mu_);
            ssize_t w = write(toChild_, outbox_.data(), outbox_.size());
            if (w > 0) {
                outbox_.erase(0, static_cast<size_t>(w));
                written_ += static_cast<unsigned long long>(w);
            } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
                // The child is gone or closed its input; its output ends next.
                close(toChild_);
                toChild_ = -1;
            }
            if (quitSent_ && outbox_.empty() && toChild_ >= 0) {
                close(toChild_);
                toChild_ = -1;
            }
        }
        if (readAt >= 0 && fds[readAt].revents) {
            ssize_t r = read(fromChild_, buf, sizeof buf);
            if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (r <= 0) {
                if (!inbuf_.empty()) HandleLine(inbuf_, overlong_);
                inbuf_.clear();
                Reap(quitSent_);
                continue;
            }
            lastHeard_ = Clock::now();
            for (ssize_t k = 0; k < r; ++k) {
                char c = buf[k];
                if (c == '\n') {
                    HandleLine(inbuf_, overlong_);
                    inbuf_.clear();
                    overlong_ = false;
                } else if (inbuf_.size() < kMaxLine) {
                    inbuf_ += c;
                } else if (!overlong_) {
                    Log("filter %s wrote a line over %zu bytes; the rest is dropped", name_.c_str(),
                        kMaxLine);
                    overlong_ = true;
                }
            }
        }
    }
}

Filters::~Filters() {
    StopAll(0);
}

void Filters::Add(const std::string& program, const std::vector<std::string>& args,
                  const std::string& workDir) {
    children_.push_back(
        std::make_unique<FilterChild>(*this, children_.size(), program, args, workDir));
}

void Filters::SetTimeout(int ms) {
    for (auto& c : children_) c->SetTimeout(ms);
}

void FieldNames::Learn(const std::vector<std::string>& names) {
    twLock lock(mu_);
    for (const std::string& n : names)
        if (names_.size() < kMaxNames) names_.insert(n);
}

std::set<std::string> FieldNames::Get() const {
    twLock lock(mu_);
    return names_;
}

void Filters::StartAll() {
    for (auto& c : children_) c->Start();
}

void Filters::StopAll(int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (auto& c : children_) c->BeginStop(deadline);
    for (auto& c : children_) c->Join();
}

long Filters::NextToken() {
    twLock lock(mu_);
    long token = nextToken_;
    nextToken_ = nextToken_ >= INT_MAX ? 1 : nextToken_ + 1;
    return token;
}

void Filters::AskFilters(const Message& m, const std::vector<size_t>& which) {
    for (size_t i : which)
        if (i < children_.size()) children_[i]->Send(m.token, m.path);
}

std::shared_ptr<Message> Filters::Submit(long token, const std::string& path) {
    auto m = std::make_shared<Message>(token, path, children_.size(), order_);
    bool abandoned;
    {
        twLock lock(mu_);
        inflight_[token] = m;
        abandoned = abandoned_;
    }
    if (abandoned) m->Abandon();
    const Outcome first = m->Snapshot();
    for (size_t i = 0; i < children_.size(); ++i)
        if (first.asked[i]) children_[i]->Send(token, path);
    return m;
}

Message::Waited Filters::Wait(Message& m, Clock::time_point deadline,
                              std::chrono::milliseconds progressEvery,
                              const std::function<void()>& progress) {
    if (order_ == Order::Staggered) {
        const auto headStartEnds = std::min(deadline, Clock::now() + kHeadStart);
        Message::Waited w = m.WaitDecided(headStartEnds, progressEvery, progress);
        if (w != Message::Waited::kDeadline || headStartEnds >= deadline) return w;
        AskFilters(m, m.AskRest());
    }
    return m.WaitDecided(deadline, progressEvery, progress);
}

void Filters::Release(const std::shared_ptr<Message>& m, std::string label,
                      std::shared_ptr<void> keep) {
    if (!m->Release(std::move(label), keep)) return;
    {
        twLock lock(mu_);
        inflight_.erase(m->token);
    }
    // Nothing is out: keep goes with the caller's reference.
}

void Filters::AbandonAll() {
    std::vector<std::shared_ptr<Message>> waiting;
    {
        twLock lock(mu_);
        abandoned_ = true;
        for (auto& entry : inflight_) waiting.push_back(entry.second);
    }
    for (auto& m : waiting) m->Abandon();
}

void Filters::Deliver(size_t index, const Answer& answer) {
    std::shared_ptr<Message> m;
    {
        twLock lock(mu_);
        auto it = inflight_.find(answer.token);
        if (it != inflight_.end()) m = it->second;
    }
    if (!m) return;
    Message::Recorded r = m->Record(index, answer);
    AskFilters(*m, r.ask);
    if (r.late)
        Log("late answer %s request=%ld %s=%s after %ldms%s", r.label.c_str(), m->token,
            Name(index).c_str(), AnswerLogText(answer).c_str(), r.elapsedMs,
            r.finished ? "; queue file removed" : "");
    if (r.finished) {
        twLock lock(mu_);
        inflight_.erase(m->token);
    }
    // r.keep, the queue file's owner, goes here, outside every lock.
}

}  // namespace milter
