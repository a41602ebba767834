// tarnwick-milter: plays the Velmora server's part for Tarnwick-AV and
// Tarnwick-AS behind a milter socket, so Postfix or Sendmail can run them.
// Start-up, serving and shutdown; the work lives in the modules.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <libmilter/mfapi.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/base/daemonlog.h"
#include "common/base/options.h"
#include "common/base/owners.h"
#include "common/base/readiness.h"
#include "common/base/socket_access.h"
#include "common/base/version.h"
#include "milter/callbacks.h"
#include "milter/figures.h"
#include "milter/filter_settings.h"
#include "milter/filters.h"
#include "milter/policy.h"
#include "milter/reload.h"
#include "milter/roles.h"
#include "milter/settings.h"
#include "milter/smtp_submit.h"
#include "milter/spool.h"
#include "milter/submitter.h"

// libmilter's own start-up and shutdown race in its internal state (seen
// by ThreadSanitizer in mi_closener and the worker pool); not ours to mend.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
    return "race:libmilter.so\nmutex:libmilter.so\nrace:mi_closener\nmutex:mi_stop_milters\n"
           "thread:mi_control_startup\n";
}
#endif

namespace {

const std::string versionLine = std::string("tarnwick-milter ") + tarnwickVersion;
const char* const kVersion = versionLine.c_str();

// Through the daemon log from the first line on, so that --syslog gets
// the complaints about the command line too.
bool Fail(const char* what, const char* detail) {
    daemonlog::Error("%s%s%s", what, detail ? ": " : "", detail ? detail : "");
    return false;
}

std::string Absolute(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) return path;
    return std::string(cwd) + "/" + path;
}

bool EnsureDirectory(const std::string& path, mode_t mode) {
    if (mkdir(path.c_str(), mode) == 0 || errno == EEXIST) {
        struct stat st;
        if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
    }
    daemonlog::Error("start: %s is not a usable directory: %s", path.c_str(), strerror(errno));
    return false;
}

// Postfix's smtpd runs chrooted in its spool directory and reaches the
// socket there as unix:tarnwick/milter.sock.
constexpr const char* kDefaultSocket = "unix:/var/spool/postfix/tarnwick/milter.sock";
// Beside the filters' statistics in the package's program directory, where
// tarnwick-stats finds both.
constexpr const char* kDefaultFigures = "/var/lib/tarnwick/milter/tarnwick-milter.prom";

struct Options {
    // --socket is an address here (unix:/path or inet:PORT@HOST); the group
    // is the MTA's.
    SocketOptions socket{kDefaultSocket, 0660, "postfix", false};
    std::string base;
    std::vector<std::string> filters;
    std::vector<std::string> sendmail{"/usr/sbin/sendmail"};
    int sendmailTimeoutSec = 30;
    // --submit-to: the MTA's SMTP listener, in place of sendmail.
    std::string submitTo;
    engined::StreamTarget submitTarget;
    std::string figuresFile = kDefaultFigures;
    int figuresEverySec = 5;
    milter::HostSettings host;
    bool debug = false;
};

// The path of a unix socket address (libmilter takes a bare path as one),
// or empty for an inet one.
std::string UnixPath(const std::string& address) {
    for (const char* prefix : {"unix:", "local:"})
        if (address.compare(0, strlen(prefix), prefix) == 0) return address.substr(strlen(prefix));
    return address.find(':') == std::string::npos ? address : std::string();
}

