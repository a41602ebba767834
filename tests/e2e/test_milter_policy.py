"""The site's policies under a real Postfix with the real engines: a spam
at the refusal level refused at the SMTP level, a message at the hold
level and an infected one in Postfix's hold queue with the reason, a
whitelisted sender never refused, and the mail of an authenticated session
or of a trusted network let on unrated.  Postfix's XCLIENT, allowed from
the loopback, stands in for SASL and for a client on another network: it
sets the {auth_authen} macro and the client address the milter sees.
Needs root (a private Postfix instance); skipped otherwise."""

import os
import re
import signal
import unittest

import harness

EICAR = harness.eicar()
GTUBE = harness.gtube()
WHY = harness.milter_missing() or harness.real_engines_missing() or harness.postfix_missing()



@unittest.skipIf(bool(WHY), WHY)
class PolicyTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # GTUBE rates 100 and is refused; every other rated message (an
        # ordinary one rates well above 1) is held.
        cls.rig, cls.mta = harness.milter_behind_postfix(
            whitelist=["*@example.net"], main_cf={"smtpd_authorized_xclient_hosts": "127.0.0.0/8",
                                       "mynetworks": "127.0.0.0/8 10.0.0.0/8 [2001:db8::]/32",
                                       "inet_protocols": "all"},
            host_args=["--reject-score", "100", "--hold-score", "1", "--on-virus", "hold",
                       "--trust-authenticated", "--trust-network", "10.9.0.0/16",
                       "--trust-network", "2001:db8:9::/48", "--figures-every", "1"])

    @classmethod
    def tearDownClass(cls):
        cls.mta.stop()
        cls.rig.cleanup()

    def send(self, subject, body, sender="alice@example.org", xclient=None):
        """One message; xclient: the XCLIENT attributes to send first.
        Returns the reply to the end of data as (code, text)."""
        return self.mta.transaction("<%s>" % sender, "<bob@example.net>",
                                    harness.mail_text(subject, body, crlf=True), xclient=xclient)

    def held_reason(self, sender):
        """The reason of the hold the milter logged for the message of this
        sender, once postqueue -j shows it in the hold queue.  (Postfix
        logs only that a milter held it: the reason is the milter's.)"""
        entry = harness.wait_until(lambda: [m for m in self.mta.held() if m["sender"] == sender], 30,
                                   "a held message from " + sender)[0]
        self.assertIn("%s: milter-hold: END-OF-MESSAGE" % entry["queue_id"], self.mta.maillog())
        found = re.search(r"message queue=%s from=<%s> .* action=hold \(held: (.*?)\) time="
                          % (entry["queue_id"], re.escape(sender)), self.rig.log())
        self.assertTrue(found, self.rig.log())
        return found.group(1)

    def reload(self, header):
        """Tarnwick-AS's Header setting edited and SIGHUP; the reload's log."""
        self.rig.edit("Tarnwick-AS", {"Header": header} if header else {})
        mark = len(self.rig.log())
        self.rig.proc.send_signal(signal.SIGHUP)
        harness.wait_until(lambda: "reload: done" in self.rig.log()[mark:], 60, "the reload")
        return self.rig.log()[mark:]

    def test_score_levels_follow_the_field_a_reload_names(self):
        try:
            self.assertIn("reload: filter Tarnwick-AS re-read its settings", self.reload("X-Rating: ^1 [^2]"))
            code, text = self.send("renamed", GTUBE)
            self.assertEqual(code, 550, text)
            # A Header without the score would let every spam on unseen.
            log = self.reload("X-Rating: rated")
            self.assertIn("reload: filter Tarnwick-AS keeps its settings: its Header setting gives no "
                          "field with the score (^1)", log)
            self.assertEqual(self.send("unscored", GTUBE)[0], 550)
        finally:
            self.reload(None)

    def test_spam_refused_at_the_level_and_nothing_delivered(self):
        code, text = self.send("spam", GTUBE)
        self.assertEqual(code, 550)
        self.assertIn("5.7.1 Message refused as spam (score 100, refusal level 100)", text)
        self.assertRegex(self.rig.log(), r"action=reject \(refused: spam score 100 reaches the refusal level 100\)")
        self.assertEqual(self.send("after-spam", GTUBE, sender="boss@example.net")[0], 250)
        self.mta.wait_sunk(rb"Subject: after-spam\r?\n")
        self.assertFalse([m for m in self.mta.sunk() if re.search(rb"Subject: spam\r?\n", m)])

    def test_whitelisted_sender_never_refused_or_held(self):
        self.assertEqual(self.send("wl", GTUBE, sender="boss@example.net")[0], 250)
        self.assertIn(b"X-Junk-Score: 0 []", self.mta.wait_sunk(rb"Subject: wl\r?\n")[0])

    def test_rated_message_held_with_score_and_level(self):
        self.assertEqual(self.send("hold-me", "An ordinary message.", sender="hold@example.org")[0], 250)
        self.assertRegex(self.held_reason("hold@example.org"), r"^spam score \d+ reaches the hold level 1$")

    def test_infected_message_held_with_the_virus_name(self):
        self.assertEqual(self.send("infected", EICAR, sender="virus@example.org")[0], 250)
        self.assertEqual(self.held_reason("virus@example.org"), "Virus found: Tarnwick.Test.EICAR.UNOFFICIAL")
        # Tarnwick-AV notifies as for a refusal.
        self.mta.wait_sunk(rb"(?s)Subject: Virus alert.*Subject: infected\r?\n")

    def test_authenticated_session_and_trusted_network_not_rated(self):
        for subject, xclient, why in (
                ("authenticated", "LOGIN=alice", "authenticated session"),
                ("trusted-v4", "ADDR=10.9.8.7", "client 10.9.8.7 in trusted network 10.9.0.0/16"),
                ("trusted-v6", "ADDR=IPV6:2001:db8:9::7",
                 "client 2001:db8:9::7 in trusted network 2001:db8:9::/48")):
            # GTUBE: refused, were it rated; the scan still runs.
            self.assertEqual(self.send(subject, GTUBE, xclient=xclient)[0], 250, subject)
            relayed = self.mta.wait_sunk(rb"Subject: %s\r?\n" % subject.encode())[0]
            self.assertNotIn(b"X-Junk-Score", relayed)
            self.assertRegex(self.rig.log(), r"Tarnwick-AV=OK Tarnwick-AS=\(not rated: %s\) action=accept"
                             % re.escape(why))
        # A client outside the networks is rated.
        self.assertEqual(self.send("untrusted", GTUBE, xclient="ADDR=10.10.8.7")[0], 550)

    def test_figures_count_the_messages_sent(self):
        outcomes = (("refused", "spam_score"), ("held", "spam_score"), ("held", "virus"),
                    ("accepted", "not_rated"), ("accepted", "filters"))

        def counts():
            return {o: self.rig.figure("tarnwick_milter_messages", "_total", outcome=o[0], reason=o[1])
                    for o in outcomes}

        def answers(program):
            return self.rig.figure("tarnwick_milter_filter_answer_seconds", "_count", filter=program)

        self.rig.wait_figures_written()
        before, av_before = counts(), answers("Tarnwick-AV")
        self.assertEqual(self.send("f-spam", GTUBE)[0], 550)
        self.assertEqual(self.send("f-hold", "Counted.", sender="f-hold@example.org")[0], 250)
        self.assertEqual(self.send("f-virus", EICAR, sender="f-virus@example.org")[0], 250)
        self.assertEqual(self.send("f-trusted", GTUBE, xclient="ADDR=10.9.1.1")[0], 250)
        self.assertEqual(self.send("f-wl", "Counted.", sender="f@example.net")[0], 250)
        expected = {o: before[o] + 1 for o in outcomes}
        self.rig.wait_figures_written()
        self.assertEqual(counts(), expected)
        self.assertEqual(answers("Tarnwick-AV"), av_before + 5)
        fams = self.rig.figures_families()
        self.assertEqual(fams["tarnwick_milter_filter_answer_seconds"].type, "histogram")
        self.assertEqual(fams["tarnwick_milter_forged_fields_removed"].type, "counter")
        # The file is replaced whole: nothing is left beside it.
        self.assertFalse(os.path.exists(self.rig.figures + ".tmp"))

