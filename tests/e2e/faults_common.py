"""Fault injection shared by both programs: the engine dying in a burst or
stalling, a reload in a burst, the submission directory and the statistics
file taken away while running, and queue files of every odd shape.

test_faults_av.py and test_faults_as.py bind these cases to a program
(`program`, and the answer an ordinary message gets) and add the faults of
their own engine frames.
"""

import os
import re
import shutil
import time

import harness
from harness import field

scaled = harness.scaled
MIB = 1 << 20




def plain_message(n, extra=""):
    return harness.queue_file(harness.mail_text("message %d" % n, "text of message %d\n%s" % (n, extra)),
                              sender="s%d@example.org" % n, source="smtp [192.0.2.%d]" % (n % 200 + 1),
                              recipients=["r%d@example.net" % (n % 3)])


def answer_tokens(lines):
    return [line.split(" ", 1)[0] for line in lines if not line.startswith("* ")]


def section_counts(text, name):
    """{name: count} of one section of a statistics file."""
    body = re.search(r"^%s=\{\n(.*?)^\};$" % re.escape(name), text, re.M | re.S)
    if body is None:
        raise AssertionError("no %s section in:\n%s" % (name, text))
    return {m.group(1): int(m.group(2)) for m in re.finditer(r'^"(.*)"=(-?\d+);$', body.group(1), re.M)}


