"""Fault injection against Tarnwick-AS: the shared cases of faults_common
(engine dying or stalling, reload in a burst, submission directory and
statistics file taken away, odd queue files), a message over 32 MiB, and
the anti-spam engine's broken frames."""

import unittest

import harness
from harness import field, varint

from faults_common import MIB, FaultCases, FrameCases, nested_groups, section_counts

ase = harness.load_schema("ase")

RATED = r'^\d+ ADDHEADER "X-Junk-Score: +\d+ \[X*\]\\eX-Quillon-Score: +\d+ \[X*\]'


class AntiSpamFaults(FaultCases, unittest.TestCase):
    program = "Tarnwick-AS"
    ordinary = RATED
    # A directory opens and sizes like a file, and reads as nothing.
    directory_answer = r"^10 (ADDHEADER|FAILURE) "

    # Both ways of failing a dump: the new file cannot be opened (above), or
    # it cannot take the place of the old one.
    def statistics_obstacle(self, s):
        return s.stat_file_path()

    def check_counted(self, text):
        self.assertEqual(sum(section_counts(text, "Scores").values()), 6)
        self.assertEqual(sum(section_counts(text, "Sources").values()), 6)
        self.assertEqual(sum(section_counts(text, "Targets").values()), 6)

    # 2,000 messages of 64 KiB do not fit the 64 MiB send queue.
    def check_busy(self, s, busy):
        self.assertGreater(len(busy), 500)
        self.assertLess(len(busy), 1500)

    def test_error_replies_in_a_burst(self):
        s = self.started(self.session())
        failing = {n for n in range(1, 41) if n % 7 == 3}
        s.send(self.burst(s, 1, 40, extra=lambda n: "X-Sim-Error: EC_NOT_READY\n" if n in failing else ""))
        got = self.assert_answered_once(s, range(1, 41))
        for token, lines in got.items():
            self.assertRegex(lines[0], r"^%s FAILURE error=EC_NOT_READY$" % token if int(token) in failing
                             else RATED)
        self.assert_alive(s)
        s.send(self.burst(s, 41, 3))
        self.assert_answered_once(s, range(41, 44), pattern=RATED)
        self.assertEqual(s.quit(), 0)

    def test_message_over_32_mib_is_cut(self):
        s = self.started(self.session())
        envelope = b"P <big@example.org>\nR <r@example.net>\n\n"
        line = b"y" * 1023 + b"\n"
        body = b"Subject: big\n\n" + line * (40 * MIB // len(line))
        path = s.add_file(envelope + body, "big.msg")
        s.request(21, path)
        self.assertRegex(s.answer(21, timeout=60), RATED)
        logged = [l for l in s.engine.log_lines() if l.startswith("SPAM serial=21 ")]
        self.assertEqual(len(logged), 1, logged)
        self.assertIn(" len=%d " % (32 * MIB - len(envelope)), logged[0])
        self.assertEqual(s.quit(), 0)


class AntiSpamFrames(FrameCases, unittest.TestCase):
    program = "Tarnwick-AS"
    schema = "ase"
    ordinary = RATED

    def answer_frame(self, serial):
        return harness.spam_rating(ase, serial, -500).SerializeToString()

    def fatal_frames(self):
        no_details = harness.spam_rating(ase, 17, -500)
        no_details.spam_report.ClearField("details")
        no_serial = harness.spam_rating(ase, 17, -500)
        no_serial.ClearField("serial")
        return [
            ("tag value outside the enumeration", field(1, 0, 2) + field(2, 0, 17)),
            ("report without its details", no_details.SerializePartialToString()),
            ("reply without serial", no_serial.SerializeToString()),
            ("unknown groups 3000 deep", harness.spam_rating(ase, 17, -500).SerializeToString() + nested_groups(3000)),
            ("bytes that are no encoding", b"\xff" * 40),
            ("length of a field past the frame", field(1, 0, 1) + field(2, 0, 17) + varint(3 << 3 | 2) + varint(500)),
        ]


if __name__ == "__main__":
    unittest.main()
