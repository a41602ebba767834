"""The Debian package: built with CPack from this build tree, its contents
checked with dpkg-deb (every program with its manual page, units that start
installed programs, nothing that pulls a desktop or an MTA); as root it is
installed with dpkg -i, the units verify, tarnwick-milter's base is there,
both filters
answer from the installed layout (program directory /var/lib/tarnwick,
settings in /etc/tarnwick) against the engine simulators run as the user
tarnwick on the sockets the samples name, tarnwick-milter started by its
unit's command line takes an administrator's edits of its conffiles over a
reinstallation, and it is purged again.  lintian, where installed, finds
nothing to say, not even of hardening; every service it installs stays at
2.5 or below on systemd-analyze security, its socket unit lets only
tarnwick and Postfix in, and its programs, like those of
the plain build, are hardened as Debian builds its own (readelf)."""

import glob
import grp
import os
import pwd
import re
import shutil
import signal
import stat
import subprocess
import tempfile
import time
import unittest

import harness

import check_deploy
import deploy_util as du

BIN_DIR = os.path.abspath(harness.default_bin_dir())
BUILD_DIR = os.environ.get("TARNWICK_BUILD", os.path.dirname(BIN_DIR))
PROG_DIR = "/var/lib/tarnwick"

EXPECTED = {
    "./usr/lib/tarnwick/Tarnwick-AV", "./usr/lib/tarnwick/Tarnwick-AS",
    "./usr/sbin/quillon-spamd", "./usr/sbin/tarnwick-stats", "./usr/sbin/tarnwick-check",
    "./etc/tarnwick/Tarnwick-AV.cfg", "./etc/tarnwick/Tarnwick-AS.cfg",
    "./etc/tarnwick/whitelist.txt", "./usr/share/doc/tarnwick/admin.md",
    "./usr/share/doc/tarnwick/settings.md", "./usr/lib/tmpfiles.d/tarnwick.conf",
    "./usr/lib/systemd/system/tarnwick-stats.timer",
    "./etc/tarnwick/milter/Tarnwick-AV.cfg", "./etc/tarnwick/milter/Tarnwick-AS.cfg",
    "./usr/share/doc/tarnwick/milter.md", "./usr/share/doc/tarnwick/copyright",
    "./usr/share/doc/tarnwick/changelog.gz", "./usr/share/doc/tarnwick/changelog.Debian.gz",
    "./etc/default/tarnwick-milter", "./etc/tarnwick/milter/whitelist.txt",
    "./usr/lib/tarnwick/wait-for-signatures", "./usr/share/doc/tarnwick/scale.md",
    "./usr/share/doc/tarnwick/examples/prometheus/tarnwick-rules.yml",
}
CONFFILES = ["/etc/default/tarnwick-milter", "/etc/tarnwick/Tarnwick-AS.cfg",
             "/etc/tarnwick/Tarnwick-AV.cfg", "/etc/tarnwick/milter/Tarnwick-AS.cfg",
             "/etc/tarnwick/milter/Tarnwick-AV.cfg", "/etc/tarnwick/milter/whitelist.txt",
             "/etc/tarnwick/whitelist.txt"]
UNIT_DIR = "/usr/lib/systemd/system"
# The links of the units the package enables, as systemctl enable makes them.
ENABLED = tuple("/etc/systemd/system/%s.wants/%s" % pair for pair in (
    ("multi-user.target", "quillon-clamd.service"), ("multi-user.target", "quillon-spamd.service"),
    ("multi-user.target", "tarnwick-milter.service"), ("timers.target", "tarnwick-stats.timer"),
    ("sockets.target", "tarnwick-milter.socket")))
