#include "milter/child_process.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "common/base/daemonlog.h"
#include "common/base/spawn.h"

namespace milter {

using daemonlog::Error;
using daemonlog::Log;

namespace {

constexpr int kMaxRestartDelayMs = 60 * 1000;
constexpr auto kStableRun = std::chrono::seconds(60);
// A filter whose next start is this far away counts as down.
constexpr int kFailFastDelayMs = 16 * 1000;
// How often a stopped engine's socket is tried.
constexpr auto kEngineTryEvery = std::chrono::milliseconds(500);

}  // namespace

bool Accepts(const std::string& path) {
    struct sockaddr_un un = {};
    if (path.empty() || path.size() >= sizeof un.sun_path) return false;
    un.sun_family = AF_UNIX;
    memcpy(un.sun_path, path.data(), path.size());
    const UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) return false;
    const int rc = connect(fd.Get(), reinterpret_cast<struct sockaddr*>(&un), sizeof un);
    return rc == 0 || errno == EAGAIN || errno == EINPROGRESS;
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::string& dir) {
    pipedChild child = SpawnPiped(argv, dir, kPipeInput, false);
    if (child.pid < 0) {
        Error("filter %s cannot be started: %s", name_.c_str(), strerror(errno));
        return false;
    }
    pid_ = child.pid;
    ++starts_;
    toChild_ = std::move(child.input);
    fromChild_ = std::move(child.output);
    quitSent_ = hungKilled_ = false;
    startedAt_ = Clock::now();
    return true;
}

void ChildProcess::KillHung() {
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    hungKilled_ = true;
}

void ChildProcess::KillAtDeadline() {
    kill(pid_, SIGKILL);
    killed_ = true;
}

int ChildProcess::Reap() {
    toChild_.Reset();
    fromChild_.Reset();
    const int status = WaitOrKillGroup(pid_, 5000);
    pid_ = -1;
    return status;
}

int ChildProcess::DelayAfterEnd() {
    if (Clock::now() - startedAt_ >= kStableRun) restartDelayMs_ = 1000;
    return restartDelayMs_;
}

const char* ChildProcess::ScheduleRestart(const std::string& engineSocket) {
    const auto now = Clock::now();
    restartAt_ = now + std::chrono::milliseconds(restartDelayMs_);
    engineRefused_ = !engineSocket.empty() && !Accepts(engineSocket);
    nextEngineTry_ = now + kEngineTryEvery;
    const char* down = engineRefused_                        ? "its engine refuses connections"
                       : restartDelayMs_ >= kFailFastDelayMs ? "it keeps ending"
                                                             : nullptr;
    restartDelayMs_ = std::min(restartDelayMs_ * 2, kMaxRestartDelayMs);
    return down;
}

bool ChildProcess::StartDue(const std::string& engineSocket) {
    const auto now = Clock::now();
    if (now >= restartAt_) return true;
    if (!engineRefused_ || now < nextEngineTry_) return false;
    nextEngineTry_ = now + kEngineTryEvery;
    if (!Accepts(engineSocket)) return false;
    Log("filter %s: its engine accepts connections again; starting it now", name_.c_str());
    engineRefused_ = false;
    restartDelayMs_ = 1000;
    return true;
}

int ChildProcess::SleepMs(int tickMs) const {
    const auto until = engineRefused_ ? std::min(restartAt_, nextEngineTry_) : restartAt_;
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    return ms < 0 ? 0 : (ms > tickMs ? tickMs : static_cast<int>(ms));
}

}  // namespace milter
