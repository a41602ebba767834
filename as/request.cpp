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

// `buffer` holds the text; it goes with the frame should the frame wait.
void sendRating(const scanListItem& item, const char* text, size_t size,
                std::unique_ptr<char[]> buffer) {
    ql::ClientMessage request;
    request.set_tag(ql::ClientMessage::GET_SPAM_REPORT_REQUEST);
    request.set_serial(static_cast<uint32_t>(item.serial));
    EngineSendWithBytes(request, ql::ClientMessage::kMessageFieldNumber, text, size,
                        std::move(buffer));
}

// The frame of a rating: the text and a few bytes of fields in front of it.
size_t ratingFrameSize(size_t textSize) {
    return textSize + 32;
}

}  // namespace

// A request sent again after a reconnection reads its file again: keeping
// every pending message in memory could cost gigabytes behind a slow engine.
void resendRating(const scanListItem& item) {
    uint64_t envLen = 0;
    size_t size = 0;
    auto buffer = ReadQueueFile(item.msgPath.c_str(), maxMessageSize, envLen, size);
    if (!buffer) throw std::runtime_error(QueueFileError(errno));
    size_t skip = std::min<size_t>(item.envLen, size);
    // The queue's bound holds for requests sent again as well.
    if (!EngineSendRoom(ratingFrameSize(size - skip))) throw std::runtime_error("engine busy");
    const char* text = buffer.get() + skip;
    sendRating(item, text, size - skip, std::move(buffer));
}

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
    if (EngineBusy(token, ratingFrameSize(textSize))) return;
    // One captured pointer keeps the closure inside std::function's own
    // storage: no allocation per message.
    struct {
        std::unique_ptr<char[]>& buffer;
        const char* text;
        size_t textSize;
    } rating{buffer, text, textSize};
    QueueAndSend(
        item,
        [&rating](const scanListItem& queued) {
            sendRating(queued, rating.text, rating.textSize, std::move(rating.buffer));
        },
        nullptr);
}

void ResendRatings() {
    ResendPendingWith(resendRating, nullptr);
}

namespace {

void dispatchReply(google::protobuf::MessageLite& received) {
    auto& message = static_cast<ql::ServerMessage&>(received);
    if (message.tag() != ql::ServerMessage::GET_SPAM_REPORT_RESPONSE) return;
    if (!message.has_serial()) throw std::runtime_error("Incorrect answer from antispam engine");
    // An engine that cannot rate one message (spamd reloading its rules)
    // says so for that request; the others go on.
    if (message.has_error() && message.error().code() != ql::EC_OK) {
        HandleSpamError(message);
        return;
    }
    if (!message.has_spam_report())
        throw std::runtime_error("Incorrect answer from antispam engine");
    HandleSpamReport(message);
}

}  // namespace

void RefuseRatingReply(const replyTooLarge& reply) {
    scanListItem entry;
    const bool claimed = ScanListTake(static_cast<int32_t>(reply.serial), &entry);
    AnswerRefusedReply(claimed ? &entry : nullptr, reply.serial);
}

void RunRatingReader() {
    ql::ServerMessage prototype;
    RunReaderLoop(prototype, dispatchReply, RefuseRatingReply, nullptr);
}
