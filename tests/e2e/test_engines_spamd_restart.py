"""End-to-end tests of quillon-spamd as an administrator runs it: spamd
restarted in the middle of a burst of ratings (every one answered, none
with an error), the neutral answer when spamd stays away, one log line per
rating, and quillon-check against the anti-spam engine.  A spamd of its own
is started for the class.
"""

import os
import re
import shutil
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


@harness.skip_without("quillon-spamd")
class SpamdOperationsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = harness.scratch_directory("tw-spops-")
        try:
            cls.spamd = harness.SpamdServer(cls.tmp).start()
        except Exception:
            shutil.rmtree(cls.tmp, ignore_errors=True)
            raise
        cls.daemons = []
        try:
            cls.engine = cls._start("engine", ["--spamd-socket", cls.spamd.socket_path, "--workers", "4"])
            cls.neutral = cls._start("neutral", ["--spamd-socket", os.path.join(cls.tmp, "nobody.sock"),
                                                 "--timeout", "1", "--unavailable=neutral"])
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def _start(cls, name, args):
        daemon = harness.start_daemon("quillon-spamd", cls.tmp, args, name=name)
        cls.daemons.append(daemon)
        return daemon

    @classmethod
    def tearDownClass(cls):
        for daemon in cls.daemons:
            daemon.stop()
        # Each daemon ends cleanly on SIGTERM, its socket removed.
        unclean = ["%s: status %s" % (d.socket_path, d.returncode) for d in cls.daemons
                   if d.returncode != 0 or os.path.exists(d.socket_path)]
        cls.spamd.stop()
        shutil.rmtree(cls.tmp, ignore_errors=True)
        if unclean:
            raise AssertionError("; ".join(unclean))

    def send_ratings(self, client, messages):
        for serial, message in enumerate(messages, start=1):
            request = ase.ClientMessage()
            request.tag = ase.ClientMessage.GET_SPAM_REPORT_REQUEST
            request.serial = serial
            request.message = message
            client.send(request)

    def test_spamd_restarted_during_a_burst(self):
        messages = [samples.plain_message(b"Message %d of the burst.\r\n" % i, subject="burst %d" % i)
                    for i in range(50)]
        client = harness.FrameClient(self.engine.socket_path, ase.ServerMessage, timeout=120)
        try:
            self.send_ratings(client, messages)
            replies = [client.receive()]
            # spamd's own restart after a rule update: the children in the
            # middle of a message reset their connections.
            os.kill(self.spamd.proc.pid, signal.SIGHUP)
            replies += [client.receive() for _ in range(10)]
            # spamd goes away with ratings in flight and comes back later.
            self.spamd.stop()
            self.spamd.start()
            replies += [client.receive() for _ in messages[11:]]
        finally:
            client.close()
        self.assertEqual(sorted(r.serial for r in replies), list(range(1, 51)))
        for reply in replies:
            self.assertFalse(reply.HasField("error"), reply)
            self.assertEqual(reply.spam_report.score.state, ase.VR_LEGIT)
        lines = self.engine.log_lines()
        self.assertTrue(any("trying again" in line for line in lines), lines)
        # One line per rating: serial, verdict, score, rules, time.
        rated = [line for line in lines if re.search(r"serial \d+: ham score=-?\d+\.\d required=5\.0 "
                                                     r"engine=-?\d+ tests=\S* \(\d+ ms\)$", line)]
        self.assertGreaterEqual(len(rated), 50)

    def test_unavailable_spamd_answered_as_plain_message(self):
        client = harness.FrameClient(self.neutral.socket_path, ase.ServerMessage)
        try:
            self.send_ratings(client, [samples.plain_message(b"hello\r\n")])
            reply = client.receive()
        finally:
            client.close()
        self.assertFalse(reply.HasField("error"), reply)
        self.assertEqual((reply.serial, reply.spam_report.score.state, reply.spam_report.score.score),
                         (1, ase.VR_LEGIT, -650))
        wait_for_log(self.neutral, r"warning: serial 1: not rated, answered as a plain message: "
                                   r"cannot connect to spamd .* \(\d+ tries\)")

    def test_full_backlog_is_waited_out(self):
        # A spamd whose listen queue is full: a unix socket then refuses
        # with EAGAIN and connects nothing; the rating waits for room.
        path = os.path.join(self.tmp, "busy-spamd.sock")
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        listener.bind(path)
        listener.listen(0)
        self.addCleanup(listener.close)
        filler = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        filler.connect(path)
        self.addCleanup(filler.close)
        daemon = self._start("busy", ["--spamd-socket", path, "--timeout", "20"])

        def serve():
            time.sleep(0.5)
            listener.accept()[0].close()  # the filler: room for the daemon
            conn, _ = listener.accept()
            with conn:
                data = b""
                while b"\r\n\r\n" not in data or len(data.split(b"\r\n\r\n", 1)[1]) < 18:
                    data += conn.recv(65536)
                conn.sendall(b"SPAMD/1.1 0 EX_OK\r\nSpam: False ; 1.5 / 5.0\r\nContent-length: 9\r\n\r\n"
                             b"TEST_RULE")
        server = threading.Thread(target=serve)
        server.start()
        client = harness.FrameClient(daemon.socket_path, ase.ServerMessage)
        try:
            self.send_ratings(client, [samples.plain_message(b"hi\r\n")])
            reply = client.receive()
        finally:
            client.close()
            server.join()
        self.assertEqual(reply.spam_report.details, "score=1.5 required=5.0 tests=TEST_RULE", reply)
        self.assertFalse([line for line in daemon.log_lines() if "warning" in line])

    def test_quillon_check_rates(self):
        check = program("quillon-check")
        gtube = os.path.join(self.tmp, "gtube.eml")
        with open(gtube, "wb") as f:
            f.write(samples.plain_message(b"XJS*C4JDBQADN1.NSBN3*2IDNEN*GTUBE-STANDARD"
                                          b"-ANTI-UBE-TEST-EMAIL*C.34X\r\n"))
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
