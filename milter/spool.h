// The base directory's layout: the queue the filters read, BASE/Queue/,
// and the files in it, and the filters' working directories; it is spelled
// here alone.
//
// A message is written to "Queue/N.tmp" while it arrives; the trace field
// needs the MTA's queue id, known for certain only at the end of the
// message, so the file the filters read is then assembled as
// "Queue/N.msg.tmp" (the head, then the message copied by the kernel) and
// renamed to "Queue/N.msg", and N.tmp removed: a message takes its size
// once in the queue while the filters read it.  Each is created
// exclusively, mode 0640; a filter never sees a half-written message and
// no message is held in memory.
#ifndef TARNWICK_MILTER_SPOOL_H
#define TARNWICK_MILTER_SPOOL_H

#include <cstdio>
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

    // Creates queueDir/name.tmp for the message; false (errno set) on
    // failure.
    bool Open(const std::string& queueDir, const std::string& name);
    bool Write(const char* data, size_t n);
    // Writes queueDir/name.msg: `head` (envelope and fields), then the
    // message written so far, and removes name.tmp; false (errno set) on
    // any failure.
    bool Commit(const std::string& head);
    // Removes whichever files exist.
    void Remove();
    bool IsOpen() const { return file_ != nullptr; }
    const std::string& MsgPath() const { return msgPath_; }
    // The committed file as a FILE request names it, relative to the base
    // directory: "Queue/name.msg".
    const std::string& RequestPath() const { return requestPath_; }
    unsigned long long Size() const { return size_; }

  private:
    bool Assemble(const std::string& head);

    UniqueFile file_;
    bool failed_ = false;
    bool committed_ = false;
    unsigned long long size_ = 0;
    std::string tmpPath_, msgTmpPath_, msgPath_, requestPath_;
};

}  // namespace milter

#endif
