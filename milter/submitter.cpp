#include "milter/submitter.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/base/daemonlog.h"
#include "common/base/owners.h"
#include "common/base/spawn.h"
#include "common/base/text.h"
#include "milter/addrlist.h"
#include "milter/figures.h"
#include "milter/sendmail_run.h"
#include "milter/smtp_submit.h"

namespace milter {

using daemonlog::Debug;
using daemonlog::Error;
using daemonlog::Log;
using daemonlog::Warn;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kFirstRetryMs = 2000;
constexpr int kMaxRetryMs = 15 * 60 * 1000;

bool IsSubName(const char* name) {
    size_t n = strlen(name);
    return n > 4 && name[0] != '.' && strcmp(name + n - 4, ".sub") == 0;
}

// The end of the header block in what was read: the offset just after the
// line feed of its last line, or npos when no empty line is in sight.
size_t HeaderEnd(const std::string& s, size_t from) {
    if (!s.empty() && (s[0] == '\n' || s.compare(0, 2, "\r\n") == 0)) return 0;
    for (size_t p = s.find('\n', from); p != std::string::npos; p = s.find('\n', p + 1)) {
        if (p + 1 < s.size() && s[p + 1] == '\n') return p + 1;
        if (p + 2 < s.size() && s[p + 1] == '\r' && s[p + 2] == '\n') return p + 1;
    }
    return std::string::npos;
}

bool WriteAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

std::string Joined(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& i : items) out += (out.empty() ? "" : ", ") + EscapeControl(i, 100);
    return out;
}

}  // namespace

Submitter::Submitter(std::string dir, std::vector<std::string> sendmail, int limitSec)
    : dir_(std::move(dir)), sendmail_(std::move(sendmail)), limitSec_(limitSec) {}

