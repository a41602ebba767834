// One run of sendmail for a generated message: its command line (-oi,
// the null sender, the recipients after --), its output bounded, its time
// bounded (the process group killed then), and which of its exit statuses
// no retry can mend.
#ifndef TARNWICK_MILTER_SENDMAIL_RUN_H
#define TARNWICK_MILTER_SENDMAIL_RUN_H

#include <string>
#include <vector>

namespace milter {

struct SendmailRun {
    bool started = false;  // false: it could not be run, errno in `error`
    int error = 0;
    int status = 0;  // as waitpid gives it
    bool timedOut = false;
    std::string said;  // the start of what it wrote, bounded
    long ms = 0;
};

// Runs `sendmail` with the message on `input` (read from its start) for
// `recipients`, for at most limitSec seconds.
SendmailRun RunSendmail(const std::vector<std::string>& sendmail,
                        const std::vector<std::string>& recipients, int input, int limitSec);

// sysexits' permanent failures (usage, data, no such user or host).
bool PermanentSendmailFailure(int status);

}  // namespace milter

#endif
