// What makes the shared filter host Tarnwick-AS.
#include "as/as.h"

namespace {

void loadWhitelist() {
    whitelist.Initialize();
}

std::string socketPath() {
    return AsSettings()->socketPath;
}

programDesc describe() {
    programDesc p;
    p.identity = asIdentity;
    p.summary = "The anti-spam filter: has each message rated by the Quillon anti-spam engine.";
    p.ReadConfigFile = ReadAsSettings;
    p.AfterListsCleared = loadWhitelist;
    p.readerThreadProc = RunRatingReader;
    p.EnqueueFile = EnqueueRating;
    p.ResendPending = ResendRatings;
    p.SendHeld = resendRating;
    p.EngineSocketPath = socketPath;
    p.MakeStatSection = []() -> std::unique_ptr<statSection> {
        return std::make_unique<scoreSection>();
    };
    return p;
}

}  // namespace

const programDesc asProgram = describe();
