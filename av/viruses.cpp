// The anti-virus program's own statistics section: the virus names counted
// in reportVirusesList, saved as "Viruses" in the statistics file and shown
// as the virus table of the daily report.
//
// Inputs: the list (guarded by reportMutex) and, at start-up, the "Viruses"
// dictionary of a statistics file of today.  The dump and report hooks run
// with reportMutex held; the load hook runs without it.
#include "av/av.h"
#include "common/stats/stats.h"

reportObject reportVirusesList;

void ClearVirusList() {
    twLock lock(reportMutex);
    ReportClearList(reportVirusesList);
}

void DumpVirusSection(FILE* out) {
    DumpReportList(out, "Viruses", reportVirusesList);
}

void LoadVirusSection(const cfgfItem* dict) {
    LoadReportList(dict, reportVirusesList);
}

void HistoryVirusSection(std::string& line) {
    line += " infected=" + std::to_string(reportVirusesList.nTotal);
}

void ReportVirusSection(FILE* out, int32_t messages) {
    ReportSortList(reportVirusesList);
    fputs("The number of viruses caught:\n", out);
    fputs("      #       %  Virus Name\n", out);
    fputs("-----------------------\n", out);
    ReportPrintItems(out, reportVirusesList, reportVirusesList.nItems);
    fputs("-----------------------\n", out);
    fprintf(out, "%7d virus(es) caught\n", reportVirusesList.nTotal);
    fprintf(out, "%7d message(s) scanned\n", messages);
    fputs("\n", out);
}

void ResetVirusSection(bool) {
    ReportClearList(reportVirusesList);
}
