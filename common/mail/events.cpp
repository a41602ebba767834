// Event reports: a short mail to the administrator when the program starts
// and when it stops.
//
// Inputs: the EventsReports section of the settings in force (From, To,
// ExtraHeaders, and Started/Stopped with Enabled and Subject).  Missing
// dictionaries are reported and the mail still goes out with empty values;
// a missing text is written empty.  Main thread only.
#include <cerrno>

#include "common/base/log.h"
#include "common/base/process.h"
#include "common/base/text.h"
#include "common/config/cfgf.h"
#include "common/config/settings.h"
#include "common/mail/mail.h"

#include <utility>

void EventReportAt(bool started, time_t now) {
    auto settings = CurrentSettings();
    const eventReportSettings& events = settings->events;
    // Each setting is reported as it is looked up: its type error (kept
    // from the reading), then its absence.
    events.notes.Report({"EventsReports"});
    if (!events.present) cfgfFileError(settings->fileName, "Missing EventsReports={...};");
    const eventReportSettings::event& event = started ? events.started : events.stopped;
    event.notes.Report({started ? "Started" : "Stopped"});
    if (!event.present)
        cfgfFileError(settings->fileName, started ? "Missing EventsReports={Started={...} ... };"
                                                  : "Missing EventsReports={Stopped={...} ... };");
    event.notes.Report({"Enabled"});
    if (!event.enabled) return;

    std::string path;
    filePtr out = OpenTempFile(settings->submittedDirName,
                               MailPrefix(started ? "report" : "stopped").c_str(), 0, ".tmp", path);
    if (!out) {
        int err = errno;
        PrintMsg("* Can't create temp file %s, errno=%d\n", path.c_str(), err);
        return;
    }

    events.notes.Report({"From", "To"});
    event.notes.Report({"Subject"});
    events.notes.Report({"ExtraHeaders"});
    const std::string date = mkDate(now);
    std::string subject = event.subject;
    SubstStr(subject, 1, date.c_str());
    WriteMailHeader(
        out.get(),
        {MailHeader("From: ", events.from.c_str()), MailHeader("To: ", events.to.c_str()),
         MailHeader("Subject: ", subject.c_str()), MailExtraHeaders(events.extraHeaders.c_str())});
    fprintf(out.get(), "Velmora Quillon %s plugin %s on %s.\n\n", thisProcess->productName,
            started ? "started" : "stopped", date.c_str());
    SubmitTempFile(std::move(out), path);
}

void EventReportStarted() {
    EventReportAt(true, time(nullptr));
}

void EventReportStoped() {
    EventReportAt(false, time(nullptr));
}
