// Tarnwick-AS: the anti-spam filter's own parts (settings, request path,
// sender whitelist, verdict and score statistics).
#ifndef TARNWICK_AS_AS_H
#define TARNWICK_AS_AS_H

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "as/settings.h"
#include "common/engine/engine.h"
#include "common/host/host.h"
#include "common/host/request.h"
#include "common/stats/reportlist.h"
#include "common/stats/stats.h"

namespace ql {
class ServerMessage;
}

extern const programDesc asProgram;

// Request path and reader thread.
void EnqueueRating(const char* token, const char* path);
void RunRatingReader();
// A reply over the item bound: its request is answered with a FAILURE.
void RefuseRatingReply(const replyTooLarge& reply);
void ResendRatings();
// Sends a pending request (again), reading its message file anew.
void resendRating(const scanListItem& item);

// Verdict.
int RescaleScore(int64_t engineScore);
std::string ScoreBar(int value, const int32_t* ranges, int nRanges);
// The header text for a rescaled value (0..100), and the one a whitelisted
// sender gets, from the given snapshot's templates.  The reference stays
// valid until this thread asks for another snapshot's.
const std::string& ScoreHeader(const std::shared_ptr<const asSettings>& settings, int value);
const std::string& WhitelistHeader(const std::shared_ptr<const asSettings>& settings);
void HandleSpamReport(ql::ServerMessage& message);
// An error reply: "<n> FAILURE error=<ErrorCode name>" for its request.
void HandleSpamError(const ql::ServerMessage& message);

// How many messages got each rescaled score 0..100 in the period.
class scoreCounters {
  public:
    static constexpr int maxScore = 100;
    void Count(int value) { ++n_[value < 0 ? 0 : value > maxScore ? maxScore : value]; }
    int32_t At(int score) const { return n_[score]; }
    void Set(int score, int32_t count) { n_[score] = count; }
    // The "Scores" section of the statistics file.
    void Dump(FILE* out) const;
    // Sets the counters a statistics file names (negative counts as 0).
    void Load(const cfgfItem* dict);
    // The histogram over the settings' BarScoreRanges.
    void Report(FILE* out, const asSettings& settings, int32_t messages);
    // " scores=SCORE:COUNT,..." of the history line, every score that occurred.
    void History(std::string& line) const;
    void Reset() { std::fill(std::begin(n_), std::end(n_), 0); }

  private:
    int64_t rangeSum(int64_t first, int64_t last) const;
    int32_t n_[maxScore + 1] = {};
};
// Statistics section "Scores" over the counters.  The statistics object
// owns the program's instance and calls it under its lock.
class scoreSection final : public statSection {
  public:
    const char* Name() const override { return "Scores"; }
    scoreCounters& Counts() { return counts_; }
    void Dump(FILE* out) override { counts_.Dump(out); }
    void Load(const cfgfItem* dict) override { counts_.Load(dict); }
    // The histogram over the ranges of the settings in force.
    void Report(FILE* out, int32_t messages) override;
    void History(std::string& line) override { counts_.History(line); }
    void Reset(bool listsOnly) override {
        if (!listsOnly) counts_.Reset();
    }

  private:
    scoreCounters counts_;
};

#endif
