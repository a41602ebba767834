// tarnwick-check: reads the filters' settings and whitelist with the
// programs' own readers and lists every problem, the effective value of each
// setting, and whether the submission directory and the engine socket can be
// used; has the scan engine scan a probe file where Tarnwick-AV puts its
// copies, and checks tarnwick-milter's base directory.  It writes only the
// probe (removed at once) and mails nothing, so it is safe beside a running
// mail server.
//
// The readers stop a program at its first fatal problem; here they run in
// check mode, which reports and counts such a problem and goes on.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <sys/time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "as/settings.h"
#include "av/settings.h"
#include "common/base/options.h"
#include "common/base/owners.h"
#include "common/base/process.h"
#include "common/base/version.h"
#include "common/config/cfgf.h"
#include "common/config/settings.h"
#include "common/engine/engine.h"
#include "quillon_se_api.pb.h"

namespace {

const char usage[] =
    "Usage: tarnwick-check [--workdir BASE] DIR\n"
    "       tarnwick-check [--workdir BASE] [--av FILE] [--as FILE] [--whitelist FILE]\n"
    "Reads the Tarnwick filters' settings as the filters do and lists every problem\n"
    "with its file and line, the effective value of each setting, and whether the\n"
    "submission directory and the engine socket are usable; has the scan engine\n"
    "scan a probe file in BASE/Temp, where Tarnwick-AV puts its copies, and checks\n"
    "tarnwick-milter's base directory.  Writes only the probe, removed at once;\n"
    "mails nothing.  Run it as the filters' user to test that user's access.\n\n"
    "Exit status: 0 no problem, 1 problems found, 2 wrong usage.\n\n"
    "  DIR                    a program directory: Tarnwick-AV.cfg and/or Tarnwick-AS.cfg\n";

std::string startDir;  // where relative arguments are taken from
// Reports of the readers left out as follow-ons of a syntax fault.
int hiddenReports = 0;

// Where the package makes tarnwick-milter's base directory.
const char defaultMilterBase[] = "/var/spool/tarnwick";

std::string absolute(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    return startDir + "/" + path;
}

// As it would be written in the settings file: a backslash and e (the
// server's line break) stay as they are, any other backslash and every
// double quote get a backslash.
std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"' || (c == '\\' && (i + 1 >= text.size() || text[i + 1] != 'e'))) out += '\\';
        out += c;
    }
    return out + "\"";
}

void value(const char* key, const std::string& text) {
    printf("  %-28s %s\n", key, text.c_str());
}

void textValue(const char* key, const std::string& text) {
    value(key, quoted(text));
}

const char* yesNo(bool on) {
    return on ? "Yes" : "No";
}

// A problem found by this tool itself, in the readers' format.
void problemAt(const std::string& file, int line, const std::string& text) {
    cfgfItem where;
    where.file = std::make_shared<const std::string>(file);
    where.line = line;
    cfgfError(&where, "%s", text.c_str());
}

void reportValues(const commonSettings& s) {
    textValue("SubmittedDirectory", s.submittedDirName);
    value("StatDumpInterval", std::to_string(s.statDumpInterval) +
                                  (s.statDumpInterval == 0 ? " (statistics not saved)" : ""));
    textValue("StatDumpFile", s.statDumpFileName);
    const dailyReportSettings& d = s.daily;
    value("DailyReport", d.present ? "present" : "missing (defaults)");
    value("  Enabled", yesNo(d.enabled));
    value("  ReportSources", yesNo(d.reportSources));
    value("  ReportSourcesMax", std::to_string(d.sourcesMax));
    value("  ReportTargets", yesNo(d.reportTargets));
    value("  ReportTargetsMax", std::to_string(d.targetsMax));
    textValue("  From", d.from);
    textValue("  To", d.to);
    textValue("  Subject", d.subject);
    textValue("  ExtraHeaders", d.extraHeaders);
    const eventReportSettings& e = s.events;
    value("EventsReports", e.present ? "present" : "missing (no event reports)");
    textValue("  From", e.from);
    textValue("  To", e.to);
    textValue("  ExtraHeaders", e.extraHeaders);
    value("  Started", e.started.present ? yesNo(e.started.enabled) : "missing");
    textValue("    Subject", e.started.subject);
    value("  Stopped", e.stopped.present ? yesNo(e.stopped.enabled) : "missing");
    textValue("    Subject", e.stopped.subject);
}

