"""Reloading the settings while requests are pending: the process stays up,
moves to the new engine connection, and every request is answered once."""

import os
import re
import unittest

import harness

se = harness.load_schema("se")

QUIET = harness.quiet_settings("Tarnwick-AV")


def clean(serial):
    m = se.ServerMessage(tag=se.ServerMessage.SCAN_FILE_RESULT, serial=serial)
    m.scan_report.object = b"x"
    return m


def queue(s, name, body):
    return s.add_message(body, name, directory="", sender="sender@example.org", source="smtp [192.0.2.7]",
                         recipients=["rcpt@example.com"])


class ReloadTest(unittest.TestCase):
    def setUp(self):
        self.s = harness.FilterSession("Tarnwick-AV", engine=None, settings=QUIET)
        self.first = self.s.scripted_engine("engine", schema=se)
        self.second = self.s.scripted_engine("second", schema=se)
        self.second_path = self.second.socket_path
        self.s.start_with(self.first)
        self.first.recv_request()  # the information subscription

    def tearDown(self):
        self.s.cleanup()

    def reload_to_second(self, trigger_token):
        self.s.reload(overrides=harness.merge(QUIET, {"Socket": self.second_path, "Mode": "Discard"}))
        self.s.send("%s INTF\n" % trigger_token)
        self.s.expect("* re-reading Tarnwick-AV.cfg")
        self.s.expect("* re-reading Tarnwick-AV.cfg")
        self.s.expect("* Closing Engine")
        self.s.expect("* Connected to %s" % self.second_path)
        self.assertFalse(os.path.exists(os.path.join(self.s.prog_dir, "hup.sig")))
        self.second.accept()

    def test_pending_requests_move_to_the_new_engine(self):
        for n in range(50):
            queue(self.s, "m%d" % n, "hello %d" % n)
            self.s.send("%d FILE m%d\n" % (n, n))
        sent = {req.serial for req in self.first.recv_requests(50)}
        self.assertEqual(sent, set(range(50)))
        # The first engine answers a few on the old connection after all.
        for n in range(5):
            self.first.send(clean(n))
        self.reload_to_second(1000)
        resent = {}
        while len(resent) < 50:
            try:
                req = self.second.recv_request(timeout=3)
            except TimeoutError:
                break
            if req is None:
                break
            resent[req.serial] = req
        self.assertTrue(set(range(5, 50)) <= set(resent), sorted(resent))
        for serial in sorted(resent):
            self.second.send(clean(serial))
        while len([l for l in self.s.seen() if l.endswith(" OK")]) < 50:
            self.s.expect(re.compile(r" OK$"))
        # Nothing more may come: a duplicate reply finds no entry.
        self.s.send("1001 INTF\n")
        self.s.expect("1001 INTF 3 PROD=QLON")
        answered = [l for l in self.s.seen() if l.endswith(" OK")]
        self.assertEqual(sorted(answered, key=lambda l: int(l.split()[0])), ["%d OK" % n for n in range(50)])
        self.assertEqual(self.s.returncode, None)
        self.assertEqual(self.s.temp_files(), [])

    def test_new_settings_apply_and_old_connection_does_not_end_the_process(self):
        self.reload_to_second(7)
        self.s.expect("7 INTF 3 PROD=QLON")
        self.first.close()  # the old engine going away now is no concern of ours
        queue(self.s, "v", "x")
        self.s.send("8 FILE v\n")
        req = self.second.recv_request()
        m = clean(req.serial)
        m.scan_report.virus.add(type=se.SE_KNOWN_VIRUS, name="EICAR")
        self.second.send(m)
        self.s.expect("8 DISCARD")
        self.assertIsNone(self.s.returncode)

    def test_reload_to_unreachable_engine_exits(self):
        self.second.close()
        self.s.reload(overrides=harness.merge(QUIET, {"Socket": self.second_path}))
        self.s.send("1 INTF\n")
        rest = self.s.rest()
        self.assertTrue(rest[-1].startswith("* Error: Cannot connect to ScanEngine: "), rest)
        self.assertEqual(self.s.wait_exit(), 1)


