// Shared set-up of the fuzz targets: a captured standard output (the
// programs log and answer there), a scratch directory for files the code
// under test insists on writing, and a fixed time zone so that the
// statistics seeds stay "today" for the clock the targets supply.
//
// A failed property aborts with a message on standard error; libFuzzer then
// saves the input as a crash artifact.
#ifndef TARNWICK_TESTS_FUZZ_FUZZ_COMMON_H
#define TARNWICK_TESTS_FUZZ_FUZZ_COMMON_H

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#define FUZZ_CHECK(cond, ...)                                                             \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            fprintf(stderr, "property failed at %s:%d: %s\n", __FILE__, __LINE__, #cond); \
            fprintf(stderr, __VA_ARGS__);                                                 \
            fputc('\n', stderr);                                                          \
            abort();                                                                      \
        }                                                                                 \
    } while (0)

namespace fuzz {

// Standard output goes to an unlinked scratch file, so a target can read
// back what one call wrote (CapturedSince) and empty it between inputs.
inline void CaptureStdout() {
    char path[] = "/tmp/tw-fuzz-out-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0 || !freopen(path, "w+", stdout)) abort();
    close(fd);
    unlink(path);
}

inline long StdoutMark() {
    fflush(stdout);
    return ftell(stdout);
}

inline std::string CapturedSince(long mark) {
    long end = StdoutMark();
    std::string text(static_cast<size_t>(end - mark), '\0');
    if (!text.empty() &&
        pread(fileno(stdout), &text[0], text.size(), mark) != static_cast<ssize_t>(text.size()))
        abort();
    return text;
}

inline void ResetStdout() {
    fflush(stdout);
    if (ftruncate(fileno(stdout), 0) != 0) abort();
    rewind(stdout);
}

// A private directory below /tmp, ending in "/", removed with what it holds
// (files only) when the fuzzer exits.
inline std::string& scratchPath() {
    static std::string path;
    return path;
}

inline void RemoveScratchDirectory() {
    const std::string& dir = scratchPath();
    if (dir.empty()) return;
    if (DIR* d = opendir(dir.c_str())) {
        while (struct dirent* entry = readdir(d))
            if (entry->d_name[0] != '.') unlink((dir + entry->d_name).c_str());
        closedir(d);
    }
    rmdir(dir.c_str());
}

inline std::string ScratchDirectory() {
    char path[] = "/tmp/tw-fuzz-XXXXXX";
    if (!mkdtemp(path)) abort();
    scratchPath() = std::string(path) + "/";
    atexit(RemoveScratchDirectory);
    return scratchPath();
}

inline void UseUtc() {
    setenv("TZ", "UTC", 1);
    tzset();
}

// Reads input in fields; what is missing reads as zero bytes.
class reader {
  public:
    reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t Short() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
    std::string Bytes(size_t n) {
        n = n < size_ - pos_ ? n : size_ - pos_;
        std::string out(reinterpret_cast<const char*>(data_ + pos_), n);
        pos_ += n;
        return out;
    }
    std::string Rest() { return Bytes(size_ - pos_); }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};


// The properties of an engine daemon's reader of its engine's replies
// (spamd's, rspamd's), which the daemon calls again after every chunk that
// arrives, and of its reader of the answer to a ping.  Status is the
// readers' kIncomplete / kComplete / kBad; Verdict has spam, forced, score,
// threshold and rules.  A failed property names what in `rules` (rule,
// symbol) and the ping answer (PONG, pong).
template <typename Status, typename Verdict>
class EngineReplyReader {
  public:
    using Parse = Status (*)(const std::string& reply, bool endOfStream, Verdict& verdict,
                             std::string& problem);
    using ParsePong = Status (*)(const std::string& reply, bool endOfStream, std::string& problem);
    struct Reading {
        Status status;
        Verdict verdict;
        std::string problem;
    };

    EngineReplyReader(Parse parse, ParsePong pong, size_t maxRules, const char* rule,
                      const char* pongName)
        : parse_(parse), pong_(pong), maxRules_(maxRules), rule_(rule), pongName_(pongName) {}

    // One reading of reply: the end of the stream always settles it, a
    // refusal always says why, a verdict has finite numbers and printable
    // rules within their bound.
    Reading Read(const std::string& reply, bool endOfStream) const {
        Reading r;
        r.status = parse_(reply, endOfStream, r.verdict, r.problem);
        FUZZ_CHECK(r.status != Status::kBad || !r.problem.empty(), "a bad reply without a reason");
        FUZZ_CHECK(!endOfStream || r.status != Status::kIncomplete,
                   "still incomplete at the end of the stream");
        if (r.status == Status::kComplete) {
            FUZZ_CHECK(std::isfinite(r.verdict.score) && std::isfinite(r.verdict.threshold),
                       "a verdict with %g / %g", r.verdict.score, r.verdict.threshold);
            FUZZ_CHECK(r.verdict.rules.size() <= maxRules_, "%zu bytes of %ss",
                       r.verdict.rules.size(), rule_);
            for (char c : r.verdict.rules)
                FUZZ_CHECK(c >= 0x20 && c < 0x7f, "%s text holds byte 0x%02x", rule_, c & 0xff);
        }
        return r;
    }

    // reply, and its first cut bytes, read as a reply and as a ping answer:
    // besides Read's properties, what is complete or bad on a prefix (where
    // the daemon stops reading) stays so with more bytes and at the end.
    void Check(const std::string& reply, size_t cut) const {
        const std::string prefix = reply.substr(0, cut);
        const Reading open = Read(reply, false);
        const Reading closed = Read(reply, true);
        const Reading part = Read(prefix, false);
        Read(prefix, true);
        if (open.status == Status::kComplete)
            FUZZ_CHECK(closed.status == Status::kComplete && Same(open.verdict, closed.verdict),
                       "the end of the stream changed a complete reply");
        if (open.status == Status::kBad)
            FUZZ_CHECK(closed.status == Status::kBad, "the end of the stream mended a bad reply");
        if (part.status == Status::kComplete)
            FUZZ_CHECK(open.status == Status::kComplete && Same(part.verdict, open.verdict),
                       "complete after %zu bytes, but not the same after %zu", cut, reply.size());
        if (part.status == Status::kBad)
            FUZZ_CHECK(open.status == Status::kBad, "bad after %zu bytes (%s), not after %zu", cut,
                       part.problem.c_str(), reply.size());
        const Status pong = ReadPong(reply, false);
        const Status pongPart = ReadPong(prefix, false);
        ReadPong(reply, true);
        FUZZ_CHECK(pongPart == Status::kIncomplete || pongPart == pong,
                   "a %s settled on a prefix changed with more bytes", pongName_);
    }

  private:
    static bool Same(const Verdict& a, const Verdict& b) {
        return a.spam == b.spam && a.forced == b.forced && a.score == b.score &&
               a.threshold == b.threshold && a.rules == b.rules;
    }

    Status ReadPong(const std::string& reply, bool endOfStream) const {
        std::string problem;
        const Status status = pong_(reply, endOfStream, problem);
        FUZZ_CHECK(status != Status::kBad || !problem.empty(), "a bad %s without a reason",
                   pongName_);
        FUZZ_CHECK(!endOfStream || status != Status::kIncomplete,
                   "%s still incomplete at the end of the stream", pongName_);
        return status;
    }

    const Parse parse_;
    const ParsePong pong_;
    const size_t maxRules_;
    const char* const rule_;
    const char* const pongName_;
};

}  // namespace fuzz

#endif
