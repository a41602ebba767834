"""systemctl reload of tarnwick-milter (SIGHUP) behind a private Postfix,
with the real engines and both filters in one program directory as the
package installs them: the edited settings of both filters and an edited
whitelist are taken while a stream of messages goes on, none of them
refused or deferred; a settings file with an error is not taken; the
filters' log lines about a message carry its queue id.
Needs root (a private Postfix instance); skipped otherwise."""

import os
import re
import signal
import threading
import time
import unittest

import harness

EICAR = harness.eicar()
WHY = harness.milter_missing() or harness.real_engines_missing() or harness.postfix_missing()
SENDER = "alice@example.org"
SCORE = "X-Reloaded-Score: ^1 [^2]"


@unittest.skipIf(bool(WHY), WHY)
class ReloadTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sent = 0
        cls.rig, cls.mta = harness.milter_behind_postfix(shared_dir=True, whitelist=["boss@example.com"])

    @classmethod
    def tearDownClass(cls):
        cls.mta.stop()
        cls.rig.cleanup()

    def tearDown(self):
        # The sample settings and whitelist again, taken, for the next test.
        for program in self.rig.filters:
            self.rig.edit(program, {})
        self.write_whitelist(["boss@example.com"])
        self.reload()

    def attempt(self, body="Nothing to see here.", sender=SENDER):
        """(SMTP code, reply text, subject) of one message."""
        type(self).sent += 1
        subject = "r%d" % self.sent
        code, text = self.mta.send(subject, body, sender=sender)
        return code, text, subject

    def relayed(self, subject):
        return self.mta.wait_sunk(rb"Subject: " + subject.encode() + rb"\r?\n")[0]

    def write_whitelist(self, lines):
        with open(os.path.join(self.rig.base, "whitelist.txt"), "w") as f:
            f.write("".join(line + "\n" for line in lines))

    def reload(self):
        """SIGHUP, as the unit's ExecReload sends it; returns the log from
        there on once the reload is done."""
        mark = len(self.rig.log())
        self.rig.proc.send_signal(signal.SIGHUP)
        harness.wait_until(lambda: "reload: done" in self.rig.log()[mark:], 60, "the reload")
        self.assertIsNone(self.rig.proc.poll(), "SIGHUP stopped the host")
        return self.rig.log()[mark:]

    def stream(self):
        """Starts sending clean messages one after the other; the returned
        function stops and gives the codes that were not 250."""
        stop = threading.Event()
        bad = []

        def run():
            while not stop.is_set():
                code, text, _ = self.attempt()
                if code != 250:
                    bad.append((code, text))

        thread = threading.Thread(target=run)
        thread.start()

        def finish():
            stop.set()
            thread.join()
            return bad
        return finish

    def test_reload_under_a_stream(self):
        self.assertEqual(self.attempt(EICAR)[0], 550)
        finish = self.stream()
        try:
            time.sleep(1)
            self.rig.edit("Tarnwick-AV", {"Mode": "Discard"})
            self.rig.edit("Tarnwick-AS", {"Header": SCORE})
            log = self.reload()
            self.assertIn("reload: filter Tarnwick-AV re-read its settings", log)
            self.assertIn("reload: filter Tarnwick-AS re-read its settings", log)
            self.assertNotIn("took the marker meant for", log)
            # An infected message is discarded now: accepted, never relayed.
            code, text, subject = self.attempt(EICAR)
            self.assertEqual(code, 250, text)
            self.assertRegex(self.relayed(self.attempt()[2]), rb"X-Reloaded-Score: +-?\d+ \[[^]]+\]")
            # The filter's line naming the request carries its queue id.
            line = harness.wait_until(lambda: re.search(r"message queue=(\S+) .* request=(\d+) Tarnwick-AV=DISCARD",
                                                        self.rig.log()), 10, "the discard's log line")
            self.assertIn("Tarnwick-AV queue=%s: * (%s) " % line.groups(), self.rig.log())

            self.write_whitelist(["boss@example.com", SENDER])
            starts = self.rig.log().count("filter Tarnwick-AS started")
            log = self.reload()
            self.assertIn("reload: filter Tarnwick-AS: the whitelist changed", log)
            self.rig.wait_log("filter Tarnwick-AS started", count=starts + 1, timeout=30)
            self.assertIn(b"X-Reloaded-Score: 0 []", self.relayed(self.attempt()[2]))
        finally:
            bad = finish()
        self.assertEqual(bad, [])

    def test_settings_with_an_error_are_not_taken(self):
        finish = self.stream()
        try:
            with open(os.path.join(self.rig.program_dir("Tarnwick-AV"), "Tarnwick-AV.cfg"), "a") as f:
                f.write('Mode = "Discard"\nBroken = {\n')
            log = self.reload()
            self.assertRegex(log, r"reload: filter Tarnwick-AV: \S*Tarnwick-AV.cfg line \d+: ")
            self.assertIn("reload: filter Tarnwick-AV keeps its settings", log)
            self.assertFalse(os.path.exists(os.path.join(self.rig.program_dir("Tarnwick-AV"), "hup.sig")))
            self.assertEqual(self.attempt(EICAR)[0], 550)
        finally:
            bad = finish()
        self.assertEqual(bad, [])


if __name__ == "__main__":
    unittest.main()
