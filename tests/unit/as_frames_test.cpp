// The anti-spam engine's frames byte for byte: the request whose message
// text is written straight from the read buffer must be the very frame the
// ordinary serialization gives.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "common/engine/engine.h"
#include "quillon_ase_api.pb.h"

namespace {

std::vector<unsigned char> readAll(int fd, size_t n) {
    std::vector<unsigned char> out(n);
    read_exact(fd, out.data(), n);
    return out;
}

ql::ClientMessage head(uint32_t serial) {
    ql::ClientMessage m;
    m.set_tag(ql::ClientMessage::GET_SPAM_REPORT_REQUEST);
    m.set_serial(serial);
    return m;
}

}  // namespace

TEST(SpamFrames, RequestWithTextEncodesExactly) {
    int fd[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0);
    send_command_with_bytes(head(5), ql::ClientMessage::kMessageFieldNumber, "abc", 3, fd[0]);
    EXPECT_EQ(readAll(fd[1], 13), (std::vector<unsigned char>{0x09, 0, 0, 0, 0x08, 0x01, 0x10, 0x05,
                                                              0x1A, 0x03, 0x61, 0x62, 0x63}));

    // Larger than a socket buffer, zero bytes inside: written in pieces, and
    // still the frame the library would have made.
    std::string text(3 << 20, 'x');
    text[1] = '\0';
    ql::ClientMessage whole = head(77);
    whole.set_message(text);
    std::string serialized = whole.SerializeAsString();
    std::vector<unsigned char> expected(serialized.begin(), serialized.end());
    std::thread writer([&] {
        send_command_with_bytes(head(77), ql::ClientMessage::kMessageFieldNumber, text.data(),
                                text.size(), fd[0]);
    });
    std::vector<unsigned char> got = readAll(fd[1], 4 + expected.size());
    writer.join();
    uint32_t len = got[0] | got[1] << 8 | got[2] << 16 | static_cast<uint32_t>(got[3]) << 24;
    EXPECT_EQ(len, expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), got.begin() + 4));
    close(fd[0]);
    close(fd[1]);
}

TEST(SpamFrames, RepliesParseOnlyWhenComplete) {
    ql::ServerMessage reply;
    reply.set_tag(ql::ServerMessage::GET_SPAM_REPORT_RESPONSE);
    reply.set_serial(9);
    reply.mutable_spam_report()->mutable_score()->set_state(ql::VR_SPAM);
    reply.mutable_spam_report()->mutable_score()->set_score(250);
    reply.mutable_spam_report()->set_details("");
    ql::ServerMessage parsed;
    ASSERT_TRUE(parsed.ParseFromString(reply.SerializeAsString()));
    EXPECT_TRUE(parsed.spam_report().has_details());
    EXPECT_EQ(parsed.spam_report().score().score(), 250);

    reply.mutable_spam_report()->mutable_score()->clear_state();
    EXPECT_FALSE(parsed.ParseFromString(reply.SerializePartialAsString()));

    ql::ServerMessage error;
    error.set_tag(ql::ServerMessage::GET_SPAM_REPORT_RESPONSE);
    error.set_serial(9);
    error.mutable_error()->set_what("down");
    EXPECT_FALSE(parsed.ParseFromString(error.SerializePartialAsString()));  // Error without code
}
