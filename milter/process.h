// Starting child programs from a threaded daemon: posix_spawn (no code runs
// between fork and exec), the child gets default signal dispositions and an
// empty signal mask whatever this process blocked or ignored, its own
// process group (a terminal's ^C reaches the host, which then stops the
// children in order), and only the three descriptors it is given.
#ifndef TARNWICK_MILTER_PROCESS_H
#define TARNWICK_MILTER_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace milter {

// Returns the pid, or -1 with errno set.  cwd may be empty (inherit).  A
// descriptor of -1 leaves that standard descriptor as it is in the host.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& cwd, int in, int out, int err);

// Waits up to timeoutMs for pid to end; then kills it and reaps it.
// Returns the wait status.
int WaitOrKill(pid_t pid, int timeoutMs);

// "exit status 1", "signal 9"
std::string DescribeStatus(int status);

}  // namespace milter

#endif
