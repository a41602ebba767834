// Tarnwick-AV: the anti-virus filter's own parts (settings, request queue,
// engine information, verdict and virus notification).
#ifndef TARNWICK_AV_AV_H
#define TARNWICK_AV_AV_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "common/config/settings.h"
#include "common/host/host.h"
#include "common/stats/reportlist.h"

namespace ql {
class ServerMessage;
class ScanReport;
}  // namespace ql

struct avSettings : commonSettings {
    int opMode = 0;  // 0 Reject, 1 Discard, 2 AddHeader
    std::string postProcessStr;
    bool doPostProcess = false;
    bool doNotifyRecipeints = true;
    std::string addHeaderStr;
    // NotificationMessage: the texts around the virus name in an answer.
    struct {
        std::string caption, summary, footer;
    } notification;
    // NotifyRecipientsOptions: the notification mail.
    struct {
        std::string from, subject, extraHeaders;
        std::vector<std::string> description;  // the String elements, in order
        std::string senderInfo, headerTitle;
    } notify;
};

extern const programDesc avProgram;
// Its fixed texts (also for tarnwick-check, which has no programDesc of it).
extern const processIdentity avIdentity;

std::shared_ptr<const avSettings> AvSettings();

// Settings.
void ReadAvSettings();
// NotificationMessage and NotifyRecipientsOptions of a settings tree.
void ReadNotificationSettings(const cfgfItem* conf, avSettings& next);
void CheckConfigSubset(const cfgfItem* dict, const char* name, const char* const* required,
                       const char* const* allowed, cfgfItemType wanted);

// Request queue and reader thread.
void EnqueueScan(const char* token, const char* path);
// Measures the envelope of the message file and copies the rest to a new
// file of its own in Temp; scanPath stays empty when no copy was made.
// False (errno errNotRegular) when the path names no regular file.
bool prepareFile(const char* path, std::string& scanPath, const char* token, uint64_t& envLen,
                 std::string& envelope);
void RunScanReader();
// Removes the Temp copy of a request answered without its reply.
void RemoveScanCopy(const scanListItem& item);
void ResendScans();

// Verdict.
void HandleScanResult(ql::ServerMessage& message);
void GetFirstVirusName(std::string& first, int& count, const ql::ScanReport& report);

// Engine information.
void sendInfoRequest();
void handleInfoReply(ql::ServerMessage& message);

// Virus notification (reader thread, inside the verdict).  The addresses
// come from `envelope`, the envelope bytes read when the request was
// prepared; only the header block is read from the message file.
void NotifyRecipientsProc(const avSettings& settings, const std::string& msgPath,
                          std::string_view envelope, const std::string& virusText,
                          const std::string& summary);

// Statistics section "Viruses": the virus names counted, guarded by
// reportMutex.
extern reportObject reportVirusesList;
void ClearVirusList();
void DumpVirusSection(FILE* out);
void LoadVirusSection(const cfgfItem* dict);
void ReportVirusSection(FILE* out, int32_t messages);
void HistoryVirusSection(std::string& line);
void ResetVirusSection(bool listsOnly);

#endif