void reportAvValues(const avSettings& s) {
    textValue("Socket", s.socketPath);
    static const char* const modes[] = {"Reject", "Discard", "AddHeader"};
    value("Mode", s.opMode >= 0 && s.opMode <= 2 ? modes[s.opMode] : "?");
    textValue("PostProcess", s.postProcessStr);
    value("  (post-processing)", s.doPostProcess ? "on" : "off");
    value("NotifyRecipients", yesNo(s.doNotifyRecipeints));
    textValue("AddHeaderOptions Header", s.addHeaderStr);
    reportValues(s);
    textValue("NotificationMessage Caption", s.notification.caption);
    textValue("  Summary", s.notification.summary);
    textValue("  Footer", s.notification.footer);
    textValue("NotifyRecipientsOptions From", s.notify.from);
    textValue("  Subject", s.notify.subject);
    textValue("  ExtraHeaders", s.notify.extraHeaders);
    textValue("  HeaderTitle", s.notify.headerTitle);
    textValue("  SenderInfo", s.notify.senderInfo);
    for (const std::string& line : s.notify.description) textValue("  Description", line);
}

void reportAsValues(const asSettings& s) {
    textValue("Socket", s.socketPath);
    textValue("Header", s.pMainHeader);
    value("AlertLevel", std::to_string(s.alertLevel));
    textValue("AlertHeader", s.pAlertHeader);
    std::string ranges = "(";
    for (int i = 0; i < s.nScoreRanges && i < 20; ++i)
        ranges += (i ? ", " : "") + std::to_string(s.scoreRange[i]);
    value("BarScoreRanges", ranges + ")");
    reportValues(s);
}

// The programs report a report (or notification) setting of the wrong type
// when its mail is due; the check lists them at once (the sections themselves only when the
// reader did not look them up already).
void reportSectionNotes(const commonSettings& s, bool sectionsReported) {
    if (!sectionsReported) {
        s.daily.notes.Report({"DailyReport"});
        s.events.notes.Report({"EventsReports"});
    }
    s.daily.notes.Report({"Enabled", "ReportSources", "ReportTargets", "ReportSourcesMax",
                          "ReportTargetsMax", "From", "To", "Subject", "ExtraHeaders"});
    s.events.notes.Report({"From", "To", "ExtraHeaders"});
    s.events.started.notes.Report({"Started", "Enabled", "Subject"});
    s.events.stopped.notes.Report({"Stopped", "Enabled", "Subject"});
    if (const auto* av = dynamic_cast<const avSettings*>(&s))
        av->notify.notes.Report(
            {"From", "Subject", "ExtraHeaders", "Description", "SenderInfo", "HeaderTitle"});
}

// The programs write a .tmp file there and rename it; opening it (already
// checked by the reader) is not enough.
void checkSubmissionDirectory(const std::string& file, const std::string& dir) {
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) return;  // the reader has reported it
    if (access(dir.c_str(), W_OK | X_OK) == 0) {
        printf("submission directory %s: usable\n", dir.c_str());
        return;
    }
    problemAt(file, 0, "submission directory " + dir + " is not writable: " + strerror(errno));
}

// Connects and closes: the engine sees a client come and go, nothing else.
// True when the engine accepts connections.
bool checkEngineSocket(const std::string& file, const std::string& path) {
    if (path.empty()) {
        problemAt(file, 0, "no engine socket to check");
        return false;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        problemAt(file, 0,
                  "engine socket path " + path + " is longer than " +
                      std::to_string(sizeof addr.sun_path - 1) + " bytes");
        return false;
    }
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.Valid()) {
        problemAt(file, 0, std::string("socket: ") + strerror(errno));
        return false;
    }
    const int rc = connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    const int err = errno;
    if (rc == 0 || err == EINPROGRESS) {
        printf("engine socket %s: accepts connections\n", path.c_str());
        return true;
    }
    if (err == EAGAIN) {
        printf("engine socket %s: listening, but its queue of new connections is full\n",
               path.c_str());
    } else {
        problemAt(file, 0, "engine socket " + path + " is not usable: " + strerror(err));
    }
    return false;
}

