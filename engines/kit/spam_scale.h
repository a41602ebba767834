// The engine scale of a spam rating: an engine's own score judged against
// its own threshold, mapped onto -1000..1000, which Tarnwick-AS rescales to
// 0..100.  quillon-spamd (SpamAssassin's score and required_score) and
// quillon-rspamd (rspamd's score and its reject threshold) map alike, so
// the filter shows the same number for "as far from the threshold".
//
// Pure; any finite or infinite input gives a score within -1000..1000.
#ifndef TARNWICK_ENGINES_KIT_SPAM_SCALE_H
#define TARNWICK_ENGINES_KIT_SPAM_SCALE_H

#include <cstdint>

namespace engined {

// Where the threshold lands (shown as 90).
constexpr int64_t thresholdEngineScore = 100;

// With r = score / threshold, the threshold lands on 100 (shown as 90) and
// twice the threshold on 300 (shown as 100).
int64_t EngineScore(double score, double threshold);

}  // namespace engined

#endif
