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

#include "common/config/settings.h"
#include "common/host/host.h"
#include "common/stats/reportlist.h"

namespace ql {
class ServerMessage;
}

struct asSettings : commonSettings {
    std::string pMainHeader = "X-Junk-Score: ^1 [^2]\\eX-Quillon-Score: ^1 [^2]";
    int32_t alertLevel = 100;
    std::string pAlertHeader = "X-Alert: possible spam!\\eX-Color: red";
    int32_t scoreRange[20] = {0, 39, 76, 84, 90, 99, 100};
    int32_t nScoreRanges = 7;
};

extern const programDesc asProgram;
// Its fixed texts (also for tarnwick-check, which has no programDesc of it).
extern const processIdentity asIdentity;

std::shared_ptr<const asSettings> AsSettings();

// Settings.
void ReadAsSettings();

// Sender whitelist, filled once before the reader thread starts.
class whitelist {
  public:
    void Initialize();  // reads whitelist_file_name from the working directory
    bool IsListed(const char* address) const;
    void Add(const std::string& pattern);  // applies the loading rules to one line
    size_t Size() const { return patterns_.size(); }

  private:
    std::vector<std::string> patterns_;
    std::vector<size_t> tailFrom_;  // per pattern: where the text after its last "*" begins
    // Patterns whose fixed tail (all of a pattern without "*") holds no "?"
    // are found through the tail: a sender can only match a pattern whose
    // tail it ends with.  byTail_ maps tailKey(tail) to their numbers;
    // tailLengths_[n] says whether some tail has n characters.  The others
    // (a tail with "?", or none) are in `general_`.  Numbers are in file order.
    std::unordered_map<uint64_t, std::vector<uint32_t>> byTail_;
    std::vector<bool> tailLengths_;
    std::vector<uint32_t> general_;
};
// The one instance; the object hides the class name, so the type is spelled
// "class whitelist" where it is needed.
extern class whitelist whitelist;
constexpr const char* whitelist_file_name = "whitelist.txt";
int wildcmp(const char* pattern, const char* text);

// Request path and reader thread.
void EnqueueRating(const char* token, const char* path);
void RunRatingReader();
void ResendRatings();

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
// The process's counters.
extern scoreCounters scoreStats GUARDED_BY(reportMutex);

// The statistics hooks over scoreStats.
void DumpScoreSection(FILE* out) REQUIRES(reportMutex);
void LoadScoreSection(const cfgfItem* dict) EXCLUDES(reportMutex);
void ReportScoreSection(FILE* out, int32_t messages) REQUIRES(reportMutex);
void HistoryScoreSection(std::string& line) REQUIRES(reportMutex);
void ResetScoreSection(bool listsOnly) REQUIRES(reportMutex);

#endif
