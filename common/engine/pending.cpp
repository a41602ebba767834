// The pending-request list, the scan-time counters and the request path
// steps both programs share.
//
// scanList keeps entries oldest first; scanIndex maps a serial to its
// entries in the same order, so a reply finds its entry without walking a
// long list, and of two requests with one serial the older is answered
// first.
#include "common/engine/pending.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <list>
#include <stdexcept>
#include <unordered_map>

#include "common/host/host.h"
#include "common/host/log.h"

std::mutex scanListMutex;

// State below is protected by scanListMutex.
int32_t nScannedMessagesTotal = 0;
uint64_t scanTimeMin = 0, scanTimeMax = 0, scanTimeTotal = 0;

namespace {

using scanListIt = std::list<scanListItem>::iterator;
std::list<scanListItem> scanList;
// Almost always one entry per serial: a vector costs one small allocation
// where a deque costs two, one of them 512 bytes.
std::unordered_map<int32_t, std::vector<scanListIt>> scanIndex;
uint64_t nextId = 1;

bool takeLocked(int32_t seq, uint64_t id, scanListItem* out) {
    auto found = scanIndex.find(seq);
    if (found == scanIndex.end()) return false;
    auto& entries = found->second;
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        if (id != 0 && (*it)->id != id) continue;
        *out = std::move(**it);
        scanList.erase(*it);
        entries.erase(it);
        if (entries.empty()) scanIndex.erase(found);
        return true;
    }
    return false;
}

}  // namespace

uint64_t ScanListAppend(scanListItem item) {
    std::lock_guard<std::mutex> lock(scanListMutex);
    item.id = nextId++;
    uint64_t id = item.id;
    scanList.push_back(std::move(item));
    scanIndex[scanList.back().seq].push_back(std::prev(scanList.end()));
    return id;
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
    return std::vector<scanListItem>(scanList.begin(), scanList.end());
}

size_t ScanListSize() {
    std::lock_guard<std::mutex> lock(scanListMutex);
    return scanList.size();
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
    PrintMsg("%s FAILURE Unable to check file for existence: %s, error=%s\n", token, fullPath.c_str(),
             strerror(errno));
    return false;
}

bool PathFits(const char* token, const std::string& fullPath) {
    if (fullPath.size() <= maxPathLength) return true;
    PrintMsg("%s FAILURE Unable to check file for existence: %s, error=%s\n", token, fullPath.c_str(),
             strerror(ENAMETOOLONG));
    return false;
}

bool StartRequest(const char* token, const char* path, scanListItem& item, std::string& fullPath) {
    fullPath = curDir + path;
    if (!PathFits(token, fullPath) || !WaitForMessageFile(token, fullPath)) return false;
    item.seq = static_cast<int32_t>(strtol(token, nullptr, 10));
    item.token = token;
    item.msgPath = path;
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

void QueueAndSend(scanListItem item, const std::function<void(const scanListItem&)>& send,
                  const std::function<void(const scanListItem&)>& discard) {
    // What send and discard need, without the envelope: once the entry is
    // queued it belongs to the list, and its reply may take it at any time.
    scanListItem queued;
    queued.seq = item.seq;
    queued.token = item.token;
    queued.msgPath = item.msgPath;
    queued.scanPath = item.scanPath;
    queued.start = item.start;
    queued.envLen = item.envLen;
    queued.id = ScanListAppend(std::move(item));
    sendOrAnswer(queued, send, discard);
}

void ResendPendingWith(const std::function<void(const scanListItem&)>& send,
                       const std::function<void(const scanListItem&)>& discard) {
    for (const scanListItem& item : ScanListSnapshot()) sendOrAnswer(item, send, discard);
}

void LogUnmatchedReply(uint32_t serial) {
    PrintMsg("* no pending request for serial %u, reply dropped\n", serial);
}