// Listens on the socket.  A unix socket gets its group and mode before any
// peer can connect (CreateSocketFile); its directory, when this makes it, is
// 0750 with the same group, so the MTA can reach it and other local users
// cannot.
bool OpenSocket(const Options& o) {
    const std::string path = UnixPath(o.socket.path);
    if (path.empty()) return smfi_opensocket(1) == MI_SUCCESS;
    gid_t gid = 0;
    std::string why;
    if (!LookupGroup(o.socket.group, gid, why)) {
        daemonlog::Error("start: %s for the socket", why.c_str());
        return false;
    }
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        const std::string dir = path.substr(0, slash);
        if (mkdir(dir.c_str(), 0750) == 0 && chown(dir.c_str(), static_cast<uid_t>(-1), gid) != 0)
            daemonlog::Warn("start: cannot give %s to group %s: %s", dir.c_str(),
                            o.socket.group.c_str(), strerror(errno));
    }
    if (!CreateSocketFile(
            path, o.socket,
            [](std::string& failure) {
                failure = "libmilter cannot open the socket";
                return smfi_opensocket(1) == MI_SUCCESS;
            },
            why)) {
        daemonlog::Error("start: %s", why.c_str());
        return false;
    }
    return true;
}

// The descriptors open now that are listening sockets.
std::set<int> ListeningSockets() {
    std::set<int> out;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return out;
    const int own = dirfd(dir);
    while (struct dirent* e = readdir(dir)) {
        char* end;
        const long fd = strtol(e->d_name, &end, 10);
        if (*end != '\0' || end == e->d_name || fd == own) continue;
        int listening = 0;
        socklen_t len = sizeof listening;
        if (getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) == 0 &&
            listening)
            out.insert(static_cast<int>(fd));
    }
    closedir(dir);
    return out;
}

// The local address of a socket as --socket writes it; portOnly leaves the
// host out of an inet one (a listener on every address accepts on one).
std::string SocketAddressText(int fd, bool portOnly = false) {
    sockaddr_storage a = {};
    socklen_t len = sizeof a;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return "?";
    char text[INET6_ADDRSTRLEN] = "";
    if (a.ss_family == AF_UNIX) {
        const auto* u = reinterpret_cast<const sockaddr_un*>(&a);
        const size_t n =
            len > offsetof(sockaddr_un, sun_path) ? len - offsetof(sockaddr_un, sun_path) : 0;
        return "unix:" + std::string(u->sun_path, strnlen(u->sun_path, n));
    }
    if (a.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&a);
        inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
        return "inet:" + std::to_string(ntohs(in->sin_port)) +
               (portOnly ? "" : "@" + std::string(text));
    }
    if (a.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&a);
        inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
        return "inet6:" + std::to_string(ntohs(in6->sin6_port)) +
               (portOnly ? "" : "@[" + std::string(text) + "]");
    }
    return "?";
}

// The MTA's sessions open now: the connected sockets that libmilter
// accepted on the listening socket whose address is `listening` (an
// accepted socket bears the listener's local address).  Counted from the
// descriptors, not from the callbacks: at the stop libmilter may accept one
// last connection that has not yet reached any callback.
int OpenSessions(const std::string& listening) {
    int open = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return 0;
    const int own = dirfd(dir);
    while (struct dirent* e = readdir(dir)) {
        char* end;
        const long fd = strtol(e->d_name, &end, 10);
        if (*end != '\0' || end == e->d_name || fd == own) continue;
        int listens = 1, type = 0;
        socklen_t len = sizeof listens, typeLen = sizeof type;
        if (getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_ACCEPTCONN, &listens, &len) == 0 &&
            !listens &&
            getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_TYPE, &type, &typeLen) == 0 &&
            type == SOCK_STREAM && SocketAddressText(static_cast<int>(fd), true) == listening)
            ++open;
    }
    closedir(dir);
    return open;
}

