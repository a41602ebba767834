// The settings snapshot in force, the steps both settings readers share, and
// the reload triggered by the marker file "hup.sig" in the program directory.
//
// A snapshot is immutable once published; the tree it was read from is
// shared with it and freed when the last snapshot holding it goes.  The
// reader thread therefore never sees a freed text or a half-written table,
// and a reload never waits for it.  Reading and publishing happen on the
// main thread only.
#include "common/config/settings.h"

#include <dirent.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "common/engine/engine.h"
#include "common/host/host.h"
#include "common/host/log.h"

namespace {

std::mutex settingsMutex;
std::shared_ptr<const commonSettings> settingsInForce;  // guarded by settingsMutex
// Written under settingsMutex, after settingsInForce; read without it.
std::atomic<uint64_t> settingsGeneration{1};

constexpr const char* reloadMarkerName = "hup.sig";

struct dirCloser {
    void operator()(DIR* d) const { closedir(d); }
};

}  // namespace

uint64_t SettingsGeneration() {
    return settingsGeneration.load(std::memory_order_acquire);
}

std::shared_ptr<const commonSettings> CurrentSettings() {
    // The cached reference keeps its snapshot alive, so what a thread took
    // stays valid even while a reload replaces it.
    thread_local uint64_t seen = 0;
    thread_local std::shared_ptr<const commonSettings> cached;
    const uint64_t now = SettingsGeneration();
    if (now == seen) return cached;
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        if (settingsInForce) {
            cached = settingsInForce;
            // Read under the lock: a publication after it makes a newer
            // count, and the next call looks again.
            seen = settingsGeneration.load(std::memory_order_relaxed);
            return cached;
        }
    }
    cached.reset();
    seen = 0;
    auto defaults = std::make_shared<commonSettings>();
    if (thisProgram != nullptr) defaults->statDumpFileName = thisProgram->statFileName;
    return defaults;
}

void PublishSettings(std::shared_ptr<const commonSettings> next) {
    std::shared_ptr<const commonSettings> old;
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        old = std::move(settingsInForce);
        settingsInForce = std::move(next);
        settingsGeneration.fetch_add(1, std::memory_order_release);
    }
    // `old` (and possibly its whole tree) is released here, outside the lock.
}

std::shared_ptr<const cfgfItem> ReadSettingsTree() {
    std::string path = workPath + thisProgram->configFileName;
    return std::shared_ptr<const cfgfItem>(cfgfReadConfigFile(path, false));
}

void CheckSubmittedDirectory(const std::string& dirName, const char* failureFmt) {
    std::unique_ptr<DIR, dirCloser> dir(opendir(dirName.c_str()));
    if (!dir) {
        PrintMsg(failureFmt, dirName.c_str());
        xExit(1);
    }
}

const char* SettingText(const cfgfItem* dict, const char* key) {
    const cfgfItem* value = cfgfGetDictValue(dict, key, cfgfString);
    if (value == nullptr || value->data.empty()) return nullptr;
    return value->data.c_str();
}

bool ReadTextSetting(const cfgfItem* dict, const char* key, std::string& out,
                     const char* missingMsg) {
    const char* text = SettingText(dict, key);
    if (text != nullptr) {
        out = text;
        return true;
    }
    if (missingMsg != nullptr) cfgfError(nullptr, "%s", missingMsg);
    return false;
}

void CheckOnProblem(const cfgfItem* dict, const char* missingMsg) {
    const cfgfItem* value = cfgfGetDictValue(dict, "OnProblem", cfgfString);
    if (value == nullptr || value->data.empty()) {
        if (missingMsg != nullptr) cfgfError(nullptr, "%s", missingMsg);
        return;
    }
    char first = value->data[0];
    if (first != 'I' && first != 'E' && first != 'Q')
        cfgfError(value, "OnProblem can be either Ignore,Exit or Quit");
}

void ReadStatDumpSettings(const cfgfItem* dict, commonSettings& settings) {
    if (settings.statDumpFileName.empty() && thisProgram != nullptr)
        settings.statDumpFileName = thisProgram->statFileName;
    const char* interval = SettingText(dict, "StatDumpInterval");
    if (interval == nullptr) return;
    settings.statDumpInterval = xAtoi(interval);
    if (settings.statDumpInterval != 0)
        ReadTextSetting(dict, "StatDumpFile", settings.statDumpFileName, nullptr);
}

void ReadSubmittedDirectory(const cfgfItem* dict, commonSettings& settings,
                            const char* failureFmt) {
    ReadTextSetting(dict, "SubmittedDirectory", settings.submittedDirName,
                    "Missing SubmittedDirectory");
    CheckSubmittedDirectory(settings.submittedDirName, failureFmt);
}

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

bool markerMayExist() {
    if (watchFd == -2) openWatch();
    if (watchFd < 0) return true;
    if (!watchedByReader && !drainWatch()) return true;
    const bool look = lookDue;
    lookDue = false;
    return look;
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

void CheckConfigUpdate() {
    if (!markerMayExist()) return;
    std::string marker = workPath + reloadMarkerName;
    if (access(marker.c_str(), F_OK) != 0) return;
    PrintMsg("* re-reading %s\n", thisProgram->configFileName);
    unlink(marker.c_str());
    UpdateConfig();
}

void UpdateConfig() {
    PrintMsg("* re-reading %s\n", thisProgram->configFileName);
    CloseEngine();
    // The old tree is not freed here: handlers still running keep their
    // snapshot, and the tree goes with the last of them.
    thisProgram->ReadConfigFile();
    InitEngine();
    if (thisProgram->ResendPending != nullptr) thisProgram->ResendPending();
}
