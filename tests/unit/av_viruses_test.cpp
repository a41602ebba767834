// The anti-virus statistics section: the "Viruses" dump entries and the
// virus table of the daily report.
#include <gtest/gtest.h>

#include <cstdlib>

#include "av/av.h"
#include "common/stats/stats.h"

namespace {

// Messages answered in the reported period, as the daily report hands it in.
int32_t reportedMessages = 0;

template <class Write>
std::string Capture(Write write) {
    char* data = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&data, &size);
    write(out);
    fclose(out);
    std::string text(data, size);
    free(data);
    return text;
}

TEST(VirusSection, DumpAndReportTable) {
    virusSection viruses;
    viruses.Count("Worm.B", 1);
    viruses.Count("EICAR \"q\"", 2);
    EXPECT_EQ(Capture([&](FILE* out) { viruses.Dump(out); }),
              "Viruses={\n\"EICAR \\\"q\\\"\"=2;\n\"Worm.B\"=1;\n};\n");

    reportedMessages = 7;
    EXPECT_EQ(Capture([&](FILE* out) { viruses.Report(out, reportedMessages); }),
              "The number of viruses caught:\n"
              "      #       %  Virus Name\n"
              "-----------------------\n"
              "      2  66.66%  EICAR \"q\"\n"
              "      1  33.33%  Worm.B\n"
              "-----------------------\n"
              "      3 virus(es) caught\n"
              "      7 message(s) scanned\n"
              "\n");
    // Kept until the report has been submitted, then emptied.
    EXPECT_EQ(viruses.List().nTotal, 3);
    viruses.Reset(true);
    EXPECT_EQ(viruses.List().nItems, 0);
    EXPECT_EQ(viruses.List().nTotal, 0);

    // An empty period still prints the frame of the table.
    reportedMessages = 0;
    EXPECT_EQ(Capture([&](FILE* out) { viruses.Report(out, reportedMessages); }),
              "The number of viruses caught:\n"
              "      #       %  Virus Name\n"
              "-----------------------\n"
              "-----------------------\n"
              "      0 virus(es) caught\n"
              "      0 message(s) scanned\n"
              "\n");
}

}  // namespace
