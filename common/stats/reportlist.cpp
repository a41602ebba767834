// Counted name lists (virus names, message sources, message targets).
//
// Inputs: names from the verdict handlers, the envelope parser and the
// statistics file; counts are signed 32-bit and saturate instead of
// wrapping.  Names live in 32768-byte blocks, so a name of 32768 bytes or
// more is cut to 32767 bytes (envelope names are at most 98 bytes; only an
// engine could send a longer virus name).  Every list is guarded by
// the statistics lock, which the callers hold.
#include "common/stats/reportlist.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

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

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

int byteCompare(const char* a, const char* b) {
    int r = strcmp(a, b);
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

// Copies the name (len bytes, already cut to fit a block) into the block
// chain and returns where it now lives, with a zero byte behind it.
const char* storeName(reportObject& list, const char* name, size_t len) {
    if (!list.lastBlock || len >= static_cast<size_t>(list.blockSize - list.blockUsed)) {
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

// reportItemCmp with the "[" of each name already found (null: none):
// Add finds the new name's once, and each stored name keeps its
// own in its item.
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

const char* bracketOf(const reportItem& item) {
    return item.bracket < 0 ? nullptr : item.name + item.bracket;
}

int cmpNamesOf(const reportItem& a, const reportItem& b) {
    return compareNames(a.name, bracketOf(a), b.name, bracketOf(b));
}

// The counting key is what compareNames looks at: the whole name, or for a
// name with "[" the text before it and the first three numbers behind it,
// read the way compareNames reads them (a step with no digit reads 0, on
// either side alike).  Names that compare equal hash equal, so the index
// finds the item the name counts for.  The text is taken eight bytes at a
// time: this runs for every name of every message.
struct bracketNumbers {
    long long n[3];
    // Bytes from "[" on that the reading looked at: the three numbers read
    // depend on these bytes alone.  A name that ends before the third
    // number counts its zero byte too.
    size_t span;
};

bracketNumbers readBracketNumbers(const char* bracket) {
    bracketNumbers numbers;
    const char* p = bracket + 1;
    for (long long& n : numbers.n) {
        n = readNumber(p);
        if (*p) ++p;
    }
    numbers.span = static_cast<size_t>(p - bracket) + (*p ? 0 : 1);
    return numbers;
}

uint64_t mixWord(uint64_t h, uint64_t w) {
    h = (h ^ w) * 0x9e3779b97f4a7c15ull;
    return h ^ (h >> 32);
}

uint32_t keyHash(const char* text, size_t textLen, const bracketNumbers* numbers) {
    uint64_t h = mixWord(0xcbf29ce484222325ull, textLen);
    if (textLen >= 8) {
        size_t at = 0;
        for (; at + 8 < textLen; at += 8) {
            uint64_t w;
            memcpy(&w, text + at, 8);
            h = mixWord(h, w);
        }
        // The last eight bytes, overlapping the word before when the length
        // is no multiple of eight: the length is hashed already.
        uint64_t w;
        memcpy(&w, text + textLen - 8, 8);
        h = mixWord(h, w);
    } else {
        uint64_t w = 0;
        for (size_t i = 0; i < textLen; ++i)
            w |= static_cast<uint64_t>(static_cast<unsigned char>(text[i])) << (8 * i);
        h = mixWord(h, w);
    }
    if (numbers) {
        h = mixWord(h, 0x100);  // a bracketed key never equals an unbracketed one
        for (long long n : numbers->n) h = mixWord(h, static_cast<uint64_t>(n));
    }
    // The index takes the low bits: fold the high ones into them.
    h = (h ^ (h >> 33)) * 0xff51afd7ed558ccdull;
    return static_cast<uint32_t>(h ^ (h >> 33));
}

void rebuildSlots(reportObject& list) {
    size_t want = 64;
    while (want < static_cast<size_t>(list.nItems) * 2 + 2) want *= 2;
    list.slots.assign(want, 0);
    const size_t mask = want - 1;
    for (int32_t i = 0; i < list.nItems; ++i) {
        size_t at = list.items[i].hash & mask;
        while (list.slots[at] != 0) at = (at + 1) & mask;
        list.slots[at] = i + 1;
    }
    list.slotsValid = true;
}

}  // namespace

int reportItemCmp(const char* a, const char* b) {
    return compareNames(a, strchr(a, '['), b, strchr(b, '['));
}

int cmpReportItems(const reportItem& a, const reportItem& b) {
    if (a.count != b.count) return a.count > b.count ? -1 : 1;
    return compareNames(a.name, bracketOf(a), b.name, bracketOf(b));
}

namespace {

// Counts name, len bytes with no zero byte among them and already cut to
// fit a block; bracket is its first "[" or null.  A name with "[" must have
// a zero byte behind it: its numbers are read up to the first byte that is
// not a digit.
void countName(reportObject& list, const char* name, size_t len, const char* bracket,
               int32_t count) {
    if (list.nAllocated == 0) {
        list.items.assign(growStep, reportItem{0, nullptr});
        list.nAllocated = growStep;
    }
    if (!list.slotsValid || static_cast<size_t>(list.nItems) * 2 + 2 > list.slots.size())
        rebuildSlots(list);
    bracketNumbers numbers{};
    if (bracket) numbers = readBracketNumbers(bracket);
    const size_t keyLen = bracket ? static_cast<size_t>(bracket - name) : len;
    const uint32_t hash = keyHash(name, keyLen, bracket ? &numbers : nullptr);
    const size_t mask = list.slots.size() - 1;
    size_t at = hash & mask;
    for (; list.slots[at] != 0; at = (at + 1) & mask) {
        reportItem& item = list.items[list.slots[at] - 1];
        if (item.hash != hash) continue;
        // What compareNames calls equal: the same bytes when either name
        // has no "[", else the same text before it and the same numbers.
        bool same;
        if (!bracket || item.bracket < 0) {
            same = static_cast<size_t>(item.length) == len && memcmp(item.name, name, len) == 0;
        } else if (strncmp(item.name, name, keyLen + numbers.span) == 0) {
            same = true;  // the same bytes as far as the reading looked
        } else {
            const bracketNumbers theirs = readBracketNumbers(bracketOf(item));
            same = static_cast<size_t>(item.bracket) == keyLen &&
                   memcmp(item.name, name, keyLen) == 0 && theirs.n[0] == numbers.n[0] &&
                   theirs.n[1] == numbers.n[1] && theirs.n[2] == numbers.n[2];
        }
        if (same) {
            item.count = addSaturated(item.count, count);
            return;
        }
    }

    // A full list counts every further name together: one hostile engine
    // reply or envelope must not grow it without end.
    if (list.nItems >= maxReportListNames &&
        std::string_view(name, len) != std::string_view(reportOtherName)) {
        countName(list, reportOtherName, strlen(reportOtherName), nullptr, count);
        return;
    }

    if (list.nItems + 2 >= list.nAllocated) {
        list.nAllocated += growStep;
        list.items.resize(static_cast<size_t>(list.nAllocated), reportItem{0, nullptr});
    }
    const char* stored = storeName(list, name, len);
    const int32_t index = list.nItems++;
    list.items[index] =
        reportItem{count, stored, bracket ? static_cast<int32_t>(bracket - name) : -1, hash,
                   static_cast<int32_t>(len)};
    list.slots[at] = index + 1;
    // Names mostly arrive in no order; one comparison tells whether the
    // list is still in name order without sorting it.
    if (list.inNameOrder && index > 0 && cmpNamesOf(list.items[index - 1], list.items[index]) >= 0)
        list.inNameOrder = false;
}

}  // namespace

void reportObject::Add(const char* name, int32_t count) {
    // Looked up as it will be stored: an overlong name is cut first, so a
    // second count of it finds the item instead of adding another.
    const size_t maxLen = static_cast<size_t>(blockSize) - 1;
    const size_t len = strnlen(name, maxLen + 1);
    nTotal = addSaturated(nTotal, count);
    if (len > maxLen) {
        const std::string cut(name, maxLen);
        countName(*this, cut.c_str(), maxLen, strchr(cut.c_str(), '['), count);
        return;
    }
    countName(*this, name, len, static_cast<const char*>(memchr(name, '[', len)), count);
}

void reportObject::Add(std::string_view name, int32_t count) {
    const size_t maxLen = static_cast<size_t>(blockSize) - 1;
    if (name.size() > maxLen) name = name.substr(0, maxLen);
    nTotal = addSaturated(nTotal, count);
    // The numbers behind a "[" are read up to a byte that is not a digit:
    // such a name is looked up from a copy with a zero byte behind it.
    const auto* bracket = static_cast<const char*>(memchr(name.data(), '[', name.size()));
    if (bracket) {
        char small[128];  // envelope names fit: no allocation per message
        std::string large;
        char* copy = small;
        if (name.size() >= sizeof small) {
            large.assign(name);
            copy = large.data();
        } else {
            memcpy(small, name.data(), name.size());
            small[name.size()] = '\0';
        }
        countName(*this, copy, name.size(), copy + (bracket - name.data()), count);
        return;
    }
    countName(*this, name.data(), name.size(), nullptr, count);
}

void reportObject::OrderByName() {
    reportObject& list = *this;
    if (list.inNameOrder) return;
    std::stable_sort(list.items.begin(), list.items.begin() + list.nItems,
                     [](const reportItem& a, const reportItem& b) { return cmpNamesOf(a, b) < 0; });
    list.inNameOrder = true;
    list.slotsValid = false;
}

void reportObject::Clear() {
    reportObject& list = *this;
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
    std::vector<int32_t>().swap(list.slots);
    list.slotsValid = false;
    list.inNameOrder = true;
}

void reportObject::SortForReport() {
    reportObject& list = *this;
    // Stable merge sort: the network-merging order is not a strict weak
    // order for every odd mix of names, and std::sort may run off the range
    // with such a comparator; a merge sort only ever compares inside it.
    std::stable_sort(
        list.items.begin(), list.items.begin() + list.nItems,
        [](const reportItem& a, const reportItem& b) { return cmpReportItems(a, b) < 0; });
    list.slotsValid = false;
    list.inNameOrder = false;
}

int64_t ReportPercent(int32_t count, int32_t total) {
    if (total <= 0 || count <= 0) return 0;
    return static_cast<int64_t>(count) * 10000 / total;
}

int32_t reportObject::PrintItems(FILE* out, int32_t limit) const {
    const reportObject& list = *this;
    int32_t n = std::min(list.nItems, std::max<int32_t>(limit, 0));
    for (int32_t i = 0; i < n; ++i) {
        const reportItem& item = list.items[i];
        int64_t pct = ReportPercent(item.count, list.nTotal);
        fprintf(out, "%7d %3d.%02d%%  %s\n", item.count, static_cast<int>(pct / 100),
                static_cast<int>(pct % 100), item.name);
    }
    return n;
}
