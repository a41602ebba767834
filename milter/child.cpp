#include "milter/child.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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
using daemonlog::Error;
using daemonlog::Log;
using daemonlog::Warn;

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxLine = 64 * 1024;
constexpr auto kOverdueGrace = std::chrono::seconds(1);

std::string BaseName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// How often the supervisor looks for requests past their time.
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
                         const HostSettings& settings, FieldNames& fields, RereadCount& rereads,
                         Deliver deliver)
    : index_(index),
      program_(std::move(program)),
      name_(BaseName(program_)),
      args_(std::move(args)),
      settings_(settings),
      fields_(fields),
      rereads_(rereads),
      deliver_(std::move(deliver)),
      wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      process_(name_),
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
    process_.RestartNow();
    thread_ = std::thread(&FilterChild::Run, this);
}

void FilterChild::Wake() {
    uint64_t one = 1;
    if (write(wakeFd_.Get(), &one, sizeof one) < 0) {
        // The counter is already non-zero: the thread wakes anyway.
    }
}

void FilterChild::Send(long token, const std::string& path, const std::string& label) {
    if (queue_.Add(token, path, label))
        Wake();
    else
        Fail(token, "filter is not running");
}

void FilterChild::BeginStop(Clock::time_point deadline) {
    queue_.BeginStop(deadline);
    Wake();
}

void FilterChild::Join() {
    if (thread_.joinable()) thread_.join();
}

bool FilterChild::HoldRequests(std::chrono::milliseconds bound) {
    if (!queue_.BeginHold()) return true;
    Wake();  // the supervisor queues the barrier
    return queue_.WaitHeld(Clock::now() + bound);
}

void FilterChild::Resume() {
    queue_.Resume();
    Wake();
}

void FilterChild::Nudge() {
    queue_.Nudge();
    Wake();
}

void FilterChild::Replace() {
    queue_.Replace();
    Wake();
}

bool FilterChild::Launch() {
    std::vector<std::string> argv{program_};
    argv.insert(argv.end(), args_.begin(), args_.end());
    if (!process_.Start(argv, FilterWorkDir(settings_.baseDir, name_))) return false;
    if (process_.Starts() > 1) HostFigures().Restarted(index_);
    lastHeard_ = idleAt_ = process_.StartedAt();
    loopUp_ = false;
    const RequestQueue::Started s = queue_.ProcessStarted(
        SettingsStampOf(program_), ScoreFieldOf(program_), WhitelistContentOf(settings_.baseDir));
    probeToken_ = s.greeting;
    probeSentAt_ = Clock::now();
    Log("filter %s started, pid %d, %zu request(s) pending", name_.c_str(),
        static_cast<int>(process_.Pid()), s.resent);
    return true;
}

void FilterChild::Reap(bool expected) {
    const int status = process_.Reap();
    const RequestQueue::Ended e = queue_.ProcessEnded(expected);
    for (long token : e.givenUp) {
        Warn("filter %s ended twice while checking request %ld; not sending it again",
             name_.c_str(), token);
        Fail(token, "filter ended while checking the message");
    }
    if (!expected) EndPlanned();  // a crash is told as one
    if (expected) {
        Log("filter %s finished, %s", name_.c_str(), DescribeStatus(status).c_str());
        if (e.replaced) {
            process_.RestartNow();
            ReadSettings();
        }
        return;
    }
    const int delayMs = process_.DelayAfterEnd();
    Warn("filter %s ended unexpectedly, %s, %zu request(s) unanswered; restart in %d ms",
         name_.c_str(), DescribeStatus(status).c_str(), e.pending, delayMs);
    ScheduleRestart();
}

void FilterChild::EndPlanned() {
    if (plannedFrom_ < 0) return;
    plannedFrom_ = -1;
    plannedHook_(MailTagOf(name_), false);
}

void FilterChild::ScheduleRestart() {
    // The settings (the engine socket) may have changed since the last start.
    ReadSettings();
    if (const char* why = process_.ScheduleRestart(engineSocket_)) GoDown(why);
}

