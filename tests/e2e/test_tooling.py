"""The tools around the programs, where a fault hides wrong figures or a
skipped test: bench-driver with make bench's check of a run, against a
stand-in program that answers wrongly in one way each, and its fresh queue
files; the benchmarks' one percentile; and the test runner's reading of
CI, on a module with one skipped case.  bench/ is on PYTHONPATH beside
sim/ (tests/CMakeLists.txt)."""

import json
import math
import os
import subprocess
import sys
import tempfile
import textwrap
import unittest

import bench
import harness
from percentile import percentile

# Answers every FILE request with "N OK", and with one fault as argv[1] says.
STAND_IN = textwrap.dedent("""\
    import sys
    fault = sys.argv[1]
    for line in sys.stdin:
        number, command = line.split()[:2]
        if command == "INTF":
            print("0 INTF 3 PROD=QLON", flush=True)
            continue
        if command == "QUIT":
            break
        wrong = number == "3"
        print("%s %s" % (number, "FAILURE" if wrong and fault == "failure" else "OK"))
        if wrong and fault == "duplicate":
            print("3 OK")
        if wrong and fault == "unsent":
            print("999 OK")
        sys.stdout.flush()
    sys.exit(4 if fault == "exit" else 0)
""")

# Answers "N OK" when the file a request names is there, new and a copy of
# template N % 10, else "N FAILURE".
FRESH_CHECK = textwrap.dedent("""\
    import os, sys
    seen = set()
    for line in sys.stdin:
        number, command = line.split()[:2]
        if command == "INTF":
            print("0 INTF 3 PROD=QLON", flush=True)
            continue
        if command == "QUIT":
            break
        path = line.split()[2]
        with open("m%02d" % (int(number) % 10), "rb") as f:
            template = f.read()
        ok = path not in seen and os.path.isfile(path)
        if ok:
            with open(path, "rb") as f:
                ok = f.read() == template
        seen.add(path)
        print("%s %s" % (number, "OK" if ok else "FAILURE"), flush=True)
""")


class BenchRunCheckTest(unittest.TestCase):
    def driver(self):
        driver = os.path.join(harness.default_bin_dir(), "bench-driver")
        if not os.access(driver, os.X_OK):
            self.skipTest("bench-driver is not built here")
        return driver

    def test_fresh_file_per_request_removed_after_its_answer(self):
        driver = self.driver()
        with tempfile.TemporaryDirectory() as tmp:
            os.mkdir(os.path.join(tmp, "queue"))
            for n in range(10):
                with open(os.path.join(tmp, "m%02d" % n), "w") as f:
                    f.write("S smtp [192.0.2.%d]\nR <u%d@example.com>\n\nSubject: %d\n\nbody\n" % (n, n, n))
            program = os.path.join(tmp, "fresh_check.py")
            with open(program, "w") as f:
                f.write(FRESH_CHECK)
            out = subprocess.run(
                [driver, "--dir", tmp, "--pattern", "m%02d", "--files", "10", "--latency", "5",
                 "--count", "40", "--window", "8", "--timeout", "60", "--fresh",
                 "--", sys.executable, program],
                capture_output=True, text=True, timeout=90, check=True).stdout
            fig = json.loads(out)
            self.assertEqual(bench.run_problems(fig, "OK"), [])
            self.assertEqual(fig["answers"], {"OK": 45})
            # Every latency, for the one percentile of the benchmarks.
            self.assertEqual(len(fig["latency_us"]), 5)
            self.assertTrue(all(v > 0 for v in fig["latency_us"]), fig["latency_us"])
            self.assertEqual(os.listdir(os.path.join(tmp, "queue")), [])

    def test_each_wrong_answer_fails_the_run(self):
        driver = self.driver()
        with tempfile.TemporaryDirectory() as tmp:
            program = os.path.join(tmp, "stand_in.py")
            with open(program, "w") as f:
                f.write(STAND_IN)
            for fault, problem in (("none", None),
                                   ("duplicate", r"^1 duplicate answer"),
                                   ("unsent", r"^1 answer\(s\) to numbers never sent"),
                                   ("failure", r"^answered FAILURE 1 times"),
                                   ("exit", r"^exit status 4$")):
                with self.subTest(fault=fault):
                    out = subprocess.run(
                        [driver, "--dir", tmp, "--pattern", "m%02d", "--files", "10",
                         "--latency", "5", "--count", "20", "--window", "4", "--timeout", "60",
                         "--", sys.executable, program, fault],
                        capture_output=True, text=True, timeout=90, check=True).stdout
                    problems = bench.run_problems(json.loads(out), "OK")
                    if problem is None:
                        self.assertEqual(problems, [])
                    else:
                        self.assertEqual(len(problems), 1, problems)
                        self.assertRegex(problems[0], problem)


class PercentileTest(unittest.TestCase):
    def test_rank_rule(self):
        hundred = list(range(100, 0, -1))  # in any order
        self.assertEqual((percentile(hundred, 0.99), percentile(hundred, 0.5), percentile(hundred, 0)),
                         (99, 51, 1))
        self.assertEqual(percentile(range(1, 1001), 0.99), 990)
        self.assertEqual(percentile([7.5], 0.99), 7.5)
        self.assertEqual(percentile([1, 2, 3], 1), 3)
        self.assertTrue(math.isnan(percentile([], 0.5)))


class RunnerCiTest(unittest.TestCase):
    def test_a_skip_fails_only_where_ci_is_set(self):
        with tempfile.TemporaryDirectory() as tmp:
            with open(os.path.join(tmp, "skipping.py"), "w") as f:
                f.write("import unittest\n\nclass T(unittest.TestCase):\n"
                        "    def test_skipped(self):\n        self.skipTest('not here')\n")
            env = dict(os.environ, PYTHONPATH=os.pathsep.join(
                [tmp, os.path.join(harness.REPO_DIR, "sim")]))
            for value, status in (("", harness.SKIP_CODE), ("0", harness.SKIP_CODE),
                                  ("false", harness.SKIP_CODE), ("FALSE", harness.SKIP_CODE),
                                  ("true", 1), ("1", 1), ("yes", 1)):
                with self.subTest(CI=value):
                    env["CI"] = value
                    done = subprocess.run([sys.executable, "-m", "harness.run", "skipping"],
                                          env=env, cwd=tmp, capture_output=True, timeout=60)
                    self.assertEqual(done.returncode, status, done.stdout)


if __name__ == "__main__":
    unittest.main()
