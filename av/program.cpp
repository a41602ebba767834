// What makes the shared filter host Tarnwick-AV.
#include "av/av.h"

const programDesc avProgram = {
    "Tarnwick-AV",        // name
    "Tarnwick-AV.cfg",    // configFileName
    "statistics-av.dat",  // statFileName
    "Antivirus",          // productName
    "AV",                 // mailTag
    "Virus",              // listTitle
    false,                // readErrorTwoBlanks
    true,                 // hasVirusList
    ReadConfigFile,
    nullptr,  // AfterListsCleared
    readerThreadProc,
    EnqueueFile,
    sendInfoRequest,
    ResendPending,
    "Viruses",
    DumpVirusSection,
    LoadVirusSection,
    ReportVirusSection,
};
