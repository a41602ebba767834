// Reading of the server's queue files.  Every look into a message file goes
// through here, line by line through one bounded reader, so the rules for
// what an envelope holds live in one place (the length rules and the name
// parsers over bytes in memory are in envelope.h).
#ifndef TARNWICK_COMMON_ENVELOPE_QUEUEFILE_H
#define TARNWICK_COMMON_ENVELOPE_QUEUEFILE_H

#include <sys/stat.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// What a virus notification takes from the queued message.
struct notificationParts {
    std::string sender;                   // of the first "P " line with brackets; may be empty
    std::vector<std::string> recipients;  // of every "R " line with brackets, in file order
    std::string headerLines;              // the header block behind the envelope, line ends kept
};

// Most bytes of the message's header block a notification copies; a longer
// block is cut at its last whole line within the bound.
constexpr size_t maxNotificationHeader = 64u << 10;

// The sender and recipients of a notification, from envelope bytes as the
// anti-virus rule measured them (never from the message behind them).
// False when there is no recipient.
bool NotificationAddresses(const char* envelope, size_t len, notificationParts& out);
// The length of the header block at the start of data: the lines up to the
// first blank line ("\n" or "\r\n"), the blank line not included, at most
// maxNotificationHeader bytes of whole lines.  `complete` says whether data
// runs to the end of the file (so an unterminated last line is whole);
// `cut` is set when the bound or the data ended the block early.
size_t HeaderBlockLength(const char* data, size_t len, bool complete, bool& cut);

// The notification's parts of the message file at path: the addresses from
// the envelope bytes read when the request was prepared, the header block
// from the file behind them.  The server may still be placing the file: it
// is tried at once, again, and after a second.  False (logged) when the
// envelope holds no recipient or the file cannot be opened: a notification
// without the message's headers is not sent.
bool ReadNotificationParts(const std::string& path, std::string_view envelope,
                           notificationParts& out);
// The same rule over a whole file head in memory (envelope measured by the
// anti-virus rule); logs nothing.  False when there is no recipient.
bool NotificationParts(const char* data, size_t len, notificationParts& out);

// The header block a notification copies, without the fields that carry
// the envelope of a milter host's queue file (X-Envelope-From,
// X-Envelope-To, any case, with their continuation lines): they name
// every recipient, Bcc ones too, and the notification goes to each of
// them.  Every other line stays byte for byte.  The Velmora server writes
// no such fields, so its queue files lose nothing here.
std::string WithoutEnvelopeFields(std::string_view block);

// Opens a queue file for reading without ever waiting (a FIFO or a device
// named in a request must not stall the command loop) and checks that it
// is a regular file.  The descriptor, or -1 with errno set; errNotRegular
// for anything that is not a regular file.
constexpr int errNotRegular = EMEDIUMTYPE;
int OpenQueueFile(const char* path, struct stat& st);
// strerror, but "not a regular file" for errNotRegular.
const char* QueueFileError(int err);

// Reads at most maxBytes of the file into a buffer with a zero byte behind
// it; *size receives the bytes read and *envLen the envelope length by the
// anti-virus line rule (the envelope ends at its blank line or in front of
// the first line that is not an envelope line).  Null (errno set) when the file cannot be opened or
// read.
std::unique_ptr<char[]> ReadQueueFile(const char* path, size_t maxBytes, uint64_t& envLen,
                                      size_t& size);

// A read buffer kept from one message to the next: it is never cleared or
// zero-filled (that cost more than the rest of a small request), only the
// first `size` bytes hold what was read.  Release() gives a large one back
// once a message with a huge envelope is done.
struct headBuffer {
    std::unique_ptr<char[]> data;
    size_t capacity = 0;
    size_t size = 0;

    void Release() {
        data.reset();
        capacity = size = 0;
    }
};

// The head of the message file open on fd (of `fileSize` bytes) that holds
// its envelope by the anti-virus rule: reads 64 KiB, then four times more
// while the envelope runs to the end of what was read.  Returns the
// envelope length (0: none, or the head could not be read whole) and
// leaves the head read in `head`.
int64_t ReadEnvelopeHeadAV(int fd, size_t fileSize, headBuffer& head);

// What a headBuffer may keep between messages.
constexpr size_t keptHeadBytes = 65536;

#endif
