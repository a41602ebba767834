"""Tarnwick-AS from request to answer against a scripted anti-spam engine:
the rescaled score, its text and bar, the alert lines, the message text
that reaches the engine, and the replies that end the program or are
dropped."""

import os
import socket
import unittest

import harness

ase = harness.load_schema("ase")
err = harness.load_schema("error")

QUIET = harness.quiet_settings("Tarnwick-AS")


def error_reply(serial):
    m = ase.ServerMessage(tag=ase.ServerMessage.GET_SPAM_REPORT_RESPONSE, serial=serial)
    m.error.code = err.EC_UNEXPECTED_ERROR
    m.error.what = "scripted failure"
    return m


def default_header(text, bar):
    return "X-Junk-Score: %s [%s]\\eX-Quillon-Score: %s [%s]" % (text, bar, text, bar)


ALERT = "\\eX-Alert: possible spam!\\eX-Color: red"

# Engine score -> what the built-in header shows: the rescaled score as
# "%3d", the bar over the thresholds 0, 39, 76, 84, 90, 99, 100, and the
# alert lines from 100 on.
DEFAULT_TABLE = [
    (-1000, "  0", "", False),
    (0, " 81", "XXX", False),
    (100, " 90", "XXXX", False),
    (101, " 90", "XXXX", False),
    (120, " 91", "XXXXX", False),
    (300, "100", "XXXXXX", True),
    (301, "100", "XXXXXX", True),
    (400, "100", "XXXXXX", True),
    # Below the engine's floor: held at 0, not a negative score text.
    (-5000, "  0", "", False),
    (-1013, "  0", "", False),
    # Only the low 32 bits of the engine's 64-bit score count: 2^32 + 100 is 100.
    (4294967396, " 90", "XXXX", False),
]


class AsSession(unittest.TestCase):
    overrides = {}

    def setUp(self):
        self.s = harness.FilterSession("Tarnwick-AS", engine=None, settings=harness.merge(QUIET, self.overrides))
        self.engine = self.s.scripted_engine(schema=ase)
        self.s.start_with(self.engine)

    def tearDown(self):
        self.s.cleanup()

    def message(self, name, body=None, **envelope):
        envelope.setdefault("sender", "sender@example.org")
        envelope.setdefault("source", "smtp [192.0.2.7]")
        envelope.setdefault("recipients", ["rcpt@example.com"])
        if body is None:
            body = "From: <%s>\nSubject: %s\n\ntext of %s\n" % (envelope["sender"], name, name)
        return self.s.add_message(body, name, **envelope)

    def rate(self, token, path, score):
        """One request through the engine: returns (log line, answer line)."""
        self.s.request(token, path)
        req = self.engine.recv_request()
        self.assertEqual(req.tag, ase.ClientMessage.GET_SPAM_REPORT_REQUEST)
        self.assertEqual(req.serial, int(token))
        self.engine.send(harness.spam_rating(ase, req.serial, score))
        log = self.s.expect(lambda line: line.startswith("* original score="))
        return log, self.s.next_line()


class RescalingTest(AsSession):
    def test_rescaling_table_with_builtin_header(self):
        for n, (score, text, bar, alert) in enumerate(DEFAULT_TABLE):
            path = self.message("r%02d.msg" % n)
            log, answer = self.rate(str(21 + n), path, score)
            self.assertEqual(log, "* original score=%d" % ((score + 2 ** 31) % 2 ** 32 - 2 ** 31))
            self.assertEqual(answer, '%d ADDHEADER "%s%s"' % (21 + n, default_header(text, bar),
                                                              ALERT if alert else ""))
        # A token with leading zeros is answered by its number.
        log, answer = self.rate("0043", self.message("zero.msg"), 120)
        self.assertEqual(answer, '43 ADDHEADER "%s"' % default_header(" 91", "XXXXX"))


class CustomRangesTest(AsSession):
    overrides = {
        "AlertLevel": "90",
        "BarScoreRanges": ["10", "50", "100"],
        "Header": "X-Score: ^1\\eX-Bar: ^2\\eX-Again: ^1[^2]",
        # Markers in the alert text are not replaced.
        "AlertHeader": "X-Alert: ^1 spam",
    }

    def test_alert_level_ranges_and_error_reply(self):
        table = [
            (100, " 90", "XX", True),  # exactly the alert level
            (99, " 89", "XX", False),
            (-1000, "  0", "", False),
            (-877, " 10", "", False),  # equal to the first threshold: no bar
            (-865, " 11", "X", False),
            (-388, " 50", "X", False),  # a threshold is not counted by its own value
            (-376, " 51", "XX", False),
            (400, "100", "XX", True),
        ]
        for n, (score, text, bar, alert) in enumerate(table):
            log, answer = self.rate(str(60 + n), self.message("c%d.msg" % n), score)
            self.assertEqual(log, "* original score=%d" % score)
            expected = "X-Score: %s\\eX-Bar: %s\\eX-Again: %s[%s]" % (text, bar, text, bar)
            if alert:
                expected += "\\eX-Alert: ^1 spam"
            self.assertEqual(answer, '%d ADDHEADER "%s"' % (60 + n, expected))

        # A reply with an error instead of a report fails its request only.
        self.s.request(70, self.message("e.msg"))
        self.engine.recv_request()
        self.engine.send(error_reply(70))
        self.assertEqual(self.s.answer(70), "70 FAILURE error=EC_UNEXPECTED_ERROR")
        log, answer = self.rate("71", self.message("f.msg"), 400)
        self.assertRegex(answer, r'^71 ADDHEADER "X-Score: 100')
        self.assertEqual(self.s.quit(), 0)


