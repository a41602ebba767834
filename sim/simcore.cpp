// Shared body of the simulated engine daemons (see simcore.h).
#include "sim/simcore.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <queue>
#include <random>
#include <thread>

#include "common/base/threads.h"
#include "sim/frame.h"

namespace sim {

namespace {

using steadyClock = std::chrono::steady_clock;

// Set once before any thread starts; read by the signal handler.
char gSocketPath[sizeof(sockaddr_un::sun_path)];
const char* gName = "sim";

std::atomic<long> gRepliesSent{0};
std::atomic<int> gConnections{0};

twMutex gLogMutex;  // also held for every write to the log
int gLogFd GUARDED_BY(gLogMutex) = -1;

twMutex gRandomMutex;
std::mt19937 gRandom GUARDED_BY(gRandomMutex);

[[noreturn]] void ExitRemovingSocket(int code) {
    if (gSocketPath[0]) unlink(gSocketPath);
    _exit(code);
}

void OnTerminate(int) {
    ExitRemovingSocket(0);
}

bool TakeValue(int argc, char** argv, int& i, std::string& value) {
    if (i + 1 >= argc) {
        fprintf(stderr, "%s: option %s needs a value\n", gName, argv[i]);
        exit(2);
    }
    value = argv[++i];
    return true;
}

bool TakeNumber(int argc, char** argv, int& i, long long& value) {
    std::string text;
    TakeValue(argc, argv, i, text);
    if (!ParseInt(text, value) || value < 0) {
        fprintf(stderr, "%s: option %s needs a number, got '%s'\n", gName, argv[i - 1],
                text.c_str());
        exit(2);
    }
    return true;
}

struct scheduled {
    steadyClock::time_point due;
    uint64_t order;
    std::vector<std::string> frames;
    bool isRequest;
    bool operator>(const scheduled& other) const {
        return due != other.due ? due > other.due : order > other.order;
    }
};

// One accepted connection: the accepting thread reads requests, a writer
// thread sends the answers when they are due.
class connection {
  public:
    connection(int fd, int number, const options& opt, handler handle)
        : fd_(fd), number_(number), opt_(opt), handle_(std::move(handle)) {}
    ~connection() { close(fd_); }

    void Run() {
        LogRequest("CONNECT " + std::to_string(number_));
        std::thread writer([this] { WriterLoop(); });
        ReaderLoop();
        {
            twLock lock(mutex_);
            closed_ = true;
        }
        wake_.NotifyAll();
        writer.join();
        LogRequest("DISCONNECT " + std::to_string(number_));
    }

