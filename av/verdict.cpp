// Tarnwick-AV verdict: turns one scan result into the answer line for its
// FILE request, runs the post-processing command, has the notification
// written, and counts virus names, sources, targets and the scan time.
//
// Runs on the reader thread.  It holds one settings snapshot for the whole
// call, so a reload meanwhile changes nothing under it.  The virus name
// comes from the engine: it is escaped for the server's quoted string, and
// reaches the post-processing command only as a positional parameter.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "av/av.h"
#include "common/base/log.h"
#include "common/base/shell.h"
#include "common/base/text.h"
#include "common/engine/pending.h"
#include "common/stats/reportlist.h"
#include "common/stats/stats.h"
#include "quillon_se_api.pb.h"

namespace {

constexpr size_t virusNameField = 80;  // at most 79 characters

// The server's quoted-string form: backslash before backslash and double
// quote, line breaks dropped; an escape pair that does not fit ends it.
std::string escapeVirusName(const std::string& name) {
    std::string out;
    for (char c : name) {
        if (c == '\r' || c == '\n') continue;
        size_t need = (c == '\\' || c == '"') ? 2 : 1;
        if (out.size() + need > virusNameField - 1) break;
        if (need == 2) out += '\\';
        out += c;
    }
    return out;
}

constexpr int postProcessLimitSeconds = 60;

// The virus name as the post-processing command receives it: as the engine
// reported it, line breaks dropped.
std::string plainVirusName(const std::string& name) {
    std::string out;
    for (char c : name)
        if (c != '\r' && c != '\n') out += c;
    return out;
}

}  // namespace

void GetFirstVirusName(std::string& first, int& count, const ql::ScanReport& report) {
    for (const ql::Virus& virus : report.virus()) {
        if (!virus.has_name()) continue;
        // The name is engine data: a zero byte would end it early in every
        // printf below and lose what follows it in the answer.
        if (first.empty())
            first = virus.name().substr(0, std::min(virus.name().find('\0'), virusNameField - 1));
        ++count;
    }
    for (const ql::ScanReport& child : report.item()) GetFirstVirusName(first, count, child);
}

bool ClaimScanResult(const ql::ServerMessage& message, scanListItem& entry) {
    if (!message.has_serial() || !ScanListTake(static_cast<int32_t>(message.serial()), &entry))
        return false;
    if (entry.envLen != 0 && !entry.scanPath.empty()) unlink(entry.scanPath.c_str());
    return true;
}

bool NeedsSlowWork(const ql::ServerMessage& message) {
    if (!message.has_scan_report() || message.scan_report().has_error()) return false;
    auto settings = AvSettings();
    if (!settings->doPostProcess && (settings->opMode == 2 || !settings->doNotifyRecipeints))
        return false;
    struct walk {
        static bool named(const ql::ScanReport& report) {
            for (const ql::Virus& virus : report.virus())
                if (virus.has_name()) return true;
            for (const ql::ScanReport& child : report.item())
                if (named(child)) return true;
            return false;
        }
    };
    return walk::named(message.scan_report());
}

void HandleScanResult(ql::ServerMessage& message) {
    thread_local scanListItem entry;  // keeps its buffers from reply to reply (see ScanListTake)
    const bool claimed = ClaimScanResult(message, entry);
    AnswerScanResult(message, claimed ? &entry : nullptr);
}

void AnswerScanResult(const ql::ServerMessage& message, const scanListItem* claimed) {
    if (!message.has_serial()) {
        PrintMsg("* unvalid answer from the scanning engine\n");
        return;
    }
    if (claimed == nullptr) {
        LogUnmatchedReply(message.serial());
        return;
    }
    const scanListItem& entry = *claimed;

    // Answers name the request by its serial, the number of its token.
    if (!message.has_scan_report()) {
        PrintMsg("%d FAILURE no scan report returned\n", entry.serial);
        return;
    }
    const ql::ScanReport& report = message.scan_report();
    if (report.has_error()) {
        PrintMsg("%d FAILURE error=%s\n", entry.serial, ql::ScanError_Name(report.error()).c_str());
        return;
    }

    std::string firstName;
    int count = 0;
    GetFirstVirusName(firstName, count, report);
    // Counted before the answer goes out: once the server has every answer
    // it may send QUIT, and the final save must already hold this message.
    if (count == 0) {
        stats.CountReply(entry.start, {});
        PrintMsg("%d OK\n", entry.serial);
        return;
    }

    auto settings = AvSettings();
    std::string escapedName = escapeVirusName(firstName);
    std::string virusText = escapedName + "\\e";

    if (settings->doPostProcess) {
        const shellRun run = RunShellCommand(ShellMarkersToParameters(settings->postProcessStr),
                                             {entry.msgPath, plainVirusName(firstName)},
                                             postProcessLimitSeconds, "PostProcess");
        if (run.status != 0) {
            // The log shows the command as it reads with the values in place;
            // the shell itself only ever saw them as parameters.
            std::string shown = settings->postProcessStr;
            SubstStr(SubstStr(shown, 1, entry.msgPath.c_str()), 2, escapedName.c_str());
            PrintMsg("* Error while launching '%s', code=%d\n", EscapeControl(shown).c_str(),
                     run.status);
        }
    }

    // Counted last before the answer line, as the clean answer is.
    auto countReply = [&] {
        stats.CountReply<virusSection>(entry.start,
                                       std::string_view(entry.envelope.data(), entry.envLen),
                                       [&report](virusSection& viruses) { viruses.Count(report); });
    };
    if (settings->opMode == 2) {
        std::string header = settings->addHeaderStr;
        SubstStr(header, 1, escapedName.c_str());
        countReply();
        PrintMsg("%d ADDHEADER \"%s\"\n", entry.serial, header.c_str());
    } else {
        std::string summary = settings->notification.summary;
        SubstStr(summary, 1, std::to_string(count).c_str());
        if (settings->doNotifyRecipeints)
            NotifyRecipientsProc(*settings, entry.msgPath,
                                 std::string_view(entry.envelope.data(), entry.envLen), virusText,
                                 summary);
        countReply();
        if (settings->opMode == 0) {
            PrintMsg("%d ERROR \"%s%s%s%s\"\n", entry.serial,
                     settings->notification.caption.c_str(), virusText.c_str(), summary.c_str(),
                     settings->notification.footer.c_str());
        } else {
            PrintMsg("* (%d) %s\n%d DISCARD\n", entry.serial, virusText.c_str(), entry.serial);
        }
    }
}
