"""The engine simulators on their own: what they answer, and the options
that the other end-to-end tests rely on (delay, shuffle, stall, exit and
close after N, the request log, bad input, several connections).

The wire is spoken with the harness's few lines of protocol-buffer
encoding and a decoder here, so these tests need nothing beyond the
standard library."""

import os
import shutil
import tempfile
import time
import unittest

import harness

BIN = harness.default_bin_dir()


# --- minimal protocol-buffer wire format ------------------------------------------

def vfield(no, value):
    return harness.field(no, 0, value)


def bfield(no, data):
    return harness.field(no, 2, harness.to_bytes(data))


def fields(body):
    """{field number: [values]}; varints as int, length-delimited as bytes."""
    out = {}
    i = 0
    while i < len(body):
        key, i = _read_varint(body, i)
        no, wire = key >> 3, key & 7
        if wire == 0:
            value, i = _read_varint(body, i)
        elif wire == 2:
            length, i = _read_varint(body, i)
            value = body[i:i + length]
            i += length
        else:
            raise ValueError("unexpected wire type %d" % wire)
        out.setdefault(no, []).append(value)
    return out


def _read_varint(data, i):
    shift = value = 0
    while True:
        c = data[i]
        i += 1
        value |= (c & 0x7F) << shift
        shift += 7
        if not c & 0x80:
            return value, i


def signed64(v):
    return v - (1 << 64) if v >= 1 << 63 else v


def scan_request(serial, path):
    return vfield(1, 1) + vfield(2, serial) + bfield(3, bfield(1, path))


SUBSCRIBE_INFO = vfield(1, 3)


def spam_request(serial, text):
    return vfield(1, 1) + vfield(2, serial) + bfield(3, text)


def virus_names(report):
    """Names of all viruses in a ScanReport, depth first, parent first."""
    f = fields(report)
    names = [fields(v)[2][0].decode() for v in f.get(6, [])]
    for item in f.get(20, []):
        names += virus_names(item)
    return names


# --- harness -------------------------------------------------------------------------

class Link(harness.FrameConnection):
    send = harness.FrameConnection.send_frame

    def recv(self, timeout=3.0):
        """Next frame body; None when the engine closed the connection,
        "huge" for the largest length there is; raises TimeoutError."""
        try:
            return self.recv_frame(timeout, limit=0xFFFFFFFE)
        except harness.FrameTooLong:
            return "huge"

    def silent_for(self, seconds):
        try:
            self.recv(seconds)
        except TimeoutError:
            return True
        return False


@unittest.skipUnless(os.path.exists(os.path.join(BIN, "sim-scan-engine")), "simulators not built")
class EngineTestBase(unittest.TestCase):
    kind = None

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tw-sim-", dir="/tmp")
        self.engines = []
        self.links = []

    def tearDown(self):
        for link in self.links:
            link.close()
        for engine in self.engines:
            engine.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def start(self, *args, name="e"):
        engine = harness.EngineProcess(self.kind, os.path.join(self.dir, name + ".sock"), BIN, args,
                                       log_path=os.path.join(self.dir, name + ".log"),
                                       stderr_path=os.path.join(self.dir, name + ".err"))
        self.engines.append(engine.start())
        return engine

    def link(self, engine):
        link = Link.connect(engine.socket_path)
        self.links.append(link)
        return link

    def file(self, name, content):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(harness.to_bytes(content))
        return path


