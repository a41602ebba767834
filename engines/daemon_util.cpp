// Log, descriptor ownership, option parsing and signal flags of the engine
// daemons.  See daemon_util.h for the contract.
#include "daemon_util.h"

#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace engined {

namespace {

std::mutex logMutex;  // guards logName, logStream and every write to the log
std::string logName = "engine";
FILE* logStream = stderr;

extern "C" void OnStopSignal(int) {
    stopRequested.store(true);
}
extern "C" void OnReloadSignal(int) {
    reloadRequested.store(true);
}

}  // namespace

static_assert(std::atomic<bool>::is_always_lock_free, "signal handlers need a lock-free flag");
std::atomic<bool> stopRequested{false};
std::atomic<bool> reloadRequested{false};

void SetLogName(const char* name) {
    std::lock_guard<std::mutex> lock(logMutex);
    logName = name;
}

void Log(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::lock_guard<std::mutex> lock(logMutex);
    if (logStream == nullptr) return;
    fprintf(logStream, "%s: %s\n", logName.c_str(), text);
    fflush(logStream);
}

void SetLogStream(FILE* stream) {
    std::lock_guard<std::mutex> lock(logMutex);
    logStream = stream;
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
}

int UniqueFd::Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void UniqueFd::Reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
}

bool ParseOptions(int argc, char** argv, const std::vector<Option>& table) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string name = arg;
        std::string value;
        bool inlineValue = false;
        size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            inlineValue = true;
        }
        const Option* found = nullptr;
        for (const Option& option : table) {
            if (name == option.name) found = &option;
        }
        if (found == nullptr) {
            Log("unknown option %s", arg.c_str());
            return false;
        }
        if (found->isSwitch) {
            if (inlineValue) {
                Log("option %s takes no value", found->name);
                return false;
            }
            *found->value = "1";
            continue;
        }
        if (!inlineValue) {
            if (i + 1 >= argc) {
                Log("option %s needs a value", found->name);
                return false;
            }
            value = argv[++i];
        }
        *found->value = value;
    }
    return true;
}

bool ParseNumber(const std::string& text, uint64_t minimum, uint64_t maximum, uint64_t& out) {
    if (text.empty() || text.size() > 19) return false;
    uint64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + static_cast<uint64_t>(c - '0');
    }
    if (n < minimum || n > maximum) return false;
    out = n;
    return true;
}

void InstallSignalHandlers() {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: the accept loop's poll should wake up on the signal.
    action.sa_handler = OnStopSignal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    action.sa_handler = OnReloadSignal;
    sigaction(SIGHUP, &action, nullptr);
    action.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &action, nullptr);
}

}  // namespace engined
