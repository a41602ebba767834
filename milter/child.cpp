#include "milter/child.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>

#include "common/base/daemonlog.h"
#include "common/base/text.h"
#include "milter/figures.h"
#include "milter/filter_settings.h"
#include "milter/spool.h"

namespace milter {

using daemonlog::Debug;
using daemonlog::Log;
using daemonlog::Warn;
using daemonlog::Error;

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxLine = 64 * 1024;
constexpr int kMaxRestartDelayMs = 60 * 1000;
constexpr auto kStableRun = std::chrono::seconds(60);
constexpr auto kOverdueGrace = std::chrono::seconds(1);
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
// How often the settings file is looked at for a change (a reload of the
// filter's settings may change the fields it adds).
constexpr auto kSettingsLookEvery = std::chrono::seconds(2);
// A process silent this long with requests out gets an INTF probe; one
// that then writes nothing for kProbeBound is taken for hung.  Together
// about 15 s, well inside the MTA's patience, and far above the
// milliseconds a working command loop takes to answer.
constexpr auto kProbeAfter = std::chrono::seconds(5);
constexpr auto kProbeBound = std::chrono::seconds(10);

// Where a request line not yet written waits while the reload holds lines.
constexpr unsigned long long kHeld = ~0ULL;

// The request a filter's own log line names: "* (TOKEN) ...".
bool NamedRequest(const std::string& line, long& token) {
    if (line.compare(0, 3, "* (") != 0) return false;
    char* end = nullptr;
    token = strtol(line.c_str() + 3, &end, 10);
    return end != line.c_str() + 3 && *end == ')';
}

int MillisUntil(Clock::time_point t) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()).count();
    return ms < 0 ? 0 : (ms > kTickMs ? kTickMs : static_cast<int>(ms));
}

// True when a unix stream socket at path takes a connection now (a full
// backlog counts: someone listens).  Never blocks.
bool Accepts(const std::string& path) {
    struct sockaddr_un un = {};
    if (path.empty() || path.size() >= sizeof un.sun_path) return false;
    un.sun_family = AF_UNIX;
    memcpy(un.sun_path, path.data(), path.size());
    const UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) return false;
    const int rc = connect(fd.Get(), reinterpret_cast<struct sockaddr*>(&un), sizeof un);
    return rc == 0 || errno == EAGAIN || errno == EINPROGRESS;
}

// The filters name their generated mail Qln_<tag>_..., the tag being the
// program's name after "Tarnwick-" (AV, AS).
std::string MailTagOf(const std::string& name) {
    const std::string prefix = "Tarnwick-";
    return name.compare(0, prefix.size(), prefix) == 0 ? name.substr(prefix.size()) : std::string();
}

}  // namespace

// Compared whole rather than by modification time: the file is small, and
// an edit within the same second as the last keeps the time.
std::string WhitelistContentOf(const std::string& baseDir) {
    std::ifstream in(baseDir + "/whitelist.txt", std::ios::binary);
    if (!in) return std::string();
    std::ostringstream text;
    text << in.rdbuf();
    return "=" + text.str();
}

FilterChild::FilterChild(size_t index, std::string program, std::vector<std::string> args,
                         const HostSettings& settings, FieldNames& fields, Deliver deliver)
    : index_(index),
      program_(std::move(program)),
      name_(BaseName(program_)),
      args_(std::move(args)),
      settings_(settings),
      fields_(fields),
      deliver_(std::move(deliver)),
      wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      lines_(kMaxLine, [this](const std::string& line, bool cut) {
          if (cut)
              Warn("filter %s wrote a line over %zu bytes; the rest is dropped", name_.c_str(),
                  kMaxLine);
          HandleLine(line, cut);
      }) {}

FilterChild::~FilterChild() {
    if (thread_.joinable()) {
        BeginStop(Clock::now());
        Join();
    }
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
    if (write(wakeFd_.Get(), &one, sizeof one) < 0) {
        // The counter is already non-zero: the thread wakes anyway.
    }
}

