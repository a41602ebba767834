// Engine connection and framing, and the reader loop shared by both
// programs.
//
// Limits: a reply body over maxReplyLength is refused before anything is
// allocated for it.  Writes use MSG_NOSIGNAL, so an engine that went away
// makes a send fail instead of killing the process with SIGPIPE.
//
// Reconnection at a reload: the main thread never closes a connection the
// reader may still be blocked on (the number could be reused at once by the
// new socket).  It shuts the old one down, which wakes the reader, and hands
// it over; the reader closes it and carries on with the new connection.
#include "common/engine/engine.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/message.h>
#include <google/protobuf/message_lite.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <vector>

#include "common/base/log.h"
#include "common/base/process.h"
#include "common/base/threads.h"
#include "common/engine/worker.h"

namespace {

// The state of the link, shared by the main thread (which connects, sends
// and retires connections) and the reader thread (which reads and closes
// retired connections).  The lock is taken alone.
class engineLink {
  public:
    twMutex mutex;
    twCondVar changed;
    // The connection in force; -1 before the first connect.  Atomic as well,
    // so that the main thread's sends read it without the lock.
    std::atomic<int> fd{-1};
    bool reconnecting GUARDED_BY(mutex) = false;    // between CloseEngine and the next InitEngine
    bool closedForGood GUARDED_BY(mutex) = false;   // shutdown: no connection follows
    std::vector<int> retiredFds GUARDED_BY(mutex);  // shut down, closed by the reader
    bool readerDone GUARDED_BY(mutex) = false;
};

engineLink theLink;

// True when the connection `fd` was taken out of use by us, so a failure on
// it is part of a reload or of shutdown and not an engine fault.
bool connectionRetired(int fd) {
    twLock lock(theLink.mutex);
    return theLink.reconnecting || theLink.closedForGood || fd != theLink.fd.load();
}

// Forgets the frames waiting for the connection in force (defined below).
void dropQueuedFrames();

// `cause` is the text the line gives; strerror(errno) unless the call
// failed without an error (the engine closed the connection).
[[noreturn]] void ioFailure(int fd, const char* logFmt, const char* what, const char* cause) {
    if (!connectionRetired(fd)) PrintMsg(logFmt, cause);
    throw std::runtime_error(what);
}

[[noreturn]] void ioFailure(int fd, const char* logFmt, const char* what, int err) {
    ioFailure(fd, logFmt, what, strerror(err));
}

}  // namespace

namespace {

// One non-blocking connect to path, which returns -2 (nothing logged) when
// the engine's queue of connections is full and `lastTry` is not set.
// Other failures log and throw.  A blocking connect would wait as long as
// the queue stays full, with nothing to bound it.
int connectOnce(const std::string& path, bool lastTry) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        PrintMsg("* Error: Cannot create a socket: %s\n", strerror(errno));
        throw std::runtime_error("Cannot create socket");
    }
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    int rc = -1;
    if (path.size() < sizeof addr.sun_path) {
        memcpy(addr.sun_path, path.data(), path.size());
        rc = connect(fd, reinterpret_cast<struct sockaddr*>(&addr),
                     static_cast<socklen_t>(path.size() + 2));
    } else {
        errno = ENAMETOOLONG;
    }
    if (rc != 0) {
        int err = errno;
        close(fd);
        if (!lastTry && (err == EAGAIN || err == EWOULDBLOCK)) return -2;
        PrintMsg("* Error: Cannot connect to ScanEngine: %s : %s\n", strerror(err), path.c_str());
        throw std::runtime_error("Cannot connect to ScanEngine");
    }
    // The reader blocks on it; sends never wait (MSG_DONTWAIT).
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

void useConnection(int fd, const std::string& socketPath) {
    {
        twLock lock(theLink.mutex);
        theLink.fd = fd;
        theLink.reconnecting = false;
    }
    theLink.changed.NotifyAll();
    PrintMsg("* Connected to %s\n", socketPath.c_str());
}

// A reload's connect still trying (main thread only).
struct pendingConnect {
    bool active = false;
    std::string path;
    int64_t deadlineMs = 0;
};
pendingConnect reconnect;

constexpr long connectRetryMs = 20;

int64_t steadyMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

