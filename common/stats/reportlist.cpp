// Counted name lists (virus names, message sources, message targets).
//
// Inputs: names from the verdict handlers, the envelope parser and the
// statistics file; counts are signed 32-bit and saturate instead of
// wrapping.  Names live in 32768-byte blocks, so a name of 32768 bytes or
// more is cut to 32767 bytes (envelope names are at most 98 bytes; only an
// engine could send a longer virus name).  Every list is guarded by
// reportMutex; ReportAddItem takes it, the other operations expect the
// caller to hold it once the reader thread runs.
#include "common/stats/reportlist.h"

#include <algorithm>
#include <cstring>

std::mutex reportMutex;
reportObject reportVirusesList;
reportObject reportSourceList;
reportObject reportTargetList;

namespace {

constexpr int32_t growStep = 256;

int32_t addSaturated(int32_t a, int32_t b) {
    int64_t sum = static_cast<int64_t>(a) + b;
    if (sum > INT32_MAX) return INT32_MAX;
    if (sum < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(sum);
}

// Reads a run of digits; a huge run saturates (the comparison only needs
// the order of the numbers, and an address part never comes near the cap).
long long readNumber(const char*& p) {
    long long value = 0;
    while (*p >= '0' && *p <= '9') {
        if (value < 1000000000000000LL) value = value * 10 + (*p - '0');
        ++p;
    }
    return value;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int byteCompare(const char* a, const char* b) {
    int r = strcmp(a, b);
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

// Copies the name into the block chain and returns where it now lives.
const char* storeName(reportObject& list, const char* name) {
    size_t len = strlen(name);
    const size_t maxLen = static_cast<size_t>(list.blockSize) - 1;
    if (len > maxLen) len = maxLen;  // cut to fit one block
    if (!list.lastBlock ||
        len >= static_cast<size_t>(list.blockSize - list.blockUsed)) {
        auto block = std::make_unique<reportBlock>();
        reportBlock* raw = block.get();
        if (list.lastBlock)
            list.lastBlock->next = std::move(block);
        else
            list.firstBlock = std::move(block);
        list.lastBlock = raw;
        list.blockUsed = 0;
    }
    char* dest = list.lastBlock->text + list.blockUsed;
    memcpy(dest, name, len);
    dest[len] = '\0';
    list.blockUsed += static_cast<int32_t>(len + 1);
    return dest;
}

}  // namespace

namespace {

// reportItemCmp with the "[" of each name already found (null: none); the
// binary search of ReportAddItem finds the new name's once and keeps each
// stored name's in its item.
int compareNames(const char* a, const char* ba, const char* b, const char* bb) {
    if (!ba || !bb || (ba - a) != (bb - b)) return byteCompare(a, b);
    int prefix = memcmp(a, b, static_cast<size_t>(ba - a));
    if (prefix != 0) return prefix < 0 ? -1 : 1;

    // Only the first three numbers count, so one /24 network is one item.
    const char* pa = ba + 1;
    const char* pb = bb + 1;
    for (int step = 0; step < 3; ++step) {
        if (isDigit(*pa) || isDigit(*pb)) {
            long long na = readNumber(pa);
            long long nb = readNumber(pb);
            if (na != nb) return na < nb ? -1 : 1;
        }
        // Step over the separator, but never past the end of a name.
        if (*pa) ++pa;
        if (*pb) ++pb;
    }
    return 0;
}

const char* bracketOf(const reportItem& item) { return item.bracket < 0 ? nullptr : item.name + item.bracket; }

}  // namespace

int reportItemCmp(const char* a, const char* b) { return compareNames(a, strchr(a, '['), b, strchr(b, '[')); }

int cmpReportItems(const reportItem& a, const reportItem& b) {
    if (a.count != b.count) return a.count > b.count ? -1 : 1;
    return compareNames(a.name, bracketOf(a), b.name, bracketOf(b));
}

void ReportAddItem(reportObject& list, const char* name, int32_t count) {
    std::lock_guard<std::mutex> lock(reportMutex);
    if (list.nAllocated == 0) {
        list.items.assign(growStep, reportItem{0, nullptr});
        list.nAllocated = growStep;
    }
    list.nTotal = addSaturated(list.nTotal, count);

    const char* bracket = strchr(name, '[');
    int32_t low = 0;
    int32_t high = list.nItems;
    while (low < high) {
        int32_t middle = low + (high - low) / 2;
        int r = compareNames(name, bracket, list.items[middle].name, bracketOf(list.items[middle]));
        if (r == 0) {
            list.items[middle].count = addSaturated(list.items[middle].count, count);
            return;
        }
        if (r > 0)
            low = middle + 1;
        else
            high = middle;
    }

    if (list.nItems + 2 >= list.nAllocated) {
        list.nAllocated += growStep;
        list.items.resize(static_cast<size_t>(list.nAllocated), reportItem{0, nullptr});
    }
    std::move_backward(list.items.begin() + low, list.items.begin() + list.nItems,
                       list.items.begin() + list.nItems + 1);
    const char* stored = storeName(list, name);
    const char* storedBracket = strchr(stored, '[');  // the cut to fit a block may have removed it
    list.items[low] = reportItem{count, stored, storedBracket ? static_cast<int32_t>(storedBracket - stored) : -1};
    ++list.nItems;
}

void ReportClearList(reportObject& list) {
    std::vector<reportItem>().swap(list.items);
    // Unlink the chain block by block: a recursive destructor over a long
    // chain would eat stack for no reason.
    std::unique_ptr<reportBlock> block = std::move(list.firstBlock);
    while (block) block = std::move(block->next);
    list.lastBlock = nullptr;
    list.blockUsed = 0;
    list.nItems = 0;
    list.nTotal = 0;
    list.nAllocated = 0;
}

void ReportSortList(reportObject& list) {
    // Stable merge sort: the network-merging order is not a strict weak
    // order for every odd mix of names, and std::sort may run off the range
    // with such a comparator; a merge sort only ever compares inside it.
    std::stable_sort(list.items.begin(), list.items.begin() + list.nItems,
                     [](const reportItem& a, const reportItem& b) {
                         return cmpReportItems(a, b) < 0;
                     });
}

int64_t ReportPercent(int32_t count, int32_t total) {
    if (total <= 0 || count <= 0) return 0;
    return static_cast<int64_t>(count) * 10000 / total;
}

int32_t ReportPrintItems(FILE* out, const reportObject& list, int32_t limit) {
    int32_t n = std::min(list.nItems, std::max<int32_t>(limit, 0));
    for (int32_t i = 0; i < n; ++i) {
        const reportItem& item = list.items[i];
        int64_t pct = ReportPercent(item.count, list.nTotal);
        fprintf(out, "%7d %3d.%02d%%  %s\n", item.count, static_cast<int>(pct / 100),
                static_cast<int>(pct % 100), item.name);
    }
    return n;
}
