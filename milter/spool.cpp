#include "milter/spool.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace milter {

namespace {

std::string CleanAddress(const std::string& in) {
    std::string out;
    for (unsigned char c : in) {
        if (out.size() >= kMaxAddress) break;
        if (c < 32 || c == 127 || c == '<' || c == '>') continue;
        out += static_cast<char>(c);
    }
    return out;
}

}  // namespace

std::string EnvelopeText(const Envelope& env) {
    std::string name =
        CleanAddress(env.clientName.empty() ? std::string("unknown") : env.clientName);
    std::string out = "S " + name;
    if (!env.clientAddress.empty()) out += " [" + CleanAddress(env.clientAddress) + "]";
    out += "\nP <" + CleanAddress(env.sender) + ">\n";
    for (const std::string& r : env.recipients) out += "R <" + CleanAddress(r) + ">\n";
    out += "\n";
    return out;
}

std::string EnvelopeFields(const Envelope& env) {
    std::string out = "X-Envelope-From: <" + CleanAddress(env.sender) + ">\n";
    for (const std::string& r : env.recipients) out += "X-Envelope-To: <" + CleanAddress(r) + ">\n";
    return out;
}

std::string ClientName(const char* host) {
    if (!host || !*host || *host == '[') return "unknown";
    return host;
}

std::string HeloWord(const char* helo) {
    std::string out;
    if (!helo) return out;
    const char* p = helo;
    while (*p == ' ' || *p == '\t') ++p;
    for (; *p > 32 && *p < 127 && out.size() < 255; ++p) out += *p;
    return out;
}

std::string TraceProtocol(const std::string& r, bool tls, bool authenticated) {
    if (r == "SMTP") return r;
    // Sendmail says so itself where its TLS and AUTH macros were not asked for.
    tls = tls || r == "ESMTPS" || r == "ESMTPSA";
    authenticated = authenticated || r == "ESMTPA" || r == "ESMTPSA";
    return std::string("ESMTP") + (tls ? "S" : "") + (authenticated ? "A" : "");
}

namespace {

std::string TraceWord(const std::string& in) {
    std::string out;
    for (unsigned char c : in) {
        if (out.size() >= 255) break;
        if (c <= 32 || c >= 127 || c == '(' || c == ')' || c == '[' || c == ']' || c == ';')
            continue;
        out += static_cast<char>(c);
    }
    return out;
}

}  // namespace

std::string ReceivedField(const std::string& helo, const Envelope& env, const std::string& byHost,
                          const std::string& protocol, const std::string& queueId, time_t when) {
    std::string word = TraceWord(helo);
    std::string out = "Received: from " + (word.empty() ? std::string("unknown") : word);
    std::string name = TraceWord(env.clientName.empty() ? "unknown" : env.clientName);
    out += " (" + name;
    if (!env.clientAddress.empty()) out += " [" + TraceWord(env.clientAddress) + "]";
    out += ")\n\tby " + (byHost.empty() ? std::string("localhost") : TraceWord(byHost));
    out += " with " + (protocol.empty() ? std::string("SMTP") : TraceWord(protocol));
    if (!queueId.empty()) out += " id " + TraceWord(queueId);
    char date[64];
    struct tm tm;
    localtime_r(&when, &tm);
    strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S %z", &tm);
    out += ";\n\t" + std::string(date) + "\n";
    return out;
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

bool SpoolFile::Open(const std::string& dir, const std::string& name) {
    tmpPath_ = dir + "/" + name + ".tmp";
    msgTmpPath_ = dir + "/" + name + ".msg.tmp";
    msgPath_ = dir + "/" + name + ".msg";
    int fd = CreateExclusive(tmpPath_, O_RDWR);
    if (fd < 0) {
        tmpPath_.clear();
        return false;
    }
    file_.reset(fdopen(fd, "w+"));
    if (!file_) {
        int saved = errno;
        close(fd);
        unlink(tmpPath_.c_str());
        tmpPath_.clear();
        errno = saved;
        return false;
    }
    return true;
}

bool SpoolFile::Write(const char* data, size_t n) {
    if (!file_ || failed_) return false;
    if (n && fwrite(data, 1, n, file_.get()) != n) failed_ = true;
    size_ += n;
    return !failed_;
}

bool SpoolFile::Assemble(const std::string& head) {
    int out = CreateExclusive(msgTmpPath_, O_WRONLY);
    if (out < 0) return false;
    bool ok = true;
    for (size_t done = 0; ok && done < head.size();) {
        ssize_t w = write(out, head.data() + done, head.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) ok = false;
        else done += static_cast<size_t>(w);
    }
    ok = ok && CopyAll(fileno(file_.get()), out);
    // Closed by hand: a failed close means the data may not be on disk.
    int saved = errno;
    if (close(out) != 0 && ok) {
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
