// See smtp_submit.h for the contract.
#include "milter/smtp_submit.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "common/base/text.h"

namespace milter {

namespace {

using Clock = std::chrono::steady_clock;

// One connection's exchange: the replies read line by line, each write
// finished before the deadline.
class Exchange {
  public:
    Exchange(int fd, Clock::time_point deadline) : fd_(fd), deadline_(deadline) {}

    // Sends all of data; false (why set) when it could not before the deadline.
    bool Send(std::string_view data) {
        while (!data.empty()) {
            const ssize_t n = send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
            if (n > 0) {
                data.remove_prefix(static_cast<size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (!Wait(POLLOUT)) return false;
                continue;
            }
            why_ = std::string("cannot send: ") + strerror(errno);
            return false;
        }
        return true;
    }

    // The code of the next complete reply (its lines joined in text), or 0
    // (why set) when none came in time or it did not read as a reply.
    int Reply(std::string& text) {
        text.clear();
        for (size_t lines = 0; lines < kMaxSmtpReplyLines; ++lines) {
            std::string line;
            if (!Line(line)) return 0;
            if (line.size() < 3 || !IsDigit(line[0]) || !IsDigit(line[1]) || !IsDigit(line[2]) ||
                (line.size() > 3 && line[3] != ' ' && line[3] != '-')) {
                why_ = "not an SMTP reply: " + EscapeControl(line, 200);
                return 0;
            }
            text += (text.empty() ? "" : " / ") + EscapeControl(line, 300);
            if (line.size() == 3 || line[3] == ' ') return std::stoi(line.substr(0, 3));
        }
        why_ = "a reply of more than " + std::to_string(kMaxSmtpReplyLines) + " lines";
        return 0;
    }

    // Sends a command and reads its reply.
    int Command(const std::string& command, std::string& reply) {
        return Send(command + "\r\n") ? Reply(reply) : 0;
    }

    const std::string& Why() const { return why_; }

  private:
    static bool IsDigit(char c) { return c >= '0' && c <= '9'; }

    bool Wait(short events) {
        switch (engined::WaitReady(fd_, events, deadline_)) {
            case engined::Readiness::kReady:
                return true;
            case engined::Readiness::kTimeout:
                why_ = "no answer in time";
                return false;
            case engined::Readiness::kError:
                break;
        }
        why_ = std::string("cannot wait: ") + strerror(errno);
        return false;
    }

    bool Line(std::string& line) {
        for (;;) {
            const size_t end = buffer_.find('\n');
            if (end != std::string::npos && end <= kMaxSmtpLine) {
                line.assign(buffer_, 0, end > 0 && buffer_[end - 1] == '\r' ? end - 1 : end);
                buffer_.erase(0, end + 1);
                return true;
            }
            if (end != std::string::npos || buffer_.size() > kMaxSmtpLine) {
                why_ = "a reply line longer than " + std::to_string(kMaxSmtpLine) + " bytes";
                return false;
            }
            char chunk[4096];
            const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
            if (n > 0) {
                buffer_.append(chunk, static_cast<size_t>(n));
                continue;
            }
            if (n == 0) {
                why_ = "the connection was closed";
                return false;
            }
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                why_ = std::string("cannot read: ") + strerror(errno);
                return false;
            }
            if (!Wait(POLLIN)) return false;
        }
    }