// Ends the accepting of new sessions without stopping libmilter, whose
// pool of workers serves no session any more once it is told to stop: the
// sessions open now go on to their end, and the connections not yet taken
// stay on the listening socket (for the next process, when the service
// manager holds it).  A stand-in listener of the same family takes the
// place of libmilter's descriptor `fd`, with one connection of its own
// waiting on it, so that libmilter's accept, woken by a connection to the
// real socket, takes that one and never blocks.
void StopAccepting(int fd, const std::string& base) {
    sockaddr_storage a = {};
    socklen_t len = sizeof a;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return;
    sockaddr_storage b = {};
    socklen_t blen = 0;
    std::string dir;
    if (a.ss_family == AF_UNIX) {
        dir = base + "/.stop-XXXXXX";
        if (!mkdtemp(&dir[0])) return;
        auto* u = reinterpret_cast<sockaddr_un*>(&b);
        u->sun_family = AF_UNIX;
        snprintf(u->sun_path, sizeof u->sun_path, "%s/s", dir.c_str());
        blen = sizeof *u;
    } else if (a.ss_family == AF_INET) {
        auto* in = reinterpret_cast<sockaddr_in*>(&b);
        in->sin_family = AF_INET;
        in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        blen = sizeof *in;
    } else if (a.ss_family == AF_INET6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&b);
        in6->sin6_family = AF_INET6;
        in6->sin6_addr = in6addr_loopback;
        blen = sizeof *in6;
    } else {
        return;
    }
    const int standIn = socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int caller = socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    socklen_t boundLen = blen;
    const bool ok =
        standIn >= 0 && caller >= 0 && bind(standIn, reinterpret_cast<sockaddr*>(&b), blen) == 0 &&
        listen(standIn, 4) == 0 &&
        getsockname(standIn, reinterpret_cast<sockaddr*>(&b), &boundLen) == 0 &&
        connect(caller, reinterpret_cast<sockaddr*>(&b), boundLen) == 0 && dup2(standIn, fd) == fd;
    if (!ok) daemonlog::Error("stop: new sessions cannot be turned away: %s", strerror(errno));
    if (standIn >= 0) close(standIn);
    if (caller >= 0) close(caller);
    if (!dir.empty()) {
        unlink((dir + "/s").c_str());
        rmdir(dir.c_str());
    }
}

