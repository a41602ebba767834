#include "milter/spool.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <utility>

#include "common/base/daemonlog.h"

namespace milter {

namespace {

constexpr const char* kQueueDirName = "Queue";
constexpr const char* kWorkDirName = "Work";
// What every filter's working directory links to in the base directory.
constexpr const char* kShared[] = {kQueueDirName, "Submitted", "whitelist.txt"};
constexpr const char* kArriving = ".tmp";
constexpr const char* kReady = ".msg";

bool EndsWith(const std::string& s, const char* tail) {
    const size_t n = strlen(tail);
    return s.size() > n && s.compare(s.size() - n, n, tail) == 0;
}

}  // namespace

std::string QueueDir(const std::string& baseDir) {
    return baseDir + "/" + kQueueDirName;
}

int ClearQueue(const std::string& baseDir) {
    int removed = 0;
    if (const UniqueDir d{opendir(QueueDir(baseDir).c_str())}) {
        while (struct dirent* e = readdir(d.get())) {
            const std::string n = e->d_name;
            // N.msg.tmp ends in .tmp too.
            if ((EndsWith(n, kReady) || EndsWith(n, kArriving)) &&
                unlinkat(dirfd(d.get()), e->d_name, 0) == 0)
                ++removed;
        }
    }
    return removed;
}

std::string FilterWorkDir(const std::string& baseDir, const std::string& name) {
    return baseDir + "/" + kWorkDirName + "/" + name;
}

bool PrepareFilterWorkDir(const std::string& baseDir, const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
        daemonlog::Log("start: filter name %s cannot name a working directory", name.c_str());
        return false;
    }
    const std::string dir = FilterWorkDir(baseDir, name);
    for (const std::string& d : {baseDir + "/" + kWorkDirName, dir}) {
        struct stat st;
        if ((mkdir(d.c_str(), 0750) != 0 && errno != EEXIST) || lstat(d.c_str(), &st) != 0 ||
            !S_ISDIR(st.st_mode)) {
            daemonlog::Error("start: %s is not a usable directory: %s", d.c_str(),
                             errno == EEXIST ? "not a directory" : strerror(errno));
            return false;
        }
    }
    for (const char* shared : kShared) {
        const std::string link = dir + "/" + shared;
        const std::string target = std::string("../../") + shared;
        char now[4096];
        const ssize_t n = readlink(link.c_str(), now, sizeof now);
        if (n >= 0 && target.compare(0, std::string::npos, now, static_cast<size_t>(n)) == 0)
            continue;
        struct stat st;
        const bool present = lstat(link.c_str(), &st) == 0;
        if (present && S_ISDIR(st.st_mode)) {
            daemonlog::Error("start: %s is a directory; it must be a link to %s", link.c_str(),
                             target.c_str());
            return false;
        }
        if ((unlink(link.c_str()) != 0 && errno != ENOENT) ||
            symlink(target.c_str(), link.c_str()) != 0) {
            daemonlog::Error("start: cannot link %s to %s: %s", link.c_str(), target.c_str(),
                             strerror(errno));
            return false;
        }
        if (present)
            daemonlog::Warn("start: %s was not the link to %s; replaced", link.c_str(),
                            target.c_str());
    }
    return true;
}

SpoolFile::~SpoolFile() {
    Remove();
}

namespace {

int CreateExclusive(const std::string& path, int flags) {
    return open(path.c_str(), flags | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
}

// Each of the pieces in turn at offset, resumed after a short write.
bool WriteAt(int fd, std::initializer_list<std::pair<const char*, size_t>> pieces, off_t offset) {
    struct iovec iov[4];
    int count = 0;
    for (const auto& p : pieces)
        if (p.second && count < 4) iov[count++] = {const_cast<char*>(p.first), p.second};
    for (int first = 0; first < count;) {
        ssize_t w = pwritev(fd, iov + first, count - first, offset);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = EIO;
            return false;
        }
        offset += w;
        size_t left = static_cast<size_t>(w);
        while (first < count && left >= iov[first].iov_len) left -= iov[first++].iov_len;
        if (first < count) {
            iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + left;
            iov[first].iov_len -= left;
        }
    }
    return true;
}

std::pair<const char*, size_t> Piece(const std::string& s) {
    return {s.data(), s.size()};
}

// Envelope lines "Z " and blanks, n bytes in all (n == 0 or at least
// SpoolFile::kMinFiller), none longer than a short line.
std::string Filler(size_t n) {
    constexpr size_t kLine = 78;
    std::string out;
    while (n > 0) {
        size_t len = n;
        if (len > kLine)
            len = n - kLine >= SpoolFile::kMinFiller ? kLine : n - SpoolFile::kMinFiller;
        out += "Z ";
        out.append(len - SpoolFile::kMinFiller, ' ');
        out += '\n';
        n -= len;
    }
    return out;
}

// Renames from to to unless to exists (where the file system can say so).
bool RenameNew(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    return errno == EINVAL && rename(from.c_str(), to.c_str()) == 0;
}

// Copies in from offset `from` to its end into out at offset `at`, in the
// kernel where it can.
bool CopyFrom(int in, loff_t from, int out, loff_t at) {
    loff_t offset = from;
    for (;;) {
        ssize_t n = copy_file_range(in, &offset, out, &at, 1 << 30, 0);
        if (n == 0) return true;
        if (n > 0) continue;
        if (errno == EINTR) continue;
        if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)
            return false;
        break;
    }
    char buf[65536];
    for (;;) {
        ssize_t n = pread(in, buf, sizeof buf, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n == 0;
        if (!WriteAt(out, {{buf, static_cast<size_t>(n)}}, at)) return false;
        offset += n;
        at += n;
    }
}

}  // namespace

