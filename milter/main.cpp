// tarnwick-milter: plays the Velmora server's part for Tarnwick-AV and
// Tarnwick-AS behind a milter socket, so Postfix or Sendmail can run them.
// Start-up, serving and shutdown; the work lives in the modules.
#include <libmilter/mfapi.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <set>
#include <string>
#include <thread>
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
#include "milter/mta_sessions.h"
#include "milter/policy.h"
#include "milter/reload.h"
#include "milter/roles.h"
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

// How long the stop may take, within systemd's TimeoutStopSec=90 of the
// unit: libmilter notices the stop within about 5 s, the messages being
// checked get up to kDrainMs for their answers (then a temporary failure),
// the filters up to kQuitMs for their final reports; the hand-over of the
// generated mail has the rest.
constexpr int kDrainMs = 30 * 1000;
constexpr int kQuitMs = 30 * 1000;

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

}  // namespace

int main(int argc, char** argv) {
    daemonlog::SetName("tarnwick-milter");
    if (milter::SyslogAsked(argc, argv)) daemonlog::UseSyslog();
    // Static: the callbacks read the settings until the process ends.
    static milter::HostOptions o;
    int status = milter::ParseOptions(argc, argv, o);
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
    if (!milter::RegisterMilter(o.host, filters)) {
        daemonlog::Error("start: libmilter does not take the callbacks");
        return 1;
    }
    const std::set<int> before = milter::ListeningSockets();
    if (inherited >= 0) {
        std::string address;
        if (!milter::TakeOverSocket(o, inherited, address)) return 1;
        daemonlog::Log("start: listening on %s, the socket the service manager holds",
                       address.c_str());
    } else if (smfi_setconn(const_cast<char*>(o.socket.path.c_str())) != MI_SUCCESS ||
               !milter::OpenSocket(o)) {
        daemonlog::Error("start: cannot listen on %s", o.socket.path.c_str());
        return 1;
    }
    // The sessions accepted on it are told by its address.
    std::string listening;
    int listenFd = -1;
    for (int fd : milter::ListeningSockets())
        if (!before.count(fd)) {
            listening = milter::SocketAddressText(fd, true);
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
    int rc = MI_FAILURE;
    std::thread serving([&rc] {
        rc = smfi_main();
        served = true;
        OnHangup(0);
    });
    pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);

    NotifyServiceManager("READY=1");
    daemonlog::Log("start: ready, %zu filter(s)", filters.Count());
    const std::string checker = milter::CheckerPath();
    for (;;) {
        uint64_t count;
        if (read(hupFd, &count, sizeof count) < 0 && errno == EINTR) continue;
        if (served || stopAsked) break;
        milter::ReloadFilters(filters, o.host, checker);
    }
    NotifyServiceManager("STOPPING=1");
    if (!served && listenFd >= 0) milter::LetSessionsEnd(listenFd, listening, o.base);
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
