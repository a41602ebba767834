// One filter process and the thread that supervises it.
//
// Each configured filter (Tarnwick-AV, Tarnwick-AS) runs as a child process
// in a working directory of its own (milter/spool.h) and speaks the filter
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
// The work is split along the lock: what other threads share with the
// supervisor (the unanswered requests, the bytes for the process, the
// reload's hold) is a RequestQueue (milter/request_queue.h) under its own
// lock; the process itself and its back-off are a ChildProcess
// (milter/child_process.h) and the probe and settings state below are the
// supervisor thread's alone.  FilterChild holds no lock of its own.
#ifndef TARNWICK_MILTER_CHILD_H
#define TARNWICK_MILTER_CHILD_H

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/base/owners.h"
#include "common/base/spawn.h"
#include "milter/answer.h"
#include "milter/child_process.h"
#include "milter/fieldnames.h"
#include "milter/request_queue.h"
#include "milter/settings.h"

namespace milter {

// The whitelist of the base directory, which every filter's working
// directory links to, as a filter reads it: its content behind a "=", or empty when it cannot be
// read.
std::string WhitelistContentOf(const std::string& baseDir);

class FilterChild {
  public:
    // Hands one answer (or a FAILURE made here) of the filter on.
    using Deliver = std::function<void(size_t index, const Answer& answer)>;
    // rereads: where its "* re-reading" lines are counted.
    FilterChild(size_t index, std::string program, std::vector<std::string> args,
                const HostSettings& settings, FieldNames& fields, RereadCount& rereads,
                Deliver deliver);
    ~FilterChild();

    const std::string& Name() const { return name_; }
    const std::string& Program() const { return program_; }
    void Start();
    // label: how the log names the message (its queue id), put on the
    // filter's log lines that name the request.
    void Send(long token, const std::string& path, const std::string& label = std::string());
    // Sends QUIT once every queued line is written; the process is killed
    // if it has not ended by the deadline.  Join() waits for the thread.
    void BeginStop(std::chrono::steady_clock::time_point deadline);
    void Join();

    // For the reload (milter/reload.h), from its own thread.
    // HoldRequests(): new request lines wait; returns once the process has read
    // every line written so far (an INTF sent behind them is answered),
    // at once when no process runs, false when the bound passes.
    bool HoldRequests(std::chrono::milliseconds bound);
    void Resume();
    // Queues an INTF, so the process reads a line and looks for its marker.
    void Nudge();
    // The settings stamp and whitelist digest as the running process took
    // them (empty when none runs).
    std::string TakenStamp() { return queue_.TakenStamp(); }
    std::string WhitelistAtStart() { return queue_.WhitelistAtStart(); }
    // The score field of the Header setting as the running process took
    // it: the host reads the score levels from the field the answers carry.
    ScoreField TakenScoreField() { return queue_.TakenScoreField(); }
    void SettingsTaken(const std::string& stamp, const ScoreField& scoreField) {
        queue_.SettingsTaken(stamp, scoreField);
    }
    // A fresh process replaces the running one: new requests wait for it,
    // the old one answers what it holds, gets QUIT and ends first (the two
    // would share the Temp directory, which a filter empties at start).
    void Replace();
    // Told when a restart asked by Replace() begins and when it ends (the
    // fresh process answered its greeting, a process ended unexpectedly or
    // the host stops), with the tag that names the filter's generated mail
    // (Qln_<tag>_...).  Set before Start().
    using PlannedRestart = std::function<void(const std::string& tag, bool begun)>;
    void OnPlannedRestart(PlannedRestart hook) { plannedHook_ = std::move(hook); }

  private:
    // The supervisor thread.  Run() is its loop; the rest run on it.
    void Run();
    // No process: starts one when the back-off allows.
    void StartWhenDue();
    bool Launch();
    // With a process: carries out the reload's and the stop's requests;
    // true when bytes wait for the pipe.
    bool Turn(bool stopping, std::chrono::steady_clock::time_point deadline);
    // Waits for the pipes, the wake-up or the next tick and serves them;
    // false when poll itself fails.
    bool Serve(bool write, bool stopping);
    // cut: the line was longer than the limit and only its start is here.
    void HandleLine(const std::string& line, bool cut);
    void WriteOutbox();
    void Reap(bool expected);
    void Wake();
    void ScheduleRestart();
    // Answers a request with a FAILURE of this filter.
    void Fail(long token, const char* why);
    // Fails the requests older than the timeout; kills the process that
    // holds one of them.
    void ExpireOverdue();
    // Down now: the requests waiting fail, and so will new ones.
    void GoDown(const char* why);
    // Sends an INTF probe to a process silent with requests out, and kills
    // it when the probe brings no line back in time.
    void Probe();
    // Reads the settings file beside the program: the engine socket, and
    // the names of the fields the filter adds (told to fields_).
    void ReadSettings();
    // Reads them again when the file changed.
    void LookAtSettings();

    const size_t index_;
    const std::string program_, name_;
    const std::vector<std::string> args_;
    const HostSettings& settings_;
    FieldNames& fields_;
    RereadCount& rereads_;
    const Deliver deliver_;
    UniqueFd wakeFd_;
    std::thread thread_;

    // Shared with the milter threads and the reload, under its own lock.
    RequestQueue queue_;

    // Owned by the supervisor thread only.
    ChildProcess process_;
    lineCollector lines_;
    std::string engineSocket_;   // from the settings, read when the process ends
    std::string settingsStamp_;  // of the settings file last read
    std::chrono::steady_clock::time_point nextSettingsLook_;
    bool settingsMissingLogged_ = false;
    // The probe.  loopUp_: this process answered its greeting, so its
    // command loop runs.  probeToken_: the probe out, 0 when none is.
    bool loopUp_ = false;
    PlannedRestart plannedHook_;
    pid_t plannedFrom_ = -1;  // the process a planned restart replaces, -1 when none is under way
    void EndPlanned();
    unsigned long long probeToken_ = 0;
    // When a line last came from the process, when it last had no request
    // out, when the probe out was queued.
    std::chrono::steady_clock::time_point lastHeard_, idleAt_, probeSentAt_;
};

}  // namespace milter

#endif
