// Fuzz target: loading the statistics file at start-up (Tarnwick-AS, whose
// file has the score section besides the shared entries and lists).
//
// The input is written as the statistics file and loaded with the clock at a
// fixed time of 5 January 2026 (UTC), the day the seeds belong to.  A file
// that was taken up is then dumped and loaded again: the dump must read
// back as a file of the same day, with the same figures and scores and the
// same total in every list.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "as/as.h"
#include "common/base/log.h"
#include "common/base/text.h"
#include "common/engine/pending.h"
#include "common/stats/stats.h"
#include "fuzz_common.h"
#include "tests/unit/stats_peer.h"

namespace {

constexpr time_t fuzzNow = 1767614889;  // Mon, 5 Jan 2026 12:08:09 UTC

struct figures {
    int32_t messages;
    uint64_t tMin, tMax, tTotal;
    time_t restart, start;
    std::vector<int32_t> scores;
    int32_t sourceItems, targetItems;
    int64_t sourceSum, targetSum;
};

int64_t listSum(const reportObject& list) {
    int64_t sum = 0;
    for (int32_t i = 0; i < list.nItems; ++i) sum += list.items[i].count;
    return sum;
}

figures takeFigures() {
    figures f;
    f.restart = stats.period.restartTime;
    f.start = stats.period.prevReportTime;
    statisticsPeer::Locked([&f](const statisticsPeer::inside& in) {
        const scanCounters::figures& scans = in.scans.Peek();
        f.messages = scans.messages;
        f.tMin = scans.timeMin;
        f.tMax = scans.timeMax;
        f.tTotal = scans.timeTotal;
        scoreCounters& scores = dynamic_cast<scoreSection&>(*in.section).Counts();
        for (int i = 0; i <= scoreCounters::maxScore; ++i) f.scores.push_back(scores.At(i));
        f.sourceItems = in.sources.nItems;
        f.targetItems = in.targets.nItems;
        f.sourceSum = listSum(in.sources);
        f.targetSum = listSum(in.targets);
    });
    return f;
}

void resetStatistics() {
    stats.UseSection(asProgram.MakeStatSection());
    stats.ClearLists();
    statisticsPeer::Locked([](const statisticsPeer::inside& in) { in.scans.TakeAndReset(); });
    stats.period.restartTime = stats.period.prevReportTime = stats.period.prevDumpTime = 0;
}

std::string statPath() {
    return workPath + asProgram.identity.statFileName;
}

bool exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

std::string readFile(const std::string& path) {
    std::string text;
    if (FILE* f = fopen(path.c_str(), "rb")) {
        char block[4096];
        size_t n;
        while ((n = fread(block, 1, sizeof block, f)) > 0) text.append(block, n);
        fclose(f);
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::CaptureStdout();
    fuzz::UseUtc();
    thisProgram = &asProgram;
    thisProcess = &asProgram.identity;
    workPath = curDir = fuzz::ScratchDirectory();
    startupTime = fuzzNow - 60;
    doDebug = true;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::ResetStdout();
    resetStatistics();
    const std::string path = statPath();
    if (FILE* f = fopen(path.c_str(), "wb")) {
        if (size && fwrite(data, 1, size, f) != size) abort();
        fclose(f);
    } else {
        abort();
    }

    stats.ReadAt(fuzzNow);
    if (!exists(path)) return 0;  // refused and deleted, as it must be
    const figures loaded = takeFigures();

    stats.DumpAt(true, fuzzNow);
    const std::string dumped = readFile(path);
    FUZZ_CHECK(!dumped.empty(), "nothing dumped");
    resetStatistics();
    stats.ReadAt(fuzzNow);
    FUZZ_CHECK(exists(path), "the dump was refused on loading:\n%s", dumped.c_str());
    const figures again = takeFigures();
    unlink(path.c_str());

    FUZZ_CHECK(again.messages == loaded.messages && again.tMin == loaded.tMin &&
                   again.tMax == loaded.tMax && again.tTotal == loaded.tTotal,
               "figures changed over a dump:\n%s", dumped.c_str());
    FUZZ_CHECK(again.restart == loaded.restart && again.start == loaded.start,
               "restart %ld/%ld, start %ld/%ld over a dump", static_cast<long>(loaded.restart),
               static_cast<long>(again.restart), static_cast<long>(loaded.start),
               static_cast<long>(again.start));
    FUZZ_CHECK(again.scores == loaded.scores, "scores changed over a dump:\n%s", dumped.c_str());
    // Names that the list counts as one (same network) may merge further on
    // a second reading, so the totals are compared, not the items.
    FUZZ_CHECK(again.sourceItems <= loaded.sourceItems && again.targetItems <= loaded.targetItems,
               "lists grew over a dump");
    if (loaded.sourceSum < INT32_MAX)
        FUZZ_CHECK(again.sourceSum == loaded.sourceSum, "sources %ld, after a dump %ld:\n%s",
                   static_cast<long>(loaded.sourceSum), static_cast<long>(again.sourceSum),
                   dumped.c_str());
    if (loaded.targetSum < INT32_MAX)
        FUZZ_CHECK(again.targetSum == loaded.targetSum, "targets %ld, after a dump %ld:\n%s",
                   static_cast<long>(loaded.targetSum), static_cast<long>(again.targetSum),
                   dumped.c_str());
    return 0;
}
