// Starting child programs from a threaded process: posix_spawn (no code
// of ours runs between fork and exec), a process group of its own (a time
// limit or a shutdown ends the child and everything it started, and a
// terminal's ^C reaches only us, who then stop the children in order),
// default signal dispositions and an empty signal mask whatever this
// process ignored or blocked, and no descriptor but the three it is given.
#ifndef TARNWICK_COMMON_BASE_SPAWN_H
#define TARNWICK_COMMON_BASE_SPAWN_H

#include <sys/types.h>

#include <string>
#include <vector>

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

// "exit status 1", "signal 9"
std::string DescribeStatus(int status);

#endif
