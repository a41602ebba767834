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
#include "common/stats/reportlist.h"

struct cfgfItem;

// A program's own section of the statistics file and the daily report
// ("Viruses" or "Scores").  Dump and Report run with reportMutex held;
// Load runs at start-up on the main thread without it.
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
// Main thread, before the reader thread starts: the section to use.
void UseStatSection(const statSection* section);

// Messages answered with a verdict and their scan times in milliseconds
// (0 in min and max: no value yet).  Not locked itself: the one instance,
// scanFigures, is guarded by reportMutex together with the counted lists,
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
// Guarded by reportMutex.
extern scanCounters scanFigures GUARDED_BY(reportMutex);

// Milliseconds from start to now, as the report counts them (0 when the
// wall clock stepped back).
uint64_t ScanTimeSince(const struct timespec& start);
// Adds one answered message and its scan time (takes reportMutex).
void CountScanTime(const struct timespec& start) EXCLUDES(reportMutex);

// Counts the source ("Unknown" when none) and the recipients of an envelope
// into reportSourceList and reportTargetList, as doReportSources and
// doReportTargets allow (see EnvelopeNames).  Takes reportMutex once.
void ParseEnvelope(const char* data, int64_t length) EXCLUDES(reportMutex);
// The same for a caller that holds reportMutex.
void ParseEnvelopeLocked(const char* data, int64_t length) REQUIRES(reportMutex);
// Set by the daily report from its settings; guarded by reportMutex.
extern bool doReportSources GUARDED_BY(reportMutex);
extern bool doReportTargets GUARDED_BY(reportMutex);

// Where the statistics period stands; main thread only.
struct reportPeriod {
    time_t prevReportTime = 0;   // start of the period (the last report)
    time_t prevDumpTime = 0;     // the last statistics file written
    time_t restartTime = 0;      // when an earlier run of today ended, if known
    bool canMakeReport = false;  // an hour after midnight has passed since the last report
    const statSection* section = nullptr;  // set by UseStatSection
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
// Writes section={ "name"=count; ... }; for every item, in name order
// (caller holds reportMutex).
void DumpReportList(FILE* out, const char* section, reportObject& list);
// Adds every entry of a statistics section to the list.  Entries whose value
// is not a string are skipped; negative counts count as 0.  Takes
// reportMutex through ReportAddItem, so the caller must not hold it.
void LoadReportList(const cfgfItem* dict, reportObject& list);

#endif
