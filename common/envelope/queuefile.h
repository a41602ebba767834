// Reading of the server's queue files.  Every look into a message file goes
// through here, line by line through one bounded reader, so the rules for
// what an envelope holds live in one place (the length rules and the name
// parsers over bytes in memory are in envelope.h).
#ifndef TARNWICK_COMMON_ENVELOPE_QUEUEFILE_H
#define TARNWICK_COMMON_ENVELOPE_QUEUEFILE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Reads a file a line at a time from a block buffer.  A line is returned
// whole with its line feed (the last one may lack it), however long, as
// long as the lines returned so far hold at most `budget` bytes in all;
// past that the reader reports the end, and Cut() says so.
class queueLineReader {
  public:
    queueLineReader(int fd, size_t budget) : fd_(fd), budget_(budget) {}
    // The next line, valid until the next call; false at the end.
    bool Next(std::string_view& line);
    bool Cut() const { return cut_; }

  private:
    bool fill();

    int fd_;
    size_t budget_;
    std::string buf_;
    size_t pos_ = 0;
    size_t used_ = 0;  // bytes of lines returned so far
    bool eof_ = false;
    bool cut_ = false;
};

// What a virus notification takes from the queued message.
struct notificationParts {
    std::string sender;                   // of the first "P " line with brackets; may be empty
    std::vector<std::string> recipients;  // of every "R " line with brackets, in file order
    std::string headerLines;              // the header block behind the envelope, line ends kept
};

// Most bytes of envelope and header block a notification reads; a header
// block cut there keeps its whole lines.
constexpr size_t maxNotificationHead = 4u << 20;

// Reads the notification's parts from the message file at path.  The
// envelope part ends at the first line that begins with a line feed; the
// header block at the next one.  The server may still be placing the file:
// it is tried at once, again, and after a second.  False (logged) when it
// cannot be opened or holds no recipient.
bool ReadNotificationParts(const std::string& path, notificationParts& out);
// The same rule over bytes already in memory (a queue file's head read
// earlier); logs nothing.  False when there is no recipient.
bool NotificationParts(const char* data, size_t len, notificationParts& out);

// Reads at most maxBytes of the file into a buffer with a zero byte behind
// it; *size receives the bytes read and *envLen the envelope length by the
// anti-spam rule.  Null (errno set) when the file cannot be opened or read.
std::unique_ptr<char[]> ReadQueueFile(const char* path, size_t maxBytes, uint64_t& envLen,
                                      size_t& size);

// The head of the message file open on fd (of `fileSize` bytes) that holds
// its envelope by the anti-virus rule: reads 64 KiB, then four times more
// while the envelope runs to the end of what was read.  Returns the
// envelope length (0: none, or the head could not be read whole) and
// leaves the head read in `head`.
int64_t ReadEnvelopeHeadAV(int fd, size_t fileSize, std::vector<char>& head);

#endif