class ReportSettingTypeTest(unittest.TestCase):
    """A report or notification setting of the wrong type is reported when
    its mail looks it up, each time it does, and never when the file is
    read."""

    def test_type_errors_come_with_their_reports(self):
        settings = harness.merge(QUIET, {"DailyReport": "x", "EventsReports": {"Started": "x"}})
        s = harness.FilterSession("Tarnwick-AV", engine=None, settings=settings)
        self.addCleanup(s.cleanup)
        engine = s.scripted_engine(schema=se)
        s.start_with(engine)
        engine.recv_request()  # the information subscription
        cfg = s.settings_path()
        wrong = "* incorrect value type; expected Dictionary got String"

        def report_at(key, text):
            number = [i for i, line in enumerate(open(cfg).read().split("\n")) if key in line][0] + 1
            return ["* Error in %s line %d " % (cfg, number), text]

        s.send_line("1 INTF")
        s.wait_for("1 INTF 3 PROD=QLON")
        # The reader thread announces itself on its own schedule, anywhere
        # among the main thread's start-up lines.
        lines = [line for line in s.lines() if line != "* reader thread started"]
        # Nothing while the file is read (the engine is connected after it).
        connected = [i for i, line in enumerate(lines) if line.startswith("* Connected to ")][0]
        self.assertNotIn(wrong, lines[:connected])
        # The start report: Started's type, then its absence; the report goes out.
        started = lines.index(wrong) - 1
        self.assertEqual(lines[started:started + 4],
                         report_at("Started", wrong) +
                         ["* Error in %s " % cfg, "* Missing EventsReports={Started={...} ... };"])
        self.assertEqual(lines.count(wrong), 1, lines)  # not DailyReport's yet
        s.wait_submitted("Qln_AV_report_")

        mark = s.mark()
        s.reload(overrides=settings)
        s.send_line("2 INTF")
        s.wait_for("2 INTF 3 PROD=QLON", after=mark)
        self.assertNotIn(wrong, s.lines(mark))
        engine.accept()  # the reload connects again

        # A message answered, so that the shutdown makes a report.
        queue(s, "m", "Subject: x\n\nbody\n")
        s.request(3, "m")
        engine.send(clean(engine.recv_request().serial))
        s.wait_for("3 OK")
        mark = s.mark()
        self.assertEqual(s.quit(), 0)
        lines = s.lines(mark)
        daily = lines.index(wrong) - 1
        self.assertEqual(lines[daily:daily + 5],
                         report_at("DailyReport", wrong) +
                         ["* Error in %s " % cfg, "* Missing DailyReport={...};",
                          "* Generating daily report message"])
        self.assertEqual(lines.count(wrong), 1, lines)


    def test_notification_type_errors_come_with_each_notification(self):
        wrong = {"notify-from": "String got Array", "notify-extra": "String got Array",
                 "notify-description": "Array got String", "notify-sender": "String got Array"}
        settings = harness.merge(harness.quiet_settings("Tarnwick-AV", notify=True), {
            "NotifyRecipientsOptions": {"From": ["notify-from"], "ExtraHeaders": ["notify-extra"],
                                        "Description": "notify-description",
                                        "SenderInfo": ["notify-sender"]}})
        s = harness.FilterSession("Tarnwick-AV", engine=None, settings=settings)
        self.addCleanup(s.cleanup)
        engine = s.scripted_engine(schema=se)
        s.start_with(engine)
        engine.recv_request()  # the information subscription
        cfg = s.settings_path()
        text = open(cfg).read().split("\n")

        def reports(*values):
            out = []
            for value in values:
                number = [i for i, line in enumerate(text) if value in line][0] + 1
                out += ["* Error in %s line %d " % (cfg, number),
                        "* incorrect value type; expected " + wrong[value]]
            return out

        queue(s, "m1", "Subject: x\n\nbody\n")
        s.add_message("Subject: y\n\nbody\n", "m2", directory="", sender="",
                      source="smtp [192.0.2.7]", recipients=["rcpt@example.com"])
        # Each notification reports them as it uses them, in its order; the
        # sender line, and its setting, only where the message has a sender.
        for token, name, used in ((1, "m1", ("notify-from", "notify-extra", "notify-description",
                                             "notify-sender")),
                                  (2, "m2", ("notify-from", "notify-extra", "notify-description"))):
            mark = s.mark()
            s.request(token, name)
            engine.send(harness.scan_result(se, engine.recv_request().serial, ["EICAR"]))
            self.assertTrue(s.answer(token).startswith("%d ERROR" % token))
            lines = [line for line in s.lines(mark) if not line.startswith("%d " % token)]
            self.assertEqual(lines, reports(*used))
        self.assertEqual(len(s.submitted_files("Qln_AV_notify_")), 2)
        self.assertEqual(s.quit(), 0)


if __name__ == "__main__":
    unittest.main()
