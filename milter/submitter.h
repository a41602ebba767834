// Hands the mail the filters generate (notifications, reports) to the MTA.
//
// A filter writes a message under a ".tmp" name in the submission
// directory and renames it to ".sub"; an inotify watch sees the rename and
// this thread pipes the file into the MTA's sendmail interface ("-t -oi"
// with the null sender, so recipients come from the To: header and no
// bounce can loop back).  A file is removed only after sendmail accepted it
// (exit status 0); a failure is retried after a growing delay (2 s
// doubling to 15 min), and files found at start (left by a crash or an MTA
// outage) are handed over first.  Only regular files whose name ends in
// ".sub" are touched, opened without following links; sendmail runs
// without a shell, at most kSendmailTimeoutMs per file.
#ifndef TARNWICK_MILTER_SUBMITTER_H
#define TARNWICK_MILTER_SUBMITTER_H

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/base/threads.h"

namespace milter {

constexpr int kSendmailTimeoutMs = 120 * 1000;

class Submitter {
  public:
    // sendmail: the program and its own leading arguments.
    Submitter(std::string dir, std::vector<std::string> sendmail);
    ~Submitter();
    // Opens the watch and scans for leftovers; false when the directory
    // cannot be watched.
    bool Start();
    // Stops the thread after one last pass over the directory (the
    // filters' final reports), leaving what still fails for the next start.
    void Stop();

  private:
    struct Pending {
        std::chrono::steady_clock::time_point due;
        int delayMs = 0;
    };
    void Run();
    void Scan();
    void HandOverDue(bool final);
    // 1: handed over and removed; 0: failed, retry; -1: not ours to send (gone, not a file).
    int HandOver(const std::string& name);

    const std::string dir_;
    const std::vector<std::string> sendmail_;
    int inotifyFd_ = -1, wakeFd_ = -1, dirFd_ = -1;
    std::thread thread_;
    std::map<std::string, Pending> pending_;  // owned by the thread

    twMutex mu_;
    bool stop_ GUARDED_BY(mu_) = false;
};

}  // namespace milter

#endif
