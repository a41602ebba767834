#include "common/base/owners.h"

#include <unistd.h>

#include <cerrno>

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
}

int UniqueFd::Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void UniqueFd::Reset(int fd) {
    if (fd_ >= 0) {
        // A failed open that a caller reports after the cleanup must still
        // see its own errno.
        const int err = errno;
        close(fd_);
        errno = err;
    }
    fd_ = fd;
}

int UniqueFd::Close() {
    const int fd = Release();
    return fd >= 0 ? close(fd) : 0;
}

void fileCloser::operator()(FILE* f) const {
    if (f) fclose(f);
}

void dirCloser::operator()(DIR* d) const {
    if (d) closedir(d);
}
