// The host's own figures: messages by outcome and reason, the filters'
// answer times, their restarts and late answers, forged fields removed and
// the generated mail handed over, failed or set aside.  Written in the
// Prometheus text format to a file for node-exporter's textfile collector
// (the collector tarnwick-stats writes for too): a new file renamed into
// place every few seconds and at the stop, so a reader never sees half of
// one.  A file rather than an HTTP endpoint: the host listens on no socket
// but the MTA's, so there is none to secure, bind or firewall.
//
// Counting is a relaxed atomic increment from any thread; nothing is
// locked on the message path.  The writer thread alone holds mu_.
#ifndef TARNWICK_MILTER_FIGURES_H
#define TARNWICK_MILTER_FIGURES_H

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "common/base/threads.h"
#include "milter/settings.h"

namespace milter {

// How one message was answered, and why.  The pairs are fixed, so every
// series is written from the start, at zero.
enum class Counted {
    kAccepted,           // the filters let it on
    kAcceptedUnrated,    // let on, the anti-spam filter not asked (trusted sender)
    kAcceptedOnFailure,  // a filter failed and its --on-failure let it on
    kRefusedByFilter,    // a filter's refusal
    kRefusedForScore,    // --reject-score
    kRefusedOnFailure,   // --on-failure reject
    kRefusedForFields,   // too many forged fields to remove
    kDiscardedByFilter,
    kHeldForVirus,        // --on-virus hold
    kHeldForScore,        // --hold-score
    kDeferredOnFailure,   // --on-failure tempfail, or no answer in time
    kDeferredSpool,       // the queue file could not be written
    kDeferredShutdown,    // the host stopped while waiting
    kDeferredForFields,   // a field name that could not be counted
    kDeferredHoldFailed,  // the MTA did not take the hold
    kCount
};

enum class Generated { kSent, kFailed, kSetAside, kCount };

class Figures {
  public:
    // Upper bounds of the answer time buckets, in milliseconds.
    static constexpr std::array<int, 12> kBucketsMs{5,   10,   25,   50,   100,   250,
                                                    500, 1000, 2500, 5000, 10000, 30000};

    ~Figures() { StopExport(); }

    // The filters' names, in --filter order; before any counting.
    void SetFilters(const std::vector<std::string>& names) { names_ = names; }

    void Count(Counted what) { Add(messages_[static_cast<size_t>(what)]); }
    void Count(Generated what) { Add(generated_[static_cast<size_t>(what)]); }
    // An answer of filter `filter`, `ms` after the message was submitted.
    void Answered(size_t filter, long ms);
    void Restarted(size_t filter);
    void LateAnswer(size_t filter);
    void FieldsRemoved(int n) { forgedFields_.fetch_add(static_cast<uint64_t>(n), kRelaxed); }

    // The figures now, in the Prometheus text format.
    std::string Text() const;
    // Writes Text() to path through path.tmp and a rename; false with errno.
    bool WriteFile(const std::string& path) const;

    // A thread writing the file every intervalMs until StopExport(), which
    // writes it a last time.  A failed write is logged once until one
    // succeeds again.
    void StartExport(const std::string& path, int intervalMs);
    void StopExport() EXCLUDES(mu_);

  private:
    static constexpr std::memory_order kRelaxed = std::memory_order_relaxed;
    static void Add(std::atomic<uint64_t>& counter) { counter.fetch_add(1, kRelaxed); }
    void ExportLoop(int intervalMs) EXCLUDES(mu_);
    void Export();

    struct PerFilter {
        std::array<std::atomic<uint64_t>, kBucketsMs.size()> buckets{};  // not cumulative
        std::atomic<uint64_t> answers{0}, sumMs{0}, restarts{0}, late{0};
    };

    std::vector<std::string> names_;
    std::array<std::atomic<uint64_t>, static_cast<size_t>(Counted::kCount)> messages_{};
    std::array<std::atomic<uint64_t>, static_cast<size_t>(Generated::kCount)> generated_{};
    std::array<PerFilter, kMaxFilters> filters_{};
    std::atomic<uint64_t> forgedFields_{0};

    std::string path_;      // set before the thread starts
    bool failing_ = false;  // the writer thread's own
    std::thread writer_;
    twMutex mu_;
    twCondVar wake_;
    bool stop_ GUARDED_BY(mu_) = false;
};

// The host's figures, counted by every part of it.
Figures& HostFigures();

}  // namespace milter

#endif
