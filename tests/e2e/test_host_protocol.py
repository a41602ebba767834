"""The filter protocol, start-up and shutdown of both programs, driven
through their standard input and output with a scripted engine."""

import os
import struct
import time
import unittest

import harness

SLOW = harness.TIMEOUT_SCALE


def assert_orderly_end(test, f):
    """After QUIT: the engine closed, the last line, exit code 0.  The
    reader is not waited for at the exit, so its "ended" line may come or
    not (a loaded machine may not run it in time); never twice, and never
    after the last line."""
    rest = f.rest()
    test.assertIn("* Closing Engine", rest)
    test.assertEqual(rest[-1], "* %s plugin finished." % f.program, rest)
    test.assertLessEqual(rest.count("* reader thread ended"), 1, rest)
    test.assertFalse([l for l in rest if "Error" in l], rest)
    test.assertEqual(f.wait_exit(), 0)


class ProtocolTest(unittest.TestCase):
    program = "Tarnwick-AV"

    def setUp(self):
        self.s = harness.FilterSession(self.program, engine=None, settings=harness.quiet_settings(self.program))
        self.engine = self.s.scripted_engine()

    def tearDown(self):
        self.s.cleanup()

    def started(self, *args):
        self.s.program_args = list(args)
        self.s.start()
        self.s.expect("* %s plugin version 1.1 Linux-x86_64 build 1-Dec-2020 started" % self.program)
        self.s.expect("* Connected to %s" % self.s.socket_path)
        self.s.expect("* reader thread started")
        self.engine.accept()
        return self.s

    def test_answers_byte_for_byte(self):
        f = self.started()
        f.send(b"12 INTF 3\n13 INTF\n14 FILE \n15 FILE\n16 FILEX a\n17 file x\nnocommand\n\n")
        f.send(b"18 INTF\r\n1\r9 IN\rTF\n21\tINTF\n22 \xe9t\xe9\n0042   INTF  trailing\n")
        self.assertEqual(f.next_answers(13), [
            "12 INTF 3 PROD=QLON",
            "13 INTF 3 PROD=QLON",
            "14 FAILURE Missing file name: FILE",
            "15 OK Unknown command: FILE",
            "16 OK Unknown command: FILEX a",
            "17 OK Unknown command: file x",
            "nocommand FAILURE Missing command.",
            " FAILURE Missing command.",
            "18 INTF 3 PROD=QLON",
            "19 INTF 3 PROD=QLON",
            "21\tINTF FAILURE Missing command.",
            harness.to_text(b"22 OK Unknown command: \xe9t\xe9"),
            "0042 INTF 3 PROD=QLON",
        ])
        # 1500 characters: a line of the first 1043, then one of the other 457.
        f.send("20 " + "A" * 1497 + "\n")
        self.assertEqual(f.next_answers(2), ["20 OK Unknown command: " + "A" * 1040,
                                             "A" * 457 + " FAILURE Missing command."])
        f.send("   QUITNOW\n")
        f.expect("* quit accepted")
        assert_orderly_end(self, f)
        self.assertFalse(f.output_ended_inside_line())

    def test_end_of_input_drops_unfinished_line(self):
        f = self.started()
        f.send(b"1 INTF\n2 INTF")
        self.assertEqual(f.next_answers(1), ["1 INTF 3 PROD=QLON"])
        f.close_stdin()
        f.expect("* Quit request accepted.")
        rest = f.rest()
        self.assertFalse([l for l in rest if not l.startswith("* ")], rest)
        self.assertEqual(f.wait_exit(), 0)

    def test_idle_request_is_answered_at_once(self):
        f = self.started()
        time.sleep(3.2)
        started = time.time()
        f.send("7 INTF\n")
        f.expect("7 INTF 3 PROD=QLON")
        # A one-second sleep between polls would show up as up to a second.
        self.assertLess(time.time() - started, 0.5 * SLOW)

    def test_debug_clears_temp_but_not_dot_files(self):
        temp = os.path.join(self.s.base, "Temp")
        os.makedirs(temp)
        for name in ("afile", ".hidden"):
            open(os.path.join(temp, name), "w").close()
        f = self.s
        f.program_args = ["-DEBUG"]
        f.start()
        f.expect("* clearing Temp")
        f.expect("* * Deleting %s/afile" % temp)
        f.expect("* reader thread started")
        self.assertEqual(sorted(os.listdir(temp)), [".hidden"])
        self.assertNotIn("* * Deleting %s/.hidden" % temp, f.seen())

    def test_temp_directory_created_with_mode_0770(self):
        old = os.umask(0o077)
        try:
            self.started()
        finally:
            os.umask(old)
        mode = os.stat(os.path.join(self.s.base, "Temp")).st_mode & 0o777
        self.assertEqual(mode, 0o770)


