// The request path both programs share: the steps of a FILE request before
// and after the engine, and the FAILURE answers given without a reply.
#include "common/host/request.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include "common/base/log.h"
#include "common/base/process.h"
#include "common/engine/engine.h"

namespace {

int64_t monotonicMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Main thread: the timeout in force for new requests, in milliseconds.
int64_t requestTimeoutMs = 120000;

// strtol(token, nullptr, 10), with the usual token (a few digits and
// nothing else in front) read without the locale and overflow machinery.
long tokenNumber(const char* token) {
    long value = 0;
    int digits = 0;
    for (const char* p = token; *p >= '0' && *p <= '9'; ++p) {
        if (++digits > 18) return strtol(token, nullptr, 10);  // might not fit
        value = value * 10 + (*p - '0');
    }
    return digits > 0 ? value : strtol(token, nullptr, 10);
}

}  // namespace

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
    item.serial = static_cast<int32_t>(tokenNumber(token));
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

void AnswerRefusedReply(const scanListItem* claimed, uint32_t serial) {
    if (claimed == nullptr)
        LogUnmatchedReply(serial);
    else
        PrintMsg("%d FAILURE too many report items\n", claimed->serial);
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
    bool held = false;
    item.id = ScanListAppend(item, &held);
    if (!held) sendOrAnswer(item, send, discard);
}

void SendReleasedRequests(const std::function<void(const scanListItem&)>& send,
                          const std::function<void(const scanListItem&)>& discard) {
    if (!pending.ReleasedWaiting()) return;
    thread_local scanListItem released;
    while (pending.TakeReleased(&released)) sendOrAnswer(released, send, discard);
}

void ResendPendingWith(const std::function<void(const scanListItem&)>& send,
                       const std::function<void(const scanListItem&)>& discard) {
    for (const scanListItem& item : ScanListSnapshot())
        if (!item.held) sendOrAnswer(item, send, discard);
}
