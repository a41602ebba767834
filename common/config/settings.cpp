// The settings snapshot in force, the steps both settings readers share, and
// (The reload that the marker file "hup.sig" triggers is the host's.)
//
// A snapshot is immutable once published; the tree it was read from is
// shared with it and freed when the last snapshot holding it goes.  The
// reader thread therefore never sees a freed text or a half-written table,
// and a reload never waits for it.  Reading and publishing happen on the
// main thread only.
#include "common/config/settings.h"

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "common/base/threads.h"

#include "common/base/log.h"
#include "common/base/owners.h"
#include "common/base/process.h"
#include "common/base/text.h"

namespace {

twMutex settingsMutex;
std::shared_ptr<const commonSettings> settingsInForce GUARDED_BY(settingsMutex);
// Written under settingsMutex, after settingsInForce; read without it.
std::atomic<uint64_t> settingsGeneration{1};

}  // namespace

uint64_t SettingsGeneration() {
    return settingsGeneration.load(std::memory_order_acquire);
}

const std::shared_ptr<const commonSettings>& CurrentSettings() {
    // The cached reference keeps its snapshot alive, so what a thread took
    // stays valid even while a reload replaces it.
    thread_local uint64_t seen = 0;
    thread_local std::shared_ptr<const commonSettings> cached;
    const uint64_t now = SettingsGeneration();
    if (now == seen && cached) return cached;
    twLock lock(settingsMutex);
    // Read under the lock: a publication after it makes a newer count, and
    // the next call looks again.
    seen = settingsGeneration.load(std::memory_order_relaxed);
    if (settingsInForce) {
        cached = settingsInForce;
    } else {
        auto defaults = std::make_shared<commonSettings>();
        defaults->statDumpFileName = thisProcess->statFileName;
        cached = std::move(defaults);
    }
    return cached;
}

void PublishSettings(std::shared_ptr<const commonSettings> next) {
    std::shared_ptr<const commonSettings> old;
    {
        twLock lock(settingsMutex);
        old = std::move(settingsInForce);
        settingsInForce = std::move(next);
        settingsGeneration.fetch_add(1, std::memory_order_release);
    }
    // `old` (and possibly its whole tree) is released here, outside the lock.
}

std::shared_ptr<const cfgfItem> ReadSettingsTree() {
    std::string path = workPath + thisProcess->configFileName;
    std::unique_ptr<cfgfItem> tree = cfgfReadConfigFile(path);
    if (!tree) tree = cfgfEmptyTree(path);
    return std::shared_ptr<const cfgfItem>(std::move(tree));
}

namespace {
bool checkOnly = false;  // main thread, set before any reading
}  // namespace

void SetSettingsCheckOnly(bool on) {
    checkOnly = on;
}

bool SettingsCheckOnly() {
    return checkOnly;
}

void SettingsFatal(const std::string& text) {
    PrintRaw(text);
    if (!checkOnly) xExit(1);
    cfgfCountReport();
}

void CheckSubmittedDirectory(const std::string& dirName, const char* failureFmt) {
    const UniqueDir dir(opendir(dirName.c_str()));
    if (!dir) {
        std::string text(dirName.size() + strlen(failureFmt) + 1, '\0');
        int n = snprintf(&text[0], text.size(), failureFmt, dirName.c_str());
        text.resize(n > 0 ? std::min(static_cast<size_t>(n), text.size() - 1) : 0);
        SettingsFatal(text);
    }
}

const char* SettingText(const cfgfItem* dict, const char* key) {
    const cfgfItem* value = cfgfGetDictValue(dict, key, cfgfString);
    if (value == nullptr || value->data.empty()) return nullptr;
    return value->data.c_str();
}

bool ReadTextSetting(const cfgfItem* dict, const char* key, std::string& out,
                     const char* missingMsg) {
    const char* text = SettingText(dict, key);
    if (text != nullptr) {
        out = text;
        return true;
    }
    if (missingMsg != nullptr) cfgfFileError(cfgfFileName(dict), "%s", missingMsg);
    return false;
}

void CheckOnProblem(const cfgfItem* dict, const char* missingMsg) {
    const cfgfItem* value = cfgfGetDictValue(dict, "OnProblem", cfgfString);
    if (value == nullptr || value->data.empty()) {
        if (missingMsg != nullptr) cfgfFileError(cfgfFileName(dict), "%s", missingMsg);
        return;
    }
    char first = value->data[0];
    if (first != 'I' && first != 'E' && first != 'Q')
        cfgfError(value, "OnProblem can be either Ignore,Exit or Quit");
}

void ReadStatDumpSettings(const cfgfItem* dict, commonSettings& settings) {
    if (settings.statDumpFileName.empty()) settings.statDumpFileName = thisProcess->statFileName;
    const char* interval = SettingText(dict, "StatDumpInterval");
    if (interval == nullptr) return;
    settings.statDumpInterval = xAtoi(interval);
    if (settings.statDumpInterval != 0)
        ReadTextSetting(dict, "StatDumpFile", settings.statDumpFileName, nullptr);
}

