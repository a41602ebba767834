// The pending-request list and the request path steps both programs share.
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
#include <ctime>
#include <stdexcept>

#include "common/base/log.h"
#include "common/base/process.h"
#include "common/engine/engine.h"

pendingRequests pending;

namespace {

constexpr int32_t none = -1;
// Slots beyond this many are given back once the list runs empty, and
// strings grown past keepCapacity by an odd request are not kept in a slot.
constexpr size_t keepSlots = 1024;
constexpr size_t keepCapacity = 1024;

void copyItem(scanListItem& to, const scanListItem& from) {
    // A reused entry that once held an envelope of megabytes (a message
    // without a blank line near its top) gives that memory back.
    if (to.envelope.capacity() > 65536 && from.envelope.size() <= keepCapacity)
        std::string().swap(to.envelope);
    to.id = from.id;
    to.serial = from.serial;
    to.token.assign(from.token);
    to.msgPath.assign(from.msgPath);
    to.scanPath.assign(from.scanPath);
    to.start = from.start;
    to.envLen = from.envLen;
    to.envelope.assign(from.envelope);
    to.deadlineMs = from.deadlineMs;
}

int64_t monotonicMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Main thread: the timeout in force for new requests, in milliseconds.
int64_t requestTimeoutMs = 120000;

}  // namespace

size_t pendingRequests::chainOf(int32_t serial) const {
    // Serials mostly count up by one; multiplying spreads any other pattern.
    return (static_cast<uint32_t>(serial) * 2654435761u) & (chains_.size() - 1);
}

// Appends slot `at` behind the last entry of its chain.
void pendingRequests::linkSlot(int32_t at) {
    slots_[at].next = none;
    int32_t* link = &chains_[chainOf(slots_[at].item.serial)];
    while (*link != none) link = &slots_[*link].next;
    *link = at;
}

void pendingRequests::growChains() {
    size_t want = std::max<size_t>(64, chains_.size());
    while (want < slots_.size() * 2) want *= 2;
    if (want == chains_.size()) return;
    std::vector<int32_t> old(want, none);
    old.swap(chains_);
    // Chain by chain and in chain order, so entries of one serial keep
    // their order in the new chain.
    for (int32_t head : old) {
        for (int32_t at = head; at != none;) {
            int32_t next = slots_[at].next;
            linkSlot(at);
            at = next;
        }
    }
}

void pendingRequests::releaseSlot(int32_t at) {
    scanListItem& item = slots_[at].item;
    if (item.deadlineMs != 0) --withDeadline_;
    for (std::string* text : {&item.token, &item.msgPath, &item.scanPath, &item.envelope}) {
        if (text->capacity() > keepCapacity)
            std::string().swap(*text);
        else
            text->clear();
    }
    slots_[at].used = false;
    freeSlots_.push_back(at);
    if (--usedSlots_ == 0 && slots_.size() > keepSlots) {
        // A backlog has drained: give its memory back.
        std::vector<slot>().swap(slots_);
        std::vector<int32_t>().swap(freeSlots_);
        std::vector<int32_t>().swap(chains_);
        std::deque<std::pair<uint64_t, int32_t>>().swap(order_);
        lanes_.clear();
    }
    dropAnswered();
}

bool pendingRequests::live(const std::pair<uint64_t, int32_t>& entry) const {
    const auto [id, at] = entry;
    return static_cast<size_t>(at) < slots_.size() && slots_[at].used && slots_[at].item.id == id;
}

void pendingRequests::dropAnswered() {
    while (!order_.empty() && !live(order_.front())) order_.pop_front();
}

bool pendingRequests::takeLocked(int32_t serial, uint64_t id, scanListItem* out) {
    if (chains_.empty()) return false;
    for (int32_t* link = &chains_[chainOf(serial)]; *link != none; link = &slots_[*link].next) {
        const int32_t at = *link;
        const scanListItem& item = slots_[at].item;
        if (item.serial != serial || (id != 0 && item.id != id)) continue;
        copyItem(*out, item);
        *link = slots_[at].next;
        releaseSlot(at);
        return true;
    }
    return false;
}

