// Fuzz target: the queue-file envelope rules on any file head.
//
// The anti-virus length is compared with the line-by-line rule written out
// here, and a head read in pieces (as prepareFile grows its read) must give
// either "need more" or the length of the whole file.  The notification's
// addresses come from the envelope bytes only, its header block never runs
// past the first blank line nor past its bound.  The anti-spam length
// must match the blank-line search; the source and target counting and the
// envelope sender must stay inside their data and limits.  The
// notification's reading of the same bytes as a file must give what the
// line rule written out here gives.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/envelope/envelope.h"
#include "common/envelope/queuefile.h"
#include "common/stats/reportlist.h"
#include "common/stats/stats.h"
#include "fuzz_common.h"
#include "tests/unit/stats_peer.h"

namespace {

bool envelopeLine(const std::string& d, size_t pos) {
    return pos + 1 < d.size() && d[pos] >= 'A' && d[pos] <= 'Z' && d[pos + 1] == ' ';
}

bool lineEnd(char c) {
    return c == '\n' || c == '\r';
}

// The anti-virus rule, line by line, over a whole file.
int64_t referenceAV(const std::string& d) {
    if (d.empty()) return 0;
    if (lineEnd(d[0])) return d.size() > 1 && d[1] == '\n' ? 2 : 1;
    if (!envelopeLine(d, 0)) return 0;
    size_t pos = 0;
    for (;;) {
        const size_t lf = d.find('\n', pos);
        if (lf == std::string::npos || lf + 1 == d.size()) return static_cast<int64_t>(d.size());
        pos = lf + 1;
        if (lineEnd(d[pos]))
            return static_cast<int64_t>(pos + (pos + 1 < d.size() && d[pos + 1] == '\n' ? 2 : 1));
        if (!envelopeLine(d, pos)) return static_cast<int64_t>(pos);
    }
}

uint64_t referenceAS(const std::string& d) {
    if (!envelopeLine(d, 0)) return 0;
    size_t at = d.find("\n\n");
    if (at != std::string::npos) return at + 2;
    at = d.find("\r\n\r\n");
    if (at != std::string::npos) return at + 4;
    return 0;
}

// The notification's reading over a whole file: the addresses from the
// envelope lines (as the anti-virus rule measures the envelope), the header
// block up to its first blank line, LF or CR LF, in whole lines of at most
// maxNotificationHeader bytes together.
bool referenceNotification(const std::string& d, notificationParts& out) {
    const size_t env = static_cast<size_t>(referenceAV(d));
    bool haveSender = false;
    for (size_t pos = 0; pos < env;) {
        const size_t lf = d.find('\n', pos);
        const size_t end = std::min(lf == std::string::npos ? d.size() : lf + 1, env);
        const std::string line = d.substr(pos, end - pos);
        pos = end;
        const size_t open = line.find('<');
        const size_t close = open == std::string::npos ? open : line.find('>', open + 1);
        if (line.size() < 2 || line[1] != ' ' || close == std::string::npos) continue;
        const std::string address = line.substr(open + 1, close - open - 1);
        if (line[0] == 'P' && !haveSender) {
            out.sender = address;
            haveSender = true;
        } else if (line[0] == 'R') {
            out.recipients.push_back(address);
        }
    }
    if (out.recipients.empty()) return false;
    for (size_t pos = env; pos < d.size();) {
        if (d.compare(pos, 1, "\n") == 0 || d.compare(pos, 2, "\r\n") == 0) break;
        const size_t lf = d.find('\n', pos);
        const size_t end = lf == std::string::npos ? d.size() : lf + 1;
        if (end - env > maxNotificationHeader) break;
        out.headerLines += d.substr(pos, end - pos);
        pos = end;
    }
    return true;
}

int64_t listTotal(const reportObject& list) {
    int64_t sum = 0;
    for (int32_t i = 0; i < list.nItems; ++i) sum += list.items[i].count;
    return sum;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::CaptureStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::reader in(data, size);
    const size_t split = in.Short();
    const std::string file = in.Rest();
    // The data of the real callers is a heap copy of exactly this size.
    std::vector<char> copy(file.begin(), file.end());
    const char* bytes = copy.empty() ? "" : copy.data();

    const int64_t av = EnvelopeLengthAV(bytes, copy.size(), true);
    FUZZ_CHECK(av == referenceAV(file), "anti-virus length %ld, rule gives %ld",
               static_cast<long>(av), static_cast<long>(referenceAV(file)));
    const size_t part = copy.empty() ? 0 : split % (copy.size() + 1);
    const int64_t partial = EnvelopeLengthAV(bytes, part, part == copy.size());
    FUZZ_CHECK(partial == envelopeNeedMore || partial == av,
               "the first %zu bytes give %ld, the whole file %ld", part, static_cast<long>(partial),
               static_cast<long>(av));

    const uint64_t as = EnvelopeLengthAS(bytes, copy.size());
    FUZZ_CHECK(as == referenceAS(file), "anti-spam length %lu, rule gives %lu",
               static_cast<unsigned long>(as), static_cast<unsigned long>(referenceAS(file)));

    const std::string sender(EnvelopeSender(bytes, static_cast<size_t>(as)));
    FUZZ_CHECK(sender.size() <= maxSenderLength, "sender of %zu characters", sender.size());
    FUZZ_CHECK(sender.find_first_of(">\n") == std::string::npos, "sender holds '>' or a line feed");
    FUZZ_CHECK(sender.empty() || file.find("<" + sender) != std::string::npos,
               "sender not taken from the data");

    // Every source and recipient counts once, and "Unknown" stands in for a
    // missing source.
    stats.ClearLists();
    stats.CountEnvelope(bytes, av);

    {
        static const std::string path = fuzz::ScratchDirectory() + "/queued.msg";
        FILE* f = fopen(path.c_str(), "wb");
        if (!f) abort();
        fwrite(file.data(), 1, file.size(), f);
        fclose(f);
        notificationParts read, expected;
        const size_t av = static_cast<size_t>(EnvelopeLengthAV(bytes, copy.size(), true));
        const bool ok = ReadNotificationParts(path, std::string_view(bytes, av), read);
        FUZZ_CHECK(ok == referenceNotification(file, expected), "notification reading %s",
                   ok ? "succeeded" : "failed");
        if (ok) {
            FUZZ_CHECK(read.sender == expected.sender, "sender '%s'", read.sender.c_str());
            FUZZ_CHECK(read.recipients == expected.recipients, "%zu recipients",
                       read.recipients.size());
            FUZZ_CHECK(read.headerLines == expected.headerLines, "header block of %zu bytes",
                       read.headerLines.size());
            notificationParts fromBytes;
            FUZZ_CHECK(NotificationParts(bytes, copy.size(), fromBytes) &&
                           fromBytes.sender == read.sender &&
                           fromBytes.recipients == read.recipients &&
                           fromBytes.headerLines == read.headerLines,
                       "the bytes in memory read differently from the file");
            // What the notification copies: no longer, and nothing left to drop.
            const std::string copied = WithoutEnvelopeFields(read.headerLines);
            FUZZ_CHECK(
                copied.size() <= read.headerLines.size() && WithoutEnvelopeFields(copied) == copied,
                "header block of %zu bytes copied as %zu", read.headerLines.size(), copied.size());
        }
    }

    int64_t sources = 0, recipients = 0;
    for (size_t pos = 0; pos < static_cast<size_t>(av);) {
        const size_t lf = file.find('\n', pos);
        const size_t end =
            std::min<size_t>(lf == std::string::npos ? file.size() : lf, static_cast<size_t>(av));
        if (envelopeLine(file, pos) && pos + 2 <= end) {
            const std::string line = file.substr(pos, end - pos);
            if (line[0] == 'S') ++sources;
            const size_t open = line.find('<', 2);
            if (line[0] == 'R' && open != std::string::npos &&
                line.find('>', open + 1) != std::string::npos)
                ++recipients;
        }
        if (lf == std::string::npos) break;
        pos = lf + 1;
    }
    statisticsPeer::Locked([&](const statisticsPeer::inside& in) {
        FUZZ_CHECK(listTotal(in.sources) == (sources ? sources : 1),
                   "%ld sources counted, %ld lines", static_cast<long>(listTotal(in.sources)),
                   static_cast<long>(sources));
        FUZZ_CHECK(listTotal(in.targets) == recipients, "%ld targets counted, %ld lines",
                   static_cast<long>(listTotal(in.targets)), static_cast<long>(recipients));
        for (int32_t i = 0; i < in.targets.nItems; ++i)
            FUZZ_CHECK(strlen(in.targets.items[i].name) <= maxCountedNameLength,
                       "target name too long");
        for (int32_t i = 0; i < in.sources.nItems; ++i)
            FUZZ_CHECK(strlen(in.sources.items[i].name) <= maxCountedNameLength,
                       "source name too long");
    });
    return 0;
}
