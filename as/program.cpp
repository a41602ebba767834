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
    p.identity.name = "Tarnwick-AS";
    p.identity.configFileName = "Tarnwick-AS.cfg";
    p.identity.statFileName = "statistics-as.dat";
    p.identity.productName = "AntiSpam";
    p.identity.mailTag = "AS";
    p.identity.listTitle = "Spam";
    // This program's log line has always had two blanks after "Error:".
    p.identity.readErrorFormat = "* Error:  Cannot get data from ScanEngine: %s\n";
    p.ReadConfigFile = ReadAsSettings;
    p.AfterListsCleared = loadWhitelist;
    p.readerThreadProc = RunRatingReader;
    p.EnqueueFile = EnqueueRating;
    p.ResendPending = ResendRatings;
    p.EngineSocketPath = socketPath;
    p.stats.name = "Scores";
    p.stats.Dump = DumpScoreSection;
    p.stats.Load = LoadScoreSection;
    p.stats.Report = ReportScoreSection;
    p.stats.Reset = ResetScoreSection;
    return p;
}

}  // namespace

const programDesc asProgram = describe();
