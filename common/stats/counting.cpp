// What one answered message adds to the statistics: its scan time and the
// names of its envelope.
#include <cstring>
#include <mutex>
#include <string_view>
#include <utility>

#include "common/envelope/envelope.h"
#include "common/stats/stats.h"

statistics stats;

void scanCounters::Count(uint64_t ms) {
    ++f_.messages;
    if (f_.timeMin == 0 || f_.timeMin > ms) f_.timeMin = ms;
    if (f_.timeMax == 0 || f_.timeMax < ms) f_.timeMax = ms;
    f_.timeTotal += ms;
}

scanCounters::figures scanCounters::TakeAndReset() {
    figures taken = f_;
    f_ = figures();
    return taken;
}

void scanCounters::Load(const figures& from) {
    f_ = from;
    if (f_.messages < 0) f_.messages = 0;
    if (f_.timeMin == 0 || f_.timeMax == 0 || f_.timeTotal == 0 || f_.messages == 0)
        f_.timeMin = f_.timeMax = f_.timeTotal = 0;
}

uint64_t ScanTimeSince(const struct timespec& start) {
    struct timespec now;
    timespec_get(&now, TIME_UTC);
    int64_t seconds = static_cast<int64_t>(now.tv_sec) - start.tv_sec;
    int64_t nanos = static_cast<int64_t>(now.tv_nsec) - start.tv_nsec;
    if (nanos < 0) {
        seconds -= 1;
        nanos += 1000000000;
    }
    int64_t ms = seconds * 1000 + nanos / 1000000;
    // The wall clock may step back; a negative scan time means nothing.
    return ms > 0 ? static_cast<uint64_t>(ms) : 0;
}

void statistics::UseSection(std::unique_ptr<statSection> program) {
    twLock lock(mutex_);
    section_ = std::move(program);
}

void statistics::ClearLists() {
    twLock lock(mutex_);
    sourceList_.Clear();
    targetList_.Clear();
}

void statistics::CountReply(const struct timespec& start, std::string_view envelope) {
    const uint64_t ms = ScanTimeSince(start);
    twLock lock(mutex_);
    countLocked(envelope, ms);
}

void statistics::countLocked(std::string_view envelope, uint64_t ms) {
    if (!envelope.empty())
        countEnvelopeLocked(envelope.data(), static_cast<int64_t>(envelope.size()));
    scanFigures_.Count(ms);
}

namespace {

constexpr const char* unknownSource = "Unknown";

// Counts into the lists whose switches it is given; the caller holds the
// statistics lock.
class listCounter final : public envelopeNameSink {
  public:
    listCounter(reportObject* sources, reportObject* targets)
        : sources_(sources), targets_(targets) {}
    void Source(const char* text, size_t n) override {
        if (sources_) count(*sources_, text, n);
    }
    void Target(const char* text, size_t n) override {
        if (targets_) count(*targets_, text, n);
    }

  private:
    // A name ends at a zero byte inside it, as it would in the report.
    static void count(reportObject& list, const char* text, size_t n) {
        n = strnlen(text, n < maxCountedNameLength ? n : maxCountedNameLength);
        list.Add(std::string_view(text, n), 1);
    }
    reportObject* sources_;
    reportObject* targets_;
};

}  // namespace

void statistics::CountEnvelope(const char* data, int64_t length) {
    twLock lock(mutex_);
    countEnvelopeLocked(data, length);
}

void statistics::countEnvelopeLocked(const char* data, int64_t length) {
    listCounter counter(doReportSources_ ? &sourceList_ : nullptr,
                        doReportTargets_ ? &targetList_ : nullptr);
    const bool sourceSeen =
        length > 0 && ReadEnvelopeNames(data, static_cast<size_t>(length), counter);
    if (!sourceSeen && doReportSources_) sourceList_.Add(unknownSource, 1);
}