void Submitter::UseSmtp(const engined::StreamTarget& target, const std::string& shown) {
    smtpTarget_ = target;
    smtpShown_ = shown;
    char name[256] = "";
    helo_ = gethostname(name, sizeof name - 1) == 0 && name[0] ? name : "localhost";
    for (char& c : helo_)
        if (!isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-') c = '-';
}

Submitter::~Submitter() {
    Stop();
}

bool Submitter::Start() {
    dirFd_.Reset(open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd_.Valid()) {
        for (const char* sub : {"sending", "failed"}) {
            if (mkdirat(dirFd_.Get(), sub, 0770) != 0 && errno != EEXIST) break;
            (sub[0] == 's' ? sendingFd_ : failedFd_)
                .Reset(openat(dirFd_.Get(), sub, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        }
    }
    if (!dirFd_.Valid() || !sendingFd_.Valid() || !failedFd_.Valid()) {
        Error("submit: cannot use %s and its sending/ and failed/: %s", dir_.c_str(),
              strerror(errno));
        return false;
    }
    inotifyFd_.Reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    wakeFd_.Reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!inotifyFd_.Valid() || !wakeFd_.Valid() ||
        inotify_add_watch(inotifyFd_.Get(), dir_.c_str(),
                          IN_MOVED_TO | IN_CLOSE_WRITE | IN_ONLYDIR) < 0) {
        Error("submit: cannot watch %s: %s", dir_.c_str(), strerror(errno));
        return false;
    }
    // Claimed by an earlier run and not yet handed over.
    UniqueFd fd(dup(sendingFd_.Get()));
    if (fd.Valid()) {
        const UniqueDir d(fdopendir(fd.Get()));
        if (d) {
            fd.Release();
            while (struct dirent* e = readdir(d.get()))
                if (e->d_name[0] != '.') Track(e->d_name);
        }
    }
    Scan();
    if (!pending_.empty())
        Log("submit: %zu message(s) left from before, handing them over", pending_.size());
    thread_ = std::thread(&Submitter::Run, this);
    return true;
}

void Submitter::Stop() {
    {
        twLock lock(mu_);
        if (stop_) return;
        stop_ = true;
    }
    if (!thread_.joinable()) return;
    uint64_t one = 1;
    if (write(wakeFd_.Get(), &one, sizeof one) < 0) {
        // Already signalled.
    }
    thread_.join();
}

void Submitter::PlannedRestart(const std::string& tag, bool begun) {
    {
        twLock lock(mu_);
        if (begun)
            planned_[tag] = Planned{{"stopped", "daily", "report"}, false};
        else if (planned_.count(tag))
            planned_[tag].ending = true;
        else
            return;
    }
    uint64_t one = 1;
    if (!begun && write(wakeFd_.Get(), &one, sizeof one) < 0) {
        // Already signalled.
    }
}

bool Submitter::OfPlannedRestart(const char* name) {
    // Qln_<tag>_<kind>_<number>.sub, as the filters name their mail.
    const std::string n(name);
    if (n.compare(0, 4, "Qln_") != 0) return false;
    const size_t tagEnd = n.find('_', 4);
    const size_t kindEnd = tagEnd == std::string::npos ? tagEnd : n.find('_', tagEnd + 1);
    if (kindEnd == std::string::npos) return false;
    const std::string tag = n.substr(4, tagEnd - 4),
                      kind = n.substr(tagEnd + 1, kindEnd - tagEnd - 1);
    twLock lock(mu_);
    auto it = planned_.find(tag);
    if (it == planned_.end()) return false;
    auto k = std::find(it->second.kinds.begin(), it->second.kinds.end(), kind);
    if (k == it->second.kinds.end()) return false;
    it->second.kinds.erase(k);
    return true;
}

void Submitter::EndPlannedRestarts() {
    std::vector<std::string> ending;
    {
        twLock lock(mu_);
        for (const auto& p : planned_)
            if (p.second.ending) ending.push_back(p.first);
    }
    if (ending.empty()) return;
    Scan();
    twLock lock(mu_);
    for (const std::string& tag : ending) planned_.erase(tag);
}

void Submitter::Scan() {
    UniqueFd fd(dup(dirFd_.Get()));
    if (!fd.Valid()) return;
    const UniqueDir d(fdopendir(fd.Get()));
    if (!d) return;
    fd.Release();  // the directory stream owns it now
    rewinddir(d.get());
    std::vector<std::string> names;
    while (struct dirent* e = readdir(d.get()))
        if (IsSubName(e->d_name)) names.emplace_back(e->d_name);
    for (const std::string& n : names) Claim(n.c_str());
}

void Submitter::Claim(const char* name) {
    struct stat st;
    if (fstatat(dirFd_.Get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0) return;
    if (!S_ISREG(st.st_mode)) {
        Warn("submit: %s is not a regular file; left in place", EscapeControl(name, 300).c_str());
        return;
    }
    if (OfPlannedRestart(name)) {
        if (unlinkat(dirFd_.Get(), name, 0) == 0)
            Log("submit: %s not mailed: a report of a filter's planned restart",
                EscapeControl(name, 300).c_str());
        return;
    }
    for (int tries = 0; tries < 10; ++tries) {
        char claimed[320];
        snprintf(claimed, sizeof claimed, "%lld.%u.%.200s", static_cast<long long>(time(nullptr)),
                 ++claims_, name);
        if (renameat2(dirFd_.Get(), name, sendingFd_.Get(), claimed, RENAME_NOREPLACE) == 0) {
            Track(claimed);
            return;
        }
        if (errno != EEXIST) {
            if (errno != ENOENT)
                Warn("submit: cannot move %s to sending/: %s; left in place",
                     EscapeControl(name, 300).c_str(), strerror(errno));
            return;
        }
    }
}

void Submitter::Track(const std::string& claimed) {
    struct stat st;
    if (pending_.count(claimed) ||
        fstatat(sendingFd_.Get(), claimed.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return;
    pending_[claimed] = Pending{Clock::now(), 0, st.st_mtime};
}

void Submitter::SetAside(const std::string& name, const char* why) {
    if (renameat(sendingFd_.Get(), name.c_str(), failedFd_.Get(), name.c_str()) == 0) {
        HostFigures().Count(Generated::kSetAside);
        Warn("submit: %s set aside in failed/: %s", EscapeControl(name, 300).c_str(), why);
    } else
        Warn("submit: %s cannot be set aside (%s): %s; left in sending/ for the next start",
             EscapeControl(name, 300).c_str(), why, strerror(errno));
}

Submitter::Outcome Submitter::HandOver(const std::string& name) {
    const std::string shown = EscapeControl(name, 300);
    UniqueFd file(
        openat(sendingFd_.Get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!file.Valid()) {
        if (errno == ENOENT || errno == ELOOP) return Outcome::kGone;
        Error("submit: cannot open %s: %s", shown.c_str(), strerror(errno));
        return Outcome::kRetry;
    }
    struct stat st;
    if (fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        Warn("submit: %s is not a regular file; left alone", shown.c_str());
        return Outcome::kGone;
    }
    fcntl(file.Get(), F_SETFL, 0);

    // The header block, bounded.
    std::string head;
    size_t end = std::string::npos;
    bool eof = false;
    char buf[16384];
    while (end == std::string::npos && !eof && head.size() <= kMaxHeaderBytes) {
        ssize_t n = read(file.Get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            Error("submit: cannot read %s: %s", shown.c_str(), strerror(errno));
            return Outcome::kRetry;
        }
        size_t from = head.size() > 2 ? head.size() - 2 : 0;
        head.append(buf, static_cast<size_t>(n));
        eof = n == 0;
        end = HeaderEnd(head, from);
    }
    if (end == std::string::npos && !eof) {
        SetAside(name, "header block too long");
        return Outcome::kFailed;
    }
    if (end == std::string::npos) end = head.size();

    AddressList rcpts;
    std::string header;
    CollectRecipients(std::string_view(head).substr(0, end), rcpts, &header);
    if (rcpts.refusedCount)
        Warn("submit: %s: %zu recipient(s) that are no plain address skipped: %s", shown.c_str(),
             rcpts.refusedCount, Joined(rcpts.refused).c_str());
    if (rcpts.dropped)
        Warn("submit: %s: more than %zu recipients, %zu left out", shown.c_str(), kMaxRecipients,
             rcpts.dropped);
    if (rcpts.addresses.empty()) {
        SetAside(name, "no valid recipient");
        return Outcome::kFailed;
    }

    if (!smtpShown_.empty())
        return HandOverSmtp(name, st, header, head.substr(end), file.Get(), rcpts);

    // What sendmail reads: the header without Bcc:, then the rest as it is.
    UniqueFd copy(memfd_create("tarnwick-submit", MFD_CLOEXEC));
    bool copied = copy.Valid() && WriteAll(copy.Get(), header.data(), header.size()) &&
                  WriteAll(copy.Get(), head.data() + end, head.size() - end);
    for (ssize_t n; copied && (n = read(file.Get(), buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        copied = n > 0 && WriteAll(copy.Get(), buf, static_cast<size_t>(n));
    }
    if (!copied || lseek(copy.Get(), 0, SEEK_SET) != 0) {
        Error("submit: cannot prepare %s for sendmail: %s", shown.c_str(), strerror(errno));
        return Outcome::kRetry;
    }
    file.Reset();

    const SendmailRun run = RunSendmail(sendmail_, rcpts.addresses, copy.Get(), limitSec_);
    copy.Reset();
    if (!run.started) {
        Error("submit: cannot run %s: %s", sendmail_[0].c_str(), strerror(run.error));
        return Outcome::kRetry;
    }
    const int status = run.status;
    const long ms = run.ms;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        if (unlinkat(sendingFd_.Get(), name.c_str(), 0) != 0 && errno != ENOENT)
            Warn("submit: %s handed over but cannot be removed: %s", shown.c_str(),
                 strerror(errno));
        Log("submit: %s handed over (%lld bytes, %zu recipient(s), %ld ms)", shown.c_str(),
            static_cast<long long>(st.st_size), rcpts.addresses.size(), ms);
        HostFigures().Count(Generated::kSent);
        return Outcome::kDone;
    }
    HostFigures().Count(Generated::kFailed);
    if (run.timedOut) {
        Warn("submit: sendmail still running for %s after %d s; its process group was killed",
             shown.c_str(), limitSec_);
        return Outcome::kRetry;
    }
    Warn("submit: sendmail refused %s, %s: %s", shown.c_str(), DescribeStatus(status).c_str(),
         EscapeControl(run.said, 500).c_str());
    if (!PermanentSendmailFailure(status)) return Outcome::kRetry;
    SetAside(name, "sendmail refused it for good");
    return Outcome::kFailed;
}

Submitter::Outcome Submitter::HandOverSmtp(const std::string& name, const struct stat& st,
                                           const std::string& header, const std::string& after,
                                           int file, const AddressList& rcpts) {
    const std::string shown = EscapeControl(name, 300);
    if (st.st_size > static_cast<off_t>(kMaxSmtpMessageBytes)) {
        SetAside(name, "larger than the SMTP hand-over takes");
        return Outcome::kFailed;
    }
    // The header without Bcc:, then the rest as it is.
    std::string text = header + after;
    char buf[16384];
    for (ssize_t n; (n = read(file, buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            Log("submit: cannot read %s: %s", shown.c_str(), strerror(errno));
            return Outcome::kRetry;
        }
        text.append(buf, static_cast<size_t>(n));
        if (text.size() > kMaxSmtpMessageBytes) {
            SetAside(name, "larger than the SMTP hand-over takes");
            return Outcome::kFailed;
        }
    }
    const auto started = Clock::now();
    const SmtpOutcome result = SubmitOverSmtp(smtpTarget_, helo_, rcpts.addresses, text,
                                              started + std::chrono::seconds(limitSec_));
    const long ms = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count());
    if (!result.refused.empty())
        Log("submit: %s: %zu recipient(s) refused by %s: %s", shown.c_str(), result.refused.size(),
            smtpShown_.c_str(), Joined(result.refused).c_str());
    if (result.kind == SmtpOutcome::kSent) {
        if (unlinkat(sendingFd_.Get(), name.c_str(), 0) != 0 && errno != ENOENT)
            Log("submit: %s handed over but cannot be removed: %s", shown.c_str(), strerror(errno));
        Log("submit: %s handed over to %s (%lld bytes, %zu recipient(s), %ld ms)", shown.c_str(),
            smtpShown_.c_str(), static_cast<long long>(st.st_size), result.accepted, ms);
        HostFigures().Count(Generated::kSent);
        return Outcome::kDone;
    }
    HostFigures().Count(Generated::kFailed);
    Log("submit: %s not taken by %s after %ld ms: %s", shown.c_str(), smtpShown_.c_str(), ms,
        result.why.c_str());
    if (result.kind == SmtpOutcome::kRetry) return Outcome::kRetry;
    SetAside(name, "the MTA refused it for good");
    return Outcome::kFailed;
}

bool Submitter::HandOverNext(bool final) {
    // A file never tried goes before every retry, so one that keeps
    // failing (a sendmail run that hangs to its time limit) delays the new
    // ones by one run at most; at the stop only new files are tried.
    const auto now = Clock::now();
    auto pick = pending_.end();
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
        const bool fresh = it->second.delayMs == 0;
        if (final ? !fresh : (!fresh && it->second.due > now)) continue;
        if (pick == pending_.end() ||
            std::make_pair(!fresh, it->second.written) <
                std::make_pair(pick->second.delayMs != 0, pick->second.written))
            pick = it;
    }
    if (pick == pending_.end()) return false;
    if (HandOver(pick->first) != Outcome::kRetry) {
        pending_.erase(pick);
        return true;
    }
    Pending& p = pick->second;
    p.delayMs = p.delayMs == 0 ? kFirstRetryMs : std::min(p.delayMs * 2, kMaxRetryMs);
    if (final) return true;
    if (time(nullptr) - p.written >= kGiveUpAfterSec) {
        SetAside(pick->first, "not accepted for a day");
        pending_.erase(pick);
        return true;
    }
    p.due = Clock::now() + std::chrono::milliseconds(p.delayMs);
    Log("submit: %s will be tried again in %d s", EscapeControl(pick->first, 300).c_str(),
        p.delayMs / 1000);
    return true;
}

void Submitter::ReadEvents() {
    alignas(struct inotify_event) char buf[8192];
    ssize_t n;
    bool overflow = false;
    while ((n = read(inotifyFd_.Get(), buf, sizeof buf)) > 0) {
        for (char* p = buf; p < buf + n;) {
            auto* ev = reinterpret_cast<struct inotify_event*>(p);
            if (ev->mask & IN_Q_OVERFLOW) overflow = true;
            if (ev->len && IsSubName(ev->name)) Claim(ev->name);
            p += sizeof(struct inotify_event) + ev->len;
        }
    }
    // Events were lost: the directory itself is the truth.
    if (overflow) Scan();
}

void Submitter::Run() {
    for (;;) {
        {
            twLock lock(mu_);
            if (stop_) break;
        }
        // What came during the last run goes before the retries due.
        ReadEvents();
        EndPlannedRestarts();
        if (HandOverNext(false)) continue;
        int timeout = -1;
        auto now = Clock::now();
        for (const auto& p : pending_) {
            long ms = std::max<long>(
                0,
                std::chrono::duration_cast<std::chrono::milliseconds>(p.second.due - now).count());
            if (timeout < 0 || ms < timeout) timeout = static_cast<int>(std::min<long>(ms, 60000));
        }
        struct pollfd fds[2] = {{inotifyFd_.Get(), POLLIN, 0}, {wakeFd_.Get(), POLLIN, 0}};
        if (poll(fds, 2, timeout) < 0 && errno != EINTR) break;
    }
    // The filters have written their final reports by now, and they are
    // mailed whatever restart was under way.
    {
        twLock lock(mu_);
        planned_.clear();
    }
    Scan();
    while (HandOverNext(true)) {
    }
    if (!pending_.empty())
        Warn("submit: %zu message(s) not handed over; they stay in sending/ for the next start",
             pending_.size());
}

}  // namespace milter
