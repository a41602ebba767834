// Listening socket, per-connection frame reader, reply writer and worker pool
// of the engine daemons.  See frame_server.h for the contract.
#include "engines/kit/frame_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <google/protobuf/message_lite.h>

#include "common/base/daemonlog.h"
#include "common/base/signals.h"
#include "engines/kit/connect.h"

namespace engined {

using daemonlog::Error;
using daemonlog::Log;
using daemonlog::Warn;

namespace {

enum class ReadResult { kOk, kEndOfStream, kTruncated, kTimeout, kError };

using Clock = std::chrono::steady_clock;

// Reads into buf[done..len).  The deadline starts with the first byte:
// nothing at all before it is the quiet of a connection between frames.
// End of stream before any byte is the client's orderly goodbye; after
// one, the frame was cut short.
ReadResult ReadFrameBytes(int fd, char* buf, size_t len, size_t& done, bool& started,
                          Clock::time_point& deadline, int timeoutSeconds) {
    while (done < len) {
        // A connection quiet between frames is kept however long it stays
        // quiet.
        switch (WaitReady(fd, POLLIN, started ? deadline : Clock::time_point::max())) {
            case Readiness::kReady:
                break;
            case Readiness::kTimeout:
                return ReadResult::kTimeout;
            case Readiness::kError:
                return ReadResult::kError;
        }
        ssize_t n = read(fd, buf + done, len - done);
        if (n > 0) {
            if (!started) {
                started = true;
                deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
            }
            done += static_cast<size_t>(n);
        } else if (n == 0) {
            return started ? ReadResult::kTruncated : ReadResult::kEndOfStream;
        } else if (errno != EINTR && errno != EAGAIN) {
            return ReadResult::kError;
        }
    }
    return ReadResult::kOk;
}

const char* Describe(ReadResult result, bool inLength) {
    switch (result) {
        case ReadResult::kTruncated:
            return inLength ? "stream ended inside a frame length" : "stream ended inside a frame";
        case ReadResult::kTimeout:
            return "a frame was not whole within the frame timeout, closing";
        default:
            return strerror(errno);
    }
}

bool FillAddress(const std::string& path, sockaddr_un& address) {
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) return false;
    memcpy(address.sun_path, path.data(), path.size());
    return true;
}

}  // namespace

size_t NextFrameCapacity(size_t arrived, size_t capacity, size_t length) {
    if (arrived < capacity) return capacity;
    size_t next = std::max(firstFrameChunk, 2 * arrived);
    return std::min(next, length);
}

bool Connection::Send(const google::protobuf::MessageLite& message) {
    if (broken_.load()) return false;
    std::string frame;
    size_t size = message.ByteSizeLong();
    frame.resize(4 + size);
    uint32_t length = static_cast<uint32_t>(size);
    for (int i = 0; i < 4; ++i) frame[i] = static_cast<char>((length >> (8 * i)) & 0xff);
    if (!message.SerializeToArray(&frame[4], static_cast<int>(size))) {
        Warn("connection %u: a reply could not be serialised", id_);
        return false;
    }
    twLock lock(writeMutex_);
    return WriteFrame(frame);
}

