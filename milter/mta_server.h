// The host's own side of the milter protocol: the accept loop on the
// listening socket, a thread per MTA session (the callbacks may block
// until the filters answer), and each session's context (its macros, the
// reply and the header changes it sends at the end of a message).
//
// Why not libmilter: it polls and then reads each command's length and
// then its data, with no buffering, while Postfix streams the commands a
// filter takes without reply (every header field is one): behind Postfix
// that was most of the host's system calls per message.  And it opens its
// listening socket itself and stops on its own terms, so the host had to
// work around it to serve on the socket the service manager holds and to
// let the open sessions end at the stop.  Here one read takes every
// command that has arrived, the replies of a batch leave in one write, the
// inherited socket is used as it is, and the stop waits on a condition.
//
// A session reads with the read timeout (libmilter's 7210 s unless the
// option says otherwise; a silent MTA's session then ends) and ends, with
// a log line, at a frame over kMaxFrameData, a malformed or unknown
// command or one out of order.  At most maxSessions run at once; further
// connections wait in the kernel's backlog of the listening socket until
// one ends.
#ifndef TARNWICK_MILTER_MTA_SERVER_H
#define TARNWICK_MILTER_MTA_SERVER_H

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/base/threads.h"
#include "milter/mta_protocol.h"

namespace milter {

// One session's context, handed to its handler's calls (which run on the
// session's own thread).
class MtaSession {
  public:
    MtaSession(int fd, int timeoutSec) : fd_(fd), timeoutSec_(timeoutSec) {}

    // A macro the MTA sent at this stage or an earlier one (smfi_getsymval).
    const std::string* Macro(const std::string& name) const { return macros_.Get(name); }
    // The reply text for the next reject or temporary failure, as libmilter
    // builds it; false (nothing set) where libmilter would refuse it.
    bool SetReply(const std::string& code, const std::string& xcode,
                  const std::vector<std::string>& lines);
    // At the end of a message only, and only for the actions negotiated;
    // false otherwise or when the frame would be too long.  Sent ahead of
    // the reply, in the order asked.
    bool AddHeader(const std::string& name, const std::string& value);
    bool ChangeHeader(const std::string& name, uint32_t index, const std::string& value);
    bool Quarantine(const std::string& reason);
    // Sent at once: the MTA's timeout starts again.
    bool Progress();

  private:
    friend class MtaSessionRunner;
    bool Queue(std::string frame);
    bool Flush();
    bool MaySend(uint32_t action) const { return atEnd_ && (actions_ & action) != 0; }

    const int fd_;
    const int timeoutSec_;
    MacroTable macros_;
    SettledOptions options_;
    uint32_t actions_ = 0;  // as the filter asked them
    bool atEnd_ = false;    // inside the end of a message
    std::string reply_;     // set by SetReply, sent with the next refusal
    std::string out_;       // frames not yet written
};

// What the host does at each command; one per session, made by the
// server's factory.  Every call but Close answers with a status.
class SessionHandler {
  public:
    virtual ~SessionHandler() = default;
    // actions and protocol as offered (the protocol with the "no reply"
    // flags the session can answer for itself); outActions/outProtocol as
    // the filter wants them.
    virtual MtaStatus Negotiate(MtaSession& s, uint32_t actions, uint32_t protocol,
                                uint32_t& outActions, uint32_t& outProtocol) = 0;
    virtual MtaStatus Connect(MtaSession& s, const MtaCommand& connect) = 0;
    virtual MtaStatus Helo(MtaSession& s, const std::string& name) = 0;
    virtual MtaStatus Mail(MtaSession& s, const std::vector<std::string>& args) = 0;
    virtual MtaStatus Rcpt(MtaSession& s, const std::vector<std::string>& args) = 0;
    virtual MtaStatus Header(MtaSession& s, const std::string& name, const std::string& value) = 0;
    virtual MtaStatus EndOfHeaders(MtaSession& s) = 0;
    virtual MtaStatus Body(MtaSession& s, const std::string& chunk) = 0;
    virtual MtaStatus EndOfMessage(MtaSession& s) = 0;
    virtual void Abort(MtaSession& s) = 0;
    // The end of the MTA's connection (or of one over a kept connection).
    virtual void Close(MtaSession& s) = 0;
};

class MtaServer {
  public:
    using Factory = std::function<std::unique_ptr<SessionHandler>()>;
    MtaServer(Factory factory, int readTimeoutSec, size_t maxSessions);
    ~MtaServer();

    // Serves on the listening socket (taken over, closed at StopAccepting).
    bool Start(int listenFd);
    // No new session taken: the accept loop ends and the listening socket
    // is closed here (one the service manager holds stays open there, and
    // the connections waiting on it are the next process's).
    void StopAccepting() EXCLUDES(mu_);
    size_t OpenSessions() EXCLUDES(mu_);
    // Until every session ended or the deadline; how many are still open.
    size_t WaitSessions(std::chrono::steady_clock::time_point deadline) EXCLUDES(mu_);
    // The sessions still open read their end: each ends after its message
    // in progress, if any, is answered.
    void CutOff() EXCLUDES(mu_);
    // Every descriptor of the sessions shut, for the last moments of the
    // stop (a session blocked on a write to an MTA that reads no more).
    void ShutAll() EXCLUDES(mu_);
    // Whether the accept loop ended on a failure of the socket (woken
    // through `wake`, an eventfd of the caller's).
    bool Failed() const { return failed_; }
    void OnFailure(int wakeFd) { wakeOnFailure_ = wakeFd; }

  private:
    void AcceptLoop() EXCLUDES(mu_);
    void RunSession(int fd) EXCLUDES(mu_);

    const Factory factory_;
    const int readTimeoutSec_;
    const size_t maxSessions_;
    int listenFd_ = -1;  // the accept loop's
    int stopFd_ = -1;    // an eventfd that wakes the accept loop
    int wakeOnFailure_ = -1;
    std::atomic<bool> failed_{false};
    std::thread acceptor_;
    twMutex mu_;
    twCondVar changed_;                       // a session ended, or the stop
    std::set<int> sessions_ GUARDED_BY(mu_);  // their descriptors
    bool stopping_ GUARDED_BY(mu_) = false;
};

}  // namespace milter

#endif
