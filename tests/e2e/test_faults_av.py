"""Fault injection against Tarnwick-AV: the shared cases of faults_common
(engine dying or stalling, reload in a burst, submission directory and
statistics file taken away, odd queue files) and the scan engine's broken
frames."""

import unittest

import harness
from harness import field, varint

from faults_common import FaultCases, FrameCases, section_counts

se = harness.load_schema("se")

CLEAN = r"^\d+ OK$"


class AntiVirusFaults(FaultCases, unittest.TestCase):
    program = "Tarnwick-AV"
    mode = "Discard"
    ordinary = CLEAN
    directory_answer = r"^10 FAILURE Unable to check file for existence: .*, error=not a regular file$"

    # A virus notification is the file written while serving.
    def submission_settings(self):
        settings = harness.quiet_settings(self.program, notify=True, events=True)
        settings["Mode"] = "Reject"
        return settings

    def infected(self, s, token):
        path = s.add_file(harness.queue_file(harness.mail_text("infected %d" % token, harness.eicar()),
                                             sender="a@example.org", recipients=["b@example.net"]),
                          "v%d.msg" % token)
        mark = s.mark()
        s.request(token, path)
        self.assertRegex(s.answer(token, after=mark), r'^%d ERROR "Virus found: EICAR-Test-File\\e' % token)
        return mark

    # Scan requests are small: 2,000 of them fit the send queue.
    def check_busy(self, s, busy):
        self.assertEqual(busy, [])

    def while_submission_broken(self, s, token, errno_text):
        mark = self.infected(s, token)
        self.assertIn("* open failed, %s" % errno_text, s.lines(mark))

    def after_submission_restored(self, s, token):
        self.infected(s, token)
        s.wait_submitted("Qln_AV_notify_")

    # Infected messages count their virus, source and recipients.
    def counted_extra(self, n):
        return harness.eicar() if n % 2 == 0 else ""

    def check_counted(self, text):
        self.assertEqual(section_counts(text, "Viruses"), {"EICAR-Test-File": 3})
        self.assertEqual(sum(section_counts(text, "Sources").values()), 3)
        self.assertEqual(section_counts(text, "Targets"),
                         {"r0@example.net": 1, "r1@example.net": 1, "r2@example.net": 1})


def scan_result(serial, report=None):
    m = se.ServerMessage(tag=se.ServerMessage.SCAN_FILE_RESULT, serial=serial)
    if report is not False:
        m.scan_report.object = b"/scanned"
    return m


def deep_report(depth, virus=None):
    """A ScanReport with `depth` levels of items below it, encoded by hand
    (the library refuses to build what it would refuse to parse)."""
    inner = field(1, 2, b"/d")
    if virus:
        inner += field(6, 2, field(1, 0, se.SE_KNOWN_VIRUS) + field(2, 2, virus.encode()))
    for _ in range(depth):
        inner = field(1, 2, b"/d") + field(20, 2, inner)
    return inner


class AntiVirusFrames(FrameCases, unittest.TestCase):
    program = "Tarnwick-AV"
    schema = "se"
    ordinary = CLEAN

    def after_connect(self, engine):
        self.assertEqual(engine.recv_request().tag, se.ClientMessage.SUBSCRIBE_INFO)

    def answer_frame(self, serial):
        return scan_result(serial).SerializeToString()

    def fatal_frames(self):
        no_type = scan_result(17)
        no_type.scan_report.virus.add(name="Untyped")
        no_object = scan_result(17, report=False)
        no_object.scan_report.size = 5
        return [
            ("tag value outside the enumeration", field(1, 0, 99) + field(2, 0, 17)),
            ("no tag at all", field(2, 0, 17) + field(4, 2, field(1, 2, b"/x"))),
            ("virus without its type", no_type.SerializePartialToString()),
            ("report without its object", no_object.SerializePartialToString()),
            ("report tree 3000 deep",
             field(1, 0, se.ServerMessage.SCAN_FILE_RESULT) + field(2, 0, 17) + field(4, 2, deep_report(3000))),
            ("bytes that are no encoding", b"\xff" * 40),
            ("length of a field past the frame", field(1, 0, 2) + field(2, 0, 17) + varint(4 << 3 | 2) + varint(500)),
        ]

    def test_dropped_tags_and_deep_tree_within_limits(self):
        s, engine = self.begin()
        self.pending(s, engine, 17)
        self.pending(s, engine, 18)
        # A scan progress frame is dropped; the reader goes on.
        engine.send(se.ServerMessage(tag=se.ServerMessage.SCAN_FILE_INFO, serial=17))
        # 90 levels of archive members are within what the parser takes;
        # the virus at the bottom decides the verdict.
        engine.send_frame(field(1, 0, se.ServerMessage.SCAN_FILE_RESULT) + field(2, 0, 17) +
                          field(4, 2, deep_report(90, virus="Deep.Down")))
        self.assertEqual(s.answer(17), "17 DISCARD")
        self.assertIn("* (17) Deep.Down\\e", s.lines())
        # A root error wins over the viruses listed with it.
        failed = scan_result(18)
        failed.scan_report.error = se.SE_SCAN_TIMEOUT
        failed.scan_report.virus.add(type=se.SE_KNOWN_VIRUS, name="Ignored")
        engine.send(failed)
        self.assertEqual(s.answer(18), "18 FAILURE error=SE_SCAN_TIMEOUT")
        # A reply for nothing pending is dropped without an answer.
        engine.send(scan_result(99))
        self.assert_alive_and_quit(s)
        self.assert_once(s, ["17", "18"])
        self.assertFalse([l for l in s.lines() if l.startswith("99 ")])

    def assert_alive_and_quit(self, s):
        mark = s.mark()
        s.send_line("6 INTF")
        self.assertEqual(s.answer("6", after=mark), "6 INTF 3 PROD=QLON")
        self.assertEqual(s.quit(), 0)
        self.assertFalse(s.output_ended_inside_line())


if __name__ == "__main__":
    unittest.main()
