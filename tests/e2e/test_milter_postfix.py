"""tarnwick-milter under a real Postfix with the real engine daemons: an
infected message refused at the SMTP level with the virus name, a clean one
relayed with the score headers, and the virus notification relayed through
the Submitted/ hand-over to Postfix's sendmail.  Needs root (a private
Postfix instance); skipped otherwise."""

import os
import re
import smtplib
import unittest

import harness

EICAR = harness.eicar()
WHY = harness.milter_missing() or harness.real_engines_missing() or harness.postfix_missing()

MESSAGE = "From: Alice <alice@example.org>\r\nTo: Bob <bob@example.net>\r\nSubject: %s\r\n\r\n%s\r\n"


@unittest.skipIf(bool(WHY), WHY)
class PostfixTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        port = harness.free_tcp_port()
        cls.rig = harness.MilterRig(engines="real", socket_spec="inet:%d@127.0.0.1" % port)
        cls.mta = harness.PostfixInstance(os.path.join(cls.rig.root, "postfix"), "inet:127.0.0.1:%d" % port)
        cls.rig.host_args += ["--sendmail", cls.mta.sendmail_command()]
        try:
            # Postfix first: the filters' start reports go straight to it.
            cls.mta.start()
            cls.rig.start()
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.mta.stop()
        cls.rig.cleanup()

    def send(self, subject, body, rcpts=("bob@example.net",)):
        with smtplib.SMTP("127.0.0.1", self.mta.smtp_port, timeout=60) as smtp:
            return smtp.sendmail("alice@example.org", list(rcpts), MESSAGE % (subject, body))

    def test_infected_refused_clean_relayed_notification_delivered(self):
        with self.assertRaises(smtplib.SMTPDataError) as refused:
            self.send("infected", EICAR, ("bob@example.net", "carol@example.net"))
        self.assertEqual(refused.exception.smtp_code, 550)
        text = refused.exception.smtp_error.decode()
        self.assertIn("5.7.1 Virus found: Tarnwick.Test.EICAR.UNOFFICIAL", text)
        self.assertIn("Message rejected by Tarnwick-AV", text)

        self.assertEqual(self.send("clean", "Nothing to see here."), {})
        relayed = self.mta.wait_sunk(rb"Subject: clean")[0]
        self.assertRegex(relayed, rb"X-Junk-Score: +\d+ \[X*\]\r?\nX-Quillon-Score: +\d+ \[X*\]")
        self.assertIn(b"Nothing to see here.", relayed)

        note = self.mta.wait_sunk(rb"Subject: Virus alert")[0]
        # Its two recipients and no one else: no "recipients" address made
        # up from "To: recipients;", no Bcc: field left in the mail.
        self.assertEqual(sorted(re.findall(rb"X-Rcpt-Args: <([^>]*)>", note)),
                         [b"bob@example.net", b"carol@example.net"])
        self.assertNotIn(b"<recipients", b"".join(self.mta.sunk()))
        self.assertNotIn(b"Bcc:", note)
        self.assertIn(b"\nTo: recipients:;\n", note)
        self.assertNotRegex(self.mta.maillog(), r"to=<recipients")
        self.assertIn(b"Tarnwick.Test.EICAR.UNOFFICIAL", note)
        self.assertIn(b"Envelope sender: alice@example.org", note)
        self.assertNotIn(b"EICAR-STANDARD-ANTIVIRUS-TEST-FILE", note)
        harness.wait_until(lambda: re.search(r"submit: \S+\.Qln_AV_notify_\S+ handed over", self.rig.log()),
                           10, "the hand-over logged")


if __name__ == "__main__":
    unittest.main()
