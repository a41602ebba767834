// The link to the engine daemon: one unix-domain stream socket carrying
// length-prefixed protocol-buffer frames (4-byte little-endian length, then
// the body) in both directions.
//
// Only the main thread writes frames (send_command and friends block and are
// the framing pieces; the filters send through EngineSend, which never
// blocks); only the reader thread reads them.
// Every I/O failure throws std::runtime_error with a fixed text after a log
// line.  A reload retires the connection in use and opens a new one; the
// reader notices that its connection was retired (its read fails quietly) and
// moves over with ReaderNextConnection() instead of ending the process.
#ifndef TARNWICK_COMMON_ENGINE_ENGINE_H
#define TARNWICK_COMMON_ENGINE_ENGINE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace google {
namespace protobuf {
class MessageLite;
}
}  // namespace google

class orderedWorker;

// The connection in force; -1 before the first connect.  Main thread.
int EngineConnection();

// A reply longer than this is refused like one that does not parse: no
// engine message comes near it, and a corrupt prefix must not make us
// allocate gigabytes.
constexpr uint32_t maxReplyLength = 64u << 20;

// Connects to the engine at path, trying again while its queue of
// connections is full until reconnectLimitMs have passed; then, or at once
// for any other failure, logs "* Error: Cannot connect to ScanEngine: ..."
// and throws.
int connect_to_scan_engine(const std::string& path);
// Connects to the engine at socketPath as connect_to_scan_engine does;
// exits with code 1 when it cannot be reached.
void InitEngine(const std::string& socketPath);
// The reload's connect (main thread): never waits.  True when connected at
// once; false while the engine's queue of connections is full, and then
// ContinueEngineConnect (from the command loop) tries again, each call
// once, until reconnectLimitMs have passed; then, as for an engine that
// cannot be reached at all, the connect failure is logged and the process
// exits with code 1.  Meanwhile requests stay pending (sends wait for the
// connection) and are sent again once it is made.
constexpr int64_t reconnectLimitMs = 5000;
bool ConnectEngine(const std::string& socketPath);
// True once connected (that call only); false while still trying or when
// no connect is going on.
bool ContinueEngineConnect();
bool EngineConnecting();
// Logs "* Closing Engine" and retires the connection (reload and shutdown).
void CloseEngine();

void write_exact(int fd, const void* data, size_t len);
void read_exact(int fd, void* buf, size_t len);
void send_command(const google::protobuf::MessageLite& command, int fd);
// Sends `head` followed by one length-delimited bytes field `fieldNo` whose
// content is `payload`, written straight from the caller's buffer: a large
// message is not copied again into a serialized frame.
void send_command_with_bytes(const google::protobuf::MessageLite& head, int fieldNo,
                             const char* payload, size_t payloadLen, int fd);

// The sends of the filters (main thread), on the connection in force.  They
// never wait: a frame the socket cannot take at once waits whole, behind the
// ones already waiting, in a send queue of at most maxQueuedSendBytes, which
// the command loop drains when the socket becomes writable (EngineSendWaitFd,
// EngineSendReady).  A reload's reconnection empties the queue: the pending
// requests are sent again whole.  A send failure throws as above.
//
// 64 MiB: twice the largest anti-spam message, and some hundred thousand
// scan requests; beyond it a stalled engine would only grow our memory.
constexpr size_t maxQueuedSendBytes = 64u << 20;
void EngineSend(const google::protobuf::MessageLite& command);
// `owner`, when given, holds the buffer the payload lies in: should the
// frame have to wait, the queue keeps that buffer instead of a copy.
void EngineSendWithBytes(const google::protobuf::MessageLite& head, int fieldNo,
                         const char* payload, size_t payloadLen,
                         std::unique_ptr<char[]> owner = nullptr);
// True when a frame of frameBytes still fits into the send queue (a frame
// always fits an empty one).
bool EngineSendRoom(size_t frameBytes);
// The connection to wait on for writing, or -1 when nothing waits to be sent.
int EngineSendWaitFd();
// Writes what the socket takes now; a failure drops the queue (the reader
// sees the engine gone as well).
void EngineSendReady();

// A reply may hold at most this many objects (repeated entries and fields
// unknown to the schema, at any depth): no engine sends a tenth of it, and
// 13 million empty report items fit into a frame of 64 MiB and would cost
// gigabytes once parsed.  Counted on the wire, before anything is parsed.
constexpr size_t maxReplyItems = 10000;

// A reply over maxReplyItems, refused unparsed.  The frame is read whole,
// so the next one is read normally.
class replyTooLarge : public std::runtime_error {
  public:
    replyTooLarge(bool hasSerial, uint32_t serial)
        : std::runtime_error("Too many items in the answer from ScanEngine"),
          hasSerial(hasSerial),
          serial(serial) {}
    bool hasSerial;
    uint32_t serial;
};

// Reads one frame and parses it into `answer` (a generated message of the
// full runtime); returns the body's length.  The body's buffer grows as its
// bytes arrive, never to the announced length up front.  Throws
// replyTooLarge for a reply over maxReplyItems.
size_t get_answer(google::protobuf::MessageLite& answer, int fd);
// The objects a body holds as counted against maxReplyItems (more than
// `limit` stops counting); *serial gets the top-level serial when there is
// one.  A malformed body counts what precedes the fault.
size_t CountReplyItems(const google::protobuf::MessageLite& prototype, const unsigned char* body,
                       size_t len, size_t limit, bool* hasSerial, uint32_t* serial);

// Reader thread: after get_answer failed on `fd`, decides whether that was a
// reload retiring the connection.  Returns the connection to read next, or -1
// when the failure is a real one (engine gone, broken reply).
int ReaderNextConnection(int fd);
// Shutdown: waits up to `ms` milliseconds for the reader to leave its loop.
bool WaitReaderEnded(int ms);
void ReaderEnded();

// The reader loop shared by both programs.  `dispatch` handles one received
// frame (a message of `prototype`'s type) and may throw to end the loop like
// a failed receive; it may swap the message's contents out.  `refused` gets
// a reply over maxReplyItems, after its log line.  A message that held a
// large reply is replaced by a fresh one, so its memory is given back.
// `worker`, when given, is started here and run to its end before the
// loop ends (and before an exit for a lost engine), so answers it still
// owes are written.
void RunReaderLoop(const google::protobuf::MessageLite& prototype,
                   void (*dispatch)(google::protobuf::MessageLite& message),
                   void (*refused)(const replyTooLarge& reply), orderedWorker* worker);

#endif
