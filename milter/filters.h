// The filter children and the messages waiting for their answers.
//
// Each configured filter (Tarnwick-AV, Tarnwick-AS) runs as a child process
// with the base directory as its working directory and speaks the filter
// protocol on its standard input and output.  One supervisor thread per
// child owns the child's pipes: it writes queued request lines (never
// blocking a milter thread on a full pipe), reads answer and log lines,
// restarts a child that ended after a growing delay (1 s doubling to 60 s,
// back to 1 s once a child has lived 60 s) and sends the new process every
// request the old one left unanswered.  A request that was with two
// processes that both ended without answering it is not sent a third time:
// it gets a FAILURE answer, so one message that kills a filter cannot keep
// it from serving the others.  Once the restart delay has grown to 16 s (a
// filter that keeps ending, usually because its engine is gone) its
// requests fail at once until a process runs again, so the MTA is not kept
// waiting for the whole timeout.  At shutdown it sends QUIT, closes
// the pipe and waits for the child's final reports.
//
// A milter thread registers a message with Submit(), waits with Wait()
// until every filter has answered or the deadline passes, then calls
// Forget().  Answers for messages already forgotten are logged and dropped.
//
// Locks: Filters::mu_ guards the message table; FilterChild::mu_ guards
// that child's unanswered requests and outgoing bytes; Message::mu_ guards
// the answers.  No thread holds two of them at once.
#ifndef TARNWICK_MILTER_FILTERS_H
#define TARNWICK_MILTER_FILTERS_H

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/base/threads.h"
#include "milter/answer.h"

namespace milter {

class Filters;

// What the filters said about one message, one slot per filter.
struct Outcome {
    std::vector<Answer> answers;
    std::vector<bool> answered;
    std::vector<bool> asked;  // with --serial, later filters only once the earlier ones let it on
};

// One message in flight: the milter thread that handles it waits, the
// filters' supervisor threads record their answers.
class Message {
  public:
    static constexpr size_t kNone = static_cast<size_t>(-1);

    // serial: only the first filter is asked now, the others one by one.
    Message(long token, std::string path, size_t filters, bool serial);

    const long token;
    const std::string path;  // relative to the base directory, as sent in FILE

    // Records filter index's answer and wakes the waiter.  With serial, a
    // reject or discard ends the wait (the others need not look) and any
    // other answer marks the next filter asked; that filter is returned,
    // kNone otherwise (also for a second answer of the same filter).
    size_t Record(size_t index, const Answer& answer, bool serial) EXCLUDES(mu_);
    // True once every filter asked has answered, or when a refusal ended
    // the wait; false at the deadline.  progress runs every progressEvery
    // while waiting, without the lock.
    bool WaitAll(std::chrono::steady_clock::time_point deadline,
                 std::chrono::milliseconds progressEvery, const std::function<void()>& progress)
        EXCLUDES(mu_);
    Outcome Snapshot() const EXCLUDES(mu_);

  private:
    mutable twMutex mu_;
    twCondVar answeredCv_;
    Outcome outcome_ GUARDED_BY(mu_);
    size_t missing_ GUARDED_BY(mu_) = 0;
};

class FilterChild {
  public:
    FilterChild(Filters& owner, size_t index, std::string program, std::vector<std::string> args,
                std::string workDir);
    ~FilterChild();

    const std::string& Name() const { return name_; }
    void Start();
    void Send(long token, const std::string& path);
    void Drop(long token);
    // Sends QUIT once every queued line is written; the process is killed
    // if it has not ended by the deadline.  Join() waits for the thread.
    void BeginStop(std::chrono::steady_clock::time_point deadline);
    void Join();

  private:
    void Run();
    bool Launch();
    // cut: the line was longer than the limit and only its start is here.
    void HandleLine(const std::string& line, bool cut);
    void Reap(bool expected);
    void Wake();
    void ScheduleRestart();
    // Answers a request with a FAILURE of this filter.
    void Fail(long token, const char* why);

    Filters& owner_;
    const size_t index_;
    const std::string program_, name_, workDir_;
    const std::vector<std::string> args_;
    int wakeFd_ = -1;
    std::thread thread_;

    twMutex mu_;
    struct Request {
        std::string path;
        unsigned long long endsAt = 0;  // stream offset just past its line
        int lost = 0;                   // processes that ended holding it
    };
    std::map<long, Request> unanswered_ GUARDED_BY(mu_);  // sent or waiting to be
    std::string outbox_ GUARDED_BY(mu_);                  // bytes not yet written to the child
    // Bytes ever put in the outbox of this process, and those of them written.
    unsigned long long queued_ GUARDED_BY(mu_) = 0;
    unsigned long long written_ GUARDED_BY(mu_) = 0;
    bool stopping_ GUARDED_BY(mu_) = false;
    // Restarting only after a long delay: requests fail at once.
    bool down_ GUARDED_BY(mu_) = false;
    std::chrono::steady_clock::time_point stopDeadline_ GUARDED_BY(mu_);

    // Owned by the supervisor thread only.
    pid_t pid_ = -1;
    int toChild_ = -1, fromChild_ = -1;
    std::string inbuf_;
    bool overlong_ = false;
    bool quitSent_ = false;
    bool killed_ = false;  // at the stop deadline
    std::chrono::steady_clock::time_point startedAt_, restartAt_;
    int restartDelayMs_ = 1000;
};

class Filters {
  public:
    Filters() = default;
    ~Filters();
    void Add(const std::string& program, const std::vector<std::string>& args,
             const std::string& workDir);
    size_t Count() const { return children_.size(); }
    const std::string& Name(size_t i) const { return children_[i]->Name(); }
    void StartAll();
    void StopAll(int timeoutMs);
    // Ask the filters one after the other, in the order given, and stop at
    // the first reject or discard (no engine works on a refused message),
    // instead of all at once (the shortest wait).  Set before StartAll.
    void SetSerial(bool serial) { serial_ = serial; }

    // A fresh request token (1 to 2^31-1, then round again).
    long NextToken();
    // Registers a message and queues its request to every filter.
    std::shared_ptr<Message> Submit(long token, const std::string& path);
    // True when every filter answered before the deadline.  progress runs
    // every progressEvery while waiting (to keep the MTA patient).
    bool Wait(Message& m, std::chrono::steady_clock::time_point deadline,
              std::chrono::milliseconds progressEvery, const std::function<void()>& progress);
    void Forget(Message& m);

    // Called by a child's supervisor thread for each answer line.
    void Deliver(size_t index, const Answer& answer);

  private:
    std::vector<std::unique_ptr<FilterChild>> children_;
    bool serial_ = false;
    twMutex mu_;
    std::map<long, std::shared_ptr<Message>> inflight_ GUARDED_BY(mu_);
    long nextToken_ GUARDED_BY(mu_) = 1;
};

}  // namespace milter

#endif
