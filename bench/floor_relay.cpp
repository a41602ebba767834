// The floor of the benchmark: a relay that does only the work every request
// costs whatever the filter around it does.  It reads the request line,
// checks that the message file exists, makes the envelope-free copy in Temp
// (anti-virus build) or reads the message (anti-spam build), sends one
// frame, takes the reply on a second thread, removes the copy and writes
// the answer line.  No settings, statistics, reports or log lines: the
// filters are measured against this, so it must stay as plain as a careful
// first version would be, neither crippled nor tuned beyond that.
//
// Usage: floor-relay-av SOCKET   or   floor-relay-as SOCKET, started in the
// server's base directory like the filters; speaks the same line protocol
// (FILE, INTF, QUIT) on standard input and output.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "common/base/threads.h"

#ifdef FLOOR_AS
#include "quillon_ase_api.pb.h"
#else
#include "quillon_se_api.pb.h"
#endif

namespace {

constexpr size_t lineMax = 1043;
#ifdef FLOOR_AS
constexpr size_t maxMessageSize = 33554432;
#endif
constexpr uint32_t maxReplyLength = 64u << 20;

int engineFd = -1;
std::string curDir;

struct pending {
    std::string copyPath;  // empty: nothing to remove
};

twMutex pendingMutex;
std::unordered_map<int32_t, pending> pendingBySerial GUARDED_BY(pendingMutex);

bool writeAll(int fd, const void* data, size_t len) {
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// Both threads answer; one write per line keeps the lines whole.
void answer(const char* text, size_t len) {
    static twMutex outMutex;
    twLock lock(outMutex);
    writeAll(STDOUT_FILENO, text, len);
}

void answerf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void answerf(const char* fmt, ...) {
    char buf[4096];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    answer(buf, std::min(static_cast<size_t>(n), sizeof buf - 1));
}

// Envelope lines ("X value") up to a blank line; 0 when the file has none.
size_t envelopeLength(const char* data, size_t len) {
    size_t pos = 0;
    while (pos < len) {
        const char* lf = static_cast<const char*>(memchr(data + pos, '\n', len - pos));
        if (!lf) return 0;
        size_t next = static_cast<size_t>(lf - data) + 1;
        size_t lineLen = next - 1 - pos;
        if (lineLen == 0 || (lineLen == 1 && data[pos] == '\r')) return pos == 0 ? 0 : next;
        if (lineLen < 2 || data[pos] < 'A' || data[pos] > 'Z' || data[pos + 1] != ' ') return 0;
        pos = next;
    }
    return 0;
}

bool sendFrame(const google::protobuf::MessageLite& head, const char* payload, size_t payloadLen) {
    std::string frame(4, '\0');
    head.AppendToString(&frame);
#ifdef FLOOR_AS
    // The text is the last field: its tag and length, then the bytes
    // straight from the read buffer.
    unsigned char field[16];
    size_t n = 0;
    field[n++] = static_cast<unsigned char>(ql::ClientMessage::kMessageFieldNumber << 3 | 2);
    for (uint64_t v = payloadLen;; v >>= 7) {
        field[n++] = static_cast<unsigned char>((v & 0x7f) | (v > 0x7f ? 0x80 : 0));
        if (v <= 0x7f) break;
    }
    frame.append(reinterpret_cast<char*>(field), n);
#endif
    uint32_t len = static_cast<uint32_t>(frame.size() - 4 + payloadLen);
    for (int i = 0; i < 4; ++i) frame[i] = static_cast<char>(len >> (8 * i));
    struct iovec iov[2] = {{&frame[0], frame.size()}, {const_cast<char*>(payload), payloadLen}};
    size_t total = frame.size() + payloadLen, done = 0;
    while (done < total) {
        struct iovec part[2];
        int count = 0;
        size_t skip = done;
        for (auto& v : iov) {
            if (skip >= v.iov_len) {
                skip -= v.iov_len;
                continue;
            }
            part[count++] = {static_cast<char*>(v.iov_base) + skip, v.iov_len - skip};
            skip = 0;
        }
        ssize_t w = writev(engineFd, part, count);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        done += static_cast<size_t>(w);
    }
    return true;
}

struct fdCloser {
    int fd;
    ~fdCloser() {
        if (fd >= 0) close(fd);
    }
};

#ifndef FLOOR_AS

// Copies the message without its envelope to Temp; false leaves the engine
// to scan the message file itself.
bool makeCopy(const char* path, const char* token, std::string& copyPath) {
    fdCloser in{open(path, O_RDONLY | O_CLOEXEC)};
    struct stat st;
    if (in.fd < 0 || fstat(in.fd, &st) != 0) return false;
    char head[65536];
    ssize_t got = pread(in.fd, head, sizeof head, 0);
    if (got <= 0) return false;
    size_t env = envelopeLength(head, static_cast<size_t>(got));
    if (env == 0) return false;
    copyPath = curDir + "Temp/message_" + token + ".tmp";
    fdCloser out{open(copyPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666)};
    if (out.fd < 0) return false;
    bool ok = writeAll(out.fd, head + env, static_cast<size_t>(got) - env);
    off_t offset = got;
    while (ok && offset < st.st_size) {
        ssize_t n = copy_file_range(in.fd, &offset, out.fd, nullptr,
                                    static_cast<size_t>(st.st_size - offset), 0);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
    }
    if (!ok) unlink(copyPath.c_str());
    return ok;
}

void enqueue(const char* token, const char* path) {
    std::string full = curDir + path;
    if (access(full.c_str(), F_OK) != 0) {
        answerf("%s FAILURE Unable to check file for existence: %s, error=%s\n", token,
                full.c_str(), strerror(errno));
        return;
    }
    int32_t serial = static_cast<int32_t>(strtol(token, nullptr, 10));
    pending entry;
    std::string scanPath = full;
    if (makeCopy(path, token, entry.copyPath))
        scanPath = entry.copyPath;
    else
        entry.copyPath.clear();
    {
        twLock lock(pendingMutex);
        pendingBySerial[serial] = std::move(entry);
    }
    ql::ClientMessage request;
    request.set_tag(ql::ClientMessage::SCAN_FILE_REQUEST);
    request.set_serial(static_cast<uint32_t>(serial));
    request.mutable_scan_file_request()->set_path(scanPath);
    sendFrame(request, nullptr, 0);
}

void handleReply(const ql::ServerMessage& reply) {
    if (reply.tag() != ql::ServerMessage::SCAN_FILE_RESULT || !reply.has_serial()) return;
    int32_t serial = static_cast<int32_t>(reply.serial());
    pending entry;
    {
        twLock lock(pendingMutex);
        auto it = pendingBySerial.find(serial);
        if (it == pendingBySerial.end()) return;
        entry = std::move(it->second);
        pendingBySerial.erase(it);
    }
    if (!entry.copyPath.empty()) unlink(entry.copyPath.c_str());
    bool infected = false;
    if (reply.has_scan_report()) {
        std::vector<const ql::ScanReport*> todo{&reply.scan_report()};
        while (!todo.empty() && !infected) {
            const ql::ScanReport* r = todo.back();
            todo.pop_back();
            infected = r->virus_size() > 0;
            for (const auto& child : r->item()) todo.push_back(&child);
        }
    }
    if (infected)
        answerf("%d ERROR \"Virus found\"\n", serial);
    else
        answerf("%d OK\n", serial);
}

#else

void enqueue(const char* token, const char* path) {
    std::string full = curDir + path;
    if (access(full.c_str(), F_OK) != 0) {
        answerf("%s FAILURE Unable to check file for existence: %s, error=%s\n", token,
                full.c_str(), strerror(errno));
        return;
    }
    int32_t serial = static_cast<int32_t>(strtol(token, nullptr, 10));
    fdCloser in{open(path, O_RDONLY | O_CLOEXEC)};
    struct stat st;
    if (in.fd < 0 || fstat(in.fd, &st) != 0) {
        answerf("%s FAILURE Unable to check file for existence: %s, error=%s\n", token,
                full.c_str(), strerror(errno));
        return;
    }
    size_t want = std::min(static_cast<size_t>(st.st_size), maxMessageSize);
    // Not zero-filled (make_unique would): every byte used is read first.
    std::unique_ptr<char[]> buffer(new char[want + 1]);
    size_t have = 0;
    while (have < want) {
        ssize_t n = read(in.fd, buffer.get() + have, want - have);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        have += static_cast<size_t>(n);
    }
    size_t env = envelopeLength(buffer.get(), have);
    {
        twLock lock(pendingMutex);
        pendingBySerial[serial] = pending{};
    }
    ql::ClientMessage request;
    request.set_tag(ql::ClientMessage::GET_SPAM_REPORT_REQUEST);
    request.set_serial(static_cast<uint32_t>(serial));
    sendFrame(request, buffer.get() + env, have - env);
}

void handleReply(const ql::ServerMessage& reply) {
    if (!reply.has_serial() || !reply.has_spam_report()) return;
    int32_t serial = static_cast<int32_t>(reply.serial());
    {
        twLock lock(pendingMutex);
        if (pendingBySerial.erase(serial) == 0) return;
    }
    int64_t s = reply.spam_report().score().score();
    int value = s > 300     ? 100
                : s > 100   ? static_cast<int>(90 + (s - 100) / 20)
                : s < -1000 ? 0
                            : static_cast<int>(((s + 1000) * 90) / 1100);
    answerf("%d ADDHEADER \"X-Junk-Score: %3d []\\eX-Quillon-Score: %3d []\"\n", serial, value,
            value);
}

#endif

bool readExact(int fd, void* buf, size_t len) {
    char* p = static_cast<char*>(buf);
    while (len > 0) {
        ssize_t n = read(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

void readerLoop() {
    ql::ServerMessage reply;
    std::vector<char> body;
    for (;;) {
        unsigned char prefix[4];
        if (!readExact(engineFd, prefix, 4)) _exit(1);
        uint32_t len =
            prefix[0] | prefix[1] << 8 | prefix[2] << 16 | static_cast<uint32_t>(prefix[3]) << 24;
        if (len > maxReplyLength) _exit(1);
        body.resize(len);
        if (!readExact(engineFd, body.data(), len)) _exit(1);
        if (!reply.ParseFromArray(body.data(), static_cast<int>(len))) _exit(1);
        handleReply(reply);
    }
}

int connectEngine(const char* path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (fd < 0 || strlen(path) >= sizeof addr.sun_path) return -1;
    strcpy(addr.sun_path, path);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return -1;
    return fd;
}

void handleLine(const std::string& line) {
    size_t blank = line.find(' ');
    if (blank == std::string::npos) {
        answerf("%s FAILURE Missing command.\n", line.c_str());
        return;
    }
    std::string token = line.substr(0, blank);
    size_t word = line.find_first_not_of(' ', blank);
    if (word == std::string::npos) word = line.size();
    const char* command = line.c_str() + word;
    if (strncmp(command, "FILE ", 5) == 0) {
        size_t path = line.find_first_not_of(' ', word + 5);
        if (path == std::string::npos)
            answerf("%s FAILURE Missing file name: FILE\n", token.c_str());
        else
            enqueue(token.c_str(), line.c_str() + path);
    } else if (strncmp(command, "INTF", 4) == 0) {
        answerf("%s INTF 3 PROD=QLON\n", token.c_str());
    } else if (strncmp(command, "QUIT", 4) == 0) {
        _exit(0);
    } else {
        answerf("%s OK Unknown command: %s\n", token.c_str(), command);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s SOCKET\n", argv[0]);
        return 2;
    }
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) return 1;
    curDir = cwd;
    if (curDir.back() != '/') curDir += '/';
    mkdir((curDir + "Temp").c_str(), 0770);
    engineFd = connectEngine(argv[1]);
    if (engineFd < 0) {
        fprintf(stderr, "%s: cannot connect to %s: %s\n", argv[0], argv[1], strerror(errno));
        return 1;
    }
    std::thread(readerLoop).detach();

    // Block reads from standard input, split into lines here.
    char buf[65536];
    std::string line;
    for (;;) {
        ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) _exit(0);
        for (ssize_t i = 0; i < n; ++i) {
            char c = buf[i];
            if (c == '\n') {
                handleLine(line);
                line.clear();
            } else if (c != '\r' && line.size() < lineMax) {
                line += c;
            }
        }
    }
}
