// Owners of what the system hands out and wants back: a file descriptor, a
// stdio stream and a directory stream.  Each closes what it holds when it
// goes out of scope, on every path out of a function.
#ifndef TARNWICK_COMMON_BASE_OWNERS_H
#define TARNWICK_COMMON_BASE_OWNERS_H

#include <dirent.h>

#include <cstdio>
#include <memory>

// Owns one descriptor; closes it on destruction.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    int Release();
    // Closes the descriptor held (errno is kept) and takes fd.
    void Reset(int fd = -1);
    // Closes the descriptor now and returns close()'s result: a writer
    // must know whether its data reached the file.
    int Close();

  private:
    int fd_ = -1;
};

struct fileCloser {
    void operator()(FILE* f) const;
};
// Owns one stdio stream.  A writer that must know whether its data reached
// the file releases the stream and checks fclose itself.
using UniqueFile = std::unique_ptr<FILE, fileCloser>;

struct dirCloser {
    void operator()(DIR* d) const;
};
using UniqueDir = std::unique_ptr<DIR, dirCloser>;

#endif
