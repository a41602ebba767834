// bench-driver: plays the mail server for one benchmark run.  Starts the
// program under test with its standard input and output on pipes, waits
// until it answers INTF, then sends FILE requests for the numbered queue
// files and times the answers:
//   latency phase     one request outstanding, each answer timed alone;
//   throughput phase  a fixed number of requests kept outstanding.
// Prints one JSON object on standard output, every latency in it.  Written in C++ because it
// takes two to three times less CPU per request than the same loop in
// Python (bench.py --python-driver), and on a two-core machine every
// microsecond the driver spends is missing from the relay under test.
//
// Usage: bench-driver --dir BASE --pattern FMT --files N [--latency N]
//                     [--count N] [--window N] [--fresh] -- PROGRAM ARGS...
// FMT is a printf pattern with one %d (for example queue/m%05d), relative
// to BASE, which is also the program's working directory.  With --fresh the
// numbered files are templates, read once: every request gets a queue file
// of its own, written just before the request and removed after its
// answer, as the server's queue does (a program under test then never
// meets a file it has seen before, in any cache of its own or the
// kernel's).
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

struct options {
    std::string dir;
    std::string pattern;
    long files = 0;
    long latency = 0;
    long count = 0;
    long window = 256;
    double timeoutSec = 120;
    bool fresh = false;
    std::vector<char*> argv;
};

[[noreturn]] void die(const char* fmt, const char* what) {
    fprintf(stderr, "bench-driver: ");
    fprintf(stderr, fmt, what);
    fprintf(stderr, "\n");
    exit(2);
}

int64_t nowNs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// CPU time of every thread of pid, in nanoseconds (first field of each
// task's schedstat); the clock-tick figures of stat are too coarse for an
// idle process.
int64_t selfCpuNs() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return (static_cast<int64_t>(ru.ru_utime.tv_sec) + ru.ru_stime.tv_sec) * 1000000000 +
           (static_cast<int64_t>(ru.ru_utime.tv_usec) + ru.ru_stime.tv_usec) * 1000;
}

int64_t cpuNs(pid_t pid) {
    std::string taskDir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(taskDir.c_str());
    if (!d) return -1;
    int64_t total = 0;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::string path = taskDir + "/" + e->d_name + "/schedstat";
        FILE* f = fopen(path.c_str(), "r");
        if (!f) continue;
        long long ns = 0;
        if (fscanf(f, "%lld", &ns) == 1) total += ns;
        fclose(f);
    }
    closedir(d);
    return total;
}

// Context switches (voluntary and forced) of every thread of pid.
long contextSwitches(pid_t pid) {
    std::string taskDir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(taskDir.c_str());
    if (!d) return -1;
    long total = 0;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::string path = taskDir + "/" + e->d_name + "/status";
        FILE* f = fopen(path.c_str(), "r");
        if (!f) continue;
        char line[256];
        while (fgets(line, sizeof line, f))
            if (strstr(line, "ctxt_switches:")) total += atol(strchr(line, ':') + 1);
        fclose(f);
    }
    closedir(d);
    return total;
}

long statusKb(pid_t pid, const char* key) {
    std::string path = "/proc/" + std::to_string(pid) + "/status";
    FILE* f = fopen(path.c_str(), "r");
    if (!f) return -1;
    char line[256];
    long value = -1;
    size_t keyLen = strlen(key);
    while (fgets(line, sizeof line, f)) {
        if (strncmp(line, key, keyLen) == 0 && line[keyLen] == ':') {
            value = atol(line + keyLen + 1);
            break;
        }
    }
    fclose(f);
    return value;
}

