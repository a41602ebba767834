"""tarnwick-check: the samples of etc/ are clean against running engines; a
broken file has every problem listed with its line, and exit status 1."""

import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

import harness

import deploy_util as du

BIN = os.path.abspath(harness.default_bin_dir())
CHECK = os.path.join(BIN, "tarnwick-check")
ETC = os.path.join(harness.REPO_DIR, "etc")


class CheckTest(unittest.TestCase):
    def setUp(self):
        self.root = harness.scratch_directory("tw-check-")
        self.addCleanup(shutil.rmtree, self.root, True)
        self.prog = os.path.join(self.root, "prog")
        self.base = os.path.join(self.root, "base")
        os.makedirs(os.path.join(self.base, "Submitted"))
        os.makedirs(self.prog)

    def run_check(self, *args):
        p = subprocess.run([CHECK, "--workdir", self.base] + list(args), capture_output=True,
                           text=True, timeout=harness.scaled(10))
        return p.returncode, p.stdout

    def test_samples_are_clean(self):
        engines = []
        for program, kind in harness.ENGINES.items():
            sock = os.path.join(self.root, program + ".sock")
            engine = harness.EngineProcess(kind, sock, BIN, log_path=sock + ".log")
            engine.start()
            self.addCleanup(engine.stop)
            engines.append(engine)
            with open(os.path.join(ETC, program + ".cfg")) as f:
                text = re.sub(r'(?m)^Socket = "[^"]*";', 'Socket = "%s";' % sock, f.read())
            with open(os.path.join(self.prog, program + ".cfg"), "w") as f:
                f.write(text)
        os.symlink(os.path.join(ETC, "whitelist.txt"), os.path.join(self.base, "whitelist.txt"))
        code, out = self.run_check(self.prog)
        self.assertEqual(code, 0, out)
        self.assertNotIn("* Error", out)
        self.assertIn('  Mode                         Reject\n', out)
        self.assertIn("submission directory Submitted: usable\n", out)
        self.assertEqual(out.count(": accepts connections\n"), 2, out)
        self.assertTrue(out.endswith("no problems found\n"), out)
        # The check only connected: each engine saw a client come and go.
        deadline = time.monotonic() + harness.scaled(10)
        while any(e.log_lines() != ["CONNECT 1", "DISCONNECT 1"] for e in engines):
            self.assertLess(time.monotonic(), deadline, [e.log_lines() for e in engines])
            time.sleep(0.01)

    def test_broken_files_list_every_problem(self):
        av = os.path.join(self.root, "av.cfg")
        with open(av, "w") as f:
            f.write('Socket = "%s/none.sock";\nMode = reject;\nSubmittedDirectory = Gone;\n'
                    'PostProcess = "";\nRejectOptions = {};\nDiscardOptions = {};\n'
                    'NotificationMessage = { Caption = a; Summary = b; Extra = c; };\n'
                    'Bogus = 1;\n' % self.root)
        with open(os.path.join(self.root, "as.cfg"), "w") as f:
            f.write('BarScoreRanges = (10, 20, 20);\nOnProblem = Never;\n')
        wl = os.path.join(self.root, "wl.txt")
        with open(wl, "w") as f:
            f.write("# partners\n*@partner.example\nab\n")
        code, out = self.run_check("--av", av, "--as", os.path.join(self.root, "as.cfg"),
                                   "--whitelist", wl)
        self.assertEqual(code, 1, out)
        for expected in (
                "Configuration error: av.cfg is missing the AddHeaderOptions item\n",
                "Configuration error: av.cfg is missing the EventsReports item\n",
                "Configuration error: unknown item Bogus in line 8\n",
                "Configuration error: NotificationMessage is missing the Footer item\n",
                "Configuration error: unknown item Extra in line 7\n",
                "av.cfg line 2 \n* Mode can be either Reject, Discard or AddHeader\n",
                "* FAILURE unable to access directory Gone\n",
                "none.sock is not usable: No such file or directory\n",
                "as.cfg \n* Missing Socket\n",
                "as.cfg line 1 \n* Error in BarScoreRanges\n",
                "as.cfg line 2 \n* OnProblem can be either Ignore,Exit or Quit\n",
                "as.cfg \n* Missing SubmittedDirectory\n",
                "wl.txt line 3 \n* pattern \"ab\" is shorter than 3 characters and is ignored\n",
                "1 patterns\n",
                "21 problem(s) found\n"):
            self.assertIn(expected, out)

    def probe(self, engine_socket, **popen):
        """tarnwick-check on the sample Tarnwick-AV settings for engine_socket,
        with Temp in the base directory: (process, its settings file)."""
        os.mkdir(os.path.join(self.base, "Temp"))
        av = os.path.join(self.prog, "Tarnwick-AV.cfg")
        with open(av, "w") as f:
            f.write(du.sample_settings("Tarnwick-AV", engine_socket))
        return subprocess.Popen([CHECK, "--workdir", self.base, "--milter-base", self.base,
                                 "--av", av], stdout=subprocess.PIPE, text=True, **popen)

    def test_syntax_fault_named_at_its_line_in_the_linked_file(self):
        """A missing ";" on line 8 of the file in /etc that the program
        directory links to: the real file and line, and no follow-on
        reports of settings "missing"."""
        with tempfile.TemporaryDirectory() as d:
            etc, prog = os.path.join(d, "etc"), os.path.join(d, "prog")
            os.makedirs(etc)
            os.makedirs(prog)
            with open(os.path.join(harness.REPO_DIR, "milter", "etc", "Tarnwick-AS.cfg")) as f:
                lines = f.read().split("\n")
            self.assertTrue(lines[7].endswith(";"), lines[7])
            lines[7] = lines[7][:-1]
            real = os.path.join(etc, "Tarnwick-AS.cfg")
            with open(real, "w") as f:
                f.write("\n".join(lines))
            os.symlink(real, os.path.join(prog, "Tarnwick-AS.cfg"))
            done = subprocess.run([os.path.join(harness.default_bin_dir(), "tarnwick-check"), prog],
                                  capture_output=True, text=True, cwd=d, timeout=60)
            self.assertEqual(done.returncode, 1, done.stdout)
            self.assertIn("(a link to %s)" % real, done.stdout)
            self.assertIn("* Error in %s line 8 \n* ';' expected after the value of" % real,
                          done.stdout)
            self.assertNotIn("Missing", done.stdout)
            self.assertIn("1 problem(s) found", done.stdout)

    def test_probe_finds_what_the_scan_engine_refuses(self):
        temp = os.path.join(self.base, "Temp")
        refused = "* the scan engine may not read files in %s (not under its --allow-dir)\n" % temp
        # A scripted engine refuses the probe as quillon-clamd refuses a
        # file outside its --allow-dir; the probe is there while it is asked.
        se = harness.load_schema("se")
        engine = harness.ScriptedEngine(os.path.join(self.root, "scripted.sock"), se)
        self.addCleanup(engine.close)
        check = self.probe(engine.socket_path)
        engine.accept()  # the socket check: connects and closes
        engine.accept()
        request = engine.recv_request()
        path = request.scan_file_request.path
        self.assertEqual((request.tag, os.path.dirname(path)),
                         (se.ClientMessage.SCAN_FILE_REQUEST, temp))
        self.assertTrue(os.path.isfile(path))
        engine.send(se.ServerMessage(tag=se.ServerMessage.INFO_NOTIFICATION))
        reply = harness.scan_result(se, request.serial)
        reply.scan_report.error = se.SE_NO_ACCESS
        engine.send(reply)
        out = check.communicate(timeout=harness.scaled(30))[0]
        self.assertEqual(check.returncode, 1, out)
        self.assertIn(refused, out)
        self.assertIn("Queue/ is missing", out)
        self.assertEqual(os.listdir(temp), [])

    @harness.real_engines.skip_without("quillon-clamd")
    def test_probe_through_quillon_clamd(self):
        temp = os.path.join(self.base, "Temp")
        os.mkdir(os.path.join(self.base, "Queue"))
        elsewhere = os.path.join(self.root, "elsewhere")
        os.mkdir(elsewhere)
        for allowed, status, line in (
                (elsewhere, 1, "* the scan engine may not read files in %s "
                               "(not under its --allow-dir)\n" % temp),
                (self.base, 0, "scan engine: scans the files in %s\n" % temp)):
            with self.subTest(allow_dir=allowed):
                clamd = harness.real_engines.start_daemon(
                    "quillon-clamd", self.root, ["--db", harness.clamav_test_db(),
                                                 "--allow-dir", allowed])
                if os.path.isdir(temp):
                    os.rmdir(temp)
                check = self.probe(clamd.socket_path)
                out = check.communicate(timeout=harness.scaled(60))[0]
                clamd.stop()
                self.assertEqual(check.returncode, status, out)
                self.assertIn(line, out)
                self.assertEqual(os.listdir(temp), [])

    def test_help_and_version(self):
        self.assertEqual(subprocess.run([CHECK], capture_output=True).returncode, 2)
        for program in [CHECK] + [os.path.join(BIN, p) for p in harness.PROGRAMS]:
            name = os.path.basename(program)
            p = subprocess.run([program, "--help"], capture_output=True, text=True, cwd=self.root)
            self.assertEqual(p.returncode, 0)
            self.assertTrue(p.stdout.startswith("Usage: %s " % name), p.stdout)
            p = subprocess.run([program, "--version"], capture_output=True, text=True, cwd=self.root)
            # The filters' start-up text stays fixed; the tool has the release's.
            version = du.project_version() if program == CHECK else "1.1 Linux-x86_64 build 1-Dec-2020"
            self.assertEqual(p.stdout, "%s %s\n" % (name, version))
        # Neither wrote anything where it was run.
        self.assertEqual(sorted(os.listdir(self.root)), ["base", "prog"])


if __name__ == "__main__":
    unittest.main()
