// The server side of the engine wire protocol, shared by the engine daemons:
// a listening unix-domain socket, one reader thread per client connection that
// cuts the stream into frames (4-byte little-endian length, then the body), a
// small worker pool for the slow part of each request, and replies written
// whole, one frame at a time, on the connection the request came from.
//
// Inputs: connections on the socket path and their frames.  The server knows
// nothing of the schemas; a FrameHandler parses the bodies.  The socket file
// gets its mode and group before the socket listens, so no client ever
// connects under looser permissions; each client's user and group are read
// from the kernel (SO_PEERCRED), logged, and checked against the allow lists
// of SocketAccess.  Limits: a frame
// longer than SocketAccess::maxFrameBytes (at most maxFrameLength), a body the handler refuses, or
// a truncated frame ends that connection with a log line; a frame's buffer grows with the bytes
// that have arrived, never to the announced length up front, and a frame
// whose first byte has arrived must be whole within the frame timeout;
// a connection quiet between frames is kept however long it stays quiet.
// At most SocketAccess::maxConnections clients are served at once, and one
// user that is not trusted (root, the daemon's own user, the --allow-uid and
// --allow-gid lists) holds at most maxPerUser of them, while such users
// together leave maxPerUser slots free for the trusted ones; a reply that
// cannot be written within sendTimeoutSeconds gives the client up.
#ifndef TARNWICK_ENGINES_KIT_FRAME_SERVER_H
#define TARNWICK_ENGINES_KIT_FRAME_SERVER_H

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/base/owners.h"
#include "common/base/socket_access.h"
#include "common/base/threads.h"
#include "engines/kit/daemon_options.h"

namespace google {
namespace protobuf {
class MessageLite;
}
}  // namespace google

namespace engined {

constexpr int sendTimeoutSeconds = 30;
// The first allocation for a frame body; it doubles as bytes arrive.
constexpr size_t firstFrameChunk = 64u << 10;
// The stack of a connection's reader thread, which only cuts frames.
constexpr size_t readerStackBytes = 256u << 10;

// What a frame body has arrived into: grows at most to twice what has
// arrived (and never past length), so an announced length costs nothing
// until its bytes come.  Pure, for the tests.
size_t NextFrameCapacity(size_t arrived, size_t capacity, size_t length);

// One client connection.  Shared by its reader thread and by every job still
// working on one of its requests; the descriptor closes with the last owner.
class Connection {
  public:
    Connection(UniqueFd fd, unsigned id) : fd_(std::move(fd)), id_(id) {}

    // Writes one frame holding message.  False when the client is gone or the
    // write failed; the first such failure is logged and gives the client up.
    bool Send(const google::protobuf::MessageLite& message);
    // Ends both directions, so the reader's next read returns end of stream.
    void Shutdown();
    unsigned Id() const { return id_; }
    int Fd() const { return fd_.Get(); }

  private:
    // Writes one whole frame; the lock keeps frames of two jobs from
    // interleaving on the socket.
    bool WriteFrame(const std::string& frame) REQUIRES(writeMutex_);

    UniqueFd fd_;  // set once at construction
    const unsigned id_;
    twMutex writeMutex_;
    std::atomic<bool> broken_{false};
};

// A fixed set of threads running submitted jobs in arrival order.
class WorkerPool {
  public:
    WorkerPool(unsigned threads, size_t maxQueued);
    // Jobs not yet started are dropped; running ones are waited for.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Waits while maxQueued jobs are already waiting: a client that floods us
    // is slowed down instead of growing the queue without bound.
    void Submit(std::function<void()> job);

  private:
    void Work();

    const size_t maxQueued_;
    twMutex mutex_;
    twCondVar jobReady_;
    twCondVar spaceReady_;
    std::deque<std::function<void()>> queue_ GUARDED_BY(mutex_);
    bool stopping_ GUARDED_BY(mutex_) = false;
    std::vector<std::thread> threads_;  // touched only by the constructor and destructor
};

class FrameHandler {
  public:
    virtual ~FrameHandler() = default;
    // Runs on the connection's reader thread for each complete frame body.
    // Returns false when the body is malformed (after logging why); the
    // connection is then closed.
    virtual bool OnFrame(const std::shared_ptr<Connection>& connection,
                         const std::string& body) = 0;
    // The reader of this connection has ended; jobs may still hold it.
    virtual void OnClose(const std::shared_ptr<Connection>&) {}
    // Runs on the accept loop after SIGHUP.
    virtual void OnReload() {}
    // Runs on the accept loop at least every quarter of a second.
    virtual void OnIdle() {}
};

class FrameServer {
  public:
    FrameServer(SocketOptions socket, FrameHandler& handler, SocketAccess access = {})
        : socket_(std::move(socket)),
          path_(socket_.path),
          handler_(handler),
          access_(std::move(access)) {}
    // Removes the socket file if this server created it.
    ~FrameServer();
    FrameServer(const FrameServer&) = delete;
    FrameServer& operator=(const FrameServer&) = delete;

    // Creates the listening socket.  A stale socket file left by a dead daemon
    // is replaced; one that a live daemon still answers on is not.  The file
    // gets the mode and group of the SocketOptions before listen().  Logs and
    // returns false on failure.
    bool Listen();
    // Serves until stopRequested is set; returns once every reader has ended.
    void Run();

  private:
    struct Reader {
        FrameServer* server = nullptr;
        std::shared_ptr<Connection> connection;
        std::string peer;  // "uid 107 gid 113 pid 4711", for the log
        unsigned uid = 0;
        bool trusted = false;
        pthread_t thread{};
        std::atomic<bool> done{false};
    };
    // Who is at the other end of a socket.
    struct Peer {
        std::string who;
        unsigned uid = 0;
        bool trusted = false;  // root, our own user, or one of the allow lists
    };

    static void* ReaderMain(void* reader);
    void ReadLoop(Reader& reader);
    void AcceptOne();
    void ReapReaders();
    // Reads the peer of fd; false (logged) when it may not use the daemon.
    bool PeerAllowed(int fd, unsigned id, Peer& peer) const;
    // Whether a new connection of peer fits the connection limits; logs a
    // refusal, at most one line a second.
    bool SlotFree(const Peer& peer);

    const SocketOptions socket_;
    const std::string& path_;
    FrameHandler& handler_;
    const SocketAccess access_;
    UniqueFd listenFd_;
    bool ownsPath_ = false;
    unsigned nextId_ = 1;
    // Refusals for want of a slot since the last such line in the log.
    unsigned refusedQuietly_ = 0;
    time_t lastRefusalLog_ = 0;
    // Only the accept loop (Run) touches this list; a reader reports its end
    // through its own atomic `done`.
    std::list<std::unique_ptr<Reader>> readers_;
};

}  // namespace engined

#endif
