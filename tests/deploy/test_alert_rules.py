"""The alerting rules the package ships (packaging/prometheus/) load in
Prometheus's own checker, pass their cases in alert_rules_test.yml
(promtool test rules), and every alert of the file has a case in which it
fires."""

import os
import re
import shutil
import subprocess
import unittest

import harness

RULES = os.path.join(harness.REPO_DIR, "packaging", "prometheus", "tarnwick-rules.yml")
CASES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "alert_rules_test.yml")
PROMTOOL = shutil.which("promtool")


@unittest.skipUnless(PROMTOOL, "promtool (package prometheus) is not installed")
class AlertRulesTest(unittest.TestCase):
    def promtool(self, *args):
        done = subprocess.run([PROMTOOL] + list(args), capture_output=True, text=True, timeout=120,
                              cwd=os.path.dirname(CASES))
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        return done.stdout

    def test_rules_load_and_pass_their_cases(self):
        self.assertIn("SUCCESS", self.promtool("check", "rules", RULES))
        self.assertIn("SUCCESS", self.promtool("test", "rules", CASES))

    def test_every_alert_has_a_firing_case(self):
        with open(RULES) as f:
            alerts = set(re.findall(r"(?m)^\s*- alert: (\w+)$", f.read()))
        with open(CASES) as f:
            cases = f.read()
        fired = set(re.findall(r"(?m)^\s*alertname: (\w+)\n\s*exp_alerts:\n\s*- exp_labels", cases))
        self.assertTrue(alerts)
        self.assertEqual(alerts - fired, set())


if __name__ == "__main__":
    unittest.main()
