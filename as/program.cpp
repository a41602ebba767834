// What makes the shared filter host Tarnwick-AS.
#include "as/as.h"

namespace {
void loadWhitelist() {
    whitelist.Initialize();
}
}  // namespace

const programDesc asProgram = {
    "Tarnwick-AS",        // name
    "Tarnwick-AS.cfg",    // configFileName
    "statistics-as.dat",  // statFileName
    "AntiSpam",           // productName
    "AS",                 // mailTag
    "Spam",               // listTitle
    true,                 // readErrorTwoBlanks
    false,                // hasVirusList
    ReadConfigFile,
    loadWhitelist,
    readerThreadProc,
    EnqueueFile,
    nullptr,  // BeforeCommandLoop
    ResendPending,
    "Scores",
    DumpScoreSection,
    LoadScoreSection,
    ReportScoreSection,
};
