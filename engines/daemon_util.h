// Small pieces shared by the engine daemons: the stderr log, an owning file
// descriptor, the command-line option table, and the signal flags that end or
// reload a daemon.
//
// Inputs: the command line and the process signals.  Limits: the option
// parser knows only "--name VALUE", "--name=VALUE" and value-less switches;
// the log writes one line per call and is the only writer of stderr.
#ifndef TARNWICK_ENGINES_DAEMON_UTIL_H
#define TARNWICK_ENGINES_DAEMON_UTIL_H

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace engined {

// Sets the name that opens every log line (the daemon's own name).
void SetLogName(const char* name);
// Writes "name: text\n" to stderr in one call, under the log mutex.
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Sends the log lines to stream instead of stderr, or drops them when it is
// null: a harness that drives the daemons' code millions of times wants
// neither the lines nor the time they take.
void SetLogStream(FILE* stream);

// Owns one descriptor; closes it on destruction.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    int Release();
    void Reset(int fd = -1);

  private:
    int fd_ = -1;
};

// One entry of an option table: "--name" and where its text goes.  A switch
// takes no value and stores "1".
struct Option {
    const char* name;
    std::string* value;
    bool isSwitch;
};

// Fills the table's strings from argv.  On an unknown option or a missing
// value, logs the problem and returns false.
bool ParseOptions(int argc, char** argv, const std::vector<Option>& table);

// Reads a decimal number within [minimum, maximum]; false when the text is
// not one.
bool ParseNumber(const std::string& text, uint64_t minimum, uint64_t maximum, uint64_t& out);

// Set from signal handlers, read by the accept loop.
extern std::atomic<bool> stopRequested;    // SIGTERM, SIGINT
extern std::atomic<bool> reloadRequested;  // SIGHUP

// Installs the handlers above and ignores SIGPIPE, so that a client that
// went away makes a write fail instead of killing the daemon.
void InstallSignalHandlers();

}  // namespace engined

#endif
