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

}  // namespace fuzz

#endif
