// The milter host hands generated mail to the MTA over SMTP and reads its
// replies.  Whatever the replies: the exchange ends (the peer's end closed
// after the input), the words kept for the log stay bounded and free of
// control bytes, a message counts as sent only after a 250 to its end of
// data, and what goes out in DATA never ends the data early (dot-stuffed,
// CRLF lines only).
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "milter/smtp_submit.h"
#include "tests/fuzz/fuzz_common.h"

using namespace milter;

namespace {

void CheckStuffed(const std::string& text) {
    const std::string out = DotStuffed(text);
    FUZZ_CHECK(out.empty() || out.compare(out.size() - 2, 2, "\r\n") == 0, "last line not ended");
    for (size_t i = 0; i < out.size(); ++i) {
        if (out[i] == '\n') FUZZ_CHECK(i > 0 && out[i - 1] == '\r', "bare line feed at %zu", i);
        const bool lineStart = i == 0 || out[i - 1] == '\n';
        if (lineStart && out[i] == '.')
            FUZZ_CHECK(i + 1 < out.size() && out[i + 1] == '.', "a lone dot at %zu", i);
        if (lineStart && out[i] == '.') ++i;  // the doubled dot
    }
    FUZZ_CHECK(out.find("\r\n.\r\n") == std::string::npos && out.compare(0, 3, ".\r\n") != 0,
               "the end of data inside the text");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    CheckStuffed(input);

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0) return 0;
    // The replies, then the MTA's end closed: nothing is waited for.
    const ssize_t sent = send(pair[1], input.data(), input.size(), MSG_NOSIGNAL);
    shutdown(pair[1], SHUT_WR);
    const std::vector<std::string> rcpts{"bob@example.net", "carol@example.net"};
    const SmtpOutcome out =
        SmtpExchange(pair[0], "host.example", rcpts, "Subject: x\n\n.\nbody\n",
                     std::chrono::steady_clock::now() + std::chrono::seconds(5));
    close(pair[0]);
    close(pair[1]);
    if (sent != static_cast<ssize_t>(input.size())) return 0;
    for (const std::string* text : {&out.why}) {
        FUZZ_CHECK(text->size() <= 64 * 1024, "%zu bytes of words", text->size());
        for (unsigned char c : *text) FUZZ_CHECK(c >= 32 && c != 127, "control byte %d", c);
    }
    FUZZ_CHECK(out.refused.size() <= rcpts.size(), "%zu refused", out.refused.size());
    FUZZ_CHECK(out.accepted + out.refused.size() <= rcpts.size(), "more answers than recipients");
    if (out.kind == SmtpOutcome::kSent) {
        FUZZ_CHECK(out.accepted > 0, "sent to nobody");
        FUZZ_CHECK(input.find("\n250") != std::string::npos || input.compare(0, 3, "250") == 0,
                   "sent without a 250");
    }
    return 0;
}
