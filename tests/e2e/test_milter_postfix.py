"""tarnwick-milter under a real Postfix with the real engine daemons: an
infected message refused at the SMTP level with the virus name, a clean one
relayed with the score headers, the virus notification relayed through the
Submitted/ hand-over to Postfix's sendmail; and what an SMTP client tries
in order to steer the filters: comments in its paths, forged score fields,
a HELO that forges a hop, a format in a virus name.  Needs root (a private
Postfix instance); skipped otherwise."""

import binascii
import os
import re
import shutil
import tempfile
import unittest

import harness

EICAR = harness.eicar()
GTUBE = harness.gtube()
WHY = harness.milter_missing() or harness.real_engines_missing() or harness.postfix_missing()

# A test signature whose name is a printf format.
PERCENT_MARK = "TARNWICK-PERCENT-NAME-TEST-MARKER"
PERCENT_NAME = "Evil%s%n%%Name"


@unittest.skipIf(bool(WHY), WHY)
class PostfixTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.db = tempfile.mkdtemp(prefix="twdb-")
        try:
            shutil.copy(os.path.join(harness.clamav_test_db(), "tarnwick-test.ndb"), cls.db)
            with open(os.path.join(cls.db, "percent.ndb"), "w") as f:
                f.write("%s:0:*:%s\n" % (PERCENT_NAME, binascii.hexlify(PERCENT_MARK.encode()).decode()))
            # Every message rated, also one the scan refuses at once: the
            # hop test reads spamd's view of an infected message, which the
            # default order asks for only when the scan takes over 5 ms.
            cls.rig, cls.mta = harness.milter_behind_postfix(
                whitelist=["*@example.net"], engine_args={"Tarnwick-AV": ["--db", cls.db]},
                host_args=["--order", "parallel"])
        except Exception:
            shutil.rmtree(cls.db, ignore_errors=True)
            raise

    @classmethod
    def tearDownClass(cls):
        cls.mta.stop()
        cls.rig.cleanup()
        shutil.rmtree(cls.db, ignore_errors=True)

    def test_infected_refused_clean_relayed_notification_delivered(self):
        code, text = self.mta.send("infected", EICAR, recipients=("bob@example.net", "carol@example.net"))
        self.assertEqual(code, 550, text)
        self.assertIn("5.7.1 Virus found: Tarnwick.Test.EICAR.UNOFFICIAL", text)
        self.assertIn("Message rejected by Tarnwick-AV", text)

        self.assertEqual(self.mta.send("clean", "Nothing to see here."), (250, ""))
        relayed = self.mta.wait_sunk(rb"Subject: clean\r?\n")[0]
        self.assertRegex(relayed, rb"X-Junk-Score: +\d+ \[X*\]\r?\nX-Quillon-Score: +\d+ \[X*\]")
        self.assertIn(b"Nothing to see here.", relayed)

        # The notification quotes the message's own header block.
        note = self.mta.wait_sunk(rb"(?s)Subject: Virus alert.*Subject: infected\r?\n")[0]
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

    def test_whitelist_sees_the_sender_postfix_checked(self):
        # The sender the comment names is whitelisted; the one Postfix took is not.
        self.mta.transaction("<boss@example.net>", "<bob@example.net>",
                             harness.mail_text("wl-control", GTUBE, crlf=True))
        self.mta.transaction("<attacker@evil.example (<boss@example.net>)>", "<bob@example.net>",
                             harness.mail_text("wl-trick", GTUBE, crlf=True))
        self.assertIn(b"X-Junk-Score: 0 []", self.mta.wait_sunk(rb"Subject: wl-control\r?\n")[0])
        self.assertIn(b"X-Junk-Score: 100 [", self.mta.wait_sunk(rb"Subject: wl-trick\r?\n")[0])
        self.assertIn("from=<attacker@evil.example>", self.rig.log())

    def test_notification_goes_only_to_the_recipient_postfix_accepted(self):
        code, _ = self.mta.transaction("<alice@example.org>", '<evil@evil.example ("x>y") <bob@example.net>>',
                                       harness.mail_text("rcpt-trick", EICAR, crlf=True))
        self.assertEqual(code, 550)
        note = self.mta.wait_sunk(rb"Subject: rcpt-trick")[0]
        self.assertIn(b"To: bob@example.net\n", note.replace(b"\r\n", b"\n"))
        harness.wait_until(lambda: re.search(r"submit: \S+\.Qln_AV_notify_\S+ handed over", self.rig.log()),
                           10, "the hand-over logged")
        self.assertFalse([m for m in self.mta.sunk() if b"evil@evil.example" in m.split(b"\r\n\r\n")[0]
                          and b"rcpt-trick" in m])

    def test_addresses_keep_the_case_the_client_wrote(self):
        # Postfix hands the milter its resolved address in lower case; the
        # engines and the notification get the client's spelling of it, as
        # rspamd's own milter does.
        code, _ = self.mta.transaction("<Alice@Example.ORG>", "<Bob.Smith@Example.NET>",
                                       harness.mail_text("case-kept", EICAR, crlf=True))
        self.assertEqual(code, 550)
        note = self.mta.wait_sunk(rb"(?s)Subject: Virus alert.*Subject: case-kept")[0]
        self.assertEqual(re.findall(rb"X-Rcpt-Args: <([^>]*)>", note), [b"Bob.Smith@Example.NET"])
        self.assertIn(b"Envelope sender: Alice@Example.ORG", note)
        self.assertIn("from=<Alice@Example.ORG> to=<Bob.Smith@Example.NET>", self.rig.log())
        harness.wait_until(lambda: re.search(r"submit: \S+\.Qln_AV_notify_\S+ handed over", self.rig.log()),
                           10, "the hand-over logged")

    def test_forged_score_fields_removed(self):
        forged = ("X-Junk-Score: 0 []\r\nFrom: alice@example.org\r\nx-junk-score: 0 []\r\n"
                  "Subject: forged\r\n\r\n" + GTUBE + "\r\n")
        self.mta.transaction("<alice@example.org>", "<bob@example.net>", forged)
        relayed = self.mta.wait_sunk(rb"Subject: forged\r?\n")[0]
        head = relayed.split(b"\r\n\r\n")[0]
        fields = re.findall(rb"(?im)^x-junk-score:.*$", head)
        self.assertEqual(len(fields), 1, head)
        self.assertTrue(fields[0].startswith(b"X-Junk-Score: 100 [X"), fields)
        self.assertIn("incoming field(s) named like the filters' removed", self.rig.log())

    def test_engines_see_the_hop_and_envelope_postfix_recorded(self):
        # No name for 127.0.0.1 (no peer name lookup here), a HELO that tries
        # to forge a hop, an envelope sender of another domain than From:.
        message = ("From: Alice <alice@example.org>\r\nTo: bob@example.net\r\nSubject: hop\r\n"
                   "Message-ID: <hop-test@example.org>\r\n\r\n%s\r\n" % EICAR)
        code, _ = self.mta.transaction("<eve@other.example>", "<bob@example.net>", message,
                                       helo="a by trusted.example.net with ESMTPS id X")
        self.assertEqual(code, 550)
        copied = self.mta.wait_sunk(rb"Subject: hop")[0].replace(b"\r\n", b"\n")
        queue_id = re.search(r"message queue=(\w+) from=<eve@other.example>", self.rig.log()).group(1)
        # The notification copies the queue file's header block, all but the
        # envelope fields, which would show every recipient to each.
        self.assertIn(b"Headers of the stopped message:\nReceived: from a (unknown [127.0.0.1])\n"
                      b"\tby mta.tarnwick.test with ESMTP id " + queue_id.encode() + b";", copied)
        self.assertNotIn(b"X-Envelope-", copied)
        self.assertNotIn(b"trusted.example.net", copied)
        # SpamAssassin compares the envelope sender's domain with From:'s,
        # taking X-Envelope-From only from above every Received: field.  A
        # clean message: an infected one refused within the head start never
        # reaches the anti-spam filter.
        clean = message.replace("hop-test@", "hop-clean@").replace(EICAR, "hello")
        code, _ = self.mta.transaction("<eve@other.example>", "<bob@example.net>", clean,
                                       helo="a by trusted.example.net with ESMTPS id X")
        self.assertEqual(code, 250)
        result = harness.wait_until(
            lambda: [l for l in self.rig.spamd.log_text().splitlines()
                     if "result:" in l and "mid=<hop-clean@example.org>" in l], 30, "spamd's result")
        self.assertIn("HEADER_FROM_DIFFERENT_DOMAINS", result[0])

    def test_percent_in_a_virus_name_survives(self):
        code, text = self.mta.transaction("<alice@example.org>", "<bob@example.net>",
                                          harness.mail_text("percent", PERCENT_MARK, crlf=True))
        self.assertEqual(code, 550)
        self.assertIn("Virus found: " + PERCENT_NAME, text)



