#include "common/base/signals.h"

#include <csignal>
#include <cstring>

static_assert(std::atomic<bool>::is_always_lock_free, "signal handlers need a lock-free flag");
std::atomic<bool> stopRequested{false};
std::atomic<bool> reloadRequested{false};

namespace {

extern "C" void OnStopSignal(int) {
    stopRequested.store(true);
}
extern "C" void OnReloadSignal(int) {
    reloadRequested.store(true);
}

}  // namespace

void InstallSignalHandlers() {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    sigemptyset(&action.sa_mask);
    action.sa_handler = OnStopSignal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    action.sa_handler = OnReloadSignal;
    sigaction(SIGHUP, &action, nullptr);
    action.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &action, nullptr);
}
