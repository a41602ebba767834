// The statistics of the current period: saved to the statistics file while
// running and at shutdown, taken up again at a start on the same day, and
// mailed as the daily report after midnight and at shutdown.
#ifndef TARNWICK_COMMON_STATS_STATS_H
#define TARNWICK_COMMON_STATS_STATS_H

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include "common/stats/reportlist.h"

struct cfgfItem;

// Main thread only.
extern time_t prevReportTime;
extern time_t prevDumpTime;
extern time_t restartTime;
extern bool canMakeReport;
// Set from DailyReport each time a report is made; main thread only.
extern int32_t ReportSourcesMax;
extern int32_t ReportTargetsMax;

// The scan figures of the period being reported.  The report takes them and
// resets the live counters in one scanListMutex section, so a message
// answered while the report is written counts in the next period instead of
// being lost between a read and a reset.  Valid while the report is written;
// guarded by reportMutex.
struct reportScanFigures {
    int32_t messages = 0;
    uint64_t timeMin = 0, timeMax = 0, timeTotal = 0;
};
extern reportScanFigures reportFigures;

// "Mon, 5 Jan 2026 07:08:09", local time; empty if the time has no local
// representation.
std::string mkDate(time_t t);
// Whether two times fall on the same local calendar day.
bool SameLocalDay(time_t a, time_t b);

void DumpReportData(bool final);
void ReadReportData();
void GenerateDailyReport(bool final);

// The same with the current time given, so tests can set the clock.
void DumpReportDataAt(bool final, time_t now);
void ReadReportDataAt(time_t now);
void GenerateDailyReportAt(bool final, time_t now);

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
