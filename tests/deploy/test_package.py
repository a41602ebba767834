"""The Debian package: built with CPack from this build tree, its contents
checked with dpkg-deb; as root it is installed with dpkg -i, both filters
answer from the installed layout (program directory /var/lib/tarnwick,
settings in /etc/tarnwick) against the engine simulators run as the user
tarnwick on the sockets the samples name, and it is purged again."""

import glob
import grp
import os
import pwd
import shutil
import stat
import subprocess
import tempfile
import unittest

import deploy_util as du

BUILD_DIR = os.environ.get("TARNWICK_BUILD", os.path.dirname(du.BIN_DIR))
PROG_DIR = "/var/lib/tarnwick"

EXPECTED = {
    "./usr/lib/tarnwick/Tarnwick-AV", "./usr/lib/tarnwick/Tarnwick-AS",
    "./usr/sbin/quillon-spamd", "./usr/sbin/tarnwick-stats",
    "./etc/tarnwick/Tarnwick-AV.cfg", "./etc/tarnwick/Tarnwick-AS.cfg",
    "./etc/tarnwick/whitelist.txt", "./usr/share/doc/tarnwick/admin.md",
    "./usr/share/doc/tarnwick/settings.md", "./usr/lib/tmpfiles.d/tarnwick.conf",
    "./usr/lib/systemd/system/tarnwick-stats.timer",
}
LINKS = {
    "./var/lib/tarnwick/Tarnwick-AV": "/usr/lib/tarnwick/Tarnwick-AV",
    "./var/lib/tarnwick/Tarnwick-AS": "/usr/lib/tarnwick/Tarnwick-AS",
    "./var/lib/tarnwick/Tarnwick-AV.cfg": "/etc/tarnwick/Tarnwick-AV.cfg",
    "./var/lib/tarnwick/Tarnwick-AS.cfg": "/etc/tarnwick/Tarnwick-AS.cfg",
}


def run(*argv, **kw):
    return subprocess.run(argv, check=True, capture_output=True, text=True, timeout=600, **kw)


def as_user(user, group, supplementary=()):
    """preexec_fn: drop root for the user and group named, umask 007 (the
    sockets and files are shared through the group)."""
    uid = pwd.getpwnam(user).pw_uid
    gid = grp.getgrnam(group).gr_gid
    groups = [grp.getgrnam(g).gr_gid for g in supplementary]

    def drop():
        os.setgroups(groups)
        os.setgid(gid)
        os.setuid(uid)
        os.umask(0o007)
    return drop


