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

std::string BareAddress(const char* arg) {
    if (!arg) return std::string();
    std::string a(arg);
    size_t open = a.find('<');
    if (open != std::string::npos) {
        size_t close = a.find('>', open + 1);
        a = a.substr(open + 1, close == std::string::npos ? std::string::npos : close - open - 1);
    }
    return CleanAddress(a);
}

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

namespace {

std::string TraceWord(const std::string& in) {
    std::string out;
    for (unsigned char c : in) {
        if (out.size() >= 255) break;
        if (c < 32 || c == 127 || c == '(' || c == ')' || c == '[' || c == ']' || c == ';')
            continue;
        out += static_cast<char>(c);
    }
    return out;
}

}  // namespace

std::string ReceivedField(const std::string& helo, const Envelope& env, const std::string& byHost,
                          const std::string& protocol, const std::string& queueId, time_t when) {
    std::string out = "Received: from " + (helo.empty() ? std::string("unknown") : TraceWord(helo));
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

bool SpoolFile::Open(const std::string& dir, const std::string& name, const Envelope& env,
                     const std::string& trace) {
    tmpPath_ = dir + "/" + name + ".tmp";
    msgPath_ = dir + "/" + name + ".msg";
    int fd = open(tmpPath_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
    if (fd < 0) return false;
    file_.reset(fdopen(fd, "w"));
    if (!file_) {
        int saved = errno;
        close(fd);
        unlink(tmpPath_.c_str());
        errno = saved;
        return false;
    }
    std::string head = EnvelopeText(env) + trace;
    return Write(head.data(), head.size());
}

bool SpoolFile::Write(const char* data, size_t n) {
    if (!file_ || failed_) return false;
    if (n && fwrite(data, 1, n, file_.get()) != n) failed_ = true;
    size_ += n;
    return !failed_;
}

bool SpoolFile::Commit() {
    if (!file_) return false;
    bool ok = !failed_;
    // Closed by hand: a failed close means the data may not be on disk.
    if (fclose(file_.release()) != 0) ok = false;
    if (ok && rename(tmpPath_.c_str(), msgPath_.c_str()) != 0) ok = false;
    if (ok) committed_ = true;
    return ok;
}

void SpoolFile::Remove() {
    file_.reset();
    if (!tmpPath_.empty()) unlink(committed_ ? msgPath_.c_str() : tmpPath_.c_str());
    tmpPath_.clear();
    committed_ = false;
}

}  // namespace milter