class child {
  public:
    child(const options& opt) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) die("%s", strerror(errno));
        pid_ = fork();
        if (pid_ < 0) die("fork: %s", strerror(errno));
        if (pid_ == 0) {
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            if (chdir(opt.dir.c_str()) != 0) _exit(127);
            std::vector<char*> args = opt.argv;
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        toChild_ = in[1];
        fromChild_ = out[0];
    }

    ~child() {
        if (toChild_ >= 0) close(toChild_);
        if (fromChild_ >= 0) close(fromChild_);
    }

    pid_t pid() const { return pid_; }
    bool HasLine() const { return buffer_.find('\n', pos_) != std::string::npos; }

    void Send(const std::string& text) {
        size_t done = 0;
        while (done < text.size()) {
            ssize_t n = write(toChild_, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) die("program's input closed: %s", strerror(errno));
            done += static_cast<size_t>(n);
        }
    }

    // Next complete line from the program (without its line feed); false at
    // end of output.  Reads block: a poll before every read would cost the
    // driver a third more system time, and the deadline is kept by alarm().
    bool Line(std::string& line) {
        for (;;) {
            size_t lf = buffer_.find('\n', pos_);
            if (lf != std::string::npos) {
                line.assign(buffer_, pos_, lf - pos_);
                pos_ = lf + 1;
                return true;
            }
            if (pos_ > 0) {
                buffer_.erase(0, pos_);
                pos_ = 0;
            }
            char chunk[65536];
            ssize_t n = read(fromChild_, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }

    // Ends the program; every line it still writes goes to onLine (the
    // drain also keeps its last lines from blocking it).  Its exit status.
    template <typename F>
    int Finish(F onLine) {
        Send("QUIT QUIT\n");
        close(toChild_);
        toChild_ = -1;
        std::string line;
        while (Line(line)) onLine(line);
        int status = 0;
        waitpid(pid_, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

  private:
    pid_t pid_ = -1;
    int toChild_ = -1;
    int fromChild_ = -1;
    std::string buffer_;
    size_t pos_ = 0;
};

struct tally {
    std::map<std::string, long> kinds;  // answer word (OK, ADDHEADER, FAILURE ...) -> count
    long logLines = 0;
    // Which request numbers were answered, and the answers that fit no
    // single request sent: figures with such answers in them are wrong.
    std::vector<bool> answered;
    long duplicates = 0, unsent = 0;

    void Expect(long requests) { answered.assign(static_cast<size_t>(requests) + 1, false); }
    // False for an answer that is no first answer to a request sent.
    bool Answer(long seq, long sent) {
        if (seq < 1 || seq > sent) {
            ++unsent;
            return false;
        }
        if (answered[static_cast<size_t>(seq)]) {
            ++duplicates;
            return false;
        }
        answered[static_cast<size_t>(seq)] = true;
        return true;
    }
};

// Splits "<seq> WORD ..." ; false for log lines and lines of no request.
bool parseAnswer(const std::string& line, long& seq, std::string& word, tally& t) {
    if (line.compare(0, 2, "* ") == 0 || line.compare(0, 2, "**") == 0) {
        ++t.logLines;
        return false;
    }
    char* end = nullptr;
    seq = strtol(line.c_str(), &end, 10);
    if (end == line.c_str() || *end != ' ') {
        ++t.kinds["(other)"];
        return false;
    }
    const char* w = end + 1;
    const char* we = strchr(w, ' ');
    word.assign(w, we ? static_cast<size_t>(we - w) : strlen(w));
    ++t.kinds[word];
    return true;
}

std::string templatePath(const options& opt, long n) {
    char path[1100];
    snprintf(path, sizeof path, opt.pattern.c_str(), static_cast<int>(n));
    return path;
}

// --fresh: the templates' bytes, and the queue file name of a request.
std::vector<std::string> templates;

std::string freshPath(long seq) {
    return "queue/fresh-" + std::to_string(seq);
}

std::string readWhole(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) die("cannot read template %s", path.c_str());
    std::string data;
    char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) data.append(chunk, n);
    fclose(f);
    return data;
}

// Writes the queue file of request seq (fresh mode): created new, written
// whole and closed before the request line goes out, as the server does.
void placeFresh(const options& opt, long seq) {
    const std::string path = opt.dir + "/" + freshPath(seq);
    const std::string& data = templates[static_cast<size_t>(seq % opt.files)];
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
    if (fd < 0) die("cannot create %s", path.c_str());
    if (write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size()))
        die("cannot write %s", path.c_str());
    close(fd);
}

void removeFresh(const options& opt, long seq) {
    if (opt.fresh) unlink((opt.dir + "/" + freshPath(seq)).c_str());
}

std::string request(const options& opt, long seq) {
    if (opt.fresh) {
        placeFresh(opt, seq);
        return std::to_string(seq) + " FILE " + freshPath(seq) + "\n";
    }
    return std::to_string(seq) + " FILE " + templatePath(opt, seq % opt.files) + "\n";
}

pid_t childPid = -1;

void onTimeout(int) {
    static const char text[] = "bench-driver: timed out\n";
    if (childPid > 0) kill(childPid, SIGKILL);
    ssize_t ignored = write(STDERR_FILENO, text, sizeof text - 1);
    (void)ignored;
    _exit(3);
}

}  // namespace

