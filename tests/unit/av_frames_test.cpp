// The scan engine's frames byte for byte, and the transport's edges: short
// reads, frames arriving together, refused length prefixes.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/engine/engine.h"
#include "quillon_se_api.pb.h"

namespace {

struct socketPair {
    int fd[2];
    socketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0); }
    ~socketPair() {
        close(fd[0]);
        close(fd[1]);
    }
    std::vector<unsigned char> drain(size_t n) {
        std::vector<unsigned char> out(n);
        read_exact(fd[1], out.data(), n);
        return out;
    }
};

std::vector<unsigned char> bytes(std::initializer_list<int> list) {
    return std::vector<unsigned char>(list.begin(), list.end());
}

}  // namespace

TEST(ScanFrames, RequestsEncodeExactly) {
    socketPair p;
    ql::ClientMessage subscribe;
    subscribe.set_tag(ql::ClientMessage::SUBSCRIBE_INFO);
    send_command(subscribe, p.fd[0]);
    EXPECT_EQ(p.drain(6), bytes({0x02, 0, 0, 0, 0x08, 0x03}));

    ql::ClientMessage scan;
    scan.set_tag(ql::ClientMessage::SCAN_FILE_REQUEST);
    scan.set_serial(7);
    scan.mutable_scan_file_request()->set_path("/a");
    send_command(scan, p.fd[0]);
    EXPECT_EQ(p.drain(14),
              bytes({0x0A, 0, 0, 0, 0x08, 0x01, 0x10, 0x07, 0x1A, 0x04, 0x0A, 0x02, 0x2F, 0x61}));
}

TEST(ScanFrames, RepliesParseOnlyWhenComplete) {
    socketPair p;
    auto frame = [](const std::string& body) {
        uint32_t len = static_cast<uint32_t>(body.size());
        std::string out;
        for (int i = 0; i < 4; ++i) out += static_cast<char>(len >> (8 * i));
        return out + body;
    };
    auto sendBody = [&](const std::string& body) {
        std::string f = frame(body);
        write_exact(p.fd[1], f.data(), f.size());
    };

    ql::ServerMessage good;
    good.set_tag(ql::ServerMessage::SCAN_FILE_RESULT);
    good.set_serial(3);
    ql::ScanReport* root = good.mutable_scan_report();
    root->set_object("x");
    root->add_item()->set_object("child");
    // Two frames in one write are read one after the other.
    std::string both = frame(good.SerializeAsString()) + frame(std::string("\x08\x05", 2));
    write_exact(p.fd[1], both.data(), both.size());
    ql::ServerMessage got;
    get_answer(got, p.fd[0]);
    EXPECT_EQ(got.serial(), 3u);
    EXPECT_EQ(got.scan_report().item_size(), 1);
    get_answer(got, p.fd[0]);
    EXPECT_EQ(got.tag(), ql::ServerMessage::INFO_NOTIFICATION);
    EXPECT_FALSE(got.has_scan_report());

    // A nested report without its required object fails the whole body.
    good.mutable_scan_report()->mutable_item(0)->clear_object();
    std::string partial = good.SerializePartialAsString();
    sendBody(partial);
    EXPECT_THROW(get_answer(got, p.fd[0]), std::runtime_error);

    // L = 0: an empty body lacks its tag.
    sendBody("");
    try {
        get_answer(got, p.fd[0]);
        FAIL() << "an empty body parsed";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Incorrect answer from ScanEngine");
    }
}

TEST(ScanFrames, OversizedLengthIsRefusedWithoutWaitingForTheBody) {
    socketPair p;
    unsigned char prefix[4] = {0x01, 0x00, 0x00, 0x04};  // 64 MiB + 1
    write_exact(p.fd[1], prefix, 4);
    ql::ServerMessage got;
    EXPECT_THROW(get_answer(got, p.fd[0]), std::runtime_error);
}
