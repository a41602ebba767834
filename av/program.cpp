// What makes the shared filter host Tarnwick-AV.
#include "av/av.h"

namespace {

std::string socketPath() {
    return AvSettings()->socketPath;
}

programDesc describe() {
    programDesc p;
    p.identity.name = "Tarnwick-AV";
    p.identity.configFileName = "Tarnwick-AV.cfg";
    p.identity.statFileName = "statistics-av.dat";
    p.identity.productName = "Antivirus";
    p.identity.mailTag = "AV";
    p.identity.listTitle = "Virus";
    p.identity.readErrorFormat = "* Error: Cannot get data from ScanEngine: %s\n";
    p.ReadConfigFile = ReadAvSettings;
    p.AfterListsCleared = ClearVirusList;
    p.readerThreadProc = RunScanReader;
    p.EnqueueFile = EnqueueScan;
    p.BeforeCommandLoop = sendInfoRequest;
    p.ResendPending = ResendScans;
    p.DiscardRequest = RemoveScanCopy;
    p.EngineSocketPath = socketPath;
    p.stats.name = "Viruses";
    p.stats.Dump = DumpVirusSection;
    p.stats.Load = LoadVirusSection;
    p.stats.Report = ReportVirusSection;
    return p;
}

}  // namespace

const programDesc avProgram = describe();
