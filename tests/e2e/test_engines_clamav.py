"""End-to-end tests of quillon-clamd, the scan engine daemon on libclamav.

The daemon runs on a copy of the test signature database shipped in engines/
plus a second signature written here; a Python client speaks the frame
protocol to it directly.  Skipped where the daemon was not built (no
libclamav) or the generated Python classes are missing.
"""

import os
import shutil
import signal
import struct
import subprocess
import time
import unittest

import harness

DAEMON = os.path.join(harness.default_bin_dir(), "quillon-clamd")
TESTDB = harness.clamav_test_db()

try:
    se = harness.load_schema("se")
except ImportError:
    se = None

EICAR = harness.eicar().encode()
SECOND = b"tarnwick second test marker 4711"
THIRD = b"tarnwick third test marker after reload"
EICAR_NAME = "Tarnwick.Test.EICAR"


def ndb_line(name, data):
    return "%s:0:*:%s\n" % (name, data.hex())


def Client(path):
    return harness.FrameClient(path, se.ServerMessage)


def scan_request(serial, path):
    request = se.ClientMessage()
    request.tag = se.ClientMessage.SCAN_FILE_REQUEST
    request.serial = serial
    request.scan_file_request.path = path
    return request


@unittest.skipIf(se is None or not os.access(DAEMON, os.X_OK), "quillon-clamd or the Python classes not built")
class ClamavEngineTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = harness.scratch_directory("tw-clamd-")
        cls.db = os.path.join(cls.tmp, "db")
        shutil.copytree(TESTDB, cls.db)
        with open(os.path.join(cls.db, "second.ndb"), "w") as f:
            f.write(ndb_line("Tarnwick.Test.Second", SECOND))
        for name in os.listdir(cls.db):
            os.utime(os.path.join(cls.db, name), (1700000000, 1700000000))
        cls.socket_path = os.path.join(cls.tmp, "clamd.sock")
        cls.log = open(os.path.join(cls.tmp, "clamd.log"), "w+")
        # As root the daemon gives up overriding file permissions, so that
        # an unreadable file is refused as it is under its own user.
        drop = ["setpriv", "--bounding-set=-dac_override,-dac_read_search"] if os.geteuid() == 0 else []
        cls.proc = subprocess.Popen(
            drop + [DAEMON, "--socket", cls.socket_path, "--db", cls.db, "--workers", "2", "--all-match"],
            stdout=cls.log, stderr=subprocess.STDOUT)
        deadline = time.time() + 30
        while not os.path.exists(cls.socket_path):
            if cls.proc.poll() is not None or time.time() > deadline:
                cls.log.seek(0)
                raise RuntimeError("quillon-clamd did not start: " + cls.log.read())
            time.sleep(0.05)

    @classmethod
    def tearDownClass(cls):
        cls.proc.send_signal(signal.SIGTERM)
        code = cls.proc.wait(timeout=harness.scaled(20))
        cls.log.seek(0)
        log = cls.log.read()
        cls.log.close()
        socket_left = os.path.exists(cls.socket_path)
        shutil.rmtree(cls.tmp, ignore_errors=True)
        if code != 0 or socket_left:
            raise AssertionError("quillon-clamd ended with %d, socket left: %s\n%s" % (code, socket_left, log))

    def setUp(self):
        self.assertIsNone(self.proc.poll(), "the daemon has died")

    def write(self, name, data):
        path = os.path.join(self.tmp, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def scan_all(self, paths, socket_path=None):
        """Scans paths on one connection, all requests sent before any reply is read."""
        client = Client(socket_path or self.socket_path)
        try:
            for serial, path in enumerate(paths, start=1):
                client.send(scan_request(serial, path))
            replies = {}
            for _ in paths:
                reply = client.receive()
                self.assertIsNotNone(reply, "connection closed before every reply")
                self.assertEqual(reply.tag, se.ServerMessage.SCAN_FILE_RESULT)
                replies[reply.serial] = reply.scan_report
            self.assertEqual(sorted(replies), list(range(1, len(paths) + 1)))
            return [replies[serial] for serial in range(1, len(paths) + 1)]
        finally:
            client.close()

    def assert_finds(self, report, expected):
        self.assertFalse(report.HasField("error"), report)
        names = [v.name for v in report.virus]
        self.assertEqual(len(names), len(expected), names)
        for prefix in expected:
            # ClamAV adds ".UNOFFICIAL" to names from unsigned databases.
            self.assertTrue(any(n.startswith(prefix) for n in names), names)
        for virus in report.virus:
            self.assertEqual(virus.type, se.SE_KNOWN_VIRUS)

    def test_findings_in_plain_files_mime_attachments_and_clean_files(self):
        plain = self.write("eicar.txt", EICAR)
        mail = self.write("eicar.eml", harness.mime_message(EICAR))
        both = self.write("both.bin", b"head " + SECOND + b" middle " + EICAR + b" tail")
        both_mail = self.write("both.eml", harness.mime_message(b"x" + EICAR + b"\n" + SECOND + b"\n"))
        clean_mail = self.write("clean.eml", harness.mime_message(b"just a harmless attachment\n"))
        empty = self.write("empty", b"")
        # The base64 form of the test string is not the string: only a
        # scanner that decodes the attachment finds it.
        with open(mail, "rb") as f:
            self.assertNotIn(EICAR, f.read())

        paths = [plain, mail, both, both_mail, clean_mail, empty]
        reports = self.scan_all(paths)
        for path, report in zip(paths, reports):
            self.assertEqual(report.object, path.encode())
        self.assert_finds(reports[0], [EICAR_NAME])
        self.assertEqual(reports[0].size, len(EICAR))
        self.assert_finds(reports[1], [EICAR_NAME])
        # --all-match: scanning goes on after the first match.
        self.assert_finds(reports[2], [EICAR_NAME, "Tarnwick.Test.Second"])
        self.assert_finds(reports[3], [EICAR_NAME, "Tarnwick.Test.Second"])
        # By default, as clamd, the first match ends the scan.
        first = harness.start_daemon("quillon-clamd", self.tmp, ["--db", self.db], name="first")
        try:
            for path in (both, both_mail):
                report, = self.scan_all([path], first.socket_path)
                self.assertFalse(report.HasField("error"), report)
                self.assertEqual(len(report.virus), 1, report)
                self.assertTrue(report.virus[0].name.startswith((EICAR_NAME, "Tarnwick.Test.Second")),
                                report)
        finally:
            first.stop()
        self.assert_finds(reports[4], [])
        self.assert_finds(reports[5], [])

    def test_the_host_fields_above_a_message_change_no_verdict(self):
        # Tarnwick-AV's copy of a message tarnwick-milter queued: the scan
        # passes over the host's fields, so the same message scans alike
        # whatever queue id and date they carry, and finds what it holds.
        def fields(queue_id):
            return (b"X-Envelope-From: <a@example.org>\nX-Envelope-To: <b@example.net>\n"
                    b"Received: from h (n [192.0.2.7])\n\tby mx with ESMTP id " + queue_id +
                    b";\n\tThu, 01 Jan 1970 00:00:00 +0000\n")
        paths = [self.write("host-%d.eml" % i, fields(q) + body) for i, (q, body) in enumerate(
            [(b"Q1", harness.mime_message(EICAR)), (b"Q2", harness.mime_message(EICAR)), (b"Q3", EICAR + b"\n"),
             (b"Q4", harness.mime_message(b"just a harmless attachment\n")),
             (b"Q5", harness.mime_message(b"just a harmless attachment\n")),
             # Longer than what is read ahead for the fields: mapped.
             (b"Q6", harness.mime_message(b"x" * 100000 + b"\n" + EICAR + b"\n"))])]
        reports = self.scan_all(paths)
        for report in reports[:3] + reports[5:]:
            self.assert_finds(report, [EICAR_NAME])
        for path, report in zip(paths, reports):
            self.assertEqual(report.size, os.path.getsize(path))
        self.assert_finds(reports[3], [])
        self.assert_finds(reports[4], [])

    def test_files_that_cannot_be_scanned_give_the_closest_error(self):
        vanished = self.write("vanished.txt", EICAR)
        os.unlink(vanished)
        fifo = os.path.join(self.tmp, "fifo")
        if not os.path.exists(fifo):
            os.mkfifo(fifo)
        cases = [
            (vanished, se.SE_FILE_NOT_FOUND),
            (os.path.join(self.tmp, "no-such-dir", "x"), se.SE_FILE_NOT_FOUND),
            # Cut at the zero byte this would name an infected file.
            (self.write("cut.txt", EICAR) + "\0.clean", se.SE_FILE_NOT_FOUND),
            ("relative/eicar.txt", se.SE_PATH_NOT_ABSOLUTE),
            ("", se.SE_PATH_NOT_ABSOLUTE),
            (self.tmp, se.SE_FILE_NOT_REGULAR),
            # Opening a FIFO for reading would block; it must be refused.
            (fifo, se.SE_FILE_NOT_REGULAR),
        ]
        locked = self.write("locked.txt", EICAR)
        os.chmod(locked, 0)
        cases.append((locked, se.SE_NO_ACCESS))
        reports = self.scan_all([path for path, _ in cases])
        for (path, error), report in zip(cases, reports):
            self.assertEqual(report.object, path.encode())
            self.assertEqual(report.error, error, path)
            self.assertEqual(len(report.virus), 0)

    def test_malformed_frames_close_only_their_connection(self):
        good = self.write("eicar-again.txt", EICAR)
        bad_frames = [
            struct.pack("<I", 3) + b"\xff\xff\xff",      # not protocol-buffer encoding
            struct.pack("<I", 0),                        # empty body: no tag
            struct.pack("<I", 2) + b"\x08\x63",          # unknown tag
            struct.pack("<I", 0xFFFFFFFF) + b"\x08\x01",  # absurd length
            struct.pack("<I", 65 << 20),                 # over the limit, no body sent
        ]
        for frame in bad_frames:
            client = Client(self.socket_path)
            try:
                # A good request ahead of the bad frame on the same connection
                # is still answered.
                client.send(scan_request(9, good))
                reply = client.receive()
                self.assertIsNotNone(reply)
                self.assertEqual(reply.serial, 9)
                client.send_raw(frame)
                self.assertTrue(client.closed_by_peer(), frame[:8])
            finally:
                client.close()
        # A frame cut short by the client.
        client = Client(self.socket_path)
        client.send_raw(struct.pack("<I", 100) + b"\x08\x01")
        client.close()

        self.assertIsNone(self.proc.poll(), "the daemon died on a malformed frame")
        self.assert_finds(self.scan_all([good])[0], [EICAR_NAME])

    def test_requests_interleaved_on_two_connections(self):
        infected = self.write("many-infected.txt", EICAR)
        clean = self.write("many-clean.txt", b"nothing to see\n")
        first, second = Client(self.socket_path), Client(self.socket_path)
        try:
            for serial in range(1, 41):
                target = first if serial % 2 else second
                target.send(scan_request(serial, infected if serial % 3 == 0 else clean))
            seen = set()
            for client, count in ((first, 20), (second, 20)):
                for _ in range(count):
                    reply = client.receive()
                    self.assertIsNotNone(reply)
                    # Each reply comes back on the connection that asked.
                    self.assertEqual(reply.serial % 2, 1 if client is first else 0)
                    self.assertEqual(len(reply.scan_report.virus), 1 if reply.serial % 3 == 0 else 0)
                    seen.add(reply.serial)
            self.assertEqual(seen, set(range(1, 41)))
        finally:
            first.close()
            second.close()

    def test_info_on_subscription_and_after_reload(self):
        client = Client(self.socket_path)
        try:
            subscribe = se.ClientMessage()
            subscribe.tag = se.ClientMessage.SUBSCRIBE_INFO
            client.send(subscribe)
            info = client.receive()
            self.assertEqual(info.tag, se.ServerMessage.INFO_NOTIFICATION)
            self.assertTrue(info.info.engine_version.startswith("ClamAV "), info.info.engine_version)
            stamp = max(os.stat(os.path.join(self.db, n)).st_mtime for n in os.listdir(self.db))
            self.assertEqual(info.info.base_stamp, int(stamp))
            bases = {os.path.basename(b.path): b.virus_records for b in info.info.virus_base}
            self.assertEqual(bases.get("second.ndb"), 1)

            # A new database file and SIGHUP: the daemon reloads, tells the
            # subscriber, and finds the new signature.
            third = os.path.join(self.db, "third.ndb")
            with open(third, "w") as f:
                f.write(ndb_line("Tarnwick.Test.Third", THIRD))
            os.utime(third, (1800000000, 1800000000))
            self.proc.send_signal(signal.SIGHUP)
            info = client.receive()
            self.assertIsNotNone(info)
            self.assertEqual(info.tag, se.ServerMessage.INFO_NOTIFICATION)
            self.assertEqual(info.info.base_stamp, 1800000000)
            marked = self.write("third.txt", b"before " + THIRD + b" after")
            self.assert_finds(self.scan_all([marked])[0], ["Tarnwick.Test.Third"])
        finally:
            client.close()


if __name__ == "__main__":
    unittest.main()
