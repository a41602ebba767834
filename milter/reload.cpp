#include "milter/reload.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "common/base/daemonlog.h"
#include "common/base/owners.h"
#include "common/base/spawn.h"
#include "common/base/text.h"
#include "milter/filter_settings.h"
#include "milter/spool.h"

namespace milter {

using daemonlog::Error;
using daemonlog::Log;
using daemonlog::Warn;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kMarkerName = "hup.sig";
// After a filter's last line, how long it may still look for the marker:
// its once-a-second late look, run by a tick that itself comes about once
// a second.
constexpr int kQuietMs = 2200;
// Bounds: the held filters' INTF answers, the marker's taking, the check.
constexpr auto kHoldBound = std::chrono::seconds(10);
constexpr auto kTakeBound = std::chrono::seconds(10);
constexpr int kCheckMs = 60 * 1000;

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Until the file at path (in dir) is gone or until passes; true when it is
// gone.  Woken by the directory's removals (a tick of 10 ms only where no
// inotify instance can be had).
bool WaitGone(const std::string& dir, const std::string& path, Clock::time_point until) {
    const UniqueFd watch(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    const bool watched = watch.Valid() && inotify_add_watch(watch.Get(), dir.c_str(),
                                                            IN_DELETE | IN_MOVED_FROM) >= 0;
    while (access(path.c_str(), F_OK) == 0) {
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (ms <= 0) return false;
        struct pollfd fd = {watch.Get(), POLLIN, 0};
        if (poll(&fd, watched ? 1 : 0, watched ? static_cast<int>(ms) : 10) > 0) {
            char events[4096];
            while (read(watch.Get(), events, sizeof events) > 0) {
            }
        }
    }
    return true;
}

// Runs the checker on one filter's settings as that filter reads them (in
// its working directory, with the whitelist there for Tarnwick-AS) and logs
// every problem it reports.  True when it found none.
bool SettingsPass(const std::string& checker, const std::string& program, FilterRole role,
                  const HostSettings& settings) {
    const std::string name = BaseName(program);
    const std::string workDir = FilterWorkDir(settings.baseDir, name);
    std::vector<std::string> argv{checker, "--workdir", workDir};
    if (role == FilterRole::kVirusScan) {
        argv.insert(argv.end(), {"--av", SettingsFileOf(program)});
    } else if (role == FilterRole::kSpamRating) {
        argv.insert(argv.end(), {"--as", SettingsFileOf(program)});
    } else {
        Warn("reload: filter %s: no checker for its settings; reloading it unchecked",
             name.c_str());
        return true;
    }
    pipedChild child = SpawnPiped(argv, workDir, -1, true);
    if (child.pid < 0) {
        Error("reload: filter %s keeps its settings: %s cannot be run: %s", name.c_str(),
              checker.c_str(), strerror(errno));
        return false;
    }
    // A problem is two lines: "* Error in FILE [line N]" and "* TEXT".
    std::string where;
    lineCollector lines(4096, [&](const std::string& line, bool) {
        if (line.compare(0, 11, "* Error in ") == 0) {
            where = line.substr(11);
            while (!where.empty() && where.back() == ' ') where.pop_back();
        } else if (line.compare(0, 2, "* ") == 0 && !where.empty()) {
            Error("reload: filter %s: %s: %s", name.c_str(), EscapeControl(where, 400).c_str(),
                  EscapeControl(line.substr(2), 1000).c_str());
            where.clear();
        }
    });
    bool timedOut = false;
    const int status = CollectUntilEnd(child.pid, child.output.Get(), kCheckMs, lines, timedOut);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    Error("reload: filter %s keeps its settings: %s found problems (%s)", name.c_str(),
          checker.c_str(), timedOut ? "no result in time" : DescribeStatus(status).c_str());
    return false;
}

// Hands the marker to filter `which` alone (see the header).
void HandMarker(Filters& filters, size_t which, const std::string& stamp,
                const ScoreField& scoreField) {
    FilterChild& target = filters.Child(which);
    const std::string dir = DirectoryOf(target.Program());
    const std::string marker = dir + kMarkerName;
    // Only a filter in the same program directory can take the marker.
    std::vector<size_t> held;
    for (size_t i = 0; i < filters.Count(); ++i)
        if (i != which && DirectoryOf(filters.Child(i).Program()) == dir) held.push_back(i);
    for (size_t i : held)
        if (!filters.Child(i).HoldRequests(kHoldBound))
            Warn(
                "reload: filter %s did not answer INTF in time; it may take the marker meant "
                "for %s",
                filters.Name(i).c_str(), target.Name().c_str());
    if (!held.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(kQuietMs));
    const std::vector<unsigned long> before = filters.Rereads().Counts(filters.Count());
    const int fd = open(marker.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
    if (fd < 0 && errno != EEXIST) {  // one left by hand serves as well
        Error("reload: cannot write %s: %s", marker.c_str(), strerror(errno));
    } else {
        if (fd >= 0) close(fd);
        target.Nudge();
        // The filter writes its "* re-reading" line, which the supervisor
        // counts, and removes the marker.
        const auto until = Clock::now() + kTakeBound;
        const long by = filters.Rereads().WaitChange(before, until);
        if (!WaitGone(dir, marker, until)) {
            unlink(marker.c_str());
            Warn("reload: filter %s did not take its marker in %d s; removed it",
                 target.Name().c_str(), static_cast<int>(kTakeBound.count()));
        } else if (by < 0) {
            Warn("reload: the marker for %s was removed, but no filter re-read its settings",
                 target.Name().c_str());
        } else if (static_cast<size_t>(by) == which) {
            target.SettingsTaken(stamp, scoreField);
            Log("reload: filter %s re-read its settings", target.Name().c_str());
        } else {
            Warn("reload: filter %s took the marker meant for %s", filters.Name(by).c_str(),
                 target.Name().c_str());
        }
    }
    for (size_t i : held) filters.Child(i).Resume();
}

}  // namespace

void ReloadFilters(Filters& filters, const HostSettings& settings, const std::string& checker) {
    Log("reload: asked");
    std::vector<size_t> replace;
    for (size_t i = 0; i < filters.Count(); ++i) {
        FilterChild& child = filters.Child(i);
        const std::string program = child.Program();
        const std::string stamp = SettingsStampOf(program);
        const bool edited = stamp != child.TakenStamp();
        // Only the spam rating reads the whitelist, and only when it starts.
        const bool rating = filters.Role(i) == FilterRole::kSpamRating;
        const bool whitelist =
            rating && WhitelistContentOf(settings.baseDir) != child.WhitelistAtStart();
        if (!edited && !whitelist) {
            Log("reload: filter %s: settings unchanged", child.Name().c_str());
            continue;
        }
        if (!SettingsPass(checker, program, filters.Role(i), settings)) continue;
        // The score levels read the field the Header setting names; without
        // one they would let every spam on unseen.
        const ScoreField scoreField = ScoreFieldOf(program);
        if (rating && settings.policy.ScoreLevels() && scoreField.name.empty()) {
            Error(
                "reload: filter %s keeps its settings: its Header setting gives no field with "
                "the score (^1), which the score levels read",
                child.Name().c_str());
            continue;
        }
        if (whitelist)
            replace.push_back(i);
        else
            HandMarker(filters, i, stamp, scoreField);
    }
    for (size_t i : replace) {
        Log("reload: filter %s: the whitelist changed; a fresh process replaces it",
            filters.Name(i).c_str());
        filters.Child(i).Replace();
    }
    Log("reload: done");
}

}  // namespace milter
