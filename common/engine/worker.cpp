// The reader's worker thread (see worker.h).
#include "common/engine/worker.h"

#include <utility>

void orderedWorker::Start() {
    twLock lock(mutex_);
    if (started_) return;
    started_ = true;
    stopping_ = false;
    thread_ = std::thread([this] { run(); });
}

bool orderedWorker::Idle() {
    twLock lock(mutex_);
    return jobs_.empty() && !busy_;
}

void orderedWorker::Post(std::function<void()> job) {
    {
        twLock lock(mutex_);
        if (started_ && !stopping_) {
            jobs_.push_back(std::move(job));
            changed_.NotifyAll();
            return;
        }
    }
    job();
}

void orderedWorker::Stop() {
    {
        twLock lock(mutex_);
        if (!started_) return;
        stopping_ = true;
        changed_.NotifyAll();
    }
    thread_.join();
    twLock lock(mutex_);
    started_ = false;
}

void orderedWorker::run() {
    for (;;) {
        std::function<void()> job;
        {
            twLock lock(mutex_);
            busy_ = false;
            changed_.NotifyAll();
            while (jobs_.empty() && !stopping_) changed_.Wait(mutex_);
            if (jobs_.empty()) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
            busy_ = true;
        }
        job();
    }
}
