// Virus notification: mails the recipients of a rejected or discarded
// infected message, from the settings' NotifyRecipientsOptions.
//
// Inputs: the sender and recipients of the envelope read when the request
// was prepared, the header block of the queued message file (read by
// envelope/queuefile, never past its first blank line), the virus text and summary of the verdict,
// and the settings snapshot the verdict holds, which stays valid for the
// whole call.  Runs on the reader thread and holds no lock; it may block
// about a second for a slow message file and up to ten more seconds for a
// rename.
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <utility>
#include <vector>

#include "av/av.h"
#include "common/base/log.h"
#include "common/base/text.h"
#include "common/envelope/queuefile.h"
#include "common/mail/mail.h"

namespace {

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

// The sender goes into the body as it stands: a control character would
// start a line of its own, a comma or a semicolon would read as a list.
bool safeSender(const std::string& address) {
    for (unsigned char c : address) {
        if (c < 0x20 || c == 0x7f || c == ',' || c == ';') {
            PrintMsg("* notification: sender address left out: %s\n",
                     EscapeControl(address).c_str());
            return false;
        }
    }
    return true;
}

// A recipient goes into the To: or Bcc: line as it stands, and whoever
// reads that line reads it by the address-list grammar: a control byte or
// a blank would end or split the address, one of ()<>"\,;: open a comment,
// a quoted string, a route or a group or start another address, and a
// leading '-' reads as an option to a sendmail handed the address.  Any
// other address of the envelope is named, a bare local name ("postmaster")
// and odd dots included: the server checked its recipients, and delivers
// to them.  A milter host that hands the message to sendmail keeps to its
// own stricter rule for what it sends.
bool namedAddress(const std::string& address) {
    bool named = !address.empty() && address[0] != '-';
    for (unsigned char c : address)
        named = named && c > 0x20 && c != 0x7f && strchr("()<>\"\\,;:", c) == nullptr;
    if (!named)
        PrintMsg("* notification: recipient address left out: %s\n",
                 EscapeControl(address).c_str());
    return named;
}

void writeText(FILE* out, const char* text) {
    if (text) fprintS(out, text);
    fputc('\n', out);
}

}  // namespace

void NotifyRecipientsProc(const avSettings& settings, const std::string& msgPath,
                          std::string_view envelope, const std::string& virusText,
                          const std::string& summary) {
    notificationParts parts;
    if (!ReadNotificationParts(msgPath, envelope, parts)) return;
    std::vector<std::string> recipients;
    for (const std::string& address : parts.recipients)
        if (namedAddress(address)) recipients.push_back(address);
    if (recipients.empty()) return;
    if (!safeSender(parts.sender)) parts.sender.clear();

    std::string path;
    filePtr out = OpenTempFile(settings.submittedDirName, "Qln_AV_notify_", firstNumber(msgPath),
                               ".tmp", path);
    if (!out) {
        int err = errno;
        PrintMsg("* open failed, errno=%d\n", err);
        return;
    }
    FILE* f = out.get();

    const auto& opts = settings.notify;

    std::string to = recipients.front();
    if (recipients.size() > 1) {
        to = "recipients;\nBcc: ";
        for (size_t i = 0; i < recipients.size(); ++i) {
            if (i) to += ", ";
            to += recipients[i];
        }
    }
    opts.notes.Report({"From", "Subject", "ExtraHeaders"});
    WriteMailHeader(
        f, {MailHeader("From: ", opts.from.c_str()), MailHeader("Subject: ", opts.subject.c_str()),
            MailExtraHeaders(opts.extraHeaders.c_str()), MailRawHeader("To: ", to)});

    opts.notes.Report({"Description"});
    for (const std::string& line : opts.description) writeText(f, line.c_str());
    writeText(f, virusText.c_str());
    writeText(f, summary.c_str());
    if (!parts.sender.empty()) {
        opts.notes.Report({"SenderInfo"});
        writeWithAddress(f, opts.senderInfo.c_str(), parts.sender);
        fputc('\n', f);
    }
    opts.notes.Report({"HeaderTitle"});
    writeText(f, opts.headerTitle.c_str());
    const std::string headerLines = WithoutEnvelopeFields(parts.headerLines);
    fwrite(headerLines.data(), 1, headerLines.size(), f);
    fputc('\n', f);

    SubmitTempFile(std::move(out), path);
}