int connect_to_scan_engine(const std::string& path) {
    const int64_t deadlineMs = steadyMs() + reconnectLimitMs;
    for (;;) {
        const int fd = connectOnce(path, steadyMs() >= deadlineMs);
        if (fd != -2) return fd;
        // A Unix socket gives no sign when its queue has room again.
        struct timespec pause = {0, connectRetryMs * 1000000};
        nanosleep(&pause, nullptr);
    }
}

int EngineConnection() {
    return theLink.fd.load();
}

void InitEngine(const std::string& socketPath) {
    int fd;
    try {
        fd = connect_to_scan_engine(socketPath);
    } catch (const std::exception&) {
        xExit(1);
    }
    useConnection(fd, socketPath);
}

bool ConnectEngine(const std::string& socketPath) {
    reconnect.active = true;
    reconnect.path = socketPath;
    reconnect.deadlineMs = steadyMs() + reconnectLimitMs;
    return ContinueEngineConnect();
}

bool EngineConnecting() {
    return reconnect.active;
}

bool ContinueEngineConnect() {
    if (!reconnect.active) return false;
    int fd;
    try {
        fd = connectOnce(reconnect.path, steadyMs() >= reconnect.deadlineMs);
    } catch (const std::exception&) {
        xExit(1);
    }
    if (fd == -2) return false;
    reconnect.active = false;
    useConnection(fd, reconnect.path);
    return true;
}

void CloseEngine() {
    PrintMsg("* Closing Engine\n");
    int fd;
    {
        twLock lock(theLink.mutex);
        fd = theLink.fd.load();
        if (fd < 0) {
            // No connection (a reload's connect still trying): a shutdown
            // ends the reader waiting for one.
            reconnect.active = false;
            if (quitRequest) theLink.closedForGood = true;
            theLink.changed.NotifyAll();
            return;
        }
        if (quitRequest) {
            theLink.closedForGood = true;
        } else {
            theLink.reconnecting = true;
            theLink.retiredFds.push_back(fd);
        }
        // No connection until the next one is made: sends wait for it.
        theLink.fd = -1;
    }
    // Frames still waiting were meant for this connection; the pending
    // requests go again whole on the next one.
    dropQueuedFrames();
    // Wakes a reader blocked on this connection; replies already received
    // on it can still be read.
    shutdown(fd, SHUT_RDWR);
    if (quitRequest) {
        // Give the reader a moment to finish the reply it may be handling,
        // so its last lines come before ours; then the socket goes.
        if (WaitReaderEnded(1000)) close(fd);
    }
}

namespace {

// Writes every byte of the pieces, resuming after short writes and EINTR.
void writeAll(int fd, struct iovec* iov, int count) {
    while (count > 0) {
        struct msghdr msg;
        memset(&msg, 0, sizeof msg);
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<size_t>(count);
        ssize_t n = sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            ioFailure(fd, "* Error: Cannot send data to ScanEngine: %s\n",
                      "Cannot send data to ScanEngine", errno);
        SkipWritten(iov, count, static_cast<size_t>(n));
    }
}

}  // namespace

void write_exact(int fd, const void* data, size_t len) {
    struct iovec iov = {const_cast<void*>(data), len};
    writeAll(fd, &iov, len ? 1 : 0);
}

void read_exact(int fd, void* buf, size_t len) {
    char* p = static_cast<char*>(buf);
    size_t done = 0;
    while (done < len) {
        ssize_t n = read(fd, p + done, len - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n == 0) {
            // End of stream sets no errno: name the cause, not "Success".
            ioFailure(fd, "* Error: Cannot get data from ScanEngine: %s\n",
                      "Cannot get data from ScanEngine", "connection closed by the engine");
        } else {
            ioFailure(fd, thisProcess->readErrorFormat, "Cannot get data from ScanEngine", errno);
        }
    }
}