class ScanEngineTest(EngineTestBase):
    kind = "sim-scan-engine"

    def scan(self, link, serial, path):
        link.send(scan_request(serial, path))
        reply = fields(link.recv())
        self.assertEqual(reply[1], [2])  # SCAN_FILE_RESULT
        self.assertEqual(reply[2], [serial])
        return reply[4][0] if 4 in reply else None

    def test_findings(self):
        engine = self.start()
        link = self.link(engine)
        clean = self.file("clean", "Subject: hi\n\nhello\n")
        report = fields(self.scan(link, 1, clean))
        self.assertEqual(report[1], [clean.encode()])
        self.assertNotIn(6, report)
        self.assertNotIn(7, report)

        infected = self.file("eicar", "Subject: t\n\n" + harness.eicar() + "\n")
        self.assertEqual(virus_names(self.scan(link, 2, infected)), ["EICAR-Test-File"])

        nested = self.file("nested", "X-Sim-Virus: Worm.A\nX-Sim-Nested: 3\nX-Sim-Root-Virus: Root.B\n")
        report = self.scan(link, 3, nested)
        self.assertEqual(virus_names(report), ["Root.B", "Worm.A", "Sim.Nested.1", "Sim.Nested.2", "Sim.Nested.3"])
        archive = fields(fields(report)[20][1])
        self.assertEqual(fields(archive[4][0])[1], [1])  # SE_ARCHIVE
        self.assertEqual(len(archive[20]), 3)

        error = self.file("error", "X-Sim-Error: SE_SCAN_TIMEOUT\r\n" + harness.eicar())
        report = fields(self.scan(link, 4, error))
        self.assertEqual(report[7], [40])
        self.assertEqual(len(report[6]), 1)  # viruses stay listed beside the error

        child = fields(self.scan(link, 5, self.file("child", "X-Sim-Child-Error: SE_ARCH_CRC_ERROR\n")))
        self.assertNotIn(7, child)
        self.assertEqual(fields(child[20][0])[7], [22])

        self.assertEqual(fields(self.scan(link, 6, os.path.join(self.dir, "missing")))[7], [2])
        self.assertEqual(fields(self.scan(link, 7, "relative/path"))[7], [1])
        self.assertEqual(fields(self.scan(link, 8, self.dir))[7], [3])  # a directory

        unknown = fields(self.scan(link, 9, self.file("unknown", "X-Sim-Error: SE_NO_SUCH_THING\n")))
        self.assertEqual(unknown[7], [100])

        self.assertIn("SCAN serial=2 path=%s" % infected, engine.log_lines())
        self.assertEqual(engine.requests(), list(range(1, 10)))

    def test_fixed_outcomes(self):
        path = self.file("m", "hello " + harness.eicar())
        for fixed, check in (
                ("clean", lambda r: self.assertEqual(virus_names(r), [])),
                ("virus:Fixed.One", lambda r: self.assertEqual(virus_names(r), ["Fixed.One"])),
                ("error:SE_ENGINE_CRASH", lambda r: self.assertEqual(fields(r)[7], [41])),
                ("noreport", lambda r: self.assertIsNone(r))):
            engine = self.start("--fixed", fixed, name=fixed.split(":")[0])
            check(self.scan(self.link(engine), 11, path))
        engine = self.start("--fixed", "none", name="none")
        link = self.link(engine)
        link.send(scan_request(12, path))
        self.assertTrue(link.silent_for(0.3))

        # The marker chooses per file.
        engine = self.start(name="marker")
        link = self.link(engine)
        self.assertIsNone(self.scan(link, 13, self.file("nr", "X-Sim-Fixed: noreport\n")))

    def test_information(self):
        engine = self.start("--info-version", "Sim 9.9", "--info-stamp", "1000", "--scan-file-info")
        link = self.link(engine)
        link.send(SUBSCRIBE_INFO)
        info = fields(link.recv())
        self.assertEqual(info[1], [5])
        app = fields(info[6][0])
        self.assertEqual(app[1], [b"Sim 9.9"])
        self.assertEqual(app[3], [1000])
        # --scan-file-info: a SCAN_FILE_INFO frame comes before the result.
        link.send(scan_request(4, self.file("c", "x")))
        self.assertEqual(fields(link.recv())[1], [3])
        self.assertEqual(fields(link.recv())[1], [2])

        quiet = self.link(self.start("--no-info", name="quiet"))
        quiet.send(SUBSCRIBE_INFO)
        self.assertTrue(quiet.silent_for(0.3))
        self.assertEqual(fields(self.scan(quiet, 5, self.file("d", "x")))[1], [self.dir.encode() + b"/d"])

    def test_bad_input_is_ignored(self):
        engine = self.start()
        link = self.link(engine)
        link.send(b"\xff\xff\xff")
        link.send(b"")
        link.send(vfield(1, 77))  # unknown tag
        self.assertIsNotNone(self.scan(link, 1, self.file("a", "x")))
        log = engine.log_lines()
        self.assertEqual(sum(1 for line in log if line.startswith("UNKNOWN")), 3)

        # An absurd length ends that connection, not the daemon.
        link.send_raw((0x7FFFFFFF).to_bytes(4, "little"))
        self.assertIsNone(link.recv())
        self.assertIsNotNone(self.scan(self.link(engine), 2, self.file("b", "x")))
        self.assertIsNone(engine.returncode)