// What a scan engine's error for the probe says about the filter's copies.
std::string probeError(ql::ScanError error, const std::string& dir) {
    switch (error) {
        case ql::SE_NO_ACCESS:
            return "the scan engine may not read files in " + dir + " (not under its --allow-dir)";
        case ql::SE_FILE_NOT_FOUND:
            return "the scan engine does not see the files in " + dir +
                   " (it runs with another view of the file system: a chroot, a container, "
                   "PrivateTmp)";
        case ql::SE_PATH_NOT_ABSOLUTE:
            return "the scan engine refuses the paths of files in " + dir;
        default:
            return "the scan engine cannot scan files in " + dir + ": " + ql::ScanError_Name(error);
    }
}

// Puts a probe where Tarnwick-AV puts its copies (Temp in the base
// directory) and has the scan engine scan it through the configured socket,
// as the filter will: the first message fails the same way otherwise.  The
// probe is removed again.
void probeScanEngine(const std::string& file, const std::string& socketPath) {
    char cwd[4096];
    const std::string dir = std::string(getcwd(cwd, sizeof cwd) ? cwd : ".") + "/" + tempDirName;
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        printf(
            "Temp directory %s: not there (Tarnwick-AV makes it at start); the scan "
            "engine's access to it is not checked\n",
            dir.c_str());
        return;
    }
    const std::string probe = dir + "/tarnwick-check-probe-" + std::to_string(getpid());
    {
        const UniqueFd out(
            open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        static const char text[] = "tarnwick-check probe: a file like the filter's copies\n";
        if (!out.Valid() || write(out.Get(), text, sizeof text - 1) != sizeof text - 1) {
            problemAt(file, 0, "cannot write into Temp directory " + dir + ": " + strerror(errno));
            if (out.Valid()) unlink(probe.c_str());
            return;
        }
    }
    std::string problem;
    try {
        const UniqueFd link(connect_to_scan_engine(socketPath));
        // A daemon that takes the request and never answers must not hang
        // the check: a read that waits longer fails like a lost engine.
        const timeval wait = {30, 0};
        setsockopt(link.Get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        setsockopt(link.Get(), SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
        ql::ClientMessage request;
        request.set_tag(ql::ClientMessage::SCAN_FILE_REQUEST);
        request.set_serial(1);
        request.mutable_scan_file_request()->set_path(probe);
        send_command(request, link.Get());
        ql::ServerMessage reply;
        // Information notifications may come first; a bounded number.
        for (int frames = 0;; ++frames) {
            if (frames == 16) throw std::runtime_error("no answer to the scan request");
            get_answer(reply, link.Get());
            if (reply.tag() == ql::ServerMessage::SCAN_FILE_RESULT && reply.serial() == 1) break;
        }
        const ql::ScanReport& report = reply.scan_report();
        if (report.has_error())
            problem = probeError(report.error(), dir);
        else if (report.virus_size() > 0)
            problem = "the scan engine finds " + report.virus(0).name() + " in a probe file";
        else
            printf("scan engine: scans the files in %s\n", dir.c_str());
    } catch (const std::exception& e) {
        problem = std::string("the scan engine did not scan a probe file in ") + dir + ": " +
                  e.what() + (errno == EAGAIN ? " (no answer within 30 s)" : "");
    }
    unlink(probe.c_str());
    if (!problem.empty()) problemAt(file, 0, problem);
}

void splitPath(const std::string& path, std::string& dir, std::string& base) {
    size_t slash = path.find_last_of('/');
    dir = slash == std::string::npos ? "./" : path.substr(0, slash + 1);
    base = slash == std::string::npos ? path : path.substr(slash + 1);
}

// Reads one settings file the way `program` does, under its identity but
// with the file's own name.
template <class Settings>
void checkSettings(const processIdentity& program, const std::string& path, void (*read)(),
                   const std::shared_ptr<const Settings>& (*current)(),
                   void (*show)(const Settings&), bool reportsLookedUp, bool scanEngine) {
    static processIdentity identity;  // thisProcess points here while reading
    std::string base;
    identity = program;
    splitPath(path, workPath, base);
    static std::string configName;
    configName = base;
    identity.configFileName = configName.c_str();
    thisProcess = &identity;

    // The file the administrator edits: a program directory's settings are
    // links to /etc.
    char real[4096];
    const std::string edited = realpath(path.c_str(), real) ? real : path;
    if (edited != path)
        printf("== %s: %s (a link to %s)\n", program.name, path.c_str(), edited.c_str());
    else
        printf("== %s: %s\n", program.name, path.c_str());
    fflush(stdout);
    // The readers' reports are held back: a file that does not parse makes
    // every setting "missing" after its one real fault, which alone is
    // shown, at its own line.
    const int reportsBefore = cfgfReportCount();
    FILE* held = tmpfile();
    const int savedOut = held ? dup(STDOUT_FILENO) : -1;
    if (savedOut >= 0) dup2(fileno(held), STDOUT_FILENO);
    read();
    fflush(stdout);
    const cfgfSyntaxFault fault = cfgfLastSyntaxFault();
    if (savedOut >= 0) {
        dup2(savedOut, STDOUT_FILENO);
        close(savedOut);
    }
    if (fault.line > 0) {
        hiddenReports += cfgfReportCount() - reportsBefore;
        problemAt(edited, fault.line,
                  fault.expected == ";"
                      ? "';' expected after the value of " + fault.key + " (the entry on this line)"
                      : "'=' expected after " + fault.key);
        printf("the other settings are read once this is mended\n");
        if (held) fclose(held);
        return;
    }
    if (held) {
        rewind(held);
        char chunk[4096];
        size_t n;
        while ((n = fread(chunk, 1, sizeof chunk, held)) > 0) fwrite(chunk, 1, n, stdout);
        fclose(held);
        fflush(stdout);
    }
    const std::shared_ptr<const Settings> settings = current();
    reportSectionNotes(*settings, reportsLookedUp);
    fflush(stdout);
    printf("effective settings:\n");
    show(*settings);
    checkSubmissionDirectory(path, settings->submittedDirName);
    if (checkEngineSocket(path, settings->socketPath) && scanEngine)
        probeScanEngine(path, settings->socketPath);
    fflush(stdout);
}

// tarnwick-milter's base directory: the host writes queue files into
// Queue/ and hands Submitted/ to sendmail; each filter works in Work/NAME/
// (its Temp/ there), which the host makes at start.  The filters' user (the
// one running this check) must be able to write all of them.  A link in
// their place is refused as the programs refuse it.
void checkMilterBase(const std::string& base) {
    printf("== tarnwick-milter base directory: %s\n", base.c_str());
    int usable = 0;
    for (const char* name : {"Queue", "Submitted", "Work"}) {
        const std::string dir = base + "/" + name;
        struct stat st;
        if (lstat(dir.c_str(), &st) != 0) {
            if (errno == ENOENT && std::string(name) == "Work" &&
                access(base.c_str(), W_OK | X_OK) == 0) {
                printf("Work/: not there yet (tarnwick-milter makes it at start)\n");
                ++usable;
            } else {
                problemAt(base, 0, std::string(name) + "/ is missing: " + strerror(errno));
            }
        } else if (!S_ISDIR(st.st_mode)) {
            problemAt(base, 0, std::string(name) + "/ is not a directory (a link or a file)");
        } else if (access(dir.c_str(), W_OK | X_OK) != 0) {
            problemAt(base, 0,
                      std::string(name) + "/ is not writable for this user: " + strerror(errno));
        } else {
            ++usable;
        }
    }
    if (usable == 3) printf("Queue/, Submitted/, Work/: usable\n");
}

void checkWhitelist(const std::string& path) {
    printf("== whitelist: %s\n", path.c_str());
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        printf("not present: every sender is rated\n");
        return;
    }
    std::string line;
    int number = 0;
    constexpr size_t pieceSize = 1023;
    class whitelist list;
    while (std::getline(in, line)) {
        ++number;
        if (line.size() > pieceSize) {
            problemAt(path, number,
                      "longer than " + std::to_string(pieceSize) +
                          " characters: read as several patterns");
        }
        list.Add(line);
        std::string pattern = line;
        if (!pattern.empty() && pattern.back() == '\r') pattern.pop_back();
        if (!pattern.empty() && pattern[0] != '#' && pattern.size() < 3)
            problemAt(
                path, number,
                "pattern " + quoted(pattern) + " is shorter than 3 characters and is ignored");
    }
    printf("%zu patterns\n", list.Size());
}

}  // namespace

