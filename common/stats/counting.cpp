// What one answered message adds to the statistics: its scan time and the
// names of its envelope.
#include <cstring>
#include <mutex>

#include "common/envelope/envelope.h"
#include "common/stats/stats.h"

scanCounters scanFigures;
bool doReportSources = true;
bool doReportTargets = true;

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

void CountScanTime(const struct timespec& start) {
    const uint64_t ms = ScanTimeSince(start);
    twLock lock(reportMutex);
    scanFigures.Count(ms);
}

namespace {

constexpr const char* unknownSource = "Unknown";

// Counts into the lists; the caller holds reportMutex.
class listCounter final : public envelopeNameSink {
  public:
    void Source(const char* text, size_t n) override REQUIRES(reportMutex) {
        if (doReportSources) count(reportSourceList, text, n);
    }
    void Target(const char* text, size_t n) override REQUIRES(reportMutex) {
        if (doReportTargets) count(reportTargetList, text, n);
    }

  private:
    static void count(reportObject& list, const char* text, size_t n) REQUIRES(reportMutex) {
        char name[maxCountedNameLength + 1];  // on the stack: this runs for every answered message
        n = n < maxCountedNameLength ? n : maxCountedNameLength;
        memcpy(name, text, n);
        name[n] = '\0';
        ReportAddItemLocked(list, name, 1);
    }
};

}  // namespace

void ParseEnvelope(const char* data, int64_t length) {
    twLock lock(reportMutex);
    ParseEnvelopeLocked(data, length);
}

void ParseEnvelopeLocked(const char* data, int64_t length) {
    listCounter counter;
    const bool sourceSeen =
        length > 0 && ReadEnvelopeNames(data, static_cast<size_t>(length), counter);
    if (!sourceSeen && doReportSources) ReportAddItemLocked(reportSourceList, unknownSource, 1);
}