  private:
    void ReaderLoop() {
        std::string body;
        for (;;) {
            while (!opt_.readStallFile.empty() && access(opt_.readStallFile.c_str(), F_OK) == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            uint32_t announced = 0;
            const frameStatus status = ReadFrame(fd_, body, opt_.maxFrame, announced);
            if (status == frameStatus::tooLong) {
                LogRequest("BAD frame length " + std::to_string(announced));
                fprintf(stderr, "%s: frame of %u bytes refused, closing connection %d\n", gName,
                        announced, number_);
                return;
            }
            if (status != frameStatus::ok) return;

            reply answer = handle_(body);
            if (!answer.logLine.empty()) LogRequest(answer.logLine);
            if (answer.isRequest && opt_.exitAfter == 0) ExitRemovingSocket(0);
            if (answer.isRequest && opt_.closeAfter == 0) {
                LogRequest("CLOSING " + std::to_string(number_));
                shutdown(fd_, SHUT_RDWR);
                return;
            }
            if (answer.frames.empty()) continue;
            Enqueue(std::move(answer));
        }
    }

    void Enqueue(reply answer) EXCLUDES(mutex_) {
        scheduled item;
        item.isRequest = answer.isRequest;
        item.frames = std::move(answer.frames);
        if (item.isRequest && opt_.duplicate) {
            const std::vector<std::string> once = item.frames;
            item.frames.insert(item.frames.end(), once.begin(), once.end());
        }
        long delay = 0;
        if (item.isRequest) {
            delay = opt_.delayMs + answer.extraDelayMs;
            if (opt_.jitterMs > 0) delay += Random(static_cast<uint32_t>(opt_.jitterMs) + 1);
        }
        twLock lock(mutex_);
        const steadyClock::time_point now = steadyClock::now();
        item.due = now + std::chrono::milliseconds(delay);
        lastReceive_ = now;
        if (item.isRequest && opt_.shuffle > 1) {
            batch_.push_back(std::move(item));
            if (static_cast<int>(batch_.size()) >= opt_.shuffle) FlushBatch(now);
        } else {
            item.order = nextOrder_++;
            queue_.push(std::move(item));
        }
        wake_.NotifyAll();
    }

    // Caller holds mutex_.  The batch leaves in random order, each answer
    // still no earlier than its own delay allows.
    void FlushBatch(steadyClock::time_point now) REQUIRES(mutex_) {
        {
            twLock lock(gRandomMutex);
            std::shuffle(batch_.begin(), batch_.end(), gRandom);
        }
        steadyClock::time_point latest = now;
        for (const scheduled& s : batch_) latest = std::max(latest, s.due);
        for (scheduled& s : batch_) {
            s.due = latest;
            s.order = nextOrder_++;
            queue_.push(std::move(s));
        }
        batch_.clear();
    }

    bool Stalled() const {
        return !opt_.stallFile.empty() && access(opt_.stallFile.c_str(), F_OK) == 0;
    }

    void WriterLoop() {
        for (;;) {
            scheduled item;
            {
                twLock lock(mutex_);
                if (closed_) return;
                const steadyClock::time_point now = steadyClock::now();
                if (!batch_.empty() &&
                    now - lastReceive_ >= std::chrono::milliseconds(opt_.shuffleIdleMs))
                    FlushBatch(now);
                const bool stalled = !queue_.empty() && Stalled();
                if (stalled || queue_.empty() || queue_.top().due > now) {
                    steadyClock::time_point wake = now + std::chrono::seconds(1);
                    if (!queue_.empty()) wake = std::min(wake, queue_.top().due);
                    if (stalled || !batch_.empty())
                        wake = std::min(wake, now + std::chrono::milliseconds(20));
                    wake_.WaitUntil(mutex_, wake);
                    continue;
                }
                item = queue_.top();
                queue_.pop();
            }
            if (!Send(item)) {
                shutdown(fd_, SHUT_RDWR);
                return;
            }
            if (!item.isRequest) continue;
            ++sentHere_;
            const long total = ++gRepliesSent;
            if (opt_.exitAfter > 0 && total >= opt_.exitAfter) {
                fprintf(stderr, "%s: %ld replies sent, exiting\n", gName, total);
                ExitRemovingSocket(0);
            }
            if (opt_.closeAfter >= 0 && sentHere_ >= opt_.closeAfter) {
                LogRequest("CLOSING " + std::to_string(number_));
                shutdown(fd_, SHUT_RDWR);
                return;
            }
        }
    }

    bool Send(const scheduled& item) {
        for (const std::string& body : item.frames) {
            if (!item.isRequest || opt_.badReply.empty()) {
                if (!WriteFrame(fd_, body)) return false;
            } else if (opt_.badReply == "empty") {
                if (!WriteFrame(fd_, std::string())) return false;
            } else if (opt_.badReply == "garbage") {
                if (!WriteFrame(fd_, std::string(body.size() ? body.size() : 8, '\xff')))
                    return false;
            } else if (opt_.badReply == "huge") {
                const std::string prefix = LengthPrefix(0xffffffffu);
                if (!WriteAll(fd_, prefix.data(), prefix.size())) return false;
            } else {  // truncated: half a frame, then the connection ends
                const std::string frame = LengthPrefix(static_cast<uint32_t>(body.size())) + body;
                WriteAll(fd_, frame.data(), frame.size() / 2);
                return false;
            }
        }
        return true;
    }

    const int fd_;
    const int number_;
    const options& opt_;
    const handler handle_;

    twMutex mutex_;
    twCondVar wake_;
    std::priority_queue<scheduled, std::vector<scheduled>, std::greater<scheduled>> queue_
        GUARDED_BY(mutex_);
    std::vector<scheduled> batch_ GUARDED_BY(mutex_);
    steadyClock::time_point lastReceive_ GUARDED_BY(mutex_) = steadyClock::now();
    uint64_t nextOrder_ GUARDED_BY(mutex_) = 0;
    bool closed_ GUARDED_BY(mutex_) = false;

    long sentHere_ = 0;  // writer thread only
};

int Listen(const std::string& path) {
    sockaddr_un addr;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        fprintf(stderr, "%s: socket path missing or longer than %zu characters\n", gName,
                sizeof addr.sun_path - 1);
        exit(2);
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        perror("socket");
        exit(1);
    }
    // Bind under a side name and rename when listening, so that whoever
    // waits for the path to appear can connect at once.
    std::string bindPath = path + "~";
    if (bindPath.size() >= sizeof addr.sun_path) bindPath = path;
    unlink(path.c_str());
    unlink(bindPath.c_str());
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, bindPath.c_str(), bindPath.size() + 1);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        fprintf(stderr, "%s: bind %s: %s\n", gName, bindPath.c_str(), strerror(errno));
        exit(1);
    }
    if (listen(fd, 64) != 0) {
        perror("listen");
        exit(1);
    }
    if (bindPath != path && rename(bindPath.c_str(), path.c_str()) != 0) {
        fprintf(stderr, "%s: rename to %s: %s\n", gName, path.c_str(), strerror(errno));
        unlink(bindPath.c_str());
        exit(1);
    }
    return fd;
}