void FilterChild::ReadSettings() {
    const FilterSettings read = ReadFilterSettings(program_);
    settingsStamp_ = read.stamp;
    engineSocket_ = read.engineSocket;
    if (!read.readable) {
        // The filter still runs on what it read last and adds those fields:
        // their names stay until a good file comes.
        if (!settingsMissingLogged_)
            Warn(
                "filter %s: settings file %s not readable or without Socket; the names of the "
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
        Warn(
            "filter %s: %s adds a field %s, which belongs to the message; incoming fields of that "
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
    bool wasDown;
    const std::vector<long> waiting = queue_.GoDown(wasDown);
    if (!wasDown)
        Error("filter %s is down (%s); its requests fail until it runs again", name_.c_str(), why);
    for (long token : waiting) Fail(token, "filter is not running");
}

void FilterChild::ExpireOverdue() {
    // A second past the message's own deadline: the message is answered by
    // its timer (the filter's "(no answer)"), never by a race with this one.
    const auto limit = std::chrono::seconds(settings_.timeoutSec) + kOverdueGrace;
    bool read;  // the running process has one of them
    const std::vector<long> overdue = queue_.TakeOverdue(Clock::now(), limit, read);
    if (overdue.empty()) return;
    for (long token : overdue) Fail(token, "filter did not answer in time");
    if (read && process_.Running() && !process_.Ending()) {
        Warn(
            "filter %s did not answer request %ld within %d s; killing pid %d and starting it "
            "again",
            name_.c_str(), overdue.front(), settings_.timeoutSec, static_cast<int>(process_.Pid()));
        process_.KillHung();
    }
}

void FilterChild::Probe() {
    if (!process_.Running() || process_.Ending()) return;
    const auto now = Clock::now();
    const size_t out = queue_.Outstanding();
    if (probeToken_ == 0) {
        if (out == 0) {
            idleAt_ = now;
        } else if (now - std::max(lastHeard_, idleAt_) >= kProbeAfter) {
            probeToken_ = queue_.QueueProbe();
            probeSentAt_ = now;
        }
        return;
    }
    // Still starting (the greeting is not answered yet): the timeout alone
    // bounds it, as a slow start must not be taken for a hang.
    if (!loopUp_ || now - std::max(lastHeard_, probeSentAt_) < kProbeBound) return;
    Warn(
        "filter %s did not answer INTF within %d s, %zu request(s) out; killing pid %d and "
        "starting it again",
        name_.c_str(), static_cast<int>(kProbeBound.count()), out,
        static_cast<int>(process_.Pid()));
    process_.KillHung();
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
        if (plannedFrom_ >= 0 && process_.Pid() != plannedFrom_) EndPlanned();
        if (probe == probeToken_) probeToken_ = 0;
        queue_.ProbeAnswered(probe);
        return;
    }
    Answer answer;
    if (!ParseAnswer(line, answer)) {
        if (line.compare(0, 13, "* re-reading ") == 0) rereads_.Count(index_);
        const std::string label = queue_.LabelNamedBy(line);
        const daemonlog::Level level = FilterLineLevel(line);
        if (label.empty())
            daemonlog::LogAt(level, "%s: %s", name_.c_str(), EscapeControl(line, 2000).c_str());
        else
            daemonlog::LogAt(level, "%s queue=%s: %s", name_.c_str(), label.c_str(),
                             EscapeControl(line, 2000).c_str());
        return;
    }
    if (!queue_.Answered(answer.token)) {
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
    for (;;) {
        Clock::time_point deadline;
        const bool stopping = queue_.Stopping(deadline);
        if (stopping) EndPlanned();
        if (!process_.Running()) {
            if (stopping) return;
            StartWhenDue();
        }
        ExpireOverdue();
        Probe();
        LookAtSettings();
        const bool write = process_.Running() && Turn(stopping, deadline);
        if (!Serve(write, stopping)) return;
    }
}

void FilterChild::StartWhenDue() {
    // No process to replace: the next start reads the whitelist.
    queue_.ForgetReplace();
    if (process_.StartDue(engineSocket_) && !Launch()) {
        EndPlanned();  // a start that failed is no planned one any more
        ScheduleRestart();
    }
}

bool FilterChild::Turn(bool stopping, Clock::time_point deadline) {
    const RequestQueue::Plan plan =
        queue_.TakePlan(probeToken_ != 0, process_.QuitSent(), process_.InputOpen(), stopping);
    if (plan.probe != 0) {
        probeToken_ = plan.probe;
        probeSentAt_ = Clock::now();
    }
    if (plan.quit) process_.QuitQueued();
    if (plan.replaceBegun >= 0 && plannedHook_ && !MailTagOf(name_).empty()) {
        plannedFrom_ = process_.Pid();
        plannedHook_(MailTagOf(name_), true);
    }
    if (plan.replaceBegun >= 0)
        Log("filter %s: a fresh process takes the new requests once this one (pid %d) has "
            "answered its %ld",
            name_.c_str(), static_cast<int>(process_.Pid()), plan.replaceBegun);
    if (stopping && !process_.KilledAtDeadline() && Clock::now() >= deadline) {
        Warn("filter %s did not finish in time, killing it", name_.c_str());
        process_.KillAtDeadline();
    }
    return plan.write && process_.InputOpen();
}

bool FilterChild::Serve(bool write, bool stopping) {
    struct pollfd fds[3];
    int n = 0;
    fds[n++] = {wakeFd_.Get(), POLLIN, 0};
    int readAt = -1, writeAt = -1;
    if (process_.OutputOpen()) {
        readAt = n;
        fds[n++] = {process_.Output(), POLLIN, 0};
    }
    if (write) {
        writeAt = n;
        fds[n++] = {process_.Input(), POLLOUT, 0};
    }
    const int timeout =
        !process_.Running() ? process_.SleepMs(kTickMs) : (stopping ? 100 : kTickMs);
    if (poll(fds, n, timeout) < 0) {
        if (errno == EINTR) return true;
        Error("filter %s: poll failed: %s", name_.c_str(), strerror(errno));
        return false;
    }
    if (fds[0].revents) {
        uint64_t v;
        while (read(wakeFd_.Get(), &v, sizeof v) > 0) {
        }
    }
    if (writeAt >= 0 && fds[writeAt].revents) WriteOutbox();
    if (readAt >= 0 && fds[readAt].revents) {
        char buf[65536];
        const ssize_t r = read(process_.Output(), buf, sizeof buf);
        if (r < 0 && (errno == EINTR || errno == EAGAIN)) return true;
        if (r <= 0) {
            lines_.Finish();
            Reap(process_.QuitSent());
            return true;
        }
        lastHeard_ = Clock::now();
        lines_.Add(buf, static_cast<size_t>(r));
    }
    return true;
}

void FilterChild::WriteOutbox() {
    // A failed write: the child is gone or closed its input; its output
    // ends next.
    if (!queue_.WriteTo(process_.Input())) process_.CloseInput();
    if (process_.QuitSent() && queue_.Empty()) process_.CloseInput();
}

}  // namespace milter
