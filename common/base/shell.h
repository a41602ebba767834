// Commands of the settings run through the shell, with values from outside
// (a message path, a virus name) that never pass through the shell's
// parser, and with the command kept away from the server's channel.
#ifndef TARNWICK_COMMON_BASE_SHELL_H
#define TARNWICK_COMMON_BASE_SHELL_H

#include <string>
#include <vector>

// Rewrites a command template so that every "^1" and "^2" marker becomes a
// reference to the positional parameter $1 or $2, written so that the shell
// expands it as exactly one word holding the value, whatever quoting the
// administrator put around the marker:
//   bare      ^2        ->  "$2"
//   "..."     "x ^2 y"  ->  "x ${2} y"
//   '...'     'x ^2 y'  ->  'x '"$2"' y'
// A backslash in front of a marker is dropped (the marker is always
// replaced, as it always was).  Other "^n" are left as they stand.
std::string ShellMarkersToParameters(const std::string& command);

// How one run ended.
struct shellRun {
    int status = -1;        // as waitpid gives it; -1 when it could not start
    bool timedOut = false;  // killed at the time limit
};

// Runs `/bin/sh -c command sh args...` in a process group of its own, with
// standard input from /dev/null and standard output and error logged as
// "* <what>: <line>" lines (each cut to one line, control characters
// escaped, at most maxShellOutputLines of them).  After `limitSeconds` the
// whole group is killed and that is logged.  Waits for the end.
shellRun RunShellCommand(const std::string& command, const std::vector<std::string>& args,
                         int limitSeconds, const char* what);

constexpr size_t maxShellOutputLine = 200;
constexpr int maxShellOutputLines = 50;

#endif
