// Event reports: a short mail to the administrator when the program starts
// and when it stops.
//
// Inputs: the EventsReports dictionary of the settings in force (From, To,
// ExtraHeaders, and Started/Stopped with Enabled and Subject).  Missing
// dictionaries are reported and the mail still goes out with empty values;
// a missing text is written empty.  Main thread only.
#include <cerrno>

#include "common/config/cfgf.h"
#include "common/config/settings.h"
#include "common/base/process.h"
#include "common/base/log.h"
#include "common/base/text.h"
#include "common/mail/mail.h"

namespace {

bool switchedOff(const char* text) {
    return text && (text[0] == 'N' || text[0] == 'n');
}

}  // namespace

void EventReportAt(bool started, time_t now) {
    auto settings = CurrentSettings();
    const cfgfItem* events =
        cfgfGetDictValue(settings->pConf.get(), "EventsReports", cfgfDictionary);
    if (!events) cfgfError(nullptr, "Missing EventsReports={...};");
    const cfgfItem* event =
        cfgfGetDictValue(events, started ? "Started" : "Stopped", cfgfDictionary);
    if (!event)
        cfgfError(nullptr, started ? "Missing EventsReports={Started={...} ... };"
                                   : "Missing EventsReports={Stopped={...} ... };");
    if (switchedOff(cfgfGetDictValueStr(event, "Enabled"))) return;

    std::string path;
    filePtr out = OpenTempFile(settings->submittedDirName,
                               MailPrefix(started ? "report" : "stopped").c_str(), 0, ".tmp", path);
    if (!out) {
        int err = errno;
        PrintMsg("* Can't create temp file %s, errno=%d\n", path.c_str(), err);
        return;
    }

    const std::string date = mkDate(now);
    const char* subjectText = cfgfGetDictValueStr(event, "Subject");
    std::string subject = subjectText ? subjectText : "";
    SubstStr(subject, 1, date.c_str());
    WriteMailHeader(out.get(), {MailHeader("From: ", cfgfGetDictValueStr(events, "From")),
                                MailHeader("To: ", cfgfGetDictValueStr(events, "To")),
                                MailHeader("Subject: ", subject.c_str()),
                                MailExtraHeaders(cfgfGetDictValueStr(events, "ExtraHeaders"))});
    fprintf(out.get(), "Velmora Quillon %s plugin %s on %s.\n\n",
            thisProcess->productName, started ? "started" : "stopped",
            date.c_str());
    out.reset();
    RenameTempToSub(path);
}

void EventReportStarted() {
    EventReportAt(true, time(nullptr));
}

void EventReportStoped() {
    EventReportAt(false, time(nullptr));
}
