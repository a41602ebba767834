// The fixed texts of Tarnwick-AV: constant-initialised, so every other
// static of the program (and a tool that reads its settings) may use them.
#include "av/settings.h"

const processIdentity avIdentity = {
    "Tarnwick-AV",
    "Tarnwick-AV.cfg",
    "statistics-av.dat",
    "history-av.dat",
    "Antivirus",
    "AV",
    "Virus",
    "* Error: Cannot get data from ScanEngine: %s\n",
};
