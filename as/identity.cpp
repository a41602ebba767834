// The fixed texts of Tarnwick-AS: constant-initialised, so every other
// static of the program (and a tool that reads its settings) may use them.
#include "as/settings.h"

const processIdentity asIdentity = {
    "Tarnwick-AS",
    "Tarnwick-AS.cfg",
    "statistics-as.dat",
    "history-as.dat",
    "AntiSpam",
    "AS",
    "Spam",
    // This program's log line has always had two blanks after "Error:".
    "* Error:  Cannot get data from ScanEngine: %s\n",
};
