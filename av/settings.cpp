// Settings of Tarnwick-AV: reads Tarnwick-AV.cfg from the program directory,
// checks its required and allowed keys, and publishes the result as a new
// snapshot (the reload itself lives in common/host/reload.cpp).
//
// A reading starts from the snapshot in force, so a setting the file does not
// supply keeps its value.  A missing required key, an unknown key (at the top
// level or in NotificationMessage) or an inaccessible submission directory
// ends the process with code 1; everything else is reported and skipped.
#include <cstdio>
#include <string>
#include <vector>

#include "av/settings.h"
#include "common/base/log.h"
#include "common/base/text.h"
#include "common/config/filterkeys.h"

namespace {

const char* const confNotificationMessageItems[] = {"Caption", "Summary", "Footer", nullptr};

enum { modeReject = 0, modeDiscard = 1, modeAddHeader = 2 };

// Exits like a fatal start-up problem, but the text goes out whole under the
// console lock so it cannot tear an answer line of the reader thread.
void ConfigurationFailure(const std::string& text) {
    SettingsFatal(text);
}

std::string textOf(const cfgfItem* dict, const char* key) {
    const char* text = cfgfGetDictValueStr(dict, key);
    return text ? text : "";
}

void ReadMode(const cfgfItem* conf, avSettings& next) {
    // A Mode of another type is reported by the lookup and counts as absent.
    const cfgfItem* mode = cfgfGetDictValue(conf, "Mode", cfgfString);
    if (mode == nullptr) return;
    switch (mode->data.empty() ? '\0' : mode->data[0]) {
        case 'R':
            next.opMode = modeReject;
            break;
        case 'D':
            next.opMode = modeDiscard;
            break;
        case 'A':
            next.opMode = modeAddHeader;
            break;
        default:
            cfgfError(mode, "Mode can be either Reject, Discard or AddHeader");
            break;
    }
}

void ReadModeOptions(const cfgfItem* conf, avSettings& next) {
    if (next.opMode == modeAddHeader) {
        const cfgfItem* options =
            cfgfGetDictValue(conf, filterKeys::addHeaderOptions, cfgfDictionary);
        if (!ReadTextSetting(options, filterKeys::addHeaderOptionsHeader, next.addHeaderStr,
                             nullptr)) {
            if (options != nullptr)
                cfgfError(options, "missing Header= option");
            else
                cfgfFileError(cfgfFileName(conf), "missing Header= option");
        }
        return;
    }
    const char* section = next.opMode == modeReject ? "RejectOptions" : "DiscardOptions";
    const cfgfItem* options = cfgfGetDictValue(conf, section, cfgfDictionary);
    // Present, even as the empty text, it decides: only a Y means yes.
    if (const cfgfItem* notify = cfgfGetDictValue(options, "NotifyRecipients", cfgfString))
        next.doNotifyRecipeints = !notify->data.empty() && (notify->data[0] & ~32) == 'Y';
}

void readSocket(const cfgfItem* conf, avSettings& next) {
    ReadTextSetting(conf, filterKeys::socket, next.socketPath, "Missing Socket");
}

void readOnProblem(const cfgfItem* conf, avSettings&) {
    CheckOnProblem(conf, nullptr);
}

void readSubmittedDirectory(const cfgfItem* conf, avSettings& next) {
    ReadSubmittedDirectory(conf, next, "* FAILURE unable to access directory %s\n");
}

void readPostProcess(const cfgfItem* conf, avSettings& next) {
    // Found at all, even empty: emptying PostProcess is how it is switched off.
    if (const cfgfItem* post = cfgfGetDictValue(conf, "PostProcess", cfgfString)) {
        next.postProcessStr = post->data;
        next.doPostProcess = post->data.size() > 2;
    }
}

// The top-level keys of Tarnwick-AV.cfg, in the order they are read: whether
// the file must have the key, and what reads it (null: the row above reads
// it too).  The required keys are looked up in this order as well; any key
// not in the table ends the program.
struct avKey {
    const char* key;
    bool required;
    void (*read)(const cfgfItem* conf, avSettings& next);
};

const avKey avKeys[] = {
    {filterKeys::socket, true, readSocket},
    {"Mode", true, ReadMode},
    {"OnProblem", false, readOnProblem},
    {"SubmittedDirectory", true, readSubmittedDirectory},
    {"PostProcess", true, readPostProcess},
    {"RejectOptions", true, ReadModeOptions},  // the one of the Mode in force
    {"DiscardOptions", true, nullptr},
    {filterKeys::addHeaderOptions, true, nullptr},
    {"StatDumpInterval", false,
     [](const cfgfItem* conf, avSettings& next) { ReadStatDumpSettings(conf, next); }},
    {"StatDumpFile", false, nullptr},
    {"EngineOptions", false,
     [](const cfgfItem* conf, avSettings& next) { ReadEngineOptions(conf, next); }},
    {"NotificationMessage", true, ReadNotificationSettings},
    {"NotifyRecipientsOptions", true, nullptr},
    {"DailyReport", true,
     [](const cfgfItem* conf, avSettings& next) { ReadReportSections(conf, next); }},
    {"EventsReports", true, nullptr},
};

struct keyLists {
    std::vector<const char*> required, allowed;  // each ended by a null entry
};

const keyLists& mainKeyLists() {
    static const keyLists lists = [] {
        keyLists made;
        for (const avKey& row : avKeys) {
            if (row.required) made.required.push_back(row.key);
            made.allowed.push_back(row.key);
        }
        made.required.push_back(nullptr);
        made.allowed.push_back(nullptr);
        return made;
    }();
    return lists;
}

void CheckConfigContents(const cfgfItem* conf) {
    const keyLists& lists = mainKeyLists();
    CheckConfigSubset(conf, thisProcess->configFileName, lists.required.data(),
                      lists.allowed.data(), cfgfNone);
    const cfgfItem* message = cfgfGetDictValue(conf, "NotificationMessage", cfgfDictionary);
    // Only a settings check comes here without one; its absence is listed.
    if (message == nullptr && SettingsCheckOnly()) return;
    CheckConfigSubset(message, "NotificationMessage", confNotificationMessageItems,
                      confNotificationMessageItems, cfgfString);
}

}  // namespace