bool SpoolFile::Open(const std::string& queueDir, const std::string& name, size_t headRoom) {
    tmpPath_ = queueDir + "/" + name + kArriving;
    msgPath_ = queueDir + "/" + name + kReady;
    requestPath_ = std::string(kQueueDirName) + "/" + name + kReady;
    headRoom_ = headRoom;
    fd_.Reset(CreateExclusive(tmpPath_, O_RDWR));
    if (!fd_.Valid()) {
        tmpPath_.clear();
        return false;
    }
    return true;
}

bool SpoolFile::Flush() {
    if (held_.empty()) return true;
    if (!WriteAt(fd_.Get(), {Piece(held_)}, static_cast<off_t>(headRoom_ + flushed_))) return false;
    flushed_ += held_.size();
    held_.clear();
    return true;
}

bool SpoolFile::Write(const char* data, size_t n) {
    if (!fd_.Valid() || failed_) return false;
    size_ += n;
    if (held_.size() + n <= kHeld) {
        held_.append(data, n);
        return true;
    }
    if (!Flush()) {
        failed_ = true;
        return false;
    }
    if (n < kHeld) {
        held_.assign(data, n);
        return true;
    }
    if (!WriteAt(fd_.Get(), {{data, n}}, static_cast<off_t>(headRoom_ + flushed_))) {
        failed_ = true;
        return false;
    }
    flushed_ += n;
    return true;
}

// The head did not fit its room: the file is written anew, the head, then
// the message copied from behind the room.
bool SpoolFile::Rewrite(const std::string& head) {
    const std::string path = tmpPath_ + kArriving;
    UniqueFd out(CreateExclusive(path, O_WRONLY));
    if (!out.Valid()) return false;
    bool ok = WriteAt(out.Get(), {Piece(head)}, 0) &&
              CopyFrom(fd_.Get(), static_cast<loff_t>(headRoom_), out.Get(),
                       static_cast<loff_t>(head.size()));
    int saved = errno;
    if (ok && rename(path.c_str(), tmpPath_.c_str()) != 0) {  // over the file this made
        ok = false;
        saved = errno;
    }
    if (!ok) {
        unlink(path.c_str());
        out.Reset();
        errno = saved;
        return false;
    }
    fd_ = std::move(out);
    rewritten_ = true;
    return true;
}

bool SpoolFile::Commit(const std::string& envelope, const std::string& fields) {
    if (!fd_.Valid() || failed_) {
        if (failed_) errno = EIO;
        return false;
    }
    bool ok;
    if (flushed_ == 0) {
        // The whole message is still here: one write, the head exact.
        ok = WriteAt(fd_.Get(), {Piece(envelope), Piece(fields), Piece(held_)}, 0);
    } else {
        const size_t head = envelope.size() + fields.size();
        ok = Flush();
        if (ok && head <= headRoom_ && (head == headRoom_ || headRoom_ - head >= kMinFiller) &&
            !envelope.empty()) {
            // The filler goes in front of the blank line that ends the envelope.
            const std::string filler = Filler(headRoom_ - head) + "\n";
            ok = WriteAt(fd_.Get(),
                         {{envelope.data(), envelope.size() - 1}, Piece(filler), Piece(fields)}, 0);
        } else if (ok) {
            ok = Rewrite(envelope + fields);
        }
    }
    held_.clear();
    held_.shrink_to_fit();
    // A failed close means the data may not be on disk.
    int saved = errno;
    if (fd_.Close() != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (ok && !RenameNew(tmpPath_, msgPath_)) {
        ok = false;
        saved = errno;
    }
    if (!ok) {
        errno = saved;
        return false;
    }
    committed_ = true;
    tmpPath_.clear();
    return true;
}

void SpoolFile::Remove() {
    fd_.Reset();
    held_.clear();
    if (!tmpPath_.empty()) unlink(tmpPath_.c_str());
    if (committed_) unlink(msgPath_.c_str());
    tmpPath_.clear();
    committed_ = false;
}

}  // namespace milter
