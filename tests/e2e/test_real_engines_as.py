"""End-to-end tests of Tarnwick-AS against quillon-spamd in front of a real
SpamAssassin spamd (local tests only, the rules shipped with the package).

spamd and one quillon-spamd serve the whole class; each test runs the
filter in a FilterSession of its own whose Socket setting names that
daemon.  Skipped where quillon-spamd was not built or spamd is not
installed.
"""

import os
import re
import shutil
import unittest

import harness

ENVELOPE = dict(source="mx.example.org [192.0.2.20]", recipients=("bob@example.net",))
# Headers every real mail client writes; without them SpamAssassin adds a
# point or two for the missing ones.
USUAL = ("Date: Mon, 7 Dec 2026 10:00:00 +0000", "Message-ID: <minutes-4711@example.org>")
SPAM_ANSWER = ('"X-Junk-Score: 100 [XXXXXX]\\eX-Quillon-Score: 100 [XXXXXX]'
               '\\eX-Alert: possible spam!\\eX-Color: red"')
RATED = re.compile(r'^(\d+) ADDHEADER "X-Junk-Score: +(\d+) \[(X*)\]\\eX-Quillon-Score: +\2 \[\3\]"$')


def gtube_mail(sender="shop@ads.example"):
    return harness.mail_text("Offer", "Buy now.\n" + harness.gtube(), sender=sender, extra=USUAL)


def ordinary_mail():
    return harness.mail_text("Minutes", "Here are the minutes of today's meeting.\n\nAlice", extra=USUAL)


@harness.skip_without("quillon-spamd")
class RealSpamassassinFilterTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = harness.scratch_directory("tw-rspam-")
        cls.spamd = None
        try:
            cls.spamd = harness.SpamdServer(cls.tmp).start()
            cls.daemon = harness.start_daemon("quillon-spamd", cls.tmp,
                                                   ["--spamd-socket", cls.spamd.socket_path, "--timeout", "60"])
        except Exception:
            if cls.spamd is not None:
                cls.spamd.stop()
            shutil.rmtree(cls.tmp, ignore_errors=True)
            raise

    @classmethod
    def tearDownClass(cls):
        survived = cls.daemon.returncode is None
        cls.daemon.stop()
        code = cls.daemon.returncode
        log = "\n".join(cls.daemon.log_lines())
        cls.spamd.stop()
        shutil.rmtree(cls.tmp, ignore_errors=True)
        if not survived or code != 0:
            raise AssertionError("quillon-spamd %s with status %s:\n%s"
                                 % ("ended" if survived else "died", code, log))

    def setUp(self):
        self.assertIsNone(self.daemon.returncode, "quillon-spamd has died:\n" + "\n".join(self.daemon.log_lines()))
        self.assertIsNone(self.spamd.returncode, "spamd has died:\n" + self.spamd.log_text()[-2000:])

    def session(self, socket_path):
        s = harness.FilterSession("Tarnwick-AS", engine=None, settings={"Socket": socket_path})
        self.addCleanup(s.cleanup)
        return s.start()

    def test_gtube_rated_100_with_alert_lines_and_ordinary_mail_low(self):
        s = self.session(self.daemon.socket_path)
        messages = {
            "11": (harness.queue_file(gtube_mail(), sender="shop@ads.example", **ENVELOPE), True),
            "12": (harness.queue_file(ordinary_mail(), sender="alice@example.org", **ENVELOPE), False),
            "13": (harness.queue_file(gtube_mail(), envelope=False), True),
            "14": (harness.queue_file(ordinary_mail(), envelope=False), False),
        }
        for token, (data, _) in messages.items():
            s.request(token, s.add_file(data, token + ".msg"))
        # spamd's first ratings take a while: its children load the rules.
        got = s.answers(messages, timeout=120)
        for token, (_, spam) in messages.items():
            lines = got.get(token)
            self.assertIsNotNone(lines, "no answer for %s; output:\n%s" % (token, "\n".join(s.lines())))
            self.assertEqual(len(lines), 1, lines)
            if spam:
                self.assertEqual(lines[0], "%s ADDHEADER %s" % (token, SPAM_ANSWER))
                continue
            rated = RATED.match(lines[0])
            self.assertIsNotNone(rated, lines[0])
            # Ordinary mail lands well below spamd's threshold (90 after
            # the rescaling), and far from the alert lines.
            self.assertLessEqual(int(rated.group(2)), 40, lines[0])
        # GTUBE is rated about 1000 by SpamAssassin, the top of the engine
        # scale; ordinary mail lies near the bottom.
        scores = sorted(int(line.split("=")[1]) for line in s.log_lines() if line.startswith("* original score="))
        self.assertEqual(len(scores), 4, s.log_lines())
        self.assertEqual(scores[2:], [1000, 1000])
        self.assertLess(scores[1], -400)
        self.assertEqual(s.quit(), 0)

    def test_unreachable_spamd_fails_the_request(self):
        # A quillon-spamd whose spamd is not there answers with an error
        # record: that request fails, the filter goes on serving.
        nobody = os.path.join(self.tmp, "nobody.sock")
        dead = harness.start_daemon("quillon-spamd", self.tmp, ["--spamd-socket", nobody, "--timeout", "1"],
                                        name="dead")
        try:
            s = self.session(dead.socket_path)
            s.request(31, s.add_file(harness.queue_file(ordinary_mail(), sender="alice@example.org", **ENVELOPE),
                                     "31.msg"))
            self.assertRegex(s.answer(31, timeout=30), r"^31 FAILURE error=EC_[A-Z_]+$")
            s.send_line("32 INTF")
            self.assertEqual(s.answer(32), "32 INTF 3 PROD=QLON")
            self.assertEqual(s.quit(), 0)
            self.assertTrue(any("serial 31: cannot connect to spamd" in line for line in dead.log_lines()),
                            dead.log_lines())
            self.assertIsNone(dead.returncode, "quillon-spamd ended with its client")
        finally:
            dead.stop()
        self.assertEqual(dead.returncode, 0, dead.log_lines())


if __name__ == "__main__":
    unittest.main()
