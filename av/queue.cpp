// Tarnwick-AV request queue: every FILE request becomes a pending entry and
// a scan request naming an envelope-free copy of the message in Temp; the
// reader thread takes the engine's replies.
//
// The copy is made by the kernel (copy_file_range) from the end of the
// envelope on, so a message of any size costs only the envelope in memory.
// A copy that cannot be made whole is not used: the engine then scans the
// message file itself rather than a truncated copy.  Anything but a regular
// file is answered at once and never handed on.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "av/av.h"
#include "common/base/log.h"
#include "common/base/owners.h"
#include "common/base/process.h"
#include "common/base/text.h"
#include "common/engine/engine.h"
#include "common/engine/pending.h"
#include "common/engine/worker.h"
#include "common/envelope/queuefile.h"
#include "quillon_se_api.pb.h"

namespace {

// Copies in from `offset` to its end into out; false on any shortfall.
bool copyRest(int in, off_t offset, off_t size, int out) {
    off_t remaining = size - offset;
    bool kernelCopy = true;
    while (remaining > 0) {
        ssize_t n;
        if (kernelCopy) {
            n = copy_file_range(in, &offset, out, nullptr, static_cast<size_t>(remaining), 0);
            if (n < 0 &&
                (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
                kernelCopy = false;
                continue;
            }
        } else {
            char block[65536];
            n = pread(in, block,
                      sizeof block < static_cast<size_t>(remaining)
                          ? sizeof block
                          : static_cast<size_t>(remaining),
                      offset);
            if (n > 0) {
                ssize_t done = 0;
                while (done < n) {
                    ssize_t w = write(out, block + done, static_cast<size_t>(n - done));
                    if (w < 0 && errno == EINTR) continue;
                    if (w <= 0) return false;
                    done += w;
                }
                offset += n;
            }
        }
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;  // the file shrank under us, or the disk is full
        remaining -= n;
    }
    return true;
}

// The whole file is in the head buffer already (the usual small message):
// one write, without the splice machinery behind copy_file_range.
bool writeAllTo(int out, const char* data, size_t len) {
    while (len > 0) {
        ssize_t w = write(out, data, len);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        data += w;
        len -= static_cast<size_t>(w);
    }
    return true;
}

constexpr int maxCopyNames = 100;

// Creates the copy of a request's message in Temp, always a new file of our
// own: O_EXCL never opens what stands at the name (a planted link, or the
// copy of another pending request with the same token), and a name that is
// taken gets a numbered suffix.  The token comes from the server: a "/" in
// it must not lead the copy out of Temp.  The name is built in `name` in
// place (the caller's string keeps its capacity from request to request).
int createCopy(const char* token, std::string& name) {
    name.assign(tempDir).append("message_");
    const size_t tokenAt = name.size();
    name.append(token);
    for (size_t i = tokenAt; i < name.size(); ++i)
        if (name[i] == '/') name[i] = '_';
    const size_t baseLength = name.size();
    for (int n = 0; n < maxCopyNames; ++n) {
        name.resize(baseLength);
        if (n > 0) name.append("-").append(std::to_string(n));
        name.append(".tmp");
        if (name.size() > maxPathLength) return -1;
        int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

}  // namespace

void sendScanRequest(const scanListItem& item) {
    // Main thread only; kept, so that its path field keeps its buffer.
    thread_local ql::ClientMessage request;
    request.set_tag(ql::ClientMessage::SCAN_FILE_REQUEST);
    request.set_serial(static_cast<uint32_t>(item.serial));
    std::string* path = request.mutable_scan_file_request()->mutable_path();
    if (item.scanPath.empty())
        path->assign(curDir).append(item.msgPath);
    else
        path->assign(item.scanPath);
    EngineSend(request);
}

namespace {

// A scan request frame: the path (at most maxPathLength) and a few bytes of
// fields around it.
constexpr size_t maxScanFrame = maxPathLength + 64;

}  // namespace

void RemoveScanCopy(const scanListItem& item) {
    if (item.envLen != 0 && !item.scanPath.empty()) unlink(item.scanPath.c_str());
}

bool prepareFile(const char* path, std::string& scanPath, const char* token, uint64_t& envLen,
                 std::string& envelope) {
    scanPath.clear();
    envLen = 0;
    struct stat st;
    const UniqueFd in(OpenQueueFile(path, st));
    if (!in.Valid()) {
        // Not readable by us (the engine may still read it), unless it is
        // no regular file at all: a FIFO or device handed to the engine
        // would stall it as it would have stalled us.
        if (errno == errNotRegular || (stat(path, &st) == 0 && !S_ISREG(st.st_mode))) {
            errno = errNotRegular;
            return false;
        }
        return true;
    }
    if (st.st_size <= 0) return true;

    // Only as much of the head as the envelope needs, in a buffer kept for
    // the next request unless a huge envelope made it large.
    thread_local headBuffer head;
    struct releaseLarge {
        headBuffer& h;
        ~releaseLarge() {
            if (h.capacity > keptHeadBytes) h.Release();
        }
    } release{head};
    const int64_t length = ReadEnvelopeHeadAV(in.Get(), static_cast<size_t>(st.st_size), head);
    if (length <= 0) return true;

    // The copy's name is built in scanPath, which stays empty unless the
    // copy is made whole.
    const UniqueFd out(createCopy(token, scanPath));
    if (!out.Valid()) {
        PrintMsg("* can't create %s\n", EscapeControl(scanPath).c_str());
        scanPath.clear();
    } else if (!(head.size == static_cast<size_t>(st.st_size)
                     ? writeAllTo(out.Get(), head.data.get() + length,
                                  head.size - static_cast<size_t>(length))
                     : copyRest(in.Get(), static_cast<off_t>(length), st.st_size, out.Get()))) {
        PrintMsg("* can't create %s\n", EscapeControl(scanPath).c_str());
        unlink(scanPath.c_str());
        scanPath.clear();
    }
    envLen = static_cast<uint64_t>(length);
    envelope.assign(head.data.get(), static_cast<size_t>(length));
    return true;
}

void EnqueueScan(const char* token, const char* path) {
    // Reused from request to request (StartRequest resets the entry).
    thread_local scanListItem item;
    thread_local std::string fullPath;
    // Refused before the copy is made: a busy engine leaves nothing behind.
    if (EngineBusy(token, maxScanFrame)) return;
    if (!StartRequest(token, path, item, fullPath)) return;
    if (!prepareFile(path, item.scanPath, token, item.envLen, item.envelope)) {
        PrintMsg("%s FAILURE Unable to check file for existence: %s, error=%s\n", token,
                 fullPath.c_str(), QueueFileError(errno));
        return;
    }
    if (item.envLen == 0) item.scanPath = fullPath;
    timespec_get(&item.start, TIME_UTC);
    QueueAndSend(item, sendScanRequest, RemoveScanCopy);
}

void ResendScans() {
    ResendPendingWith(sendScanRequest, RemoveScanCopy);
}

namespace {

// Post-processing commands and notifications run here, so that the reader
// goes on reading replies (and their requests' deadlines stop) meanwhile.
orderedWorker slowWork;

// A reply that has to wait for the worker: its entry is claimed at once.
struct claimedReply {
    ql::ServerMessage message;
    scanListItem entry;
    bool claimed = false;
};

void dispatchReply(google::protobuf::MessageLite& received) {
    auto& message = static_cast<ql::ServerMessage&>(received);
    switch (message.tag()) {
        case ql::ServerMessage::SCAN_FILE_RESULT: {
            if (slowWork.Idle() && !NeedsSlowWork(message)) {
                HandleScanResult(message);
                break;
            }
            auto reply = std::make_shared<claimedReply>();
            reply->message.Swap(&message);
            reply->claimed = ClaimScanResult(reply->message, reply->entry);
            slowWork.Post([reply] {
                AnswerScanResult(reply->message, reply->claimed ? &reply->entry : nullptr);
            });
            break;
        }
        case ql::ServerMessage::INFO_NOTIFICATION: {
            if (slowWork.Idle()) {
                handleInfoReply(message);
                break;
            }
            auto info = std::make_shared<ql::ServerMessage>();
            info->Swap(&message);
            slowWork.Post([info] { handleInfoReply(*info); });
            break;
        }
        default:
            break;
    }
}

}  // namespace

void RefuseScanReply(const replyTooLarge& reply) {
    auto entry = std::make_shared<scanListItem>();
    const bool claimed = ScanListTake(static_cast<int32_t>(reply.serial), entry.get());
    if (claimed) RemoveScanCopy(*entry);
    const uint32_t serial = reply.serial;
    slowWork.Post(
        [entry, claimed, serial] { AnswerRefusedReply(claimed ? entry.get() : nullptr, serial); });
}

void RunScanReader() {
    ql::ServerMessage prototype;
    RunReaderLoop(prototype, dispatchReply, RefuseScanReply, &slowWork);
}
