"""Attacks through the mail and the files the filters read, each written
as the attack and the outcome that must not happen, then the sound one:
shared tokens, planted links, FIFOs, CR LF queue files that smuggle
recipients (the spoofed whitelisted sender is in test_as_whitelist), hostile virus names in the
post-processing command, a command that reads the server's channel or
never ends, and a full submission directory."""

import os
import re
import shutil
import stat
import subprocess
import time
import unittest

import harness

se = harness.load_schema("se")
SLOW = harness.TIMEOUT_SCALE
EICAR = harness.eicar()


def av_session(**overrides):
    settings = harness.merge(harness.quiet_settings("Tarnwick-AV", notify=True), overrides)
    s = harness.FilterSession("Tarnwick-AV", engine=None, settings=settings)
    engine = s.scripted_engine(schema=se)
    return s, engine


def verdicts(engine, s, count):
    """Plays an engine that scans each copy it is named, as it comes:
    infected when the copy holds the test string.  Returns the copies read.
    (A request whose token another pending request shares comes only once
    that one is answered.)"""
    copies = []
    for _ in range(count):
        copies += harness.scan_copies(engine, 1)
        serial, _, data = copies[-1]
        engine.send(harness.scan_result(se, serial, ["EICAR-Test-File"] if data and EICAR.encode() in data else []))
    return copies


class AntiVirusFiles(unittest.TestCase):
    def setUp(self):
        self.s, self.engine = av_session()
        self.s.start_with(self.engine)
        self.engine.recv_frame()  # the information subscription

    def tearDown(self):
        self.s.cleanup()

    def test_shared_tokens_and_planted_link_never_share_a_copy(self):
        s = self.s
        infected = s.add_message(EICAR, sender="a@x.example", recipients=["b@y.example"])
        clean = s.add_message("Subject: clean\n\nhello\n", sender="a@x.example", recipients=["b@y.example"])
        # A link planted at the name the copy of token 7 would take.
        target = os.path.join(s.root, "precious")
        with open(target, "w") as f:
            f.write("untouched")
        os.symlink(target, os.path.join(s.base, "Temp", "message_7.tmp"))

        s.send("5 FILE %s\n5 FILE %s\n1/2 FILE %s\n1_2 FILE %s\n7 FILE %s\n"
               % (infected, clean, infected, clean, infected))
        copies = verdicts(self.engine, s, 5)
        # Each request scanned its own message (a name may be used again once
        # its copy is gone, never while it is in use).
        self.assertEqual(sorted(EICAR.encode() in (data or b"") for _, _, data in copies),
                         [False, False, True, True, True], copies)
        # Answers name a request by the number of its token.
        got = s.wait_count(re.compile(r"^[157] (OK|ERROR)"), 5)
        for token in ("5", "1"):
            self.assertEqual(sorted(line.split(" ")[1] for line in got if line.startswith(token + " ")),
                             ["ERROR", "OK"], got)
        self.assertEqual(s.answer("7").split(" ")[1], "ERROR")
        with open(target) as f:
            self.assertEqual(f.read(), "untouched")
        self.assertTrue(os.path.islink(os.path.join(s.base, "Temp", "message_7.tmp")))

    def test_fifo_and_directory_answered_at_once(self):
        s = self.s
        os.mkfifo(os.path.join(s.base, "Queue", "pipe"))
        start = time.monotonic()
        s.send("3 FILE Queue/pipe\n4 INTF\n")
        self.assertEqual(s.answer("4", timeout=0.1), "4 INTF 3 PROD=QLON")
        self.assertLess(time.monotonic() - start, 0.1 * SLOW)
        self.assertEqual(s.answer("3", timeout=2), "3 FAILURE Unable to check file for existence: %s/Queue/pipe, "
                         "error=not a regular file" % s.base)

    def notification_of(self, data):
        s = self.s
        path = s.add_file(data)
        s.request(9, path)
        verdicts(self.engine, s, 1)
        self.assertTrue(s.answer(9).startswith("9 ERROR"))
        name = s.wait_submitted("Qln_AV_notify_")[0]
        st = os.stat(os.path.join(s.submitted, name))
        self.assertEqual(stat.S_IMODE(st.st_mode), 0o644)
        os.rename(os.path.join(s.submitted, name), os.path.join(s.root, name))
        with open(os.path.join(s.root, name), "rb") as f:
            return f.read()

    def test_crlf_queue_files_give_no_recipients_or_body_from_the_message(self):
        # CR LF throughout: a body line that looks like an envelope line.
        text = self.notification_of(b"P <a@x.example>\r\nR <b@y.example>\r\n\r\nSubject: hi\r\n\r\n"
                                    b"R <victim@elsewhere.example>\r\n" + EICAR.encode() + b"\r\n")
        self.assertNotIn(b"victim", text)
        self.assertIn(b"\nTo: b@y.example\n", text)
        self.assertNotIn(EICAR.encode(), text)
        # An LF envelope before a CR LF message: only its header block.
        text = self.notification_of(b"R <b@y.example>\n\nSubject: hi\r\nFrom: a\r\n\r\n" + EICAR.encode() + b"\r\n")
        self.assertIn(b"Subject: hi\r\nFrom: a\r\n", text)
        self.assertNotIn(EICAR.encode(), text)