// Serves on the listening socket the service manager holds (socket
// activation), so that the socket and the connections waiting on it
// outlive this process: a restart or an upgrade refuses nothing, the next
// process takes the queue over.  libmilter opens its sockets itself and
// takes none from outside, so it opens a stand-in of the same family (a
// unix socket in a private directory of the base, or an ephemeral port on
// loopback), and the inherited socket is put in its place under the same
// descriptor number (dup2): libmilter then accepts on the inherited one.
// The stand-in's path is not the real one, so libmilter's removal of its
// socket file at the stop never touches the socket the MTA reaches.  Runs
// before any other thread exists.
bool TakeOverSocket(const Options& o, int inherited, std::string& address) {
    address = SocketAddressText(inherited);
    sockaddr_storage a = {};
    socklen_t len = sizeof a;
    if (getsockname(inherited, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        daemonlog::Error("start: the socket of the service manager has no address: %s",
                         strerror(errno));
        return false;
    }
    std::string standIn, dir;
    if (a.ss_family == AF_UNIX) {
        std::string pattern = o.base + "/.listen-XXXXXX";
        if (!mkdtemp(&pattern[0])) {
            daemonlog::Error("start: cannot make %s: %s", pattern.c_str(), strerror(errno));
            return false;
        }
        dir = pattern;
        standIn = "unix:" + dir + "/s";
    } else if (a.ss_family == AF_INET) {
        standIn = "inet:0@[127.0.0.1]";
    } else if (a.ss_family == AF_INET6) {
        standIn = "inet6:0@[::1]";
    } else {
        daemonlog::Error(
            "start: the socket of the service manager is of family %d, not unix or "
            "inet",
            static_cast<int>(a.ss_family));
        return false;
    }
    const std::set<int> before = ListeningSockets();
    const bool opened = smfi_setconn(const_cast<char*>(standIn.c_str())) == MI_SUCCESS &&
                        smfi_opensocket(1) == MI_SUCCESS;
    int target = -1;
    for (int fd : ListeningSockets())
        if (!before.count(fd)) target = target < 0 ? fd : -2;
    bool ok = opened && target >= 0 && dup2(inherited, target) == target &&
              fcntl(target, F_SETFD, FD_CLOEXEC) == 0;
    if (!ok)
        daemonlog::Error(
            "start: libmilter's socket cannot be replaced by the one of the service "
            "manager%s%s",
            opened ? "" : ": libmilter cannot open its stand-in ", opened ? "" : standIn.c_str());
    close(inherited);
    if (!dir.empty()) {
        unlink((dir + "/s").c_str());
        rmdir(dir.c_str());
    }
    return ok;
}

// How long the stop may take, within systemd's TimeoutStopSec=90 of the
// unit: libmilter notices the stop within about 5 s, the messages being
// checked get up to kDrainMs for their answers (then a temporary failure),
// the filters up to kQuitMs for their final reports; the hand-over of the
// generated mail has the rest.
constexpr int kDrainMs = 30 * 1000;
constexpr int kQuitMs = 30 * 1000;
// The MTA's sessions open at the stop (connected, between messages) get up
// to kSessionsMs to end before the filters stop: a session cut off would
// have its next message deferred.  Connections still waiting on a socket
// the service manager holds are the next process's; the MTA gives each 30 s
// (Postfix's milter_command_timeout) for the first reply, within which the
// stop (libmilter's 5 s, this wait, the filters' final reports) and the
// next start stay.
constexpr int kSessionsMs = 10 * 1000;

// Returns -1 to go on serving, else the exit status.
int ParseOptions(int argc, char** argv, Options& o) {
    std::string sendmail;
    for (const std::string& word : o.sendmail) sendmail += (sendmail.empty() ? "" : " ") + word;
    OptionTable table(
        "tarnwick-milter",
        "usage: tarnwick-milter --base DIR --filter PROGRAM [options]\n"
        "Runs Tarnwick-AV and/or Tarnwick-AS for an MTA speaking the milter protocol.\n"
        "Stop with SIGTERM: the filters get QUIT and their final reports are mailed.\n"
        "SIGHUP (systemctl reload): the filters take their edited settings and whitelist.\n"
        "The options are read at the start only: restart after a change (a socket the\n"
        "service manager holds, tarnwick-milter.socket, refuses nothing meanwhile).\n"
        "\n",
        "", kVersion, 'h', 'V');
    table.Add({
        TextOption("base", "DIR",
                   "base directory: Queue/, Submitted/, whitelist.txt and each filter's "
                   "working directory Work/NAME/ live here",
                   &o.base)
            .Short('b')
            .Required(),
        TextOption("filter", "PROGRAM",
                   "path of a filter program (Tarnwick-AV, Tarnwick-AS); give it once per "
                   "filter; its settings file lies beside it; at most 4",
                   [&o](const char* path) {
                       o.filters.push_back(Absolute(path));
                       return true;
                   })
            .Short('f')
            .Required(),
        NumberOption("timeout", "SECONDS",
                     "longest wait for the filters' answers; a filter that holds a request "
                     "longer is killed and started again",
                     1, 86400, &o.host.timeoutSec)
            .Short('t'),
        TextOption("on-failure", "[PROGRAM=]WHAT",
                   "what a filter's failure or silence does: tempfail (451 4.7.1), accept or "
                   "reject; for every filter, or with PROGRAM= for the filter of that program "
                   "name; repeatable (default: tempfail, Tarnwick-AS=accept)",
                   [&o](const char* text) {
                       std::string error;
                       return o.host.onFailure.Add(text, error) ||
                              Fail((std::string("--on-failure ") + text).c_str(), error.c_str());
                   })
            .Short('o'),
        ChoiceOption("order", "HOW",
                     "how the filters are asked, in --filter order: staggered (the first, then "
                     "the others once it lets the message on or after 5 ms), serial (one after "
                     "the other, stopping at the first reject or discard) or parallel (all at "
                     "once);",
                     {"staggered", "serial", "parallel"},
                     [&o](size_t choice) {
                         o.host.order = choice == 0   ? milter::Order::Staggered
                                        : choice == 1 ? milter::Order::Serial
                                                      : milter::Order::Parallel;
                     })
            .Default("staggered"),
        FlagOption("serial", "the same as --order serial",
                   [&o] { o.host.order = milter::Order::Serial; })
            .Short('S'),
        TextOption("sendmail", "CMD",
                   "sendmail program for generated mail, with its own arguments separated by "
                   "blanks",
                   [&o](const char* command) {
                       o.sendmail.clear();
                       std::string s = command;
                       for (size_t p = 0; p < s.size();) {
                           size_t e = s.find(' ', p);
                           if (e == std::string::npos) e = s.size();
                           if (e > p) o.sendmail.push_back(s.substr(p, e - p));
                           p = e + 1;
                       }
                       return !o.sendmail.empty() || Fail("--sendmail is empty", nullptr);
                   })
            .Short('m')
            .Default(sendmail),
        TextOption("submit-to", "ADDRESS",
                   "hand generated mail to the MTA over SMTP at HOST:PORT ([v6]:PORT) or "
                   "unix:/path instead of running sendmail (for a unit with NoNewPrivileges=, "
                   "where the set-group-ID sendmail of Postfix cannot run)",
                   [&o](const char* address) {
                       std::string why;
                       o.submitTo = address;
                       return milter::ParseSubmitAddress(address, o.submitTarget, why) ||
                              Fail((std::string("--submit-to ") + address).c_str(), why.c_str());
                   }),
        NumberOption("sendmail-timeout", "SECONDS",
                     "longest hand-over of one generated message (a sendmail run, or the SMTP "
                     "exchange of --submit-to); sendmail is killed then, the connection closed, "
                     "and the message tried again later",
                     1, 3600, &o.sendmailTimeoutSec),
        FlagOption("keep-header-fields",
                   "leave incoming header fields named like the filters' own in the message "
                   "(by default they are removed before the filters' fields are added)",
                   &o.host.keepHeaderFields)
            .Short('k'),
        NumberOption("reject-score", "N",
                     "refuse (550 5.7.1) a message Tarnwick-AS rates N or more; "
                     "a whitelisted sender is never refused (default: off)",
                     0, 100, [&o](uint64_t n) { o.host.policy.rejectScore = static_cast<int>(n); }),
        NumberOption("hold-score", "N",
                     "put a message Tarnwick-AS rates N or more, and below "
                     "--reject-score, in the MTA's hold queue (default: off)",
                     0, 100, [&o](uint64_t n) { o.host.policy.holdScore = static_cast<int>(n); }),
        ChoiceOption("on-virus", "WHAT",
                     "what Tarnwick-AV's refusal of an infected message does: reject (as the "
                     "filter says) or hold (the message goes to the MTA's hold queue with the "
                     "virus name as the reason);",
                     {"reject", "hold"},
                     [&o](size_t choice) { o.host.policy.holdInfected = choice == 1; })
            .Default("reject"),
        FlagOption("trust-authenticated",
                   "mail of an authenticated SMTP session (the MTA's {auth_authen}) is not "
                   "rated by Tarnwick-AS; the virus scan still runs",
                   &o.host.policy.trustAuthenticated),
        CheckedTextOption("trust-network", "CIDR",
                          "mail from a client in this IPv4 or IPv6 network (ADDRESS/PREFIX) "
                          "is not rated by Tarnwick-AS; the virus scan still runs; repeatable",
                          [&o](const char* text, std::string& why) {
                              milter::Network n;
                              if (!milter::ParseNetwork(text, n, why)) return false;
                              o.host.policy.trustedNetworks.push_back(n);
                              return true;
                          }),
        TextOption("figures-file", "PATH",
                   "the host's own figures in the Prometheus text format, written there (a "
                   "new file renamed into place) every --figures-every seconds and at the "
                   "stop; \"none\" for none",
                   &o.figuresFile)
            .Default(kDefaultFigures),
        NumberOption("figures-every", "SECONDS", "how often the figures file is written", 1, 3600,
                     &o.figuresEverySec),
        FlagOption("debug", "log every answer and start the filters with -debug", &o.debug)
            .Short('d'),
    });
    table.Add(SocketOptionRows(o.socket, {"SPEC",
                                          "milter socket: unix:/path, or inet:PORT@HOST (any "
                                          "local user could then speak for the MTA)",
                                          kDefaultSocket, 's'}));
    table.SetMaxOperands(0);
    table.SetComplaint([](const std::string& text) { daemonlog::Error("%s", text.c_str()); });
    ParseOrExit(table, argc, argv);
    if (o.filters.size() > 4) return Fail("at most 4 filters", nullptr), 2;
    for (const std::string& name : o.host.onFailure.Named()) {
        bool known = false;
        for (const std::string& f : o.filters)
            known = known || f.compare(f.rfind('/') + 1, std::string::npos, name) == 0;
        if (!known)
            return Fail(("--on-failure names " + name + ", which no --filter runs").c_str(),
                        nullptr),
                   2;
    }
    milter::PolicySettings& policy = o.host.policy;
    if (policy.ScoreLevels()) {
        const char* option = policy.rejectScore >= 0 ? "--reject-score" : "--hold-score";
        std::string spam;
        for (const std::string& f : o.filters)
            if (milter::RoleOfProgram(f) == milter::FilterRole::kSpamRating) spam = f;
        if (spam.empty())
            return Fail((std::string(option) + " wants a --filter running Tarnwick-AS").c_str(),
                        nullptr),
                   2;
        if (milter::ScoreFieldOf(spam).name.empty())
            return Fail((std::string(option) + ": the Header setting of " +
                         milter::SettingsFileOf(spam) + " gives no field with the score (^1)")
                            .c_str(),
                        nullptr),
                   2;
    }
    o.base = Absolute(o.base);
    o.host.baseDir = o.base;
    return -1;
}

// SIGHUP asks for a reload, SIGTERM and SIGINT for the stop.  libmilter's
// signal thread takes them with sigwait() and would stop at once on any of
// them, so the main thread alone keeps them unblocked, with handlers: the
// kernel gives a process's signal to its main thread first when that
// thread takes it, and smfi_main() runs on a thread of its own.  The stop
// then turns new sessions away first, lets the open ones end, and only
// then stops libmilter (smfi_stop).
int hupFd = -1;
std::atomic<bool> served{false};
std::atomic<bool> stopAsked{false};

void OnHangup(int) {
    const uint64_t one = 1;
    const int saved = errno;
    if (write(hupFd, &one, sizeof one) < 0) {
        // The counter is non-zero already: the reload comes anyway.
    }
    errno = saved;
}

void OnStop(int) {
    stopAsked = true;
    OnHangup(0);
}

// --on-virus hold reads Tarnwick-AV's settings: in Mode Reject the field
// its Mode AddHeader would add names what was found on the release, and a
// notification of the recipients would tell them the held message was not
// delivered; Mode Discard names nothing and is not held.  What does not fit
// is said at the start (the settings stay the administrator's).
void HoldInfectedWith(const std::string& program, milter::PolicySettings& policy) {
    const milter::VirusFilterSettings v = milter::ReadVirusFilterSettings(program);
    if (!v.readable) return;  // the filter itself says why it cannot start
    if (!v.addHeader.empty()) policy.virusField = v.addHeader;
    policy.virusCaption = v.caption;
    const std::string file = milter::SettingsFileOf(program);
    if (v.mode == 'D')
        daemonlog::Warn(
            "start: --on-virus hold: %s has Mode = \"Discard\": infected mail is "
            "discarded, not held; Mode = \"AddHeader\" holds it with its field",
            file.c_str());
    else if (v.notifies)
        daemonlog::Warn(
            "start: --on-virus hold: %s has NotifyRecipients = \"Yes\" in "
            "RejectOptions: the recipients of a held message are told it was not "
            "delivered; with \"No\" (or Mode = \"AddHeader\") they learn of it "
            "when it is released, with the field that names what was found",
            file.c_str());
}

// The checker of the filters' settings: beside this program in a build
// tree, in /usr/bin where the package puts it (this program is in
// /usr/sbin).
std::string CheckerPath() {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string path(self, static_cast<size_t>(n));
        path = path.substr(0, path.rfind('/') + 1) + "tarnwick-check";
        if (access(path.c_str(), X_OK) == 0) return path;
    }
    return "/usr/bin/tarnwick-check";
}

}  // namespace

