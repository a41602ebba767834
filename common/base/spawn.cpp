#include "common/base/spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>

extern char** environ;

pid_t SpawnInGroup(const std::vector<std::string>& argv, const std::string& cwd, int in, int out,
                   int err) {
    if (argv.empty()) {
        errno = EINVAL;
        return -1;
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (in >= 0) posix_spawn_file_actions_adddup2(&fa, in, STDIN_FILENO);
    if (out >= 0) posix_spawn_file_actions_adddup2(&fa, out, STDOUT_FILENO);
    if (err >= 0) posix_spawn_file_actions_adddup2(&fa, err, STDERR_FILENO);
    // Whatever a thread opened without O_CLOEXEC stays with us.
    posix_spawn_file_actions_addclosefrom_np(&fa, STDERR_FILENO + 1);
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    // Every catchable signal: an ignored one (SIGPIPE above all) would be
    // inherited across exec.
    sigfillset(&defaults);
    sigdelset(&defaults, SIGKILL);
    sigdelset(&defaults, SIGSTOP);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                        POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_USEVFORK);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &fa, &attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    return pid;
}

bool ReapIfEnded(pid_t pid, int& status) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    return done == pid || (done < 0 && errno != EINTR);
}

int KillGroupAndReap(pid_t pid) {
    int status = 0;
    kill(-pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

int WaitOrKillGroup(pid_t pid, int timeoutMs, bool* timedOut) {
    if (timedOut) *timedOut = false;
    int status = 0;
    for (int waited = 0;; waited += 10) {
        if (ReapIfEnded(pid, status)) return status;
        if (waited >= timeoutMs) break;
        struct timespec ts = {0, 10 * 1000 * 1000};
        nanosleep(&ts, nullptr);
    }
    if (timedOut) *timedOut = true;
    return KillGroupAndReap(pid);
}

pipedChild SpawnPiped(const std::vector<std::string>& argv, const std::string& cwd, int in,
                      bool mergeErr) {
    pipedChild child;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return child;
    UniqueFd outRead(fds[0]), outWrite(fds[1]);
    UniqueFd inRead, inWrite;
    if (in == kPipeInput) {
        if (pipe2(fds, O_CLOEXEC) != 0) return child;
        inRead.Reset(fds[0]);
        inWrite.Reset(fds[1]);
        in = inRead.Get();
    }
    child.pid = SpawnInGroup(argv, cwd, in, outWrite.Get(), mergeErr ? outWrite.Get() : -1);
    if (child.pid < 0) return child;  // the owners close every end, errno kept
    if (inWrite.Valid()) fcntl(inWrite.Get(), F_SETFL, O_NONBLOCK);
    child.input = std::move(inWrite);
    child.output = std::move(outRead);
    return child;
}

void lineCollector::Add(const char* data, size_t len) {
    for (size_t i = 0; i < len; ++i) {
        if (data[i] == '\n') {
            onLine_(line_, cut_);
            line_.clear();
            cut_ = false;
        } else if (line_.size() < maxLine_) {
            line_ += data[i];
        } else {
            cut_ = true;
        }
    }
}

void lineCollector::Finish() {
    if (!line_.empty() || cut_) onLine_(line_, cut_);
    line_.clear();
    cut_ = false;
}

namespace {

int64_t MonotonicMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

int CollectUntilEnd(pid_t pid, int fd, int limitMs, lineCollector& lines, bool& timedOut) {
    timedOut = false;
    int status = 0;
    const int64_t deadline = MonotonicMs() + limitMs;
    bool open = fd >= 0;
    char block[4096];
    for (bool ended = false; !ended;) {
        const int64_t left = deadline - MonotonicMs();
        if (left <= 0) {
            status = KillGroupAndReap(pid);
            timedOut = true;
            break;
        }
        // Short slices: the child's end is looked for between reads.
        struct pollfd p = {open ? fd : -1, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left < 20 ? left : 20)) > 0) {
            const ssize_t n = read(fd, block, sizeof block);
            if (n > 0)
                lines.Add(block, static_cast<size_t>(n));
            else if (n == 0 || errno != EINTR)
                open = false;
        }
        ended = ReapIfEnded(pid, status);
    }
    while (open && !timedOut) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0) break;
        const ssize_t n = read(fd, block, sizeof block);
        if (n <= 0) break;
        lines.Add(block, static_cast<size_t>(n));
    }
    lines.Finish();
    return status;
}

std::string DescribeStatus(int status) {
    if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
    return "status " + std::to_string(status);
}
