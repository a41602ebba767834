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
#include <string_view>
#include <vector>

struct reportItem {
    int32_t count;
    const char* name;      // points into the list's name store
    int32_t bracket = -1;  // offset of the first "[" in name, -1 when none
    uint32_t hash = 0;     // of the counting key (see reportlist.cpp)
    int32_t length = 0;    // of name, without its terminating zero byte
};

struct reportBlock {
    std::unique_ptr<reportBlock> next;
    char text[32768];
};

struct cfgfItem;

// One counted list.  It takes no lock itself: whoever shares a list guards
// it (the statistics object's lists and a program's own are all guarded by
// the statistics lock, common/stats/stats.h), and the operations below run
// with that lock held.
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

    // Counts `count` more of name.  A name too long for a block is cut to fit.
    void Add(const char* name, int32_t count);
    // The same for a name of known length (it holds no zero byte), so that
    // a caller with the length at hand spares the copy and the measuring.
    void Add(std::string_view name, int32_t count);
    void Clear();
    // Sorts the first nItems items in report order.
    void SortForReport();
    // Puts the items in name order, as the statistics file keeps them.
    // Cheap when nothing was added out of order.
    void OrderByName();
    // Writes "%7d %3d.%02d%%  %s\n" for the first `limit` items in their
    // current order; returns how many were written.
    int32_t PrintItems(FILE* out, int32_t limit) const;
    // Writes section={ "name"=count; ... }; for every item, in name order.
    void Dump(FILE* out, const char* section);
    // Adds every entry of a statistics section.  Entries whose value is not
    // a string are skipped; negative counts count as 0.
    void Load(const cfgfItem* dict);
};

// Most distinct names a list holds; further names are counted together
// under reportOtherName (which may be the one item past the bound).
constexpr int32_t maxReportListNames = 100000;
constexpr const char* reportOtherName = "Other";

int reportItemCmp(const char* a, const char* b);
int cmpReportItems(const reportItem& a, const reportItem& b);

// Percentage of count in total as hundredths, truncated (1 of 3 gives 3333).
// A total of 0 or less gives 0.
int64_t ReportPercent(int32_t count, int32_t total);

#endif
