"""A scripted day of mail and statistics, byte for byte: event reports,
virus notifications, the statistics file across restarts, the midnight
report and the shutdown report, under a wall clock that the test sets
(libfaketime) in UTC.

Tarnwick-AV runs three times on Saturday 14 March 2026 against a scripted
scan engine, so that every date and every scan time is known:
  run 1, 10:00  start report, infected messages in Reject mode with one and
                three recipients, statistics after a burst; then a crash
                (no final dump);
  run 2, 10:05  the figures taken up again, with the restart time;
                notifications in Discard mode; shutdown report with the
                restart warning; the stop report after "* Closing Engine";
  run 3, 23:59:58  the midnight report of the whole day; figures reset.
The score statistics of Tarnwick-AS are in test_as_scores.py (its engine
schema cannot be loaded next to the scan engine's)."""

import os
import unittest

import harness
from harness import date_text, utc_epoch

se = harness.load_schema("se")

# 10:00:00 on Saturday 14 March 2026, UTC.
DAY = utc_epoch(2026, 3, 14, 10, 0, 0)

AV_SETTINGS = {
    "Mode": "Reject",
    "StatDumpInterval": "60",
    "RejectOptions": {"NotifyRecipients": "Yes"},
    "DiscardOptions": {"NotifyRecipients": "Yes"},
    "NotificationMessage": {"Caption": "Virus found: ", "Summary": "^1 virus(es) found\\e",
                            "Footer": "Message rejected"},
    "NotifyRecipientsOptions": {
        "From": "postmaster@example.com",
        "Subject": "Virus alert",
        "ExtraHeaders": "X-Tarnwick: notice\\eX-Priority: 1",
        "HeaderTitle": "Original headers:",
        "SenderInfo": "The message came from ^1.",
        "Description": ["A message to you carried a virus.", "It was not delivered."],
    },
    "DailyReport": {"Enabled": "Yes", "From": "tarnwick@example.com", "To": "admin@example.com",
                    "Subject": "Daily report ^1", "ExtraHeaders": "X-Report: daily"},
    "EventsReports": {"From": "tarnwick@example.com", "To": "admin@example.com",
                      "ExtraHeaders": "X-Mailer: Tarnwick\\eX-Priority: 3",
                      "Started": {"Enabled": "Yes", "Subject": "Started ^1"},
                      "Stopped": {"Enabled": "Yes", "Subject": "Stopped ^1"}},
}


def scan_result(serial, *names, child=()):
    """A scan result with virus names on the root and in one nested item."""
    m = se.ServerMessage(tag=se.ServerMessage.SCAN_FILE_RESULT, serial=serial)
    m.scan_report.object = b"/scanned"
    for name in names:
        m.scan_report.virus.add(type=se.SE_KNOWN_VIRUS, name=name)
    if child:
        item = m.scan_report.item.add(object=b"/scanned//part")
        for name in child:
            item.virus.add(type=se.SE_KNOWN_VIRUS, name=name)
    return m


def mail(subject, body, sender, to):
    return "From: <%s>\nTo: <%s>\nSubject: %s\n\n%s\n" % (sender, to, subject, body)


def event_report(what, when):
    return ("Return-Path: <>\n"
            "From: tarnwick@example.com\n"
            "To: admin@example.com\n"
            "Subject: %s %s\n"
            "X-Mailer: Tarnwick\n"
            "X-Priority: 3\n"
            "\n"
            "Velmora Quillon Antivirus plugin %s on %s.\n"
            "\n" % ("Started" if what == "started" else "Stopped", date_text(when), what, date_text(when)))


def notification(to_lines, virus, count, sender, headers):
    sender_line = "The message came from %s.\n" % sender if sender else ""
    return ("Return-Path: <>\n"
            "From: postmaster@example.com\n"
            "Subject: Virus alert\n"
            "X-Tarnwick: notice\n"
            "X-Priority: 1\n"
            + to_lines +
            "\n"
            "A message to you carried a virus.\n"
            "It was not delivered.\n"
            "%s\n"
            "\n"
            "%d virus(es) found\n"
            "\n"
            "%s"
            "Original headers:\n"
            "%s"
            "\n" % (virus, count, sender_line, headers))


