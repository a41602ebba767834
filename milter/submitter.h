// Hands the mail the filters generate (notifications, reports) to the MTA.
//
// A filter writes a message under a ".tmp" name in the submission
// directory and renames it to ".sub"; an inotify watch sees the rename and
// this thread at once moves the file into sending/ under a name of its own
// (claim time, a counter, the filter's name), because the filters' names
// repeat (their random part comes from an unseeded generator) and a later
// message must not replace one that waits there while the MTA is down.
//
// Each file is then given to sendmail as standard input, without its Bcc:
// fields, with the null sender and its recipients named after "--"
// (taken from To:, Cc: and Bcc: by the address-list grammar, never with
// "-t"), so that only the addresses a filter wrote receive it and no
// bounce can loop back.  A file is removed once sendmail exits with 0.  An
// exit status that sysexits calls permanent (usage, data, no such user or
// host, no input), a file without a valid recipient or with a header block
// beyond kMaxHeaderBytes, and a file still not accepted a day after it was
// written go to failed/ with a log line; every other failure is retried on
// the file's own schedule (2 s doubling to 15 min).  Files never tried go
// first, oldest first, then the retries due, so a file that keeps failing
// delays a new one by one sendmail run at most; at the stop only files not
// tried yet are handed over, the others wait in sending/ for the next
// start.  Only regular files whose name ends in ".sub" are touched, opened
// without following links; sendmail runs without a shell and is killed
// (its process group) after the time limit of one run.
#ifndef TARNWICK_MILTER_SUBMITTER_H
#define TARNWICK_MILTER_SUBMITTER_H

#include <sys/stat.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/base/owners.h"
#include "common/base/threads.h"
#include "engines/kit/connect.h"

namespace milter {

constexpr size_t kMaxHeaderBytes = 512 * 1024;
constexpr long kGiveUpAfterSec = 24 * 3600;
// The largest message the SMTP hand-over reads into memory.
constexpr size_t kMaxSmtpMessageBytes = 64 << 20;

struct AddressList;

class Submitter {
  public:
    // sendmail: the program and its own leading arguments; limitSec: the
    // longest one run may take.
    Submitter(std::string dir, std::vector<std::string> sendmail, int limitSec);
    ~Submitter();
    // Hands the mail over by SMTP to target (shown so in the log) instead
    // of running sendmail; called before Start.
    void UseSmtp(const engined::StreamTarget& target, const std::string& shown);
    // Opens the watch and scans for leftovers; false when the directory
    // cannot be watched.
    bool Start();
    // Stops the thread after one last pass over the directory (the
    // filters' final reports), leaving what still fails for the next start.
    void Stop();
    // A planned restart of the filter whose generated mail is named
    // Qln_<tag>_... (the reload replacing Tarnwick-AS to read its whitelist
    // again): from begun = true on, the first stop report (Qln_<tag>_stopped_),
    // daily report (_daily_: the one of the stop, whose figures the next
    // process takes up again for the midnight report) and start report
    // (_report_) written are removed unmailed, each with a log line, until
    // begun = false, which first takes every file written before the call.
    // Any thread.
    void PlannedRestart(const std::string& tag, bool begun);

  private:
    struct Pending {
        std::chrono::steady_clock::time_point due;
        int delayMs = 0;
        time_t written = 0;  // the file's modification time: its age and its place in line
    };
    enum class Outcome { kDone, kRetry, kFailed, kGone };
    void Run();
    // Claims the ".sub" files of the directory (all, or the one named).
    void Scan();
    void Claim(const char* name);
    void Track(const std::string& claimed);
    // Hands over one file: the oldest never tried, else (not final) the
    // oldest retry due.  False when there was none.
    bool HandOverNext(bool final);
    // Claims the files the watch reports, without waiting.
    void ReadEvents();
    Outcome HandOver(const std::string& name);
    // The SMTP way of HandOver: header (without Bcc:) and after (the rest
    // read so far), then the rest of file.
    Outcome HandOverSmtp(const std::string& name, const struct stat& st, const std::string& header,
                         const std::string& after, int file, const AddressList& rcpts);
    void SetAside(const std::string& name, const char* why);
    // True when name is a report of a planned restart, which is then not
    // mailed (PlannedRestart).
    bool OfPlannedRestart(const char* name);
    // Ends the planned restarts whose end was asked, after a pass over the
    // directory.
    void EndPlannedRestarts();

    const std::string dir_;
    const std::vector<std::string> sendmail_;
    const int limitSec_;
    engined::StreamTarget smtpTarget_;
    std::string smtpShown_, helo_;  // smtpShown_ empty: sendmail
    UniqueFd inotifyFd_, wakeFd_, dirFd_, sendingFd_, failedFd_;
    unsigned claims_ = 0;
    std::thread thread_;
    std::map<std::string, Pending> pending_;  // owned by the thread, by name in sending/

    twMutex mu_;
    bool stop_ GUARDED_BY(mu_) = false;
    struct Planned {
        std::vector<std::string> kinds;  // the reports not yet seen
        bool ending = false;
    };
    std::map<std::string, Planned> planned_ GUARDED_BY(mu_);  // by mail tag
};

}  // namespace milter

#endif
