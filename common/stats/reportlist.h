// Counted name lists: distinct names with a count each and a running total,
// put in name order for the statistics file and sorted by count for the
// report.  A name is found through a hash index on its counting key, so a
// list of many thousand recipients costs one probe per count, not a search.
//
// Names that carry a bracketed numeric part compare on the text before "["
// and the first three numbers inside only, so sources from one /24 network
// are counted as one item.  Names live in 32768-byte blocks freed together.
#ifndef TARNWICK_COMMON_STATS_REPORTLIST_H
#define TARNWICK_COMMON_STATS_REPORTLIST_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "common/base/threads.h"

struct reportItem {
    int32_t count;
    const char* name;      // points into the list's name store
    int32_t bracket = -1;  // offset of the first "[" in name, -1 when none
    uint32_t hash = 0;     // of the counting key (see reportlist.cpp)
};

struct reportBlock {
    std::unique_ptr<reportBlock> next;
    char text[32768];
};

struct reportObject {
    int32_t nItems = 0;
    int32_t nTotal = 0;
    int32_t nAllocated = 0;
    std::vector<reportItem> items;
    std::unique_ptr<reportBlock> firstBlock;
    reportBlock* lastBlock = nullptr;
    int32_t blockUsed = 0;
    int32_t blockSize = 32768;
    // Open-addressing index over items: item number + 1, 0 for a free slot.
    // Rebuilt after every reordering of items.
    std::vector<int32_t> slots;
    bool slotsValid = false;
    bool inNameOrder = true;  // items[0..nItems) are in reportItemCmp order
};

// The statistics lock.  Guards every counted list (including a program's
// own, such as the anti-virus program's virus names), the scan counters
// (scanFigures), the report flags and a program's own statistics section
// while it is dumped or reported.  The anti-spam score counters are
// guarded by it too, so that a reply counts its score, names and time in
// one hold.  Lock order, for the whole process: reportMutex before the
// settings lock (the score report looks up the settings in force); the
// pending-request lock (pendingRequests) and the engine link lock are taken
// alone; the console lock (mtx_print) is innermost and held only for one
// write.
extern twMutex reportMutex;

// Guarded by reportMutex.  (The lists are handed to the functions below by
// reference, which the lock marks cannot follow; the functions say which
// side holds the lock.)
extern reportObject reportSourceList;
extern reportObject reportTargetList;

// Most distinct names a list holds; further names are counted together
// under reportOtherName (which may be the one item past the bound).
constexpr int32_t maxReportListNames = 100000;
constexpr const char* reportOtherName = "Other";

// Takes reportMutex.  A name too long for a block is cut to fit.
void ReportAddItem(reportObject& list, const char* name, int32_t count) EXCLUDES(reportMutex);
// The same for a caller that holds reportMutex (several counts, one lock).
void ReportAddItemLocked(reportObject& list, const char* name, int32_t count) REQUIRES(reportMutex);
// Takes no lock: the caller holds reportMutex once other threads run.
void ReportClearList(reportObject& list);
int reportItemCmp(const char* a, const char* b);
int cmpReportItems(const reportItem& a, const reportItem& b);
// Sorts the first nItems items in report order (caller holds reportMutex).
void ReportSortList(reportObject& list);
// Puts the items in name order, as the statistics file keeps them (caller
// holds reportMutex).  Cheap when nothing was added out of order.
void ReportOrderByName(reportObject& list);

// Percentage of count in total as hundredths, truncated (1 of 3 gives 3333).
// A total of 0 or less gives 0.
int64_t ReportPercent(int32_t count, int32_t total);
// Writes "%7d %3d.%02d%%  %s\n" for the first `limit` items in their
// current order; returns how many were written (caller holds reportMutex).
int32_t ReportPrintItems(FILE* out, const reportObject& list, int32_t limit);

#endif
