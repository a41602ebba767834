// The engine scale of a spam rating.  See spam_scale.h for the contract.
#include "engines/kit/spam_scale.h"

#include <algorithm>
#include <cmath>

namespace engined {

// With r = x / t:
//
//   r <= -1      -> -1000             (filter shows 0)
//   -1 .. 0      -> -1000 .. -650     (0 .. 28)
//    0 .. 1      ->  -650 ..  100     (28 .. 90: the threshold lands on 90)
//    1 .. 2      ->   100 ..  300     (90 .. 100)
//   r >  2       ->   300 + 100 per t, at most 1000 (100: GTUBE scores 1000)
//
// A threshold of 0 or below has no scale of its own; 5, SpamAssassin's
// default, serves as the unit then and r = 1 + (x - t) / 5.
int64_t EngineScore(double score, double threshold) {
    const double unit = threshold > 0 ? threshold : 5.0;
    const double r = 1.0 + (score - threshold) / unit;
    double mapped;
    if (r <= -1) {
        mapped = -1000;
    } else if (r <= 0) {
        mapped = -650 - 350 * -r;
    } else if (r <= 1) {
        mapped = -650 + 750 * r;
    } else if (r <= 2) {
        mapped = 100 + 200 * (r - 1);
    } else {
        mapped = std::min(1000.0, 300 + 100 * (r - 2));
    }
    return static_cast<int64_t>(std::lround(mapped));
}

}  // namespace engined
