"""quillon-clamd's temporary directory (--temp-dir), where libclamav writes
each part of a mail it decodes: the daemon refuses one that is missing, a
link, or open to other users without the sticky bit; the scans write in
the one it is given and leave nothing behind; and, as root on a small
tmpfs, a scan whose temporary files do not fit is answered with an error
unless it found a match, never clean, with libclamav's repeated complaints
cut short in the log.
"""

import base64
import os
import re
import shutil
import subprocess
import unittest

import engine_samples as samples
import harness
from engine_samples import program, run, wait_for_log

se = harness.load_schema("se")

EICAR = harness.eicar().encode()
EICAR_NAME = "Tarnwick.Test.EICAR"
OLD = 1700000000


def names(report):
    return [v.name for v in report.virus]


def attachments(*parts):
    """A message with each of parts (bytes) as a base64 attachment."""
    out = [b"From: alice@example.org", b"To: bob@example.org", b"Subject: parts", b"MIME-Version: 1.0",
           b'Content-Type: multipart/mixed; boundary="b0"', b""]
    for i, data in enumerate(parts):
        out += [b"--b0", b'Content-Type: application/octet-stream; name="p%d.bin"' % i,
                b"Content-Transfer-Encoding: base64", b"", base64.encodebytes(data)]
    return b"\n".join(out + [b"--b0--", b""])


class TempDirTest(samples.DaemonsTest):
    PROGRAM = "quillon-clamd"

    @classmethod
    def setUpClass(cls):
        cls.begin("tw-cltmp-")

    def start(self, name, temp_dir, args=()):
        return self._start(name, ["--db", harness.clamav_test_db(), "--temp-dir", temp_dir] + list(args))

    def write(self, name, data):
        path = os.path.join(self.tmp, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def test_refused_directories(self):
        private = os.path.join(self.tmp, "private")
        os.makedirs(private, mode=0o700, exist_ok=True)
        open_dir = os.path.join(self.tmp, "open")
        os.makedirs(open_dir, exist_ok=True)
        os.chmod(open_dir, 0o777)
        link = os.path.join(self.tmp, "link")
        if not os.path.lexists(link):
            os.symlink(private, link)
        cases = [
            (os.path.join(self.tmp, "missing"), "No such file or directory"),
            (open_dir, "writable by other users without the sticky bit"),
            (link, "a symbolic link"),
            (self.write("plain-file", b"x"), "not a directory"),
            ("relative/dir", "must be an absolute path"),
        ]
        sock = os.path.join(self.tmp, "refused.sock")
        for directory, why in cases:
            with self.subTest(directory=directory):
                out = run([program("quillon-clamd"), "--socket", sock, "--db", harness.clamav_test_db(),
                           "--temp-dir", directory])
                self.assertEqual(out.returncode, 2, out)
                self.assertIn("--temp-dir %s: %s" % (directory, why), out.stderr.decode())
                self.assertFalse(os.path.exists(sock))

    def test_scans_write_there_and_leave_nothing(self):
        # A sticky directory open to all (as /tmp) is taken: nobody else can
        # move what the daemon puts there.
        temp = os.path.join(self.tmp, "sticky")
        os.makedirs(temp, exist_ok=True)
        os.chmod(temp, 0o1777)
        daemon = self.start("sticky", temp)
        wait_for_log(daemon, r"info: temporary files in %s \(" % re.escape(temp))
        os.utime(temp, (OLD, OLD))
        paths = [self.write("infected.eml", harness.mime_message(EICAR)),
                 self.write("clean.eml", harness.mime_message(b"a harmless attachment\n"))]
        infected, clean = samples.scan(daemon.socket_path, paths)
        self.assertTrue(names(infected) and names(infected)[0].startswith(EICAR_NAME), infected)
        self.assertEqual((names(clean), clean.HasField("error")), ([], False))
        # Entries were made and removed there, and none is left.
        self.assertGreater(os.stat(temp).st_mtime, OLD)
        self.assertEqual(os.listdir(temp), [])

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("mount"), "mounting a small tmpfs needs root")
    @harness.ci_may_skip("a container may forbid mounting")
    def test_a_full_temporary_directory_is_no_clean_answer(self):
        small = os.path.join(self.tmp, "small")
        os.makedirs(small, exist_ok=True)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k,mode=0700", "tmpfs", small]).returncode != 0:
            self.skipTest("tmpfs cannot be mounted here")
        self.addCleanup(subprocess.run, ["umount", small])
        # One scan at a time: the log lines of each stay together.
        daemon = self.start("small", small, ["--workers", "1"])
        self.addCleanup(daemon.stop)
        wait_for_log(daemon, r"info: temporary files in %s \(a tmpfs\)" % re.escape(small))
        large = os.urandom(600 << 10)
        paths = [
            # The virus at the end of a part too large for the tmpfs.
            self.write("tail.eml", attachments(large + EICAR)),
            # Found in a part after the one that did not fit: a match settles it.
            self.write("after.eml", attachments(large, EICAR)),
            self.write("small.eml", attachments(b"a harmless attachment\n")),
        ]
        tail, after, clean = samples.scan(daemon.socket_path, paths)
        self.assertEqual((tail.error, names(tail)), (se.SE_WRITE_ERROR, []))
        self.assertTrue(names(after) and names(after)[0].startswith(EICAR_NAME), after)
        self.assertFalse(after.HasField("error"))
        # The failed scans removed their files: the next one has room.
        self.assertEqual((names(clean), clean.HasField("error")), ([], False))
        wait_for_log(daemon, r"warning: %s: not answered clean: libclamav could not write" % re.escape(paths[0]))
        wait_for_log(daemon, r"warning: %s: \d+ more messages of libclamav not logged" % re.escape(paths[0]))
        # One failed write per line of the part: the log gets the first five.
        lines = daemon.log_lines()
        first = next(i for i, line in enumerate(lines) if "LibClamAV Error" in line)
        end = next(i for i, line in enumerate(lines) if "more messages of libclamav" in line)
        self.assertEqual(sum("LibClamAV" in line for line in lines[first:end]), 5, lines[first:end + 1])


if __name__ == "__main__":
    unittest.main()
