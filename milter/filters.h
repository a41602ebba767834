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
// it from serving the others.  A request not answered within the timeout
// gets a FAILURE, and a process that holds it is killed (its process
// group) and started again.
//
// A filter that hangs is found sooner by probing its command loop, which
// answers INTF at once whatever its engine does.  Each process is greeted
// with an INTF first; until it answers, it is still starting (reading its
// settings, emptying Temp, connecting to its engine) and only the timeout
// bounds it.  Later, when it has had requests out and written nothing for
// 5 s, it gets an INTF with a token above every request token; if then no
// line at all comes for 10 s, its process group is killed and it is started
// again, its requests following the resend rule above.  A filter whose
// engine is slow still answers INTF and is left to the timeout.
//
// A filter is down while it is not running and either its engine refuses
// connections or its restart delay has grown to 16 s: its requests fail at
// once, so the MTA is not kept waiting for the whole timeout.  While it is
// not running and its engine refused, the engine socket (the filter's
// Socket setting) is tried every 500 ms; the filter is started the moment
// the engine accepts again, whatever the restart delay.  At shutdown it
// sends QUIT, closes the pipe and waits for the child's final reports.
//
// A milter thread registers a message with Submit(), waits with Wait()
// until the answer is known (a reject or discard from any filter, or every
// filter asked has answered), the deadline passes or the host stops, then
// calls Release() with what must live until no filter needs the queue file
// any more.  Requests still out finish in the background: their answers
// are logged, and the last one (or the failure at the timeout) releases
// the queue file.
//
// The names of the fields the filters add (for the removal of incoming
// fields of those names) come from each filter's settings file, read at
// start and at every restart, and from every answer since start.
//
// Locks: Filters::mu_ guards the message table; FilterChild::mu_ guards
// that child's unanswered requests and outgoing bytes; Message::mu_ guards
// the answers; FieldNames::mu_ the names.  No thread holds two of them at
// once.
#ifndef TARNWICK_MILTER_FILTERS_H
#define TARNWICK_MILTER_FILTERS_H

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/base/threads.h"
#include "milter/answer.h"

namespace milter {

class Filters;

// In which order the filters are asked.  Serial: one after the other,
// stopping at the first reject or discard.  Parallel: all at once.
// Staggered: the first filter at once, the others as soon as it lets the
// message on or once it has taken longer than a short head start.
enum class Order { Serial, Parallel, Staggered };

// What the filters said about one message, one slot per filter.
struct Outcome {
    std::vector<Answer> answers;
    std::vector<bool> answered;
    std::vector<bool> asked;  // later filters only once the earlier ones let it on
};

// One message in flight: the milter thread that handles it waits, the
// filters' supervisor threads record their answers.
class Message {
  public:
    enum class Waited { kDecided, kDeadline, kAbandoned };

    Message(long token, std::string path, size_t filters, Order order);

    const long token;
    const std::string path;  // relative to the base directory, as sent in FILE

    // What recording an answer leads to.
    struct Recorded {
        std::vector<size_t> ask;          // filters to ask now
        bool finished = false;            // no request out and the waiter has let go
        bool late = false;                // the waiter had already let go
        std::shared_ptr<void> keep;       // with finished: to be let go of
        std::string label;                // with late: how the waiter's log named it
        long elapsedMs = 0;               // with late: since the message came
    };
    // Records filter index's answer and wakes the waiter.  A reject or
    // discard decides the message: nobody else is asked.  Any other answer
    // of a filter lets the next ones on (the next with Serial, every other
    // with Staggered).  A second answer of the same filter changes nothing.
    Recorded Record(size_t index, const Answer& answer) EXCLUDES(mu_);
    // The head start is over: the filters not asked yet unless the message
    // is decided.
    std::vector<size_t> AskRest() EXCLUDES(mu_);
    // Until the answer is known, the deadline, or Abandon().  progress runs
    // every progressEvery while waiting, without the lock.
    Waited WaitDecided(std::chrono::steady_clock::time_point deadline,
                       std::chrono::milliseconds progressEvery,
                       const std::function<void()>& progress) EXCLUDES(mu_);
    // The host stops: the waiter gives up at once.
    void Abandon() EXCLUDES(mu_);
    // The waiter lets go: keep lives until no request is out.  True when
    // none is (the caller drops keep and forgets the message).
    bool Release(std::string label, std::shared_ptr<void> keep) EXCLUDES(mu_);
    Outcome Snapshot() const EXCLUDES(mu_);

  private:
    bool DecidedLocked() const REQUIRES(mu_);

    const Order order_;
    const std::chrono::steady_clock::time_point born_;
    mutable twMutex mu_;
    twCondVar answeredCv_;
    Outcome outcome_ GUARDED_BY(mu_);
    size_t out_ GUARDED_BY(mu_) = 0;  // asked, not answered
    bool refused_ GUARDED_BY(mu_) = false;
    bool abandoned_ GUARDED_BY(mu_) = false;
    bool released_ GUARDED_BY(mu_) = false;
    std::string label_ GUARDED_BY(mu_);
    std::shared_ptr<void> keep_ GUARDED_BY(mu_);
};

// Names (lower case) of the header fields the filters add, from their
// settings and their answers; a bounded set, since answers come from
// processes that read hostile mail.
class FieldNames {
  public:
    static constexpr size_t kMaxNames = 64;
    void Learn(const std::vector<std::string>& names) EXCLUDES(mu_);
    std::set<std::string> Get() const EXCLUDES(mu_);