namespace {

// Builds the length prefix, the serialized head and `tail` (bytes that
// belong to the body right behind the head) into `frame`; `after` more body
// bytes follow on the wire from elsewhere.  Requests are small, so the frame
// goes into the caller's stack buffer unless it does not fit there.
class frameStart {
  public:
    frameStart(const google::protobuf::MessageLite& head, const unsigned char* tail,
               size_t tailSize, size_t after) {
        if (!head.IsInitialized()) {
            // A message without its required fields is a programming error.
            PrintMsg("* internal error: incomplete engine request\n");
            abort();
        }
        const size_t headSize = head.ByteSizeLong();
        size_ = 4 + headSize + tailSize;
        if (size_ > sizeof small_) big_.resize(size_);
        unsigned char* frame = data();
        const uint32_t len = static_cast<uint32_t>(headSize + tailSize + after);
        for (int i = 0; i < 4; ++i) frame[i] = static_cast<unsigned char>(len >> (8 * i));
        head.SerializeWithCachedSizesToArray(frame + 4);
        if (tailSize) memcpy(frame + 4 + headSize, tail, tailSize);
    }
    unsigned char* data() { return big_.empty() ? small_ : big_.data(); }
    size_t size() const { return size_; }

  private:
    unsigned char small_[512];
    std::vector<unsigned char> big_;
    size_t size_ = 0;
};

// The frames the engine has not taken yet, whole and in the order they were
// sent; the first may be partly written.  Main thread only: it sends, and
// its command loop drains the queue when the socket is writable.
class sendQueue {
  public:
    bool Empty() const { return frames_.empty(); }
    size_t Bytes() const { return bytes_; }
    int Fd() const { return fd_; }

    // Sends one frame on fd without waiting.  Directly while nothing waits
    // (no copy); what the socket does not take at once is queued behind the
    // frames already waiting, so frames never interleave.  The unsent part
    // is copied, except what lies in `owner`'s buffer (the last entry of
    // iov): the queue takes that buffer over instead, so a large message is
    // never held twice.
    void Send(int fd, struct iovec* iov, int count, std::unique_ptr<char[]> owner = nullptr) {
        if (fd != fd_) Clear(fd);
        const char* ownedFrom = owner ? static_cast<const char*>(iov[count - 1].iov_base) : nullptr;
        const char* ownedEnd = ownedFrom ? ownedFrom + iov[count - 1].iov_len : nullptr;
        if (frames_.empty()) {
            writeSome(iov, count);
            if (count == 0) return;
        }
        frame queuedFrame;
        int copied = count;
        const char* last = static_cast<const char*>(iov[count - 1].iov_base);
        if (ownedFrom != nullptr && last >= ownedFrom && last < ownedEnd) {
            queuedFrame.tail = last;
            queuedFrame.tailLen = iov[count - 1].iov_len;
            queuedFrame.owner = std::move(owner);
            copied = count - 1;
        }
        queuedFrame.copy.reserve(totalOf(iov, copied));
        for (int i = 0; i < copied; ++i)
            queuedFrame.copy.append(static_cast<const char*>(iov[i].iov_base), iov[i].iov_len);
        bytes_ += queuedFrame.Size();
        frames_.push_back(std::move(queuedFrame));
        try {
            Flush();
        } catch (const std::exception&) {
            // The connection broke: what waits for it can never be sent.
            Clear(-1);
            throw;
        }
    }

    // Writes as much of the waiting frames as the socket takes now.
    void Flush() {
        while (!frames_.empty()) {
            const frame& front = frames_.front();
            struct iovec pieces[2];
            int count = 0;
            if (offset_ < front.copy.size())
                pieces[count++] = {const_cast<char*>(front.copy.data()) + offset_,
                                   front.copy.size() - offset_};
            const size_t intoTail = offset_ > front.copy.size() ? offset_ - front.copy.size() : 0;
            if (intoTail < front.tailLen)
                pieces[count++] = {const_cast<char*>(front.tail) + intoTail,
                                   front.tailLen - intoTail};
            struct iovec* iov = pieces;
            const size_t done = writeSome(iov, count);
            offset_ += done;
            bytes_ -= done;
            if (offset_ < front.Size()) return;
            frames_.pop_front();
            offset_ = 0;
        }
    }

    // The frames belong to a connection: a new one starts with none (its
    // pending requests are sent again whole).
    void Clear(int fd) {
        std::deque<frame>().swap(frames_);
        bytes_ = 0;
        offset_ = 0;
        fd_ = fd;
    }

  private:
    // A waiting frame: `copy`, then tailLen bytes at `tail` inside the
    // buffer `owner` holds (none for a frame copied whole).
    struct frame {
        std::string copy;
        std::unique_ptr<char[]> owner;
        const char* tail = nullptr;
        size_t tailLen = 0;
        size_t Size() const { return copy.size() + tailLen; }
    };