// Connection threads are created detached: a thread detached only after it
// started is briefly joinable, and a SIGTERM that lands in that moment ends
// the process with an unjoined thread (a leak to ThreadSanitizer).
void* RunConnection(void* arg) {
    std::unique_ptr<connection> conn(static_cast<connection*>(arg));
    conn->Run();
    return nullptr;
}

void StartDetached(connection* conn) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const int rc = pthread_create(&thread, &attr, RunConnection, conn);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        fprintf(stderr, "pthread_create: %s\n", strerror(rc));
        delete conn;
    }
}

}  // namespace

bool ParseInt(const std::string& text, long long& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    value = strtoll(text.c_str(), &end, 10);
    return errno == 0 && end && *end == '\0';
}

bool ParseCommonOption(int argc, char** argv, int& i, options& opt) {
    const std::string arg = argv[i];
    long long n = 0;
    std::string text;
    if (arg == "--delay-ms" && TakeNumber(argc, argv, i, n)) {
        opt.delayMs = static_cast<int>(std::min<long long>(n, 3600000));
    } else if (arg == "--jitter-ms" && TakeNumber(argc, argv, i, n)) {
        opt.jitterMs = static_cast<int>(std::min<long long>(n, 3600000));
    } else if (arg == "--shuffle" && TakeNumber(argc, argv, i, n)) {
        opt.shuffle = static_cast<int>(std::min<long long>(n, 1000000));
    } else if (arg == "--shuffle-idle-ms" && TakeNumber(argc, argv, i, n)) {
        opt.shuffleIdleMs = static_cast<int>(std::min<long long>(n, 3600000));
    } else if (arg == "--exit-after" && TakeNumber(argc, argv, i, n)) {
        opt.exitAfter = static_cast<long>(n);
    } else if (arg == "--close-after" && TakeNumber(argc, argv, i, n)) {
        opt.closeAfter = static_cast<long>(n);
    } else if (arg == "--seed" && TakeNumber(argc, argv, i, n)) {
        opt.seed = static_cast<uint32_t>(n);
        opt.seeded = true;
    } else if (arg == "--stall-file") {
        TakeValue(argc, argv, i, opt.stallFile);
    } else if (arg == "--read-stall-file") {
        TakeValue(argc, argv, i, opt.readStallFile);
    } else if (arg == "--log") {
        TakeValue(argc, argv, i, opt.logPath);
    } else if (arg == "--fixed") {
        TakeValue(argc, argv, i, opt.fixed);
    } else if (arg == "--bad-reply") {
        TakeValue(argc, argv, i, text);
        if (text != "empty" && text != "garbage" && text != "huge" && text != "truncated") {
            fprintf(stderr, "%s: --bad-reply takes empty, garbage, huge or truncated\n", gName);
            exit(2);
        }
        opt.badReply = text;
    } else if (arg == "--duplicate") {
        opt.duplicate = true;
    } else {
        return false;
    }
    return true;
}

