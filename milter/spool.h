// The base directory's layout: the queue the filters read, BASE/Queue/,
// and the files in it, and the filters' working directories; it is spelled
// here alone.
//
// A message is written once, to "Queue/N.tmp", while it arrives, and
// renamed to "Queue/N.msg" when it is whole; a filter never sees a
// half-written message.  The head (envelope and fields) comes first in the
// file but is known for certain only at the end (the trace field needs the
// MTA's queue id): the first kHeld bytes of the message wait in memory, so
// a message no longer than that goes to the file in one write behind its
// exact head; a longer one is written behind room left for the head, which
// is written into it at the end, the room it does not fill taken by filler
// envelope lines ("Z " and blanks, a letter every reader of the envelope
// skips).  Only a head that outgrew its room (a queue id far longer than
// the one known when the message began) makes the file be written anew.
// Created exclusively, mode 0640.
#ifndef TARNWICK_MILTER_SPOOL_H
#define TARNWICK_MILTER_SPOOL_H

#include <string>

#include "common/base/owners.h"

namespace milter {

// The queue directory under the base directory.
std::string QueueDir(const std::string& baseDir);
// Removes what a previous run left in the queue (its messages belong to
// the MTA, which offers them again); returns how many files went.
int ClearQueue(const std::string& baseDir);

// Each filter works in a directory of its own, BASE/Work/NAME/: a filter
// empties its Temp/ when it starts, and a Temp/ shared with another filter
// would lose the copies that filter's engine is about to scan.  In it, made
// by the host, relative links to what the filters share: Queue, Submitted
// and whitelist.txt of the base directory.
std::string FilterWorkDir(const std::string& baseDir, const std::string& name);
// Makes the directory and its links; a wrong link or a file of one of
// those names is replaced, anything else there is left and refused.
// False (logged) when the directory cannot be used.
bool PrepareFilterWorkDir(const std::string& baseDir, const std::string& name);

// One queue file being written.  Not shared between threads.
class SpoolFile {
  public:
    SpoolFile() = default;
    ~SpoolFile();
    SpoolFile(const SpoolFile&) = delete;
    SpoolFile& operator=(const SpoolFile&) = delete;

    // The part of a message held in memory before any of it is written.
    static constexpr size_t kHeld = 128 * 1024;
    // The shortest filler line: "Z \n".
    static constexpr size_t kMinFiller = 3;

    // Creates queueDir/name.tmp for the message; false (errno set) on
    // failure.  headRoom: the room to leave for the head should the message
    // outgrow kHeld (the head as far as it is known now, with some slack).
    bool Open(const std::string& queueDir, const std::string& name, size_t headRoom);
    bool Write(const char* data, size_t n);
    // Makes queueDir/name.msg: `envelope` (its lines and the blank line
    // that ends it) and `fields`, then the message written so far; false
    // (errno set, nothing left under the final name) on any failure.
    bool Commit(const std::string& envelope, const std::string& fields);
    // Removes whichever files exist.
    void Remove();
    const std::string& MsgPath() const { return msgPath_; }
    // The committed file as a FILE request names it, relative to the base
    // directory: "Queue/name.msg".
    const std::string& RequestPath() const { return requestPath_; }
    unsigned long long Size() const { return size_; }

    bool IsOpen() const { return fd_.Valid(); }
    // True when the head had to be placed by writing the file anew.
    bool Rewritten() const { return rewritten_; }

  private:
    bool Flush();
    bool Rewrite(const std::string& head);

    UniqueFd fd_;
    bool failed_ = false;
    bool committed_ = false;
    bool rewritten_ = false;
    size_t headRoom_ = 0;
    unsigned long long size_ = 0;
    unsigned long long flushed_ = 0;  // message bytes in the file
    std::string held_;                // message bytes not yet in it
    std::string tmpPath_, msgPath_, requestPath_;
};

}  // namespace milter

#endif
