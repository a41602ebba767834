// Shell commands of the settings.  The values go to the shell as positional
// parameters, never into the command text: a virus name chosen by an
// attacker cannot end its quotes, run a command or split into more words.
//
// The command is started by the spawner (spawn.h), in its own process
// group, so a time limit can end it and everything it started.  Its output
// never reaches standard output, the server's channel.
#include "common/base/shell.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "common/base/log.h"
#include "common/base/owners.h"
#include "common/base/spawn.h"
#include "common/base/text.h"

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
    const UniqueFd readEnd(pipeFd[0]);
    UniqueFd writeEnd(pipeFd[1]);
    // Standard input is the server's channel: the command never reads it.
    const UniqueFd devNull(open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!devNull.Valid()) {
        PrintMsg("* %s: can't open /dev/null: %s\n", what, strerror(errno));
        return run;
    }
    std::vector<std::string> argv = {"/bin/sh", "-c", command, "sh"};
    argv.insert(argv.end(), args.begin(), args.end());
    const pid_t pid =
        SpawnInGroup(argv, std::string(), devNull.Get(), writeEnd.Get(), writeEnd.Get());
    const int spawnErr = errno;
    writeEnd.Reset();
    if (pid < 0) {
        PrintMsg("* %s: can't start /bin/sh: %s\n", what, strerror(spawnErr));
        return run;
    }

    outputLog output(what);
    const int64_t deadline = monotonicMs() + static_cast<int64_t>(limitSeconds) * 1000;
    bool open = true;
    bool ended = false;
    while (!ended) {
        const int64_t left = deadline - monotonicMs();
        if (left <= 0) {
            run.status = KillGroupAndReap(pid);
            run.timedOut = true;
            break;
        }
        // Short slices: the shell's end is seen by waitpid, not by the end
        // of its output, which a command left running in the background
        // may hold open.
        struct pollfd p = {open ? readEnd.Get() : -1, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left < 20 ? left : 20)) > 0) {
            char block[4096];
            const ssize_t n = read(readEnd.Get(), block, sizeof block);
            if (n > 0)
                output.Add(block, static_cast<size_t>(n));
            else if (n == 0 || errno != EINTR)
                open = false;
        }
        ended = ReapIfEnded(pid, run.status);
    }
    // What the command wrote just before it ended.
    while (open && !run.timedOut) {
        struct pollfd p = {readEnd.Get(), POLLIN, 0};
        char block[4096];
        if (poll(&p, 1, 0) <= 0) break;
        const ssize_t n = read(readEnd.Get(), block, sizeof block);
        if (n <= 0) break;
        output.Add(block, static_cast<size_t>(n));
    }
    output.Finish();
    if (run.timedOut)
        PrintMsg("* %s: still running after %d s, its process group was killed\n", what,
                 limitSeconds);
    return run;
}