LINKS = {
    "./var/lib/tarnwick/Tarnwick-AV": "/usr/lib/tarnwick/Tarnwick-AV",
    "./var/lib/tarnwick/Tarnwick-AS": "/usr/lib/tarnwick/Tarnwick-AS",
    "./var/lib/tarnwick/Tarnwick-AV.cfg": "/etc/tarnwick/Tarnwick-AV.cfg",
    "./var/lib/tarnwick/Tarnwick-AS.cfg": "/etc/tarnwick/Tarnwick-AS.cfg",
    "./var/lib/tarnwick/milter/Tarnwick-AV": "/usr/lib/tarnwick/Tarnwick-AV",
    "./var/lib/tarnwick/milter/Tarnwick-AV.cfg": "/etc/tarnwick/milter/Tarnwick-AV.cfg",
}
# What would put a desktop or a second mail system on a mail host.
NOT_PULLED = ("python3-matplotlib", "exim4", "default-mta", "mail-transport-agent", "postfix")


# The most systemd-analyze security may say of a unit the package installs.
MAX_EXPOSURE = 2.5
# Programs whose code calls what _FORTIFY_SOURCE checks (copies into
# buffers, formatted output): each must call the checked versions.
FORTIFIED = ("tarnwick-milter", "Tarnwick-AV", "Tarnwick-AS", "quillon-clamd", "quillon-spamd")


def exposure(unit):
    """systemd-analyze security's overall exposure of a unit file, offline."""
    done = subprocess.run(["systemd-analyze", "security", "--offline=true", "--no-pager", unit],
                          capture_output=True, text=True, timeout=120)
    found = re.search(r"Overall exposure level for \S+: (\d+\.\d+)", done.stdout)
    if not found:
        raise AssertionError("no exposure for %s: %s %s" % (unit, done.stdout, done.stderr))
    return float(found.group(1))


def hardening_faults(path):
    """What a program lacks of Debian's hardening, read by readelf: a PIE,
    full RELRO (the segment and immediate binding), a stack protector where
    it copies into arrays (its __stack_chk_fail), fortified calls for the
    programs of FORTIFIED."""
    dynamic = run("readelf", "-W", "-d", path).stdout
    headers = run("readelf", "-W", "-l", "-h", path).stdout
    symbols = run("readelf", "-W", "--dyn-syms", path).stdout
    faults = []
    if not re.search(r"Type:\s+DYN", headers) or not re.search(r"FLAGS_1.*\bPIE\b", dynamic):
        faults.append("not a PIE")
    if "GNU_RELRO" not in headers:
        faults.append("no RELRO segment")
    if not re.search(r"\(FLAGS\).*\bBIND_NOW\b", dynamic) or not re.search(r"FLAGS_1.*\bNOW\b", dynamic):
        faults.append("no BIND_NOW")
    if "__stack_chk_fail" not in symbols:
        faults.append("no stack protector")
    if os.path.basename(path) in FORTIFIED and not re.search(r"\b__(?!stack_)\w+_chk\b", symbols):
        faults.append("no fortified calls")
    return faults


def elf_programs(directory):
    out = []
    for name in sorted(os.listdir(directory)):
        path = os.path.join(directory, name)
        if os.path.isfile(path) and not os.path.islink(path):
            with open(path, "rb") as f:
                if f.read(4) == b"\x7fELF":
                    out.append(path)
    return out


# A sanitizer build is built without the hardening flags on purpose, so its
# skip is expected; a plain build without them is a fault where CI is set.
@(harness.ci_may_skip("plain build only") if du.SANITIZE else (lambda cls: cls))
@unittest.skipUnless(shutil.which("readelf"), "readelf (binutils) missing")
@unittest.skipUnless(os.environ.get("TARNWICK_HARDENED") == "ON",
                     "a build without the hardening flags (sanitizers, TARNWICK_HARDENING=OFF)")
class HardenedBuildTest(unittest.TestCase):
    def test_every_program_of_the_build_is_hardened(self):
        programs = elf_programs(BIN_DIR)
        self.assertGreaterEqual(len(programs), 8, programs)
        self.assertTrue(set(FORTIFIED) <= {os.path.basename(p) for p in programs})
        self.assertEqual({os.path.basename(p): hardening_faults(p) for p in programs
                          if hardening_faults(p)}, {})


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


