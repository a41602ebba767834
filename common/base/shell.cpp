// Shell commands of the settings.  The values go to the shell as positional
// parameters, never into the command text: a virus name chosen by an
// attacker cannot end its quotes, run a command or split into more words.
//
// The command is started by the spawner (spawn.h), in its own process
// group, so a time limit can end it and everything it started.  Its output
// never reaches standard output, the server's channel.
#include "common/base/shell.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/base/log.h"
#include "common/base/owners.h"
#include "common/base/spawn.h"
#include "common/base/text.h"

namespace {

bool markerAt(const std::string& s, size_t i) {
    return i + 1 < s.size() && s[i] == '^' && (s[i + 1] == '1' || s[i + 1] == '2');
}

}  // namespace

std::string ShellMarkersToParameters(const std::string& command) {
    enum { bare, single, dbl } state = bare;
    std::string out;
    out.reserve(command.size() + 16);
    for (size_t i = 0; i < command.size();) {
        const char c = command[i];
        if (markerAt(command, i)) {
            const char n = command[i + 1];
            if (state == bare)
                out.append("\"$").append(1, n).append("\"");
            else if (state == dbl)
                out.append("${").append(1, n).append("}");
            else
                out.append("'\"$").append(1, n).append("\"'");
            i += 2;
            continue;
        }
        if (c == '\\' && state != single) {
            if (markerAt(command, i + 1)) {
                ++i;  // it escaped only the '^'
                continue;
            }
            out += c;
            if (i + 1 < command.size()) out += command[i + 1];
            i += 2;
            continue;
        }
        if (c == '\'' && state != dbl)
            state = state == single ? bare : single;
        else if (c == '"' && state != single)
            state = state == dbl ? bare : dbl;
        out += c;
        ++i;
    }
    return out;
}

shellRun RunShellCommand(const std::string& command, const std::vector<std::string>& args,
                         int limitSeconds, const char* what) {
    shellRun run;
    // Standard input is the server's channel: the command never reads it.
    const UniqueFd devNull(open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!devNull.Valid()) {
        PrintMsg("* %s: can't open /dev/null: %s\n", what, strerror(errno));
        return run;
    }
    std::vector<std::string> argv = {"/bin/sh", "-c", command, "sh"};
    argv.insert(argv.end(), args.begin(), args.end());
    const pipedChild child = SpawnPiped(argv, std::string(), devNull.Get(), true);
    if (child.pid < 0) {
        PrintMsg("* %s: can't start /bin/sh: %s\n", what, strerror(errno));
        return run;
    }
    int logged = 0, dropped = 0;
    lineCollector output(maxShellOutputLine, [&](const std::string& line, bool) {
        if (logged < maxShellOutputLines) {
            PrintMsg("* %s: %s\n", what, EscapeControl(line).c_str());
            ++logged;
        } else {
            ++dropped;
        }
    });
    run.status =
        CollectUntilEnd(child.pid, child.output.Get(), limitSeconds * 1000, output, run.timedOut);
    if (dropped > 0) PrintMsg("* %s: %d more output lines dropped\n", what, dropped);
    if (run.timedOut)
        PrintMsg("* %s: still running after %d s, its process group was killed\n", what,
                 limitSeconds);
    return run;
}
