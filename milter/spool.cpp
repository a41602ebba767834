#include "milter/spool.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

// Copies the rest of `in` from offset 0 to `out`, in the kernel where it can.
bool CopyAll(int in, int out) {
    loff_t offset = 0;
    for (;;) {
        ssize_t n = copy_file_range(in, &offset, out, nullptr, 1 << 30, 0);
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
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(out, buf + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return false;
            done += w;
        }
        offset += n;
    }
}

}  // namespace

bool SpoolFile::Open(const std::string& queueDir, const std::string& name) {
    tmpPath_ = queueDir + "/" + name + kArriving;
    msgTmpPath_ = queueDir + "/" + name + kReady + kArriving;
    msgPath_ = queueDir + "/" + name + kReady;
    requestPath_ = std::string(kQueueDirName) + "/" + name + kReady;
    UniqueFd fd(CreateExclusive(tmpPath_, O_RDWR));
    if (!fd.Valid()) {
        tmpPath_.clear();
        return false;
    }
    file_.reset(fdopen(fd.Get(), "w+"));
    if (!file_) {
        const int saved = errno;
        fd.Reset();
        unlink(tmpPath_.c_str());
        tmpPath_.clear();
        errno = saved;
        return false;
    }
    fd.Release();  // the stream owns it now
    return true;
}

bool SpoolFile::Write(const char* data, size_t n) {
    if (!file_ || failed_) return false;
    if (n && fwrite(data, 1, n, file_.get()) != n) failed_ = true;
    size_ += n;
    return !failed_;
}

bool SpoolFile::Assemble(const std::string& head) {
    UniqueFd out(CreateExclusive(msgTmpPath_, O_WRONLY));
    if (!out.Valid()) return false;
    bool ok = true;
    for (size_t done = 0; ok && done < head.size();) {
        ssize_t w = write(out.Get(), head.data() + done, head.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0)
            ok = false;
        else
            done += static_cast<size_t>(w);
    }
    ok = ok && CopyAll(fileno(file_.get()), out.Get());
    // A failed close means the data may not be on disk.
    int saved = errno;
    if (out.Close() != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (!ok) {
        unlink(msgTmpPath_.c_str());
        errno = saved;
    }
    return ok;
}

bool SpoolFile::Commit(const std::string& head) {
    if (!file_ || failed_) {
        if (failed_) errno = EIO;
        return false;
    }
    if (fflush(file_.get()) != 0 || !Assemble(head)) return false;
    if (rename(msgTmpPath_.c_str(), msgPath_.c_str()) != 0) {
        int saved = errno;
        unlink(msgTmpPath_.c_str());
        errno = saved;
        return false;
    }
    committed_ = true;
    // The filters read N.msg alone: the arriving copy would hold the
    // message's size a second time until the last filter is done.
    file_.reset();
    unlink(tmpPath_.c_str());
    tmpPath_.clear();
    return true;
}

void SpoolFile::Remove() {
    file_.reset();
    if (!tmpPath_.empty()) unlink(tmpPath_.c_str());
    if (committed_) unlink(msgPath_.c_str());
    tmpPath_.clear();
    committed_ = false;
}

}  // namespace milter
