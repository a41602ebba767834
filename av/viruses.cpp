// The anti-virus program's own statistics section: the virus names counted,
// saved as "Viruses" in the statistics file and shown as the virus table of
// the daily report.
//
// Inputs: the verdict's scan reports and, at start-up, the "Viruses"
// dictionary of a statistics file of today.  Every hook runs under the
// statistics lock (common/stats/stats.h), which the section does not take.
#include "av/av.h"
#include "common/stats/stats.h"
#include "quillon_se_api.pb.h"

void virusSection::Count(const ql::ScanReport& report) {
    for (const ql::Virus& virus : report.virus())
        if (virus.has_name()) viruses_.Add(virus.name().c_str(), 1);
    for (const ql::ScanReport& child : report.item()) Count(child);
}

void virusSection::Dump(FILE* out) {
    viruses_.Dump(out, "Viruses");
}

void virusSection::Load(const cfgfItem* dict) {
    viruses_.Load(dict);
}

void virusSection::History(std::string& line) {
    line += " infected=" + std::to_string(viruses_.nTotal);
}

void virusSection::Report(FILE* out, int32_t messages) {
    viruses_.SortForReport();
    fputs("The number of viruses caught:\n", out);
    fputs("      #       %  Virus Name\n", out);
    fputs("-----------------------\n", out);
    viruses_.PrintItems(out, viruses_.nItems);
    fputs("-----------------------\n", out);
    fprintf(out, "%7d virus(es) caught\n", viruses_.nTotal);
    fprintf(out, "%7d message(s) scanned\n", messages);
    fputs("\n", out);
}

void virusSection::Reset(bool) {
    viruses_.Clear();
}