class RequestTextTest(AsSession):
    def test_text_sent_replies_dropped_and_quit(self):
        s, engine = self.s, self.engine

        # The message is sent without its envelope.
        body = "From: <a@example.org>\nSubject: plain\n\nfirst line\nsecond line\n"
        s.request(1, self.message("plain.msg", body))
        self.assertEqual(engine.recv_request().message, harness.to_bytes(body))

        # A zero byte early in the message hides nothing: the whole rest is sent.
        body = b"Subject: zero\n\nab\0cd and the rest\0of it\n"
        s.request(2, self.message("zero.msg", body))
        self.assertEqual(engine.recv_request().message, body)

        # CR LF envelope: the text starts after the first CR LF CR LF.
        body = b"Subject: crlf\r\n\r\nbody\r\n"
        s.request(3, self.message("crlf.msg", body, crlf=True))
        self.assertEqual(engine.recv_request().message, body)

        # An envelope followed directly by a header line ends in front of
        # it: the header lines reach the engine.
        s.request(4, s.add_file(b"P <a@example.org>\nR <b@example.net>\nSubject: direct\n\nbody\n", "direct.msg"))
        self.assertEqual(engine.recv_request().message, b"Subject: direct\n\nbody\n")

        # An empty message is sent as an empty text.
        s.request(5, self.message("empty.msg", b""))
        req = engine.recv_request()
        self.assertEqual((req.serial, req.message), (5, b""))

        # A reply for no pending request is logged and dropped; the next
        # reply is handled as usual.
        engine.send(harness.spam_rating(ase, 777, 0))
        engine.send(harness.spam_rating(ase, 1, 120))
        s.expect("* no pending request for serial 777, reply dropped")
        self.assertEqual(s.next_line(), "* original score=120")
        self.assertEqual(s.next_line(), '1 ADDHEADER "%s"' % default_header(" 91", "XXXXX"))
        self.assertFalse([line for line in s.lines() if line.startswith("777 ")])
        for serial in (2, 3, 4, 5):
            engine.send(harness.spam_rating(ase, serial, 0))
        got = s.answers([2, 3, 4, 5])
        self.assertEqual(got, {str(n): ['%d ADDHEADER "%s"' % (n, default_header(" 81", "XXX"))]
                               for n in (2, 3, 4, 5)})

        # A file that exists but cannot be read gets the existence FAILURE
        # answer with the system's text, and the program goes on.
        sock_rel = os.path.join("Queue", "socket.msg")
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.addCleanup(listener.close)
        listener.bind(os.path.join(s.base, sock_rel))
        s.request("0008", sock_rel)
        self.assertEqual(s.answer("0008"), "0008 FAILURE Unable to check file for existence: %s%s, "
                         "error=No such device or address" % (s.base + "/", sock_rel))

        # After QUIT an incorrect reply ends only the reader thread.  The
        # program may have closed the connection first (its stop does not
        # wait for replies), and its exit does not wait for the reader's
        # last line: the same last line ends its output then.
        s.send_line("9 QUIT")
        s.expect("* quit accepted")
        try:
            engine.send(error_reply(6))
        except OSError:
            pass
        rest = s.rest()
        self.assertLessEqual(rest.count("* reader thread ended"), 1, rest)
        self.assertEqual(rest[-1], "* Tarnwick-AS plugin finished.", rest)
        self.assertEqual(s.wait_exit(), 0)

    # A directory passes the existence test and opens, but its read fails
    # (EISDIR): that is no empty message to be rated.  Root reads any file,
    # so this stands for an unreadable message file in every test run.
    def test_directory_named_like_a_message(self):
        rel = os.path.join("Queue", "dir.msg")
        os.makedirs(os.path.join(self.s.base, rel))
        self.s.request("0011", rel)
        try:
            answer = self.s.answer("0011", timeout=3)
        except TimeoutError:
            req = self.engine.recv_request(timeout=1)
            self.fail("no answer; the engine got request %s with a %d-byte message"
                      % (req.serial, len(req.message)) if req else "no answer and no request")
        self.assertEqual(answer, "0011 FAILURE Unable to check file for existence: %s/%s, "
                         "error=not a regular file" % (self.s.base, rel))


if __name__ == "__main__":
    unittest.main()