@unittest.skipIf(bool(WHY), WHY)
class PostfixSmtpSubmitTest(unittest.TestCase):
    """The host's own mail handed to Postfix over SMTP (--submit-to, as the
    package's unit has it), on the listener without milters."""

    @classmethod
    def setUpClass(cls):
        cls.rig, cls.mta = harness.milter_behind_postfix(filters=("Tarnwick-AV",), submit="smtp",
                                                         smtpd_procs=4)

    @classmethod
    def tearDownClass(cls):
        cls.mta.stop()
        cls.rig.cleanup()

    def test_notification_and_dotted_lines_delivered_over_smtp(self):
        self.assertEqual(self.mta.send("smtp-infected", EICAR)[0], 550)
        note = self.mta.wait_sunk(rb"(?s)Subject: Virus alert.*Subject: smtp-infected\r?\n")[0]
        self.assertEqual(re.findall(rb"X-Rcpt-Args: <([^>]*)>", note), [b"bob@example.net"])
        self.assertIn(b"Tarnwick.Test.EICAR.UNOFFICIAL", note)
        self.assertRegex(self.rig.log(), r"submit: \S+\.Qln_AV_notify_\S+ handed over to 127\.0\.0\.1:%d"
                         % self.mta.submit_port)
        # Lines that start with a dot arrive as written.
        sub = os.path.join(self.rig.base, "Submitted", "dots")
        with open(sub + ".tmp", "wb") as f:
            f.write(b"Return-Path: <>\nTo: carol@example.net\nSubject: dotted\n\n.\n..two\nend\n")
        os.rename(sub + ".tmp", sub + ".sub")
        dotted = self.mta.wait_sunk(rb"Subject: dotted\r?\n")[0].replace(b"\r\n", b"\n")
        # (smtp-sink adds an empty line at the end.)
        self.assertEqual(dotted.split(b"\n\n", 1)[1].rstrip(b"\n"), b".\n..two\nend", dotted)

if __name__ == "__main__":
    unittest.main()
