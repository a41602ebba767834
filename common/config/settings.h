// Settings in force, and their reload.
//
// The main thread owns the settings: it reads them at start-up and replaces
// them when the reload marker "hup.sig" appears.  The reader thread reads
// them while answering.  Each reading builds a new immutable snapshot and
// publishes it; a reader takes a reference for the whole handler call, so
// what it reads stays valid and unchanged however long the call runs, and a
// reload never waits for a handler (a post-processing command may take long).
#ifndef TARNWICK_COMMON_CONFIG_SETTINGS_H
#define TARNWICK_COMMON_CONFIG_SETTINGS_H

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "common/config/cfgf.h"

// Type errors of report settings ("incorrect value type; ..."), found when
// the file is read but reported when the report looks the setting up, as
// often and in the order it does; a value of the wrong type counts as absent.
class settingNotes {
  public:
    // Keeps the type error of `value` (looked up under `key` as `wanted`).
    void Add(const char* key, const cfgfItem& value, cfgfItemType wanted);
    // Reports the notes of these keys, in the order given (any thread).
    void Report(std::initializer_list<const char*> keys) const;
    bool Empty() const { return notes_.empty(); }

  private:
    struct note {
        std::string key, file, text;
        int32_t line;
    };
    std::vector<note> notes_;
};

// DailyReport={...}.
struct dailyReportSettings {
    bool present = false;  // the dictionary is in the file
    bool enabled = true;
    bool reportSources = true;
    bool reportTargets = true;
    int32_t sourcesMax = 1000;
    int32_t targetsMax = 1000;
    std::string from, to, subject, extraHeaders;
    // Under "DailyReport" and the keys inside it.
    settingNotes notes;
};

// EventsReports={...}.
struct eventReportSettings {
    struct event {
        bool present = false;  // Started={...} or Stopped={...} is there
        bool enabled = true;
        std::string subject;
        settingNotes notes;  // under "Started" or "Stopped" and the keys inside
    };
    bool present = false;
    std::string from, to, extraHeaders;
    event started, stopped;
    settingNotes notes;  // under "EventsReports" and its From, To, ExtraHeaders
};

// Settings both programs read.  The report sections are read with the rest,
// so nothing looks into the file's tree once the snapshot is built.
struct commonSettings {
    virtual ~commonSettings() = default;

    std::string fileName;  // the settings file, for reports about it
    std::string socketPath;
    std::string submittedDirName = "Submitted";
    int32_t statDumpInterval = 10;
    int32_t engineTimeout = 120;   // EngineOptions/Timeout: seconds for a reply, 0 without limit
    std::string statDumpFileName;  // set from programDesc at start-up
    dailyReportSettings daily;
    eventReportSettings events;
};

// Any thread: the snapshot in force.  Before the first reading it is a
// snapshot of built-in defaults of the base type (never null).  Each thread
// keeps the last snapshot it took and goes to the lock only after a
// publication, so the per-request and per-reply look costs no lock.
// The result is that per-thread copy: a look through it takes no count on
// the snapshot (an atomic both threads would bounce between them for every
// message).  It changes only at this thread's own next call after a
// publication; whoever must keep one snapshot across such calls copies it.
const std::shared_ptr<const commonSettings>& CurrentSettings();
// Counts publications; a thread that remembers the count it last saw knows
// whether a snapshot it derived something from is still the one in force.
uint64_t SettingsGeneration();
// Main thread: makes `next` the snapshot in force; null goes back to the
// built-in defaults (tests).
void PublishSettings(std::shared_ptr<const commonSettings> next);

// The snapshot in force as a program's own settings type T, or T's built-in
// defaults (naming the program's statistics file) while none of that type
// is in force.  Cached per thread like CurrentSettings, and like it the
// result is the thread's copy: the type check runs once per publication,
// not once per call.
template <class T>
const std::shared_ptr<const T>& ProgramSettings(const char* statFileName) {
    static const std::shared_ptr<const T> defaults = [statFileName] {
        auto s = std::make_shared<T>();
        s->statDumpFileName = statFileName;
        return s;
    }();
    thread_local uint64_t seen = 0;
    thread_local std::shared_ptr<const T> cached;
    const uint64_t now = SettingsGeneration();
    if (now != seen || !cached) {
        cached = std::dynamic_pointer_cast<const T>(CurrentSettings());
        if (!cached) cached = defaults;
        seen = now;
    }
    return cached;
}

// A settings check (tarnwick-check) reads the settings like the programs,
// but a problem that would end a program is reported and counted
// (cfgfReportCount) and the reading goes on, so every problem is listed.
// Main thread, before any reading.
void SetSettingsCheckOnly(bool on);
bool SettingsCheckOnly();
// A problem that ends a program: `text` written whole, then exit code 1 (or,
// in a settings check, counted).
void SettingsFatal(const std::string& text);

// Shared steps of both settings readers.
// Reads workPath + configFileName (errors reported, not fatal).  A file
// that cannot be read gives an empty tree that still names it.
std::shared_ptr<const cfgfItem> ReadSettingsTree();
// Opens dirName as a directory listing; on failure logs `failureFmt` (which
// takes the directory) and exits with code 1.
void CheckSubmittedDirectory(const std::string& dirName, const char* failureFmt);
// Text of a String entry when present and non-empty, else null.
const char* SettingText(const cfgfItem* dict, const char* key);
// The entry `key` of `dict` when it has the type `wanted`; a value of
// another type counts as absent and its type error goes to `notes`, to be
// reported where the setting is used.
const cfgfItem* LookUpSetting(const cfgfItem* dict, const char* key, cfgfItemType wanted,
                              settingNotes& notes);
// The text of a String entry looked up so; empty when absent.
std::string SettingTextOf(const cfgfItem* dict, const char* key, settingNotes& notes);
// Settings read the same way by both programs.  Each reports its own
// "Missing ..." message through cfgfError (no line) when `missingMsg` is not
// null and keeps the value in force.
bool ReadTextSetting(const cfgfItem* dict, const char* key, std::string& out,
                     const char* missingMsg);
// OnProblem is validated only: I, E or Q.
void CheckOnProblem(const cfgfItem* dict, const char* missingMsg);
// StatDumpInterval, then StatDumpFile when the interval is not 0; fills in
// the program's default file name when none was ever set.
void ReadStatDumpSettings(const cfgfItem* dict, commonSettings& settings);
// DailyReport and EventsReports, as far as they are there.  Reports nothing:
// a missing section is reported when its mail is due, and so are type errors
// (kept in the sections' notes).
void ReadReportSections(const cfgfItem* dict, commonSettings& settings);
// EngineOptions = { Timeout = "N"; }: a whole number of seconds from 0 to
// 31536000; anything else is reported and the value in force stays.
void ReadEngineOptions(const cfgfItem* dict, commonSettings& settings);
// SubmittedDirectory, then CheckSubmittedDirectory on the directory in force.
void ReadSubmittedDirectory(const cfgfItem* dict, commonSettings& settings, const char* failureFmt);

#endif