class TempDirectory(unittest.TestCase):
    def test_temp_that_is_a_link_stops_the_start(self):
        s, _ = av_session()
        try:
            elsewhere = os.path.join(s.root, "elsewhere")
            os.mkdir(elsewhere)
            with open(os.path.join(elsewhere, "keep.txt"), "w") as f:
                f.write("mine")
            os.symlink(elsewhere, os.path.join(s.base, "Temp"))
            s.start()
            self.assertEqual(s.wait_exit(10), 1)
            self.assertIn("* Temp directory %s/Temp is not a directory of its own (a link or a file)" % s.base,
                          s.lines())
            self.assertEqual(os.listdir(elsewhere), ["keep.txt"])
        finally:
            s.cleanup()

    def test_names_in_temp_cannot_forge_a_line(self):
        s, engine = av_session()
        s.debug = True
        try:
            temp = os.path.join(s.base, "Temp")
            os.mkdir(temp)
            open(os.path.join(temp, "x\n4711 OK"), "w").close()
            os.symlink(os.path.join(s.root, "prog"), os.path.join(temp, "link"))
            s.start_with(engine)
            self.assertNotIn("4711 OK", s.lines())
            self.assertIn("* * Deleting %s/Temp/x\\x0a4711 OK" % s.base, s.lines())
            self.assertEqual(os.listdir(temp), [])
            self.assertTrue(os.path.isdir(os.path.join(s.root, "prog")))
        finally:
            s.cleanup()


HOSTILE_NAME = "Worm.X; touch pwned # 'q' \"d\" $(touch pwned2) `touch pwned3`"


class PostProcessing(unittest.TestCase):
    def run_infected(self, command, name=HOSTILE_NAME, tokens=(1,)):
        self.s, self.engine = av_session(PostProcess=command, RejectOptions={"NotifyRecipients": ""})
        self.s.start_with(self.engine)
        self.engine.recv_frame()
        for token in tokens:
            self.s.request(token, self.s.add_message(EICAR, sender="a@x.example", recipients=["b@y.example"]))
        for req in self.engine.recv_requests(len(tokens)):
            self.engine.send(harness.scan_result(se, req.serial, [name]))

    def tearDown(self):
        self.s.cleanup()

    def test_three_quoting_forms_deliver_the_name_intact(self):
        self.run_infected("printf '[%s]\\n' ^1 ^2 \"^2\" '^2' \"x ^2 y\" > post.out")
        self.assertTrue(self.s.answer(1).startswith("1 ERROR"))
        self.s.quit()
        with open(os.path.join(self.s.base, "post.out")) as f:
            lines = f.read().splitlines()
        path = lines[0][1:-1]
        self.assertTrue(path.startswith("Queue/"), lines)
        self.assertEqual(lines[1:], ["[%s]" % HOSTILE_NAME] * 3 + ["[x %s y]" % HOSTILE_NAME])
        for planted in ("pwned", "pwned2", "pwned3"):
            self.assertFalse(os.path.exists(os.path.join(self.s.base, planted)), planted)
        # No notification: an empty NotifyRecipients means no.
        self.assertEqual(self.s.submitted_files("Qln_AV_notify_"), [])

    def test_command_reads_no_request_and_writes_no_answer(self):
        self.run_infected("cat; echo 12 OK", tokens=(1,))
        self.s.send("12 INTF\n13 INTF\n")
        self.assertEqual(self.s.answer(12), "12 INTF 3 PROD=QLON")
        self.assertEqual(self.s.answer(13), "13 INTF 3 PROD=QLON")
        self.assertTrue(self.s.answer(1).startswith("1 ERROR"))
        self.assertIn("* PostProcess: 12 OK", self.s.lines())
        self.assertNotIn("12 OK", self.s.lines())

    # A minute of waiting: once, in the plain build, is enough.
    @harness.ci_may_skip("plain build only")
    @unittest.skipIf(os.environ.get("TARNWICK_SKIP_SLOW") or os.environ.get("TARNWICK_SANITIZE"),
                     "takes a minute; runs in the plain build")
    def test_endless_command_killed_after_a_minute_and_answers_flow(self):
        start = time.monotonic()
        self.run_infected("sleep 600")
        # A clean reply behind it waits in the engine socket.
        self.s.request(2, self.s.add_message("Subject: clean\n\nhi\n", recipients=["b@y.example"]))
        self.engine.send(harness.scan_result(se, self.engine.recv_request().serial))
        self.s.wait_for("* PostProcess: still running after 60 s, its process group was killed", timeout=70)
        self.assertGreaterEqual(time.monotonic() - start, 59)
        self.assertTrue(self.s.answer(1).startswith("1 ERROR"))
        self.assertEqual(self.s.answer(2), "2 OK")


@unittest.skipUnless(os.geteuid() == 0 and shutil.which("mount"), "mounting a small file system needs root")
class FullSubmissionDirectory(unittest.TestCase):
    @harness.ci_may_skip("a container may forbid mounting")
    def test_nothing_half_written_is_submitted(self):
        s, engine = av_session()
        mounted = False
        try:
            if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=16k", "tmpfs", s.submitted]).returncode != 0:
                self.skipTest("tmpfs cannot be mounted here")
            mounted = True
            with open(os.path.join(s.submitted, "filler"), "wb") as f:
                try:
                    f.write(b"x" * 65536)
                except OSError:
                    pass
            s.start_with(engine)
            engine.recv_frame()
            s.request(1, s.add_message(EICAR, sender="a@x.example", recipients=["b@y.example"]))
            verdicts(engine, s, 1)
            self.assertTrue(s.answer(1).startswith("1 ERROR"))
            log = [line for line in s.lines() if "nothing submitted" in line]
            self.assertTrue(log, s.lines()[-10:])
            self.assertEqual([n for n in os.listdir(s.submitted) if n != "filler"], [])
        finally:
            s.cleanup() if not mounted else s.stop()
            if mounted:
                subprocess.run(["umount", s.submitted])
                s.cleanup()


if __name__ == "__main__":
    unittest.main()
