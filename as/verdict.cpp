// Tarnwick-AS verdict: rescales the engine's score to 0..100 and answers
// with the configured score header lines, a bar of "X" and, from the alert
// level on, the alert lines; then counts the score, sources, targets and the
// scan time.  Runs on the reader thread with one settings snapshot per call.
#include <charconv>
#include <cstdio>

#include "as/as.h"
#include "common/base/log.h"
#include "common/base/text.h"
#include "common/engine/pending.h"
#include "common/stats/reportlist.h"
#include "common/stats/stats.h"
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

namespace {

std::string composeHeader(const asSettings& settings, const char* scoreText, const std::string& bar,
                          bool alert) {
    std::string header = settings.pMainHeader;
    SubstStr(header, 1, scoreText);
    SubstStr(header, 2, bar.c_str());
    if (alert) {
        header += "\\e";
        header += settings.pAlertHeader;
    }
    return header;
}

// A score header depends only on the settings and the rescaled value, so
// each thread composes the 101 texts once per settings snapshot instead of
// once per message.  Holding the snapshot keeps its address from being
// reused by a later one.
struct headerTable {
    std::shared_ptr<const asSettings> from;
    std::string byValue[101];
    std::string whitelisted;
};

const headerTable& headersFor(const std::shared_ptr<const asSettings>& settings) {
    thread_local headerTable table;
    if (table.from != settings) {
        for (int value = 0; value <= 100; ++value) {
            char scoreText[16];
            snprintf(scoreText, sizeof scoreText, "%3d", value);
            table.byValue[value] = composeHeader(
                *settings, scoreText, ScoreBar(value, settings->scoreRange, settings->nScoreRanges),
                value >= settings->alertLevel);
        }
        table.whitelisted = composeHeader(*settings, "0", std::string(), false);
        table.from = settings;
    }
    return table;
}

void appendNumber(std::string& out, long long value) {
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, static_cast<size_t>(end - digits));
}

}  // namespace

const std::string& ScoreHeader(const std::shared_ptr<const asSettings>& settings, int value) {
    return headersFor(settings).byValue[value < 0 ? 0 : value > 100 ? 100 : value];
}

const std::string& WhitelistHeader(const std::shared_ptr<const asSettings>& settings) {
    return headersFor(settings).whitelisted;
}

void HandleSpamError(const ql::ServerMessage& message) {
    scanListItem entry;
    if (!ScanListTake(static_cast<int32_t>(message.serial()), &entry)) {
        LogUnmatchedReply(message.serial());
        return;
    }
    PrintMsg("%d FAILURE error=%s\n", entry.serial,
             ql::ErrorCode_Name(message.error().code()).c_str());
}

void HandleSpamReport(ql::ServerMessage& message) {
    thread_local scanListItem entry;  // keeps its buffers from reply to reply (see ScanListTake)
    if (!ScanListTake(static_cast<int32_t>(message.serial()), &entry)) {
        LogUnmatchedReply(message.serial());
        return;
    }
    const auto settings = AsSettings();
    int32_t score =
        static_cast<int32_t>(static_cast<uint64_t>(message.spam_report().score().score()));
    int value = RescaleScore(score);
    const std::string& header = ScoreHeader(settings, value);

    // "* original score=%d\n%d ADDHEADER \"%s\"\n" in one write, built
    // without a format string.
    thread_local std::string answer;
    answer.assign("* original score=");
    appendNumber(answer, score);
    answer += '\n';
    appendNumber(answer, entry.serial);
    answer.append(" ADDHEADER \"");
    answer.append(header);
    answer.append("\"\n");
    PrintRaw(answer.data(), answer.size());

    // The score, the envelope's names and the scan time under one hold of
    // the statistics lock.
    const uint64_t ms = ScanTimeSince(entry.start);
    twLock lock(stats.reportMutex);
    scoreStats.Count(value);
    if (entry.envLen != 0)
        stats.CountEnvelopeLocked(entry.envelope.data(), static_cast<int64_t>(entry.envLen));
    stats.scanFigures.Count(ms);
}
