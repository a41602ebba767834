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

// The connection in force; -1 before the first connect.  Main thread.
int EngineConnection();

// A reply longer than this is refused like one that does not parse: no
// engine message comes near it, and a corrupt prefix must not make us
// allocate gigabytes.
constexpr uint32_t maxReplyLength = 64u << 20;

int connect_to_scan_engine(const std::string& path);
// Connects to the engine at socketPath; exits with code 1 when it cannot
// be reached.
void InitEngine(const std::string& socketPath);
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

void get_answer(google::protobuf::MessageLite& answer, int fd);

// Reader thread: after get_answer failed on `fd`, decides whether that was a
// reload retiring the connection.  Returns the connection to read next, or -1
// when the failure is a real one (engine gone, broken reply).
int ReaderNextConnection(int fd);
// Shutdown: waits up to `ms` milliseconds for the reader to leave its loop.
bool WaitReaderEnded(int ms);
void ReaderEnded();

// The reader loop shared by both programs.  `dispatch` handles one received
// frame and may throw to end the loop like a failed receive.
void RunReaderLoop(google::protobuf::MessageLite& message,
                   void (*dispatch)(google::protobuf::MessageLite& message));

#endif
