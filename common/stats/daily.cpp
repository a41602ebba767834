// Daily report: the activity of the period since the previous report,
// mailed by the first check after local midnight and once at shutdown; the
// statistics start afresh afterwards.
//
// Inputs: the clock (the command loop calls the check after every block of
// input and every idle second, so the usual path is one time() call and a
// cached hour), the DailyReport section of the settings in force, the
// counters and lists.  The statistics lock is held from the Enabled check to the end
// of the writing.  Main thread only.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "common/base/log.h"
#include "common/base/process.h"
#include "common/config/cfgf.h"
#include "common/config/settings.h"
#include "common/mail/mail.h"
#include "common/stats/stats.h"

namespace {

constexpr time_t minEmptyPeriod = 3600;

// The check runs many times a second while input flows; localtime only
// needs to run when the second changes.
int localHour(time_t now) {
    static time_t cachedSecond = -1;  // main thread only
    static int cachedHour = 0;
    if (now != cachedSecond) {
        struct tm tm;
        cachedHour = localtime_r(&now, &tm) ? tm.tm_hour : 1;
        cachedSecond = now;
    }
    return cachedHour;
}

void printSeconds(FILE* out, const char* label, uint64_t millis) {
    fprintf(out, "%s: %3llu.%03llu sec.\n", label, static_cast<unsigned long long>(millis / 1000),
            static_cast<unsigned long long>(millis % 1000));
}

// Sorted and printed when wanted; emptied by the caller once the report is
// submitted.
void listTable(FILE* out, reportObject& list, bool print, const char* heading, const char* column,
               const char* what, int32_t max) {
    if (print) {
        list.SortForReport();
        fprintf(out, "\n\n%s %s:\n\n", thisProcess->listTitle, heading);
        fprintf(out, "      #       %%  %s\n", column);
        int32_t printed = list.PrintItems(out, max);
        if (list.nItems > printed)
            fprintf(out, "      (... %ld %s truncated)\n", static_cast<long>(list.nItems - printed),
                    what);
        fputs("-----------------\n", out);
        fprintf(out, "%7d %s total\n\n", list.nTotal, what);
    }
}

// The period's line of the history file, up to the program's own fields:
// "2026-12-07 start=... end=... at=midnight messages=... scan_*_ms=...".
std::string historyLine(const scanCounters::figures& figures, time_t start, time_t now,
                        bool final) {
    char day[16] = "1970-01-01";
    struct tm tm;
    if (localtime_r(&start, &tm)) strftime(day, sizeof day, "%Y-%m-%d", &tm);
    const uint64_t avg =
        figures.messages > 0 ? figures.timeTotal / static_cast<uint64_t>(figures.messages) : 0;
    char text[256];
    snprintf(text, sizeof text,
             "%s start=%lld end=%lld at=%s messages=%d scan_min_ms=%llu scan_avg_ms=%llu "
             "scan_max_ms=%llu",
             day, static_cast<long long>(start), static_cast<long long>(now),
             final ? "shutdown" : "midnight", figures.messages,
             static_cast<unsigned long long>(figures.timeMin), static_cast<unsigned long long>(avg),
             static_cast<unsigned long long>(figures.timeMax));
    return text;
}

// Appends one whole line with one write: lines of earlier periods are never
// touched, and a link put in the file's place is not followed.  A failure
// costs the line, never the filter.
void appendHistory(const std::string& line) {
    const std::string path = HistoryFilePath();
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        int err = errno;
        PrintMsg("* unable to append to %s: %s\n", path.c_str(), strerror(err));
        return;
    }
    ssize_t n;
    do {
        n = write(fd, line.data(), line.size());
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(line.size())) {
        int err = n < 0 ? errno : ENOSPC;
        PrintMsg("* unable to append to %s: %s\n", path.c_str(), strerror(err));
    }
    close(fd);
}

}  // namespace

void statistics::endPeriod(bool listsOnly) {
    sourceList_.Clear();
    targetList_.Clear();
    if (!listsOnly) scanFigures_.TakeAndReset();
    if (section_) section_->Reset(listsOnly);
}