int main(int argc, char** argv) {
    options opt;
    int i = 1;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) die("%s needs a value", a.c_str());
            return argv[++i];
        };
        if (a == "--dir")
            opt.dir = value();
        else if (a == "--pattern")
            opt.pattern = value();
        else if (a == "--files")
            opt.files = atol(value());
        else if (a == "--latency")
            opt.latency = atol(value());
        else if (a == "--count")
            opt.count = atol(value());
        else if (a == "--window")
            opt.window = atol(value());
        else if (a == "--timeout")
            opt.timeoutSec = atof(value());
        else if (a == "--fresh")
            opt.fresh = true;
        else if (a == "--") {
            ++i;
            break;
        } else
            die("unknown argument %s", a.c_str());
    }
    for (; i < argc; ++i) opt.argv.push_back(argv[i]);
    if (opt.dir.empty() || opt.pattern.empty() || opt.files <= 0 || opt.argv.empty() ||
        opt.window < 1)
        die("%s",
            "usage: bench-driver --dir BASE --pattern FMT --files N [--latency N] [--count N] "
            "[--window N] [--fresh] -- PROGRAM ARGS...");
    signal(SIGPIPE, SIG_IGN);
    if (opt.fresh)
        for (long n = 0; n < opt.files; ++n)
            templates.push_back(readWhole(opt.dir + "/" + templatePath(opt, n)));

    child prog(opt);
    childPid = prog.pid();
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = onTimeout;
    sigaction(SIGALRM, &sa, nullptr);
    alarm(static_cast<unsigned>(opt.timeoutSec));
    tally t;
    t.Expect(opt.latency + opt.count);
    std::string line, word;
    long seq = 0;

    // Ready when it answers INTF: start-up is not part of any figure.
    prog.Send("0 INTF 3\n");
    for (;;) {
        if (!prog.Line(line)) die("%s", "the program ended before it answered INTF");
        if (line == "0 INTF 3 PROD=QLON") break;
    }

    int64_t cpu0 = cpuNs(prog.pid());
    std::vector<double> latUs;
    latUs.reserve(static_cast<size_t>(opt.latency));
    for (long k = 0; k < opt.latency; ++k) {
        long want = ++seq;
        std::string req = request(opt, want);
        int64_t t0 = nowNs();
        prog.Send(req);
        for (;;) {
            if (!prog.Line(line)) die("%s", "the program ended in the latency phase");
            long got = 0;
            if (parseAnswer(line, got, word, t) && t.Answer(got, seq)) {
                removeFresh(opt, got);
                if (got == want) break;
            }
        }
        latUs.push_back(static_cast<double>(nowNs() - t0) / 1000.0);
    }
    int64_t cpu1 = cpuNs(prog.pid());

    // Throughput: refill the window with as many requests as answers came
    // in, in one write.
    long sent = 0, answered = 0;
    long switches0 = contextSwitches(prog.pid());
    int64_t self0 = selfCpuNs();
    int64_t t0 = nowNs();
    std::string batch;
    batch.reserve(65536);
    while (sent < opt.count && sent < opt.window) {
        batch += request(opt, ++seq);
        ++sent;
    }
    prog.Send(batch);
    batch.clear();
    while (answered < opt.count) {
        if (!prog.Line(line)) die("%s", "the program ended in the throughput phase");
        long got = 0;
        if (!parseAnswer(line, got, word, t) || !t.Answer(got, seq)) continue;
        removeFresh(opt, got);
        ++answered;
        if (sent < opt.count) {
            batch += request(opt, ++seq);
            ++sent;
        }
        if (!batch.empty() && !prog.HasLine()) {
            prog.Send(batch);
            batch.clear();
        }
    }
    int64_t elapsed = nowNs() - t0;
    int64_t selfUsed = selfCpuNs() - self0;
    int64_t cpu2 = cpuNs(prog.pid());
    long switches = contextSwitches(prog.pid()) - switches0;
    long hwm = statusKb(prog.pid(), "VmHWM");
    int code = prog.Finish([&](const std::string& last) {
        long got = 0;
        if (parseAnswer(last, got, word, t) && t.Answer(got, seq)) removeFresh(opt, got);
    });
    alarm(0);

    // Every latency as measured: its percentiles are bench/percentile.py's,
    // the one rule of every benchmark.
    double meanUs = 0;
    for (double v : latUs) meanUs += v / static_cast<double>(latUs.size());
    printf("{\"latency_n\": %ld, \"mean_us\": %.1f, \"latency_us\": [", opt.latency, meanUs);
    for (size_t i = 0; i < latUs.size(); ++i) printf("%s%.1f", i ? ", " : "", latUs[i]);
    printf("],");
    printf(" \"count\": %ld, \"window\": %ld, \"seconds\": %.4f, \"msgs_per_s\": %.1f,", opt.count,
           opt.window, static_cast<double>(elapsed) / 1e9,
           elapsed > 0 ? static_cast<double>(opt.count) * 1e9 / static_cast<double>(elapsed) : 0.0);
    printf(" \"cpu_us_per_msg_latency\": %.2f, \"cpu_us_per_msg_throughput\": %.2f,",
           opt.latency
               ? static_cast<double>(cpu1 - cpu0) / 1000.0 / static_cast<double>(opt.latency)
               : 0.0,
           opt.count ? static_cast<double>(cpu2 - cpu1) / 1000.0 / static_cast<double>(opt.count)
                     : 0.0);
    printf(" \"switches_per_msg\": %.2f,",
           opt.count ? static_cast<double>(switches) / opt.count : 0.0);
    printf(
        " \"driver_cpu_us_per_msg\": %.2f,",
        opt.count ? static_cast<double>(selfUsed) / 1000.0 / static_cast<double>(opt.count) : 0.0);
    printf(" \"duplicates\": %ld, \"unsent\": %ld,", t.duplicates, t.unsent);
    printf(" \"vmhwm_kb\": %ld, \"exit\": %d, \"log_lines\": %ld, \"answers\": {", hwm, code,
           t.logLines);
    bool first = true;
    for (const auto& k : t.kinds) {
        printf("%s\"%s\": %ld", first ? "" : ", ", k.first.c_str(), k.second);
        first = false;
    }
    printf("}}\n");
    return 0;
}
