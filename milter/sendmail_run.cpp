#include "milter/sendmail_run.h"

#include <sys/wait.h>
#include <sysexits.h>

#include <cerrno>
#include <chrono>

#include "common/base/spawn.h"

namespace milter {

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kMaxSaid = 2000;

}  // namespace

SendmailRun RunSendmail(const std::vector<std::string>& sendmail,
                        const std::vector<std::string>& recipients, int input, int limitSec) {
    SendmailRun run;
    std::vector<std::string> argv = sendmail;
    for (const char* a : {"-oi", "-f", "<>", "--"}) argv.emplace_back(a);
    argv.insert(argv.end(), recipients.begin(), recipients.end());
    auto started = Clock::now();
    const pipedChild child = SpawnPiped(argv, std::string(), input, true);
    if (child.pid < 0) {
        run.error = errno;
        return run;
    }
    run.started = true;
    // What sendmail said, bounded: the log shows its start.
    std::string& said = run.said;
    lineCollector lines(kMaxSaid, [&said](const std::string& line, bool) {
        if (said.size() < kMaxSaid) said += (said.empty() ? "" : "\n") + line;
    });
    run.status =
        CollectUntilEnd(child.pid, child.output.Get(), limitSec * 1000, lines, run.timedOut);
    run.ms = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count());
    return run;
}

// sysexits: what no retry can mend.  Everything else (EX_TEMPFAIL,
// EX_OSERR, EX_IOERR, EX_UNAVAILABLE, EX_CONFIG, a signal, a time-out...)
// may pass once the MTA or its administrator has recovered.
bool PermanentSendmailFailure(int status) {
    if (!WIFEXITED(status)) return false;
    switch (WEXITSTATUS(status)) {
        case EX_USAGE:
        case EX_DATAERR:
        case EX_NOINPUT:
        case EX_NOUSER:
        case EX_NOHOST:
            return true;
        default:
            return false;
    }
}

}  // namespace milter