const std::shared_ptr<const avSettings>& AvSettings() {
    return ProgramSettings<avSettings>(avIdentity.statFileName);
}

void CheckConfigSubset(const cfgfItem* dict, const char* name, const char* const* required,
                       const char* const* allowed, cfgfItemType wanted) {
    // The first finding ends a program; a settings check goes on to list all.
    for (int missing = cfgfCheckPresenceFrom(dict, required, wanted, 0); missing >= 0;
         missing = cfgfCheckPresenceFrom(dict, required, wanted, missing + 1)) {
        ConfigurationFailure(std::string("Configuration error: ") + name + " is missing the " +
                             required[missing] + " item\n");
    }
    for (int unknown = cfgfCheckValidityFrom(dict, allowed, 0); unknown >= 0;
         unknown = cfgfCheckValidityFrom(dict, allowed, unknown + 1)) {
        const cfgfItem* value = cfgfGetDictNthValue(dict, unknown);
        ConfigurationFailure(std::string("Configuration error: unknown item ") +
                             cfgfGetDictNthKey(dict, unknown) + " in line " +
                             std::to_string(value->line) + "\n");
    }
}

void ReadNotificationSettings(const cfgfItem* conf, avSettings& next) {
    const cfgfItem* message = cfgfGetDictValue(conf, "NotificationMessage", cfgfDictionary);
    next.notification.caption = textOf(message, "Caption");
    next.notification.summary = textOf(message, "Summary");
    next.notification.footer = textOf(message, "Footer");

    const cfgfItem* opts = cfgfGetDictValue(conf, "NotifyRecipientsOptions", cfgfDictionary);
    auto& notify = next.notify;
    notify.notes = settingNotes();
    notify.from = SettingTextOf(opts, "From", notify.notes);
    notify.subject = SettingTextOf(opts, "Subject", notify.notes);
    notify.extraHeaders = SettingTextOf(opts, "ExtraHeaders", notify.notes);
    notify.description.clear();
    if (const cfgfItem* description = LookUpSetting(opts, "Description", cfgfArray, notify.notes)) {
        for (const cfgfItem& element : description->elements)
            if (element.type == cfgfString) notify.description.push_back(element.data);
    }
    notify.senderInfo = SettingTextOf(opts, "SenderInfo", notify.notes);
    notify.headerTitle = SettingTextOf(opts, "HeaderTitle", notify.notes);
}

void ReadAvSettings() {
    auto next = std::make_shared<avSettings>(*AvSettings());
    // The tree lives only while the snapshot is built.
    const std::shared_ptr<const cfgfItem> tree = ReadSettingsTree();
    const cfgfItem* conf = tree.get();
    next->fileName = cfgfFileName(conf);

    CheckConfigContents(conf);
    for (const avKey& row : avKeys)
        if (row.read != nullptr) row.read(conf, *next);

    PublishSettings(std::move(next));
}
