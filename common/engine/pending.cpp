// The pending-request list, the scan-time counters and the request path
// steps both programs share.
//
// Entries live in reusable slots, found through a chained hash index on the
// serial; within one chain entries keep the order they came in, so of two
// requests with one serial the older is answered first.  A slot keeps the
// capacity of its strings when it is freed: the main thread fills slots and
// the reader thread copies out of them, so in steady running neither thread
// allocates for the list, and no memory changes threads (which costs the
// allocator a lock each time).
#include "common/engine/pending.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "common/host/host.h"
#include "common/host/log.h"

std::mutex scanListMutex;

// State below is protected by scanListMutex.
int32_t nScannedMessagesTotal = 0;
uint64_t scanTimeMin = 0, scanTimeMax = 0, scanTimeTotal = 0;

namespace {

constexpr int32_t none = -1;
// Slots beyond this many are given back once the list runs empty, and
// strings grown past keepCapacity by an odd request are not kept in a slot.
constexpr size_t keepSlots = 1024;
constexpr size_t keepCapacity = 1024;

struct slot {
    scanListItem item;
    int32_t next = none;  // next slot in the same hash chain
    bool used = false;
};

// State below is protected by scanListMutex.
std::vector<slot> slots;
std::vector<int32_t> freeSlots;
std::vector<int32_t> chains;  // first slot of each chain; size is a power of two
size_t usedSlots = 0;
uint64_t nextId = 1;

size_t chainOf(int32_t seq) {
    // Serials mostly count up by one; multiplying spreads any other pattern.
    return (static_cast<uint32_t>(seq) * 2654435761u) & (chains.size() - 1);
}

// Appends slot `at` behind the last entry of its chain.
void linkSlot(int32_t at) {
    slots[at].next = none;
    int32_t* link = &chains[chainOf(slots[at].item.seq)];
    while (*link != none) link = &slots[*link].next;
    *link = at;
}

void growChains() {
    size_t want = std::max<size_t>(64, chains.size());
    while (want < slots.size() * 2) want *= 2;
    if (want == chains.size()) return;
    std::vector<int32_t> old(want, none);
    old.swap(chains);
    // Chain by chain and in chain order, so entries of one serial keep
    // their order in the new chain.
    for (int32_t head : old) {
        for (int32_t at = head; at != none;) {
            int32_t next = slots[at].next;
            linkSlot(at);
            at = next;
        }
    }
}

void copyItem(scanListItem& to, const scanListItem& from) {
    // A reused entry that once held an envelope of megabytes (a message
    // without a blank line near its top) gives that memory back.
    if (to.envelope.capacity() > 65536 && from.envelope.size() <= keepCapacity)
        std::string().swap(to.envelope);
    to.id = from.id;
    to.seq = from.seq;
    to.token.assign(from.token);
    to.msgPath.assign(from.msgPath);
    to.scanPath.assign(from.scanPath);
    to.start = from.start;
    to.envLen = from.envLen;
    to.envelope.assign(from.envelope);
}

void releaseSlot(int32_t at) {
    scanListItem& item = slots[at].item;
    for (std::string* text : {&item.token, &item.msgPath, &item.scanPath, &item.envelope}) {
        if (text->capacity() > keepCapacity)
            std::string().swap(*text);
        else
            text->clear();
    }
    slots[at].used = false;
    freeSlots.push_back(at);
    if (--usedSlots == 0 && slots.size() > keepSlots) {
        // A backlog has drained: give its memory back.
        std::vector<slot>().swap(slots);
        std::vector<int32_t>().swap(freeSlots);
        std::vector<int32_t>().swap(chains);
    }
}

bool takeLocked(int32_t seq, uint64_t id, scanListItem* out) {
    if (chains.empty()) return false;
    for (int32_t* link = &chains[chainOf(seq)]; *link != none; link = &slots[*link].next) {
        const int32_t at = *link;
        const scanListItem& item = slots[at].item;
        if (item.seq != seq || (id != 0 && item.id != id)) continue;
        copyItem(*out, item);
        *link = slots[at].next;
        releaseSlot(at);
        return true;
    }
    return false;
}

}  // namespace

uint64_t ScanListAppend(const scanListItem& item) {
    std::lock_guard<std::mutex> lock(scanListMutex);
    int32_t at;
    if (!freeSlots.empty()) {
        at = freeSlots.back();
        freeSlots.pop_back();
    } else {
        at = static_cast<int32_t>(slots.size());
        slots.emplace_back();
        growChains();
    }
    copyItem(slots[at].item, item);
    slots[at].item.id = nextId++;
    slots[at].used = true;
    ++usedSlots;
    linkSlot(at);
    return slots[at].item.id;
}

