"""The simulated mail server (the harness package under sim/) as the
other end-to-end tests use it: settings it writes are accepted, sessions start, answer, end and
leave nothing behind, and the scripted engine sees the filter's frames."""

import os
import time
import unittest

import harness

BIN = harness.default_bin_dir()


def built(*names):
    return all(os.path.exists(os.path.join(BIN, n)) for n in names)


class SettingsTextTest(unittest.TestCase):
    def test_quoting(self):
        # Backslash-e stays a pair; other backslashes and quotes are escaped.
        self.assertEqual(harness.cfg_quote('a "b" c:\\d ^1\\e'), '"a \\"b\\" c:\\\\d ^1\\e"')
        self.assertEqual(harness.cfg_quote("two\nlines"), '"two\\\nlines"')

    def test_merge(self):
        base = harness.av_settings("/s.sock")
        merged = harness.merge(base, {"Mode": "Discard", "PostProcess": None,
                                      "NotificationMessage": {"Footer": "F"}})
        self.assertEqual(merged["Mode"], "Discard")
        self.assertNotIn("PostProcess", merged)
        self.assertEqual(merged["NotificationMessage"]["Caption"], "Virus found: ")
        self.assertEqual(merged["NotificationMessage"]["Footer"], "F")
        self.assertEqual(base["Mode"], "Reject")  # the defaults are not touched
        text = harness.cfg_file(merged).decode()
        self.assertIn('Footer = "F";', text)
        self.assertIn('Description = ("A message to you carried a virus.");', text)

    def test_queue_file(self):
        data = harness.queue_file("Subject: x\n\nbody", sender="a@b", source="mx [1.2.3.4]",
                                  recipients=("c@d", "e@f"), crlf=True)
        self.assertEqual(data, b"P <a@b>\r\nS mx [1.2.3.4]\r\nR <c@d>\r\nR <e@f>\r\n\r\nSubject: x\n\nbody")
        self.assertEqual(harness.queue_file("m", envelope=False), b"m")


@unittest.skipUnless(built("Tarnwick-AV", "sim-scan-engine"), "programs not built")
class AntiVirusSessionTest(unittest.TestCase):
    def test_round_trip_and_cleanup(self):
        with harness.FilterSession("Tarnwick-AV", mode="AddHeader", engine_args=["--shuffle", "2"]) as s:
            root = s.root
            s.start()
            s.send_line("5 INTF 3")
            self.assertEqual(s.answer("5"), "5 INTF 3 PROD=QLON")
            clean = s.add_message("Subject: hi\n\nhello\n", sender="a@x", source="mx", recipients=["b@y"])
            infected = s.add_message("Subject: t\n\n" + harness.eicar(), sender="a@x", recipients=["b@y"])
            mark = s.mark()
            s.request(17, clean)
            s.request(18, infected)
            got = s.answers([17, 18], timeout=10, after=mark)
            self.assertEqual(got, {"17": ["17 OK"], "18": ['18 ADDHEADER "X-Virus: EICAR-Test-File"']})
            self.assertEqual(sorted(s.engine.wait_requests(2)), [17, 18])
            self.assertEqual(s.quit(), 0)
            self.assertEqual(s.temp_files(), [])
            names = s.submitted_files()
            self.assertTrue(any(n.startswith("Qln_AV_report_") and n.endswith(".sub") for n in names), names)
            self.assertTrue(any(n.startswith("Qln_AV_stopped_") for n in names), names)
            # The output has ended: waiting for more fails at once, not at the timeout.
            started = time.monotonic()
            with self.assertRaises(TimeoutError):
                s.wait_for("never", timeout=30)
            self.assertLess(time.monotonic() - started, harness.scaled(5, below=harness.scaled(30)))
        self.assertFalse(os.path.exists(root))

    def test_scripted_engine(self):
        with harness.FilterSession("Tarnwick-AV", engine=None) as s:
            engine = s.scripted_engine()
            s.write_settings(harness.av_settings(engine.socket_path))
            s.start()
            engine.accept()
            self.assertEqual(engine.recv_frame(), b"\x08\x03")  # SUBSCRIBE_INFO
            path = s.add_message("Subject: x\n\nbody\n", sender="a@x", recipients=["b@y"])
            s.request(17, path)
            frame = engine.recv_frame()
            self.assertTrue(frame.startswith(b"\x08\x01\x10\x11\x1a"), frame)  # scan request, serial 17
            self.assertTrue(frame.endswith(b"Temp/message_17.tmp"), frame)
            scanned = frame[frame.index(b"/"):]
            report = b"\x0a" + bytes([len(scanned)]) + scanned
            engine.send_frame(b"\x08\x02\x10\x11\x22" + bytes([len(report)]) + report)
            self.assertEqual(s.answer(17), "17 OK")
            # The engine going away ends the filter with status 1.
            engine.close_connection()
            self.assertEqual(s.wait_exit(), 1)


@unittest.skipUnless(built("Tarnwick-AS", "sim-spam-engine"), "programs not built")
class AntiSpamSessionTest(unittest.TestCase):
    def test_whitelisted_sender_never_reaches_engine(self):
        with harness.FilterSession("Tarnwick-AS", whitelist=["*@trusted.example"]) as s:
            s.start()
            self.assertRegex(s.next_line(), r"^\* Tarnwick-AS plugin version .* started$")
            listed = s.add_message("Subject: hi\n\nviagra\n", sender="Friend@Trusted.Example", recipients=["b@y"])
            rated = s.add_message("Subject: hi\n\nviagra\n", sender="x@other.example", recipients=["b@y"])
            s.request(1, listed)
            s.request(2, rated)
            got = s.answers([1, 2])
            self.assertEqual(got["1"], ['1 ADDHEADER "X-Junk-Score: 0 []\\eX-Quillon-Score: 0 []"'])
            self.assertTrue(got["2"][0].startswith('2 ADDHEADER "X-Junk-Score:  73 [XX]'), got)
            self.assertEqual(s.engine.requests(), [2])
            s.close_stdin()
            self.assertEqual(s.wait_exit(), 0)
            s.wait_for("* Quit request accepted.")


if __name__ == "__main__":
    unittest.main()
