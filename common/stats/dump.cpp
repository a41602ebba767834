// Statistics file: the figures of the current period saved while running and
// at shutdown, and taken up again by a start on the same day.
//
// Inputs: the statistics object's counters and lists, the program's own
// section hooks, and the file itself at start-up (read with the
// configuration reader; a broken or foreign-day file is deleted).  The file
// is written beside its final name and renamed over it, so a crash or a full
// disk never leaves a truncated file; a failed dump keeps everything in
// memory and is retried at the next request line.  Main thread only.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "common/base/log.h"
#include "common/base/owners.h"
#include "common/base/process.h"
#include "common/config/cfgf.h"
#include "common/config/settings.h"
#include "common/stats/stats.h"

namespace {

std::string errorText(int err) {
    char buf[256];
    return strerror_r(err, buf, sizeof buf);
}

std::string statFilePath(const commonSettings& settings) {
    if (settings.statDumpFileName.empty()) return workPath + thisProcess->statFileName;
    return workPath + settings.statDumpFileName;
}

// Decimal text the way the 32-bit reader takes it (blanks, sign, digits up
// to the first non-digit), but 64 bits wide: a time or a millisecond sum
// written by the dump must read back whole, also after 2038.
int64_t readWide(const char* text) {
    if (!text) return 0;
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = (*text++ == '-');
    int64_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        int digit = *text - '0';
        if (value > (INT64_MAX - digit) / 10) {
            value = INT64_MAX;
            continue;
        }
        value = value * 10 + digit;
    }
    return negative ? -value : value;
}

uint64_t readMillis(const char* text) {
    int64_t v = readWide(text);
    return v > 0 ? static_cast<uint64_t>(v) : 0;
}

// Owns the buffer of an open_memstream stream.
struct memText {
    char* data = nullptr;
    size_t size = 0;
    ~memText() { free(data); }
};

