// The request path both programs share (main thread): the first steps of a
// FILE request, queueing and sending it, and every FAILURE answer given
// without an engine reply (missing file, engine busy, send failed, reply
// overdue).  The engine link and the pending list below it only carry
// requests; the answers to the server are written here.
#ifndef TARNWICK_COMMON_HOST_REQUEST_H
#define TARNWICK_COMMON_HOST_REQUEST_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "common/engine/pending.h"

// The first steps of every FILE request: the path must fit and the file
// must exist (see below); then the entry is started afresh with the
// request's serial, token and path (a caller may pass the same entry for
// every request).  False when the server has been answered already.
bool StartRequest(const char* token, const char* path, scanListItem& item, std::string& fullPath);
// Existence test of a message file, with the one-second wait for a file the
// server has not finished placing.  When it stays missing, answers the
// server itself and returns false.
bool WaitForMessageFile(const char* token, const std::string& fullPath);
// Paths travel in 1023-byte fields: a longer one is refused with the same
// FAILURE answer and the system's "File name too long" text.
bool PathFits(const char* token, const std::string& fullPath);
// Appends the entry (setting item.id) and runs send(item), unless it is
// held behind an older request of its serial.  When sending
// fails, the entry is taken out again, discard(entry) cleans up after it,
// and the server gets "<token> FAILURE <reason>" at once instead of waiting
// forever.
void QueueAndSend(scanListItem& item, const std::function<void(const scanListItem&)>& send,
                  const std::function<void(const scanListItem&)>& discard);
// A request whose serial an older pending request has already is held, not
// sent (see pendingRequests::Append); this sends those released since by
// their older namesake's answer (main thread, from the loop and its tick).
void SendReleasedRequests(const std::function<void(const scanListItem&)>& send,
                          const std::function<void(const scanListItem&)>& discard);
// After a reconnection: sends every pending request again, oldest first
// (held ones stay held).
// Replies already on their way over the old connection may still answer an
// entry first; the later duplicate then finds no entry and is dropped.
void ResendPendingWith(const std::function<void(const scanListItem&)>& send,
                       const std::function<void(const scanListItem&)>& discard);
// Main thread: the seconds a request may wait for its reply, from the next
// StartRequest on (0: without limit).
void SetRequestTimeout(int32_t seconds);
// Main thread: answers "<serial> FAILURE engine timeout" for every entry
// whose deadline has passed, after discard(entry).  A reply that comes
// later finds no entry and is dropped.
void AnswerOverdueRequests(void (*discard)(const scanListItem&));
// A reply refused for holding too many items (reader thread, or its
// worker): "<serial> FAILURE too many report items" for the request the
// reply's serial claimed, or the unmatched-reply log line.
void AnswerRefusedReply(const scanListItem* claimed, uint32_t serial);
// When a frame of frameBytes would overfill the engine's send queue,
// answers "<token> FAILURE engine busy" and returns true.
bool EngineBusy(const char* token, size_t frameBytes);
#endif
