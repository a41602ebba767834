// Tarnwick-AS verdict: rescales the engine's score to 0..100 and answers
// with the configured score header lines, a bar of "X" and, from the alert
// level on, the alert lines; then counts the score, sources, targets and the
// scan time.  Runs on the reader thread with one settings snapshot per call.
#include <cstdio>

#include "as/as.h"
#include "common/engine/pending.h"
#include "common/envelope/envelope.h"
#include "common/host/log.h"
#include "common/stats/reportlist.h"
#include "quillon_ase_api.pb.h"

int RescaleScore(int64_t engineScore) {
    int64_t s = engineScore;
    if (s > 300) return 100;
    if (s > 100) return static_cast<int>(90 + (s - 100) / 20);
    // Below the engine's floor there is no histogram slot and no sensible
    // text: hold it at 0.
    if (s < -1000) return 0;
    return static_cast<int>(((s + 1000) * 90) / 1100);
}

std::string ScoreBar(int value, const int32_t* ranges, int nRanges) {
    if (nRanges <= 0 || value <= ranges[0]) return std::string();
    int length = nRanges;
    for (int i = 1; i < nRanges; ++i) {
        if (ranges[i] >= value) {
            length = i;
            break;
        }
    }
    return std::string(static_cast<size_t>(length), 'X');
}

void handleScanReply(ql::ServerMessage& message) {
    scanListItem entry;
    if (!ScanListTake(static_cast<int32_t>(message.serial()), &entry)) {
        LogUnmatchedReply(message.serial());
        return;
    }
    auto settings = AsSettings();
    int32_t score = static_cast<int32_t>(static_cast<uint64_t>(message.spam_report().score().score()));

    int value = RescaleScore(score);
    char scoreText[16];
    snprintf(scoreText, sizeof scoreText, "%3d", value);
    std::string header = settings->pMainHeader;
    SubstStr(header, 1, scoreText);
    std::string bar = ScoreBar(value, settings->scoreRange, settings->nScoreRanges);
    {
        std::lock_guard<std::mutex> lock(reportMutex);
        ++msgStat[value];
    }
    SubstStr(header, 2, bar.c_str());
    if (value >= settings->alertLevel) {
        header += "\\e";
        header += settings->pAlertHeader;
    }
    PrintMsg("* original score=%d\n%d ADDHEADER \"%s\"\n", score, entry.seq, header.c_str());

    if (entry.envLen != 0) ParseEnvelope(entry.envelope.data(), static_cast<int64_t>(entry.envLen));
    CountScanTime(entry.start);
}