// --syslog is looked for before the options are read, so that what is
// wrong with them goes where the administrator looks.
bool SyslogAsked(int argc, char** argv) {
    for (int i = 1; i < argc && strcmp(argv[i], "--") != 0; ++i)
        if (strcmp(argv[i], "--syslog") == 0) return true;
    return false;
}

int main(int argc, char** argv) {
    daemonlog::SetName("tarnwick-milter");
    if (SyslogAsked(argc, argv)) daemonlog::UseSyslog();
    // Static: the callbacks read the settings until the process ends.
    static Options o;
    int status = ParseOptions(argc, argv, o);
    if (status >= 0) return status;
    daemonlog::SetDebug(o.debug);

    // libmilter's signal thread takes these with sigwait(); every other
    // thread, ours included, must keep them blocked.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&stopSignals, s);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::string why;
    const int inherited = ServiceManagerSocket(why);
    if (inherited == -2) {
        daemonlog::Error("start: %s", why.c_str());
        return 1;
    }
    daemonlog::Log("start: %s, base %s, socket %s, timeout %d s", kVersion, o.base.c_str(),
                   inherited >= 0 ? "of the service manager" : o.socket.path.c_str(),
                   o.host.timeoutSec);
    if (!EnsureDirectory(o.base, 0750) || !EnsureDirectory(milter::QueueDir(o.base), 0750) ||
        !EnsureDirectory(o.base + "/Submitted", 0770))
        return 1;
    // Queue files of a previous run belong to messages the MTA still holds
    // and will offer again; nobody else reads them.
    if (int removed = milter::ClearQueue(o.base))
        daemonlog::Log("start: removed %d queue file(s) of an earlier run", removed);

    // Never destroyed: libmilter's threads may still be inside a callback
    // when smfi_main() returns, and the process ends right after anyway.
    // Static, so that an early return leaves it reachable, not leaked.
    static milter::Filters& filters = *new milter::Filters(o.host);
    std::vector<std::string> filterArgs;
    if (o.debug) filterArgs.push_back("-debug");
    for (const std::string& f : o.filters) {
        if (access(f.c_str(), X_OK) != 0) {
            daemonlog::Error("start: filter %s cannot be run: %s", f.c_str(), strerror(errno));
            return 1;
        }
        filters.Add(f, filterArgs);
    }
    for (size_t i = 0; i < filters.Count(); ++i)
        if (!milter::PrepareFilterWorkDir(o.base, filters.Name(i))) return 1;
    for (size_t i = 0; i < filters.Count(); ++i)
        daemonlog::Log(
            "start: filter %s, on failure %s", filters.Name(i).c_str(),
            milter::OnFailureName(o.host.onFailure.For(filters.Name(i), filters.Role(i))));
    for (size_t i = 0; i < filters.Count() && o.host.policy.holdInfected; ++i)
        if (filters.Role(i) == milter::FilterRole::kVirusScan)
            HoldInfectedWith(filters.Child(i).Program(), o.host.policy);
    {
        const milter::PolicySettings& p = o.host.policy;
        std::string levels;
        if (p.rejectScore >= 0) levels += ", refused from score " + std::to_string(p.rejectScore);
        if (p.holdScore >= 0) levels += ", held from score " + std::to_string(p.holdScore);
        for (size_t i = 0; i < filters.Count() && p.ScoreLevels(); ++i)
            if (filters.Role(i) == milter::FilterRole::kSpamRating)
                daemonlog::Log("start: spam score read from field %s%s",
                               milter::ScoreFieldOf(filters.Child(i).Program()).name.c_str(),
                               levels.c_str());
        if (p.holdInfected) daemonlog::Log("start: infected mail is held, not refused");
        for (const milter::Network& n : p.trustedNetworks)
            daemonlog::Log("start: mail from %s is not rated", n.text.c_str());
        if (p.trustAuthenticated)
            daemonlog::Log("start: mail of authenticated sessions is not rated");
    }
    if (!milter::RegisterMilter(o.host, filters)) {
        daemonlog::Error("start: libmilter does not take the callbacks");
        return 1;
    }
    const std::set<int> before = ListeningSockets();
    if (inherited >= 0) {
        std::string address;
        if (!TakeOverSocket(o, inherited, address)) return 1;
        daemonlog::Log("start: listening on %s, the socket the service manager holds",
                       address.c_str());
    } else if (smfi_setconn(const_cast<char*>(o.socket.path.c_str())) != MI_SUCCESS ||
               !OpenSocket(o)) {
        daemonlog::Error("start: cannot listen on %s", o.socket.path.c_str());
        return 1;
    }
    // The sessions accepted on it are told by its address.
    std::string listening;
    int listenFd = -1;
    for (int fd : ListeningSockets())
        if (!before.count(fd)) {
            listening = SocketAddressText(fd, true);
            listenFd = fd;
        }
    milter::Submitter submitter(o.base + "/Submitted", o.sendmail, o.sendmailTimeoutSec);
    if (!o.submitTo.empty()) submitter.UseSmtp(o.submitTarget, o.submitTo);
    if (!submitter.Start()) return 1;
    // The reports of a restart the reload makes are not mailed: the
    // administrator asked for it, the log says so, and a crash still reports.
    filters.OnPlannedRestart(
        [&submitter](const std::string& tag, bool begun) { submitter.PlannedRestart(tag, begun); });
    filters.StartAll();
    milter::Figures& figures = milter::HostFigures();
    if (o.figuresFile != "none") {
        std::vector<std::string> names;
        for (size_t i = 0; i < filters.Count(); ++i) names.push_back(filters.Name(i));
        figures.SetFilters(names);
        figures.StartExport(Absolute(o.figuresFile), o.figuresEverySec * 1000);
    }

    hupFd = eventfd(0, EFD_CLOEXEC);
    struct sigaction hangup = {};
    hangup.sa_handler = OnHangup;
    sigemptyset(&hangup.sa_mask);
    sigaction(SIGHUP, &hangup, nullptr);
    struct sigaction stop = {};
    stop.sa_handler = OnStop;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);
    int rc = MI_FAILURE;
    std::thread serving([&rc] {
        rc = smfi_main();
        served = true;
        OnHangup(0);
    });
    pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);

    NotifyServiceManager("READY=1");
    daemonlog::Log("start: ready, %zu filter(s)", filters.Count());
    const std::string checker = CheckerPath();
    for (;;) {
        uint64_t count;
        if (read(hupFd, &count, sizeof count) < 0 && errno == EINTR) continue;
        if (served || stopAsked) break;
        milter::ReloadFilters(filters, o.host, checker);
    }
    NotifyServiceManager("STOPPING=1");
    if (!served && listenFd >= 0) {
        StopAccepting(listenFd, o.base);
        const int atStop = OpenSessions(listening);
        daemonlog::Log("stop: no new sessions taken; %d open one(s) may end first", atStop);
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kSessionsMs);
        int open = atStop;
        while (open > 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            open = OpenSessions(listening);
        }
        if (open > 0)
            daemonlog::Warn("stop: %d session(s) of the MTA still open after %d s are cut off",
                            open, kSessionsMs / 1000);
    }
    smfi_stop();
    serving.join();
    if (int left = milter::DrainMessages(std::min(o.host.timeoutSec * 1000 + 1000, kDrainMs))) {
        daemonlog::Warn("stop: %d message(s) still waiting for answers get a temporary failure",
                        left);
        filters.AbandonAll();
        milter::DrainMessages(2000);
    }
    daemonlog::Log("stop: stopping the filters");
    filters.StopAll(kQuitMs);
    submitter.Stop();
    figures.StopExport();
    daemonlog::Log("stop: finished");
    return rc == MI_SUCCESS ? 0 : 1;
}
