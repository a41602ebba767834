// What one answered message adds to the statistics: its scan time and the
// names of its envelope.
#include <cstring>
#include <mutex>
#include <string_view>

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

void statistics::UseSection(const statSection* program) {
    twLock lock(reportMutex);
    section = program;
}

void statistics::ClearLists() {
    twLock lock(reportMutex);
    sourceList.Clear();
    targetList.Clear();
}

void statistics::CountScanTime(const struct timespec& start) {
    const uint64_t ms = ScanTimeSince(start);
    twLock lock(reportMutex);
    scanFigures.Count(ms);
}

namespace {

constexpr const char* unknownSource = "Unknown";

// Counts into the lists; the caller holds the statistics lock.
class listCounter final : public envelopeNameSink {
  public:
    explicit listCounter(statistics& to) : to_(to) {}
    void Source(const char* text, size_t n) override REQUIRES(to_.reportMutex) {
        if (to_.doReportSources) count(to_.sourceList, text, n);
    }
    void Target(const char* text, size_t n) override REQUIRES(to_.reportMutex) {
        if (to_.doReportTargets) count(to_.targetList, text, n);
    }

  private:
    // A name ends at a zero byte inside it, as it would in the report.
    static void count(reportObject& list, const char* text, size_t n) {
        n = strnlen(text, n < maxCountedNameLength ? n : maxCountedNameLength);
        list.Add(std::string_view(text, n), 1);
    }
    statistics& to_;
};

}  // namespace

void statistics::CountEnvelope(const char* data, int64_t length) {
    twLock lock(reportMutex);
    CountEnvelopeLocked(data, length);
}

void statistics::CountEnvelopeLocked(const char* data, int64_t length) {
    listCounter counter(*this);
    const bool sourceSeen =
        length > 0 && ReadEnvelopeNames(data, static_cast<size_t>(length), counter);
    if (!sourceSeen && doReportSources) sourceList.Add(unknownSource, 1);
}