  private:
    mutable twMutex mu_;
    std::set<std::string> names_ GUARDED_BY(mu_);
};

class FilterChild {
  public:
    FilterChild(Filters& owner, size_t index, std::string program, std::vector<std::string> args,
                std::string workDir);
    ~FilterChild();

    const std::string& Name() const { return name_; }
    void Start();
    void Send(long token, const std::string& path);
    // Milliseconds a request may wait for its answer; set before Start.
    void SetTimeout(int ms) { timeoutMs_ = ms; }
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
    // Fails the requests older than the timeout; kills the process that
    // holds one of them.
    void ExpireOverdue();
    // While not running: true when the engine has come back after refusing.
    bool EngineReturned();
    // Down now: the requests waiting fail, and so will new ones.
    void GoDown(const char* why);
    // Sends an INTF probe to a process silent with requests out, and kills
    // it when the probe brings no line back in time.
    void Probe();
    // Queues an INTF line with a fresh probe token.
    void QueueProbe() REQUIRES(mu_);
    // Reads the settings file beside the program: the engine socket, and
    // the names of the fields the filter adds (told to the owner).
    void ReadSettings();

    Filters& owner_;
    const size_t index_;
    const std::string program_, name_, workDir_;
    const std::vector<std::string> args_;
    int wakeFd_ = -1;
    int timeoutMs_ = 300 * 1000;
    std::thread thread_;

    twMutex mu_;
    struct Request {
        std::string path;
        unsigned long long endsAt = 0;  // stream offset just past its line
        int lost = 0;                   // processes that ended holding it
        std::chrono::steady_clock::time_point since;  // when it was first queued
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
    std::chrono::steady_clock::time_point startedAt_, restartAt_, nextProbe_;
    int restartDelayMs_ = 1000;
    std::string engineSocket_;  // from the settings, read when the process ends
    bool settingsMissingLogged_ = false;
    bool engineRefused_ = false;  // the last try of engineSocket_ was refused
    // The probe.  loopUp_: this process answered its greeting, so its
    // command loop runs.  probeToken_: the probe out, 0 when none is.
    bool loopUp_ = false;
    bool hungKilled_ = false;  // killed for a hang, its end not seen yet
    unsigned long long probeToken_ = 0, lastProbeToken_ = 0;
    // When a line last came from the process, when it last had no request
    // out, when the probe out was queued.
    std::chrono::steady_clock::time_point lastHeard_, idleAt_, probeSentAt_;
};

class Filters {
  public:
    // With Staggered: how long the first filter has the message to itself.
    // A clean message waits at most this much longer than the slower
    // filter; an infected one the first filter answers within it never
    // reaches the others.
    static constexpr std::chrono::milliseconds kHeadStart{5};

    Filters() = default;
    ~Filters();
    void Add(const std::string& program, const std::vector<std::string>& args,
             const std::string& workDir);
    size_t Count() const { return children_.size(); }
    const std::string& Name(size_t i) const { return children_[i]->Name(); }
    // Set before StartAll: the order of asking, and how long a request
    // may wait for its answer (longer, and its filter is started again).
    void SetOrder(Order order) { order_ = order; }
    Order GetOrder() const { return order_; }
    void SetTimeout(int ms);
    void StartAll();
    void StopAll(int timeoutMs);

    // A fresh request token (1 to 2^31-1, then round again).
    long NextToken();
    // Registers a message and queues its request to the filters to ask first.
    std::shared_ptr<Message> Submit(long token, const std::string& path);
    // Until the answer is known, the deadline or AbandonAll(); with
    // Staggered, asks the later filters after the head start.  progress
    // runs every progressEvery while waiting (to keep the MTA patient).
    Message::Waited Wait(Message& m, std::chrono::steady_clock::time_point deadline,
                         std::chrono::milliseconds progressEvery,
                         const std::function<void()>& progress);
    // The waiter is done with m; keep (the queue file's owner) is dropped
    // when no filter's request for it is out any more.  label names the
    // message in the log lines of late answers.
    void Release(const std::shared_ptr<Message>& m, std::string label, std::shared_ptr<void> keep);
    // The host stops: every wait ends now, and so will those of messages
    // submitted from now on.
    void AbandonAll();

    // Called by a child's supervisor thread for each answer line.
    void Deliver(size_t index, const Answer& answer);

    // The names of the fields the filters add: seeded from their settings,
    // grown by the answers.
    FieldNames& OwnFields() { return ownFields_; }

  private:
    void AskFilters(const Message& m, const std::vector<size_t>& which);

    std::vector<std::unique_ptr<FilterChild>> children_;
    Order order_ = Order::Staggered;
    twMutex mu_;
    std::map<long, std::shared_ptr<Message>> inflight_ GUARDED_BY(mu_);
    long nextToken_ GUARDED_BY(mu_) = 1;
    bool abandoned_ GUARDED_BY(mu_) = false;
    FieldNames ownFields_;
};

}  // namespace milter

#endif
