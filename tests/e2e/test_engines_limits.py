"""End-to-end tests of what an administrator relies on in quillon-clamd:
the scan limits and the alerts at them, the paths it refuses, the
self-check reload and the database age, the socket permissions and peer
credentials, quillon-check's exit codes; and, for all three programs, the
command lines and the service files.

The daemons run on generated samples in a scratch directory with the test
signature database; each test class starts the daemons it needs once.
"""

import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import time
import unittest

import engine_samples as samples
import harness
from engine_samples import program, run, wait_for_log

se = harness.load_schema("se")

ENGINES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "engines")
EICAR = harness.eicar().encode()
EICAR_NAME = "Tarnwick.Test.EICAR"
OLD = 1700000000  # November 2023: far older than a week


def vm_rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS for %d" % pid)


# Opens argv[2] connections to the socket argv[1] and sends nothing; once
# the daemon has closed all but argv[3] of them, or after argv[4] seconds,
# prints how many it kept open; holds them until its standard input closes.
IDLE_PEER = """
import select, socket, sys, time
peers = []
for _ in range(int(sys.argv[2])):
    s = socket.socket(socket.AF_UNIX)
    s.connect(sys.argv[1])
    peers.append(s)
deadline = time.monotonic() + float(sys.argv[4])
while len(peers) > int(sys.argv[3]) and time.monotonic() < deadline:
    readable, _, _ = select.select(peers, [], [], 0.05)
    for s in readable:
        try:
            gone = s.recv(1) == b""
        except OSError:
            gone = True
        if gone:
            peers.remove(s)
print(len(peers), flush=True)
sys.stdin.read()
"""


def hog_frame(path, announced, sent):
    """A connection that announces a frame of `announced` bytes and sends
    `sent` of them (fewer when the daemon closes it first)."""
    hog = socket.socket(socket.AF_UNIX)
    hog.connect(path)
    try:
        hog.sendall(struct.pack("<I", announced) + bytes(sent))
    except OSError:
        pass
    return hog


def names(report):
    return [v.name for v in report.virus]


