// One thread that runs the reader's slow work (post-processing commands,
// notifications) in the order it was handed in, so that the reader goes on
// reading replies meanwhile.  A reply whose answer would overtake work
// still waiting goes in behind it: answers leave in the order replies came.
//
// The reader posts and asks Idle(); the worker thread runs the jobs.  The
// lock guards the queue and the flags only; a job runs without it.
#ifndef TARNWICK_COMMON_ENGINE_WORKER_H
#define TARNWICK_COMMON_ENGINE_WORKER_H

#include <deque>
#include <functional>
#include <thread>

#include "common/base/threads.h"

class orderedWorker {
  public:
    // Starts the thread; until then (and after Stop) Post runs a job at once.
    void Start() EXCLUDES(mutex_);
    // True when no job waits or runs: the reader may answer itself.
    bool Idle() EXCLUDES(mutex_);
    void Post(std::function<void()> job) EXCLUDES(mutex_);
    // Runs what was posted to its end, then ends the thread.
    void Stop() EXCLUDES(mutex_);

  private:
    void run() EXCLUDES(mutex_);

    twMutex mutex_;
    twCondVar changed_;
    std::deque<std::function<void()>> jobs_ GUARDED_BY(mutex_);
    bool busy_ GUARDED_BY(mutex_) = false;  // a job is running
    bool started_ GUARDED_BY(mutex_) = false;
    bool stopping_ GUARDED_BY(mutex_) = false;
    std::thread thread_;  // the reader's: started and joined by it
};

#endif
