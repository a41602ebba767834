// The anti-spam program's own statistics section: how many messages got
// each rescaled score 0..100, saved as "Scores" in the statistics file and
// shown as a histogram over the BarScoreRanges of the settings in force.
//
// The program's section is owned by the statistics object, which runs its
// hooks under its lock and lets the reply count its score in the same hold
// as the envelope's names and the scan time.  Range ends come from the
// settings and are not trusted to stay inside 0..100: only scores that
// exist are summed.
#include <algorithm>

#include "as/as.h"
#include "common/base/log.h"
#include "common/base/text.h"
#include "common/stats/stats.h"

// Sum of the counters from `first` up to `last`, both clipped to the
// scores that exist; 0 for an empty or out-of-range span.
int64_t scoreCounters::rangeSum(int64_t first, int64_t last) const {
    first = std::max<int64_t>(first, 0);
    last = std::min<int64_t>(last, maxScore);
    int64_t sum = 0;
    for (int64_t i = first; i <= last; ++i) sum += n_[i];
    return sum;
}

void scoreCounters::Dump(FILE* out) const {
    fputs("Scores={\n", out);
    for (int i = 0; i <= maxScore; ++i)
        if (n_[i] != 0) fprintf(out, "\"%d\"=%d;\n", i, n_[i]);
    fputs("};\n", out);
}

void scoreCounters::Load(const cfgfItem* dict) {
    if (!dict || dict->type != cfgfDictionary) return;
    const size_t n = std::min(dict->keys.size(), dict->values.size());
    for (size_t i = 0; i < n; ++i) {
        if (dict->values[i].type != cfgfString) continue;
        int32_t score = xAtoi(dict->keys[i].c_str());
        if (score < 0 || score > maxScore) continue;
        int32_t count = xAtoi(dict->values[i].data.c_str());
        n_[score] = count < 0 ? 0 : count;
    }
}

void scoreCounters::Report(FILE* out, const asSettings& s, int32_t messages) {
    const int nRanges = std::clamp<int>(s.nScoreRanges, 0, 20);

    fputs("Spam Scores:\n\n", out);
    fputs("Range   Messages\n", out);
    int64_t first = 0;
    for (int k = 0; k < nRanges; ++k) {
        const int64_t end = s.scoreRange[k];
        const int sum = static_cast<int>(std::min<int64_t>(
            first <= end && first <= maxScore ? rangeSum(first, end) : 0, INT32_MAX));
        if (k == 0) {
            if (end == 0)
                fprintf(out, "  %3d %10d\n", 0, sum);
            else
                fprintf(out, " 0-%5d %10d\n", static_cast<int>(end), sum);
        } else if (end == first) {
            fprintf(out, "  %3d %10d\n", static_cast<int>(end), sum);
        } else {
            fprintf(out, "%2d-%2d %10d\n", static_cast<int>(first), static_cast<int>(end), sum);
        }
        first = end + 1;
    }
    fputs("-----------------\n", out);
    fprintf(out, "      %10d messages rated\n\n", messages);
}

void scoreCounters::History(std::string& line) const {
    line += " scores=";
    bool first = true;
    for (int i = 0; i <= maxScore; ++i) {
        if (n_[i] == 0) continue;
        if (!first) line += ',';
        line += std::to_string(i) + ':' + std::to_string(n_[i]);
        first = false;
    }
}

void scoreSection::Report(FILE* out, int32_t messages) {
    counts_.Report(out, *AsSettings(), messages);
}
