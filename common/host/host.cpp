// The life of a filter process: start-up in its fixed order, the command
// loop of the filter protocol, and shutdown.  Both programs run this code;
// what differs is handed in through programDesc.
//
// The loop never waits for the engine: FILE requests are passed on and the
// reader thread answers them later, so answers may leave in another order.
#include "common/host/host.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "common/base/log.h"
#include "common/base/owners.h"
#include "common/base/text.h"
#include "common/config/settings.h"
#include "common/engine/engine.h"
#include "common/host/input.h"
#include "common/host/reload.h"
#include "common/host/request.h"
#include "common/mail/mail.h"
#include "common/stats/stats.h"

const programDesc* thisProgram = nullptr;

std::string ProgramDirectory(const char* argv0) {
    if (!argv0) return std::string();
    std::string path(argv0);
    size_t slash = path.size() > 1 ? path.find_last_of('/') : std::string::npos;
    if (slash == std::string::npos || slash == 0) return "./";
    return path.substr(0, slash + 1);
}

namespace {

// Temp holds the message copies: it must be our own directory.  A link
// there (planted or not) is never followed, neither to check it nor to
// empty it; anything but a directory ends the start-up.
void prepareTempDirectory() {
    tempDir = curDir + tempDirName + pathSeparatorStr;
    const std::string dirPath = curDir + tempDirName;
    struct stat st;
    if (lstat(dirPath.c_str(), &st) != 0 && errno == ENOENT) {
        // Set the mode explicitly too: the umask must not narrow it.
        if (mkdir(dirPath.c_str(), 0770) == 0) chmod(dirPath.c_str(), 0770);
        return;
    }
    int dirFd = open(dirPath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirFd < 0) {
        const int err = errno;
        PrintMsg("* Temp directory %s is not a directory of its own (%s)\n",
                 EscapeControl(dirPath).c_str(),
                 err == ELOOP || err == ENOTDIR ? "a link or a file" : strerror(err));
        xExit(1);
    }
    PrintMsg("* clearing Temp\n");
    UniqueFd dirOwner(dirFd);
    const UniqueDir dir(fdopendir(dirFd));
    if (!dir) return;
    dirOwner.Release();  // the directory stream owns it now
    while (struct dirent* entry = readdir(dir.get())) {
        if (entry->d_name[0] == '.') continue;
        DebugMsg("* Deleting %s\n", EscapeControl(tempDir + entry->d_name).c_str());
        // unlinkat removes a link itself, never what it points at.
        unlinkat(dirFd, entry->d_name, 0);
    }
}

// Runs at least once a second, idle or busy.
// Sends the requests held behind an older one of their serial, released
// by its answer.
void sendReleased() {
    if (thisProgram->SendHeld != nullptr)
        SendReleasedRequests(thisProgram->SendHeld, thisProgram->DiscardRequest);
}

bool hostTick() {
    stats.DailyReport(false);
    AnswerOverdueRequests(thisProgram->DiscardRequest);
    ContinueReload();
    sendReleased();
    CheckConfigUpdateLate();
    return !StandardOutputLost();
}

// SIGPIPE would end us without the final statistics and reports when the
// server closes its end of our output; a failed write is noticed instead.
// A handler rather than SIG_IGN: programs we start (post-processing) get
// the default back with exec, as they expect.
void ignoreBrokenPipe(int) {}

void guardAgainstSigpipe() {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = ignoreBrokenPipe;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGPIPE, &action, nullptr);
}

std::thread readerThread;  // main thread only

[[noreturn]] void shutDown() {
    // From here on a failing engine read is part of the shutdown, whether
    // the server said QUIT or closed our input.
    quitRequest = true;
    stats.Dump(true);
    stats.DailyReport(true);
    CloseEngine();
    EventReportStoped();
    PrintMsg("* %s plugin finished.\n", thisProcess->name);
    // A reader still busy with a reply must not see the globals destroyed
    // under it: leave without running destructors then.
    if (!WaitReaderEnded(0)) xExit(0);
    readerThread.join();
    exit(0);
}

}  // namespace

