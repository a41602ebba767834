// Tarnwick-AS request path: every FILE request is read into memory (at most
// 32 MiB), whitelisted senders are answered at once, and the rest is sent to
// the anti-spam engine as the message text without its envelope.
//
// The text goes onto the socket straight from the read buffer, so a large
// message is held once, not again as a serialized frame.  Zero bytes are
// ordinary message bytes and are sent along.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "as/as.h"
#include "common/engine/engine.h"
#include "common/engine/pending.h"
#include "common/envelope/envelope.h"
#include "common/base/process.h"
#include "common/base/log.h"
#include "common/base/text.h"
#include "quillon_ase_api.pb.h"

namespace {

constexpr size_t maxMessageSize = 33554432;

void sendRating(const scanListItem& item, const char* text, size_t size) {
    ql::ClientMessage request;
    request.set_tag(ql::ClientMessage::GET_SPAM_REPORT_REQUEST);
    request.set_serial(static_cast<uint32_t>(item.serial));
    send_command_with_bytes(request, ql::ClientMessage::kMessageFieldNumber, text, size, EngineConnection());
}

// A request sent again after a reconnection reads its file again: keeping
// every pending message in memory could cost gigabytes behind a slow engine.
void resendRating(const scanListItem& item) {
    uint64_t envLen = 0;
    size_t size = 0;
    auto buffer = ReadFile2(item.msgPath.c_str(), envLen, size);
    if (!buffer) throw std::runtime_error(strerror(errno));
    size_t skip = std::min<size_t>(item.envLen, size);
    sendRating(item, buffer.get() + skip, size - skip);
}

}  // namespace

std::unique_ptr<char[]> ReadFile2(const char* path, uint64_t& envLen, size_t& size) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int err = errno;
        close(fd);
        errno = err;
        return nullptr;
    }
    size_t want = std::min<size_t>(static_cast<size_t>(st.st_size), maxMessageSize);
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[want + 1]);
    if (!buffer) {
        close(fd);
        errno = ENOMEM;
        return nullptr;
    }
    size_t have = 0;
    while (have < want) {
        ssize_t n = read(fd, buffer.get() + have, want - have);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            // Not a message we can rate (a directory, an I/O error): say so
            // rather than have an empty text rated.
            int err = errno;
            close(fd);
            errno = err;
            return nullptr;
        }
        if (n == 0) break;
        have += static_cast<size_t>(n);
    }
    close(fd);
    buffer[have] = '\0';
    size = have;
    envLen = EnvelopeLengthAS(buffer.get(), have);
    return buffer;
}

void EnqueueFile(const char* token, const char* path) {
    // Reused from request to request (StartRequest resets the entry).
    thread_local scanListItem item;
    thread_local std::string fullPath;
    if (!StartRequest(token, path, item, fullPath)) return;
    timespec_get(&item.start, TIME_UTC);

    size_t size = 0;
    auto buffer = ReadFile2(path, item.envLen, size);
    if (!buffer) {
        PrintMsg("%s FAILURE Unable to check file for existence: %s, error=%s\n", token,
                 fullPath.c_str(), strerror(errno));
        return;
    }

    if (item.envLen != 0) {
        const std::string_view sender = EnvelopeSender(buffer.get(), item.envLen);
        char address[maxSenderLength + 1];
        if (!sender.empty()) memcpy(address, sender.data(), sender.size());
        address[sender.size()] = '\0';
        if (!sender.empty() && whitelist.IsListed(address)) {
            PrintMsg("%s ADDHEADER \"%s\"\n", token, WhitelistHeader(AsSettings()).c_str());
            return;
        }
        item.envelope.assign(buffer.get(), item.envLen);
    }

    const char* text = buffer.get() + item.envLen;
    size_t textSize = size - item.envLen;
    QueueAndSend(
        item, [text, textSize](const scanListItem& queued) { sendRating(queued, text, textSize); },
        nullptr);
}

void ResendPending() {
    ResendPendingWith(resendRating, nullptr);
}

namespace {

void dispatchReply(google::protobuf::MessageLite& received) {
    auto& message = static_cast<ql::ServerMessage&>(received);
    if (message.tag() != ql::ServerMessage::GET_SPAM_REPORT_RESPONSE) return;
    if (!message.has_serial() || !message.has_spam_report())
        throw std::runtime_error("Incorrect answer from antispam engine");
    handleScanReply(message);
}

}  // namespace

void readerThreadProc() {
    ql::ServerMessage message;
    RunReaderLoop(message, dispatchReply);
}
