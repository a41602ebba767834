// The statistics of the current period: saved to the statistics file while
// running and at shutdown, taken up again at a start on the same day, and
// mailed as the daily report after midnight and at shutdown.
#ifndef TARNWICK_COMMON_STATS_STATS_H
#define TARNWICK_COMMON_STATS_STATS_H

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include "common/base/text.h"
#include "common/base/threads.h"
#include "common/stats/reportlist.h"

struct cfgfItem;

// A program's own section of the statistics file and the daily report
// ("Viruses" or "Scores").  Dump and Report run with stats.reportMutex
// held; Load runs at start-up on the main thread without it.
struct statSection {
    const char* name = nullptr;
    void (*Dump)(FILE* out) = nullptr;
    void (*Load)(const cfgfItem* dict) = nullptr;
    // `messages`: the messages answered in the period being reported.
    void (*Report)(FILE* out, int32_t messages) = nullptr;
    // Appends the section's " key=value" fields to the period's history
    // line; runs with reportMutex held, before Reset starts afresh.
    void (*History)(std::string& line) = nullptr;
    // The period ended (the report was submitted): start afresh, only the
    // counted lists when listsOnly (a disabled report).
    void (*Reset)(bool listsOnly) = nullptr;
};

// Messages answered with a verdict and their scan times in milliseconds
// (0 in min and max: no value yet).  Not locked itself: the one instance,
// stats.scanFigures, is guarded by reportMutex with the counted lists,
// so a reply counts its names and its time under one hold of that lock.
class scanCounters {
  public:
    struct figures {
        int32_t messages = 0;
        uint64_t timeMin = 0, timeMax = 0, timeTotal = 0;
    };
    void Count(uint64_t ms);
    const figures& Peek() const { return f_; }
    // The figures so far, the counters starting afresh: a message answered
    // after this counts in the next period instead of being lost.
    figures TakeAndReset();
    // A statistics file's figures; half-known times give no average and
    // are dropped.
    void Load(const figures& from);

  private:
    figures f_;
};
// Milliseconds from start to now, as the report counts them (0 when the
// wall clock stepped back).
uint64_t ScanTimeSince(const struct timespec& start);

// The statistics of the running period, with the lock that guards them.
class statistics {
  public:
    // The statistics lock.  Guards everything below, a program's own
    // counted lists and counters (the anti-virus program's virus names, the
    // anti-spam score counters), and the program's section while it is
    // dumped or reported, so that a reply counts its score, names and time
    // in one hold.  Lock order, for the whole process: reportMutex before
    // the settings lock (the score report looks up the settings in force);
    // the pending-request lock and the engine link lock are taken alone; the
    // console lock (mtx_print) is innermost and held only for one write.
    twMutex reportMutex;

    reportObject sourceList GUARDED_BY(reportMutex);
    reportObject targetList GUARDED_BY(reportMutex);
    scanCounters scanFigures GUARDED_BY(reportMutex);
    // Whether sources and targets are counted: set by the daily report from
    // its settings.
    bool doReportSources GUARDED_BY(reportMutex) = true;
    bool doReportTargets GUARDED_BY(reportMutex) = true;
    // The program's own section; set at start-up (UseSection).
    const statSection* section GUARDED_BY(reportMutex) = nullptr;

    // Main thread, before the reader thread starts: the section to use.
    void UseSection(const statSection* program) EXCLUDES(reportMutex);
    // Empties the sources and targets (start-up).
    void ClearLists() EXCLUDES(reportMutex);
    // Adds one answered message and its scan time.
    void CountScanTime(const struct timespec& start) EXCLUDES(reportMutex);
    // Counts the source ("Unknown" when none) and the recipients of an
    // envelope into the lists, as doReportSources and doReportTargets allow
    // (see ReadEnvelopeNames).  Takes the lock once.
    void CountEnvelope(const char* data, int64_t length) EXCLUDES(reportMutex);
    // The same for a caller that holds the lock (a reply counts its names,
    // its time and the program's own figures in one hold).
    void CountEnvelopeLocked(const char* data, int64_t length) REQUIRES(reportMutex);
};
// The process's statistics.
extern statistics stats;

// Where the statistics period stands; main thread only.
struct reportPeriod {
    time_t prevReportTime = 0;   // start of the period (the last report)
    time_t prevDumpTime = 0;     // the last statistics file written
    time_t restartTime = 0;      // when an earlier run of today ended, if known
    bool canMakeReport = false;  // an hour after midnight has passed since the last report
};
extern reportPeriod period;

void DumpReportData(bool final);
void ReadReportData();
void GenerateDailyReport(bool final);

// The same with the current time given, so tests can set the clock.
void DumpReportDataAt(bool final, time_t now);
void ReadReportDataAt(time_t now);
void GenerateDailyReportAt(bool final, time_t now);

// The history file beside the statistics file of the settings in force.
std::string HistoryFilePath();

// Pieces shared with the programs' own statistics sections.

// A name as a quoted string of the configuration language: a backslash
// before every '"', '\\' and line feed, so that it reads back unchanged.
std::string StatQuote(const char* name);

#endif
