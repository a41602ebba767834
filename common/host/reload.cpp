// The reload: the marker file "hup.sig" in the program directory makes the
// main thread read the settings again and reconnect to the engine.
#include "common/host/reload.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <string>

#include "common/base/log.h"
#include "common/base/process.h"
#include "common/config/settings.h"
#include "common/engine/engine.h"
#include "common/engine/pending.h"
#include "common/host/program.h"
#include "common/host/request.h"

namespace {
constexpr const char* reloadMarkerName = "hup.sig";
}  // namespace

namespace {
// The marker is looked up by path only when the program directory has seen
// a change since the last look: a path lookup per request line costs more
// than the rest of the line's own work on some file systems.  The command
// loop's line reader waits on the watch together with standard input, so
// watching costs nothing until something changes; a change is noticed when
// the reader next waits, so lines it had already read when the change came
// are handled before the marker is looked for.  Without inotify every line
// looks.
//
// State below belongs to the main thread.
int watchFd = -2;              // -2: not tried yet, -1: unavailable
int64_t lastLookMs = 0;        // CLOCK_MONOTONIC_COARSE of the last plain look
bool watchedByReader = false;  // the line reader polls watchFd
bool lookDue = true;           // the marker may predate the watch

void openWatch() {
    watchFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    std::string dir = workPath.empty() ? std::string(".") : workPath;
    if (watchFd >= 0 &&
        inotify_add_watch(watchFd, dir.c_str(),
                          IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_CLOSE_WRITE) < 0) {
        close(watchFd);
        watchFd = -1;
    }
}

// Reads every queued event; false when the watch failed and is given up.
bool drainWatch() {
    alignas(struct inotify_event) char events[4096];
    ssize_t n;
    while ((n = read(watchFd, events, sizeof events)) > 0) lookDue = true;
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
        close(watchFd);
        watchFd = -1;
        watchedByReader = false;
        return false;
    }
    return true;
}

// The watch goes blind when the program directory is replaced (a new
// release swapped in through a symbolic link, a rename) and on network file
// systems, so the marker is also looked for by path once a second.
bool plainLookDue() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    const int64_t ms = static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
    if (ms - lastLookMs < 1000) return false;
    lastLookMs = ms;
    return true;
}

bool markerMayExist() {
    if (watchFd == -2) openWatch();
    if (watchFd < 0) return true;
    if (!watchedByReader && !drainWatch()) return true;
    const bool look = lookDue;
    lookDue = false;
    return plainLookDue() || look;
}
}  // namespace

int ReloadWatchFd() {
    if (watchFd == -2) openWatch();
    watchedByReader = watchFd >= 0;
    return watchFd;
}

bool ReloadWatchFired() {
    return drainWatch();
}

namespace {
// A request line came while no look was due: the loop's tick looks once the
// second is up, so that line's marker is acted on without another line.
bool lineWaiting = false;

void lookForMarker() {
    lineWaiting = false;
    std::string marker = workPath + reloadMarkerName;
    if (access(marker.c_str(), F_OK) != 0) return;
    PrintMsg("* re-reading %s\n", thisProcess->configFileName);
    unlink(marker.c_str());
    UpdateConfig();
}
}  // namespace

void CheckConfigUpdate() {
    if (markerMayExist())
        lookForMarker();
    else
        lineWaiting = true;
}

void CheckConfigUpdateLate() {
    if (lineWaiting && plainLookDue()) lookForMarker();
}

void UpdateConfig() {
    PrintMsg("* re-reading %s\n", thisProcess->configFileName);
    CloseEngine();
    // The old tree is not freed here: handlers still running keep their
    // snapshot, and the tree goes with the last of them.
    thisProgram->ReadConfigFile();
    SetRequestTimeout(CurrentSettings()->engineTimeout);
    // The command loop goes on answering while the new engine is slow to
    // take the connection (ContinueReload).
    if (ConnectEngine(thisProgram->EngineSocketPath()) && thisProgram->ResendPending != nullptr)
        thisProgram->ResendPending();
}

void ContinueReload() {
    if (EngineConnecting() && ContinueEngineConnect() && thisProgram->ResendPending != nullptr)
        thisProgram->ResendPending();
}
