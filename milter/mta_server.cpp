#include "milter/mta_server.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "common/base/daemonlog.h"

namespace milter {

using daemonlog::Warn;

bool MtaSession::SetReply(const std::string& code, const std::string& xcode,
                          const std::vector<std::string>& lines) {
    std::string text;
    if (!SmtpReplyText(code, xcode, lines, text)) return false;
    reply_ = std::move(text);
    return true;
}

bool MtaSession::Queue(std::string frame) {
    if (frame.size() > kFrameHead + kMaxFrameData) return false;
    out_ += frame;
    return true;
}

bool MtaSession::AddHeader(const std::string& name, const std::string& value) {
    if (!MaySend(kActAddHeaders) || name.empty()) return false;
    return Queue(EncodeAddHeader(name, value));
}

bool MtaSession::ChangeHeader(const std::string& name, uint32_t index, const std::string& value) {
    if (!MaySend(kActChangeHeaders) || name.empty() || index > 0x7fffffff) return false;
    return Queue(EncodeChangeHeader(index, name, value));
}

bool MtaSession::Quarantine(const std::string& reason) {
    if (!MaySend(kActQuarantine) || reason.empty()) return false;
    return Queue(EncodeQuarantine(reason));
}

bool MtaSession::Progress() {
    return Queue(EncodeProgress()) && Flush();
}

bool MtaSession::Flush() {
    size_t sent = 0;
    while (sent < out_.size()) {
        const ssize_t n = send(fd_, out_.data() + sent, out_.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            Warn(
                "session: writing to the MTA failed: %s; session ended",
                n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? "timed out" : strerror(errno));
            out_.clear();
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    out_.clear();
    return true;
}

// One session from its first command to its end, on its own thread.
class MtaSessionRunner {
  public:
    MtaSessionRunner(int fd, int timeoutSec, SessionHandler& handler)
        : s_(fd, timeoutSec), h_(handler) {}

    void Run() {
        timeval tv{};
        tv.tv_sec = s_.timeoutSec_;
        setsockopt(s_.fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(s_.fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        // Room for two whole frames: one read takes what has arrived.
        std::vector<char> buf(2 * (kFrameHead + kMaxFrameData));
        size_t start = 0, end = 0;
        for (bool open = true; open;) {
            MtaCommand cmd;
            const DecodeResult r = DecodeCommand(buf.data() + start, end - start, cmd);
            if (r.kind == Decoded::kMalformed) {
                Warn("session: %s from the MTA; session ended", r.why.c_str());
                break;
            }
            if (r.kind == Decoded::kCommand) {
                start += r.used;
                open = Dispatch(cmd);
                continue;
            }
            // Every reply of the batch leaves before the wait for more.
            if (!s_.Flush()) break;
            if (start > 0) {
                memmove(buf.data(), buf.data() + start, end - start);
                end -= start;
                start = 0;
            }
            const ssize_t got = read(s_.fd_, buf.data() + end, buf.size() - end);
            if (got > 0) {
                end += static_cast<size_t>(got);
            } else if (got == 0) {
                if (end > 0)
                    Warn(
                        "session: the MTA ended the connection inside a command (%zu bytes of "
                        "it came)",
                        end);
                break;
            } else if (errno == EINTR) {
                continue;
            } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
                Warn("session: the MTA sent nothing for %d s; session ended", s_.timeoutSec_);
                break;
            } else {
                Warn("session: reading from the MTA failed: %s; session ended", strerror(errno));
                break;
            }
        }
        s_.Flush();
        if (order_.InTransaction()) h_.Abort(s_);
        h_.Close(s_);
    }

  private:
    // The reply for a stage, as libmilter sends it: none where the filter
    // asked for none (a continue where the MTA cannot do without one).
    bool Reply(MtaStatus status, char command) {
        const uint32_t bit = NoReplyFlagOf(command);
        const bool silent = bit != 0 && (s_.options_.filterProtocol & bit) != 0;
        if (status == MtaStatus::kEndSession) return false;
        if (silent) {
            if ((s_.options_.mtaProtocol & bit) == 0) s_.Queue(EncodeStatus(MtaStatus::kContinue));
            return true;
        }
        if (status == MtaStatus::kNoReply) return true;
        const bool refusal = status == MtaStatus::kReject || status == MtaStatus::kTempfail;
        const char wanted = status == MtaStatus::kReject ? '5' : '4';
        if (refusal && !s_.reply_.empty() && s_.reply_[0] == wanted) {
            s_.Queue(EncodeReplyCode(s_.reply_));
            s_.reply_.clear();
        } else {
            s_.Queue(EncodeStatus(status));
        }
        return true;
    }

    bool Dispatch(const MtaCommand& c) {
        const CommandOrder::Step step = order_.Next(c.code);
        if (step == CommandOrder::Step::kOutOfOrder) {
            Warn("session: the MTA sent command %s %s; session ended", CommandName(c.code).c_str(),
                 order_.PhaseName());
            return false;
        }
        if (step == CommandOrder::Step::kAbortThenTake) h_.Abort(s_);
        switch (c.code) {
            case kCmdMacro:
                if (c.macroStage) s_.macros_.Set(c.macroStage, c.args);
                return true;
            case kCmdOptneg: {
                s_.macros_.ForgetAll();
                uint32_t actions = 0, protocol = 0;
                if (h_.Negotiate(s_, c.actions, OfferedProtocol(c.protocol), actions, protocol) !=
                    MtaStatus::kContinue)
                    return false;
                std::string why;
                if (!SettleOptions(c, actions, protocol, s_.options_, why)) {
                    Warn("session: the negotiation with the MTA failed: %s; session ended",
                         why.c_str());
                    return false;
                }
                s_.actions_ = actions;
                return s_.Queue(EncodeOptions(s_.options_));
            }
            case kCmdConnect:
                s_.macros_.ForgetFrom(c.code);
                return Reply(h_.Connect(s_, c), c.code);
            case kCmdHelo:
                s_.macros_.ForgetFrom(c.code);
                return Reply(h_.Helo(s_, c.args[0]), c.code);
            case kCmdMail:
                s_.macros_.ForgetFrom(c.code);
                return Reply(h_.Mail(s_, c.args), c.code);
            case kCmdRcpt:
                s_.macros_.ForgetFrom(c.code);
                return Reply(h_.Rcpt(s_, c.args), c.code);
            case kCmdData:
            case kCmdUnknown:
                return Reply(MtaStatus::kContinue, c.code);
            case kCmdHeader:
                return Reply(h_.Header(s_, c.args[0], c.args[1]), c.code);
            case kCmdEoh:
                return Reply(h_.EndOfHeaders(s_), c.code);
            case kCmdBody:
                return Reply(h_.Body(s_, c.body), c.code);
            case kCmdBodyEob: {
                s_.atEnd_ = true;
                MtaStatus status = MtaStatus::kContinue;
                // A last piece of the body with the end: taken as a chunk,
                // and the end follows unless the chunk was refused.
                if (!c.body.empty()) status = h_.Body(s_, c.body);
                if (status == MtaStatus::kContinue || status == MtaStatus::kNoReply)
                    status = h_.EndOfMessage(s_);
                s_.atEnd_ = false;
                return Reply(status, c.code);
            }
            case kCmdAbort:
                h_.Abort(s_);
                return true;
            case kCmdQuitNc:
                h_.Close(s_);
                s_.macros_.ForgetAll();
                return true;
            case kCmdQuit:
            default:
                return false;
        }
    }

    MtaSession s_;
    SessionHandler& h_;
    CommandOrder order_;
};

MtaServer::MtaServer(Factory factory, int readTimeoutSec, size_t maxSessions)
    : factory_(std::move(factory)), readTimeoutSec_(readTimeoutSec), maxSessions_(maxSessions) {}

MtaServer::~MtaServer() {
    StopAccepting();
    if (stopFd_ >= 0) close(stopFd_);
}

bool MtaServer::Start(int listenFd) {
    listenFd_ = listenFd;
    stopFd_ = eventfd(0, EFD_CLOEXEC);
    if (stopFd_ < 0) {
        daemonlog::Error("start: no eventfd for the accept loop: %s", strerror(errno));
        return false;
    }
    acceptor_ = std::thread([this] { AcceptLoop(); });
    return true;
}

void MtaServer::AcceptLoop() {
    for (;;) {
        {
            // At the bound the connections wait in the listening socket's
            // backlog until a session ends.
            twLock lock(mu_);
            while (!stopping_ && sessions_.size() >= maxSessions_) changed_.Wait(mu_);
            if (stopping_) break;
        }
        pollfd p[2] = {{listenFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            daemonlog::Error("session: waiting for the MTA's connections failed: %s",
                             strerror(errno));
            break;
        }
        if (p[1].revents) break;
        if (!p[0].revents) continue;
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED || errno == EPROTO)
                continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors or memory for now: the connection
                // waits in the backlog; try again when a session ends.
                Warn("session: cannot take a connection of the MTA: %s", strerror(errno));
                twLock lock(mu_);
                changed_.WaitUntil(
                    mu_, std::chrono::steady_clock::now() + std::chrono::milliseconds(500));
                continue;
            }
            daemonlog::Error("session: the milter socket fails: %s", strerror(errno));
            failed_ = true;
            if (wakeOnFailure_ >= 0) {
                const uint64_t one = 1;
                if (write(wakeOnFailure_, &one, sizeof one) < 0) {
                    // The counter is non-zero already.
                }
            }
            break;
        }
        {
            twLock lock(mu_);
            sessions_.insert(fd);
        }
        try {
            std::thread([this, fd] { RunSession(fd); }).detach();
        } catch (const std::system_error& e) {
            // No thread to be had: this connection is refused, the next
            // ones wait until a session ends.
            Warn("session: no thread for a connection of the MTA: %s", e.what());
            twLock lock(mu_);
            sessions_.erase(fd);
            close(fd);
            changed_.WaitUntil(mu_,
                               std::chrono::steady_clock::now() + std::chrono::milliseconds(500));
        }
    }
}

void MtaServer::RunSession(int fd) {
    {
        std::unique_ptr<SessionHandler> handler = factory_();
        MtaSessionRunner(fd, readTimeoutSec_, *handler).Run();
    }
    twLock lock(mu_);
    sessions_.erase(fd);
    close(fd);
    changed_.NotifyAll();
}

void MtaServer::StopAccepting() {
    {
        twLock lock(mu_);
        if (stopping_) return;
        stopping_ = true;
        changed_.NotifyAll();
    }
    if (stopFd_ >= 0) {
        const uint64_t one = 1;
        if (write(stopFd_, &one, sizeof one) < 0) {
            // The counter is non-zero already.
        }
    }
    if (acceptor_.joinable()) acceptor_.join();
    if (listenFd_ >= 0) close(listenFd_);
    listenFd_ = -1;
}

size_t MtaServer::OpenSessions() {
    twLock lock(mu_);
    return sessions_.size();
}

size_t MtaServer::WaitSessions(std::chrono::steady_clock::time_point deadline) {
    twLock lock(mu_);
    while (!sessions_.empty() && changed_.WaitUntil(mu_, deadline)) {
    }
    return sessions_.size();
}

void MtaServer::CutOff() {
    twLock lock(mu_);
    for (int fd : sessions_) shutdown(fd, SHUT_RD);
}

void MtaServer::ShutAll() {
    twLock lock(mu_);
    for (int fd : sessions_) shutdown(fd, SHUT_RDWR);
}

}  // namespace milter
