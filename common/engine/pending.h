// Requests waiting for their engine reply, and the scan-time counters.
//
// Both are guarded by scanListMutex, which is held only for the list or
// counter operation itself (no I/O, no other lock taken inside it).  The main
// thread appends; the reader thread takes the oldest entry of a serial when
// its reply arrives.  Lookups by serial use an index, so thousands of pending
// requests behind a slow engine cost no linear scan.  The list keeps copies:
// appending copies the caller's entry in, taking copies it out.
#ifndef TARNWICK_COMMON_ENGINE_PENDING_H
#define TARNWICK_COMMON_ENGINE_PENDING_H

#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct scanListItem {
    uint64_t id = 0;       // unique per entry, set by ScanListAppend
    int32_t seq = 0;       // strtol of the request token; the frame serial
    std::string token;     // the request token as the server sent it
    std::string msgPath;   // the message file path as the request gave it
    std::string scanPath;  // anti-virus: absolute path the engine scans
    struct timespec start {};
    uint64_t envLen = 0;   // bytes of server envelope in the message file
    std::string envelope;  // those bytes, read when the request was prepared
};

extern std::mutex scanListMutex;

// State below is protected by scanListMutex.
extern int32_t nScannedMessagesTotal;
extern uint64_t scanTimeMin, scanTimeMax, scanTimeTotal;

// Each of these takes scanListMutex itself.
uint64_t ScanListAppend(const scanListItem& item);  // returns the entry's id
// Copies the oldest entry of seq into *out and frees it.  A caller may keep
// one `out` for all its calls: its strings keep their capacity (a huge
// envelope's is given back at the next take).
bool ScanListTake(int32_t seq, scanListItem* out);
bool ScanListTakeId(int32_t seq, uint64_t id, scanListItem* out);
std::vector<scanListItem> ScanListSnapshot();  // oldest first
size_t ScanListSize();

// Milliseconds from start to now, as the report counts them.
uint64_t ScanTimeSince(const struct timespec& start);
// Adds one answered message and its scan time to the counters.
void CountScanTime(const struct timespec& start);

// The request path shared by both programs (main thread).

// The first steps of every FILE request: the path must fit and the file
// must exist (see below); then the entry is started afresh with the
// request's serial, token and path (a caller may pass the same entry for
// every request).  False when the server has been answered already.
bool StartRequest(const char* token, const char* path, scanListItem& item, std::string& fullPath);
// Existence test of a message file, with the one-second wait for a file the
// server has not finished placing.  When it stays missing, answers the
// server itself and returns false.
bool WaitForMessageFile(const char* token, const std::string& fullPath);
// Paths travel in 1023-byte fields: a longer one is refused with the same
// FAILURE answer and the system's "File name too long" text.
bool PathFits(const char* token, const std::string& fullPath);
// Appends the entry (setting item.id) and runs send(item).  When sending
// fails, the entry is taken out again, discard(entry) cleans up after it,
// and the server gets "<token> FAILURE <reason>" at once instead of waiting
// forever.
void QueueAndSend(scanListItem& item, const std::function<void(const scanListItem&)>& send,
                  const std::function<void(const scanListItem&)>& discard);
// After a reconnection: sends every pending request again, oldest first.
// Replies already on their way over the old connection may still answer an
// entry first; the later duplicate then finds no entry and is dropped.
void ResendPendingWith(const std::function<void(const scanListItem&)>& send,
                       const std::function<void(const scanListItem&)>& discard);
// A reply that matches no pending request: logged and dropped.
void LogUnmatchedReply(uint32_t serial);

#endif