@harness.ci_may_skip("plain build only")
@unittest.skipIf(du.SANITIZE, "the package is built from the plain build, not a sanitizer build")
@unittest.skipUnless(shutil.which("dpkg-deb") and shutil.which("cpack"), "dpkg-deb or cpack missing")
class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.out = tempfile.mkdtemp(prefix="tarnwick-package-")
        # With a builder's umask of 002: the modes in the package are the
        # build's own, whatever the umask and the modes of the sources.
        run("cpack", "-G", "DEB", "--config", os.path.join(BUILD_DIR, "CPackConfig.cmake"),
            "-B", cls.out, preexec_fn=lambda: os.umask(0o002))
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
        # Programs 0755, every other file 0644 (the conffiles among them),
        # directories 0755.
        for line in listing:
            mode, name = line.split()[0], line.split()[5]
            if mode[0] == "-":
                program = re.match(r"\./usr/(sbin|lib/tarnwick)/[^/]+$", name)
                self.assertEqual(mode, "-rwxr-xr-x" if program else "-rw-r--r--", line)
            elif mode[0] == "d":
                self.assertEqual(mode, "drwxr-xr-x", line)
        depends = self.field("Depends")
        self.assertRegex(depends, r"libprotobuf\d+")
        for build_only in ("gtest", "-dev", "clang", "faketime", "cmake"):
            self.assertNotIn(build_only, depends)
        pulled = depends + ", " + self.field("Recommends")
        self.assertEqual([p for p in NOT_PULLED if p in pulled], [], pulled)
        self.assertIn("python3-matplotlib", self.field("Suggests"))
        self.assertRegex(self.field("Version"), r"^%s-\d+$" % re.escape(du.project_version()))
        conffiles = run("dpkg-deb", "-I", self.deb, "conffiles").stdout.split()
        self.assertEqual(sorted(conffiles), CONFFILES)
        if shutil.which("pandoc"):
            # Every program has its page; the settings page is the one the
            # samples name.
            programs = [n for n in names
                        if re.match(r"\./usr/(sbin/|lib/tarnwick/Tarnwick-)[^/]+$", n)]
            self.assertGreaterEqual(len(programs), 8, programs)
            for program in programs:
                page = "./usr/share/man/man8/%s.8" % os.path.basename(program)
                self.assertTrue({page, page + ".gz"} & names, page)
            self.assertIn("./usr/share/man/man5/Tarnwick-AV.cfg.5.gz", names)
            with open(os.path.join(du.ETC_DIR, "Tarnwick-AV.cfg")) as f:
                self.assertIn("Tarnwick-AV.cfg(5)", f.read())

        # The units start programs the package installs and point at
        # documentation it ships.
        tree = tempfile.mkdtemp(prefix="tarnwick-unpacked-")
        self.addCleanup(shutil.rmtree, tree, True)
        run("dpkg-deb", "-x", self.deb, tree)
        units = glob.glob(os.path.join(tree, UNIT_DIR.lstrip("/"), "*.service"))
        self.assertGreaterEqual(len(units), 4, units)
        for unit in units:
            with self.subTest(unit=os.path.basename(unit)):
                for line in check_deploy.unit_lines(unit, "ExecStart"):
                    self.assertTrue(os.access(tree + line.split()[0], os.X_OK), line)
                # Settings a unit reads are the administrator's: conffiles.
                for env_file in check_deploy.unit_lines(unit, "EnvironmentFile"):
                    self.assertIn(env_file.lstrip("-"), conffiles)
                for doc in " ".join(check_deploy.unit_lines(unit, "Documentation")).split():
                    if doc.startswith("file:"):
                        self.assertTrue(os.path.isfile(tree + doc[5:]), doc)
                    elif doc.startswith("man:") and shutil.which("pandoc"):
                        # Our own pages in the package, spamd's where its
                        # package put it.
                        name, section = re.fullmatch(r"man:([^(]+)\((\w+)\)", doc).groups()
                        page = "/usr/share/man/man%s/%s.%s.gz" % (section[0], name, section)
                        self.assertTrue(os.path.isfile(tree + page) or os.path.isfile(page), doc)

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
        for link in ENABLED:
            self.assertTrue(os.path.islink(link), link)
        # tarnwick-milter's base, ready for the filters' user.
        for sub in ("", "/Queue", "/Submitted"):
            st = os.stat("/var/spool/tarnwick" + sub)
            self.assertEqual(pwd.getpwuid(st.st_uid).pw_name, "tarnwick", sub)
        # The installed units verify (programs, settings).  Their manual
        # pages test_contents finds in the package: verify would ask man,
        # which a machine need not have.
        units = sorted(glob.glob(os.path.join(UNIT_DIR, "quillon-*.service")) +
                       glob.glob(os.path.join(UNIT_DIR, "tarnwick-*.service")) +
                       glob.glob(os.path.join(UNIT_DIR, "tarnwick-*.socket")))
        if shutil.which("systemd-analyze"):
            verify = subprocess.run(["systemd-analyze", "verify", "--man=no"] + units,
                                    capture_output=True,
                                    text=True, timeout=120)
            self.assertEqual(verify.returncode, 0, verify.stderr)

        engine_user = as_user("tarnwick", "tarnwick")
        server_user = as_user("nobody", "nogroup", ["tarnwick"])
        nobody = pwd.getpwnam("nobody").pw_uid
        # The simulators run as tarnwick, who may not reach the build tree
        # (a checkout in /root): copies where every user can.
        sims = tempfile.mkdtemp(prefix="tarnwick-sims-")
        self.addCleanup(shutil.rmtree, sims, True)
        os.chmod(sims, 0o755)
        for name in harness.ENGINES.values():
            shutil.copy(os.path.join(BIN_DIR, name), sims)
        for program, sock, expect in (
                ("Tarnwick-AV", "/run/tarnwick/clamd.sock", ("1 ERROR ", "2 OK")),
                ("Tarnwick-AS", "/run/tarnwick/spamd-engine.sock",
                 ('1 ADDHEADER "X-Junk-Score: 100 ', '2 ADDHEADER "X-Junk-Score:  40'))):
            with self.subTest(program=program):
                engine = harness.EngineProcess(harness.ENGINES[program], sock, sims,
                                               preexec=engine_user)
                engine.start()
                self.addCleanup(engine.stop)
                # The installed program, started by its path in the program
                # directory, as the mail server's user (here nobody, in the
                # group tarnwick) in a base directory of its own.
                s = harness.FilterSession(program, bin_dir="/usr/lib/tarnwick", engine=None,
                                          argv0=os.path.join(PROG_DIR, program),
                                          preexec=server_user)
                self.addCleanup(s.cleanup)
                virus = harness.eicar() + ("\nlottery viagra casino" if program == "Tarnwick-AS" else "")
                paths = [s.add_file(du.queue_file(virus)), s.add_file(du.queue_file("Hello."))]
                # As the guide says: Temp made beforehand, group tarnwick and
                # set-group-ID, so the engine daemon may read the copies in it.
                temp = os.path.join(s.base, "Temp")
                os.mkdir(temp)
                os.chmod(s.root, 0o755)
                for root, dirs, files in os.walk(s.base):
                    for name in dirs + files + ["."]:
                        os.chown(os.path.join(root, name), nobody, -1)
                os.chown(temp, nobody, grp.getgrnam("tarnwick").gr_gid)
                os.chmod(temp, 0o2770)
                s.start(write_settings=False)
                s.request(1, paths[0])
                s.request(2, paths[1])
                self.assertTrue(s.answer(1).startswith(expect[0]), s.lines())
                self.assertTrue(s.answer(2).startswith(expect[1]), s.lines())
                self.assertEqual(s.quit(), 0, "\n".join(s.lines()))
                self.assertEqual(du.reports(s), [], "\n".join(s.lines()))
                short = program[-2:].lower()
                self.assertTrue(os.path.isfile(os.path.join(PROG_DIR, "statistics-%s.dat" % short)))
                self.assertTrue(os.path.isfile(os.path.join(PROG_DIR, "history-%s.dat" % short)))

        # Both engines still run: the installed checker finds the installed
        # layout clean, as the server's user.
        check = subprocess.run(["/usr/sbin/tarnwick-check", "--workdir", s.base, PROG_DIR],
                               capture_output=True, text=True, timeout=60, preexec_fn=server_user)
        self.assertEqual(check.returncode, 0, check.stdout)
        self.assertEqual(check.stdout.count(": accepts connections\n"), 2, check.stdout)

        with self.subTest("tarnwick-milter from its unit, with the administrator's edits"):
            if not os.path.isdir("/var/spool/postfix/tarnwick"):
                self.skipTest("no Postfix here: the package made no milter socket directory")
            self.milter_takes_edits(engine_user)

    def milter_takes_edits(self, user):
        """Edits of the milter's options and whitelist survive a
        reinstallation, and the unit's command line, with the options as
        systemd reads them, starts tarnwick-milter with both."""
        with open("/etc/default/tarnwick-milter") as f:
            options = f.read()
        options, n = re.subn(r'(?m)^(OPTIONS="[^"]*)"', r'\1 --timeout 77"', options)
        self.assertEqual(n, 1, options)
        with open("/etc/default/tarnwick-milter", "w") as f:
            f.write(options)
        with open("/etc/tarnwick/milter/whitelist.txt", "a") as f:
            f.write("alice@example.org\n")
        run("dpkg", "-i", self.deb)
        with open("/etc/default/tarnwick-milter") as f:
            self.assertEqual(f.read(), options)

        out = tempfile.mkdtemp(prefix="tarnwick-milter-")
        self.addCleanup(shutil.rmtree, out, True)
        os.chmod(out, 0o777)
        log_path = os.path.join(out, "log")
        # Generated mail (the stop reports) goes nowhere: this machine's
        # MTA is not the test's.
        argv = check_deploy.unit_argv(check_deploy.Root("/"), "tarnwick-milter.service")
        argv += ["--sendmail", "/bin/sh -c cat>/dev/null"]
        with open(log_path, "wb") as log:
            host = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                    preexec_fn=user)

        def log_text():
            with open(log_path, errors="replace") as f:
                return f.read()
        try:
            deadline = time.monotonic() + harness.scaled(30)
            while "Tarnwick-AS: * reader thread started" not in log_text():
                self.assertIsNone(host.poll(), log_text())
                self.assertLess(time.monotonic(), deadline, log_text())
                time.sleep(0.1)
        finally:
            host.send_signal(signal.SIGTERM)
            host.wait(timeout=90)
        text = log_text()
        self.assertIn("base /var/spool/tarnwick, socket unix:/var/spool/postfix/tarnwick/"
                      "milter.sock, timeout 77 s", text)
        # Through the links of its working directory and the base directory
        # to the conffile; each filter's working directory the unit's user's.
        self.assertIn("Tarnwick-AS: * 1 items read from whitelist.txt", text)
        for program in ("Tarnwick-AV", "Tarnwick-AS"):
            st = os.stat("/var/spool/tarnwick/Work/" + program)
            self.assertEqual(pwd.getpwuid(st.st_uid).pw_name, "tarnwick", program)

    @unittest.skipUnless(shutil.which("systemd-analyze"), "systemd-analyze (package systemd) missing")
    def test_units_expose_little(self):
        tree = tempfile.mkdtemp(prefix="tarnwick-unpacked-")
        self.addCleanup(shutil.rmtree, tree, True)
        run("dpkg-deb", "-x", self.deb, tree)
        units = sorted(glob.glob(os.path.join(tree, UNIT_DIR.lstrip("/"), "*.service")))
        self.assertEqual({os.path.basename(u) for u in units},
                         {"quillon-clamd.service", "quillon-spamd.service", "quillon-rspamd.service",
                          "tarnwick-milter.service", "tarnwick-stats.service"})
        levels = {os.path.basename(u): exposure(u) for u in units}
        self.assertEqual({u: level for u, level in levels.items() if level > MAX_EXPOSURE}, {}, levels)
        # systemd-analyze security rates services only.  The socket that
        # systemd holds for the host: reached by tarnwick and the group
        # postfix only, at the path of the host's options (Postfix's
        # main.cf names that one), and the host needs it.
        unit_dir = os.path.join(tree, UNIT_DIR.lstrip("/"))
        sockets = glob.glob(os.path.join(unit_dir, "*.socket"))
        self.assertEqual([os.path.basename(u) for u in sockets], ["tarnwick-milter.socket"])
        settings = {key: check_deploy.unit_lines(sockets[0], key)
                    for key in ("ListenStream", "SocketUser", "SocketGroup", "SocketMode")}
        self.assertEqual(settings["SocketUser"] + settings["SocketGroup"], ["tarnwick", "postfix"])
        self.assertEqual(int(settings["SocketMode"][0], 8) & 0o007, 0, settings)
        with open(os.path.join(tree, "etc/default/tarnwick-milter")) as f:
            self.assertRegex(f.read(), r'(?m)^OPTIONS=".*--socket unix:%s[ "]'
                             % re.escape(settings["ListenStream"][0]))
        service = os.path.join(unit_dir, "tarnwick-milter.service")
        self.assertIn("tarnwick-milter.socket", " ".join(check_deploy.unit_lines(service, "Requires")))
        self.assertIn("tarnwick-milter.socket", " ".join(check_deploy.unit_lines(service, "After")))
        # The programs it installs are hardened.
        programs = elf_programs(os.path.join(tree, "usr/sbin")) + elf_programs(os.path.join(tree, "usr/lib/tarnwick"))
        self.assertGreaterEqual(len(programs), 6, programs)
        self.assertEqual({os.path.basename(p): hardening_faults(p) for p in programs
                          if hardening_faults(p)}, {})

    @unittest.skipUnless(shutil.which("lintian"), "lintian missing")
    def test_lintian(self):
        """No error and no warning; what stands is overridden with its
        reason in the package's lintian overrides."""
        done = subprocess.run(["lintian", "--fail-on", "error,warning", "--tag-display-limit", "0",
                               "--display-info", self.deb], capture_output=True, text=True, timeout=600)
        tags = [line for line in done.stdout.splitlines() if re.match(r"^[EW]: ", line)]
        self.assertEqual(tags, [], done.stdout)
        # Its hardening tags are only informational: none may stand either.
        self.assertEqual([line for line in done.stdout.splitlines() if "hardening-" in line], [], done.stdout)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)

    def purge(self):
        run("dpkg", "--purge", "tarnwick")
        for path in (PROG_DIR, "/etc/tarnwick", "/etc/default/tarnwick-milter",
                     "/var/spool/tarnwick") + ENABLED:
            self.assertFalse(os.path.lexists(path), path)


