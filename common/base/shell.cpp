// Shell commands of the settings.  The values go to the shell as positional
// parameters, never into the command text: a virus name chosen by an
// attacker cannot end its quotes, run a command or split into more words.
//
// The command is started with posix_spawn (safe in a threaded program), in
// its own process group, so a time limit can end it and everything it
// started.  Its output never reaches standard output, the server's channel.
#include "common/base/shell.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "common/base/log.h"
#include "common/base/text.h"

extern char** environ;

namespace {

bool markerAt(const std::string& s, size_t i) {
    return i + 1 < s.size() && s[i] == '^' && (s[i + 1] == '1' || s[i + 1] == '2');
}

int64_t monotonicMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Collects the command's output into lines and logs each.
class outputLog {
  public:
    explicit outputLog(const char* what) : what_(what) {}
    void Add(const char* data, size_t len) {
        for (size_t i = 0; i < len; ++i) {
            if (data[i] == '\n') {
                flush();
            } else if (line_.size() < maxShellOutputLine) {
                line_ += data[i];
            }
        }
    }
    void Finish() {
        if (!line_.empty()) flush();
        if (dropped_ > 0) PrintMsg("* %s: %d more output lines dropped\n", what_, dropped_);
    }

  private:
    void flush() {
        if (logged_ < maxShellOutputLines) {
            PrintMsg("* %s: %s\n", what_, EscapeControl(line_).c_str());
            ++logged_;
        } else {
            ++dropped_;
        }
        line_.clear();
    }
    const char* what_;
    std::string line_;
    int logged_ = 0;
    int dropped_ = 0;
};

}  // namespace

std::string ShellMarkersToParameters(const std::string& command) {
    enum { bare, single, dbl } state = bare;
    std::string out;
    out.reserve(command.size() + 16);
    for (size_t i = 0; i < command.size();) {
        const char c = command[i];
        if (markerAt(command, i)) {
            const char n = command[i + 1];
            if (state == bare)
                out.append("\"$").append(1, n).append("\"");
            else if (state == dbl)
                out.append("${").append(1, n).append("}");
            else
                out.append("'\"$").append(1, n).append("\"'");
            i += 2;
            continue;
        }
        if (c == '\\' && state != single) {
            if (markerAt(command, i + 1)) {
                ++i;  // it escaped only the '^'
                continue;
            }
            out += c;
            if (i + 1 < command.size()) out += command[i + 1];
            i += 2;
            continue;
        }
        if (c == '\'' && state != dbl)
            state = state == single ? bare : single;
        else if (c == '"' && state != single)
            state = state == dbl ? bare : dbl;
        out += c;
        ++i;
    }
    return out;
}

shellRun RunShellCommand(const std::string& command, const std::vector<std::string>& args,
                         int limitSeconds, const char* what) {
    shellRun run;
    int pipeFd[2];
    if (pipe2(pipeFd, O_CLOEXEC) != 0) {
        PrintMsg("* %s: can't create a pipe: %s\n", what, strerror(errno));
        return run;
    }
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFd[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipeFd[1], STDERR_FILENO);
    // A process group of its own, default signal handling (an ignored
    // SIGPIPE would be inherited across exec) and nothing blocked.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGQUIT);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(
        &attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>("sh"));
    argv.push_back(const_cast<char*>("-c"));
    argv.push_back(const_cast<char*>(command.c_str()));
    argv.push_back(const_cast<char*>("sh"));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    pid_t pid = -1;
    const int rc = posix_spawn(&pid, "/bin/sh", &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(pipeFd[1]);
    if (rc != 0) {
        close(pipeFd[0]);
        PrintMsg("* %s: can't start /bin/sh: %s\n", what, strerror(rc));
        return run;
    }

    outputLog output(what);
    const int64_t deadline = monotonicMs() + static_cast<int64_t>(limitSeconds) * 1000;
    bool open = true;
    bool ended = false;
    while (!ended) {
        const int64_t left = deadline - monotonicMs();
        if (left <= 0) {
            kill(-pid, SIGKILL);
            while (waitpid(pid, &run.status, 0) < 0 && errno == EINTR) {
            }
            run.timedOut = true;
            break;
        }
        // Short slices: the shell's end is seen by waitpid, not by the end
        // of its output, which a command left running in the background
        // may hold open.
        struct pollfd p = {open ? pipeFd[0] : -1, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left < 20 ? left : 20)) > 0) {
            char block[4096];
            const ssize_t n = read(pipeFd[0], block, sizeof block);
            if (n > 0)
                output.Add(block, static_cast<size_t>(n));
            else if (n == 0 || errno != EINTR)
                open = false;
        }
        const pid_t done = waitpid(pid, &run.status, WNOHANG);
        ended = done == pid || (done < 0 && errno != EINTR);
    }
    // What the command wrote just before it ended.
    while (open && !run.timedOut) {
        struct pollfd p = {pipeFd[0], POLLIN, 0};
        char block[4096];
        if (poll(&p, 1, 0) <= 0) break;
        const ssize_t n = read(pipeFd[0], block, sizeof block);
        if (n <= 0) break;
        output.Add(block, static_cast<size_t>(n));
    }
    close(pipeFd[0]);
    output.Finish();
    if (run.timedOut)
        PrintMsg("* %s: still running after %d s, its process group was killed\n", what,
                 limitSeconds);
    return run;
}
