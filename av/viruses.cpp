// The anti-virus program's own statistics section: the virus names counted
// in reportVirusesList, saved as "Viruses" in the statistics file and shown
// as the virus table of the daily report.
//
// Inputs: the list (guarded by the statistics lock) and, at start-up, the
// "Viruses" dictionary of a statistics file of today.  The dump and report
// hooks run with the lock held; the load hook takes it.
#include "av/av.h"
#include "common/stats/stats.h"

reportObject reportVirusesList;

void ClearVirusList() {
    twLock lock(stats.reportMutex);
    reportVirusesList.Clear();
}

void DumpVirusSection(FILE* out) {
    reportVirusesList.Dump(out, "Viruses");
}

void LoadVirusSection(const cfgfItem* dict) {
    twLock lock(stats.reportMutex);
    reportVirusesList.Load(dict);
}

void HistoryVirusSection(std::string& line) {
    line += " infected=" + std::to_string(reportVirusesList.nTotal);
}

void ReportVirusSection(FILE* out, int32_t messages) {
    reportVirusesList.SortForReport();
    fputs("The number of viruses caught:\n", out);
    fputs("      #       %  Virus Name\n", out);
    fputs("-----------------------\n", out);
    reportVirusesList.PrintItems(out, reportVirusesList.nItems);
    fputs("-----------------------\n", out);
    fprintf(out, "%7d virus(es) caught\n", reportVirusesList.nTotal);
    fprintf(out, "%7d message(s) scanned\n", messages);
    fputs("\n", out);
}

void ResetVirusSection(bool) {
    reportVirusesList.Clear();
}