bool HandleRequestLine(const std::string& line) {
    size_t blank = line.find(' ');
    if (blank == std::string::npos) {
        PrintMsg("%s FAILURE Missing command.\n", line.c_str());
        return true;
    }
    std::string token = line.substr(0, blank);
    size_t word = line.find_first_not_of(' ', blank);
    if (word == std::string::npos) word = line.size();
    const char* command = line.c_str() + word;

    if (strncmp(command, "FILE ", 5) == 0) {
        size_t path = line.find_first_not_of(' ', word + 5);
        if (path == std::string::npos) {
            PrintMsg("%s FAILURE Missing file name: %s\n", token.c_str(), "FILE");
            return true;
        }
        thisProgram->EnqueueFile(token.c_str(), line.c_str() + path);
    } else if (strncmp(command, "INTF", 4) == 0) {
        PrintMsg("%s INTF 3 PROD=QLON\n", token.c_str());
    } else if (strncmp(command, "QUIT", 4) == 0) {
        quitRequest = true;
        PrintMsg("* quit accepted\n");
        return false;
    } else {
        PrintMsg("%s OK Unknown command: %s\n", token.c_str(), command);
    }
    return true;
}

bool HandleInfoOption(int argc, char** argv, const programDesc& program) {
    // The server passes nothing or -debug; a getopt parser would read -debug
    // as five short options, so the first argument is compared whole.
    if (argc < 2) return false;
    const char* name = program.identity.name;
    if (strcmp(argv[1], "--version") == 0) {
        printf("%s %s\n", name, pluginVersion);
    } else if (strcmp(argv[1], "--help") == 0) {
        printf(
            "Usage: %s [-debug]\n"
            "%s\n\n"
            "Started by the Velmora mail server in its base directory; speaks the\n"
            "server's filter protocol on standard input and output.  Reads %s\n"
            "and writes %s and %s in the directory of\n"
            "the program's path.\n\n"
            "  -debug     also write debug lines to the log\n"
            "  --help     this text\n"
            "  --version  the version\n\n"
            "Check the settings without starting the filter: tarnwick-check DIR\n",
            name, program.summary, program.identity.configFileName, program.identity.statFileName,
            program.identity.historyFileName);
    } else {
        return false;
    }
    fflush(stdout);
    return true;
}

void RunFilterHost(int argc, char** argv, const programDesc& program) {
    if (HandleInfoOption(argc, argv, program)) exit(0);
    thisProgram = &program;
    thisProcess = &program.identity;
    workPath = ProgramDirectory(argc > 0 ? argv[0] : nullptr);
    if (argc > 1 && EqualStringsNoCase(argv[1], "-debug")) doDebug = true;
    guardAgainstSigpipe();
    startupTime = time(nullptr);

    PrintMsg("* %s plugin version %s started\n", program.identity.name, pluginVersion);

    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) {
        PrintMsg("* getcwd error: %s\n", strerror(errno));
        xExit(1);
    }
    curDir = cwd;
    if (curDir.empty() || curDir.back() != '/') curDir += '/';

    program.ReadConfigFile();
    SetRequestTimeout(CurrentSettings()->engineTimeout);
    prepareTempDirectory();

    stats.ClearLists();
    if (program.AfterListsCleared) program.AfterListsCleared();
    if (program.MakeStatSection) stats.UseSection(program.MakeStatSection());

    InitEngine(program.EngineSocketPath());
    readerThread = std::thread(program.readerThreadProc);
    EventReportStarted();
    stats.Read();
    if (program.BeforeCommandLoop) program.BeforeCommandLoop();

    lineReader input(STDIN_FILENO, requestLineSize - 1, hostTick, ReloadWatchFd(), ReloadWatchFired,
                     EngineSendWaitFd, EngineSendReady);
    std::string line;
    for (;;) {
        if (quitRequest) shutDown();
        if (!input.xGetInput(line)) {
            PrintMsg("* Quit request accepted.\n");
            shutDown();
        }
        stats.Dump(false);
        CheckConfigUpdate();
        ContinueReload();
        sendReleased();
        size_t lf = line.find('\n');
        if (lf != std::string::npos) line.resize(lf);
        if (!HandleRequestLine(line)) shutDown();
        if (StandardOutputLost()) {
            PrintMsg("* Quit request accepted.\n");
            shutDown();
        }
    }
}