@harness.skip_without("quillon-clamd")
class ClamdOperationsTest(samples.DaemonsTest):
    """Two daemons on one old database: `strict` with the default alerts, a
    1 MiB file limit, --allow-dir and a self-check each second; `lax` with
    both alerts switched off."""

    PROGRAM = "quillon-clamd"

    @classmethod
    def setUpClass(cls):
        cls.begin("tw-clops-")
        cls.db = os.path.join(cls.tmp, "db")
        shutil.copytree(harness.clamav_test_db(), cls.db)
        for name in os.listdir(cls.db):
            os.utime(os.path.join(cls.db, name), (OLD, OLD))
        cls.mail = os.path.join(cls.tmp, "mail")
        os.mkdir(cls.mail)
        try:
            # "later" is made only by a test, as the filter makes its Temp
            # directory after the engine has started.
            cls.strict = cls._start("strict", ["--max-file-size", "1M", "--allow-dir", cls.mail,
                                               "--allow-dir", os.path.join(cls.tmp, "later") + "/",
                                               "--self-check", "1", "--socket-mode", "0600"])
            cls.lax = cls._start("lax", ["--max-file-size", "1M", "--no-alert-exceeds-max",
                                         "--no-alert-encrypted"])
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def _start(cls, name, args):
        return super()._start(name, ["--db", cls.db] + args)

    def write(self, name, data, directory=None):
        path = os.path.join(directory or self.mail, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def test_limits_and_encryption_are_findings_unless_switched_off(self):
        paths = [
            self.write("nested.eml", harness.mime_message(harness.nested_zip(EICAR, 16), "n.zip")),
            self.write("encrypted.eml", harness.mime_message(harness.encrypted_zip("v.com", EICAR),
                                                             "e.zip")),
            self.write("large.eml", harness.padded_message(2 << 20)),
            # Fifteen levels stay within the recursion limit: the virus itself is found.
            self.write("shallow.eml", harness.mime_message(harness.nested_zip(EICAR, 15), "s.zip")),
            self.write("clean.eml", harness.mime_message(b"just a harmless attachment\n")),
        ]
        strict = samples.scan(self.strict.socket_path, paths)
        self.assertEqual(names(strict[0]), ["Heuristics.Limits.Exceeded.MaxRecursion"])
        self.assertEqual(names(strict[1]), ["Heuristics.Encrypted.Zip"])
        self.assertEqual(names(strict[2]), ["Heuristics.Limits.Exceeded.MaxFileSize"])
        self.assertTrue(names(strict[3])[0].startswith(EICAR_NAME), strict[3])
        self.assertEqual(names(strict[4]), [])
        for report in strict[:3]:
            self.assertEqual([v.type for v in report.virus], [se.SE_UNKNOWN_VIRUS])
            self.assertFalse(report.HasField("error"))
        # One line per finding, with the serial, the path and the time.
        wait_for_log(self.strict, r"serial 1: %s: FOUND Heuristics\.Limits\.Exceeded\.MaxRecursion \(\d+ ms\)"
                     % re.escape(paths[0]))

        lax = samples.scan(self.lax.socket_path, paths)
        self.assertEqual([names(r) for r in (lax[0], lax[1], lax[4])], [[], [], []])
        self.assertEqual(lax[2].error, se.SE_FILE_TOO_LARGE)

    def test_defaults_and_database_age_are_logged(self):
        wait_for_log(self.lax, r"max-scan-size 400M, max-file-size 1M, max-recursion 17, max-files 10000")
        wait_for_log(self.lax, r"warning: 1 signatures loaded, the databases are \d+ days old \(more than 7\)")
        # A time stamp and a level on every line.
        for line in self.lax.log_lines():
            self.assertRegex(line, r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d quillon-clamd\[\d+\]: "
                                   r"(info|warning|error): ")
        out = run([program("quillon-clamd"), "--help"])
        self.assertEqual(out.returncode, 0)
        text = " ".join(out.stdout.decode().split())
        for default in ("--max-scan-size SIZE data read and unpacked per file (1 byte to 2000M, default 400M)",
                        "--max-file-size SIZE largest file or object scanned (1 byte to 2000M, default 400M)",
                        "(1 to 255, default 17)", "(1 to 1000000, default 10000)", "--self-check SECONDS",
                        "--allow-dir DIR"):
            self.assertIn(default, text)

    def test_refused_paths(self):
        outside = self.write("outside.txt", EICAR, directory=self.tmp)
        inside = self.write("inside.txt", EICAR)
        link = os.path.join(self.mail, "link.txt")
        if not os.path.lexists(link):
            os.symlink(inside, link)
        escape = os.path.join(self.mail, "escape")
        if not os.path.lexists(escape):
            os.symlink(self.tmp, escape)
        # A sibling that shares the allowed directory's name as a prefix is outside.
        os.makedirs(self.mail + "-evil", exist_ok=True)
        sibling = self.write("inside.txt", EICAR, directory=self.mail + "-evil")
        cases = [
            (outside, se.SE_NO_ACCESS),
            (sibling, se.SE_NO_ACCESS),
            (self.mail, se.SE_FILE_NOT_REGULAR),
            # A link in the directories leads out: where the file really is counts.
            (os.path.join(escape, "outside.txt"), se.SE_NO_ACCESS),
            (os.path.join(self.mail, "..", "outside.txt"), se.SE_PATH_NOT_ABSOLUTE),
            (self.mail + "/../mail/inside.txt", se.SE_PATH_NOT_ABSOLUTE),
            ("mail/inside.txt", se.SE_PATH_NOT_ABSOLUTE),
            (link, se.SE_FILE_NOT_REGULAR),
        ]
        os.makedirs(os.path.join(self.tmp, "later"), exist_ok=True)
        later = self.write("later.txt", EICAR, directory=os.path.join(self.tmp, "later"))
        # Doubled slashes and a name starting with two dots are no climb.
        allowed = [inside, later, self.mail + "//inside.txt", self.write("..inside", EICAR)]
        reports = samples.scan(self.strict.socket_path, [path for path, _ in cases] + allowed)
        for (path, error), report in zip(cases, reports):
            self.assertEqual((report.error, names(report)), (error, []), path)
        for report in reports[len(cases):]:
            self.assertTrue(names(report)[0].startswith(EICAR_NAME), report)
        # Devices are never opened for reading; without --allow-dir they are
        # refused as not regular.
        for report in samples.scan(self.lax.socket_path, ["/dev/zero", "/dev/null"]):
            self.assertEqual(report.error, se.SE_FILE_NOT_REGULAR)

    def test_self_check_reloads_changed_databases(self):
        marker = b"tarnwick self-check marker 0815"
        marked = self.write("marked.txt", b"before " + marker + b" after")
        self.assertEqual(names(samples.scan(self.strict.socket_path, [marked])[0]), [])
        with open(os.path.join(self.db, "added.ndb"), "w") as f:
            f.write("Tarnwick.Test.Added:0:*:%s\n" % marker.hex())
        try:
            wait_for_log(self.strict, r"self-check: the signature databases changed")
            wait_for_log(self.strict, r"2 signatures loaded")
            found = names(samples.scan(self.strict.socket_path, [marked])[0])
            self.assertTrue(found and found[0].startswith("Tarnwick.Test.Added"), found)
        finally:
            os.unlink(os.path.join(self.db, "added.ndb"))

    def test_socket_mode_and_peer_credentials(self):
        self.assertEqual(os.stat(self.strict.socket_path).st_mode & 0o777, 0o600)
        self.assertEqual(os.stat(self.lax.socket_path).st_mode & 0o777, 0o660)
        samples.scan(self.lax.socket_path, ["/dev/null"])
        wait_for_log(self.lax, r"connection \d+ opened by uid %d gid %d pid \d+" % (os.getuid(), os.getgid()))

    @unittest.skipIf(os.geteuid() != 0, "needs root to connect as another user")
    def test_allow_lists_refuse_other_users(self):
        nobody = 65534
        os.chmod(self.tmp, 0o755)
        paths = {}
        for name, allow in (("closed", ["--allow-uid", "0", "--allow-gid", "0"]),
                            ("open", ["--allow-uid", str(nobody)])):
            daemon = self._start(name, ["--socket-mode", "0666"] + allow)
            paths[name] = daemon

        # A copy nobody can reach: the build tree may not be (a checkout in /root).
        check = shutil.copy(program("quillon-check"), self.tmp)

        def check_as_nobody(daemon):
            return subprocess.run([check, "--scan-engine", daemon.socket_path, "--timeout", "5"],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  preexec_fn=lambda: (os.setgroups([]), os.setgid(nobody), os.setuid(nobody)),
                                  timeout=30)
        self.assertEqual(check_as_nobody(paths["closed"]).returncode, 2)
        wait_for_log(paths["closed"], r"warning: connection \d+ refused: uid %d gid %d pid \d+ is not allowed"
                     % (nobody, nobody))
        self.assertEqual(check_as_nobody(paths["open"]).returncode, 0)
        wait_for_log(paths["open"], r"connection \d+ opened by uid %d" % nobody)

    def test_names_outside_allow_dir_answer_alike(self):
        """No reply tells whether a file outside exists: not by its name,
        nor through a link inside that leads out."""
        escape = os.path.join(self.mail, "escape-etc")
        if not os.path.lexists(escape):
            os.symlink("/etc", escape)
        pairs = [("/etc/shadow", "/etc/no-such-file"),
                 ("/etc//./passwd", "/etc/no-such-dir/file"),
                 (os.path.join(escape, "passwd"), os.path.join(escape, "no-such-file"))]
        for existing, missing in pairs:
            replies = samples.scan(self.strict.socket_path, [existing, missing])
            for report in replies:
                report.object = b""
            self.assertEqual(replies[0].SerializeToString(), replies[1].SerializeToString(), existing)
            self.assertEqual((replies[0].error, names(replies[0])), (se.SE_NO_ACCESS, []), existing)

    def test_frames_longer_than_a_scan_request_are_refused_unread(self):
        """16 connections each announce 64 MiB and send 8 MiB of it: the
        default --max-frame (16 KiB) cuts each after its length, so memory
        measured while they are still open stays small."""
        daemon = self.lax
        rss_before = vm_rss_kib(daemon.proc.pid)
        hogs = [hog_frame(daemon.socket_path, 64 << 20, 8 << 20) for _ in range(16)]
        for hog in hogs:
            self.addCleanup(hog.close)
        if not harness.SANITIZED:  # sanitizers add memory of their own
            self.assertLess(vm_rss_kib(daemon.proc.pid) - rss_before, 16 << 10)
        wait_for_log(daemon, r"frame of %d bytes exceeds the limit of 16384 bytes" % (64 << 20))
        for hog in hogs:
            hog.settimeout(5)
            try:
                self.assertEqual(hog.recv(1), b"")
            except ConnectionResetError:
                pass  # closed with the sent bytes unread

    @unittest.skipIf(os.geteuid() != 0, "needs root to connect as another user")
    def test_hostile_peers_cost_little_and_leave_room(self):
        """16 frames announced at 64 MiB (allowed here) of which 1 MiB comes
        and then a byte every quarter second, and 70 idle connections of one
        user: memory stays small while the frames are open, each frame is cut
        at the frame timeout however its bytes trickle, the idle connections
        stay, and quillon-check (root) still answers."""
        nobody = 65534
        os.chmod(self.tmp, 0o755)
        daemon = self._start("peers", ["--socket-mode", "0666", "--frame-timeout", "2",
                                       "--max-frame", "64M"])
        rss_before = vm_rss_kib(daemon.proc.pid)
        started = time.monotonic()
        hogs = [hog_frame(daemon.socket_path, 64 << 20, 1 << 20) for _ in range(16)]
        for hog in hogs:
            self.addCleanup(hog.close)
        # Measured while every frame is open: a buffer sized from the
        # announced length would cost 16 x 64 MiB.
        if not harness.SANITIZED:  # sanitizers add memory of their own
            self.assertLess(vm_rss_kib(daemon.proc.pid) - rss_before, 48 << 10)
        # The idle user holds its connections until told to let go.
        idle = subprocess.Popen(
            [sys.executable, "-c", IDLE_PEER, daemon.socket_path, "70", "16", str(harness.scaled(10))],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
            preexec_fn=lambda: (os.setgroups([]), os.setgid(nobody), os.setuid(nobody)))
        self.addCleanup(idle.kill)
        # A byte now and then does not keep a frame alive past the timeout.
        open_hogs = list(hogs)
        while open_hogs and time.monotonic() - started < harness.scaled(8):
            for hog in list(open_hogs):
                try:
                    hog.send(b"x")
                except OSError:
                    open_hogs.remove(hog)
            time.sleep(0.25)
        self.assertEqual(open_hogs, [], "frames fed a byte at a time outlived the frame timeout")
        wait_for_log(daemon, r"connection \d+: a frame was not whole within the frame timeout")
        kept = int(idle.stdout.readline())
        self.assertEqual(kept, 16)
        wait_for_log(daemon, r"warning: refusing a connection of uid %d gid %d pid \d+: its user holds "
                     r"--max-per-user connections already" % (nobody, nobody))
        check = run([program("quillon-check"), "--scan-engine", daemon.socket_path, "--timeout", "5"])
        self.assertEqual(check.returncode, 0, check.stderr)
        idle.stdin.close()
        self.assertEqual(idle.wait(timeout=10), 0)

    def test_readiness_reload_and_stop_reach_the_service_manager(self):
        notify_path = os.path.join(self.tmp, "notify.sock")
        notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        notify.bind(notify_path)
        notify.settimeout(20)
        self.addCleanup(notify.close)
        sock = os.path.join(self.tmp, "notified.sock")
        proc = subprocess.Popen([program("quillon-clamd"), "--socket", sock, "--db", self.db],
                                env=dict(os.environ, NOTIFY_SOCKET=notify_path),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(proc.kill)

        def next_state():
            return notify.recv(4096).decode()
        self.assertIn("STATUS=loading the signature databases", next_state())
        ready = next_state()
        self.assertIn("READY=1", ready)
        # Ready means answering: the socket is there.
        self.assertTrue(os.path.exists(sock), ready)
        proc.send_signal(signal.SIGHUP)
        self.assertEqual([next_state(), next_state()], ["RELOADING=1", "READY=1"])
        proc.send_signal(signal.SIGTERM)
        self.assertEqual(next_state(), "STOPPING=1")
        self.assertEqual(proc.wait(timeout=harness.scaled(20)), 0)

    def test_quillon_check_exit_codes(self):
        check = program("quillon-check")
        infected = self.write("check-infected.eml", harness.mime_message(EICAR))
        clean = self.write("check-clean.eml", harness.mime_message(b"hello\n"))
        cases = [
            ([], 0, r"^ClamAV \d\S*; databases of 2023-11-14 .*; 1 bases, 1 signatures; 2 workers$"),
            ([clean], 0, r"^%s: OK$" % re.escape(clean)),
            ([infected], 1, r"^%s: %s\S* FOUND$" % (re.escape(infected), EICAR_NAME)),
            ([infected, "/nonexistent"], 1, r"FOUND\n/nonexistent: SE_FILE_NOT_FOUND ERROR$"),
            (["/nonexistent"], 2, r"SE_FILE_NOT_FOUND ERROR"),
        ]
        for files, code, pattern in cases:
            out = run([check, "--scan-engine", self.lax.socket_path] + files)
            self.assertEqual(out.returncode, code, out)
            self.assertRegex(out.stdout.decode().strip(), pattern)
        out = run([check, "--scan-engine", os.path.join(self.tmp, "nobody.sock")])
        self.assertEqual(out.returncode, 2)
        self.assertIn(b"cannot connect", out.stderr)


@harness.skip_without("quillon-clamd")
class ClamdThroughFilterTest(unittest.TestCase):
    """The bypass samples through Tarnwick-AV and a daemon with default
    options: rejected, never OK."""

    def test_nested_and_encrypted_attachments_are_rejected(self):
        tmp = harness.scratch_directory("tw-clflt-")
        self.addCleanup(shutil.rmtree, tmp, True)
        clamd = harness.start_daemon("quillon-clamd", tmp, ["--db", harness.clamav_test_db()])
        self.addCleanup(clamd.stop)
        s = harness.FilterSession("Tarnwick-AV", mode="Reject", engine=None,
                                 settings={"Socket": clamd.socket_path})
        self.addCleanup(s.cleanup)
        s.start()
        s.wait_for(re.compile(r"^\* Engine version: ClamAV \d"), timeout=20)
        envelope = dict(sender="alice@example.org", recipients=("bob@example.net",))
        messages = {
            "301": harness.mime_message(harness.nested_zip(EICAR, 16), "n.zip"),
            "302": harness.mime_message(harness.encrypted_zip("v.com", EICAR), "e.zip"),
        }
        for token, message in messages.items():
            s.request(token, s.add_file(harness.queue_file(message, **envelope), token + ".msg"))
        got = s.answers(list(messages), timeout=30)
        self.assertRegex(got["301"][0], r'^301 ERROR "Virus found: Heuristics\.Limits\.Exceeded\.MaxRecursion')
        self.assertRegex(got["302"][0], r'^302 ERROR "Virus found: Heuristics\.Encrypted\.Zip')
        self.assertEqual(s.quit(), 0)


class CommandLineTest(unittest.TestCase):
    def test_help_version_and_bad_options(self):
        for name in ("quillon-clamd", "quillon-spamd", "quillon-rspamd", "quillon-check"):
            with self.subTest(program=name):
                if not os.access(program(name), os.X_OK):
                    self.skipTest("%s not built" % name)
                out = run([program(name), "--version"])
                self.assertEqual(out.returncode, 0)
                self.assertRegex(out.stdout.decode(), r"^%s \d" % name)
                out = run([program(name), "--help"])
                self.assertEqual(out.returncode, 0)
                self.assertIn("usage: %s" % name, out.stdout.decode())
                out = run([program(name), "--no-such-option"])
                self.assertEqual(out.returncode, 2)
                self.assertIn(b"no-such-option", out.stderr)

    @unittest.skipIf(shutil.which("systemd-analyze") is None, "systemd-analyze not installed")
    def test_service_files_verify(self):
        tmp = harness.scratch_directory("tw-units-")
        self.addCleanup(shutil.rmtree, tmp, True)
        units = []
        for name in ("quillon-clamd", "quillon-spamd", "quillon-rspamd"):
            with open(os.path.join(ENGINES, "systemd", name + ".service")) as f:
                text = f.read()
            # systemd checks that the programs exist: point at the built ones.
            unit = os.path.join(tmp, name + ".service")
            with open(unit, "w") as f:
                f.write(text.replace("/usr/sbin/" + name, "/bin/true").replace(
                    "/usr/lib/tarnwick/wait-for-signatures",
                    os.path.join(harness.REPO_DIR, "packaging", "wait-for-signatures")))
            units.append(unit)
        # The manual pages they name are installed by the package (whose
        # test checks them), not present here.
        out = run(["systemd-analyze", "verify", "--man=no"] + units)
        self.assertEqual(out.returncode, 0, out)
        self.assertEqual(out.stderr.decode().strip(), "", out)


if __name__ == "__main__":
    unittest.main()