    static size_t totalOf(const struct iovec* iov, int count) {
        size_t total = 0;
        for (int i = 0; i < count; ++i) total += iov[i].iov_len;
        return total;
    }

    // Writes until the socket would block, moving iov and count past what
    // was written; returns the bytes written.  Throws on a failure.
    size_t writeSome(struct iovec*& iov, int& count) {
        size_t written = 0;
        while (count > 0) {
            struct msghdr msg;
            memset(&msg, 0, sizeof msg);
            msg.msg_iov = iov;
            msg.msg_iovlen = static_cast<size_t>(count);
            ssize_t n = sendmsg(fd_, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            if (n <= 0)
                ioFailure(fd_, "* Error: Cannot send data to ScanEngine: %s\n",
                          "Cannot send data to ScanEngine", errno);
            written += static_cast<size_t>(n);
            SkipWritten(iov, count, static_cast<size_t>(n));
        }
        return written;
    }

    std::deque<frame> frames_;
    size_t offset_ = 0;  // bytes of frames_.front() already written
    size_t bytes_ = 0;   // unsent bytes of all frames
    int fd_ = -1;
};

sendQueue queued;

void dropQueuedFrames() {
    queued.Clear(-1);
}

void buildBytesFrame(int fieldNo, size_t payloadLen, unsigned char (&fieldHead)[16],
                     size_t& fieldHeadLen) {
    // Tag and length of the bytes field go right behind the head: fields of
    // a message may come in any order on the wire, and this one is last.
    uint8_t* end = google::protobuf::io::CodedOutputStream::WriteTagToArray(
        static_cast<uint32_t>(fieldNo << 3 | 2), fieldHead);
    end = google::protobuf::io::CodedOutputStream::WriteVarint32ToArray(
        static_cast<uint32_t>(payloadLen), end);
    fieldHeadLen = static_cast<size_t>(end - fieldHead);
}

}  // namespace

void send_command(const google::protobuf::MessageLite& command, int fd) {
    frameStart frame(command, nullptr, 0, 0);
    write_exact(fd, frame.data(), frame.size());
}

void send_command_with_bytes(const google::protobuf::MessageLite& head, int fieldNo,
                             const char* payload, size_t payloadLen, int fd) {
    unsigned char fieldHead[16];
    size_t fieldHeadLen = 0;
    buildBytesFrame(fieldNo, payloadLen, fieldHead, fieldHeadLen);
    frameStart prefix(head, fieldHead, fieldHeadLen, payloadLen);
    struct iovec iov[2] = {{prefix.data(), prefix.size()},
                           {const_cast<char*>(payload), payloadLen}};
    writeAll(fd, iov, payloadLen ? 2 : 1);
}

void EngineSend(const google::protobuf::MessageLite& command) {
    // Between a reload's close and its connect the request stays pending
    // and goes out with the others once connected.
    if (theLink.fd.load() < 0) return;
    frameStart frame(command, nullptr, 0, 0);
    struct iovec iov = {frame.data(), frame.size()};
    queued.Send(theLink.fd.load(), &iov, 1);
}

void EngineSendWithBytes(const google::protobuf::MessageLite& head, int fieldNo,
                         const char* payload, size_t payloadLen, std::unique_ptr<char[]> owner) {
    if (theLink.fd.load() < 0) return;
    unsigned char fieldHead[16];
    size_t fieldHeadLen = 0;
    buildBytesFrame(fieldNo, payloadLen, fieldHead, fieldHeadLen);
    frameStart prefix(head, fieldHead, fieldHeadLen, payloadLen);
    struct iovec iov[2] = {{prefix.data(), prefix.size()},
                           {const_cast<char*>(payload), payloadLen}};
    queued.Send(theLink.fd.load(), iov, payloadLen ? 2 : 1,
                payloadLen ? std::move(owner) : nullptr);
}

bool EngineSendRoom(size_t frameBytes) {
    return queued.Empty() || queued.Bytes() + frameBytes <= maxQueuedSendBytes;
}

int EngineSendWaitFd() {
    return queued.Empty() ? -1 : queued.Fd();
}

void EngineSendReady() {
    try {
        queued.Flush();
    } catch (const std::exception&) {
        // The engine is gone (logged): the reader notices it too and ends
        // the program; nothing more can be sent on this connection.
        queued.Clear(-1);
    }
}

namespace {

// Walks the wire format of one message of type `type` in [p, end),
// counting repeated entries and unknown fields.  False when the count went
// over the limit; a malformed body ends the walk (the parser refuses it).
class itemCounter {
  public:
    explicit itemCounter(size_t limit) : limit_(limit) {}
    size_t count = 0;
    bool hasSerial = false;
    uint32_t serial = 0;