class ProtocolTestAS(ProtocolTest):
    program = "Tarnwick-AS"


class StartupFailureTest(unittest.TestCase):
    """Fatal start-up problems end the process with code 1 and the exact line."""

    def session(self, program="Tarnwick-AV", overrides=None):
        s = harness.FilterSession(program, engine=None,
                                  settings=harness.merge(harness.quiet_settings(program), overrides))
        self.addCleanup(s.cleanup)
        return s

    def finish(self, s, write_settings=True):
        s.start(write_settings=write_settings)
        rest = s.rest()
        self.assertEqual(s.wait_exit(), 1)
        return rest

    def test_missing_settings_file(self):
        s = self.session()
        out = self.finish(s, write_settings=False)
        cfg = s.settings_path()
        self.assertEqual(out[1:4], ["* Error in %s " % cfg, "* unable to open file",
                                    "Configuration error: Tarnwick-AV.cfg is missing the Socket item"])

    def test_broken_settings_file(self):
        s = self.session()
        s.write_settings("Socket = a/b;\n")
        out = self.finish(s)
        cfg = s.settings_path()
        self.assertEqual(out[1:4], ["* Error in %s line 1 " % cfg, "* Syntax error: ';' expected",
                                    "Configuration error: Tarnwick-AV.cfg is missing the Socket item"])

    def test_missing_submission_directory(self):
        out = self.finish(self.session(overrides={"SubmittedDirectory": "Nope"}))
        self.assertIn("* FAILURE unable to access directory Nope", out)
        out = self.finish(self.session("Tarnwick-AS", overrides={"SubmittedDirectory": "Nope"}))
        self.assertIn("* FAILURE: unable to access directory Nope", out)

    def test_engine_not_listening(self):
        s = self.session()
        out = self.finish(s)
        self.assertEqual(out[-1], "* Error: Cannot connect to ScanEngine: No such file or directory : %s"
                         % s.socket_path)

    def test_socket_path_too_long(self):
        long_path = "/tmp/" + "s" * 120
        out = self.finish(self.session(overrides={"Socket": long_path}))
        self.assertEqual(out[-1], "* Error: Cannot connect to ScanEngine: File name too long : %s" % long_path)


class EngineFailureTest(unittest.TestCase):
    """A broken engine link ends the process with code 1, never half a line."""

    program = "Tarnwick-AV"

    def setUp(self):
        self.s = harness.FilterSession(self.program, engine=None, settings=harness.quiet_settings(self.program))
        self.engine = self.s.scripted_engine()
        self.s.start_with(self.engine)
        if self.program == "Tarnwick-AV":
            # The information subscription is the program's last send at
            # start-up; once it is here, a failure comes from the reader alone.
            self.assertEqual(self.engine.recv_frame(), b"\x08\x03")

    def tearDown(self):
        self.s.cleanup()

    def test_engine_closes_connection(self):
        self.engine.close_connection()
        rest = self.s.rest()
        # The fixed text, with the cause (no errno is set at end of stream).
        self.assertEqual(rest[-1],
                         "* Error: Cannot get data from ScanEngine: connection closed by the engine",
                         rest)
        self.assertEqual(self.s.wait_exit(), 1)

    def test_empty_reply_does_not_parse(self):
        self.engine.send_raw(b"\0\0\0\0")
        rest = self.s.rest()
        self.assertEqual(self.s.wait_exit(), 1)
        self.assertFalse([l for l in rest if "Error" in l], rest)

    def test_huge_length_prefix_is_refused_at_once(self):
        self.engine.send_raw(struct.pack("<I", 0x7FFFFFFF))
        self.s.rest()
        self.assertEqual(self.s.wait_exit(), 1)

    def test_engine_gone_after_quit_ends_only_the_reader(self):
        # The connection closed at the shutdown fails the reader's receive:
        # after QUIT that is no failure of the program.
        self.s.send("1 QUIT\n")
        self.s.expect("* quit accepted")
        assert_orderly_end(self, self.s)


class EngineFailureTestAS(EngineFailureTest):
    program = "Tarnwick-AS"


if __name__ == "__main__":
    unittest.main()
