// The common body of the simulated engine daemons: command-line options,
// the listening socket, one thread per connection, and the reply schedule
// (delay, jitter, shuffled batches, stall file, exit or close after N
// replies, deliberately broken replies), plus the request log that tests
// read.  Each daemon supplies only a handler that turns one request frame
// into its answer frames.
#ifndef TARNWICK_SIM_SIMCORE_H
#define TARNWICK_SIM_SIMCORE_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

struct options {
    std::string socketPath;
    int delayMs = 0;          // every request's reply waits this long
    int jitterMs = 0;         // plus a random 0..jitterMs
    int shuffle = 0;          // collect this many requests, answer them in random order
    int shuffleIdleMs = 200;  // answer an incomplete batch after this much quiet
    long exitAfter = -1;      // exit the process after this many replies (0: at the first request)
    long closeAfter = -1;     // close each connection after this many replies on it
    std::string stallFile;    // no reply leaves while this file exists
    std::string readStallFile;  // nothing is read while this file exists (the sender backs up)
    std::string logPath;        // one line per received frame
    std::string fixed;          // engine-specific fixed outcome
    std::string badReply;       // empty | garbage | huge | truncated: replaces every reply
    bool duplicate = false;     // every reply is sent twice
    bool seeded = false;
    uint32_t seed = 0;
    uint32_t maxFrame = (64u << 20) + (64u << 10);
};

// What one received frame produces.
struct reply {
    bool isRequest = false;           // a scan or rating request: counts for the options above
    std::vector<std::string> frames;  // bodies to send, in this order (none: no answer)
    int extraDelayMs = 0;
    std::string logLine;  // for --log, without line end
};

using handler = std::function<reply(const std::string& body)>;

// Consumes argv[i] (and its value) when it is a common option.
bool ParseCommonOption(int argc, char** argv, int& i, options& opt);
const char* CommonUsage();

// The whole command line of a daemon: the common options, the daemon's own
// (ownOption consumes argv[i] and its value, or returns false), the socket
// path, -h; fixedValid checks a --fixed outcome.  Returns the exit status
// for a command line that does not lead to serving (help, or a mistake).
int ParseCommandLine(int argc, char** argv, const char* name, void (*usage)(), options& opt,
                     const std::function<bool(int argc, char** argv, int& i)>& ownOption,
                     const std::function<bool(const std::string& fixed)>& fixedValid, bool& serve);

// Listens on opt.socketPath and serves until killed (SIGTERM/SIGINT remove
// the socket file) or until --exit-after ends the process.
[[noreturn]] void Serve(const char* name, const options& opt, handler handle);

// Appends one line to the --log file (no-op without one).
void LogRequest(const std::string& line);

// Values of "Name: value" lines (at a line start) in content, in order;
// the value is trimmed of blanks and a carriage return.
std::vector<std::string> MarkerValues(const std::string& content, const std::string& name);
bool MarkerValue(const std::string& content, const std::string& name, std::string& value);
bool ParseInt(const std::string& text, long long& value);

// Random numbers shared by the daemon's threads.
uint32_t Random(uint32_t bound);

}  // namespace sim

#endif
