// What makes the shared filter host Tarnwick-AV.
#include "av/av.h"

namespace {

std::string socketPath() {
    return AvSettings()->socketPath;
}

programDesc describe() {
    programDesc p;
    p.identity = avIdentity;
    p.summary = "The anti-virus filter: has each message scanned by the Quillon scan engine.";
    p.ReadConfigFile = ReadAvSettings;
    p.AfterListsCleared = ClearVirusList;
    p.readerThreadProc = RunScanReader;
    p.EnqueueFile = EnqueueScan;
    p.BeforeCommandLoop = sendInfoRequest;
    p.ResendPending = ResendScans;
    p.SendHeld = sendScanRequest;
    p.DiscardRequest = RemoveScanCopy;
    p.EngineSocketPath = socketPath;
    p.stats.name = "Viruses";
    p.stats.Dump = DumpVirusSection;
    p.stats.Load = LoadVirusSection;
    p.stats.Report = ReportVirusSection;
    p.stats.History = HistoryVirusSection;
    p.stats.Reset = ResetVirusSection;
    return p;
}

}  // namespace

const programDesc avProgram = describe();
