// Tarnwick-AS verdict: rescales the engine's score to 0..100 and answers
// with the configured score header lines, a bar of "X" and, from the alert
// level on, the alert lines; then counts the score, sources, targets and the
// scan time.  Runs on the reader thread with one settings snapshot per call.
#include <cstdio>
#include <cstring>

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

// Writes value in decimal at `to`; returns the end.  `to` has room for 11.
char* putNumber(char* to, int32_t value) {
    char digits[12];
    char* p = digits + sizeof digits;
    uint32_t left = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
    do {
        *--p = static_cast<char>('0' + left % 10);
        left /= 10;
    } while (left != 0);
    if (value < 0) *--p = '-';
    const size_t n = static_cast<size_t>(digits + sizeof digits - p);
    memcpy(to, p, n);
    return to + n;
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
    const std::shared_ptr<const asSettings>& settings = AsSettings();
    int32_t score =
        static_cast<int32_t>(static_cast<uint64_t>(message.spam_report().score().score()));
    int value = RescaleScore(score);
    const std::string& header = ScoreHeader(settings, value);

    // The score, the envelope's names and the scan time under one hold of
    // the statistics lock, before the answer: once the server has every
    // answer it may send QUIT, and the final save must hold this message.
    stats.CountReply<scoreSection>(entry.start,
                                   std::string_view(entry.envelope.data(), entry.envLen),
                                   [value](scoreSection& scores) { scores.Counts().Count(value); });

    // "* original score=%d\n%d ADDHEADER \"%s\"\n" in one write, built
    // without a format string: the part in front of the header on the
    // stack, then everything copied once into a buffer kept per thread.
    static constexpr char scoreLabel[] = "* original score=";
    static constexpr char addHeader[] = " ADDHEADER \"";
    char front[sizeof scoreLabel + sizeof addHeader + 24];
    char* end = front;
    memcpy(end, scoreLabel, sizeof scoreLabel - 1);
    end = putNumber(end + sizeof scoreLabel - 1, score);
    *end++ = '\n';
    end = putNumber(end, entry.serial);
    memcpy(end, addHeader, sizeof addHeader - 1);
    end += sizeof addHeader - 1;
    const size_t frontLen = static_cast<size_t>(end - front);
    thread_local std::string answer;
    answer.resize(frontLen + header.size() + 2);
    char* out = answer.data();
    memcpy(out, front, frontLen);
    memcpy(out + frontLen, header.data(), header.size());
    memcpy(out + frontLen + header.size(), "\"\n", 2);
    PrintRaw(answer.data(), answer.size());
}