class FaultCases:
    """Mixed into a unittest.TestCase with `program`, `mode` (anti-virus) and
    `ordinary`, a regex for the answer an ordinary message gets."""

    program = None
    mode = "Discard"
    ordinary = None

    # -- helpers ------------------------------------------------------------------
    def session(self, engine_args=(), settings=None, engine="auto"):
        s = harness.FilterSession(self.program, mode=self.mode, engine=engine, engine_args=list(engine_args),
                                  settings=settings if settings is not None else harness.quiet_settings(self.program))
        self.addCleanup(s.cleanup)
        return s

    def started(self, s):
        s.start()
        s.expect("* reader thread started")
        return s

    def burst(self, s, first, count, extra=lambda n: ""):
        """Writes `count` queue files and their request lines (one string)."""
        lines = []
        for n in range(first, first + count):
            path = s.add_file(plain_message(n, extra(n)), "b%05d.msg" % n)
            lines.append("%d FILE %s\n" % (n, path))
        return "".join(lines)

    def assert_answered_once(self, s, tokens, timeout=60.0, after=0, pattern=None):
        """Every token answered exactly once (pattern: the answer's form)."""
        got = s.answers(tokens, timeout=timeout, after=after)
        missing = sorted(set(str(t) for t in tokens) - set(got), key=int)
        self.assertEqual(missing, [], "unanswered requests")
        for token, lines in got.items():
            self.assertEqual(len(lines), 1, lines)
            if pattern is not None:
                self.assertRegex(lines[0], pattern)
        return got

    def assert_no_duplicates(self, s):
        tokens = answer_tokens(s.lines())
        dup = sorted({t for t in tokens if tokens.count(t) > 1})
        self.assertEqual(dup, [], "answered more than once")

    def assert_alive(self, s, token="9077"):
        mark = s.mark()
        s.send_line("%s INTF" % token)
        self.assertEqual(s.answer(token, after=mark), "%s INTF 3 PROD=QLON" % token)

    # -- the engine goes away or stands still ---------------------------------------
    def test_engine_dies_in_a_burst(self):
        # The engine answers 40 requests of a burst of 300 and exits: the
        # program must follow it at once with status 1, and no line it
        # wrote may be cut off, however busy both threads were.
        s = self.started(self.session(engine_args=["--exit-after", "40"]))
        s.send(self.burst(s, 1, 300))
        engine = s.engine.proc
        deadline = time.monotonic() + scaled(60)
        while engine.poll() is None:
            self.assertLess(time.monotonic(), deadline, "the engine never exited")
            time.sleep(0.005)
        gone = time.monotonic()
        code = s.wait_exit(timeout=10)
        self.assertEqual(code, 1)
        self.assertLess(time.monotonic() - gone, scaled(1.0), "the program outlived its engine")
        s.rest()
        self.assertFalse(s.output_ended_inside_line(), "the last line was cut off")
        answered = answer_tokens(s.lines())
        self.assertGreaterEqual(len(answered), 40)
        self.assertEqual(len(answered), len(set(answered)))
        # A request sent after the engine went may be refused at once.
        allowed = re.compile("(%s)|(^\\d+ FAILURE Cannot send data to ScanEngine$)" % self.ordinary)
        for line in s.lines():
            if not line.startswith("* "):
                self.assertRegex(line, allowed)

    def test_stalled_engine_then_resumes(self):
        s = self.session()
        stall = os.path.join(s.root, "engine.stall")
        s.engine_args = ["--stall-file", stall]
        open(stall, "w").close()
        self.started(s)
        s.send(self.burst(s, 1, 20))
        s.engine.wait_requests(20, timeout=20)
        # The requests are with the engine and stay pending ...
        time.sleep(scaled(0.3))
        self.assertEqual(answer_tokens(s.lines()), [])
        # ... while the command loop still answers at once.
        mark = s.mark()
        asked = time.monotonic()
        s.send_line("500 INTF 3")
        self.assertEqual(s.answer("500", timeout=2, after=mark), "500 INTF 3 PROD=QLON")
        self.assertLess(time.monotonic() - asked, scaled(1.0))
        self.assertEqual(answer_tokens(s.lines()), ["500"])
        os.unlink(stall)
        self.assert_answered_once(s, range(1, 21), timeout=20, pattern=self.ordinary)
        self.assertEqual(s.quit(), 0)
        self.assert_no_duplicates(s)

    def test_reload_in_a_burst_of_two_thousand(self):
        s = self.started(self.session(engine_args=["--shuffle", "16", "--jitter-ms", "2", "--seed", "3"]))
        first = self.burst(s, 1, 700)
        second = self.burst(s, 701, 700)
        third = self.burst(s, 1401, 600)
        s.send(first)
        s.reload()
        s.send(second)
        # The marker is gone once the new connection is made.
        s.wait_count(lambda l: l.startswith("* Connected to "), 2, timeout=30)
        s.reload()
        s.send(third)
        self.assert_answered_once(s, range(1, 2001), timeout=180, pattern=self.ordinary)
        s.wait_count(lambda l: l.startswith("* Connected to "), 3, timeout=30)
        self.assertFalse(os.path.exists(os.path.join(s.prog_dir, "hup.sig")))
        self.assert_alive(s)
        self.assertEqual(s.quit(), 0)
        self.assert_no_duplicates(s)

    # -- back-pressure, deadlines, a server that stops reading --------------------------
    def intf_delay(self, s, token):
        mark = s.mark()
        asked = time.monotonic()
        s.send_line("%d INTF" % token)
        self.assertEqual(s.answer(token, timeout=10, after=mark), "%d INTF 3 PROD=QLON" % token)
        return time.monotonic() - asked

    def test_engine_that_stops_reading(self):
        # 2,000 requests of 64 KiB against an engine that reads nothing:
        # the command loop goes on answering at once, memory stays bounded,
        # and once the engine reads again every request has one answer.
        s = self.session()
        stall = os.path.join(s.root, "engine.nord")
        open(stall, "w").close()
        s.engine_args = ["--read-stall-file", stall]
        self.started(s)
        filler = "".join("%063d\n" % i for i in range(1024))
        s.send(self.burst(s, 1, 2000, extra=lambda n: filler) + "7000 INTF\n")
        self.assertEqual(s.answer(7000, timeout=60), "7000 INTF 3 PROD=QLON")
        self.assertLess(self.intf_delay(s, 7001), scaled(0.1))
        with open("/proc/%d/status" % s.proc.pid) as f:
            peak_kib = int(re.search(r"^VmHWM:\s+(\d+) kB", f.read(), re.M).group(1))
        if not harness.SANITIZED:  # sanitizers add their own memory
            self.assertLess(peak_kib, 150 * 1024)
        busy = [l.split(" ", 1)[0] for l in s.lines() if l.endswith(" FAILURE engine busy")]
        self.check_busy(s, busy)
        os.unlink(stall)
        got = self.assert_answered_once(s, range(1, 2001), timeout=120)
        for token, lines in got.items():
            self.assertRegex(lines[0], "FAILURE engine busy$" if token in busy else self.ordinary)
        s.engine.wait_requests(2000 - len(busy), timeout=20)
        self.assertEqual(s.temp_files(), [])
        self.assertEqual(s.quit(), 0)

    def check_busy(self, s, busy):
        """The program's own word on the busy answers of a stalled engine."""

    def test_deadline_passes(self):
        # A request under the default two minutes, then a reload down to two
        # seconds: the requests after it time out, not held behind it.
        s = self.started(self.session(engine_args=["--fixed", "none"]))
        s.send(self.burst(s, 50, 1))
        s.engine.wait_requests(1)
        s.reload(overrides=harness.merge(harness.quiet_settings(self.program),
                                         {"EngineOptions": {"Timeout": "2"}}))
        sent = time.monotonic()
        s.send(self.burst(s, 1, 20))
        self.assert_answered_once(s, range(1, 21), timeout=10, pattern=r"^\d+ FAILURE engine timeout$")
        self.assertLess(time.monotonic() - sent, scaled(3.5))
        self.assertGreater(time.monotonic() - sent, 1.9)
        # Only the copy of the request still waiting is left.
        self.assertEqual(len(s.temp_files()), 1 if self.program == "Tarnwick-AV" else 0)
        self.assertEqual(answer_tokens(s.lines()).count("50"), 0)
        self.assert_alive(s)
        self.assertEqual(s.quit(), 0)

    def test_marker_after_program_directory_swap(self):
        s = self.started(self.session())
        self.assert_alive(s, "1")
        s.swap_program_directory()
        s.reload()
        time.sleep(scaled(0.2))  # nothing is re-read before a request line
        self.assertFalse([l for l in s.lines() if l.startswith("* re-reading")])
        mark = s.mark()
        asked = time.monotonic()
        s.send_line("2 INTF")
        s.wait_for(lambda l: l.startswith("* Connected to "), timeout=2, after=mark)
        self.assertLess(time.monotonic() - asked, scaled(2.0))
        self.assertFalse(os.path.exists(os.path.join(s.prog_dir, "hup.sig")))
        self.assertEqual(s.quit(), 0)

    def test_server_closes_our_output(self):
        s = self.started(self.session())
        s.send(self.burst(s, 1, 3))
        self.assert_answered_once(s, range(1, 4), pattern=self.ordinary)
        s.close_output()
        s.send_line("4 INTF")
        self.assertEqual(s.wait_exit(timeout=10), 0)
        stats = s.read_stat_file()
        self.assertIn("MessagesTotal=3;", stats)
        self.assertIn("NormalShutdown=YES;", stats)

    # -- files the program writes -----------------------------------------------------
    def test_submission_directory_taken_away(self):
        s = self.started(self.session(settings=self.submission_settings()))
        mark = s.mark()
        s.send(self.burst(s, 1, 5))
        self.assert_answered_once(s, range(1, 6), after=mark, pattern=self.ordinary)

        shutil.rmtree(s.submitted)
        mark = s.mark()
        s.send(self.burst(s, 11, 5))
        self.assert_answered_once(s, range(11, 16), after=mark, pattern=self.ordinary)
        self.while_submission_broken(s, 20, "errno=2")

        # A plain file in its place: the directory cannot be written either.
        with open(s.submitted, "w") as f:
            f.write("not a directory\n")
        mark = s.mark()
        s.send(self.burst(s, 31, 5))
        self.assert_answered_once(s, range(31, 36), after=mark, pattern=self.ordinary)
        self.while_submission_broken(s, 40, "errno=20")

        os.unlink(s.submitted)
        os.mkdir(s.submitted)
        self.after_submission_restored(s, 50)
        self.assert_alive(s)

        # Shutdown with the directory gone again: the stop report and the
        # daily report cannot be written, which is logged, and the exit is
        # still the normal one.
        shutil.rmtree(s.submitted)
        self.assertEqual(s.quit(), 0)
        self.assertTrue([l for l in s.lines() if re.match(r"\* Can't create temp file .*, errno=2$", l)],
                        s.lines()[-20:])
        self.assertFalse(s.output_ended_inside_line())

    # Hooks of the submission case: the settings, and what the program
    # writes into the directory while it is broken and once it is back.
    def submission_settings(self):
        return harness.quiet_settings(self.program, events=True)

    def while_submission_broken(self, s, token, errno_text):
        pass

    def after_submission_restored(self, s, token):
        pass

    # Hooks of the statistics case: what blocks the dump, what the messages
    # carry and what the dump must count.
    def statistics_obstacle(self, s):
        return s.stat_file_path() + ".new"

    def test_statistics_file_cannot_be_written(self):
        s = self.started(self.session())
        stat = s.stat_file_path()
        obstacle = self.statistics_obstacle(s)
        os.mkdir(obstacle)
        failure = "* unable create %s: Is a directory" % stat

        mark = s.mark()
        s.send(self.burst(s, 1, 6, self.counted_extra))
        self.assert_answered_once(s, range(1, 7), after=mark)
        s.send_line("8 INTF")
        s.answer("8", after=mark)
        # Every request line tried again, and each try was logged.
        self.assertEqual(s.lines(mark).count(failure), 7, s.lines(mark)[-10:])
        self.assertFalse(os.path.isfile(stat))

        os.rmdir(obstacle)
        mark = s.mark()
        s.send_line("9 INTF")
        s.answer("9", after=mark)
        self.assertNotIn(failure, s.lines(mark))
        text = s.read_stat_file()
        self.assertIsNotNone(text, "no dump after the obstacle went")
        self.assertIn("MessagesTotal=6;\n", text)
        self.check_counted(text)
        self.assertFalse(os.path.exists(stat + ".new"))
        self.assertEqual(s.quit(), 0)

    def counted_extra(self, n):
        return ""

    def check_counted(self, text):
        pass

    # -- queue files ----------------------------------------------------------------------
    def odd_files(self, s):
        """(token, path, answer regex) for queue files of odd shapes."""
        big_line = "x" * MIB
        cases = [
            ("1", "Queue/never-there.msg",
             r"^1 FAILURE Unable to check file for existence: .*/Queue/never-there\.msg, "
             r"error=No such file or directory$"),
            ("2", s.add_file(b"", "empty.msg"), self.ordinary),
            ("3", s.add_file(b"P <a@example.org>\nS smtp [192.0.2.1]\nR <b@example.net>\n", "envelope-only.msg"),
             self.ordinary),
            ("4", s.add_file(b"P <a@example.org>\nR <b@example.net>\n\n", "envelope-blank.msg"), self.ordinary),
            ("5", s.add_file(b"\r" * 5000, "cr-only.msg"), self.ordinary),
            ("6", s.add_file(b"S \r\r\rx\r\n\r\n" + b"\r" * 100, "cr-envelope.msg"), self.ordinary),
            ("7", s.add_file(bytes(range(256)) * 64 + b"\0\0\n\n\0", "binary.msg"), self.ordinary),
            ("8", s.add_file(b"S " + big_line.encode() + b"\nR <" + big_line.encode() + b"@example.net>\n\n"
                             b"Subject: long\n\n" + big_line.encode() + b"\n", "long-lines.msg"), self.ordinary),
            ("9", s.add_file(b"A" * MIB + b"\n\nbody\n", "long-first-line.msg"), self.ordinary),
        ]
        os.mkdir(os.path.join(s.base, "Queue", "a-directory.msg"))
        cases.append(("10", "Queue/a-directory.msg", self.directory_answer))
        return cases

    def test_odd_queue_files(self):
        s = self.started(self.session())
        cases = self.odd_files(s)
        s.send("".join("%s FILE %s\n" % (token, path) for token, path, _ in cases))
        got = self.assert_answered_once(s, [token for token, _, _ in cases], timeout=60)
        for token, path, pattern in cases:
            self.assertRegex(got[token][0], pattern, path)
        self.assert_alive(s)
        self.assertEqual(s.quit(), 0)
        self.assertEqual(s.temp_files(), [])

    def test_queue_file_vanishes_while_pending(self):
        s = self.session()
        stall = os.path.join(s.root, "engine.stall")
        s.engine_args = ["--stall-file", stall]
        open(stall, "w").close()
        self.started(s)
        s.send(self.burst(s, 1, 3))
        s.engine.wait_requests(3, timeout=10)
        for n in range(1, 4):
            os.unlink(os.path.join(s.base, "Queue", "b%05d.msg" % n))
        os.unlink(stall)
        self.assert_answered_once(s, range(1, 4), pattern=self.ordinary)
        self.assertEqual(s.quit(), 0)
        self.assertEqual(s.temp_files(), [])


