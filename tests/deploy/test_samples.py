"""The sample settings of etc/ load without a single report: each program is
started with its sample in a scratch program directory against the engine
simulator, answers one message with the sample's texts, mails its start and
stop reports, and ends with status 0."""

import os
import unittest

import harness

import deploy_util as du


class SampleSettingsTest(unittest.TestCase):
    def run_sample(self, program, body, expect):
        s = harness.FilterSession(program)
        self.addCleanup(s.cleanup)
        s.write_settings(du.sample_settings(program, s.socket_path))
        # The whitelist sample lies in the server's base directory, as deployed.
        os.symlink(os.path.join(du.ETC_DIR, "whitelist.txt"), os.path.join(s.base, "whitelist.txt"))
        s.start()
        s.request(1, s.add_file(du.queue_file(body)))
        answer = s.answer(1)
        self.assertEqual(s.quit(), 0, "\n".join(s.lines()))
        self.assertEqual(du.reports(s), [], "\n".join(s.lines()))
        self.assertEqual(answer, expect)
        kind = program[-2:]
        sent = s.submitted_files()
        for prefix in ("Qln_%s_report_" % kind, "Qln_%s_stopped_" % kind):
            self.assertTrue(any(n.startswith(prefix) and n.endswith(".sub") for n in sent), sent)
        return s

    def test_av_sample(self):
        s = self.run_sample(
            "Tarnwick-AV", harness.eicar(),
            '1 ERROR "Message refused: virus EICAR-Test-File\\e(1 finding(s)).\\e'
            'Contact postmaster@example.com if you think this is a mistake."')
        notes = s.submitted_files("Qln_AV_notify_")
        self.assertEqual(len(notes), 1)
        text = s.read_submitted(notes[0])
        self.assertIn("Subject: Virus found in a message to you\n", text)
        self.assertIn("Auto-Submitted: auto-generated\n", text)
        self.assertIn("Envelope sender: alice@example.org\n", text)

    def test_as_sample(self):
        s = self.run_sample(
            "Tarnwick-AS", "An ordinary message.",
            '1 ADDHEADER "X-Junk-Score:  40 [XX]\\eX-Quillon-Score:  40 [XX]"')
        # Every example in the whitelist sample is commented out.
        self.assertIn("* 0 items read from whitelist.txt", s.lines())


if __name__ == "__main__":
    unittest.main()