bool statistics::writeReport(const commonSettings& settings, time_t now, bool final,
                             std::string& history) {
    const dailyReportSettings& conf = settings.daily;
    std::string path;
    filePtr out =
        OpenTempFile(settings.submittedDirName, MailPrefix("daily").c_str(), 0, ".tmp", path);
    if (!out) {
        int err = errno;
        PrintMsg("* Can't create temp file %s, errno=%d\n", path.c_str(), err);
        return false;
    }
    FILE* f = out.get();
    conf.notes.Report({"From", "To", "Subject", "ExtraHeaders"});

    const scanCounters::figures figures = scanFigures_.Peek();

    const std::string periodStart = mkDate(period.prevReportTime);
    std::string subject = conf.subject;
    SubstStr(subject, 1, periodStart.c_str());
    WriteMailHeader(
        f, {MailHeader("From: ", conf.from.c_str()), MailHeader("To: ", conf.to.c_str()),
            MailHeader("Subject: ", subject.c_str()), MailExtraHeaders(conf.extraHeaders.c_str())});

    fprintf(f, "Velmora Quillon %s plugin activity report.\n\n", thisProcess->productName);
    fprintf(f, "Period start: %s\n", periodStart.c_str());
    fprintf(f, "Period end: %s\n\n", mkDate(now).c_str());

    // A clock set back must not print a huge unsigned uptime.
    const uint64_t up = now > startupTime ? static_cast<uint64_t>(now - startupTime) : 0;
    fprintf(f, "Uptime: %lud %02dh %02dm %02ds\n\n", static_cast<unsigned long>(up / 86400),
            static_cast<int>(up % 86400 / 3600), static_cast<int>(up % 3600 / 60),
            static_cast<int>(up % 60));

    if (period.prevReportTime < startupTime) {
        fputs("Warning: the daily statistics may be inaccurate because the plugin\nwas restarted",
              f);
        if (period.restartTime != 0)
            fprintf(f, " somewhere around %s\n\n", mkDate(period.restartTime).c_str());
        else
            fputs(" during the reporting period.\n\n", f);
    }

    if (section_) section_->Report(f, figures.messages);

    if (figures.messages > 0) {
        fputs("Scanning time:\n", f);
        printSeconds(f, "Min", figures.timeMin);
        printSeconds(f, "Avg", figures.timeTotal / static_cast<uint64_t>(figures.messages));
        printSeconds(f, "Max", figures.timeMax);
        fputs("\n", f);
    }

    listTable(f, sourceList_, doReportSources_, "Sources", "Source", "sources", conf.sourcesMax);
    listTable(f, targetList_, doReportTargets_, "Targets", "Target", "targets", conf.targetsMax);
    fputs("\n", f);

    if (!SubmitTempFile(std::move(out), path)) return false;
    history = historyLine(figures, period.prevReportTime, now, final);
    if (section_) section_->History(history);
    history += '\n';
    endPeriod(false);
    return true;
}

std::string HistoryFilePath() {
    // Beside the statistics file, wherever StatDumpFile puts it.
    const std::string& name = CurrentSettings()->statDumpFileName;
    const std::string stats = workPath + (name.empty() ? thisProcess->statFileName : name);
    const size_t slash = stats.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "" : stats.substr(0, slash + 1);
    return dir + thisProcess->historyFileName;
}

void statistics::DailyReport(bool final) {
    DailyReportAt(final, time(nullptr));
}

void statistics::DailyReportAt(bool final, time_t now) {
    const int hour = localHour(now);
    if (period.prevReportTime == 0) period.prevReportTime = startupTime;
    if (hour >= 1) {
        period.canMakeReport = true;
        if (!final) return;
    } else if (!final && !period.canMakeReport) {
        return;
    }
    period.canMakeReport = false;

    int32_t messages;
    {
        twLock lock(mutex_);
        messages = scanFigures_.Peek().messages;
    }
    if (messages == 0 && now - period.prevReportTime < minEmptyPeriod) return;

    auto settings = CurrentSettings();
    const dailyReportSettings& conf = settings->daily;
    // Each setting is reported as it is looked up: its type error (kept
    // from the reading), then its absence.
    conf.notes.Report({"DailyReport"});
    if (!conf.present) cfgfFileError(settings->fileName, "Missing DailyReport={...};");

    bool written;
    std::string history;
    {
        twLock reportLock(mutex_);
        conf.notes.Report({"Enabled"});
        if (!conf.enabled) {
            // The period moves on and the figures keep growing, but the
            // counted lists start afresh: they must not grow without end.
            endPeriod(true);
            written = true;
        } else {
            conf.notes.Report(
                {"ReportSources", "ReportTargets", "ReportSourcesMax", "ReportTargetsMax"});
            doReportSources_ = conf.reportSources;
            doReportTargets_ = conf.reportTargets;
            PrintMsg("* Generating daily report message\n");
            written = writeReport(*settings, now, final, history);
            if (written && hour == 0) period.restartTime = 0;
        }
    }
    // When no file could be made, the figures stay for the next report, and
    // so does the period start that they belong to.
    if (!written) return;
    period.prevReportTime = now;
    // StatDumpInterval = 0 keeps the program directory free of statistics
    // files, the history included.
    if (!history.empty() && settings->statDumpInterval != 0) appendHistory(history);
    // The statistics file tells a restart which period its figures belong
    // to: write it at once, so reported figures are never taken up again.
    if (!final) {
        period.prevDumpTime = 0;
        DumpAt(false, now);
    }
}
