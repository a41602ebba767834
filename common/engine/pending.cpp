// The pending-request list.
//
// Entries live in reusable slots, found through a chained hash index on the
// serial; within one chain entries keep the order they came in, so of two
// requests with one serial the older is answered first.  A slot keeps the
// capacity of its strings when it is freed: the main thread fills slots and
// the reader thread copies out of them, so in steady running neither thread
// allocates for the list, and no memory changes threads (which costs the
// allocator a lock each time).
#include "common/engine/pending.h"

#include <algorithm>

#include "common/base/log.h"

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
    to.held = from.held;
}

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
        if (!item.held) {
            // The engine is done with this serial: the next request of it
            // (younger, so further down the chain) may go out now.
            for (int32_t next = *link; next != none; next = slots_[next].next) {
                scanListItem& waiting = slots_[next].item;
                if (waiting.serial != serial) continue;
                if (waiting.held) {
                    waiting.held = false;
                    released_.emplace_back(waiting.id, next);
                    releasedWaiting_.store(true, std::memory_order_relaxed);
                }
                break;
            }
        }
        releaseSlot(at);
        return true;
    }
    return false;
}

uint64_t pendingRequests::Append(const scanListItem& item, bool* held) {
    twLock lock(mutex_);
    bool serialPending = false;
    if (!chains_.empty())
        for (int32_t at = chains_[chainOf(item.serial)]; at != none && !serialPending;
             at = slots_[at].next)
            serialPending = slots_[at].item.serial == item.serial;
    if (held) *held = serialPending;
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
    slots_[at].item.held = serialPending;
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

bool pendingRequests::TakeReleased(scanListItem* out) {
    twLock lock(mutex_);
    while (!released_.empty()) {
        const auto entry = released_.front();
        released_.erase(released_.begin());
        if (!live(entry)) continue;  // answered meanwhile (its deadline passed)
        copyItem(*out, slots_[entry.second].item);
        releasedWaiting_.store(!released_.empty(), std::memory_order_relaxed);
        return true;
    }
    releasedWaiting_.store(false, std::memory_order_relaxed);
    return false;
}

size_t pendingRequests::Size() {
    twLock lock(mutex_);
    return usedSlots_;
}

void LogUnmatchedReply(uint32_t serial) {
    PrintMsg("* no pending request for serial %u, reply dropped\n", serial);
}
