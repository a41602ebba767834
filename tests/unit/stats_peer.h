// Tests' look inside the statistics object: its counted figures and its
// section, each look under the object's lock.
#ifndef TARNWICK_TESTS_UNIT_STATS_PEER_H
#define TARNWICK_TESTS_UNIT_STATS_PEER_H

#include "common/stats/stats.h"

class statisticsPeer {
  public:
    struct inside {
        reportObject& sources;
        reportObject& targets;
        scanCounters& scans;
        bool& reportSources;
        bool& reportTargets;
        statSection* section;
    };
    // Runs look(inside) with the lock held and returns what it returns.
    template <class Look>
    static auto Locked(Look look) {
        twLock lock(stats.mutex_);
        return look(inside{stats.sourceList_, stats.targetList_, stats.scanFigures_,
                           stats.doReportSources_, stats.doReportTargets_, stats.section_.get()});
    }
};

#endif
