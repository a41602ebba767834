"""End-to-end tests of quillon-spamd, the anti-spam engine daemon on SpamAssassin.

A real spamd (local tests only, rules as shipped with the package) is started
once for the class by the harness, listening on a loopback port and on a
unix socket; one quillon-spamd talks to each, a third one to a spamd that is
not there.  A Python client speaks the frame protocol to them.  Skipped
where spamd, quillon-spamd or the generated Python classes are missing.
"""

import os
import shutil
import signal
import socket
import struct
import subprocess
import time
import unittest

import harness
from engine_samples import rescale

DAEMON = os.path.join(harness.default_bin_dir(), "quillon-spamd")

try:
    ase = harness.load_schema("ase")
    qerr = harness.load_schema("error")
except ImportError:
    ase = None

GTUBE = harness.gtube().encode()

HAM = (b"From: Alice Example <alice@example.org>\r\n"
       b"To: bob@example.org\r\n"
       b"Subject: Lunch tomorrow\r\n"
       b"Date: Mon, 7 Dec 2026 10:00:00 +0000\r\n"
       b"Message-ID: <lunch-4711@example.org>\r\n"
       b"\r\n"
       b"Hi Bob,\r\n\r\nshall we meet for lunch tomorrow at noon, at the usual place?\r\n\r\nAlice\r\n")


def spam_message(body_before=b"", body_after=b""):
    return (b"From: someone@example.org\r\nTo: bob@example.org\r\nSubject: offer\r\n\r\n"
            + body_before + GTUBE + b"\r\n" + body_after)


class Client(harness.FrameClient):
    def __init__(self, path):
        super().__init__(path, ase.ServerMessage, timeout=60)

    def rate(self, serial, message):
        request = ase.ClientMessage()
        request.tag = ase.ClientMessage.GET_SPAM_REPORT_REQUEST
        request.serial = serial
        request.message = message
        self.send(request)


