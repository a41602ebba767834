"""End-to-end tests of Tarnwick-AV against quillon-clamd, the scan engine
daemon on libclamav, with the test signature database of engines/testdb
(one signature: the standard anti-virus test string).

One daemon serves the whole class; each test runs the filter in a
FilterSession of its own whose Socket setting names that daemon.  Skipped
where quillon-clamd was not built (no libclamav).
"""

import os
import re
import shutil
import time
import unittest

import harness

# ClamAV adds ".UNOFFICIAL" to the names from unsigned databases.
VIRUS = re.escape("Tarnwick.Test.EICAR") + r"(\.UNOFFICIAL)?"
ENVELOPE = dict(sender="alice@example.org", source="mx.example.org [192.0.2.10]",
                recipients=("bob@example.net", "carol@example.net"))


@harness.skip_without("quillon-clamd")
class RealClamavFilterTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = harness.scratch_directory("tw-rclam-")
        try:
            cls.clamd = harness.start_daemon("quillon-clamd", cls.tmp, ["--db", harness.clamav_test_db()])
        except Exception:
            shutil.rmtree(cls.tmp, ignore_errors=True)
            raise

    @classmethod
    def tearDownClass(cls):
        survived = cls.clamd.returncode is None
        if survived:
            cls.clamd.resume()  # should a failed test have left it stopped
        cls.clamd.stop()
        code = cls.clamd.returncode
        log = "\n".join(cls.clamd.log_lines())
        shutil.rmtree(cls.tmp, ignore_errors=True)
        if not survived or code != 0:
            raise AssertionError("quillon-clamd %s with status %s:\n%s"
                                 % ("ended" if survived else "died", code, log))

    def setUp(self):
        self.assertIsNone(self.clamd.returncode, "quillon-clamd has died:\n" + "\n".join(self.clamd.log_lines()))

    def session(self, mode="Reject"):
        s = harness.FilterSession("Tarnwick-AV", mode=mode, engine=None,
                                  settings={"Socket": self.clamd.socket_path})
        self.addCleanup(s.cleanup)
        s.start()
        # The engine information the filter subscribes to at start-up comes
        # from ClamAV itself.
        s.wait_for(re.compile(r"^\* Engine version: ClamAV \d"), timeout=20)
        return s

    def test_eicar_in_a_base64_attachment_is_caught_and_clean_mail_accepted(self):
        infected = harness.mime_message(harness.eicar(), "invoice.com", subject="Invoice",
                                        body="The invoice is attached.\n", crlf=False)
        # Encoded, the test string is no longer in the message: only a
        # scanner that decodes the attachment finds it.
        self.assertNotIn(harness.eicar().encode(), infected)
        clean = harness.mime_message("Quarterly figures: all fine.\n", "report.txt", subject="Report",
                                     body="The report is attached.\n", crlf=False)
        cases = [
            ("attachment", harness.queue_file(infected, **ENVELOPE), True),
            ("clean attachment", harness.queue_file(clean, **ENVELOPE), False),
            ("plain clean message", harness.queue_file(harness.mail_text("Lunch", "See you at noon."), **ENVELOPE),
             False),
            # No envelope: the engine scans the queue file itself, not a copy.
            ("attachment without envelope", harness.queue_file(infected, envelope=False), True),
        ]
        infected_answer = {
            "Reject": r'ERROR "Virus found: %s\\e1 virus\(es\) found\\eMessage rejected"' % VIRUS,
            "AddHeader": r'ADDHEADER "X-Virus: %s"' % VIRUS,
        }
        for mode, pattern in infected_answer.items():
            with self.subTest(mode=mode):
                s = self.session(mode)
                tokens = [str(101 + i) for i in range(len(cases))]
                for token, (_, data, _) in zip(tokens, cases):
                    s.request(token, s.add_file(data, token + ".msg"))
                got = s.answers(tokens, timeout=30)
                for token, (label, _, is_infected) in zip(tokens, cases):
                    lines = got.get(token)
                    self.assertIsNotNone(lines, "%s: no answer; output:\n%s" % (label, "\n".join(s.lines())))
                    self.assertEqual(len(lines), 1, lines)
                    if is_infected:
                        self.assertRegex(lines[0], "^%s %s$" % (token, pattern), label)
                    else:
                        self.assertEqual(lines[0], token + " OK", label)
                self.assertEqual(s.quit(), 0)
                # The envelope-free copies that ClamAV scanned are gone.
                self.assertEqual(s.temp_files(), [])

    def test_message_file_that_vanished_before_the_scan(self):
        s = self.session()
        # Without an envelope the engine is asked to scan the queue file
        # itself; with one, the filter first copies the message into Temp.
        gone = s.add_file(harness.queue_file(harness.mail_text("Gone", "Moved away."), envelope=False), "gone.msg")
        marker = s.add_message(harness.mail_text("Marker", "Still here."), "marker.msg", **ENVELOPE)
        self.clamd.suspend()
        try:
            s.request(201, gone)
            s.request(202, marker)
            # The filter takes request lines in order: once the copy for 202
            # is in Temp, the scan request for 201 waits in the daemon's
            # socket, and the file can vanish before the daemon reads it.
            deadline = time.monotonic() + harness.scaled(10)
            while "message_202.tmp" not in s.temp_files():
                self.assertLess(time.monotonic(), deadline, "no copy of 202 in Temp: %s" % s.lines())
                time.sleep(0.02)
            os.unlink(os.path.join(s.base, gone))
        finally:
            self.clamd.resume()
        got = s.answers(["201", "202"], timeout=30)
        self.assertEqual(got.get("201"), ["201 FAILURE error=SE_FILE_NOT_FOUND"])
        self.assertEqual(got.get("202"), ["202 OK"])
        # The daemon goes on scanning on the same connection.
        s.request(203, s.add_message(harness.mail_text("Test", "Attached:\n" + harness.eicar()), "203.msg", **ENVELOPE))
        self.assertRegex(s.answer(203, timeout=30), r'^203 ERROR "Virus found: %s\\e' % VIRUS)
        self.assertEqual(s.quit(), 0)


if __name__ == "__main__":
    unittest.main()