    bool Walk(const google::protobuf::Descriptor* type, const unsigned char* p,
              const unsigned char* end, int depth) {
        // Deeper than the parser goes: it refuses the body anyway.
        if (depth > 100) return true;
        while (p < end) {
            uint64_t key;
            if (!varint(p, end, key)) return true;
            const int number = static_cast<int>(key >> 3);
            const google::protobuf::FieldDescriptor* field =
                type ? type->FindFieldByNumber(number) : nullptr;
            const int wireType = static_cast<int>(key & 7);
            // The parser keeps as an object of its own every repeated entry
            // and every field it does not take as the schema's: unknown, of
            // another wire type, or an enum value it does not know (below).
            // A known enum value is a plain field of its message.
            if ((field == nullptr || field->is_repeated() || wireType != expectedWireType(field)) &&
                ++count > limit_)
                return false;
            uint64_t value = 0;
            switch (wireType) {
                case 0:
                    if (!varint(p, end, value)) return true;
                    if (field && !field->is_repeated() &&
                        field->type() == google::protobuf::FieldDescriptor::TYPE_ENUM &&
                        field->enum_type()->FindValueByNumber(static_cast<int>(value)) == nullptr &&
                        ++count > limit_)
                        return false;
                    if (depth == 0 && field && field->name() == "serial") {
                        hasSerial = true;
                        serial = static_cast<uint32_t>(value);
                    }
                    break;
                case 1:
                    if (end - p < 8) return true;
                    p += 8;
                    break;
                case 5:
                    if (end - p < 4) return true;
                    p += 4;
                    break;
                case 2: {
                    if (!varint(p, end, value) || value > static_cast<uint64_t>(end - p))
                        return true;
                    const unsigned char* inner = p;
                    p += value;
                    if (field && field->type() == google::protobuf::FieldDescriptor::TYPE_MESSAGE &&
                        !Walk(field->message_type(), inner, p, depth + 1))
                        return false;
                    break;
                }
                case 3:
                case 4:
                    // Groups: nothing of ours uses them, and what is inside
                    // one is kept unknown: all the rest counts.
                    type = nullptr;
                    break;
                default:
                    return true;
            }
        }
        return true;
    }

