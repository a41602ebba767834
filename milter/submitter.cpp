#include "milter/submitter.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/base/daemonlog.h"
#include "common/base/owners.h"
#include "common/base/spawn.h"
#include "common/base/text.h"
#include "milter/answer.h"

namespace milter {

using daemonlog::Debug;
using daemonlog::Log;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kFirstRetryMs = 2000;
constexpr int kMaxRetryMs = 15 * 60 * 1000;

bool IsSubName(const char* name) {
    size_t n = strlen(name);
    return n > 4 && name[0] != '.' && strcmp(name + n - 4, ".sub") == 0;
}

// Reads what sendmail said (bounded) and waits for it, killing it when it
// takes longer than the timeout.
int CollectChild(pid_t pid, int fd, std::string& said) {
    auto deadline = Clock::now() + std::chrono::milliseconds(kSendmailTimeoutMs);
    char buf[1024];
    for (;;) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        if (left <= 0) break;
        struct pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, left);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (said.size() < 2000) said.append(buf, static_cast<size_t>(n));
    }
    int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    return WaitOrKillGroup(pid, std::max(left, 0));
}

}  // namespace

Submitter::Submitter(std::string dir, std::vector<std::string> sendmail)
    : dir_(std::move(dir)), sendmail_(std::move(sendmail)) {}

Submitter::~Submitter() {
    Stop();
    for (int fd : {inotifyFd_, wakeFd_, dirFd_})
        if (fd >= 0) close(fd);
}

bool Submitter::Start() {
    dirFd_ = open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    inotifyFd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (dirFd_ < 0 || inotifyFd_ < 0 || wakeFd_ < 0 ||
        inotify_add_watch(inotifyFd_, dir_.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE | IN_ONLYDIR) <
            0) {
        Log("submit: cannot watch %s: %s", dir_.c_str(), strerror(errno));
        return false;
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
    if (write(wakeFd_, &one, sizeof one) < 0) {
        // Already signalled.
    }
    thread_.join();
}

void Submitter::Scan() {
    UniqueFd fd(dup(dirFd_));
    if (!fd.Valid()) return;
    const UniqueDir d(fdopendir(fd.Get()));
    if (!d) return;
    fd.Release();  // the directory stream owns it now
    rewinddir(d.get());
    while (struct dirent* e = readdir(d.get())) {
        if (IsSubName(e->d_name) && !pending_.count(e->d_name))
            pending_[e->d_name] = Pending{Clock::now(), 0};
    }
}

int Submitter::HandOver(const std::string& name) {
    int fd = openat(dirFd_, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) return -1;
        Log("submit: cannot open %s: %s; left in place", name.c_str(), strerror(errno));
        return errno == ELOOP ? -1 : 0;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        Log("submit: %s is not a regular file; left in place", name.c_str());
        close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, 0);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(fd);
        return 0;
    }
    std::vector<std::string> argv = sendmail_;
    for (const char* a : {"-t", "-oi", "-f", "<>"}) argv.emplace_back(a);
    auto started = Clock::now();
    pid_t pid = SpawnInGroup(argv, std::string(), fd, out[1], out[1]);
    int saved = errno;
    close(out[1]);
    close(fd);
    if (pid < 0) {
        close(out[0]);
        Log("submit: cannot run %s: %s", sendmail_[0].c_str(), strerror(saved));
        return 0;
    }
    std::string said;
    int status = CollectChild(pid, out[0], said);
    close(out[0]);
    long ms = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count());
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        if (unlinkat(dirFd_, name.c_str(), 0) != 0 && errno != ENOENT)
            Log("submit: %s handed over but cannot be removed: %s", name.c_str(), strerror(errno));
        Log("submit: %s handed over (%lld bytes, %ld ms)", name.c_str(),
            static_cast<long long>(st.st_size), ms);
        return 1;
    }
    Log("submit: sendmail refused %s, %s: %s", name.c_str(), DescribeStatus(status).c_str(),
        EscapeControl(said, 500).c_str());
    return 0;
}

void Submitter::HandOverDue(bool final) {
    auto now = Clock::now();
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (!final && it->second.due > now) {
            ++it;
            continue;
        }
        int r = HandOver(it->first);
        if (r != 0) {
            it = pending_.erase(it);
            continue;
        }
        if (final) {
            ++it;
            continue;
        }
        Pending& p = it->second;
        p.delayMs = p.delayMs == 0 ? kFirstRetryMs : std::min(p.delayMs * 2, kMaxRetryMs);
        p.due = Clock::now() + std::chrono::milliseconds(p.delayMs);
        Log("submit: %s will be tried again in %d s", it->first.c_str(), p.delayMs / 1000);
        ++it;
    }
}

void Submitter::Run() {
    alignas(struct inotify_event) char buf[8192];
    for (;;) {
        {
            twLock lock(mu_);
            if (stop_) break;
        }
        HandOverDue(false);
        int timeout = -1;
        auto now = Clock::now();
        for (const auto& p : pending_) {
            long ms = std::max<long>(
                0,
                std::chrono::duration_cast<std::chrono::milliseconds>(p.second.due - now).count());
            if (timeout < 0 || ms < timeout) timeout = static_cast<int>(std::min<long>(ms, 60000));
        }
        struct pollfd fds[2] = {{inotifyFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (poll(fds, 2, timeout) < 0 && errno != EINTR) break;
        if (fds[0].revents) {
            ssize_t n;
            bool overflow = false;
            while ((n = read(inotifyFd_, buf, sizeof buf)) > 0) {
                for (char* p = buf; p < buf + n;) {
                    auto* ev = reinterpret_cast<struct inotify_event*>(p);
                    if (ev->mask & IN_Q_OVERFLOW) overflow = true;
                    if (ev->len && IsSubName(ev->name) && !pending_.count(ev->name))
                        pending_[ev->name] = Pending{Clock::now(), 0};
                    p += sizeof(struct inotify_event) + ev->len;
                }
            }
            // Events were lost: the directory itself is the truth.
            if (overflow) Scan();
        }
    }
    // The filters have written their final reports by now.
    Scan();
    HandOverDue(true);
    if (!pending_.empty())
        Log("submit: %zu message(s) not handed over; they stay for the next start",
            pending_.size());
}

}  // namespace milter
