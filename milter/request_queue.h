// What one filter process is asked, shared between the milter threads that
// send requests, the reload and the filter's supervisor thread
// (milter/child.h): the requests not yet answered, the bytes not yet
// written to the process, the request lines the reload holds back, and
// the requests of the reload and of the stop that the supervisor carries
// out.  It never touches a descriptor or a process: the supervisor hands
// it the pipe to write to and tells it when a process starts and ends, so
// every rule here (what is resent, what is given up, when a replacement
// may quit the old process) can be driven without a child.
//
// Request lines carry the token and the queue file's path ("TOKEN FILE
// PATH"); probes and the reload's barrier are INTF lines with tokens from
// kFirstProbeToken up, which no request token reaches.  Sizes are bounded
// by the callers: one request per message in flight.
//
// Locks: mu_ guards everything below it; nothing else is taken while it is
// held (no log line, no answer delivered), so it nests inside no other lock.
#ifndef TARNWICK_MILTER_REQUEST_QUEUE_H
#define TARNWICK_MILTER_REQUEST_QUEUE_H

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "common/base/threads.h"
#include "milter/policy.h"  // ScoreField

namespace milter {

class RequestQueue {
  public:
    using Clock = std::chrono::steady_clock;

    // --- The milter threads.
    // Queues a request (held back while the reload holds); false when the
    // filter is down, and the caller fails it at once.
    bool Add(long token, const std::string& path, const std::string& label) EXCLUDES(mu_);

    // --- The reload (milter/reload.h), from its own thread.
    // New request lines wait from now on.  True when a process runs: the
    // supervisor is to queue the barrier INTF behind the lines written so
    // far, and WaitHeld() waits for its answer.
    bool BeginHold() EXCLUDES(mu_);
    // Until the barrier is answered or no process runs; false when the
    // time passes first.
    bool WaitHeld(Clock::time_point until) EXCLUDES(mu_);
    // The held lines go out, unless a replacement is under way: those wait
    // for the fresh process.
    void Resume() EXCLUDES(mu_);
    // Asks for an INTF, so the process reads a line (and looks for the
    // reload's marker); nothing when no process runs.
    void Nudge() EXCLUDES(mu_);
    // Asks for a fresh process (see Plan()).
    void Replace() EXCLUDES(mu_);
    std::string TakenStamp() EXCLUDES(mu_);
    std::string WhitelistAtStart() EXCLUDES(mu_);
    ScoreField TakenScoreField() EXCLUDES(mu_);
    void SettingsTaken(const std::string& stamp, const ScoreField& scoreField) EXCLUDES(mu_);

    // --- The host's stop.
    void BeginStop(Clock::time_point deadline) EXCLUDES(mu_);
    // False until BeginStop(); then its deadline.
    bool Stopping(Clock::time_point& deadline) EXCLUDES(mu_);

    // --- The supervisor thread.
    // A process started, having taken these settings: the queue is
    // emptied of the old process's bytes, the greeting INTF (its token
    // returned) goes first, then every unanswered request in token order
    // (the order the messages came), held ones too.
    struct Started {
        unsigned long long greeting = 0;
        size_t resent = 0;
    };
    Started ProcessStarted(const std::string& stamp, ScoreField scoreField, std::string whitelist)
        EXCLUDES(mu_);
    // The process ended.  Unless it was asked to (expected), every request
    // it had read counts one loss; a request lost twice is given up (its
    // token returned, the caller fails it).  A replacement under way is
    // over: the held lines go to the fresh process from ProcessStarted().
    struct Ended {
        std::vector<long> givenUp;
        size_t pending = 0;
        bool replaced = false;
    };
    Ended ProcessEnded(bool expected) EXCLUDES(mu_);
    // Down: every request waiting is returned for the caller to fail, and
    // Add() refuses until a process starts.  wasDown: it already was.
    std::vector<long> GoDown(bool& wasDown) EXCLUDES(mu_);
    // No process and none to replace: a Replace() asked meanwhile is moot.
    void ForgetReplace() EXCLUDES(mu_);
    // Takes the requests queued longer than limit; readByProcess: one of
    // them had been written to the process.
    std::vector<long> TakeOverdue(Clock::time_point now, Clock::duration limit, bool& readByProcess)
        EXCLUDES(mu_);
    size_t Outstanding() EXCLUDES(mu_);
    // Queues an INTF with a fresh token above every earlier one.
    unsigned long long QueueProbe() EXCLUDES(mu_);