int main(int argc, char** argv) {
    std::string avFile, asFile, whitelistFile, workDir, milterBase;
    OptionTable table("tarnwick-check", usage, "", std::string("tarnwick-check ") + tarnwickVersion,
                      'h', 'V');
    table.Add({
        TextOption("av", "FILE", "check FILE as Tarnwick-AV settings", &avFile).Short('a'),
        TextOption("as", "FILE", "check FILE as Tarnwick-AS settings", &asFile).Short('s'),
        TextOption("whitelist", "FILE",
                   "check FILE as the sender whitelist (default: whitelist.txt in BASE, when "
                   "Tarnwick-AS is checked)",
                   &whitelistFile)
            .Short('l'),
        TextOption("workdir", "BASE",
                   "the filters' working directory: the mail server's base directory, or "
                   "BASE/Work/Tarnwick-AV under tarnwick-milter; SubmittedDirectory and "
                   "whitelist.txt are relative to it (default: the current directory)",
                   &workDir)
            .Short('w'),
        TextOption("milter-base", "DIR",
                   "check DIR as tarnwick-milter's base directory: Queue/, Submitted/ and Work/ "
                   "there and writable (default: BASE, when it is /var/spool/tarnwick)",
                   &milterBase)
            .Short('m'),
    });
    const int next = ParseOrExit(table, argc, argv);
    const bool byFile = !avFile.empty() || !asFile.empty() || !whitelistFile.empty();
    if ((next < argc) == byFile || argc - next > 1) {
        table.WriteHelp(stderr);
        return 2;
    }

    // Reports are written straight to the descriptor; keep our lines in order
    // with them.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) {
        fprintf(stderr, "tarnwick-check: getcwd: %s\n", strerror(errno));
        return 2;
    }
    startDir = cwd;
    if (!byFile) {
        std::string dir = absolute(argv[next]);
        if (dir.back() != '/') dir += '/';
        struct stat st;
        for (const char* name : {"Tarnwick-AV.cfg", "Tarnwick-AS.cfg"}) {
            if (stat((dir + name).c_str(), &st) != 0) continue;
            (name[10] == 'V' ? avFile : asFile) = dir + name;
        }
        if (avFile.empty() && asFile.empty()) {
            fprintf(stderr, "tarnwick-check: no Tarnwick-AV.cfg or Tarnwick-AS.cfg in %s\n",
                    dir.c_str());
            return 1;
        }
    }
    avFile = absolute(avFile);
    asFile = absolute(asFile);
    whitelistFile = absolute(whitelistFile);
    if (!workDir.empty() && chdir(workDir.c_str()) != 0) {
        fprintf(stderr, "tarnwick-check: %s: %s\n", workDir.c_str(), strerror(errno));
        return 2;
    }
    if (whitelistFile.empty() && !asFile.empty()) whitelistFile = whitelist_file_name;

    SetSettingsCheckOnly(true);
    if (!avFile.empty())
        checkSettings<avSettings>(avIdentity, avFile, ReadAvSettings, AvSettings, reportAvValues,
                                  false, true);
    if (!asFile.empty())
        checkSettings<asSettings>(asIdentity, asFile, ReadAsSettings, AsSettings, reportAsValues,
                                  true, false);
    if (!whitelistFile.empty()) checkWhitelist(whitelistFile);
    // The filters under tarnwick-milter run in its base directory's Work/;
    // a base directory of the mail server's own is not the milter's business
    // (the package makes the milter's on every host).
    char here[4096];
    if (milterBase.empty() && getcwd(here, sizeof here)) {
        const std::string cwd = here, work = std::string(defaultMilterBase) + "/Work/";
        if (cwd == defaultMilterBase || cwd.compare(0, work.size(), work) == 0)
            milterBase = defaultMilterBase;
    }
    if (!milterBase.empty()) checkMilterBase(absolute(milterBase));

    const int problems = cfgfReportCount() - hiddenReports;
    if (problems == 0)
        printf("no problems found\n");
    else
        printf("%d problem(s) found\n", problems);
    fflush(stdout);
    return problems == 0 ? 0 : 1;
}
