// Starting child programs from a threaded process: posix_spawn (no code
// of ours runs between fork and exec), a process group of its own (a time
// limit or a shutdown ends the child and everything it started, and a
// terminal's ^C reaches only us, who then stop the children in order),
// default signal dispositions and an empty signal mask whatever this
// process ignored or blocked, and no descriptor but the three it is given.
#ifndef TARNWICK_COMMON_BASE_SPAWN_H
#define TARNWICK_COMMON_BASE_SPAWN_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "common/base/owners.h"

// Starts argv[0] (a path; no search) with argv.  in/out/err become the
// child's standard descriptors; -1 leaves that one as it is in this
// process.  cwd may be empty (inherit).  Returns the pid, which is also the
// child's process group, or -1 with errno set.
pid_t SpawnInGroup(const std::vector<std::string>& argv, const std::string& cwd, int in, int out,
                   int err);

// Reaps pid without waiting: true once it has ended (status filled) or
// cannot be waited for any more.
bool ReapIfEnded(pid_t pid, int& status);

// Kills the child's whole process group and reaps the child; returns its
// wait status.
int KillGroupAndReap(pid_t pid);

// Waits up to timeoutMs for pid to end; then kills its group and reaps it.
// Returns the wait status; timedOut (if given) tells whether it was killed.
int WaitOrKillGroup(pid_t pid, int timeoutMs, bool* timedOut = nullptr);

// A child whose output comes back through a pipe: the settings' shell
// commands, sendmail, the milter host's filters.
struct pipedChild {
    pid_t pid = -1;
    UniqueFd input;   // with kPipeInput: the write end of its standard input, non-blocking
    UniqueFd output;  // the read end of its standard output
};
constexpr int kPipeInput = -2;

// Starts argv as SpawnInGroup does, with its standard output (and, with
// mergeErr, its standard error) on a pipe back to us.  in: a descriptor
// for its standard input, -1 for ours, or kPipeInput for a pipe.  pid -1,
// with errno set, when it could not be started; nothing stays open then.
pipedChild SpawnPiped(const std::vector<std::string>& argv, const std::string& cwd, int in,
                      bool mergeErr);

// Cuts what a child writes into lines of at most maxLine bytes: the rest
// of a longer line is dropped and the line handed on marked cut, so a
// child's output costs at most maxLine bytes of memory whatever it writes.
class lineCollector {
  public:
    using sink = std::function<void(const std::string& line, bool cut)>;
    lineCollector(size_t maxLine, sink onLine) : maxLine_(maxLine), onLine_(std::move(onLine)) {}
    void Add(const char* data, size_t len);
    // The last line, when it had no line feed.
    void Finish();

  private:
    const size_t maxLine_;
    sink onLine_;
    std::string line_;
    bool cut_ = false;
};

// Reads fd into lines until pid ends, then what it wrote just before; at
// limitMs the child's whole group is killed (timedOut set).  The end is
// seen by waitpid, not by the end of the output, which something the child
// left running in the background may hold open.  Returns the wait status.
int CollectUntilEnd(pid_t pid, int fd, int limitMs, lineCollector& lines, bool& timedOut);

// "exit status 1", "signal 9"
std::string DescribeStatus(int status);

#endif