bool Connection::WriteFrame(const std::string& frame) {
    size_t done = 0;
    while (done < frame.size()) {
        ssize_t n = send(fd_.Get(), frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        int error = n < 0 ? errno : EPIPE;
        if (!broken_.exchange(true)) {
            Warn("connection %u: reply lost, giving the client up: %s", id_, strerror(error));
            // Half a frame is on the wire; nothing after it could be read right.
            shutdown(fd_.Get(), SHUT_RDWR);
        }
        return false;
    }
    return true;
}

void Connection::Shutdown() {
    shutdown(fd_.Get(), SHUT_RDWR);
}

WorkerPool::WorkerPool(unsigned threads, size_t maxQueued) : maxQueued_(maxQueued) {
    for (unsigned i = 0; i < threads; ++i) threads_.emplace_back(&WorkerPool::Work, this);
}

WorkerPool::~WorkerPool() {
    {
        twLock lock(mutex_);
        stopping_ = true;
        queue_.clear();
    }
    jobReady_.NotifyAll();
    spaceReady_.NotifyAll();
    for (std::thread& thread : threads_) thread.join();
}

void WorkerPool::Submit(std::function<void()> job) {
    {
        twLock lock(mutex_);
        while (!stopping_ && queue_.size() >= maxQueued_) spaceReady_.Wait(mutex_);
        if (stopping_) return;
        queue_.push_back(std::move(job));
    }
    jobReady_.NotifyOne();
}

void WorkerPool::Work() {
    for (;;) {
        std::function<void()> job;
        {
            twLock lock(mutex_);
            while (!stopping_ && queue_.empty()) jobReady_.Wait(mutex_);
            if (stopping_) return;
            job = std::move(queue_.front());
            queue_.pop_front();
        }
        spaceReady_.NotifyOne();
        try {
            job();
        } catch (const std::exception& e) {
            Error("a request failed: %s", e.what());
        }
    }
}

FrameServer::~FrameServer() {
    if (ownsPath_) unlink(path_.c_str());
}

bool FrameServer::Listen() {
    sockaddr_un address;
    if (!FillAddress(path_, address)) {
        Error("socket path must be 1 to %zu characters long: %s", sizeof address.sun_path - 1,
              path_.c_str());
        return false;
    }
    struct stat st;
    if (lstat(path_.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            Error("%s exists and is not a socket", path_.c_str());
            return false;
        }
        UniqueFd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (probe.Valid() &&
            connect(probe.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            Error("%s is in use by a running daemon", path_.c_str());
            return false;
        }
        // Nobody answers: a daemon that died without cleaning up left it.
        unlink(path_.c_str());
    }
    listenFd_.Reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listenFd_.Valid()) {
        Error("cannot create a socket: %s", strerror(errno));
        return false;
    }
    // No moment of looser permissions than configured: see CreateSocketFile.
    std::string why;
    if (!CreateSocketFile(
            path_, socket_,
            [this, &address](std::string& failure) {
                if (bind(listenFd_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) ==
                    0)
                    return ownsPath_ = true;
                failure = "cannot bind " + path_ + ": " + strerror(errno);
                return false;
            },
            why)) {
        Error("%s", why.c_str());
        return false;
    }
    if (listen(listenFd_.Get(), 16) != 0) {
        Error("cannot listen on %s: %s", path_.c_str(), strerror(errno));
        return false;
    }
    return true;
}

void FrameServer::Run() {
    while (!stopRequested.load()) {
        if (reloadRequested.exchange(false)) handler_.OnReload();
        handler_.OnIdle();
        ReapReaders();
        pollfd waiting = {listenFd_.Get(), POLLIN, 0};
        // The timeout bounds how long a signal delivered to another thread goes
        // unnoticed.
        int ready = poll(&waiting, 1, 250);
        if (ready > 0) AcceptOne();
    }
    for (auto& reader : readers_) reader->connection->Shutdown();
    for (auto& reader : readers_) pthread_join(reader->thread, nullptr);
    readers_.clear();
}

void FrameServer::AcceptOne() {
    UniqueFd fd(accept4(listenFd_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!fd.Valid()) {
        if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED) {
            Error("accept failed: %s", strerror(errno));
            // Out of descriptors or memory: do not spin on the same failure.
            usleep(100000);
        }
        return;
    }
    unsigned id = nextId_++;
    Peer peer;
    if (!PeerAllowed(fd.Get(), id, peer)) return;
    if (!SlotFree(peer)) return;
    timeval timeout = {sendTimeoutSeconds, 0};
    setsockopt(fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    auto reader = std::make_unique<Reader>();
    reader->server = this;
    reader->peer = std::move(peer.who);
    reader->uid = peer.uid;
    reader->trusted = peer.trusted;
    reader->connection = std::make_shared<Connection>(std::move(fd), id);
    // A reader only cuts frames and hands them on: a small stack, where the
    // default would reserve 8 MiB for each of up to maxConnections threads.
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, readerStackBytes);
    int rc = pthread_create(&reader->thread, &attributes, &FrameServer::ReaderMain, reader.get());
    pthread_attr_destroy(&attributes);
    if (rc != 0) {
        Error("connection %u refused: no thread for it: %s", id, strerror(rc));
        return;
    }
    readers_.push_back(std::move(reader));
}

void* FrameServer::ReaderMain(void* reader) {
    Reader& self = *static_cast<Reader*>(reader);
    self.server->ReadLoop(self);
    return nullptr;
}

bool FrameServer::SlotFree(const Peer& peer) {
    const unsigned total = access_.maxConnections;
    const unsigned perUser = std::min(access_.maxPerUser, total / 2);
    unsigned all = 0, untrusted = 0, same = 0;
    for (const auto& reader : readers_) {
        if (reader->done.load()) continue;
        ++all;
        if (reader->trusted) continue;
        ++untrusted;
        if (reader->uid == peer.uid) ++same;
    }
    const char* why = nullptr;
    if (all >= total) {
        why = "every slot is taken";
    } else if (!peer.trusted && same >= perUser) {
        why = "its user holds --max-per-user connections already";
    } else if (!peer.trusted && untrusted + perUser >= total) {
        why = "the remaining slots are kept for root, the daemon's user and the allow lists";
    }
    if (why == nullptr) return true;
    // A hostile client can repeat this as fast as it connects: the log gets
    // one line a second and the count of the others.
    const time_t now = time(nullptr);
    if (now != lastRefusalLog_) {
        Warn(
            "refusing a connection of %s: %s (%u clients connected; %u more refused since the "
            "last such line)",
            peer.who.c_str(), why, all, refusedQuietly_);
        lastRefusalLog_ = now;
        refusedQuietly_ = 0;
    } else {
        ++refusedQuietly_;
    }
    return false;
}

bool FrameServer::PeerAllowed(int fd, unsigned id, Peer& peer) const {
    ucred cred;
    socklen_t size = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0) {
        Warn("connection %u refused: the peer's credentials cannot be read: %s", id,
             strerror(errno));
        return false;
    }
    peer.uid = cred.uid;
    peer.who = "uid " + std::to_string(cred.uid) + " gid " + std::to_string(cred.gid) + " pid " +
               std::to_string(cred.pid);
    // Root and the daemon's own user could use the socket anyway.
    peer.trusted = cred.uid == 0 || cred.uid == geteuid();
    for (unsigned uid : access_.allowUids) {
        if (uid == cred.uid) peer.trusted = true;
    }
    if (!peer.trusted && !access_.allowGids.empty()) {
        // The supplementary groups count too: a filter that runs as the mail
        // server's user in the engine's group is let in by that group.
        std::vector<gid_t> groups(64);
        socklen_t groupBytes = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
        if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &groupBytes) == 0) {
            groups.resize(groupBytes / sizeof(gid_t));
        } else {
            groups.clear();
        }
        groups.push_back(cred.gid);
        for (unsigned gid : access_.allowGids) {
            for (gid_t member : groups) {
                if (gid == member) peer.trusted = true;
            }
        }
    }
    if (peer.trusted || (access_.allowUids.empty() && access_.allowGids.empty())) return true;
    Warn("connection %u refused: %s is not allowed by --allow-uid or --allow-gid", id,
         peer.who.c_str());
    return false;
}

