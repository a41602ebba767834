// tarnwick-milter: plays the Velmora server's part for Tarnwick-AV and
// Tarnwick-AS behind a milter socket, so Postfix or Sendmail can run them.
// Start-up, serving and shutdown; the work lives in the modules.
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "common/base/daemonlog.h"
#include "common/base/readiness.h"
#include "milter/callbacks.h"
#include "milter/figures.h"
#include "milter/filter_settings.h"
#include "milter/filters.h"
#include "milter/host_options.h"
#include "milter/host_socket.h"
#include "milter/host_start.h"
#include "milter/mta_server.h"
#include "milter/policy.h"
#include "milter/reload.h"
#include "milter/roles.h"
#include "milter/spool.h"
#include "milter/submitter.h"

namespace {

// How long the stop may take, within systemd's TimeoutStopSec=90 of the
// unit: the MTA's open sessions get up to kSessionsMs to end (a session
// cut off would have its next message deferred; connections still waiting
// on a socket the service manager holds are the next process's, and the
// MTA gives each 30 s, Postfix's milter_command_timeout, for the first
// reply), the messages being checked up to kDrainMs for their answers
// (then a temporary failure), the filters up to kQuitMs for their final
// reports; the hand-over of the generated mail has the rest.
constexpr int kSessionsMs = 10 * 1000;
constexpr int kDrainMs = 30 * 1000;
constexpr int kQuitMs = 30 * 1000;
// Sessions of the MTA at once, each a thread: above Postfix's default
// process limit of 100 smtpd processes, each with its own session.
// Further connections wait in the listening socket's backlog.
constexpr size_t kMaxSessions = 512;

// SIGHUP asks for a reload, SIGTERM and SIGINT for the stop.  Every thread
// but the main one keeps them blocked; the main thread takes them with
// handlers that wake it through an eventfd.  The stop then turns new
// sessions away first and lets the open ones end.
int hupFd = -1;
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

}  // namespace

int main(int argc, char** argv) {
    daemonlog::SetName("tarnwick-milter");
    if (milter::SyslogAsked(argc, argv)) daemonlog::UseSyslog();
    // Static: the callbacks read the settings until the process ends.
    static milter::HostOptions o;
    int status = milter::ParseOptions(argc, argv, o);
    if (status >= 0) return status;
    daemonlog::SetDebug(o.debug);

    // Blocked here, so that every thread started inherits the mask; the
    // main thread alone takes them again once serving.
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
    daemonlog::Log(
        "start: %s, base %s, socket %s, timeout %d s", milter::HostVersion(), o.base.c_str(),
        inherited >= 0 ? "of the service manager" : o.socket.path.c_str(), o.host.timeoutSec);
    if (!milter::EnsureDirectory(o.base, 0750) ||
        !milter::EnsureDirectory(milter::QueueDir(o.base), 0750) ||
        !milter::EnsureDirectory(o.base + "/Submitted", 0770))
        return 1;
    // Queue files of a previous run belong to messages the MTA still holds
    // and will offer again; nobody else reads them.
    if (int removed = milter::ClearQueue(o.base))
        daemonlog::Log("start: removed %d queue file(s) of an earlier run", removed);

    // Never destroyed: a session cut off at the stop may still be inside a
    // callback when the process ends.
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
            milter::HoldInfectedWith(filters.Child(i).Program(), o.host.policy);
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
    milter::ListeningSocket listening;
    if (inherited >= 0) {
        listening.fd = inherited;
        daemonlog::Log("start: listening on %s, the socket the service manager holds",
                       milter::SocketAddressText(inherited).c_str());
    } else if (!milter::OpenSocket(o, listening)) {
        daemonlog::Error("start: cannot listen on %s", o.socket.path.c_str());
        return 1;
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
        figures.StartExport(milter::Absolute(o.figuresFile), o.figuresEverySec * 1000);
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
    // Never destroyed, as the filters: its sessions' threads end on their own.
    static milter::MtaServer& server = *new milter::MtaServer(milter::HostSessions(o.host, filters),
                                                              o.sessionTimeoutSec, kMaxSessions);
    server.OnFailure(hupFd);
    if (!server.Start(listening.fd)) return 1;
    pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);

    NotifyServiceManager("READY=1");
    daemonlog::Log("start: ready, %zu filter(s)", filters.Count());
    const std::string checker = milter::CheckerPath();
    for (;;) {
        uint64_t count;
        if (read(hupFd, &count, sizeof count) < 0 && errno == EINTR) continue;
        if (server.Failed() || stopAsked) break;
        milter::ReloadFilters(filters, o.host, checker);
    }
    NotifyServiceManager("STOPPING=1");
    // The connections not yet taken stay on a socket the service manager
    // holds, for the next process; the open sessions may end first.
    server.StopAccepting();
    milter::RemoveSocketFile(listening);
    const size_t atStop = server.OpenSessions();
    daemonlog::Log("stop: no new sessions taken; %zu open one(s) may end first", atStop);
    const size_t open = server.WaitSessions(std::chrono::steady_clock::now() +
                                            std::chrono::milliseconds(kSessionsMs));
    if (open > 0) {
        daemonlog::Warn("stop: %zu session(s) of the MTA still open after %d s are cut off", open,
                        kSessionsMs / 1000);
        server.CutOff();
    }
    if (int left = milter::DrainMessages(std::min(o.host.timeoutSec * 1000 + 1000, kDrainMs))) {
        daemonlog::Warn("stop: %d message(s) still waiting for answers get a temporary failure",
                        left);
        filters.AbandonAll();
        milter::DrainMessages(2000);
    }
    // What is left of the sessions cut off ends with the answers it had.
    server.WaitSessions(std::chrono::steady_clock::now() + std::chrono::milliseconds(2000));
    server.ShutAll();
    daemonlog::Log("stop: stopping the filters");
    filters.StopAll(kQuitMs);
    submitter.Stop();
    figures.StopExport();
    daemonlog::Log("stop: finished");
    return server.Failed() ? 1 : 0;
}