bool ScanListTake(int32_t seq, scanListItem* out) {
    std::lock_guard<std::mutex> lock(scanListMutex);
    return takeLocked(seq, 0, out);
}

bool ScanListTakeId(int32_t seq, uint64_t id, scanListItem* out) {
    std::lock_guard<std::mutex> lock(scanListMutex);
    return takeLocked(seq, id, out);
}

std::vector<scanListItem> ScanListSnapshot() {
    std::lock_guard<std::mutex> lock(scanListMutex);
    std::vector<scanListItem> all;
    all.reserve(usedSlots);
    for (const slot& s : slots)
        if (s.used) all.push_back(s.item);
    std::sort(all.begin(), all.end(),
              [](const scanListItem& a, const scanListItem& b) { return a.id < b.id; });
    return all;
}

size_t ScanListSize() {
    std::lock_guard<std::mutex> lock(scanListMutex);
    return usedSlots;
}

uint64_t ScanTimeSince(const struct timespec& start) {
    struct timespec now;
    timespec_get(&now, TIME_UTC);
    int64_t seconds = static_cast<int64_t>(now.tv_sec) - start.tv_sec;
    int64_t nanos = static_cast<int64_t>(now.tv_nsec) - start.tv_nsec;
    if (nanos < 0) {
        seconds -= 1;
        nanos += 1000000000;
    }
    int64_t ms = seconds * 1000 + nanos / 1000000;
    // The wall clock may step back; a negative scan time means nothing.
    return ms > 0 ? static_cast<uint64_t>(ms) : 0;
}

void CountScanTime(const struct timespec& start) {
    uint64_t ms = ScanTimeSince(start);
    std::lock_guard<std::mutex> lock(scanListMutex);
    ++nScannedMessagesTotal;
    if (scanTimeMin == 0 || scanTimeMin > ms) scanTimeMin = ms;
    if (scanTimeMax == 0 || scanTimeMax < ms) scanTimeMax = ms;
    scanTimeTotal += ms;
}

bool WaitForMessageFile(const char* token, const std::string& fullPath) {
    if (access(fullPath.c_str(), F_OK) == 0 || access(fullPath.c_str(), F_OK) == 0) return true;
    struct timespec wait = {1, 0};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
    if (access(fullPath.c_str(), F_OK) == 0) return true;
    PrintMsg("%s FAILURE Unable to check file for existence: %s, error=%s\n", token,
             fullPath.c_str(), strerror(errno));
    return false;
}

bool PathFits(const char* token, const std::string& fullPath) {
    if (fullPath.size() <= maxPathLength) return true;
    PrintMsg("%s FAILURE Unable to check file for existence: %s, error=%s\n", token,
             fullPath.c_str(), strerror(ENAMETOOLONG));
    return false;
}

bool StartRequest(const char* token, const char* path, scanListItem& item, std::string& fullPath) {
    fullPath.assign(curDir).append(path);
    if (!PathFits(token, fullPath) || !WaitForMessageFile(token, fullPath)) return false;
    // The caller may hand in the entry of its previous request: everything
    // but the string capacities starts afresh.
    item.id = 0;
    item.seq = static_cast<int32_t>(strtol(token, nullptr, 10));
    item.token.assign(token);
    item.msgPath.assign(path);
    item.scanPath.clear();
    item.start = {};
    item.envLen = 0;
    if (item.envelope.capacity() > 65536) std::string().swap(item.envelope);
    item.envelope.clear();
    return true;
}

namespace {

void sendOrAnswer(const scanListItem& item, const std::function<void(const scanListItem&)>& send,
                  const std::function<void(const scanListItem&)>& discard) {
    try {
        send(item);
    } catch (const std::exception& e) {
        PrintMsg("* Error: %s\n", e.what());
        scanListItem taken;
        if (!ScanListTakeId(item.seq, item.id, &taken)) return;  // answered meanwhile
        if (discard) discard(taken);
        PrintMsg("%s FAILURE %s\n", taken.token.c_str(), e.what());
    }
}

}  // namespace

void QueueAndSend(scanListItem& item, const std::function<void(const scanListItem&)>& send,
                  const std::function<void(const scanListItem&)>& discard) {
    // The list holds its own copy: once queued, the entry belongs to the
    // list and its reply may take it at any time.
    item.id = ScanListAppend(item);
    sendOrAnswer(item, send, discard);
}

void ResendPendingWith(const std::function<void(const scanListItem&)>& send,
                       const std::function<void(const scanListItem&)>& discard) {
    for (const scanListItem& item : ScanListSnapshot()) sendOrAnswer(item, send, discard);
}

void LogUnmatchedReply(uint32_t serial) {
    PrintMsg("* no pending request for serial %u, reply dropped\n", serial);
}
