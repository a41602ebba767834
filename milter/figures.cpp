#include "milter/figures.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/base/daemonlog.h"

namespace milter {

namespace {

struct Pair {
    const char* outcome;
    const char* reason;
};
// In the order of Counted.
constexpr Pair kMessagePairs[] = {
    {"accepted", "filters"},      {"accepted", "not_rated"},      {"accepted", "filter_failure"},
    {"refused", "filter"},        {"refused", "spam_score"},      {"refused", "filter_failure"},
    {"refused", "forged_fields"}, {"discarded", "filter"},        {"held", "virus"},
    {"held", "spam_score"},       {"deferred", "filter_failure"}, {"deferred", "spool"},
    {"deferred", "shutdown"},     {"deferred", "forged_fields"},  {"deferred", "hold_failed"},
};
static_assert(sizeof kMessagePairs / sizeof kMessagePairs[0] ==
                  static_cast<size_t>(Counted::kCount),
              "a label pair for every outcome");
constexpr const char* kGeneratedNames[] = {"sent", "failed", "set_aside"};

// A label value: the filters' names are program file names, so anything
// but a backslash, a quote or a line break goes as it is.
std::string Label(const std::string& value) {
    std::string out;
    for (char c : value) {
        if (c == '\\' || c == '"') out += '\\';
        out += c == '\n' ? 'n' : c;
    }
    return out;
}

void Line(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Line(std::string& out, const char* format, ...) {
    char buf[512];
    va_list args;
    va_start(args, format);
    const int n = vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    if (n > 0) out.append(buf, std::min(static_cast<size_t>(n), sizeof buf - 1));
    out += '\n';
}

unsigned long long Get(const std::atomic<uint64_t>& v) {
    return static_cast<unsigned long long>(v.load(std::memory_order_relaxed));
}

}  // namespace

Figures& HostFigures() {
    static Figures figures;
    return figures;
}

void Figures::Answered(size_t filter, long ms) {
    if (filter >= kMaxFilters) return;
    PerFilter& f = filters_[filter];
    if (ms < 0) ms = 0;
    for (size_t b = 0; b < kBucketsMs.size(); ++b)
        if (ms <= kBucketsMs[b]) {
            Add(f.buckets[b]);
            break;
        }
    Add(f.answers);
    f.sumMs.fetch_add(static_cast<uint64_t>(ms), kRelaxed);
}

void Figures::Restarted(size_t filter) {
    if (filter < kMaxFilters) Add(filters_[filter].restarts);
}

void Figures::LateAnswer(size_t filter) {
    if (filter < kMaxFilters) Add(filters_[filter].late);
}

std::string Figures::Text() const {
    std::string out;
    Line(out, "# HELP tarnwick_milter_messages_total Messages answered, by outcome and reason.");
    Line(out, "# TYPE tarnwick_milter_messages_total counter");
    for (size_t i = 0; i < messages_.size(); ++i)
        Line(out, "tarnwick_milter_messages_total{outcome=\"%s\",reason=\"%s\"} %llu",
             kMessagePairs[i].outcome, kMessagePairs[i].reason, Get(messages_[i]));

    const size_t n = std::min(names_.size(), kMaxFilters);
    Line(out,
         "# HELP tarnwick_milter_filter_answer_seconds Time from a message's submission "
         "to a filter's answer.");
    Line(out, "# TYPE tarnwick_milter_filter_answer_seconds histogram");
    for (size_t i = 0; i < n; ++i) {
        const std::string name = Label(names_[i]);
        const PerFilter& f = filters_[i];
        // The count first: an answer counted between the reads shows up in
        // the next file, never as a bucket above the count.
        const unsigned long long count = Get(f.answers);
        const unsigned long long sum = Get(f.sumMs);
        unsigned long long cumulative = 0;
        for (size_t b = 0; b < kBucketsMs.size(); ++b) {
            cumulative = std::min(count, cumulative + Get(f.buckets[b]));
            Line(out, "tarnwick_milter_filter_answer_seconds_bucket{filter=\"%s\",le=\"%g\"} %llu",
                 name.c_str(), kBucketsMs[b] / 1000.0, cumulative);
        }
        Line(out, "tarnwick_milter_filter_answer_seconds_bucket{filter=\"%s\",le=\"+Inf\"} %llu",
             name.c_str(), count);
        Line(out, "tarnwick_milter_filter_answer_seconds_sum{filter=\"%s\"} %.3f", name.c_str(),
             static_cast<double>(sum) / 1000.0);
        Line(out, "tarnwick_milter_filter_answer_seconds_count{filter=\"%s\"} %llu", name.c_str(),
             count);
    }
    const auto perFilter = [&](const char* series, const char* help,
                               std::atomic<uint64_t> PerFilter::*counter) {
        Line(out, "# HELP %s %s", series, help);
        Line(out, "# TYPE %s counter", series);
        for (size_t i = 0; i < n; ++i)
            Line(out, "%s{filter=\"%s\"} %llu", series, Label(names_[i]).c_str(),
                 Get(filters_[i].*counter));
    };
    perFilter("tarnwick_milter_filter_restarts_total",
              "Filter processes started again after the first.", &PerFilter::restarts);
    perFilter("tarnwick_milter_late_answers_total", "Answers that came after the MTA was answered.",
              &PerFilter::late);
    Line(out,
         "# HELP tarnwick_milter_forged_fields_removed_total Incoming header fields named "
         "like the filters' own, removed.");
    Line(out, "# TYPE tarnwick_milter_forged_fields_removed_total counter");
    Line(out, "tarnwick_milter_forged_fields_removed_total %llu", Get(forgedFields_));
    Line(out,
         "# HELP tarnwick_milter_generated_mail_total The filters' generated mail: handed "
         "to sendmail, a sendmail run that failed, set aside in failed/.");
    Line(out, "# TYPE tarnwick_milter_generated_mail_total counter");
    for (size_t i = 0; i < generated_.size(); ++i)
        Line(out, "tarnwick_milter_generated_mail_total{result=\"%s\"} %llu", kGeneratedNames[i],
             Get(generated_[i]));
    return out;
}

bool Figures::WriteFile(const std::string& path) const {
    const std::string text = Text();
    const std::string temp = path + ".tmp";
    // Created afresh, never opened as found: a FIFO, a link or a file left
    // at the name (by a crash, or by a member of the directory's group) is
    // removed, unlink never following it, and the name made again.
    constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = open(temp.c_str(), kFlags, 0644);
    if (fd < 0 && errno == EEXIST && unlink(temp.c_str()) == 0)
        fd = open(temp.c_str(), kFlags, 0644);
    if (fd < 0) return false;
    // Not secret, and read by the collector's user, whatever the umask.
    bool ok = fchmod(fd, 0644) == 0;
    for (size_t done = 0; ok && done < text.size();) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<size_t>(n);
    }
    const int saved = errno;
    if (close(fd) != 0 && ok) return false;
    if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
        const int why = ok ? errno : saved;
        unlink(temp.c_str());
        errno = why;
        return false;
    }
    return true;
}

void Figures::Export() {
    if (WriteFile(path_)) {
        if (failing_) daemonlog::Log("figures: %s written again", path_.c_str());
        failing_ = false;
    } else if (!failing_) {
        daemonlog::Error("figures: cannot write %s: %s", path_.c_str(), strerror(errno));
        failing_ = true;
    }
}

void Figures::StartExport(const std::string& path, int intervalMs) {
    path_ = path;
    writer_ = std::thread([this, intervalMs] { ExportLoop(intervalMs); });
}

void Figures::ExportLoop(int intervalMs) {
    for (;;) {
        Export();
        twLock lock(mu_);
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(intervalMs);
        while (!stop_ && wake_.WaitUntil(mu_, until)) {
        }
        if (stop_) break;
    }
    Export();
}

void Figures::StopExport() {
    if (!writer_.joinable()) return;
    {
        twLock lock(mu_);
        stop_ = true;
    }
    wake_.NotifyAll();
    writer_.join();
}

}  // namespace milter