// Returns 0 or the error number of the step that failed; on failure the
// new file is removed and the old one is untouched (unless it had to be
// rewritten in place).
int replaceFile(const std::string& path, const char* data, size_t size) {
    const std::string next = path + ".new";
    // A stale ".new" (or a link planted there) is removed, never written
    // through: the new file is always one we created.
    const int staleErr = unlink(next.c_str()) != 0 && errno != ENOENT ? errno : 0;
    bool inPlace = false;
    int fd = open(next.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        // A directory that refuses new files may still hold a writable
        // statistics file of ours: rewrite that one (not through a link).
        const int createErr = staleErr ? staleErr : errno;
        fd = open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return createErr;
        inPlace = true;
    }
    int err = 0;
    if (inPlace && ftruncate(fd, 0) != 0) err = errno;
    size_t done = 0;
    while (!err && done < size) {
        ssize_t n = write(fd, data + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            err = errno;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (!err && fsync(fd) != 0) err = errno;
    if (close(fd) != 0 && !err) err = errno;
    if (inPlace) return err;
    if (!err && rename(next.c_str(), path.c_str()) != 0) err = errno;
    if (err) unlink(next.c_str());
    return err;
}

}  // namespace

std::string StatQuote(const char* name) {
    std::string quoted;
    for (const char* p = name; *p; ++p) {
        if (*p == '"' || *p == '\\' || *p == '\n') quoted += '\\';
        quoted += *p;
    }
    return quoted;
}

void reportObject::Dump(FILE* out, const char* section) {
    OrderByName();
    fprintf(out, "%s={\n", section);
    for (int32_t i = 0; i < nItems; ++i)
        fprintf(out, "\"%s\"=%d;\n", StatQuote(items[i].name).c_str(), items[i].count);
    fputs("};\n", out);
}

void reportObject::Load(const cfgfItem* dict) {
    if (!dict || dict->type != cfgfDictionary) return;
    const size_t n = std::min(dict->keys.size(), dict->values.size());
    for (size_t i = 0; i < n; ++i) {
        const cfgfItem& value = dict->values[i];
        if (value.type != cfgfString) continue;
        int32_t count = xAtoi(value.data.c_str());
        Add(dict->keys[i].c_str(), count < 0 ? 0 : count);
    }
}

void statistics::Dump(bool final) {
    DumpAt(final, time(nullptr));
}

void statistics::DumpAt(bool final, time_t now) {
    // Asked after every request: the look goes through the thread's copy,
    // and the snapshot is held only for a dump.
    const int32_t interval = CurrentSettings()->statDumpInterval;
    if (interval == 0) return;
    // A clock set back must not stop the dumps until it catches up again.
    if (!final && now >= period.prevDumpTime && now - period.prevDumpTime <= interval) return;
    const std::shared_ptr<const commonSettings> settings = CurrentSettings();

    DebugMsg("dumping the statistics data\n");
    if (period.prevReportTime == 0) period.prevReportTime = startupTime;
    const std::string path = statFilePath(*settings);

    // Formatted in memory under the locks; the disk (and its fsync) is
    // touched only after they are released, so a slow disk never holds up
    // the reader thread.
    memText text;
    {
        FILE* raw = open_memstream(&text.data, &text.size);
        if (!raw) {
            int err = errno;
            PrintMsg("* unable create %s: %s\n", path.c_str(), errorText(err).c_str());
            return;
        }
        const UniqueFile out(raw);
        twLock reportLock(mutex_);
        const scanCounters::figures& figures = scanFigures_.Peek();
        fprintf(raw, "StatStart=%ld; #%s\n", static_cast<long>(period.prevReportTime),
                mkDate(period.prevReportTime).c_str());
        fprintf(raw, "StatEnd=%ld; #%s\n", static_cast<long>(now), mkDate(now).c_str());
        if (period.restartTime != 0)
            fprintf(raw, "RestartTime=%ld; #%s\n", static_cast<long>(period.restartTime),
                    mkDate(period.restartTime).c_str());
        fprintf(raw, "MessagesTotal=%d;\n", figures.messages);
        fprintf(raw, "ScanTimeMin=%lu;\n", static_cast<unsigned long>(figures.timeMin));
        fprintf(raw, "ScanTimeMax=%lu;\n", static_cast<unsigned long>(figures.timeMax));
        fprintf(raw, "ScanTimeTotal=%lu;\n", static_cast<unsigned long>(figures.timeTotal));
        if (final) fputs("NormalShutdown=YES;\n", raw);
        if (section_) section_->Dump(raw);
        sourceList_.Dump(raw, "Sources");
        targetList_.Dump(raw, "Targets");
    }  // the stream is closed here, which fixes text.data and text.size

    int err = replaceFile(path, text.data ? text.data : "", text.size);
    if (err) {
        PrintMsg("* unable create %s: %s\n", path.c_str(), errorText(err).c_str());
        return;
    }
    period.prevDumpTime = now;
}

void statistics::Read() {
    ReadAt(time(nullptr));
}

void statistics::ReadAt(time_t now) {
    const std::string path = statFilePath(*CurrentSettings());
    if (access(path.c_str(), F_OK) != 0) return;

    std::unique_ptr<cfgfItem> tree = cfgfReadConfigFile(path);
    if (!tree) {
        unlink(path.c_str());
        DebugMsg("Failed to parse the %s\n", path.c_str());
        return;
    }

    const cfgfItem* endItem = cfgfGetDictValue(tree.get(), "StatEnd", cfgfString);
    if (!endItem) {
        unlink(path.c_str());
        return;
    }
    const time_t end = static_cast<time_t>(readWide(endItem->data.c_str()));
    DebugMsg("Dumped statistics found for %s\n", mkDate(end).c_str());
    if (!SameLocalDay(end, now)) {
        unlink(path.c_str());
        DebugMsg("The found data is obsolete\n");
        return;
    }

    const cfgfItem* startItem = cfgfGetDictValue(tree.get(), "StatStart", cfgfString);
    if (!startItem) {
        unlink(path.c_str());
        return;
    }
    // A period that began on an earlier day is still ours when its figures
    // were written today: its midnight report could not be made, and they
    // wait for the next one.  No period starts at 0: that value means "not
    // begun" to the report, which would then take the start-up time.
    const time_t start = static_cast<time_t>(readWide(startItem->data.c_str()));
    if (start <= 0 || start > end) {
        unlink(path.c_str());
        DebugMsg("The found data is obsolete.\n");
        return;
    }

    if (const char* text = cfgfGetDictValueStr(tree.get(), "RestartTime"))
        period.restartTime = static_cast<time_t>(readWide(text));
    // Without the shutdown mark the earlier run died some time after its
    // last dump; that dump's time is the best guess we have.
    const char* normal = cfgfGetDictValueStr(tree.get(), "NormalShutdown");
    if ((!normal || normal[0] != 'Y') && period.restartTime == 0) period.restartTime = end;
    period.prevReportTime = start;

    scanCounters::figures loaded;
    if (const char* text = cfgfGetDictValueStr(tree.get(), "MessagesTotal"))
        loaded.messages = xAtoi(text);
    if (const char* text = cfgfGetDictValueStr(tree.get(), "ScanTimeMin"))
        loaded.timeMin = readMillis(text);
    if (const char* text = cfgfGetDictValueStr(tree.get(), "ScanTimeMax"))
        loaded.timeMax = readMillis(text);
    if (const char* text = cfgfGetDictValueStr(tree.get(), "ScanTimeTotal"))
        loaded.timeTotal = readMillis(text);
    // Looked up outside the lock (a lookup may report a value of the wrong
    // type), in the order the file holds them: the program's section, then
    // Sources and Targets, so their reports come in that order too.
    const char* sectionName;
    {
        twLock lock(mutex_);
        sectionName = section_ ? section_->Name() : nullptr;
    }
    const cfgfItem* own =
        sectionName ? cfgfGetDictValue(tree.get(), sectionName, cfgfDictionary) : nullptr;
    const cfgfItem* sources = cfgfGetDictValue(tree.get(), "Sources", cfgfDictionary);
    const cfgfItem* targets = cfgfGetDictValue(tree.get(), "Targets", cfgfDictionary);
    twLock lock(mutex_);
    scanFigures_.Load(loaded);
    if (section_) section_->Load(own);
    sourceList_.Load(sources);
    targetList_.Load(targets);
}