    const int fd_;
    const Clock::time_point deadline_;
    std::string buffer_;
    std::string why_;
};

// A recipient as it may stand between angle brackets: the address-list
// reader hands on plain addresses only; this keeps the command line whole
// whatever it gets.
bool PlainPath(const std::string& address) {
    if (address.empty() || address.size() > 320) return false;
    for (const unsigned char c : address)
        if (c <= ' ' || c == 0x7f || c == '<' || c == '>') return false;
    return true;
}

SmtpOutcome Failed(SmtpOutcome::Kind kind, std::string why) {
    SmtpOutcome out;
    out.kind = kind;
    out.why = std::move(why);
    return out;
}

// What a reply code makes of the message: 4xx and no reply are tried again.
SmtpOutcome::Kind KindOf(int code) {
    return code >= 500 && code < 600 ? SmtpOutcome::kRefused : SmtpOutcome::kRetry;
}

}  // namespace

bool ParseSubmitAddress(const std::string& text, engined::StreamTarget& target, std::string& why) {
    target = engined::StreamTarget();
    if (text.compare(0, 5, "unix:") == 0) {
        target.path = text.substr(5);
        if (target.path.empty() || target.path[0] != '/') {
            why = "a unix socket is given by its absolute path (unix:/path)";
            return false;
        }
        return true;
    }
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) {
        why = "HOST:PORT or unix:/path expected";
        return false;
    }
    target.host = text.substr(0, colon);
    target.port = text.substr(colon + 1);
    if (target.host.size() > 2 && target.host.front() == '[' && target.host.back() == ']')
        target.host = target.host.substr(1, target.host.size() - 2);
    return true;
}

std::string DotStuffed(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 16 + 8);
    bool lineStart = true;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (lineStart && c == '.') out += '.';
        if (c == '\n') {
            out += "\r\n";
            lineStart = true;
            continue;
        }
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out += c;
        lineStart = false;
    }
    if (!lineStart) out += "\r\n";
    return out;
}

SmtpOutcome SubmitOverSmtp(const engined::StreamTarget& target, const std::string& helo,
                           const std::vector<std::string>& recipients, std::string_view text,
                           Clock::time_point deadline) {
    std::string why;
    bool busy = false;
    const UniqueFd fd = engined::ConnectStream(target, deadline, why, busy);
    if (!fd.Valid()) return Failed(SmtpOutcome::kRetry, "cannot connect: " + why);
    return SmtpExchange(fd.Get(), helo, recipients, text, deadline);
}

SmtpOutcome SmtpExchange(int fd, const std::string& helo,
                         const std::vector<std::string>& recipients, std::string_view text,
                         Clock::time_point deadline) {
    Exchange x(fd, deadline);
    std::string reply;
    int code = x.Reply(reply);
    if (code != 220) return Failed(SmtpOutcome::kRetry, code ? "greeting " + reply : x.Why());
    code = x.Command("EHLO " + helo, reply);
    if (code >= 500) code = x.Command("HELO " + helo, reply);
    if (code != 250) return Failed(KindOf(code), code ? "EHLO: " + reply : x.Why());
    code = x.Command("MAIL FROM:<>", reply);
    if (code != 250) return Failed(KindOf(code), code ? "MAIL FROM: " + reply : x.Why());

    SmtpOutcome out;
    for (const std::string& rcpt : recipients) {
        if (!PlainPath(rcpt)) {
            out.refused.push_back(EscapeControl(rcpt, 100) + ": not a plain address");
            continue;
        }
        code = x.Command("RCPT TO:<" + rcpt + ">", reply);
        if (code == 250 || code == 251) {
            ++out.accepted;
        } else if (code >= 500 && code < 600) {
            out.refused.push_back(rcpt + ": " + reply);
        } else {
            // Not now: the whole message later, so nobody receives it twice.
            SmtpOutcome later =
                Failed(SmtpOutcome::kRetry, code ? "RCPT TO:<" + rcpt + ">: " + reply : x.Why());
            if (code) x.Command("QUIT", reply);
            return later;
        }
    }
    if (out.accepted == 0) {
        out.kind = SmtpOutcome::kRefused;
        out.why = "no recipient accepted";
        x.Command("QUIT", reply);
        return out;
    }
    code = x.Command("DATA", reply);
    if (code != 354) {
        out.kind = KindOf(code);
        out.why = code ? "DATA: " + reply : x.Why();
        return out;
    }
    if (!x.Send(DotStuffed(text)) || !x.Send(".\r\n")) {
        out.why = x.Why();
        return out;
    }
    code = x.Reply(reply);
    if (code != 250) {
        out.kind = KindOf(code);
        out.why = code ? "end of data: " + reply : x.Why();
        return out;
    }
    out.kind = SmtpOutcome::kSent;
    out.why = reply;
    // Taken: a QUIT that goes unanswered changes nothing.
    x.Command("QUIT", reply);
    return out;
}

}  // namespace milter
