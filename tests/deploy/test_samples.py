"""The sample settings of etc/ load without a single report: each program is
started with its sample in a scratch program directory against the engine
simulator, answers one message with the sample's texts, mails its start and
stop reports, and ends with status 0."""

import os
import unittest

import deploy_util as du


class SampleSettingsTest(unittest.TestCase):
    def run_sample(self, program, body, expect):
        root = du.scratch_dir(self)
        prog_dir = os.path.join(root, "prog")
        server = os.path.join(root, "server")
        for d in (prog_dir, os.path.join(server, "Submitted"), os.path.join(server, "Queue")):
            os.makedirs(d)
        socket_path = os.path.join(root, "engine.sock")
        du.start_engine(self, du.ENGINE_OF[program], socket_path)
        with open(os.path.join(prog_dir, program + ".cfg"), "w") as f:
            f.write(du.sample_settings(program, socket_path))
        os.symlink(os.path.join(du.BIN_DIR, program), os.path.join(prog_dir, program))
        # The whitelist sample lies in the server's base directory, as deployed.
        os.symlink(os.path.join(du.SOURCE_DIR, "etc", "whitelist.txt"),
                   os.path.join(server, "whitelist.txt"))
        with open(os.path.join(server, "Queue", "m1"), "wb") as f:
            f.write(du.queue_file(body))

        flt = du.Filter(self, os.path.join(prog_dir, program), server)
        flt.send("1 FILE Queue/m1")
        answer = flt.wait_line("1 ")
        self.assertEqual(flt.quit(), 0, "\n".join(flt.lines))
        self.assertEqual(flt.reports(), [], "\n".join(flt.lines))
        self.assertEqual(answer, expect)
        kind = program[-2:]
        sent = sorted(os.listdir(os.path.join(server, "Submitted")))
        for prefix in ("Qln_%s_report_" % kind, "Qln_%s_stopped_" % kind):
            self.assertTrue(any(n.startswith(prefix) and n.endswith(".sub") for n in sent), sent)
        return flt, server

    def test_av_sample(self):
        flt, server = self.run_sample(
            "Tarnwick-AV", du.eicar(),
            '1 ERROR "Message refused: virus EICAR-Test-File\\e(1 finding(s)).\\e'
            'Contact postmaster@example.com if you think this is a mistake."')
        notes = [n for n in os.listdir(os.path.join(server, "Submitted"))
                 if n.startswith("Qln_AV_notify_")]
        self.assertEqual(len(notes), 1)
        with open(os.path.join(server, "Submitted", notes[0])) as f:
            text = f.read()
        self.assertIn("Subject: Virus found in a message to you\n", text)
        self.assertIn("Auto-Submitted: auto-generated\n", text)
        self.assertIn("Envelope sender: alice@example.org\n", text)

    def test_as_sample(self):
        flt, _ = self.run_sample(
            "Tarnwick-AS", "An ordinary message.",
            '1 ADDHEADER "X-Junk-Score:  40 [XX]\\eX-Quillon-Score:  40 [XX]"')
        # Every example in the whitelist sample is commented out.
        self.assertIn("* 0 items read from whitelist.txt", flt.lines)


if __name__ == "__main__":
    unittest.main()
