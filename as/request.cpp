// Tarnwick-AS request path: every FILE request is read into memory (at most
// 32 MiB), whitelisted senders are answered at once, and the rest is sent to
// the anti-spam engine as the message text without its envelope.
//
// The text goes onto the socket straight from the read buffer, so a large
// message is held once, not again as a serialized frame.  Zero bytes are
// ordinary message bytes and are sent along.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "as/as.h"
#include "common/base/log.h"
#include "common/base/process.h"
#include "common/base/text.h"
#include "common/engine/engine.h"
#include "common/engine/pending.h"
#include "common/envelope/envelope.h"
#include "common/envelope/queuefile.h"
#include "quillon_ase_api.pb.h"

namespace {

constexpr size_t maxMessageSize = 33554432;

void sendRating(const scanListItem& item, const char* text, size_t size) {
    ql::ClientMessage request;
    request.set_tag(ql::ClientMessage::GET_SPAM_REPORT_REQUEST);
    request.set_serial(static_cast<uint32_t>(item.serial));
    send_command_with_bytes(request, ql::ClientMessage::kMessageFieldNumber, text, size,
                            EngineConnection());
}

// A request sent again after a reconnection reads its file again: keeping
// every pending message in memory could cost gigabytes behind a slow engine.
void resendRating(const scanListItem& item) {
    uint64_t envLen = 0;
    size_t size = 0;
    auto buffer = ReadQueueFile(item.msgPath.c_str(), maxMessageSize, envLen, size);
    if (!buffer) throw std::runtime_error(QueueFileError(errno));
    size_t skip = std::min<size_t>(item.envLen, size);
    sendRating(item, buffer.get() + skip, size - skip);
}

}  // namespace

void EnqueueRating(const char* token, const char* path) {
    // Reused from request to request (StartRequest resets the entry).
    thread_local scanListItem item;
    thread_local std::string fullPath;
    if (!StartRequest(token, path, item, fullPath)) return;
    timespec_get(&item.start, TIME_UTC);

    size_t size = 0;
    auto buffer = ReadQueueFile(path, maxMessageSize, item.envLen, size);
    if (!buffer) {
        PrintMsg("%s FAILURE Unable to check file for existence: %s, error=%s\n", token,
                 fullPath.c_str(), QueueFileError(errno));
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

void ResendRatings() {
    ResendPendingWith(resendRating, nullptr);
}

namespace {

void dispatchReply(google::protobuf::MessageLite& received) {
    auto& message = static_cast<ql::ServerMessage&>(received);
    if (message.tag() != ql::ServerMessage::GET_SPAM_REPORT_RESPONSE) return;
    if (!message.has_serial() || !message.has_spam_report())
        throw std::runtime_error("Incorrect answer from antispam engine");
    HandleSpamReport(message);
}

}  // namespace

void RunRatingReader() {
    ql::ServerMessage message;
    RunReaderLoop(message, dispatchReply);
}