@unittest.skipIf(ase is None or not os.access(DAEMON, os.X_OK), "quillon-spamd or the Python classes not built")
@unittest.skipIf(harness.spamd_missing(), harness.spamd_missing())
class SpamassassinEngineTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = harness.scratch_directory("tw-spamd-")
        cls.procs = []
        try:
            cls.spamd = harness.SpamdServer(cls.tmp, tcp=True).start()
        except Exception:
            shutil.rmtree(cls.tmp, ignore_errors=True)
            raise
        cls.port = cls.spamd.port
        cls.spamd_socket = cls.spamd.socket_path
        try:
            cls.tcp = cls._start("tcp", ["--spamd", "127.0.0.1:%d" % cls.port])
            cls.unix = cls._start("unix", ["--spamd-socket", cls.spamd_socket])
            # Bound but never listening: connections are refused at once.
            cls.dead_port = socket.socket()
            cls.dead_port.bind(("127.0.0.1", 0))
            # A spamd that is away is answered at once (no grace for a
            # reload); a short --timeout bounds the test should it not be.
            cls.dead = cls._start("dead", ["--spamd", "127.0.0.1:%d" % cls.dead_port.getsockname()[1],
                                           "--reload-grace", "0"], timeout="1")
            cls.dead_unix = cls._start("dead-unix", ["--spamd-socket", os.path.join(cls.tmp, "nobody.sock"),
                                                     "--reload-grace", "0"], timeout="1")
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def _start(cls, name, args, timeout="30"):
        path = os.path.join(cls.tmp, name + ".sock")
        log = open(os.path.join(cls.tmp, name + ".log"), "w+")
        proc = subprocess.Popen([DAEMON, "--socket", path, "--timeout", timeout] + args,
                                stdout=log, stderr=subprocess.STDOUT)
        cls.procs.append((proc, log, path))
        deadline = time.time() + 10
        while not os.path.exists(path):
            if proc.poll() is not None or time.time() > deadline:
                raise RuntimeError("quillon-spamd did not start")
            time.sleep(0.05)
        return path

    @classmethod
    def tearDownClass(cls):
        failures = []
        for proc, log, path in cls.procs:
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
            code = proc.wait(timeout=harness.scaled(20))
            log.seek(0)
            if code != 0 or os.path.exists(path):
                failures.append("%s ended with %d:\n%s" % (path, code, log.read()))
            log.close()
        cls.spamd.stop()
        if hasattr(cls, "dead_port"):
            cls.dead_port.close()
        shutil.rmtree(cls.tmp, ignore_errors=True)
        if failures:
            raise AssertionError("\n".join(failures))

    def setUp(self):
        for proc, _, path in self.procs:
            self.assertIsNone(proc.poll(), path + " has died")

    def log_of(self, socket_path):
        for _, log, path in self.procs:
            if path == socket_path:
                log.flush()
                log.seek(0)
                return log.read()
        return ""

    def rate_all(self, socket_path, messages):
        """Rates messages on one connection, all sent before any reply is read."""
        client = Client(socket_path)
        try:
            for serial, message in enumerate(messages, start=1):
                client.rate(serial, message)
            replies = {}
            for _ in messages:
                reply = client.receive()
                self.assertIsNotNone(reply, "connection closed before every reply")
                self.assertEqual(reply.tag, ase.ServerMessage.GET_SPAM_REPORT_RESPONSE)
                replies[reply.serial] = reply
            self.assertEqual(sorted(replies), list(range(1, len(messages) + 1)))
            return [replies[serial] for serial in range(1, len(messages) + 1)]
        finally:
            client.close()

    def assert_rating(self, reply, spam):
        self.assertTrue(reply.HasField("spam_report"), reply)
        self.assertFalse(reply.HasField("error"), reply)
        score = reply.spam_report.score
        self.assertEqual(score.state, ase.VR_SPAM if spam else ase.VR_LEGIT, reply)
        # The threshold of spamd lands at 90 after the filter's rescaling.
        self.assertEqual(rescale(score.score) >= 90, spam, reply)
        return rescale(score.score)

    def test_gtube_and_ordinary_mail_over_tcp_and_unix_socket(self):
        for path in (self.tcp, self.unix):
            gtube, ham, gtube_again = self.rate_all(path, [spam_message(), HAM, spam_message()])
            for reply in (gtube, gtube_again):
                self.assertEqual(self.assert_rating(reply, True), 100)
                rules = reply.spam_report.details.split("tests=")[1].split(",")
                self.assertIn("GTUBE", rules)
            self.assertLessEqual(self.assert_rating(ham, False), 40, ham)
            self.assertNotIn("GTUBE", ham.spam_report.details)

    def test_empty_and_oversized_messages(self):
        filler = b"".join(b"line %06d of a long and boring newsletter\r\n" % i for i in range(14000))
        self.assertGreater(len(filler), 600000)
        empty, early, late = self.rate_all(self.tcp, [b"", spam_message(b"", filler),
                                                      spam_message(filler, b"")])
        # SpamAssassin itself finds an empty message suspicious; what counts
        # is that it is rated at all.
        self.assert_rating(empty, empty.spam_report.score.state == ase.VR_SPAM)
        self.assertIn("EMPTY_MESSAGE", empty.spam_report.details)
        # Messages are cut at --max-size (512000 bytes by default): the test
        # string near the start is still seen, the one behind the cut is not.
        self.assertEqual(self.assert_rating(early, True), 100)
        self.assert_rating(late, False)
        self.assertNotIn("GTUBE", late.spam_report.details)

    def test_unreachable_spamd_gives_error_reply(self):
        for path in (self.dead, self.dead_unix):
            reply, = self.rate_all(path, [HAM])
            self.assertFalse(reply.HasField("spam_report"), reply)
            self.assertEqual(reply.serial, 1)
            self.assertEqual(reply.error.code, qerr.EC_NOT_READY)
            self.assertIn("cannot connect to spamd", reply.error.what)
            self.assertIn("cannot connect to spamd", self.log_of(path))

    def test_malformed_frames_close_only_their_connection(self):
        bad_frames = [
            struct.pack("<I", 3) + b"\xff\xff\xff",      # not protocol-buffer encoding
            struct.pack("<I", 0),                        # empty body: no tag
            struct.pack("<I", 2) + b"\x08\x07",          # unknown tag
            struct.pack("<I", 0xFFFFFFFF) + b"\x08\x01",  # absurd length
            # Over the default --max-frame: the largest message Tarnwick-AS
            # sends (32 MiB) and a margin for its fields.
            struct.pack("<I", (32 << 20) + (64 << 10) + 1) + b"\x08\x01",
        ]
        for frame in bad_frames:
            client = Client(self.unix)
            try:
                client.send_raw(frame)
                started = time.monotonic()
                self.assertTrue(client.closed_by_peer(), frame[:8])
                # At once, not at the frame timeout (30 s).
                self.assertLess(time.monotonic() - started, harness.scaled(5, below=30), frame[:8])
            finally:
                client.close()
        client = Client(self.unix)
        client.send_raw(struct.pack("<I", 100) + b"\x08\x01")
        client.close()
        self.assertEqual(self.assert_rating(self.rate_all(self.unix, [spam_message()])[0], True), 100)


if __name__ == "__main__":
    unittest.main()
