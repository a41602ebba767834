// Virus notification: mails the recipients of a rejected or discarded
// infected message, from the settings' NotifyRecipientsOptions.
//
// Inputs: the queued message file (its envelope "P" and "R" lines and the
// header lines that follow), the virus text and summary of the verdict, and
// the settings snapshot the verdict holds, which stays valid for the whole
// call.  Runs on the reader thread and holds no lock; it may block about a
// second for a slow message file and up to ten more seconds for a rename.
// Lines are read whole, so a long header line is copied whole and never
// mistaken for the end of the header.
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <vector>

#include "av/av.h"
#include "common/config/cfgf.h"
#include "common/base/log.h"
#include "common/base/text.h"
#include "common/mail/mail.h"

namespace {

// Reads up to and including the next line feed; false at end of file.
bool readLine(FILE* f, std::string& line) {
    line.clear();
    int c;
    while ((c = getc(f)) != EOF) {
        line += static_cast<char>(c);
        if (c == '\n') break;
    }
    return !line.empty();
}

bool angleAddress(const std::string& line, std::string& address) {
    size_t open = line.find('<');
    if (open == std::string::npos) return false;
    size_t close = line.find('>', open + 1);
    if (close == std::string::npos) return false;
    address.assign(line, open + 1, close - open - 1);
    return true;
}

// The first run of digits in the path; it ties the notification's file name
// to the queue file it is about.  Saturates rather than overflowing.
long firstNumber(const std::string& path) {
    size_t pos = path.find_first_of("0123456789");
    if (pos == std::string::npos) return 0;
    long value = 0;
    for (; pos < path.size() && path[pos] >= '0' && path[pos] <= '9'; ++pos) {
        int digit = path[pos] - '0';
        value = value > (LONG_MAX - digit) / 10 ? LONG_MAX : value * 10 + digit;
    }
    return value;
}

// The server may still be placing the file: try at once, then after a
// second.
filePtr openMessage(const std::string& path) {
    for (int attempt = 1;; ++attempt) {
        filePtr f(fopen(path.c_str(), "r"));
        if (f) return f;
        int err = errno;
        if (attempt == 1) {
            DebugMsg("Can't open %s,errno=%d,will retry\n", path.c_str(), err);
        } else if (attempt == 2) {
            DebugMsg("Can't open %s, will retry again\n", path.c_str());
            struct timespec left = {1, 0};
            while (nanosleep(&left, &left) != 0 && errno == EINTR) {
            }
        } else {
            PrintMsg("* Can't open %s,errno=%d\n", path.c_str(), err);
            return filePtr();
        }
    }
}

// Writes the template decoded, with every "^1" replaced by the address; the
// address itself is written as it stands, never escape-decoded.
void writeWithAddress(FILE* out, const char* tmpl, const std::string& address) {
    const std::string text = tmpl ? tmpl : "";
    size_t start = 0;
    for (size_t pos = 0; pos + 1 < text.size();) {
        if (text[pos] == '^' && text[pos + 1] == '1') {
            fprintS(out, text.substr(start, pos - start));
            fwrite(address.data(), 1, address.size(), out);
            pos += 2;
            start = pos;
        } else {
            ++pos;
        }
    }
    fprintS(out, text.substr(start));
}

void writeText(FILE* out, const char* text) {
    if (text) fprintS(out, text);
    fputc('\n', out);
}

}  // namespace

void NotifyRecipientsProc(const avSettings& settings, const std::string& msgPath,
                          const std::string& virusText, const std::string& summary) {
    std::vector<std::string> recipients;
    std::string sender;
    std::vector<std::string> headerLines;
    {
        filePtr in = openMessage(msgPath);
        if (!in) return;

        std::string line;
        std::string address;
        bool haveSender = false;
        while (readLine(in.get(), line) && line[0] != '\n') {
            if (line.size() < 2 || line[1] != ' ' || !angleAddress(line, address)) continue;
            if (line[0] == 'P' && !haveSender) {
                sender = address;
                haveSender = true;
            } else if (line[0] == 'R') {
                recipients.push_back(address);
            }
        }
        if (recipients.empty()) {
            PrintMsg("* Bad message file: %s\n", msgPath.c_str());
            return;
        }
        while (readLine(in.get(), line) && line[0] != '\n') headerLines.push_back(line);
    }

    std::string path;
    filePtr out = OpenTempFile(settings.submittedDirName, "Qln_AV_notify_", firstNumber(msgPath),
                               ".tmp", path);
    if (!out) {
        int err = errno;
        PrintMsg("* open failed, errno=%d\n", err);
        return;
    }
    FILE* f = out.get();

    const cfgfItem* opts =
        cfgfGetDictValue(settings.pConf.get(), "NotifyRecipientsOptions", cfgfDictionary);

    std::string to = recipients.front();
    if (recipients.size() > 1) {
        to = "recipients;\nBcc: ";
        for (size_t i = 0; i < recipients.size(); ++i) {
            if (i) to += ", ";
            to += recipients[i];
        }
    }
    WriteMailHeader(f, {MailHeader("From: ", cfgfGetDictValueStr(opts, "From")),
                        MailHeader("Subject: ", cfgfGetDictValueStr(opts, "Subject")),
                        MailExtraHeaders(cfgfGetDictValueStr(opts, "ExtraHeaders")),
                        MailRawHeader("To: ", to)});

    if (const cfgfItem* description = cfgfGetDictValue(opts, "Description", cfgfArray)) {
        for (const cfgfItem& element : description->elements)
            if (element.type == cfgfString) writeText(f, element.data.c_str());
    }
    writeText(f, virusText.c_str());
    writeText(f, summary.c_str());
    if (!sender.empty()) {
        writeWithAddress(f, cfgfGetDictValueStr(opts, "SenderInfo"), sender);
        fputc('\n', f);
    }
    writeText(f, cfgfGetDictValueStr(opts, "HeaderTitle"));
    for (const std::string& header : headerLines) fwrite(header.data(), 1, header.size(), f);
    fputc('\n', f);

    out.reset();
    RenameTempToSub(path);
}