uint64_t pendingRequests::Append(const scanListItem& item) {
    twLock lock(mutex_);
    int32_t at;
    if (!freeSlots_.empty()) {
        at = freeSlots_.back();
        freeSlots_.pop_back();
    } else {
        at = static_cast<int32_t>(slots_.size());
        slots_.emplace_back();
        growChains();
    }
    copyItem(slots_[at].item, item);
    slots_[at].item.id = nextId_++;
    order_.emplace_back(slots_[at].item.id, at);
    slots_[at].used = true;
    ++usedSlots_;
    if (item.deadlineMs != 0) {
        ++withDeadline_;
        if (lanes_.empty() || lanes_.back().lastDeadlineMs > item.deadlineMs) lanes_.emplace_back();
        lanes_.back().entries.emplace_back(slots_[at].item.id, at);
        lanes_.back().lastDeadlineMs = item.deadlineMs;
    }
    linkSlot(at);
    return slots_[at].item.id;
}

bool pendingRequests::Take(int32_t serial, scanListItem* out) {
    twLock lock(mutex_);
    return takeLocked(serial, 0, out);
}

bool pendingRequests::TakeId(int32_t serial, uint64_t id, scanListItem* out) {
    twLock lock(mutex_);
    return takeLocked(serial, id, out);
}

std::vector<scanListItem> pendingRequests::Snapshot() {
    twLock lock(mutex_);
    std::vector<scanListItem> all;
    all.reserve(usedSlots_);
    for (const slot& s : slots_)
        if (s.used) all.push_back(s.item);
    std::sort(all.begin(), all.end(),
              [](const scanListItem& a, const scanListItem& b) { return a.id < b.id; });
    return all;
}

bool pendingRequests::Oldest(scanListItem* out) {
    twLock lock(mutex_);
    dropAnswered();
    if (order_.empty()) return false;
    copyItem(*out, slots_[order_.front().second].item);
    return true;
}

bool pendingRequests::TakeOverdue(int64_t nowMs, scanListItem* out) {
    twLock lock(mutex_);
    if (withDeadline_ == 0) {
        lanes_.clear();
        return false;
    }
    for (size_t i = 0; i < lanes_.size();) {
        auto& entries = lanes_[i].entries;
        while (!entries.empty() && !live(entries.front())) entries.pop_front();
        // An emptied lane goes, unless it is the newest: appends continue it.
        if (entries.empty() && i + 1 < lanes_.size()) {
            lanes_.erase(lanes_.begin() + static_cast<std::ptrdiff_t>(i));
            continue;
        }
        if (!entries.empty()) {
            const auto [id, at] = entries.front();
            if (slots_[at].item.deadlineMs <= nowMs) {
                entries.pop_front();
                return takeLocked(slots_[at].item.serial, id, out);
            }
        }
        ++i;
    }
    return false;
}

size_t pendingRequests::Size() {
    twLock lock(mutex_);
    return usedSlots_;
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
    item.serial = static_cast<int32_t>(strtol(token, nullptr, 10));
    item.token.assign(token);
    item.msgPath.assign(path);
    item.scanPath.clear();
    item.start = {};
    item.envLen = 0;
    if (item.envelope.capacity() > 65536) std::string().swap(item.envelope);
    item.envelope.clear();
    item.deadlineMs = requestTimeoutMs > 0 ? monotonicMs() + requestTimeoutMs : 0;
    return true;
}

void SetRequestTimeout(int32_t seconds) {
    requestTimeoutMs = seconds > 0 ? static_cast<int64_t>(seconds) * 1000 : 0;
}

void AnswerOverdueRequests(void (*discard)(const scanListItem&)) {
    thread_local scanListItem taken;
    const int64_t now = monotonicMs();
    while (pending.TakeOverdue(now, &taken)) {
        if (discard) discard(taken);
        PrintMsg("%d FAILURE engine timeout\n", taken.serial);
    }
}

bool EngineBusy(const char* token, size_t frameBytes) {
    if (EngineSendRoom(frameBytes)) return false;
    PrintMsg("%s FAILURE engine busy\n", token);
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
        if (!pending.TakeId(item.serial, item.id, &taken)) return;  // answered meanwhile
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
