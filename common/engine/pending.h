// Requests waiting for their engine reply.
//
// The list is one object that owns its lock, held only for the list
// operation itself (no I/O, no other lock taken inside it).  The main
// thread appends; the reader thread takes the oldest entry of a serial when
// its reply arrives.  Lookups by serial use an index, so thousands of pending
// requests behind a slow engine cost no linear scan.  The list keeps copies:
// appending copies the caller's entry in, taking copies it out.
#ifndef TARNWICK_COMMON_ENGINE_PENDING_H
#define TARNWICK_COMMON_ENGINE_PENDING_H

#include <atomic>
#include <cstdint>
#include <ctime>
#include <deque>
#include <mutex>

#include <string>
#include <utility>
#include <vector>
#include "common/base/threads.h"

struct scanListItem {
    uint64_t id = 0;       // unique per entry, set by ScanListAppend
    int32_t serial = 0;    // strtol of the token: the frame serial, printed in answers
    std::string token;     // the request token as the server sent it
    std::string msgPath;   // the message file path as the request gave it
    std::string scanPath;  // anti-virus: absolute path the engine scans
    struct timespec start {};
    uint64_t envLen = 0;     // bytes of server envelope in the message file
    std::string envelope;    // those bytes, read when the request was prepared
    int64_t deadlineMs = 0;  // CLOCK_MONOTONIC milliseconds; 0: waits without limit
    // Not sent yet: an older pending request has the same serial, and a
    // reply names its request by serial alone.  Set by Append.
    bool held = false;
};

// The pending requests.  The main thread appends; the reader thread takes
// the oldest entry of a serial when its reply arrives.
class pendingRequests {
  public:
    // Returns the entry's id.  An entry whose serial an older pending entry
    // has already is held (*held set): it must not be sent until that one
    // is answered, so that the engine never has two requests of one serial
    // and its replies cannot be swapped.  Taking the older entry releases
    // the next of its serial (TakeReleased).
    uint64_t Append(const scanListItem& item, bool* held = nullptr) EXCLUDES(mutex_);
    // Main thread: a copy of an entry released since the last call, to be
    // sent now; false when none.  ReleasedWaiting is the cheap look first.
    bool TakeReleased(scanListItem* out) EXCLUDES(mutex_);
    bool ReleasedWaiting() const { return releasedWaiting_.load(std::memory_order_relaxed); }
    // Copies the oldest entry of serial into *out and frees it.  A caller
    // may keep one `out` for all its calls: its strings keep their capacity
    // (a huge envelope's is given back at the next take).
    bool Take(int32_t serial, scanListItem* out) EXCLUDES(mutex_);
    bool TakeId(int32_t serial, uint64_t id, scanListItem* out) EXCLUDES(mutex_);
    std::vector<scanListItem> Snapshot() EXCLUDES(mutex_);  // oldest first
    size_t Size() EXCLUDES(mutex_);
    // A copy of the oldest pending entry (the one waiting longest); false
    // when none is pending.  Amortised constant time.
    bool Oldest(scanListItem* out) EXCLUDES(mutex_);
    // Takes an entry whose deadline is at or before nowMs.  Only the first
    // live entry of each deadline lane is looked at (see lanes_), so the
    // check costs nothing while replies keep up.
    bool TakeOverdue(int64_t nowMs, scanListItem* out) EXCLUDES(mutex_);

  private:
    struct slot {
        scanListItem item;
        int32_t next = -1;  // next slot in the same hash chain
        bool used = false;
    };
    size_t chainOf(int32_t serial) const REQUIRES(mutex_);
    void linkSlot(int32_t at) REQUIRES(mutex_);
    void growChains() REQUIRES(mutex_);
    void releaseSlot(int32_t at) REQUIRES(mutex_);
    void dropAnswered() REQUIRES(mutex_);
    bool live(const std::pair<uint64_t, int32_t>& entry) const REQUIRES(mutex_);
    bool takeLocked(int32_t serial, uint64_t id, scanListItem* out) REQUIRES(mutex_);

    twMutex mutex_;
    std::vector<slot> slots_ GUARDED_BY(mutex_);
    std::vector<int32_t> freeSlots_ GUARDED_BY(mutex_);
    // First slot of each chain; size is a power of two.
    std::vector<int32_t> chains_ GUARDED_BY(mutex_);
    size_t usedSlots_ GUARDED_BY(mutex_) = 0;
    size_t withDeadline_ GUARDED_BY(mutex_) = 0;  // used slots whose entry has a deadline
    uint64_t nextId_ GUARDED_BY(mutex_) = 1;
    // (id, slot) in the order of appending; entries whose slot no longer
    // holds that id were answered and are dropped from the front.
    std::deque<std::pair<uint64_t, int32_t>> order_ GUARDED_BY(mutex_);
    // Entries with a deadline as (id, slot), in lanes of rising deadlines:
    // one lane while the timeout stays or grows; a reload that shortens it
    // starts another, so newer requests are not held behind older ones'
    // later deadlines.  Answered entries are dropped from the fronts.
    struct lane {
        std::deque<std::pair<uint64_t, int32_t>> entries;
        int64_t lastDeadlineMs = 0;  // of the newest entry appended
    };
    std::vector<lane> lanes_ GUARDED_BY(mutex_);
    // Entries released from holding, as (id, slot), oldest first.
    std::vector<std::pair<uint64_t, int32_t>> released_ GUARDED_BY(mutex_);
    std::atomic<bool> releasedWaiting_{false};
};

// The process's pending requests, used by the functions below.
extern pendingRequests pending;

// Shorthands for the calls on `pending`.
inline uint64_t ScanListAppend(const scanListItem& item, bool* held = nullptr) {
    return pending.Append(item, held);
}
inline bool ScanListTake(int32_t serial, scanListItem* out) {
    return pending.Take(serial, out);
}
inline std::vector<scanListItem> ScanListSnapshot() {
    return pending.Snapshot();
}
inline size_t ScanListSize() {
    return pending.Size();
}

// A reply that matches no pending request: logged and dropped.
void LogUnmatchedReply(uint32_t serial);

#endif