# -- raw frames -----------------------------------------------------------------------

def nested_groups(depth, number=99):
    """An unknown field made of `depth` groups, one inside the other."""
    return field(number, 3) * depth + field(number, 4) * depth


class FrameCases:
    """Mixed into a unittest.TestCase: the program against a scripted
    engine.  Subclasses give `program`, `schema` and `request_serial`."""

    program = None
    schema = None

    def begin(self):
        s = harness.FilterSession(self.program, mode="Discard", engine=None,
                                  settings=harness.quiet_settings(self.program))
        self.addCleanup(s.cleanup)
        engine = s.scripted_engine(schema=self.schema)
        s.start_with(engine)
        self.after_connect(engine)
        return s, engine

    def after_connect(self, engine):
        pass

    def pending(self, s, engine, token):
        path = s.add_file(plain_message(token), "f%d.msg" % token)
        s.request(token, path)
        request = engine.recv_request()
        self.assertEqual(request.serial, token)
        return request

    def assert_fatal(self, s, mark):
        """After the frame (sent at output line `mark`) the program ends with
        status 1 at once, writing nothing more: no answer for the pending
        request, no log line, no half line."""
        code = s.wait_exit(timeout=5)
        self.assertEqual(code, 1, s.lines()[-10:])
        s.rest()
        self.assertEqual(s.lines(mark), [])
        self.assertFalse(s.output_ended_inside_line())

    def fatal_frames(self):
        """(description, raw bytes after the length prefix or None) ..."""
        return []

    def test_fatal_frames(self):
        for name, body in self.fatal_frames():
            with self.subTest(name):
                s, engine = self.begin()
                self.pending(s, engine, 17)
                mark = s.mark()
                engine.send_frame(body)
                self.assert_fatal(s, mark)

    def test_half_frame_waits_then_closed_connection_ends(self):
        s, engine = self.begin()
        self.pending(s, engine, 17)
        whole = self.answer_frame(17)
        engine.send_raw(len(whole).to_bytes(4, "little") + whole[: len(whole) // 2])
        # Half a frame keeps the reader waiting, not the command loop.
        time.sleep(scaled(0.2))
        mark = s.mark()
        s.send_line("5 INTF")
        self.assertEqual(s.answer("5", after=mark), "5 INTF 3 PROD=QLON")
        self.assertEqual(s.returncode, None)
        mark = s.mark()
        engine.close_connection()
        self.assertEqual(s.wait_exit(timeout=5), 1)
        s.rest()
        self.assertRegex("\n".join(s.lines(mark)), r"^\* Error: +Cannot get data from ScanEngine: ")
        self.assertFalse([l for l in s.lines() if l.startswith("17 ")])
        self.assertFalse(s.output_ended_inside_line())

    def test_unknown_fields_and_deep_but_allowed_nesting(self):
        s, engine = self.begin()
        self.pending(s, engine, 17)
        self.pending(s, engine, 18)
        # Fields the schema does not know, even groups nested 60 deep, are
        # skipped: the reply counts as what its known fields say.
        engine.send_frame(self.answer_frame(17) + field(50, 0, 7) + field(51, 2, b"x" * 300) + nested_groups(60))
        self.assertRegex(s.answer(17), self.ordinary)
        engine.send_frame(self.answer_frame(18))
        self.assertRegex(s.answer(18), self.ordinary)
        self.assertEqual(s.quit(), 0)
        self.assert_once(s, ["17", "18"])

    def assert_once(self, s, tokens):
        got = answer_tokens(s.lines())
        for token in tokens:
            self.assertEqual(got.count(token), 1, s.lines())