void FrameServer::ReapReaders() {
    for (auto it = readers_.begin(); it != readers_.end();) {
        if ((*it)->done.load()) {
            pthread_join((*it)->thread, nullptr);
            it = readers_.erase(it);
        } else {
            ++it;
        }
    }
}

void FrameServer::ReadLoop(Reader& reader) {
    const std::shared_ptr<Connection>& connection = reader.connection;
    const unsigned id = connection->Id();
    const int fd = connection->Fd();
    const int timeoutSeconds = static_cast<int>(access_.frameTimeoutSeconds);
    Log("connection %u opened by %s", id, reader.peer.c_str());
    bool malformed = false;
    std::string body;
    for (;;) {
        unsigned char prefix[4];
        size_t done = 0;
        bool started = false;
        Clock::time_point deadline;
        ReadResult result = ReadFrameBytes(fd, reinterpret_cast<char*>(prefix), 4, done, started,
                                           deadline, timeoutSeconds);
        if (result == ReadResult::kEndOfStream) break;
        if (result != ReadResult::kOk) {
            Log("connection %u: %s", id, Describe(result, true));
            break;
        }
        uint32_t length =
            prefix[0] | prefix[1] << 8 | prefix[2] << 16 | static_cast<uint32_t>(prefix[3]) << 24;
        if (length > access_.maxFrameBytes) {
            Warn("connection %u: frame of %u bytes exceeds the limit of %llu bytes", id, length,
                 static_cast<unsigned long long>(access_.maxFrameBytes));
            malformed = true;
            break;
        }
        // A fresh buffer per frame, grown with what has arrived: an announced
        // length costs nothing until its bytes come, and one huge frame does
        // not pin its memory for the life of the connection.
        std::string().swap(body);
        size_t arrived = 0;
        while (result == ReadResult::kOk && arrived < length) {
            body.resize(NextFrameCapacity(arrived, body.size(), length));
            result = ReadFrameBytes(fd, &body[0], body.size(), arrived, started, deadline,
                                    timeoutSeconds);
        }
        if (result != ReadResult::kOk) {
            Log("connection %u: %s", id, Describe(result, false));
            break;
        }
        if (!handler_.OnFrame(connection, body)) {
            malformed = true;
            break;
        }
    }
    if (malformed) {
        Warn("connection %u: closed after a malformed frame", id);
        connection->Shutdown();
    } else {
        Log("connection %u closed", id);
    }
    handler_.OnClose(connection);
    reader.done.store(true);
}

}  // namespace engined
