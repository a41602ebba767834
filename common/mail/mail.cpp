// Generated message submission: uniquely named ".tmp" files in the server's
// submission directory, the header frame every generated message starts
// with, and the rename to ".sub" that hands a finished file to the server.
//
// Inputs: the submission directory and texts from the settings (trusted,
// short).  Names are created exclusively, so the notification on the reader
// thread and a report on the main thread can never open the same file; the
// random part comes from one mutex-guarded generator shared by both threads.
// A rename that keeps failing blocks its thread for ten seconds in all.
#include "common/mail/mail.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>

#include "common/base/log.h"
#include "common/base/process.h"
#include "common/base/text.h"
#include "common/base/threads.h"

namespace {

constexpr int maxNameTries = 10;
constexpr int maxRenameTries = 10;

// Never seeded: the sequence of names is the same in every run, which keeps
// runs reproducible; uniqueness comes from O_EXCL, not from the numbers.
twMutex randomMutex;
std::minstd_rand nameRandom GUARDED_BY(randomMutex);

unsigned nextRandomPart() {
    twLock lock(randomMutex);
    return static_cast<unsigned>((static_cast<unsigned long>(time(nullptr)) + nameRandom()) &
                                 0xFFFFu);
}

}  // namespace

void TempNameSeed(unsigned seed) {
    twLock lock(randomMutex);
    nameRandom.seed(seed);
}

namespace {

void sleepResumed(unsigned seconds) {
    struct timespec left = {static_cast<time_t>(seconds), 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void appendLines(std::string& header, const std::string& text) {
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) {
            header.append(text, start, end - start);
            header += '\n';
        }
        start = end + 1;
    }
}

}  // namespace

filePtr OpenTempFile(const std::string& dir, const char* prefix, long number, const char* suffix,
                     std::string& path) {
    char namePart[256];
    if (number != 0)
        snprintf(namePart, sizeof namePart, "%s%ld_", prefix, number);
    else
        snprintf(namePart, sizeof namePart, "%s", prefix);

    int err = 0;
    for (int attempt = 0; attempt < maxNameTries; ++attempt) {
        path = dir + pathSeparatorStr + namePart + std::to_string(nextRandomPart()) + suffix;
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) {
            err = errno;
            continue;
        }
        FILE* f = fdopen(fd, "w");
        if (!f) {
            err = errno;
            close(fd);
            unlink(path.c_str());
            continue;
        }
        return filePtr(f);
    }
    errno = err;
    return filePtr();
}

bool SubmitTempFile(filePtr out, const std::string& path) {
    FILE* f = out.release();
    int err = 0;
    // Every write went through the stream: its error flag and the final
    // flush tell whether all of them reached the file.  The mode is set on
    // the open file, so the name never stands there with another one.
    if (fflush(f) != 0 || ferror(f)) err = errno ? errno : EIO;
    if (!err && fchmod(fileno(f), submittedMode) != 0) err = errno;
    if (fclose(f) != 0 && !err) err = errno;
    if (err) {
        unlink(path.c_str());
        PrintMsg("* can't write %s, errno=%d: nothing submitted\n", path.c_str(), err);
        return false;
    }
    return RenameTempToSub(path);
}

bool RenameTempToSub(const std::string& path) {
    return RenameTempToSub(path, sleepResumed);
}

bool RenameTempToSub(const std::string& path, void (*sleepSeconds)(unsigned)) {
    std::string subPath = path;
    const std::string tmpEnding = ".tmp";
    if (subPath.size() >= tmpEnding.size() &&
        subPath.compare(subPath.size() - tmpEnding.size(), tmpEnding.size(), tmpEnding) == 0)
        subPath.resize(subPath.size() - tmpEnding.size());
    subPath += ".sub";

    for (int failures = 0;;) {
        if (rename(path.c_str(), subPath.c_str()) == 0) return true;
        int err = errno;
        ++failures;
        if (failures >= maxRenameTries) {
            // The message is whole: it stays under its .tmp name for the
            // administrator to hand over, rather than being lost.
            PrintMsg("* failed renaming %s to %s, errno=%d\n", path.c_str(), subPath.c_str(), err);
            return false;
        }
        DebugMsg("failed renaming %s to %s, errno=%d, will retry again\n", path.c_str(),
                 subPath.c_str(), err);
        // A short hiccup gets quick retries; a lasting one backs off.
        if (failures > 5) sleepSeconds(static_cast<unsigned>(failures - 5));
    }
}

mailHeaderField MailHeader(const char* name, const char* value) {
    return mailHeaderField{name, value ? value : "", false};
}

mailHeaderField MailRawHeader(const char* name, const std::string& value) {
    return mailHeaderField{name, value, true};
}

mailHeaderField MailExtraHeaders(const char* value) {
    return mailHeaderField{nullptr, value ? value : "", false};
}

std::string FormatMailHeader(const std::vector<mailHeaderField>& fields) {
    std::string header = "Return-Path: <>\n";
    for (const mailHeaderField& field : fields) {
        std::string text = field.name ? field.name : "";
        if (field.raw)
            text += field.value;
        else
            fprintS(text, field.value);
        appendLines(header, text);
    }
    header += '\n';
    return header;
}

void WriteMailHeader(FILE* out, const std::vector<mailHeaderField>& fields) {
    const std::string header = FormatMailHeader(fields);
    fwrite(header.data(), 1, header.size(), out);
}

std::string MailPrefix(const char* kind) {
    std::string prefix = "Qln_";
    prefix += thisProcess->mailTag;
    prefix += '_';
    prefix += kind;
    prefix += '_';
    return prefix;
}
