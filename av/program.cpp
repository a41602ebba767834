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
    p.readerThreadProc = RunScanReader;
    p.EnqueueFile = EnqueueScan;
    p.BeforeCommandLoop = sendInfoRequest;
    p.ResendPending = ResendScans;
    p.SendHeld = sendScanRequest;
    p.DiscardRequest = RemoveScanCopy;
    p.EngineSocketPath = socketPath;
    p.MakeStatSection = []() -> std::unique_ptr<statSection> {
        return std::make_unique<virusSection>();
    };
    return p;
}

}  // namespace

const programDesc avProgram = describe();
