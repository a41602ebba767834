// Tarnwick-AV: the anti-virus filter's own parts (settings, request queue,
// engine information, verdict and virus notification).
#ifndef TARNWICK_AV_AV_H
#define TARNWICK_AV_AV_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "av/settings.h"
#include "common/engine/engine.h"
#include "common/host/host.h"
#include "common/host/request.h"
#include "common/stats/reportlist.h"
#include "common/stats/stats.h"

namespace ql {
class ServerMessage;
class ScanReport;
}  // namespace ql

extern const programDesc avProgram;

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
void sendScanRequest(const scanListItem& item);

// Verdict.  HandleScanResult claims the reply's pending entry and answers;
// the reader may instead claim at once (the request's deadline stops) and
// have the answer written later, in order, by its worker.
void HandleScanResult(ql::ServerMessage& message);
bool ClaimScanResult(const ql::ServerMessage& message, scanListItem& entry);
// `claimed`: the entry ClaimScanResult took, or null when it took none.
void AnswerScanResult(const ql::ServerMessage& message, const scanListItem* claimed);
// True when answering the reply runs the post-processing command or writes
// a notification (an infected message under such settings).
bool NeedsSlowWork(const ql::ServerMessage& message);
// A reply over the item bound: its request is answered with a FAILURE.
void RefuseScanReply(const replyTooLarge& reply);
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

// Statistics section "Viruses": the virus names counted.  The statistics
// object owns the program's instance and calls it under its lock.
class virusSection final : public statSection {
  public:
    const char* Name() const override { return "Viruses"; }
    // Counts every named virus of the report and its items.
    void Count(const ql::ScanReport& report);
    // Counts `count` more of one name.
    void Count(const char* name, int32_t count) { viruses_.Add(name, count); }
    const reportObject& List() const { return viruses_; }
    void Dump(FILE* out) override;
    void Load(const cfgfItem* dict) override;
    void Report(FILE* out, int32_t messages) override;
    void History(std::string& line) override;
    void Reset(bool listsOnly) override;

  private:
    reportObject viruses_;
};

#endif