    // One turn of the supervisor with a process running: carries out what
    // the reload and the stop asked.  probeOut: a probe INTF is out (a
    // nudge then needs none); quitSent: QUIT is queued already; pipeOpen:
    // the pipe to the process is open.  A replacement quits the old
    // process once it holds no request it has read; the stop at once.
    struct Plan {
        unsigned long long probe = 0;  // the nudge's INTF, 0 when none was queued
        bool quit = false;             // "0 QUIT" queued now
        long replaceBegun = -1;        // a replacement began: requests the old process holds
        bool write = false;            // bytes wait for the pipe
    };
    Plan TakePlan(bool probeOut, bool quitSent, bool pipeOpen, bool stopping) EXCLUDES(mu_);
    // Writes what waits as far as the non-blocking fd takes it; false when
    // the pipe failed (the process is gone or closed its input).
    bool WriteTo(int fd) EXCLUDES(mu_);
    // Whether bytes wait to be written.
    bool Empty() EXCLUDES(mu_);

    // An INTF answer came (the barrier's, perhaps).
    void ProbeAnswered(unsigned long long token) EXCLUDES(mu_);
    // An answer came: true when its request was waiting (and now is not).
    bool Answered(long token) EXCLUDES(mu_);
    // The label of the request a log line "* (TOKEN) ..." of the filter
    // names, empty when none.
    std::string LabelNamedBy(const std::string& line) EXCLUDES(mu_);

  private:
    // A request line at the end of the outgoing bytes; returns where it ends.
    unsigned long long Append(const std::string& line) REQUIRES(mu_);
    unsigned long long QueueIntfLocked() REQUIRES(mu_);
    // The hold is in place: the barrier answered, or no process to hold.
    bool HeldLocked() const REQUIRES(mu_);

    struct Request {
        std::string path;
        unsigned long long endsAt = 0;  // stream offset just past its line, kHeld while held
        int lost = 0;                   // processes that ended holding it
        Clock::time_point since;        // when it was first queued
        std::string label;
    };
    static constexpr unsigned long long kHeld = ~0ULL;

    twMutex mu_;
    twCondVar heldCv_;  // the barrier answered, or the process ended
    std::map<long, Request> unanswered_ GUARDED_BY(mu_);  // sent or waiting to be
    std::string outbox_ GUARDED_BY(mu_);                  // bytes not yet written
    // Bytes ever queued for this process, and those of them written.
    unsigned long long queued_ GUARDED_BY(mu_) = 0;
    unsigned long long written_ GUARDED_BY(mu_) = 0;
    unsigned long long lastIntf_ GUARDED_BY(mu_) = 0;  // the last INTF token handed out
    bool running_ GUARDED_BY(mu_) = false;
    bool down_ GUARDED_BY(mu_) = false;  // requests fail at once
    bool stopping_ GUARDED_BY(mu_) = false;
    Clock::time_point stopDeadline_ GUARDED_BY(mu_);
    // The reload.  held_: new request lines wait in heldTokens_;
    // barrierToken_: the INTF behind the lines written before, 0 once
    // answered; barrierWanted_/nudgeWanted_: INTFs for the supervisor to
    // queue; replaceWanted_/replacing_: Replace(), asked and under way.
    bool held_ GUARDED_BY(mu_) = false;
    std::vector<long> heldTokens_ GUARDED_BY(mu_);
    unsigned long long barrierToken_ GUARDED_BY(mu_) = 0;
    bool barrierWanted_ GUARDED_BY(mu_) = false;
    bool nudgeWanted_ GUARDED_BY(mu_) = false;
    bool replaceWanted_ GUARDED_BY(mu_) = false;
    bool replacing_ GUARDED_BY(mu_) = false;
    // The settings and whitelist the running process took.
    std::string takenStamp_ GUARDED_BY(mu_), whitelistAtStart_ GUARDED_BY(mu_);
    ScoreField takenScoreField_ GUARDED_BY(mu_);
};

// How many "* re-reading" lines each filter has written, for the reload,
// which waits for one after it has written its marker.  Counted by the
// supervisor threads; its lock is taken alone.
class RereadCount {
  public:
    void Count(size_t filter) EXCLUDES(mu_);
    std::vector<unsigned long> Counts(size_t filters) EXCLUDES(mu_);
    // Until a filter's count differs from before (the filter's index
    // returned) or until passes (-1).
    long WaitChange(const std::vector<unsigned long>& before,
                    std::chrono::steady_clock::time_point until) EXCLUDES(mu_);

  private:
    long ChangedLocked(const std::vector<unsigned long>& before) const REQUIRES(mu_);

    twMutex mu_;
    twCondVar changed_;
    std::vector<unsigned long> counts_ GUARDED_BY(mu_);
};

}  // namespace milter

#endif