class ScheduleTest(EngineTestBase):
    kind = "sim-scan-engine"

    def send_scans(self, link, serials):
        path = self.file("clean", "nothing here\n")
        # One write: an engine that closes after its first answer must not
        # find half of the requests still on their way.
        link.send_raw(b"".join(len(body).to_bytes(4, "little") + body
                               for body in (scan_request(serial, path) for serial in serials)))

    def serials(self, link, count, timeout=3.0):
        return [fields(link.recv(timeout))[2][0] for _ in range(count)]

    def test_delay_and_jitter(self):
        link = self.link(self.start("--delay-ms", "300"))
        started = time.monotonic()
        self.send_scans(link, [1])
        self.assertEqual(self.serials(link, 1), [1])
        self.assertGreaterEqual(time.monotonic() - started, 0.29)

        link = self.link(self.start("--jitter-ms", "40", name="j"))
        self.send_scans(link, range(1, 51))
        got = self.serials(link, 50)
        self.assertEqual(sorted(got), list(range(1, 51)))

    def test_shuffle(self):
        link = self.link(self.start("--shuffle", "20"))
        self.send_scans(link, range(1, 21))
        got = self.serials(link, 20)
        self.assertEqual(sorted(got), list(range(1, 21)))
        self.assertNotEqual(got, list(range(1, 21)))
        # An incomplete batch is answered after a short quiet spell.
        self.send_scans(link, [31, 32, 33])
        self.assertEqual(sorted(self.serials(link, 3)), [31, 32, 33])
        self.assertTrue(link.silent_for(0.3))  # and nothing twice

    def test_stall_file(self):
        stall = self.file("stall", "")
        link = self.link(self.start("--stall-file", stall))
        self.send_scans(link, [1, 2])
        self.assertTrue(link.silent_for(0.4))
        os.unlink(stall)
        self.assertEqual(self.serials(link, 2), [1, 2])

    def test_exit_after(self):
        engine = self.start("--exit-after", "2")
        link = self.link(engine)
        self.send_scans(link, [1, 2, 3])
        self.assertEqual(self.serials(link, 2), [1, 2])
        self.assertIsNone(link.recv())
        engine.proc.wait(timeout=5)
        self.assertEqual(engine.returncode, 0)
        self.assertFalse(os.path.exists(engine.socket_path))

        engine = self.start("--exit-after", "0", name="zero")
        link = self.link(engine)
        self.send_scans(link, [1])
        self.assertIsNone(link.recv())

    def test_close_after_and_several_connections(self):
        engine = self.start("--close-after", "1")
        first = self.link(engine)
        second = self.link(engine)  # open at the same time, as at a reload
        self.send_scans(second, [20])
        self.send_scans(first, [10, 11])
        self.assertEqual(self.serials(first, 1), [10])
        self.assertIsNone(first.recv())
        self.assertEqual(self.serials(second, 1), [20])
        self.assertIn("CONNECT 2", engine.log_lines())
        self.assertIsNone(engine.returncode)

    def test_broken_and_duplicate_replies(self):
        link = self.link(self.start("--bad-reply", "empty"))
        self.send_scans(link, [1])
        self.assertEqual(link.recv(), b"")

        link = self.link(self.start("--bad-reply", "huge", name="huge"))
        self.send_scans(link, [1])
        self.assertEqual(link.recv(), "huge")

        link = self.link(self.start("--bad-reply", "truncated", name="trunc"))
        self.send_scans(link, [1])
        self.assertIsNone(link.recv())

        link = self.link(self.start("--duplicate", name="dup"))
        self.send_scans(link, [7])
        self.assertEqual(self.serials(link, 2), [7, 7])

        # Information replies are never broken: only answers to requests.
        link = self.link(self.start("--bad-reply", "garbage", name="garbage"))
        link.send(SUBSCRIBE_INFO)
        self.assertEqual(fields(link.recv())[1], [5])
        self.send_scans(link, [2])
        self.assertEqual(set(link.recv()), {0xFF})


class SpamEngineTest(EngineTestBase):
    kind = "sim-spam-engine"

    def rate(self, link, serial, text):
        link.send(spam_request(serial, harness.to_bytes(text)))
        reply = fields(link.recv())
        self.assertEqual(reply[1], [1])
        self.assertEqual(reply[2], [serial])
        return reply

    def score(self, reply):
        report = fields(reply[3][0])
        score = fields(report[1][0])
        self.assertIn(2, report)  # details: required
        return fields(report[1][0])[1][0], signed64(score[2][0])

    def test_scores(self):
        engine = self.start()
        link = self.link(engine)
        self.assertEqual(self.score(self.rate(link, 1, "Subject: minutes\n\nsee attached\n")), (0, -500))
        self.assertEqual(self.score(self.rate(link, 2, "cheap VIAGRA, lottery win")), (1, 300))
        self.assertEqual(self.score(self.rate(link, 3, "Subject: x\nX-Sim-Score: 250\n\nbody")), (1, 250))
        self.assertEqual(self.score(self.rate(link, 4, "X-Sim-Score: -1500\n")), (0, -1500))

        error = self.rate(link, 5, "X-Sim-Error: EC_NOT_READY\n")
        self.assertNotIn(3, error)
        self.assertEqual(fields(error[100][0])[1], [9])

        # A zero byte does not cut the text the engine sees.
        text = b"abc\x00def viagra"
        self.assertEqual(self.score(self.rate(link, 6, text)), (0, -100))
        self.assertIn("SPAM serial=6 len=14 head=abc\\x00def viagra", engine.log_lines())
        self.assertEqual(engine.requests(), [1, 2, 3, 4, 5, 6])

    def test_fixed(self):
        link = self.link(self.start("--fixed", "score:-2000"))
        self.assertEqual(self.score(self.rate(link, 1, "viagra")), (0, -2000))
        link = self.link(self.start("--fixed", "noreport", name="nr"))
        reply = self.rate(link, 2, "hello")
        self.assertNotIn(3, reply)
        self.assertNotIn(100, reply)
        link = self.link(self.start("--fixed", "error:EC_IO_ERROR", name="err"))
        self.assertEqual(fields(self.rate(link, 3, "hello")[100][0])[1], [22])

    def test_bad_options_refused(self):
        engine = harness.EngineProcess(self.kind, os.path.join(self.dir, "x.sock"), BIN, ["--fixed", "maybe"])
        with self.assertRaises(RuntimeError):
            engine.start()
        self.assertEqual(engine.returncode, 2)


if __name__ == "__main__":
    unittest.main()