void ReadEngineOptions(const cfgfItem* dict, commonSettings& settings) {
    // Files written before the dictionary had keys may hold any value here;
    // only a dictionary is read.
    const cfgfItem* options = cfgfGetDictValue(dict, "EngineOptions", cfgfNone);
    if (options == nullptr || options->type != cfgfDictionary) return;
    const cfgfItem* timeout = cfgfGetDictValue(options, "Timeout", cfgfString);
    if (timeout == nullptr) return;
    // A year is far beyond any sensible wait and keeps the milliseconds in
    // range; a typing error must not silently mean "no limit".
    const std::string& text = timeout->data;
    int64_t seconds = 0;
    bool valid = !text.empty() && text.size() <= 9;
    for (char c : text) {
        if (c < '0' || c > '9') valid = false;
        if (valid) seconds = seconds * 10 + (c - '0');
    }
    if (!valid || seconds > 31536000) {
        cfgfError(timeout, "Timeout must be a number of seconds from 0 to 31536000");
        return;
    }
    settings.engineTimeout = static_cast<int32_t>(seconds);
}

namespace {

// "No" and friends: a text that starts with N or n.
bool switchedOff(const char* text) {
    return text && (text[0] == 'N' || text[0] == 'n');
}

const char* textIn(const cfgfItem* dict, const char* key, settingNotes& notes) {
    const cfgfItem* value = LookUpSetting(dict, key, cfgfString, notes);
    return value ? value->data.c_str() : nullptr;
}

int32_t listMax(const cfgfItem* dict, const char* key, settingNotes& notes) {
    constexpr int32_t defaultListMax = 1000;
    constexpr int32_t smallestListMax = 3;
    const char* text = textIn(dict, key, notes);
    int32_t value = text ? xAtoi(text) : defaultListMax;
    return value < smallestListMax ? smallestListMax : value;
}

void readEvent(const cfgfItem* events, const char* key, eventReportSettings::event& out) {
    out = eventReportSettings::event();
    // The event dictionary's own type error is the event's to report.
    const cfgfItem* event = LookUpSetting(events, key, cfgfDictionary, out.notes);
    out.present = event != nullptr;
    out.enabled = !switchedOff(textIn(event, "Enabled", out.notes));
    out.subject = SettingTextOf(event, "Subject", out.notes);
}

const char* typeName(int type) {
    return type >= cfgfString && type <= cfgfArray ? cfgfTypeStr[type - 1] : "None";
}

}  // namespace

// cfgfGetDictValue without its report: a type error goes to `notes`.
const cfgfItem* LookUpSetting(const cfgfItem* dict, const char* key, cfgfItemType wanted,
                              settingNotes& notes) {
    if (dict == nullptr || dict->type != cfgfDictionary) return nullptr;
    for (size_t i = std::min(dict->keys.size(), dict->values.size()); i-- > 0;) {
        if (dict->keys[i] != key) continue;
        const cfgfItem& value = dict->values[i];
        if (value.type == wanted) return &value;
        notes.Add(key, value, wanted);
        return nullptr;
    }
    return nullptr;
}

std::string SettingTextOf(const cfgfItem* dict, const char* key, settingNotes& notes) {
    const cfgfItem* value = LookUpSetting(dict, key, cfgfString, notes);
    return value ? value->data.c_str() : "";
}

void settingNotes::Add(const char* key, const cfgfItem& value, cfgfItemType wanted) {
    notes_.push_back(note{key, cfgfFileName(&value),
                          std::string("incorrect value type; expected ") + typeName(wanted) +
                              " got " + typeName(value.type),
                          value.line});
}

void settingNotes::Report(std::initializer_list<const char*> keys) const {
    for (const char* key : keys) {
        for (const note& n : notes_) {
            if (n.key != key) continue;
            cfgfItem where;
            where.file = std::make_shared<const std::string>(n.file);
            where.line = n.line;
            cfgfError(&where, "%s", n.text.c_str());
        }
    }
}

void ReadReportSections(const cfgfItem* dict, commonSettings& settings) {
    dailyReportSettings& d = settings.daily;
    d = dailyReportSettings();
    const cfgfItem* daily = LookUpSetting(dict, "DailyReport", cfgfDictionary, d.notes);
    d.present = daily != nullptr;
    d.enabled = !switchedOff(textIn(daily, "Enabled", d.notes));
    d.reportSources = !switchedOff(textIn(daily, "ReportSources", d.notes));
    d.reportTargets = !switchedOff(textIn(daily, "ReportTargets", d.notes));
    d.sourcesMax = listMax(daily, "ReportSourcesMax", d.notes);
    d.targetsMax = listMax(daily, "ReportTargetsMax", d.notes);
    d.from = SettingTextOf(daily, "From", d.notes);
    d.to = SettingTextOf(daily, "To", d.notes);
    d.subject = SettingTextOf(daily, "Subject", d.notes);
    d.extraHeaders = SettingTextOf(daily, "ExtraHeaders", d.notes);

    eventReportSettings& e = settings.events;
    e = eventReportSettings();
    const cfgfItem* events = LookUpSetting(dict, "EventsReports", cfgfDictionary, e.notes);
    e.present = events != nullptr;
    e.from = SettingTextOf(events, "From", e.notes);
    e.to = SettingTextOf(events, "To", e.notes);
    e.extraHeaders = SettingTextOf(events, "ExtraHeaders", e.notes);
    readEvent(events, "Started", e.started);
    readEvent(events, "Stopped", e.stopped);
}

void ReadSubmittedDirectory(const cfgfItem* dict, commonSettings& settings,
                            const char* failureFmt) {
    ReadTextSetting(dict, "SubmittedDirectory", settings.submittedDirName,
                    "Missing SubmittedDirectory");
    CheckSubmittedDirectory(settings.submittedDirName, failureFmt);
}
