// The statistics of the current period: saved to the statistics file while
// running and at shutdown, taken up again at a start on the same day, and
// mailed as the daily report after midnight and at shutdown.
#ifndef TARNWICK_COMMON_STATS_STATS_H
#define TARNWICK_COMMON_STATS_STATS_H

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeinfo>

#include "common/base/text.h"
#include "common/base/threads.h"
#include "common/stats/reportlist.h"

struct cfgfItem;
struct commonSettings;

// A program's own section of the statistics file and the daily report
// ("Viruses" or "Scores") with the figures it counts.  The statistics object
// owns the program's section and calls every hook with its lock held; the
// program counts into it only through statistics::CountReply.  An instance
// of its own (a test's) needs no lock.
class statSection {
  public:
    virtual ~statSection() = default;
    // The section's key in the statistics file.
    virtual const char* Name() const = 0;
    virtual void Dump(FILE* out) = 0;
    // The section of a statistics file of today; null when it has none.
    virtual void Load(const cfgfItem* dict) = 0;
    // `messages`: the messages answered in the period being reported.
    virtual void Report(FILE* out, int32_t messages) = 0;
    // Appends the section's " key=value" fields to the period's history
    // line, before Reset starts afresh.
    virtual void History(std::string& line) = 0;
    // The period ended (the report was submitted): start afresh, only the
    // counted lists when listsOnly (a disabled report).
    virtual void Reset(bool listsOnly) = 0;
};

// Messages answered with a verdict and their scan times in milliseconds
// (0 in min and max: no value yet).  Not locked itself: the statistics
// object guards its instance with the counted lists, so a reply counts its
// names and its time under one hold of that lock.
class scanCounters {
  public:
    struct figures {
        int32_t messages = 0;
        uint64_t timeMin = 0, timeMax = 0, timeTotal = 0;
    };
    void Count(uint64_t ms);
    const figures& Peek() const { return f_; }
    // The figures so far, the counters starting afresh: a message answered
    // after this counts in the next period instead of being lost.
    figures TakeAndReset();
    // A statistics file's figures; half-known times give no average and
    // are dropped.
    void Load(const figures& from);

  private:
    figures f_;
};
// Milliseconds from start to now, as the report counts them (0 when the
// wall clock stepped back).
uint64_t ScanTimeSince(const struct timespec& start);

// Where the statistics period stands.
struct reportPeriod {
    time_t prevReportTime = 0;   // start of the period (the last report)
    time_t prevDumpTime = 0;     // the last statistics file written
    time_t restartTime = 0;      // when an earlier run of today ended, if known
    bool canMakeReport = false;  // an hour after midnight has passed since the last report
};

// The statistics of the running period: the answered messages, the counted
// sources and targets, the program's own section, the period, and the
// statistics file and daily report made from them.
//
// Threads: the reader thread counts replies (CountReply); everything else
// runs on the main thread.  One lock guards the counted figures and the
// section; `period` is the main thread's alone.  Lock order, for the whole
// process: the statistics lock before the settings lock (the score report
// looks up the settings in force); the pending-request lock and the engine
// link lock are taken alone; the console lock (mtx_print) is innermost and
// held only for one write.
class statistics {
  public:
    reportPeriod period;  // main thread only

    // Main thread, before the reader thread starts: the program's section
    // (empty), replacing any earlier one.
    void UseSection(std::unique_ptr<statSection> program) EXCLUDES(mutex_);
    // Empties the sources and targets (start-up).
    void ClearLists() EXCLUDES(mutex_);

    // Counts one answered message in one hold of the lock: its scan time
    // since `start`, the source ("Unknown" when none) and recipients of
    // `envelope` as the daily report's settings allow (nothing when it is
    // empty), and the program's own figures: `own` is called with the
    // program's section when that is a Section.
    template <class Section, class Own>
    void CountReply(const struct timespec& start, std::string_view envelope, const Own& own)
        EXCLUDES(mutex_) {
        // A final class is matched by its type alone, which costs a
        // comparison where a dynamic_cast walks the class tree per reply.
        static_assert(std::is_final_v<Section>, "CountReply wants a final section class");
        const uint64_t ms = ScanTimeSince(start);
        twLock lock(mutex_);
        if (statSection* mine = section_.get(); mine && typeid(*mine) == typeid(Section))
            own(static_cast<Section&>(*mine));
        countLocked(envelope, ms);
    }
    // The same for a reply that adds nothing of the program's own.
    void CountReply(const struct timespec& start, std::string_view envelope) EXCLUDES(mutex_);
    // Counts the names of an envelope alone (see CountReply).
    void CountEnvelope(const char* data, int64_t length) EXCLUDES(mutex_);

    // The statistics file: written at most every StatDumpInterval seconds,
    // and always when final (shutdown); read at start-up.
    void Dump(bool final);
    void Read();
    // The daily report: made by the first check after local midnight, and
    // at shutdown when final.
    void DailyReport(bool final);
    // The same with the current time given, so tests can set the clock.
    void DumpAt(bool final, time_t now) EXCLUDES(mutex_);
    void ReadAt(time_t now) EXCLUDES(mutex_);
    void DailyReportAt(bool final, time_t now) EXCLUDES(mutex_);

  private:
    friend class statisticsPeer;  // tests look inside, under the lock

    void countEnvelopeLocked(const char* data, int64_t length) REQUIRES(mutex_);
    void countLocked(std::string_view envelope, uint64_t ms) REQUIRES(mutex_);
    // The period ends: its counted lists start afresh (listsOnly), or all
    // its figures do.
    void endPeriod(bool listsOnly) REQUIRES(mutex_);
    // Writes and submits the report; false when no whole message could be
    // submitted (then nothing has been reset).  `history` receives the
    // period's history line.
    bool writeReport(const commonSettings& settings, time_t now, bool final, std::string& history)
        REQUIRES(mutex_);

    twMutex mutex_;
    reportObject sourceList_ GUARDED_BY(mutex_);
    reportObject targetList_ GUARDED_BY(mutex_);
    scanCounters scanFigures_ GUARDED_BY(mutex_);
    // Whether sources and targets are counted: set by the daily report from
    // its settings.
    bool doReportSources_ GUARDED_BY(mutex_) = true;
    bool doReportTargets_ GUARDED_BY(mutex_) = true;
    std::unique_ptr<statSection> section_ GUARDED_BY(mutex_);
};
// The process's statistics.
extern statistics stats;

// The history file beside the statistics file of the settings in force.
std::string HistoryFilePath();

// Pieces shared with the programs' own statistics sections.

// A name as a quoted string of the configuration language: a backslash
// before every '"', '\\' and line feed, so that it reads back unchanged.
std::string StatQuote(const char* name);

#endif