@unittest.skipIf(du.SANITIZE, "the package is built from the plain build, not a sanitizer build")
@unittest.skipUnless(shutil.which("dpkg-deb") and shutil.which("cpack"), "dpkg-deb or cpack missing")
class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.out = tempfile.mkdtemp(prefix="tarnwick-package-")
        run("cpack", "-G", "DEB", "--config", os.path.join(BUILD_DIR, "CPackConfig.cmake"),
            "-B", cls.out)
        debs = glob.glob(os.path.join(cls.out, "tarnwick_*.deb"))
        assert len(debs) == 1, debs
        cls.deb = debs[0]

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.out, True)

    def field(self, name):
        return run("dpkg-deb", "-f", self.deb, name).stdout.strip()

    def test_contents(self):
        listing = run("dpkg-deb", "-c", self.deb).stdout.splitlines()
        names = {line.split()[5] for line in listing}
        self.assertEqual(EXPECTED - names, set())
        for line in listing:
            parts = line.split()
            if parts[5] in LINKS:
                self.assertEqual(parts[0][0], "l", line)
                self.assertEqual(parts[7], LINKS[parts[5]], line)
        self.assertEqual(set(LINKS) - names, set())
        depends = self.field("Depends")
        self.assertRegex(depends, r"libprotobuf\d+")
        for build_only in ("gtest", "-dev", "clang", "faketime", "cmake"):
            self.assertNotIn(build_only, depends)
        info = run("dpkg-deb", "-I", self.deb, "conffiles").stdout.split()
        self.assertEqual(sorted(info), ["/etc/tarnwick/Tarnwick-AS.cfg",
                                        "/etc/tarnwick/Tarnwick-AV.cfg",
                                        "/etc/tarnwick/whitelist.txt"])
        if shutil.which("pandoc"):
            self.assertIn("./usr/share/man/man8/Tarnwick-AV.8.gz", names)
            self.assertIn("./usr/share/man/man5/Tarnwick-AV.cfg.5.gz", names)

    @unittest.skipUnless(os.geteuid() == 0, "dpkg -i needs root: run the suite as root")
    def test_installed_filters_answer(self):
        if subprocess.run(["dpkg", "-s", "tarnwick"], capture_output=True).returncode == 0:
            self.skipTest("a tarnwick package is installed here already; not touching it")
        self.addCleanup(self.purge)
        run("dpkg", "-i", self.deb)
        grp.getgrnam("tarnwick")
        st = os.stat(PROG_DIR)
        self.assertEqual((st.st_uid, grp.getgrgid(st.st_gid).gr_name), (0, "tarnwick"))
        self.assertEqual(stat.S_IMODE(st.st_mode), 0o2775)
        self.assertTrue(os.path.isdir("/run/tarnwick"))

        # The mail server's side: its own user (here nobody) in the group
        # tarnwick, a base directory of its own.
        server = du.scratch_dir(self)
        os.chmod(server, 0o755)
        for d in ("Submitted", "Queue"):
            os.mkdir(os.path.join(server, d))
        with open(os.path.join(server, "Queue", "virus"), "wb") as f:
            f.write(du.queue_file(du.eicar()))
        with open(os.path.join(server, "Queue", "clean"), "wb") as f:
            f.write(du.queue_file("Hello."))
        for root, dirs, files in os.walk(server):
            for name in dirs + files + ["."]:
                os.chown(os.path.join(root, name), pwd.getpwnam("nobody").pw_uid, -1)
        # As the guide says: Temp made beforehand, group tarnwick and
        # set-group-ID, so the engine daemon may read the copies in it.
        temp = os.path.join(server, "Temp")
        os.mkdir(temp)
        os.chown(temp, pwd.getpwnam("nobody").pw_uid, grp.getgrnam("tarnwick").gr_gid)
        os.chmod(temp, 0o2770)
        engine_user = as_user("tarnwick", "tarnwick")
        server_user = as_user("nobody", "nogroup", ["tarnwick"])
        for program, sock, expect in (
                ("Tarnwick-AV", "/run/tarnwick/clamd.sock", ("1 ERROR ", "2 OK")),
                ("Tarnwick-AS", "/run/tarnwick/spamd-engine.sock",
                 ('1 ADDHEADER "X-Junk-Score: 100 ', '2 ADDHEADER "X-Junk-Score:  40'))):
            with self.subTest(program=program):
                du.start_engine(self, du.ENGINE_OF[program], sock, preexec=engine_user)
                flt = du.Filter(self, os.path.join(PROG_DIR, program), server, preexec=server_user)
                if program == "Tarnwick-AS":
                    with open(os.path.join(server, "Queue", "virus"), "ab") as f:
                        f.write(b"lottery viagra casino\n")
                flt.send("1 FILE Queue/virus")
                flt.send("2 FILE Queue/clean")
                self.assertTrue(flt.wait_line("1 ").startswith(expect[0]), flt.lines)
                self.assertTrue(flt.wait_line("2 ").startswith(expect[1]), flt.lines)
                self.assertEqual(flt.quit(), 0, "\n".join(flt.lines))
                self.assertEqual(flt.reports(), [], "\n".join(flt.lines))
                short = program[-2:].lower()
                self.assertTrue(os.path.isfile(os.path.join(PROG_DIR, "statistics-%s.dat" % short)))

    def purge(self):
        run("dpkg", "--purge", "tarnwick")
        self.assertFalse(os.path.exists(PROG_DIR))
        self.assertFalse(os.path.exists("/etc/tarnwick"))


if __name__ == "__main__":
    unittest.main()
