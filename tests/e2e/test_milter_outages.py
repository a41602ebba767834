"""The outage table of docs/milter.md, one test per row: a private Postfix
in front of tarnwick-milter with the real engine daemons and spamd, one
part taken away (killed, or stopped with SIGSTOP) and brought back; each
test checks what the sending client sees, how soon, the log line, and how
soon mail flows again.  The times measured are printed ("outage ...").
Needs root (a private Postfix instance); skipped otherwise."""

import os
import signal
import sys
import time
import unittest

import harness

EICAR = harness.eicar()
WHY = harness.milter_missing() or harness.real_engines_missing() or harness.postfix_missing()
TIMEOUT = 6  # the host's --timeout


@unittest.skipIf(bool(WHY), WHY)
class OutageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sent = 0
        cls.rig, cls.mta = harness.milter_behind_postfix(host_args=["--timeout", str(TIMEOUT)])

    @classmethod
    def tearDownClass(cls):
        cls.mta.stop()
        cls.rig.cleanup()

    def setUp(self):
        # Every row starts from mail that flows, rated.
        self.flows(30, rated=True)

    def attempt(self, body="Nothing to see here."):
        """(SMTP code, reply text, seconds, subject) of one message."""
        type(self).sent += 1
        subject = "m%d" % self.sent
        started = time.monotonic()
        code, text = self.mta.send(subject, body)
        return code, text, time.monotonic() - started, subject

    def relayed(self, subject):
        return self.mta.wait_sunk(rb"Subject: " + subject.encode() + rb"\r?\n")[0]

    def flows(self, limit, rated=False):
        """Seconds until a clean message is accepted (and rated, if asked)."""
        started = time.monotonic()
        while True:
            code, _, _, subject = self.attempt()
            if code == 250 and (not rated or b"X-Junk-Score:" in self.relayed(subject)):
                return time.monotonic() - started
            self.assertLess(time.monotonic() - started, harness.scaled(limit), "mail does not flow")
            time.sleep(0.2)

    def refused(self, limit):
        code, text, took, _ = self.attempt(EICAR)
        self.assertEqual(code, 550, text)
        self.assertLess(took, harness.scaled(limit))
        return took

    def note(self, row, **times):
        print("outage %s: %s" % (row, ", ".join("%s %.1f s" % kv for kv in times.items())), file=sys.stderr)

    def log_since(self, mark):
        return self.rig.log()[mark:]

    def test_scan_engine_gone_and_back(self):
        mark = len(self.rig.log())
        engine = self.rig.engines["Tarnwick-AV"]
        engine.kill()
        engine.wait()
        code, text, deferred, _ = self.attempt()
        self.assertEqual(code, 451, text)
        self.assertLess(deferred, harness.scaled(6))
        self.assertIn("filter Tarnwick-AV is down (its engine refuses connections)", self.log_since(mark))
        # Back only once the restart delay has grown: it must not hide the engine.
        harness.wait_until(lambda: "Tarnwick-AV ended unexpectedly, exit status 1, 0 request(s) unanswered; "
                           "restart in 4000 ms" in self.log_since(mark), 20, "a grown restart delay")
        self.rig.start_engine("Tarnwick-AV")
        back = self.flows(5)
        self.assertIn("filter Tarnwick-AV: its engine accepts connections again", self.log_since(mark))
        self.note("scan engine gone", deferred=deferred, flows_after_return=back)

    def test_scan_engine_hung(self):
        mark = len(self.rig.log())
        engine = self.rig.engines["Tarnwick-AV"]
        engine.send_signal(signal.SIGSTOP)
        try:
            code, text, deferred, _ = self.attempt()
            self.assertEqual(code, 451, text)
            self.assertLess(deferred, TIMEOUT + harness.scaled(3))
            self.rig.wait_log("filter Tarnwick-AV did not answer request", timeout=5)
        finally:
            engine.send_signal(signal.SIGCONT)
        back = self.flows(10)
        self.assertIn("Tarnwick-AV=(no answer)", self.log_since(mark))
        self.note("scan engine hung", deferred=deferred, flows_after_return=back)

    def test_spamd_gone(self):
        # quillon-spamd answers with its error while spamd is away: the
        # anti-spam filter fails, and its failure lets the mail on unrated.
        mark = len(self.rig.log())
        self.rig.spamd.stop()
        try:
            code, text, took, subject = self.attempt()
            self.assertEqual(code, 250, text)
            self.assertLess(took, harness.scaled(5))
            self.assertNotIn(b"X-Junk-Score:", self.relayed(subject))
            self.assertRegex(self.log_since(mark), r"Tarnwick-AS=FAILURE\S* action=accept \(filter failure\)")
            refused = self.refused(5)
        finally:
            self.rig.spamd.start()
        back = self.flows(5, rated=True)
        self.note("spamd gone", accepted_unrated=took, virus_refused=refused, rated_after_return=back)

    def test_spam_engine_gone_and_back(self):
        mark = len(self.rig.log())
        engine = self.rig.engines["Tarnwick-AS"]
        engine.kill()
        engine.wait()
        self.refused(3)
        code, text, took, subject = self.attempt()
        self.assertEqual(code, 250, text)
        self.assertLess(took, harness.scaled(3))
        self.assertNotIn(b"X-Junk-Score:", self.relayed(subject))
        self.assertIn("filter Tarnwick-AS is down (its engine refuses connections)", self.log_since(mark))
        self.rig.start_engine("Tarnwick-AS")
        back = self.flows(5, rated=True)
        self.note("quillon-spamd gone", accepted_unrated=took, rated_after_return=back)

    def test_spam_engine_holding_its_answers(self):
        mark = len(self.rig.log())
        engine = self.rig.engines["Tarnwick-AS"]
        engine.send_signal(signal.SIGSTOP)
        try:
            refused = self.refused(3)
            code, text, took, subject = self.attempt()
            self.assertEqual(code, 250, text)
            self.assertLess(took, TIMEOUT + harness.scaled(3))
            self.assertNotIn(b"X-Junk-Score:", self.relayed(subject))
            self.assertIn("Tarnwick-AS=(no answer) action=accept (filter failure)", self.log_since(mark))
        finally:
            engine.send_signal(signal.SIGCONT)
        back = self.flows(10, rated=True)
        self.note("quillon-spamd hung", virus_refused=refused, accepted_unrated=took, rated_after_return=back)

    def restart_host(self, timeout):
        started = self.rig.log().count("start: ready")
        self.rig.stop()
        at = self.rig.host_args.index("--timeout")
        self.rig.host_args[at + 1] = str(timeout)
        self.rig.start()
        self.rig.wait_log("start: ready", count=started + 1)
        self.flows(30)

    def test_filter_stopped(self):
        # The probe finds it, not --timeout: that is made long here, as by
        # default.  The message waiting is sent to the new process.
        self.restart_host(120)
        try:
            mark = len(self.rig.log())
            os.kill(self.rig.filter_pid("Tarnwick-AV"), signal.SIGSTOP)
            code, text, took, subject = self.attempt()
            self.assertEqual(code, 250, text)
            self.assertLess(took, 10 + harness.scaled(20, below=110))
            self.relayed(subject)
            back = self.flows(5)
            self.assertRegex(self.log_since(mark), r"filter Tarnwick-AV did not answer INTF within 10 s, "
                                                   r"1 request\(s\) out; killing pid \d+")
            self.assertNotIn("Tarnwick-AV=(no answer)", self.log_since(mark))
            self.note("filter hung", accepted=took, next_accepted=back)
        finally:
            self.restart_host(TIMEOUT)

    def test_host_stopped(self):
        stop = time.monotonic()
        self.assertEqual(self.rig.stop(), 0)
        stop = time.monotonic() - stop
        self.assertRegex(self.rig.log(), r"stop: finished")
        code, text, deferred, _ = self.attempt()
        self.assertEqual(code, 451, text)
        self.assertLess(deferred, harness.scaled(3))
        started = time.monotonic()
        self.rig.start()
        self.flows(10)
        back = time.monotonic() - started
        self.note("host stopped", stop=stop, deferred=deferred, flows_after_start=back)


if __name__ == "__main__":
    unittest.main()