def stat_file(start, end, messages, times, viruses, sources, targets, restart=None, normal=False,
              section="Viruses"):
    """The statistics file; lists are (quoted name as written, count)."""
    text = "StatStart=%d; #%s\n" % (start, date_text(start))
    text += "StatEnd=%d; #%s\n" % (end, date_text(end))
    if restart:
        text += "RestartTime=%d; #%s\n" % (restart, date_text(restart))
    text += "MessagesTotal=%d;\nScanTimeMin=%d;\nScanTimeMax=%d;\nScanTimeTotal=%d;\n" % ((messages,) + times)
    if normal:
        text += "NormalShutdown=YES;\n"
    for title, items in ((section, viruses), ("Sources", sources), ("Targets", targets)):
        text += "%s={\n%s};\n" % (title, "".join('"%s"=%d;\n' % item for item in items))
    return text


def table(items, total):
    """Report lines "%7d %3d.%02d%%  %s" of (name, count), in report order."""
    lines = ""
    for name, count in items:
        share = count * 10000 // total
        lines += "%7d %3d.%02d%%  %s\n" % (count, share // 100, share % 100, name)
    return lines


def av_daily_report(start, end, uptime, restart, viruses, messages, times, sources, targets):
    total_v = sum(c for _, c in viruses)
    total_s = sum(c for _, c in sources)
    total_t = sum(c for _, c in targets)
    text = ("Return-Path: <>\n"
            "From: tarnwick@example.com\n"
            "To: admin@example.com\n"
            "Subject: Daily report %s\n"
            "X-Report: daily\n"
            "\n"
            "Velmora Quillon Antivirus plugin activity report.\n\n"
            "Period start: %s\n"
            "Period end: %s\n\n"
            "Uptime: %s\n\n" % (date_text(start), date_text(start), date_text(end), uptime))
    if restart:
        text += ("Warning: the daily statistics may be inaccurate because the plugin\n"
                 "was restarted somewhere around %s\n\n" % date_text(restart))
    text += ("The number of viruses caught:\n"
             "      #       %  Virus Name\n"
             "-----------------------\n"
             + table(viruses, total_v) +
             "-----------------------\n"
             "%7d virus(es) caught\n"
             "%7d message(s) scanned\n"
             "\n" % (total_v, messages))
    if messages:
        low, high, total = times
        avg = total // messages
        text += ("Scanning time:\n"
                 "Min: %3d.%03d sec.\n"
                 "Avg: %3d.%03d sec.\n"
                 "Max: %3d.%03d sec.\n\n" % (low // 1000, low % 1000, avg // 1000, avg % 1000,
                                             high // 1000, high % 1000))
    text += ("\n\nVirus Sources:\n\n"
             "      #       %  Source\n"
             + table(sources, total_s) +
             "-----------------\n"
             "%7d sources total\n\n" % total_s)
    text += ("\n\nVirus Targets:\n\n"
             "      #       %  Target\n"
             + table(targets, total_t) +
             "-----------------\n"
             "%7d targets total\n\n" % total_t)
    return text + "\n"


@unittest.skipUnless(harness.FakeClock.available(), "libfaketime is not installed")
class AntiVirusDayTest(unittest.TestCase):
    def setUp(self):
        self.s = harness.FilterSession("Tarnwick-AV", engine=None, settings=AV_SETTINGS)
        self.addCleanup(self.s.cleanup)
        self.engine = self.s.scripted_engine(schema=se)
        self.clock = self.s.fake_clock(DAY)

    def start(self, at, mode):
        self.clock.set(at)
        self.s.write_settings(overrides=harness.merge(AV_SETTINGS, {"Mode": mode}))
        self.s.start_with(self.engine)
        self.assertEqual(self.engine.recv_request().tag, se.ClientMessage.SUBSCRIBE_INFO)

    def scan(self, token, path, reply, seconds):
        """One FILE request; the engine replies `seconds` later (fake time),
        and the reader finishes with the reply before the clock moves on."""
        self.s.request(token, path)
        req = self.engine.recv_request()
        self.assertEqual(req.serial, int(token))
        self.clock.advance(seconds)
        self.engine.send(reply(req.serial))
        self.settle()

    def settle(self):
        """Returns once the reader has finished every earlier reply, its
        counting included (it handles replies one after the other, and the
        scan time is taken after the answer is written)."""
        self.sync_serial = getattr(self, "sync_serial", 9000) + 1
        mark = self.s.mark()
        self.engine.send(scan_result(self.sync_serial))
        self.s.wait_for("* no pending request for serial %d, reply dropped" % self.sync_serial, after=mark)

    def new_submitted(self, prefix, before, count=1):
        names = self.s.wait_submitted(prefix, count, exclude=before)
        self.assertEqual(len(names), count, names)
        return names

    def test_scripted_day(self):
        s = self.s
        # --- run 1: 10:00, Reject ------------------------------------------------
        self.start(DAY, "Reject")
        started = s.wait_submitted("Qln_AV_report_")
        self.assertEqual(s.read_submitted(started[0]), event_report("started", DAY))

        headers_417 = mail("Quarterly figures", "Please find the figures attached.",
                           "alice@example.org", "bob@example.net")
        m417 = s.add_message(headers_417, "m0417.msg", sender="alice@example.org", source="smtp [192.0.2.7]",
                             recipients=["bob@example.net"])
        headers_418 = mail("Invoice", "Open the archive.", "carol@example.org", "team@example.net")
        m418 = s.add_message(headers_418, "m0418.msg", sender="carol@example.org", source="smtp [192.0.2.9]",
                             recipients=["r1@example.net", "r2@example.net", "r3@example.net"])
        m419 = s.add_message(mail("Lunch", "Noon?", "dan@example.org", "bob@example.net"), "m0419.msg",
                             sender="dan@example.org", source="mx.other [198.51.100.1]",
                             recipients=["bob@example.net"])
        m420 = s.add_message(mail("Raw", "No envelope.", "eve@example.org", "bob@example.net"), "m0420.msg",
                             envelope=False)
        headers_421 = mail("Bounce", "Returned mail.", "mailer-daemon@example.org", "bob@example.net")
        m421 = s.add_message(headers_421, "m0421.msg", sender="", source='relay "q" [203.0.113.5]',
                             recipients=["bob@example.net"])

        # One recipient: the notification is in place before the answer.
        self.scan("417", m417, lambda n: scan_result(n, "EICAR-Test-File"), 2)
        self.assertEqual(s.answer(417), '417 ERROR "Virus found: EICAR-Test-File\\e1 virus(es) found'
                                        '\\eMessage rejected"')
        notes = s.submitted_files("Qln_AV_notify_417_")
        self.assertEqual(len(notes), 1, notes)
        self.assertRegex(notes[0], r"^Qln_AV_notify_417_\d+\.sub$")
        self.assertEqual(s.read_submitted(notes[0]),
                         notification("To: bob@example.net\n", "EICAR-Test-File", 1, "alice@example.org",
                                      headers_417.split("\n\n")[0] + "\n"))

        # Three recipients: To/Bcc; a virus name with quotes and one with a
        # backslash (nested), escaped in the answer, plain in the mail.
        self.scan("418", m418, lambda n: scan_result(n, 'Worm."Quote"', child=["Back\\slash"]), 1)
        self.assertEqual(s.answer(418), '418 ERROR "Virus found: Worm.\\"Quote\\"\\e2 virus(es) found'
                                        '\\eMessage rejected"')
        notes = s.submitted_files("Qln_AV_notify_418_")
        self.assertEqual(len(notes), 1, notes)
        self.assertEqual(s.read_submitted(notes[0]),
                         notification("To: recipients;\nBcc: r1@example.net, r2@example.net, r3@example.net\n",
                                      'Worm."Quote"', 2, "carol@example.org",
                                      headers_418.split("\n\n")[0] + "\n"))

        self.scan("419", m419, scan_result, 3)
        self.assertEqual(s.answer(419), "419 OK")
        # Without envelope there is no recipient to notify.
        self.scan("420", m420, lambda n: scan_result(n, "EICAR-Test-File"), 1)
        s.wait_for("* Bad message file: %s" % m420)
        s.answer(420)
        self.assertEqual(s.submitted_files("Qln_AV_notify_420"), [])
        # An empty envelope sender: no sender line.
        self.scan("421", m421, lambda n: scan_result(n, "EICAR-Test-File"), 2)
        s.answer(421)
        notes = s.submitted_files("Qln_AV_notify_421_")
        self.assertEqual(s.read_submitted(notes[0]),
                         notification("To: bob@example.net\n", "EICAR-Test-File", 1, "",
                                      headers_421.split("\n\n")[0] + "\n"))

        # The dump made by the first request line after the interval.
        self.clock.set(DAY + 90)
        s.send_line("1 INTF")
        s.answer(1)
        viruses_1 = [("Back\\\\slash", 1), ("EICAR-Test-File", 3), ('Worm.\\"Quote\\"', 1)]
        sources_1 = [('relay \\"q\\" [203.0.113.5]', 1), ("smtp [192.0.2.7]", 2)]
        targets_1 = [("bob@example.net", 2), ("r1@example.net", 1), ("r2@example.net", 1), ("r3@example.net", 1)]
        self.assertEqual(s.read_stat_file(), stat_file(DAY, DAY + 90, 5, (1000, 3000, 9000), viruses_1, sources_1,
                                                       targets_1))
        # A crash: no final dump, no reports.
        s.kill()

        # --- run 2: 10:05, Discard ------------------------------------------------
        self.start(DAY + 300, "Discard")
        headers_431 = mail("Photos", "See attachment.", "dave@example.org", "bob@example.net")
        m431 = s.add_message(headers_431, "m0431.msg", sender="dave@example.org", source="smtp [192.0.2.9]",
                             recipients=["bob@example.net"])
        headers_432 = mail("Update", "Install now.", "erin@example.org", "all@example.net")
        m432 = s.add_message(headers_432, "m0432.msg", sender="erin@example.org", source="mx.other [198.51.100.1]",
                             recipients=["r1@example.net", "r2@example.net", "r3@example.net"])

        self.scan("431", m431, lambda n: scan_result(n, "EICAR-Test-File"), 1)
        # The first request line of the run dumped what was taken up: names
        # with quotes and backslashes read back, and the earlier run's end
        # is the restart time.
        self.assertEqual(s.read_stat_file(), stat_file(DAY, DAY + 300, 5, (1000, 3000, 9000), viruses_1,
                                                       sources_1, targets_1, restart=DAY + 90))
        s.wait_for("* (431) EICAR-Test-File\\e")
        self.assertEqual(s.answer(431), "431 DISCARD")
        notes = s.submitted_files("Qln_AV_notify_431_")
        self.assertEqual(s.read_submitted(notes[0]),
                         notification("To: bob@example.net\n", "EICAR-Test-File", 1, "dave@example.org",
                                      headers_431.split("\n\n")[0] + "\n"))
        self.scan("432", m432, lambda n: scan_result(n, "Trojan.Sim"), 2)
        self.assertEqual(s.answer(432), "432 DISCARD")
        notes = s.submitted_files("Qln_AV_notify_432_")
        self.assertEqual(s.read_submitted(notes[0]),
                         notification("To: recipients;\nBcc: r1@example.net, r2@example.net, r3@example.net\n",
                                      "Trojan.Sim", 1, "erin@example.org", headers_432.split("\n\n")[0] + "\n"))

        # Shutdown at 10:08, held at "* Closing Engine": by then the final
        # dump and the shutdown report are written, the stop report is not.
        self.clock.set(DAY + 480)
        daily_before = s.submitted_files("Qln_AV_daily_")
        stopped_before = s.submitted_files("Qln_AV_stopped_")
        s.hold_output(len("* quit accepted\n") + len("* Generating daily report message\n"))
        s.send_line("2 QUIT")
        s.wait_output_blocked()
        self.assertEqual(s.submitted_files("Qln_AV_stopped_"), stopped_before)
        daily = self.new_submitted("Qln_AV_daily_", daily_before)
        s.release_output()
        s.expect("* quit accepted")
        s.expect("* Generating daily report message")
        s.expect("* Closing Engine")
        # Looked at as soon as the final line is read: the report is there.
        stopped_at_end = []

        def final_line(line):
            if line != "* Tarnwick-AV plugin finished.":
                return False
            stopped_at_end.extend(s.submitted_files("Qln_AV_stopped_"))
            return True

        s.expect(final_line)
        self.assertEqual(s.wait_exit(), 0)
        stopped = [n for n in stopped_at_end if n not in stopped_before]
        self.assertEqual(len(stopped), 1, stopped_at_end)
        self.assertEqual(s.read_submitted(stopped[0]), event_report("stopped", DAY + 480))

        viruses_2 = [("Back\\\\slash", 1), ("EICAR-Test-File", 4), ("Trojan.Sim", 1), ('Worm.\\"Quote\\"', 1)]
        sources_2 = [("mx.other [198.51.100.1]", 1), ('relay \\"q\\" [203.0.113.5]', 1), ("smtp [192.0.2.7]", 3)]
        targets_2 = [("bob@example.net", 3), ("r1@example.net", 2), ("r2@example.net", 2), ("r3@example.net", 2)]
        self.assertEqual(s.read_stat_file(), stat_file(DAY, DAY + 480, 7, (1000, 3000, 12000), viruses_2,
                                                       sources_2, targets_2, restart=DAY + 90, normal=True))
        viruses_report = [("EICAR-Test-File", 4), ("Back\\slash", 1), ("Trojan.Sim", 1), ('Worm."Quote"', 1)]
        sources_report = [("smtp [192.0.2.7]", 3), ("mx.other [198.51.100.1]", 1), ('relay "q" [203.0.113.5]', 1)]
        self.assertEqual(s.read_submitted(daily[0]),
                         av_daily_report(DAY, DAY + 480, "0d 00h 03m 00s", DAY + 90, viruses_report, 7,
                                         (1000, 3000, 12000), sources_report, targets_2))

        # --- run 3: 23:59:58, through midnight -----------------------------------------
        evening = utc_epoch(2026, 3, 14, 23, 59, 58)
        self.start(evening, "Reject")
        m441 = s.add_message(mail("Late", "Good night.", "fay@example.org", "bob@example.net"), "m0441.msg",
                             sender="fay@example.org", source="smtp [192.0.2.7]", recipients=["bob@example.net"])
        self.scan("441", m441, scan_result, 1)
        self.assertEqual(s.answer(441), "441 OK")
        daily_before = s.submitted_files("Qln_AV_daily_")
        # The first check after midnight makes the report of the whole day,
        # with the restart warning that the statistics file carried.
        midnight = utc_epoch(2026, 3, 15, 0, 0, 1)
        self.clock.set(midnight)
        daily = self.new_submitted("Qln_AV_daily_", daily_before)
        s.wait_for("* Generating daily report message")
        self.assertEqual(s.read_submitted(daily[0]),
                         av_daily_report(DAY, midnight, "0d 00h 00m 03s", DAY + 90, viruses_report, 8,
                                         (1000, 3000, 13000), sources_report, targets_2))
        # Later checks the same night make none; the next dump holds the
        # new period alone, without the restart time.
        self.clock.set(utc_epoch(2026, 3, 15, 0, 30, 0))
        s.send_line("3 INTF")
        s.answer(3)
        self.assertEqual(s.read_stat_file(), stat_file(midnight, self.clock.now, 0, (0, 0, 0), [], [], []))
        # Half an hour, nothing scanned: no shutdown report either.
        self.assertEqual(s.quit(), 0)
        self.assertEqual(s.submitted_files("Qln_AV_daily_"), sorted(daily_before + daily))
        self.assertEqual(s.read_stat_file(), stat_file(midnight, self.clock.now, 0, (0, 0, 0), [], [], [],
                                                       normal=True))
        self.assertEqual(len(s.submitted_files("Qln_AV_stopped_")), 2)


class StatDumpOffTest(unittest.TestCase):
    def test_dump_interval_zero_writes_no_file(self):
        # Not at the first request line, not at shutdown.
        with harness.FilterSession("Tarnwick-AS", settings={"StatDumpInterval": "0"}) as s:
            s.start()
            s.request(1, s.add_message("Subject: x\n\ny\n", sender="a@example.org", recipients=["r@example.net"]))
            s.answer(1)
            s.send_line("2 INTF")
            s.answer(2)
            self.assertEqual(s.quit(), 0)
            self.assertEqual(sorted(os.listdir(s.prog_dir)), ["Tarnwick-AS", "Tarnwick-AS.cfg"])


if __name__ == "__main__":
    unittest.main()
