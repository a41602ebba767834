// One filter's process as its supervisor thread sees it (milter/child.h):
// the pid, the two pipes, the start, the kill and the reaping, and when
// the next process may start.  Touched by the supervisor thread only, so
// it has no lock; what other threads share with the supervisor lives in
// milter/request_queue.h.
//
// Back-off: a process that ends unasked is started again after a delay of
// 1 s doubling to 60 s, back to 1 s once a process has lived 60 s.  While
// its engine refused connections, the engine socket is tried every 500 ms
// and the next process starts the moment it accepts, whatever the delay.
#ifndef TARNWICK_MILTER_CHILD_PROCESS_H
#define TARNWICK_MILTER_CHILD_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "common/base/owners.h"

namespace milter {

// True when a unix stream socket at path takes a connection now (a full
// backlog counts: someone listens).  Never blocks.
bool Accepts(const std::string& path);

class ChildProcess {
  public:
    using Clock = std::chrono::steady_clock;

    // name: how the log names the filter.
    explicit ChildProcess(std::string name) : name_(std::move(name)) {}

    // Starts argv in dir with both pipes; false (logged) when it cannot.
    bool Start(const std::vector<std::string>& argv, const std::string& dir);
    bool Running() const { return pid_ >= 0; }
    pid_t Pid() const { return pid_; }
    // Processes started so far.
    unsigned long Starts() const { return starts_; }
    Clock::time_point StartedAt() const { return startedAt_; }
    int Input() const { return toChild_.Get(); }
    int Output() const { return fromChild_.Get(); }
    bool InputOpen() const { return toChild_.Valid(); }
    bool OutputOpen() const { return fromChild_.Valid(); }
    // The process is gone or closed its input (or has read its QUIT).
    void CloseInput() { toChild_.Reset(); }

    // QUIT is queued: the end that follows is expected.
    void QuitQueued() { quitSent_ = true; }
    bool QuitSent() const { return quitSent_; }
    // On its way out: asked to quit, or killed.
    bool Ending() const { return quitSent_ || killed_ || hungKilled_; }
    // Killed for a hang: its process group, at once.
    void KillHung();
    // Killed at the stop deadline.
    void KillAtDeadline();
    bool KilledAtDeadline() const { return killed_; }

    // Closes the pipes and waits for the process (its group is killed
    // after 5 s); returns its wait status.
    int Reap();

    // --- Back-off.
    // The next start now (a replacement).
    void RestartNow() { restartAt_ = Clock::now(); }
    // After an unasked end: the delay the next start waits.
    int DelayAfterEnd();
    // Schedules the next start, and tries the engine socket (none when
    // empty).  Why the filter counts as down now, nullptr when it does not.
    const char* ScheduleRestart(const std::string& engineSocket);
    // True when the next process is to start now.
    bool StartDue(const std::string& engineSocket);
    // How long the supervisor may sleep without a process (at most tickMs).
    int SleepMs(int tickMs) const;

  private:
    const std::string name_;
    pid_t pid_ = -1;
    UniqueFd toChild_, fromChild_;
    unsigned long starts_ = 0;
    bool quitSent_ = false;
    bool killed_ = false;      // at the stop deadline
    bool hungKilled_ = false;  // for a hang, its end not seen yet
    Clock::time_point startedAt_, restartAt_ = Clock::now(), nextEngineTry_;
    int restartDelayMs_ = 1000;
    bool engineRefused_ = false;  // the last try of the engine socket was refused
};

}  // namespace milter

#endif
