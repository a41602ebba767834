"""End-to-end test of quillon-clamd handing its scans to a pool of ClamAV's
clamd (package clamav-daemon): two clamd on the test database, one on a
unix socket and one on a loopback port, each started and stopped here in a
scratch directory, and one quillon-clamd with both as --clamd members.
Whichever member is down, every message is still scanned, with the same
report as the in-process scan.  A clamd stand-in that answers PING and
never finishes a scan is paused, never pinged.
"""

import os
import re
import shutil
import socket
import threading
import time
import unittest

import engine_samples as samples
import harness
from engine_samples import wait_for_log

EICAR = harness.eicar().encode()

se = harness.load_schema("se")

EICAR_NAME = "Tarnwick.Test.EICAR"
CLAMD = harness.ClamdServer.PROGRAM
Clamd = harness.ClamdServer


@unittest.skipUnless(os.access(CLAMD, os.X_OK), "clamd (clamav-daemon) is not installed")
@harness.skip_without("quillon-clamd")
class ClamdPoolTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = harness.scratch_directory("tw-pool-")
        cls.db = harness.clamav_test_db()
        cls.unix_path = os.path.join(cls.tmp, "a", "clamd.sock")
        cls.port = harness.free_tcp_port()
        cls.unix = Clamd(os.path.join(cls.tmp, "a"), cls.db, "LocalSocket " + cls.unix_path)
        cls.tcp = Clamd(os.path.join(cls.tmp, "b"), cls.db,
                        "TCPSocket %d\nTCPAddr 127.0.0.1" % cls.port)
        cls.daemon = None
        try:
            cls.daemon = harness.start_daemon(
                "quillon-clamd", cls.tmp,
                ["--clamd", "unix:" + cls.unix_path, "--clamd", "tcp:127.0.0.1:%d" % cls.port,
                 "--allow-dir", cls.tmp])
        except Exception:
            shutil.rmtree(cls.tmp, ignore_errors=True)
            raise

    @classmethod
    def tearDownClass(cls):
        cls.daemon.stop()
        for clamd in (cls.unix, cls.tcp):
            if clamd.proc:
                clamd.stop()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def scan_batch(self, tag):
        """Ten messages, every third infected, scanned on one connection;
        each must come back with the right verdict."""
        paths, infected = [], []
        for i in range(10):
            path = os.path.join(self.tmp, "%s-%d.eml" % (tag, i))
            payload = EICAR if i % 3 == 0 else b"nothing to see %d\n" % i
            with open(path, "wb") as f:
                f.write(harness.mime_message(payload))
            paths.append(path)
            infected.append(i % 3 == 0)
        reports = dict(enumerate(samples.scan(self.daemon.socket_path, paths), start=1))
        for serial, (path, bad) in enumerate(zip(paths, infected), start=1):
            report = reports[serial]
            self.assertFalse(report.HasField("error"), report)
            self.assertEqual(report.object, path.encode())
            found = [v.name for v in report.virus]
            if bad:
                self.assertEqual(len(found), 1, report)
                self.assertTrue(found[0].startswith(EICAR_NAME), report)
                self.assertEqual(report.virus[0].type, se.SE_KNOWN_VIRUS)
            else:
                self.assertEqual(found, [], report)

    def ping(self, member):
        """Whether the member answers clamd's PING itself."""
        try:
            if member is self.unix:
                s = socket.socket(socket.AF_UNIX)
                s.connect(self.unix_path)
            else:
                s = socket.create_connection(("127.0.0.1", self.port))
            with s:
                s.sendall(b"zPING\0")
                return s.recv(16).startswith(b"PONG")
        except OSError:
            return False

    def test_every_message_scanned_whichever_member_is_down(self):
        # Only the unix member is up: the TCP one refuses at once.
        self.unix.start(lambda: self.ping(self.unix))
        self.scan_batch("first")
        wait_for_log(self.daemon, r"warning: clamd tcp:127\.0\.0\.1:%d is down" % self.port)
        # The TCP member comes up and the unix one goes: the prober has
        # taken the first back before the second is missed.
        self.tcp.start(lambda: self.ping(self.tcp))
        wait_for_log(self.daemon, r"clamd tcp:127\.0\.0\.1:%d answers again" % self.port)
        # Back means back in turn, not only a last resort once every other
        # member is down.
        before = self.tcp.streams_scanned()
        self.scan_batch("both")
        self.assertGreater(self.tcp.streams_scanned(), before, "the member back gets no scans")
        self.unix.stop()
        self.scan_batch("second")
        wait_for_log(self.daemon, r"warning: clamd unix:%s is down" % self.unix_path)

    def test_scans_held_while_every_member_restarts(self):
        # Every member down for a moment (clamd restarted after a signature
        # update): the scans sent meanwhile wait for it, none fails.
        if self.tcp.proc is None or self.tcp.proc.poll() is not None:
            self.tcp.start(lambda: self.ping(self.tcp))
        if self.unix.proc is not None and self.unix.proc.poll() is None:
            self.unix.stop()
        self.tcp.stop()
        restart = threading.Timer(0.5, self.tcp.start, args=(lambda: self.ping(self.tcp),))
        restart.start()
        try:
            self.scan_batch("restart")
        finally:
            restart.join()
        wait_for_log(self.daemon, r"clamd tcp:127\.0\.0\.1:%d answers again" % self.port)

    def test_clamd_that_hangs_on_scans_is_paused_not_pinged(self):
        # A PING tells nothing of a clamd that takes scans and never
        # finishes them: it is left out for 1 s, then 2 s, then 4 s, its
        # scans done by the other member, and never asked PING.
        if self.unix.proc is None or self.unix.proc.poll() is not None:
            self.unix.start(lambda: self.ping(self.unix))
            self.addCleanup(self.unix.stop)
        # Takes every INSTREAM and never answers it, answers PING, and hangs
        # up on anything else.
        slow = harness.HangingPeer(self.tmp, "slow-clamd", b"zPING", b"PONG\0", hold=b"zINSTREAM").start()
        self.addCleanup(slow.stop)
        path, pings = slow.socket_path, slow.pings
        daemon = harness.start_daemon(
            "quillon-clamd", self.tmp,
            ["--clamd", "unix:" + path, "--clamd", "unix:" + self.unix_path, "--clamd-timeout", "3",
             "--allow-dir", self.tmp], name="paused")
        self.addCleanup(daemon.stop)
        paused = (r"warning: clamd unix:%s is paused \(no reply in time \(within 3 s\)\): "
                  r"scans go to the other members for (\d+) s$" % re.escape(path))
        sample = os.path.join(self.tmp, "paused.eml")
        with open(sample, "wb") as f:
            f.write(harness.mime_message(harness.eicar()))
        deadline = time.monotonic() + harness.scaled(60)
        scans = 0
        while len([line for line in daemon.log_lines() if re.search(paused, line)]) < 3:
            self.assertLess(time.monotonic(), deadline, daemon.log_lines())
            report, = samples.scan(daemon.socket_path, [sample])
            scans += 1
            self.assertFalse(report.HasField("error"), report)
            self.assertTrue(report.virus and report.virus[0].name.startswith(EICAR_NAME), report)
        lines = daemon.log_lines()
        pauses = [int(re.search(paused, line).group(1)) for line in lines if re.search(paused, line)]
        self.assertEqual(pauses, [1, 2, 4], lines)
        resumed = r"info: clamd unix:%s gets scans again after a pause of [12] s$" % re.escape(path)
        self.assertEqual(len([line for line in lines if re.search(resumed, line)]), 2, lines)
        self.assertEqual(pings, [])
        self.assertFalse([line for line in lines if "answers again" in line or "is down" in line], lines)


if __name__ == "__main__":
    unittest.main()
