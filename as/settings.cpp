// Settings of Tarnwick-AS: reads Tarnwick-AS.cfg from the program directory
// and publishes the result as a new snapshot (the reload itself lives in
// common/host/reload.cpp).
//
// Every setting has a built-in default; a missing or unusable one is reported
// and keeps the value in force, unknown keys are ignored.  Only an
// inaccessible submission directory ends the process.  The score-bar table
// is part of the snapshot, so a reply never sees half of an old table and
// half of a new one.
#include <string>

#include "as/settings.h"
#include "common/base/log.h"
#include "common/base/process.h"
#include "common/base/text.h"
#include "common/config/filterkeys.h"

namespace {

constexpr int maxScoreRanges = 20;

// One scalar setting: the text goes either to `text` or, read as a decimal
// number, to `number`.
struct scalarSetting {
    const char* key;
    const char* missingMsg;
    std::string asSettings::*text;
    int32_t asSettings::*number;
};

const scalarSetting scalarSettings[] = {
    {filterKeys::socket, "Missing Socket", &asSettings::socketPath, nullptr},
    {filterKeys::header, "Missing Header item", &asSettings::pMainHeader, nullptr},
    {"AlertLevel", "Missing AlertLevel item", nullptr, &asSettings::alertLevel},
    {filterKeys::alertHeader, "Missing AlertHeader item", &asSettings::pAlertHeader, nullptr},
};

void ReadScalarSettings(const cfgfItem* conf, asSettings& next) {
    for (const scalarSetting& setting : scalarSettings) {
        const char* text = SettingText(conf, setting.key);
        if (text == nullptr) {
            cfgfFileError(cfgfFileName(conf), "%s", setting.missingMsg);
        } else if (setting.text != nullptr) {
            next.*setting.text = text;
        } else {
            next.*setting.number = xAtoi(text);
        }
    }
}

void ReadBarScoreRanges(const cfgfItem* conf, asSettings& next) {
    const cfgfItem* ranges = cfgfGetDictValue(conf, "BarScoreRanges", cfgfArray);
    if (ranges == nullptr) {
        cfgfFileError(cfgfFileName(conf), "Missing BarScoreRanges item");
        return;
    }
    int stored = 0;
    for (int i = 0; stored < maxScoreRanges; i++) {
        const cfgfItem* element = cfgfGetArrayValue(ranges, i);
        if (element == nullptr) break;
        // A nested array or dictionary has no number in it: report it and
        // leave it out rather than let it shift the bounds.
        if (element->type != cfgfString) {
            cfgfError(element, "Error in BarScoreRanges");
            continue;
        }
        int32_t bound = xAtoi(element->data.c_str());
        next.scoreRange[stored] = bound;
        if (stored > 0 && next.scoreRange[stored - 1] >= bound)
            cfgfError(ranges, "Error in BarScoreRanges");
        stored++;
        next.nScoreRanges = stored;
    }
}

// Only the sections themselves are looked up here; what is inside them is
// reported when their mail is due.
void CheckReportSections(const asSettings& next) {
    next.daily.notes.Report({"DailyReport"});
    if (!next.daily.present) cfgfFileError(next.fileName, "Missing DailyReport={...};");
    next.events.notes.Report({"EventsReports"});
    if (!next.events.present) cfgfFileError(next.fileName, "Missing EventsReports={...};");
}

}  // namespace

const std::shared_ptr<const asSettings>& AsSettings() {
    return ProgramSettings<asSettings>(asIdentity.statFileName);
}

void ReadAsSettings() {
    auto next = std::make_shared<asSettings>(*AsSettings());
    // The tree lives only while the snapshot is built.
    const std::shared_ptr<const cfgfItem> tree = ReadSettingsTree();
    const cfgfItem* conf = tree.get();
    next->fileName = cfgfFileName(conf);

    ReadScalarSettings(conf, *next);
    ReadStatDumpSettings(conf, *next);
    ReadEngineOptions(conf, *next);
    CheckOnProblem(conf, "Missing OnProblem item");
    ReadBarScoreRanges(conf, *next);
    ReadSubmittedDirectory(conf, *next, "* FAILURE: unable to access directory %s\n");
    ReadReportSections(conf, *next);
    CheckReportSections(*next);

    PublishSettings(std::move(next));
}
