"""tarnwick-milter restarted under a stream of mail through a real Postfix:
the listening socket is held outside the host (as systemd's socket unit
holds it) and handed to each host it starts, so Postfix's connections wait
on it while one host stops and the next takes them over.  Not one message
may be deferred or refused for the restart, and every one arrives.  Needs
root (a private Postfix instance); skipped otherwise."""

import threading
import time
import unittest

import harness

WHY = harness.milter_missing() or harness.real_engines_missing() or harness.postfix_missing()


@unittest.skipIf(bool(WHY), WHY)
class RestartTest(unittest.TestCase):
    def setUp(self):
        self.rig, self.mta = harness.milter_behind_postfix(held_socket=True)

    def tearDown(self):
        self.mta.stop()
        self.rig.cleanup()

    def stream(self, count, failures, sent, every):
        """count messages, one SMTP session each, one every `every` seconds;
        an SMTP error of any message goes to failures."""
        for n in range(count):
            subject = "stream %03d" % n
            code, text = self.mta.send(subject, "line")
            if code == 250:
                sent.append(subject)
            else:
                failures.append("%s: %d %s" % (subject, code, text))
            time.sleep(every)  # the pace of the stream, not a wait for an event

    def test_restart_under_a_stream_refuses_and_loses_nothing(self):
        failures, sent = [], []
        sender = threading.Thread(target=self.stream, args=(60, failures, sent, 0.1))
        sender.start()
        try:
            harness.wait_until(lambda: len(sent) >= 10, 60, "ten messages through")
            first = self.rig.proc
            # What systemctl restart does: stop (SIGTERM, the stop waits for
            # the sessions), then a new process on the same socket.
            self.rig.stop()
            self.assertEqual(first.returncode, 0)
            self.rig.start()
            harness.wait_until(lambda: len(sent) >= 30, 120, "the stream on through the new host")
            self.rig.stop()
            self.rig.start()
        finally:
            sender.join(timeout=600)
        self.assertEqual(failures, [])
        self.assertEqual(len(sent), 60)
        for subject in sent:
            self.mta.wait_sunk(("Subject: " + subject + "\r?\n").encode(), timeout=60)
        log = self.rig.log()
        self.assertEqual(log.count("start: listening on unix:" + self.rig.socket), 3, log[-3000:])
        self.assertNotIn("cut off", log)
        self.assertEqual(log.count("stop: no new sessions taken"), 2, log[-3000:])
        warnings = [l for l in self.mta.maillog().splitlines() if "warning" in l and "milter" in l]
        self.assertEqual(warnings, [])


if __name__ == "__main__":
    unittest.main()