  private:
    static int expectedWireType(const google::protobuf::FieldDescriptor* field) {
        using fd = google::protobuf::FieldDescriptor;
        switch (field->type()) {
            case fd::TYPE_MESSAGE:
            case fd::TYPE_STRING:
            case fd::TYPE_BYTES:
                return 2;
            case fd::TYPE_DOUBLE:
            case fd::TYPE_FIXED64:
            case fd::TYPE_SFIXED64:
                return 1;
            case fd::TYPE_FLOAT:
            case fd::TYPE_FIXED32:
            case fd::TYPE_SFIXED32:
                return 5;
            case fd::TYPE_GROUP:
                return 3;
            default:
                return 0;
        }
    }
    static bool varint(const unsigned char*& p, const unsigned char* end, uint64_t& value) {
        value = 0;
        for (int shift = 0; shift < 64 && p < end; shift += 7) {
            const unsigned char byte = *p++;
            value |= static_cast<uint64_t>(byte & 0x7f) << shift;
            if ((byte & 0x80) == 0) return true;
        }
        return false;
    }
    size_t limit_;
};

}  // namespace

size_t CountReplyItems(const google::protobuf::MessageLite& prototype, const unsigned char* body,
                       size_t len, size_t limit, bool* hasSerial, uint32_t* serial) {
    const auto* full = dynamic_cast<const google::protobuf::Message*>(&prototype);
    itemCounter counter(limit);
    counter.Walk(full ? full->GetDescriptor() : nullptr, body, body + len, 0);
    if (hasSerial) *hasSerial = counter.hasSerial;
    if (serial) *serial = counter.serial;
    return counter.count;
}

size_t get_answer(google::protobuf::MessageLite& answer, int fd) {
    unsigned char prefix[4];
    read_exact(fd, prefix, 4);
    uint32_t len = static_cast<uint32_t>(prefix[0]) | static_cast<uint32_t>(prefix[1]) << 8 |
                   static_cast<uint32_t>(prefix[2]) << 16 | static_cast<uint32_t>(prefix[3]) << 24;
    if (len > maxReplyLength) throw std::runtime_error("Incorrect answer from ScanEngine");
    // Kept from reply to reply by the thread that reads; a rare large
    // reply's memory is given back after it.  The buffer grows as the bytes
    // come (doubling from 64 KiB), so an announced length costs nothing
    // until its bytes are there.
    thread_local std::vector<unsigned char> body;
    struct releaseLarge {
        ~releaseLarge() {
            if (body.capacity() > 65536) std::vector<unsigned char>().swap(body);
        }
    } release;
    size_t have = 0;
    body.clear();
    while (have < len) {
        const size_t want = std::min<size_t>(len, std::max<size_t>(have * 2, 65536));
        body.resize(want);
        read_exact(fd, body.data() + have, want - have);
        have = want;
    }
    // Each counted object takes two bytes at least: a smaller body needs no
    // count.
    if (len > 2 * maxReplyItems) {
        bool hasSerial = false;
        uint32_t serial = 0;
        if (CountReplyItems(answer, body.data(), len, maxReplyItems, &hasSerial, &serial) >
            maxReplyItems)
            throw replyTooLarge(hasSerial, serial);
    }
    // ParseFromArray would also complain on standard error about missing
    // fields; the verdict is the same, the noise is not wanted.
    const bool parsed =
        answer.ParsePartialFromArray(body.data(), static_cast<int>(len)) && answer.IsInitialized();
    if (!parsed) throw std::runtime_error("Incorrect answer from ScanEngine");
    return len;
}

int ReaderNextConnection(int fd) {
    twLock lock(theLink.mutex);
    if (theLink.closedForGood) return -1;
    while (theLink.reconnecting && !theLink.closedForGood) theLink.changed.Wait(theLink.mutex);
    if (theLink.closedForGood) return -1;
    int current = theLink.fd.load();
    if (current == fd) return -1;
    // Every connection retired since, the one we read included, is ours to
    // close now; requests sent on them are sent again on the new one.
    for (int old : theLink.retiredFds) close(old);
    theLink.retiredFds.clear();
    return current;
}

void ReaderEnded() {
    twLock lock(theLink.mutex);
    theLink.readerDone = true;
    theLink.changed.NotifyAll();
}

bool WaitReaderEnded(int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    twLock lock(theLink.mutex);
    while (!theLink.readerDone) {
        if (!theLink.changed.WaitUntil(theLink.mutex, deadline)) return theLink.readerDone;
    }
    return true;
}

void RunReaderLoop(const google::protobuf::MessageLite& prototype,
                   void (*dispatch)(google::protobuf::MessageLite&),
                   void (*refused)(const replyTooLarge&), orderedWorker* worker) {
    PrintMsg("* reader thread started\n");
    if (worker) worker->Start();
    std::unique_ptr<google::protobuf::MessageLite> message(prototype.New());
    int fd = theLink.fd.load();
    while (!quitRequest) {
        try {
            size_t len;
            try {
                len = get_answer(*message, fd);
            } catch (const replyTooLarge& reply) {
                if (reply.hasSerial)
                    PrintMsg("* reply for serial %u holds more than %zu items, refused\n",
                             reply.serial, maxReplyItems);
                else
                    PrintMsg("* reply of more than %zu items without serial, dropped\n",
                             maxReplyItems);
                if (reply.hasSerial && refused) refused(reply);
                continue;
            }
            dispatch(*message);
            // A message keeps the capacity of every repeated field it ever
            // filled: after a large reply it is given back.
            if (len > 65536) message.reset(prototype.New());
        } catch (const std::exception&) {
            int next = ReaderNextConnection(fd);
            if (next >= 0) {
                fd = next;
                continue;
            }
            if (!quitRequest) {
                if (worker) worker->Stop();
                xExit(1);
            }
            break;
        }
    }
    if (worker) worker->Stop();
    PrintMsg("* reader thread ended\n");
    ReaderEnded();
}
