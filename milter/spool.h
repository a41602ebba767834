// The queue file a filter reads: the envelope lines the filters expect,
// then the message as the mail server handed it over.
//
// The file is written under "<name>.tmp" (created exclusively, mode 0640)
// and renamed to "<name>.msg" only when complete, so a filter never sees a
// half-written message.  Addresses come from the SMTP client: they are cut
// to kMaxAddress characters and lose control characters and angle
// brackets, so they can neither end an envelope line nor break its
// "<...>" form.
#ifndef TARNWICK_MILTER_SPOOL_H
#define TARNWICK_MILTER_SPOOL_H

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "common/base/owners.h"

namespace milter {

constexpr size_t kMaxAddress = 512;
constexpr size_t kMaxRecipients = 1000;

struct Envelope {
    std::string clientName;     // as the MTA resolved it ("unknown" when it could not)
    std::string clientAddress;  // textual IP address, may be empty
    std::string sender;         // without angle brackets; empty for the null sender
    std::vector<std::string> recipients;
};

// "<addr>" as given by the MTA, angle brackets and ESMTP remainder removed.
std::string BareAddress(const char* arg);

// The envelope block: "S name [address]", "P <sender>", one "R <rcpt>" per
// recipient, each ended by a line feed, then the blank line.
std::string EnvelopeText(const Envelope& env);

// The trace field a mail server puts at the top of a message it receives:
//   Received: from HELO (NAME [ADDRESS])
//   \tby HOST with PROTOCOL id QUEUEID;
//   \tDATE
// ending in a line feed.  The MTA keeps its own for the message it
// delivers; this one lets the filters see the last hop, as in a server's
// queue file (the anti-spam engine judges the client from it).  Each
// outside value loses control characters, parentheses and brackets and is
// cut to 255 characters; empty parts are left out.
std::string ReceivedField(const std::string& helo, const Envelope& env, const std::string& byHost,
                          const std::string& protocol, const std::string& queueId, time_t when);

// One queue file being written.  Not shared between threads.
class SpoolFile {
  public:
    SpoolFile() = default;
    ~SpoolFile();
    SpoolFile(const SpoolFile&) = delete;
    SpoolFile& operator=(const SpoolFile&) = delete;

    // Creates dir/name.tmp and writes the envelope, then `head` (a trace
    // field, or nothing); false (errno set) on failure.
    bool Open(const std::string& dir, const std::string& name, const Envelope& env,
              const std::string& head = std::string());
    bool Write(const char* data, size_t n);
    // Flushes, closes and renames to .msg; false on any write failure.
    bool Commit();
    // Removes whichever file exists (tmp or msg).
    void Remove();
    bool IsOpen() const { return file_ != nullptr; }
    const std::string& MsgPath() const { return msgPath_; }
    unsigned long long Size() const { return size_; }

  private:
    UniqueFile file_;
    bool failed_ = false;
    bool committed_ = false;
    unsigned long long size_ = 0;
    std::string tmpPath_, msgPath_;
};

}  // namespace milter

#endif