class SignatureWaitTest(unittest.TestCase):
    """quillon-clamd's unit waits for freshclam's first signatures: it goes
    on once a database is there, and gives up after its bound saying what
    to do."""

    def test_waits_then_gives_up_or_goes_on(self):
        script = os.path.join(harness.REPO_DIR, "packaging", "wait-for-signatures")
        empty, filled = (tempfile.mkdtemp(prefix="tarnwick-clamav-") for _ in range(2))
        for d in (empty, filled):
            self.addCleanup(shutil.rmtree, d, True)
        self.assertEqual(subprocess.run([script, empty, "0"], capture_output=True).returncode, 1)
        waits = [subprocess.Popen([script, d, "5"], stdout=subprocess.PIPE, text=True)
                 for d in (empty, filled)]
        time.sleep(1)
        # freshclam renames each database into place whole.
        open(os.path.join(filled, "daily.cld"), "w").close()
        given_up, found = (w.communicate(timeout=30)[0] for w in waits)
        self.assertEqual(waits[0].returncode, 1, given_up)
        self.assertIn("no virus signatures in %s yet; waiting up to 5 s for freshclam" % empty,
                      given_up)
        self.assertIn("still no virus signatures in %s after 5 s" % empty, given_up)
        self.assertIn("PrivateMirror in /etc/clamav/freshclam.conf", given_up)
        self.assertEqual(waits[1].returncode, 0, found)
        self.assertIn("signatures in %s after 5 s" % filled, found)
        self.assertEqual(subprocess.run([script, filled, "0"], capture_output=True).returncode, 0)


if __name__ == "__main__":
    unittest.main()