void FilterChild::Send(long token, const std::string& path, const std::string& label) {
    bool down;
    {
        twLock lock(mu_);
        down = down_;
        if (!down) {
            Request& r = unanswered_[token];
            r.path = path;
            r.label = label;
            r.since = Clock::now();
            if (held_) {
                r.endsAt = kHeld;
                heldTokens_.push_back(token);
            } else {
                std::string line = RequestLine(token, path);
                outbox_ += line;
                queued_ += line.size();
                r.endsAt = queued_;
            }
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

bool FilterChild::Hold(std::chrono::milliseconds bound) {
    {
        twLock lock(mu_);
        held_ = true;
        if (!running_) return true;
        barrierWanted_ = true;  // the supervisor queues it
    }
    Wake();
    const auto until = Clock::now() + bound;
    while (Clock::now() < until) {
        {
            twLock lock(mu_);
            if ((!barrierWanted_ && barrierToken_ == 0) || !running_) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

void FilterChild::Resume() {
    {
        twLock lock(mu_);
        barrierToken_ = 0;
        // A replacement under way keeps holding until the fresh process runs.
        held_ = replacing_ || replaceWanted_;
        if (held_) return;
        for (long token : heldTokens_) {
            auto it = unanswered_.find(token);
            if (it == unanswered_.end() || it->second.endsAt != kHeld) continue;
            const std::string line = RequestLine(token, it->second.path);
            outbox_ += line;
            queued_ += line.size();
            it->second.endsAt = queued_;
        }
        heldTokens_.clear();
    }
    Wake();
}

void FilterChild::Nudge() {
    {
        twLock lock(mu_);
        nudgeWanted_ = running_;
    }
    Wake();
}

unsigned long FilterChild::Rereads() {
    twLock lock(mu_);
    return rereads_;
}

std::string FilterChild::TakenStamp() {
    twLock lock(mu_);
    return takenStamp_;
}

std::string FilterChild::WhitelistAtStart() {
    twLock lock(mu_);
    return whitelistAtStart_;
}

ScoreField FilterChild::TakenScoreField() {
    twLock lock(mu_);
    return takenScoreField_;
}

void FilterChild::SettingsTaken(const std::string& stamp, const ScoreField& scoreField) {
    twLock lock(mu_);
    takenStamp_ = stamp;
    takenScoreField_ = scoreField;
}

void FilterChild::Replace() {
    {
        twLock lock(mu_);
        replaceWanted_ = true;
    }
    Wake();
}

bool FilterChild::Launch() {
    std::vector<std::string> argv{program_};
    argv.insert(argv.end(), args_.begin(), args_.end());
    pipedChild child = SpawnPiped(argv, FilterWorkDir(settings_.baseDir, name_), kPipeInput, false);
    if (child.pid < 0) {
        Error("filter %s cannot be started: %s", name_.c_str(), strerror(errno));
        return false;
    }
    pid_ = child.pid;
    if (launched_) HostFigures().Restarted(index_);
    launched_ = true;
    toChild_ = std::move(child.input);
    fromChild_ = std::move(child.output);
    quitSent_ = false;
    startedAt_ = lastHeard_ = idleAt_ = Clock::now();
    loopUp_ = false;
    hungKilled_ = false;
    size_t resent;
    const std::string stamp = SettingsStampOf(program_);
    ScoreField scoreField = ScoreFieldOf(program_);
    std::string whitelist = WhitelistContentOf(settings_.baseDir);
    {
        // The greeting first: its answer tells when the command loop runs.
        // Then whatever the last process left unanswered, in the order the
        // messages came.
        twLock lock(mu_);
        down_ = false;
        running_ = true;
        takenStamp_ = stamp;
        takenScoreField_ = std::move(scoreField);
        whitelistAtStart_ = std::move(whitelist);
        held_ = false;
        heldTokens_.clear();
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
    Log("filter %s started, pid %d, %zu request(s) pending", name_.c_str(), static_cast<int>(pid_),
        resent);
    return true;
}

void FilterChild::Reap(bool expected) {
    toChild_.Reset();
    fromChild_.Reset();
    int status = WaitOrKillGroup(pid_, 5000);
    pid_ = -1;
    size_t pending;
    std::vector<long> givenUp;
    bool replaced;
    {
        twLock lock(mu_);
        running_ = false;
        replaced = replacing_;
        replacing_ = false;
        if (replaced) {
            // The fresh process gets the held requests from Launch.
            held_ = false;
            heldTokens_.clear();
        }
        barrierToken_ = 0;
        barrierWanted_ = nudgeWanted_ = false;
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
        Warn("filter %s ended twice while checking request %ld; not sending it again", name_.c_str(),
            token);
        Fail(token, "filter ended while checking the message");
    }
    if (!expected) EndPlanned();  // a crash is told as one
    if (expected) {
        Log("filter %s finished, %s", name_.c_str(), DescribeStatus(status).c_str());
        if (replaced) {
            restartAt_ = Clock::now();
            ReadSettings();
        }
        return;
    }
    if (Clock::now() - startedAt_ >= kStableRun) restartDelayMs_ = 1000;
    Warn("filter %s ended unexpectedly, %s, %zu request(s) unanswered; restart in %d ms",
        name_.c_str(), DescribeStatus(status).c_str(), pending, restartDelayMs_);
    ScheduleRestart();
}

void FilterChild::EndPlanned() {
    if (plannedFrom_ < 0) return;
    plannedFrom_ = -1;
    plannedHook_(MailTagOf(name_), false);
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
    const FilterSettings read = ReadFilterSettings(program_);
    settingsStamp_ = read.stamp;
    engineSocket_ = read.engineSocket;
    if (!read.readable) {
        // The filter still runs on what it read last and adds those fields:
        // their names stay until a good file comes.
        if (!settingsMissingLogged_)
            Warn("filter %s: settings file %s not readable or without Socket; the names of the "
                 "fields its last good file gave are kept, others are learnt from its answers",
                name_.c_str(), EscapeControl(read.file, 300).c_str());
        settingsMissingLogged_ = true;
        return;
    }
    if (settingsMissingLogged_)
        Log("filter %s: settings file %s readable again; the names of its fields taken from it",
            name_.c_str(), EscapeControl(read.file, 300).c_str());
    settingsMissingLogged_ = false;
    for (const std::string& name : fields_.FromSettings(index_, read.fieldNames))
        Warn("filter %s: %s adds a field %s, which belongs to the message; incoming fields of that "
            "name are never removed",
            name_.c_str(), EscapeControl(read.file, 300).c_str(), EscapeControl(name, 80).c_str());
}

void FilterChild::LookAtSettings() {
    const auto now = Clock::now();
    if (now < nextSettingsLook_) return;
    nextSettingsLook_ = now + kSettingsLookEvery;
    if (SettingsStampOf(program_) != settingsStamp_) ReadSettings();
}

void FilterChild::GoDown(const char* why) {
    // The MTA hears so now instead of holding every message for the whole
    // timeout.
    std::map<long, Request> waiting;
    {
        twLock lock(mu_);
        if (!down_)
            Error("filter %s is down (%s); its requests fail until it runs again", name_.c_str(),
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
    // A second past the message's own deadline: the message is answered by
    // its timer (the filter's "(no answer)"), never by a race with this one.
    const auto limit = std::chrono::seconds(settings_.timeoutSec) + kOverdueGrace;
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
        Warn("filter %s did not answer request %ld within %d s; killing pid %d and starting it "
            "again",
            name_.c_str(), overdue.front(), settings_.timeoutSec, static_cast<int>(pid_));
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
    Warn("filter %s did not answer INTF within %d s, %zu request(s) out; killing pid %d and "
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
    deliver_(index_, failure);
}

void FilterChild::HandleLine(const std::string& line, bool cut) {
    unsigned long long probe;
    if (ParseProbeAnswer(line, probe)) {
        Debug("filter %s: %s", name_.c_str(), EscapeControl(line, 200).c_str());
        loopUp_ = true;
        // The fresh process's start report is written by now.
        if (plannedFrom_ >= 0 && pid_ != plannedFrom_) EndPlanned();
        if (probe == probeToken_) probeToken_ = 0;
        twLock lock(mu_);
        if (probe == barrierToken_) barrierToken_ = 0;
        return;
    }
    Answer answer;
    if (!ParseAnswer(line, answer)) {
        long token;
        std::string label;
        {
            twLock lock(mu_);
            if (line.compare(0, 13, "* re-reading ") == 0) ++rereads_;
            if (NamedRequest(line, token)) {
                auto it = unanswered_.find(token);
                if (it != unanswered_.end()) label = it->second.label;
            }
        }
        const daemonlog::Level level = FilterLineLevel(line);
        if (label.empty())
            daemonlog::LogAt(level, "%s: %s", name_.c_str(), EscapeControl(line, 2000).c_str());
        else
            daemonlog::LogAt(level, "%s queue=%s: %s", name_.c_str(), label.c_str(),
                             EscapeControl(line, 2000).c_str());
        return;
    }
    bool known;
    {
        twLock lock(mu_);
        known = unanswered_.erase(answer.token) > 0;
    }
    if (!known) {
        Warn("filter %s answered request %ld that is no longer waiting: %s", name_.c_str(),
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
    deliver_(index_, answer);
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
        if (stopping) EndPlanned();
        if (pid_ < 0) {
            if (stopping) return;
            {
                // No process to replace: the next start reads the whitelist.
                twLock lock(mu_);
                replaceWanted_ = false;
            }
            if ((Clock::now() >= restartAt_ || EngineReturned()) && !Launch()) {
                EndPlanned();  // a start that failed is no planned one any more
                ScheduleRestart();
            }
        }
        ExpireOverdue();
        Probe();
        LookAtSettings();
        bool wantWrite = false;
        long replaceBegun = -1;  // the requests the old process holds then
        if (pid_ >= 0) {
            twLock lock(mu_);
            if (barrierWanted_) {
                barrierWanted_ = false;
                barrierToken_ = lastProbeToken_ = std::max(lastProbeToken_ + 1, kFirstProbeToken);
                const std::string line = std::to_string(barrierToken_) + " INTF 3\n";
                outbox_ += line;
                queued_ += line.size();
            }
            if (nudgeWanted_ && probeToken_ == 0) QueueProbe();
            nudgeWanted_ = false;
            if (replaceWanted_ && !quitSent_) {
                replaceWanted_ = false;
                replacing_ = held_ = true;
                replaceBegun = static_cast<long>(unanswered_.size());
            }
            bool holds = false;  // the old process has requests to answer
            for (const auto& entry : unanswered_) holds = holds || entry.second.endsAt != kHeld;
            if (replacing_ && !quitSent_ && !holds && toChild_.Valid()) {
                outbox_ += "0 QUIT\n";
                queued_ += 7;
                quitSent_ = true;
            }
            if (stopping && !quitSent_ && toChild_.Valid()) {
                outbox_ += "0 QUIT\n";
                queued_ += 7;
                quitSent_ = true;
            }
            wantWrite = !outbox_.empty() && toChild_.Valid();
        }
        if (replaceBegun >= 0 && plannedHook_ && !MailTagOf(name_).empty()) {
            plannedFrom_ = pid_;
            plannedHook_(MailTagOf(name_), true);
        }
        if (replaceBegun >= 0)
            Log("filter %s: a fresh process takes the new requests once this one (pid %d) has "
                "answered its %ld",
                name_.c_str(), static_cast<int>(pid_), replaceBegun);
        if (pid_ >= 0 && stopping && !killed_ && Clock::now() >= deadline) {
            Warn("filter %s did not finish in time, killing it", name_.c_str());
            kill(pid_, SIGKILL);
            killed_ = true;
        }

        struct pollfd fds[3];
        int n = 0;
        fds[n++] = {wakeFd_.Get(), POLLIN, 0};
        int readAt = -1, writeAt = -1;
        if (fromChild_.Valid()) {
            readAt = n;
            fds[n++] = {fromChild_.Get(), POLLIN, 0};
        }
        if (wantWrite) {
            writeAt = n;
            fds[n++] = {toChild_.Get(), POLLOUT, 0};
        }
        int timeout =
            pid_ < 0 ? MillisUntil(engineRefused_ ? std::min(restartAt_, nextProbe_) : restartAt_)
                     : (stopping ? 100 : kTickMs);
        if (poll(fds, n, timeout) < 0) {
            if (errno == EINTR) continue;
            Error("filter %s: poll failed: %s", name_.c_str(), strerror(errno));
            return;
        }
        if (fds[0].revents) {
            uint64_t v;
            while (read(wakeFd_.Get(), &v, sizeof v) > 0) {
            }
        }
        if (writeAt >= 0 && fds[writeAt].revents) WriteOutbox();
        if (readAt >= 0 && fds[readAt].revents) {
            const ssize_t r = read(fromChild_.Get(), buf, sizeof buf);
            if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (r <= 0) {
                lines_.Finish();
                Reap(quitSent_);
                continue;
            }
            lastHeard_ = Clock::now();
            lines_.Add(buf, static_cast<size_t>(r));
        }
    }
}

void FilterChild::WriteOutbox() {
    twLock lock(mu_);
    const ssize_t w = write(toChild_.Get(), outbox_.data(), outbox_.size());
    if (w > 0) {
        outbox_.erase(0, static_cast<size_t>(w));
        written_ += static_cast<unsigned long long>(w);
    } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
        // The child is gone or closed its input; its output ends next.
        toChild_.Reset();
    }
    if (quitSent_ && outbox_.empty()) toChild_.Reset();
}

}  // namespace milter
