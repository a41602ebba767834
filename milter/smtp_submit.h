// Hands one generated message to the local MTA over SMTP, the way the host
// takes when it may not run the MTA's set-group-ID sendmail (a unit with
// NoNewPrivileges=): one connection to a loopback port or a unix socket
// per message, greeting, EHLO (HELO where EHLO is refused), MAIL FROM:<>,
// one RCPT TO per address, DATA with the text dot-stuffed and in CRLF
// lines, the final dot, QUIT.  The whole exchange, connect included, ends
// at one deadline; each reply is bounded in line length and line count.
//
// A recipient refused for good (5xx) is left out and named; one refused for
// now (4xx) ends the exchange before DATA, so the message is tried again
// whole later and nobody receives it twice.
//
// Input: the MTA's replies (hostile only as far as a local MTA can be).
#ifndef TARNWICK_MILTER_SMTP_SUBMIT_H
#define TARNWICK_MILTER_SMTP_SUBMIT_H

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "engines/kit/connect.h"

namespace milter {

// The longest reply line read, and the most lines of one reply.
constexpr size_t kMaxSmtpLine = 2048;
constexpr size_t kMaxSmtpReplyLines = 64;

// "unix:/path" or "HOST:PORT" ("[v6]:PORT" for an IPv6 address) as the
// address to connect to; false with why set when the text is none of them.
bool ParseSubmitAddress(const std::string& text, engined::StreamTarget& target, std::string& why);

// text in DATA form: line feeds (bare or after a carriage return) as CRLF,
// a dot doubled at the start of a line, a last line ended; without the
// final ".\r\n".
std::string DotStuffed(std::string_view text);

struct SmtpOutcome {
    enum Kind { kSent, kRetry, kRefused } kind = kRetry;
    // What went wrong, with the MTA's words (escaped, bounded), for the log.
    std::string why;
    // Recipients the MTA refused for good ("address: reply").
    std::vector<std::string> refused;
    size_t accepted = 0;
};

// Hands text (a whole message, LF or CRLF lines) for recipients over to the
// MTA at target before deadline, with the null sender; helo names this host.
SmtpOutcome SubmitOverSmtp(const engined::StreamTarget& target, const std::string& helo,
                           const std::vector<std::string>& recipients, std::string_view text,
                           std::chrono::steady_clock::time_point deadline);

// The exchange of SubmitOverSmtp on a connected, non-blocking socket.
SmtpOutcome SmtpExchange(int fd, const std::string& helo,
                         const std::vector<std::string>& recipients, std::string_view text,
                         std::chrono::steady_clock::time_point deadline);

}  // namespace milter

#endif
