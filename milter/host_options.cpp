#include "milter/host_options.h"

#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "common/base/daemonlog.h"
#include "common/base/options.h"
#include "common/base/version.h"
#include "milter/filter_settings.h"
#include "milter/policy.h"
#include "milter/roles.h"
#include "milter/smtp_submit.h"

namespace milter {

namespace {

const std::string versionLine = std::string("tarnwick-milter ") + tarnwickVersion;
const char* const kVersion = versionLine.c_str();

// The --filter help below and docs/milter.md give the number.
static_assert(kMaxFilters == 4, "the --filter help says at most 4");

// Through the daemon log from the first line on, so that --syslog gets
// the complaints about the command line too.
bool Fail(const char* what, const char* detail) {
    daemonlog::Error("%s%s%s", what, detail ? ": " : "", detail ? detail : "");
    return false;
}

}  // namespace

const char* HostVersion() {
    return kVersion;
}

std::string Absolute(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) return path;
    return std::string(cwd) + "/" + path;
}

int ParseOptions(int argc, char** argv, HostOptions& o) {
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
        NumberOption("session-timeout", "SECONDS",
                     "longest silence of the MTA within a session (while the host waits for "
                     "its next command) before the host ends the session",
                     1, 86400, &o.sessionTimeoutSec),
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
    if (o.filters.size() > kMaxFilters)
        return Fail(("at most " + std::to_string(kMaxFilters) + " filters").c_str(), nullptr), 2;
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

bool SyslogAsked(int argc, char** argv) {
    for (int i = 1; i < argc && strcmp(argv[i], "--") != 0; ++i)
        if (strcmp(argv[i], "--syslog") == 0) return true;
    return false;
}

}  // namespace milter