const char* CommonUsage() {
    return "  --delay-ms N          answer each request N ms after it arrived\n"
           "  --jitter-ms N         plus a random 0..N ms (answers then overtake each other)\n"
           "  --shuffle N           collect N requests, answer them in random order\n"
           "  --shuffle-idle-ms N   answer an incomplete batch after N ms without requests (200)\n"
           "  --seed N              fixed random sequence\n"
           "  --exit-after N        exit after N replies (0: at the first request, unanswered)\n"
           "  --close-after N       close each connection after N replies on it (0: at its first "
           "request)\n"
           "  --stall-file PATH     send nothing while PATH exists\n"
           "  --read-stall-file PATH  read nothing while PATH exists\n"
           "  --log PATH            append one line per received frame\n"
           "  --duplicate           send every reply twice\n"
           "  --bad-reply MODE      empty | garbage | huge | truncated instead of each reply\n";
}

void LogRequest(const std::string& line) {
    twLock lock(gLogMutex);
    if (gLogFd < 0) return;
    const std::string whole = line + "\n";
    WriteAll(gLogFd, whole.data(), whole.size());
}

std::vector<std::string> MarkerValues(const std::string& content, const std::string& name) {
    std::vector<std::string> values;
    const std::string key = name + ":";
    for (size_t pos = content.find(key); pos != std::string::npos;
         pos = content.find(key, pos + 1)) {
        if (pos != 0 && content[pos - 1] != '\n') continue;
        size_t end = content.find('\n', pos);
        if (end == std::string::npos) end = content.size();
        size_t from = pos + key.size();
        while (from < end && (content[from] == ' ' || content[from] == '\t')) ++from;
        while (end > from &&
               (content[end - 1] == '\r' || content[end - 1] == ' ' || content[end - 1] == '\t'))
            --end;
        values.push_back(content.substr(from, end - from));
    }
    return values;
}

bool MarkerValue(const std::string& content, const std::string& name, std::string& value) {
    std::vector<std::string> values = MarkerValues(content, name);
    if (values.empty()) return false;
    value = values.front();
    return true;
}

uint32_t Random(uint32_t bound) {
    if (bound == 0) return 0;
    twLock lock(gRandomMutex);
    return std::uniform_int_distribution<uint32_t>(0, bound - 1)(gRandom);
}

void Serve(const char* name, const options& opt, handler handle) {
    gName = name;
    {
        twLock lock(gRandomMutex);
        gRandom.seed(opt.seeded ? opt.seed : static_cast<uint32_t>(time(nullptr) ^ getpid()));
    }
    if (!opt.logPath.empty()) {
        twLock lock(gLogMutex);
        gLogFd = open(opt.logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (gLogFd < 0) {
            fprintf(stderr, "%s: cannot open log %s: %s\n", name, opt.logPath.c_str(),
                    strerror(errno));
            exit(1);
        }
    }
    // A filter that goes away must cost us a connection, not the process.
    signal(SIGPIPE, SIG_IGN);

    const int listenFd = Listen(opt.socketPath);
    snprintf(gSocketPath, sizeof gSocketPath, "%s", opt.socketPath.c_str());
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnTerminate;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    fprintf(stderr, "%s: listening on %s\n", name, opt.socketPath.c_str());

    for (;;) {
        const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            perror("accept");
            ExitRemovingSocket(1);
        }
        // Several at once: at a reload the filter connects again while its
        // old connection is still open.
        const int number = ++gConnections;
        StartDetached(new connection(fd, number, opt, handle));
    }
}

int ParseCommandLine(int argc, char** argv, const char* name, void (*usage)(), options& opt,
                     const std::function<bool(int argc, char** argv, int& i)>& ownOption,
                     const std::function<bool(const std::string& fixed)>& fixedValid, bool& serve) {
    serve = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (ParseCommonOption(argc, argv, i, opt) || ownOption(argc, argv, i)) continue;
        if (arg == "-h" || arg == "--help") {
            usage();
            return 0;
        } else if (arg.compare(0, 1, "-") != 0 && opt.socketPath.empty()) {
            opt.socketPath = arg;
        } else {
            fprintf(stderr, "%s: unknown argument '%s'\n", name, arg.c_str());
            usage();
            return 2;
        }
    }
    if (opt.socketPath.empty()) {
        usage();
        return 2;
    }
    if (!opt.fixed.empty() && !fixedValid(opt.fixed)) {
        fprintf(stderr, "%s: unknown --fixed outcome '%s'\n", name, opt.fixed.c_str());
        return 2;
    }
    serve = true;
    return 0;
}

}  // namespace sim
