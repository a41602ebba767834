// Shared checks of the two reply targets: the item bound of the frame
// reader.  A parsed reply holds no more objects than the wire count found
// (the count never undercounts, so the bound holds for what is parsed), and
// a refused reply answers its request with the FAILURE line.
#ifndef TARNWICK_TESTS_FUZZ_FUZZ_REPLY_H
#define TARNWICK_TESTS_FUZZ_FUZZ_REPLY_H

#include <google/protobuf/message.h>
#include <google/protobuf/reflection.h>
#include <google/protobuf/unknown_field_set.h>

#include <string>
#include <vector>

#include "common/engine/engine.h"
#include "common/engine/pending.h"
#include "fuzz_common.h"

namespace fuzz {

// Repeated entries and unknown fields of a parsed message, at any depth.
inline size_t ParsedItems(const google::protobuf::Message& message) {
    const google::protobuf::Reflection* r = message.GetReflection();
    size_t n = static_cast<size_t>(r->GetUnknownFields(message).field_count());
    std::vector<const google::protobuf::FieldDescriptor*> fields;
    r->ListFields(message, &fields);
    for (const auto* field : fields) {
        const bool isMessage =
            field->cpp_type() == google::protobuf::FieldDescriptor::CPPTYPE_MESSAGE;
        if (!field->is_repeated()) {
            if (isMessage) n += ParsedItems(r->GetMessage(message, field));
            continue;
        }
        const int size = r->FieldSize(message, field);
        n += static_cast<size_t>(size);
        if (isMessage)
            for (int i = 0; i < size; ++i)
                n += ParsedItems(r->GetRepeatedMessage(message, field, i));
    }
    return n;
}

inline void CheckItemCount(const google::protobuf::Message& message) {
    const std::string wire = message.SerializePartialAsString();
    const size_t parsed = ParsedItems(message);
    const size_t counted =
        CountReplyItems(message, reinterpret_cast<const unsigned char*>(wire.data()), wire.size(),
                        parsed + 1, nullptr, nullptr);
    FUZZ_CHECK(counted >= parsed, "the wire count %zu misses parsed items (%zu)", counted, parsed);
    FUZZ_CHECK(parsed <= maxReplyItems, "a reply of %zu items was parsed", parsed);
}

// A refused reply: with `queue`, a pending request of its serial is answered
// "<serial> FAILURE too many report items"; without, only log lines.
inline void CheckRefused(const replyTooLarge& reply, bool queue,
                         void (*refuse)(const replyTooLarge&)) {
    if (!reply.hasSerial) return;  // the reader logs and drops it
    if (queue) {
        scanListItem item;
        item.serial = static_cast<int32_t>(reply.serial);
        item.token = std::to_string(item.serial);
        item.msgPath = "Queue/fuzz.msg";
        ScanListAppend(item);
    }
    const size_t before = ScanListSize();
    const long mark = StdoutMark();
    refuse(reply);
    const std::string written = CapturedSince(mark);
    if (queue) {
        const std::string want =
            std::to_string(static_cast<int32_t>(reply.serial)) + " FAILURE too many report items\n";
        FUZZ_CHECK(written == want, "refused reply wrote '%s'", written.c_str());
        FUZZ_CHECK(ScanListSize() == before - 1, "pending request not taken");
    } else {
        FUZZ_CHECK(written.compare(0, 2, "* ") == 0, "unmatched refused reply wrote '%s'",
                   written.c_str());
    }
}

}  // namespace fuzz

#endif
