"""End-to-end tests of quillon-spamd as an administrator runs it: a spamd
that is away answered at once and used again within a second or two of its
return, a pool of two spamd with one away, an exchange that breaks once
tried again, the neutral answer, a full backlog waited out, and
quillon-check against the anti-spam engine.  Two spamd of its own are
started for the class: the first stays up (unix socket and loopback
port), the second is stopped and started by the tests.
"""

import os
import re
import signal
import socket
import subprocess
import threading
import time
import unittest

import engine_samples as samples
import harness
from engine_samples import program, run, wait_for_log

ase = harness.load_schema("ase")
qerr = harness.load_schema("error")

PING_EVERY = 1.0  # how often the daemon checks on a spamd that is away


@harness.skip_without("quillon-spamd")
class SpamdOperationsTest(samples.DaemonsTest):
    PROGRAM = "quillon-spamd"

    @classmethod
    def setUpClass(cls):
        cls.begin("tw-spops-")
        os.mkdir(os.path.join(cls.tmp, "second"))
        cls.second = harness.SpamdServer(os.path.join(cls.tmp, "second"))  # started by the tests
        cls.servers.append(cls.second)
        try:
            cls.spamd = harness.SpamdServer(cls.tmp, tcp=True).start()
            cls.servers.append(cls.spamd)
            cls.engine = cls._start("engine", ["--spamd-socket", cls.spamd.socket_path, "--workers", "4"])
            # These answer at once while spamd is away: no grace for a reload.
            cls.neutral = cls._start("neutral", ["--spamd-socket", os.path.join(cls.tmp, "nobody.sock"),
                                                 "--unavailable=neutral", "--reload-grace", "0"])
            cls.lone = cls._start("lone", ["--spamd-socket", cls.second.socket_path, "--reload-grace", "0"])
            cls.pool = cls._start("pool", ["--spamd", "127.0.0.1:%d" % cls.spamd.port,
                                           "--spamd-socket", cls.second.socket_path, "--workers", "4"])
        except Exception:
            cls.tearDownClass()
            raise

    def timed_rating(self, client, serial):
        """One message rated; the reply and the seconds it took."""
        started = time.monotonic()
        samples.send_ratings(client, [harness.plain_message(b"Message %d.\r\n" % serial)], first=serial)
        reply = client.receive()
        self.assertEqual(reply.serial, serial)
        return reply, time.monotonic() - started

    def second_away(self):
        if self.second.returncode is None:
            self.second.stop()

    def lines(self, daemon, pattern):
        return [line for line in daemon.log_lines() if re.search(pattern, line)]

    def test_away_spamd_answered_at_once_and_used_again_on_return(self):
        self.second_away()
        away = r"warning: spamd at %s is away: cannot connect" % re.escape(self.second.socket_path)
        client = harness.FrameClient(self.lone.socket_path, ase.ServerMessage, timeout=60)
        try:
            # The error reply at once, not after --timeout (60 s).
            for serial in range(1, 6):
                reply, took = self.timed_rating(client, serial)
                self.assertEqual(reply.error.code, qerr.EC_NOT_READY, reply)
                self.assertLess(took, harness.scaled(0.5, below=60), "serial %d answered after %.2f s" % (serial, took))
            # One line for the outage; only the message that found it logs.
            self.assertEqual(len(self.lines(self.lone, away)), 1, self.lone.log_lines())
            self.assertEqual(len(self.lines(self.lone, r"error: serial \d+:")), 1, self.lone.log_lines())

            self.second.start()
            back = time.monotonic()
            serial = 6
            while True:
                # The first message sent once the daemon has seen spamd back
                # is rated (spamd's first rating after a start is slow).
                sent = time.monotonic() - back
                reply, took = self.timed_rating(client, serial)
                if reply.HasField("spam_report"):
                    break
                self.assertLess(sent, harness.scaled(PING_EVERY + 1), reply)
                serial += 1
                time.sleep(0.1)
        finally:
            client.close()
        print("spamd back: the message sent %.2f s later rated in %.2f s" % (sent, took))
        self.assertEqual(len(self.lines(self.lone, r"info: spamd at .* is back after \d+ s away")), 1,
                         self.lone.log_lines())

    def test_pool_with_one_member_away_and_back(self):
        self.second_away()
        first = "127.0.0.1:%d" % self.spamd.port
        client = harness.FrameClient(self.pool.socket_path, ase.ServerMessage, timeout=60)
        try:
            # Every message rated by the member that is up, none held up by
            # the one that is away.
            took = [self.timed_rating(client, serial) for serial in range(1, 11)]
            for reply, seconds in took:
                self.assertTrue(reply.HasField("spam_report"), reply)
            slowest = max(seconds for _, seconds in took)
            self.assertEqual(len(self.lines(self.pool, r"warning: spamd at %s is away"
                                            % re.escape(self.second.socket_path))), 1, self.pool.log_lines())
            rated = self.lines(self.pool, r"serial \d+: ham score=-?\d+\.\d required=5\.0 engine=-?\d+ "
                                          r"tests=\S* \(\d+ ms\) from ")
            self.assertEqual(len(rated), 10, self.pool.log_lines())
            self.assertTrue(all(line.endswith(" from " + first) for line in rated), rated)
            self.assertFalse(self.lines(self.pool, r"error:|warning: serial|at try"), self.pool.log_lines())

            # Back: the member answers the daemon's PING and gets its turn.
            self.second.start()
            wait_for_log(self.pool, r"info: spamd at %s is back" % re.escape(self.second.socket_path),
                         timeout=harness.scaled(PING_EVERY + 2))
            for serial in range(11, 15):
                reply, _ = self.timed_rating(client, serial)
                self.assertTrue(reply.HasField("spam_report"), reply)
        finally:
            client.close()
        print("pool with a member away: slowest rating %.3f s" % slowest)
        self.assertLess(slowest, harness.scaled(3.0))
        self.assertTrue(self.lines(self.pool, r"serial 1[1-4]: .* from %s$" % re.escape(self.second.socket_path)),
                        self.pool.log_lines())

    def test_rule_reload_rides_through(self):
        # spamd refuses connections while it reads its rules again after
        # SIGHUP: 50 ratings sent across it are all rated, none failed.
        if self.second.returncode is not None:
            self.second.start()
        daemon = self._start("reloading", ["--spamd-socket", self.second.socket_path, "--workers", "4"])
        client = harness.FrameClient(daemon.socket_path, ase.ServerMessage, timeout=60)
        try:
            samples.send_ratings(client, [harness.plain_message(b"Message %d.\r\n" % n) for n in range(1, 51)])
            time.sleep(0.2)
            self.second.proc.send_signal(signal.SIGHUP)
            replies = [client.receive() for _ in range(50)]
        finally:
            client.close()
        failed = [r for r in replies if not r.HasField("spam_report")]
        self.assertEqual(failed, [], daemon.log_lines())
        self.assertEqual(sorted(r.serial for r in replies), list(range(1, 51)))
        held = self.lines(daemon, r"rated after \d+ ms held while spamd was away")
        print("spamd reload: %d of 50 ratings held" % len(held))

    def test_reload_grace_is_bounded(self):
        # Nothing comes back: the rating that found spamd away waits out the
        # grace, the next is answered at once, as the grace counts from the
        # refusal.
        daemon = self._start("graceful", ["--spamd-socket", os.path.join(self.tmp, "none.sock"),
                                          "--reload-grace", "2", "--timeout", "20"])
        client = harness.FrameClient(daemon.socket_path, ase.ServerMessage, timeout=30)
        try:
            first, first_took = self.timed_rating(client, 1)
            second, second_took = self.timed_rating(client, 2)
        finally:
            client.close()
        for reply in (first, second):
            self.assertEqual(reply.error.code, qerr.EC_NOT_READY, reply)
        self.assertGreater(first_took, 1.8)
        self.assertLess(first_took, 2 + harness.scaled(1.0))
        self.assertLess(second_took, harness.scaled(0.5, below=2))

    def test_unavailable_spamd_answered_as_plain_message(self):
        client = harness.FrameClient(self.neutral.socket_path, ase.ServerMessage)
        try:
            replies = [self.timed_rating(client, serial)[0] for serial in (1, 2)]
        finally:
            client.close()
        for reply in replies:
            self.assertFalse(reply.HasField("error"), reply)
            self.assertEqual((reply.spam_report.score.state, reply.spam_report.score.score), (ase.VR_LEGIT, -650))
        # The message that found spamd away says so; the next is answered
        # without a try and without a line of its own.
        wait_for_log(self.neutral, r"warning: serial 1: not rated, answered as a plain message: "
                                   r"cannot connect to spamd ")
        self.assertFalse(self.lines(self.neutral, r"serial 2"), self.neutral.log_lines())

    def fake_spamd(self, name, serve):
        """A listener on <tmp>/<name>.sock whose connections serve(listener)
        handles in a thread of its own."""
        path = os.path.join(self.tmp, name + ".sock")
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        listener.bind(path)
        listener.listen(0)
        self.addCleanup(listener.close)
        server = threading.Thread(target=serve, args=(listener,))
        server.start()
        self.addCleanup(server.join)
        return path

    @staticmethod
    def read_request(conn):
        data = b""
        while b"\r\n\r\n" not in data or len(data.split(b"\r\n\r\n", 1)[1]) < 18:
            chunk = conn.recv(65536)
            if not chunk:
                break
            data += chunk
        return data

    def answer(self, conn):
        with conn:
            self.read_request(conn)
            conn.sendall(b"SPAMD/1.1 0 EX_OK\r\nSpam: False ; 1.5 / 5.0\r\nContent-length: 9\r\n\r\n"
                         b"TEST_RULE")

    def drop(self, conn):
        with conn:
            self.read_request(conn)

    def cut(self, conn):
        with conn:
            self.read_request(conn)
            conn.sendall(b"SPAMD/1.1 0 EX_OK\r\nSpam: Fa")

    def hanging_spamd(self, name, pong, hang=True):
        """A spamd stand-in that takes every rating and never answers it
        (or, without hang, hangs up on it), and answers PING with PONG
        (pong) or by hanging up."""
        peer = harness.HangingPeer(self.tmp, name, b"PING", b"SPAMD/1.5 0 PONG\r\n" if pong else None,
                                   hold=b"" if hang else None, end=b"\r\n\r\n").start()
        self.addCleanup(peer.stop)
        return peer

    def test_spamd_that_never_finishes_a_rating_goes_away(self):
        # It answers PING, so only the rating's time-out can tell: the
        # rating goes to the other member in the time left, none fails.
        path = self.hanging_spamd("hanging-spamd", pong=True).socket_path
        daemon = self._start("hung", ["--spamd-socket", path, "--spamd-socket", self.spamd.socket_path,
                                      "--timeout", "6"])
        client = harness.FrameClient(daemon.socket_path, ase.ServerMessage, timeout=30)
        try:
            took = [self.timed_rating(client, serial) for serial in (1, 2)]
        finally:
            client.close()
        for reply, seconds in took:
            self.assertTrue(reply.HasField("spam_report"), reply)
            self.assertLess(seconds, 6 + harness.scaled(0.5))
        self.assertTrue(self.lines(daemon, r"warning: spamd at %s is away: spamd did not answer in time"
                                           % re.escape(path)), daemon.log_lines())

    def test_away_spamd_probed_once_a_second(self):
        # It hangs up on every rating and on PING: away after the second
        # break, and asked again once a second, never more often.
        silent = self.hanging_spamd("silent-spamd", pong=False, hang=False)
        path, pings = silent.socket_path, silent.pings
        daemon = self._start("silent", ["--spamd-socket", path, "--timeout", "5", "--reload-grace", "0"])
        client = harness.FrameClient(daemon.socket_path, ase.ServerMessage, timeout=30)
        try:
            reply, _ = self.timed_rating(client, 1)
        finally:
            client.close()
        self.assertEqual(reply.error.code, qerr.EC_NETWORK_ERROR, reply)
        wait_for_log(daemon, r"warning: spamd at %s is away" % re.escape(path))
        # Probes keep coming, and never faster than one a second: between
        # the first and the last of three, at most one more than the
        # seconds between them (a late probe does not make one early).
        start = time.monotonic()

        def three():
            after = [t for t in pings if t >= start]
            return after[:3] if len(after) >= 3 else None
        window = harness.wait_until(three, 6, "three PINGs")
        span = window[-1] - window[0]
        self.assertLessEqual(len(window) - 1, span + 1, "PINGs at %s" % [round(t - start, 2) for t in window])

    def test_spamd_that_hangs_on_ratings_is_paused_not_pinged(self):
        # A PING tells nothing of a spamd that takes ratings and never
        # finishes them: it is left out for 1 s, then 2 s, then 4 s, its
        # messages rated by the other member, and never asked PING.
        slow = self.hanging_spamd("slow-spamd", pong=True)
        path, pings = slow.socket_path, slow.pings
        daemon = self._start("paused", ["--spamd-socket", path, "--spamd-socket", self.spamd.socket_path,
                                        "--timeout", "4"])
        paused = (r"warning: spamd at %s is away: spamd did not answer in time \(within \d+ ms\); "
                  r"its messages go to the others for (\d+) s$" % re.escape(path))
        client = harness.FrameClient(daemon.socket_path, ase.ServerMessage, timeout=30)
        deadline = time.monotonic() + harness.scaled(60)
        serial = 0
        try:
            while len(self.lines(daemon, paused)) < 3:
                self.assertLess(time.monotonic(), deadline, daemon.log_lines())
                serial += 1
                reply, _ = self.timed_rating(client, serial)
                self.assertTrue(reply.HasField("spam_report"), reply)
        finally:
            client.close()
        pauses = [int(re.search(paused, line).group(1)) for line in self.lines(daemon, paused)]
        self.assertEqual(pauses, [1, 2, 4], daemon.log_lines())
        self.assertEqual(len(self.lines(daemon, r"info: spamd at %s gets messages again after a pause of [12] s$"
                                        % re.escape(path))), 2, daemon.log_lines())
        self.assertEqual(pings, [])
        self.assertFalse(self.lines(daemon, r"is back after"), daemon.log_lines())
        rated = self.lines(daemon, r"info: serial \d+: ham .* from %s$" % re.escape(self.spamd.socket_path))
        self.assertEqual(len(rated), serial, daemon.log_lines())

    def test_broken_exchange_tried_again_twice_broken_away(self):
        # A spamd child that ends in the middle of a message, here in the
        # middle of its reply: that message is tried again and rated.  One
        # that breaks its second try too leaves the spamd away, and its
        # message is answered at once.
        def serve(listener):
            # A daemon that does not try again leaves steps unasked for.
            listener.settimeout(harness.scaled(10))
            try:
                for step in (self.cut, self.answer, self.drop, self.drop):
                    step(listener.accept()[0])
            except socket.timeout:
                pass
        path = self.fake_spamd("dropping-spamd", serve)
        daemon = self._start("dropped", ["--spamd-socket", path, "--timeout", "20", "--reload-grace", "0"])
        client = harness.FrameClient(daemon.socket_path, ase.ServerMessage)
        try:
            first, _ = self.timed_rating(client, 1)
            second, took = self.timed_rating(client, 2)
        finally:
            client.close()
        self.assertEqual(first.spam_report.details, "score=1.5 required=5.0 tests=TEST_RULE", first)
        self.assertEqual(second.error.code, qerr.EC_NETWORK_ERROR, second)
        self.assertLess(took, harness.scaled(2.0, below=20))
        self.assertEqual(len(self.lines(daemon, r"warning: serial 1: reply cut short in its header; "
                                                r"trying again")), 1, daemon.log_lines())
        self.assertEqual(len(self.lines(daemon, r"warning: serial 2: spamd closed the connection without a "
                                                r"reply; trying again")), 1, daemon.log_lines())
        self.assertEqual(len(self.lines(daemon, r"info: serial 1: spamd answered at try 2")), 1)
        self.assertEqual(len(self.lines(daemon, r"warning: spamd at .* is away: spamd closed the connection "
                                                r"without a reply, twice for one message")), 1, daemon.log_lines())

    def test_full_backlog_is_waited_out(self):
        # A spamd whose listen queue is full: a unix socket then refuses
        # with EAGAIN and connects nothing; the rating waits for room.
        filler = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.addCleanup(filler.close)

        def serve(listener):
            time.sleep(0.5)
            listener.accept()[0].close()  # the filler: room for the daemon
            self.answer(listener.accept()[0])
        path = self.fake_spamd("busy-spamd", serve)
        filler.connect(path)
        daemon = self._start("busy", ["--spamd-socket", path, "--timeout", "20"])
        client = harness.FrameClient(daemon.socket_path, ase.ServerMessage)
        try:
            samples.send_ratings(client, [harness.plain_message(b"hi\r\n")])
            reply = client.receive()
        finally:
            client.close()
        self.assertEqual(reply.spam_report.details, "score=1.5 required=5.0 tests=TEST_RULE", reply)
        self.assertFalse([line for line in daemon.log_lines() if "warning" in line])

    def test_quillon_check_rates(self):
        check = program("quillon-check")
        gtube = os.path.join(self.tmp, "gtube.eml")
        with open(gtube, "wb") as f:
            f.write(harness.plain_message(harness.gtube().encode() + b"\r\n"))
        out = run([check, "--spam-engine", self.engine.socket_path])
        self.assertEqual(out.returncode, 0, out)
        self.assertRegex(out.stdout.decode(), r"^ping: (ham|SPAM) engine score -?\d+, score=")
        out = run([check, "--spam-engine", self.engine.socket_path, gtube])
        self.assertEqual(out.returncode, 1, out)
        self.assertIn("tests=GTUBE", out.stdout.decode())
        ham = (b"From: Alice Example <alice@example.org>\r\nTo: bob@example.org\r\nSubject: Lunch\r\n"
               b"Date: Mon, 7 Dec 2026 10:00:00 +0000\r\nMessage-ID: <lunch-4711@example.org>\r\n\r\n"
               b"Hi Bob,\r\n\r\nshall we meet for lunch tomorrow at noon?\r\n\r\nAlice\r\n")
        out = subprocess.run([check, "--spam-engine", self.engine.socket_path, "-"], input=ham,
                             stdout=subprocess.PIPE, timeout=60)
        self.assertEqual(out.returncode, 0, out)
        self.assertRegex(out.stdout.decode(), r"^-: ham engine score -?\d+, score=")
        out = run([check, "--spam-engine", os.path.join(self.tmp, "nobody.sock")])
        self.assertEqual(out.returncode, 2, out)


if __name__ == "__main__":
    unittest.main()
