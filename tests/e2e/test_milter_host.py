"""tarnwick-milter end to end: miltertest plays the MTA, the real filters
run under the host against the simulated engines, and a sendmail stand-in
receives the generated mail."""

import datetime
import os
import re
import signal
import subprocess
import time
import unittest

import harness
from harness import MilterRig, lua_message, milter_outcomes, wait_until

BIN = harness.default_bin_dir()
EICAR = harness.eicar()
WHY = harness.milter_missing()

ALICE = "<alice@example.org>"
BOB = "<bob@example.net>"


TEMPFAIL = "451 4.7.1 Message could not be checked, try again later"


def mail(tag, body="hello\r\n", sender=ALICE, rcpts=(BOB,), extra=(), probe=(), reply=None,
         deleted=()):
    headers = [("From", "Alice " + ALICE), ("To", BOB), ("Subject", "test " + tag)] + list(extra)
    return lua_message(tag, sender, list(rcpts), headers, body, reply=reply, deleted=deleted,
                       probe=list(probe) + ["X-Junk-Score", "X-Quillon-Score", "X-Alert", "X-Virus-Found"])


def session(*messages):
    return "conn = open()\n" + "".join(messages) + "mt.disconnect(conn)\n"


def submit(rig, name, header, body=b"body\n"):
    """Generated mail as a filter leaves it in Submitted/."""
    sub = os.path.join(rig.base, "Submitted", name)
    with open(sub + ".tmp", "wb") as f:
        f.write(b"Return-Path: <>\n" + header + b"\n" + body)
    os.rename(sub + ".tmp", sub + ".sub")


def wait_mail(rig, pattern, count=1):
    return wait_until(lambda: [m for m in rig.outbox_mails() if re.search(pattern, m[1])][:count]
                    if len([m for m in rig.outbox_mails() if re.search(pattern, m[1])]) >= count else None,
                    10, pattern.decode())


@unittest.skipIf(bool(WHY), WHY)
class MilterVerdictsTest(unittest.TestCase):
    """One host with both filters: every kind of answer becomes the right
    milter action, and generated mail reaches sendmail."""

    @classmethod
    def setUpClass(cls):
        cls.rig = MilterRig(whitelist=["*@friends.example"])
        try:
            # Left by an earlier run: handed over at start.
            with open(os.path.join(cls.rig.base, "Submitted", "left_1.sub"), "wb") as f:
                f.write(b"Return-Path: <>\nTo: postmaster@localhost\nSubject: leftover\n\nbody\n")
            cls.rig.start()
        except Exception:
            cls.rig.cleanup()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.rig.cleanup()

    def run_messages(self, *messages):
        return milter_outcomes(self.rig.run_lua(session(*messages)))

    def test_clean_mail_goes_on_with_the_score_headers(self):
        # Forged fields of names the filters add only by their settings (an
        # alert, a virus field): no filter has added either yet.
        self.assertNotIn("X-Alert", self.rig.log())
        forged = [("X-Alert", "possible spam!"), ("x-virus-found", "none"), ("X-Color", "green")]
        # The host names a field to remove in lower case (the MTA matches any).
        out = self.run_messages(mail("c1", extra=forged,
                                     deleted=["x-alert", "x-virus-found", "x-color"]))["c1"]
        self.assertEqual(out["reply"], "continue")
        self.assertEqual(out["headers"]["X-Junk-Score"], "  40 [XX]")
        self.assertEqual(out["headers"]["X-Quillon-Score"], "  40 [XX]")
        self.assertNotIn("X-Alert", out["headers"])
        self.assertEqual(out.get("deleted"), ["x-alert", "x-virus-found"])
        line = [l for l in self.rig.message_lines() if "queue=Qc1 " in l and "request=" in l][0]
        self.assertRegex(line, r"from=<alice@example.org> to=<bob@example.net> request=\d+ "
                               r"Tarnwick-AV=OK Tarnwick-AS=ADDHEADER\".*\" action=accept time=\d+ms")
        # The queue file is gone once the message is answered.
        self.assertEqual(os.listdir(os.path.join(self.rig.base, "Queue")), [])

    def test_forged_fields_behind_a_thousand_other_names_removed(self):
        # The names the filters add are counted whatever else the header holds.
        others = [("X-N%04d" % i, "x") for i in range(1000)]
        out = self.run_messages(mail("n1", extra=others + [("X-Junk-Score", "0 []"), ("X-Alert", "no")],
                                     deleted=["x-junk-score", "x-alert"]))["n1"]
        self.assertEqual(out["reply"], "continue")
        self.assertEqual(out.get("deleted"), ["x-junk-score", "x-alert"])
        self.assertEqual(out["headers"]["X-Junk-Score"], "  40 [XX]")

    def test_too_many_forged_fields_refused(self):
        # Each removal costs the MTA more than the one before: past the bound
        # the message is refused for good instead.
        at_bound = [("X-Junk-Score", "0 []")] * 100
        out = self.run_messages(
            mail("b1", extra=at_bound, deleted=["x-junk-score"]),
            mail("b2", extra=at_bound + [("X-Alert", "no")], deleted=["x-junk-score"],
                 reply="550 5.7.1 Too many header fields named like the content filters' own"))
        self.assertEqual(out["b1"]["reply"], "continue")
        self.assertEqual(out["b1"].get("deleted"), ["x-junk-score"])
        self.assertEqual(out["b2"]["reply"], "replycode")
        self.assertTrue(out["b2"]["reply_matches"])
        self.assertNotIn("deleted", out["b2"])
        self.assertIn("101 incoming fields named like the filters' (at most 100 are removed), refused",
                      self.rig.log())

    def test_queue_holds_one_copy_while_the_filters_read(self):
        client = self.rig.start_lua(session(mail("q1", extra=[("X-Sim-Delay-Ms", "2000")])))
        queue = os.path.join(self.rig.base, "Queue")
        try:
            listing = lambda: os.listdir(queue)
            held = wait_until(lambda: any(n.endswith(".msg") for n in listing()) and listing(),
                              10, "the queue file")
            self.assertEqual([n for n in held if not n.endswith(".msg")], [])
        finally:
            out, _ = client.communicate(timeout=60)
        self.assertEqual(milter_outcomes(out.splitlines())["q1"]["reply"], "continue")

    def test_an_8bit_recipient_is_named_in_the_notification_and_sent_it(self):
        # The script is written in UTF-8, as an SMTPUTF8 client sends it.
        out = self.run_messages(mail("u1", EICAR + "\r\n", rcpts=("<bob+\u00e9@example.net>",)))["u1"]
        self.assertEqual(out["reply"], "replycode")
        args, note = wait_mail(self.rig, rb"Subject: test u1")[0]
        self.assertEqual(args[-2:], ["--", "bob+\u00e9@example.net"])
        self.assertIn("To: bob+\u00e9@example.net\n".encode(), note.replace(b"\r\n", b"\n"))

    def test_spam_and_whitelisted_sender(self):
        out = self.run_messages(mail("s1", extra=[("X-Sim-Score", "400")]),
                                mail("w1", sender="<pal@friends.example>", extra=[("X-Sim-Score", "400")]))
        self.assertEqual(out["s1"]["headers"]["X-Junk-Score"], " 100 [XXXXXX]")
        self.assertEqual(out["s1"]["headers"]["X-Alert"], " possible spam!")
        self.assertEqual(out["w1"]["headers"]["X-Junk-Score"], " 0 []")
        self.assertIn("Tarnwick-AS: * pal@friends.example is whitelisted by *@friends.example", self.rig.log())

    def test_infected_mail_by_mode(self):
        # Reject: the filter's text, the score headers of the other filter
        # dropped, the notification mailed to the recipient.
        text = ("550-5.7.1 Virus found: EICAR-Test-File\r\n550-5.7.1 1 virus(es) found\r\n"
                "550 5.7.1 Message rejected by Tarnwick-AV")
        out = self.run_messages(mail("v1", EICAR + "\r\n", rcpts=(BOB, "<carol@example.net>"),
                                     reply=text))["v1"]
        self.assertEqual(out["reply"], "replycode")
        self.assertTrue(out["reply_matches"])
        self.assertEqual(out["headers"], {})
        line = [l for l in self.rig.message_lines() if "queue=Qv1 " in l][0]
        self.assertIn('Tarnwick-AV=ERROR"Virus found: EICAR-Test-File\\x0a1 virus(es) found\\x0a'
                      'Message rejected by Tarnwick-AV"', line)
        self.assertIn("to=<bob@example.net>,<carol@example.net>", line)
        args, note = wait_mail(self.rig, rb"(?s)Subject: Virus alert.*Subject: test v1\n")[0]
        # The two recipients and nobody else; "To: recipients;" names no one
        # (and becomes the valid empty group), and the Bcc: field stays out.
        self.assertEqual(args[-6:], ["-oi", "-f", "<>", "--", "bob@example.net", "carol@example.net"])
        self.assertIn(b"\nTo: recipients:;\n", note)
        self.assertNotIn(b"Bcc:", note.split(b"\n\n")[0])
        self.assertIn(b"Envelope sender: alice@example.org", note)
        # The copied header lines, without the host's envelope fields (they
        # name every recipient), and nothing of the body.
        self.assertIn(b"Subject: test v1\n\n", note)
        self.assertIn(b"\nReceived: from mx.example.org", note)
        self.assertNotIn(b"X-Envelope-", note)
        self.assertNotIn(b"EICAR-STANDARD", note)

        self.rig.reload("Tarnwick-AV", {"Mode": "Discard"})
        self.assertEqual(self.run_messages(mail("v2", EICAR + "\r\n"))["v2"]["reply"], "discard")

        self.rig.reload("Tarnwick-AV", {"Mode": "AddHeader"})
        out = self.run_messages(mail("v3", EICAR + "\r\n"))["v3"]
        self.assertEqual(out["reply"], "continue")
        self.assertEqual(out["headers"]["X-Virus-Found"], " EICAR-Test-File")
        self.assertEqual(out["headers"]["X-Junk-Score"], "  40 [XX]")
        self.rig.reload("Tarnwick-AV", {"Mode": "Reject"})

    def test_failure_and_a_message_that_kills_a_filter_are_tempfail(self):
        # The scan engine reports an error (FAILURE); the spam engine's
        # reply without a report ends Tarnwick-AS, twice, and the message is
        # then given up instead of being sent a third time.
        out = self.run_messages(mail("f1", extra=[("X-Sim-Error", "SE_SCAN_TIMEOUT"),
                                                  ("X-Sim-Spam-Fixed", "noreport")], reply=TEMPFAIL),
                                mail("f2"))
        self.assertTrue(out["f1"]["reply_matches"])
        line = [l for l in self.rig.message_lines() if "queue=Qf1 " in l][0]
        self.assertIn('Tarnwick-AV=FAILURE"error=SE_SCAN_TIMEOUT"', line)
        self.assertIn('Tarnwick-AS=FAILURE"filter ended while checking the message"', line)
        self.assertIn("action=tempfail (filter failure)", line)
        self.assertRegex(self.rig.log(), r"filter Tarnwick-AS ended twice while checking request \d+")
        # The filter serves the next message.
        self.assertEqual(out["f2"]["headers"]["X-Junk-Score"], "  40 [XX]")

    def test_unsendable_mail_is_set_aside_and_holds_up_nothing(self):
        wait_mail(self.rig, rb"Subject: leftover")
        sending = os.path.join(self.rig.base, "Submitted", "sending")
        failed = os.path.join(self.rig.base, "Submitted", "failed")
        refuse = lambda address, status: open(os.path.join(self.rig.root, "refuse", address), "w").write(status)
        refuse("later@example.net", "75")  # EX_TEMPFAIL
        refuse("gone@example.net", "67")  # EX_NOUSER
        submit(self.rig, "late_1", b"To: later@example.net\nSubject: retried\n")
        self.rig.wait_log("late_1.sub will be tried again in 2 s")
        # The file waits in sending/ while the ones behind it go on.
        submit(self.rig, "late_2", b"To: gone@example.net\nSubject: refused\n")
        submit(self.rig, "late_3", b"To: recipients;\nCc: postmaster\nSubject: nobody\n")
        submit(self.rig, "late_4", b"To: Dora <dora@example.net>\nSubject: fine\n")
        args, _ = wait_mail(self.rig, rb"Subject: fine")[0]
        self.assertEqual(args[-2:], ["--", "dora@example.net"])
        self.rig.wait_log("late_3.sub set aside in failed/: no valid recipient")
        self.assertRegex(self.rig.log(), r"late_3.sub: 1 recipient\(s\) that are no plain address skipped: postmaster")
        self.rig.wait_log("late_2.sub set aside in failed/: sendmail refused it for good")
        self.assertRegex(self.rig.log(), r"sendmail refused \S+late_2.sub, exit status 67: sendmail: gone@example.net refused")
        self.assertEqual(sorted(n.split(".", 2)[2] for n in os.listdir(failed)), ["late_2.sub", "late_3.sub"])
        # Only the file refused for now stays in sending/ (the one handed over
        # goes once sendmail has ended).
        wait_until(lambda: [n.split(".", 2)[2] for n in os.listdir(sending)] == ["late_1.sub"], 10,
                   "only late_1.sub left in sending/")
        os.unlink(os.path.join(self.rig.root, "refuse", "later@example.net"))
        wait_mail(self.rig, rb"Subject: retried")
        wait_until(lambda: not os.listdir(sending), 5, "the handed-over file removed")

    def test_socket_mode_and_group(self):
        st = os.stat(self.rig.socket)
        self.assertEqual(st.st_mode & 0o777, 0o660)
        self.assertEqual(st.st_gid, os.getgid())


@unittest.skipIf(bool(WHY), WHY)
class MilterFailurePolicyTest(unittest.TestCase):
    """--on-failure accept and --timeout: a filter that fails or stays
    silent lets the mail through with the other filter's headers."""

    def test_failure_and_silence_accepted(self):
        stall = "/tmp/twm-stall-%d" % os.getpid()
        rig = MilterRig(engine_args={"Tarnwick-AV": ["--stall-file", stall, "--fixed", "error:SE_NO_MEMORY"]},
                  host_args=["--on-failure", "accept", "--timeout", "2"])
        try:
            rig.start()
            open(stall, "w").close()
            started = time.monotonic()
            out = milter_outcomes(rig.run_lua(session(mail("t1"))))
            self.assertGreaterEqual(time.monotonic() - started, 2)
            # The silent filter is replaced: killed just after the timeout
            # and started again; it serves the next message.
            rig.wait_log("filter Tarnwick-AV did not answer request 1 within 2 s; killing pid", timeout=3)
            os.unlink(stall)
            out.update(milter_outcomes(rig.run_lua(session(mail("t2")))))
            for tag in ("t1", "t2"):
                self.assertEqual(out[tag]["reply"], "continue")
                self.assertEqual(out[tag]["headers"]["X-Junk-Score"], "  40 [XX]")
            lines = rig.message_lines()
            self.assertIn("Tarnwick-AV=(no answer)", lines[0])
            self.assertIn('Tarnwick-AV=FAILURE"error=SE_', lines[1])
            for line in lines:
                self.assertIn("action=accept (filter failure)", line)
            self.assertEqual(rig.log().count("filter Tarnwick-AV started"), 2)
        finally:
            if os.path.exists(stall):
                os.unlink(stall)
            rig.cleanup()


@unittest.skipIf(bool(WHY), WHY)
class MilterProbeTest(unittest.TestCase):
    """A filter whose engine takes 17 s still answers the host's INTF
    probes at once: it is not taken for hung (the probe would kill a silent
    one after 15 s) and its verdict decides the message."""

    def test_slow_engine_is_not_a_hung_filter(self):
        rig = MilterRig(engine_args={"Tarnwick-AV": ["--delay-ms", "17000"]},
                        host_args=["--timeout", "60", "--debug"])
        try:
            rig.start()
            out = milter_outcomes(rig.run_lua(session(mail("s1", EICAR + "\r\n"))))
            self.assertEqual(out["s1"]["reply"], "replycode")
            log = rig.log()
            # The greeting and at least two probes, answered by the command loop.
            self.assertGreaterEqual(len(re.findall(r"filter Tarnwick-AV: \d+ INTF 3 PROD=QLON", log)), 3)
            self.assertNotIn("did not answer", log)
            self.assertEqual(log.count("filter Tarnwick-AV started"), 1)
            self.assertIn("Tarnwick-AV=ERROR", rig.message_lines()[0])
        finally:
            rig.cleanup()


@unittest.skipIf(bool(WHY), WHY)
class MilterFieldNamesTest(unittest.TestCase):
    """The names of the fields a filter adds come from its settings as they
    are now: never a field of the message's own, and not one the settings
    have stopped naming."""
    ALERT = "Subject: [possible spam]\\\\eX-Color: red"  # the replacement halves the backslashes

    @classmethod
    def setUpClass(cls):
        cls.rig = MilterRig(filters=("Tarnwick-AS",), replace={"Tarnwick-AS": {"AlertHeader": cls.ALERT}})
        try:
            cls.rig.start()
        except Exception:
            cls.rig.cleanup()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.rig.cleanup()

    def send(self, tag, extra=(), deleted=()):
        return milter_outcomes(self.rig.run_lua(session(mail(tag, extra=list(extra),
                                                               deleted=list(deleted)))))[tag]

    def test_a_field_of_the_message_is_never_taken_for_a_filter_field(self):
        self.assertIn("adds a field subject, which belongs to the message", self.rig.log())
        for tag, score in (("f1", "10"), ("f2", "400")):  # below and above the alert level
            out = self.send(tag, [("X-Sim-Score", score)], deleted=["subject", "x-junk-score"])
            self.assertEqual(out["reply"], "continue", tag)
            self.assertNotIn("subject", out.get("deleted", []), tag)

    def test_names_the_settings_no_longer_give_are_forgotten(self):
        self.assertEqual(self.send("g1", [("X-Color", "green")], ["x-color"]).get("deleted"), ["x-color"])
        self.rig.reload("Tarnwick-AS", {"AlertHeader": "X-Alert: possible spam!"})
        try:
            wait_until(lambda: "deleted" not in self.send("g2", [("X-Color", "green")], ["x-color"]),
                       10, "x-color forgotten")
        finally:
            self.rig.reload("Tarnwick-AS", {"AlertHeader": self.ALERT})

    def test_a_broken_settings_file_keeps_the_last_good_names(self):
        # The filter still adds the fields of the settings it runs on: an
        # empty file (one an editor has cut before it writes) or one that
        # does not parse takes none of their names away.
        path = self.rig.program_dir("Tarnwick-AS") + "/Tarnwick-AS.cfg"
        with open(path) as f:
            good = f.read()
        broken = "filter Tarnwick-AS: settings file %s not readable or without Socket" % path
        again = "filter Tarnwick-AS: settings file %s readable again" % path

        def write(text, line):
            count = self.rig.log().count(line)
            with open(path, "w") as f:
                f.write(text)
            self.rig.wait_log(line, count=count + 1)  # the watcher looks every 2 s

        try:
            for tag, text in (("e1", ""), ("e2", good + "Broken = {\n")):
                write(text, broken)
                self.assertEqual(self.send(tag, [("X-Color", "green")], ["x-color"]).get("deleted"),
                                 ["x-color"], tag)
                write(good, again)
        finally:
            with open(path, "w") as f:
                f.write(good)


@unittest.skipIf(bool(WHY), WHY)
class MilterUncountedNameTest(unittest.TestCase):
    def test_a_name_first_added_behind_a_thousand_others_defers_the_message(self):
        # X-Rank-XX is known only once a filter has added it (its name holds a marker).
        rig = MilterRig(filters=("Tarnwick-AS",),
                        replace={"Tarnwick-AS": {"Header": "X-Junk-Score: ^1 [^2]\\\\eX-Rank-^2: yes"}})
        try:
            rig.start()
            crowd = [("X-N%04d" % i, "x") for i in range(1000)] + [("X-Rank-XX", "forged")]
            run = lambda tag, reply=None: milter_outcomes(rig.run_lua(session(
                mail(tag, extra=crowd, deleted=["x-rank-xx"], reply=reply))))[tag]
            first = run("r1", reply="451 4.7.1 Too many distinct header fields, try again later")
            self.assertEqual(first["reply"], "replycode")
            self.assertTrue(first["reply_matches"])
            self.assertIn("field x-rank-xx could not be counted, deferred", rig.log())
            # Offered again, the name is known before the message: counted and removed.
            again = run("r2")
            self.assertEqual(again["reply"], "continue")
            self.assertEqual(again.get("deleted"), ["x-rank-xx"])
        finally:
            rig.cleanup()


@unittest.skipIf(bool(WHY), WHY)
class MilterSendmailTest(unittest.TestCase):
    def test_a_hanging_run_is_killed_and_holds_back_new_mail_by_one_run_at_most(self):
        rig = MilterRig(filters=("Tarnwick-AS",), host_args=["--sendmail-timeout", "2"])
        try:
            rig.start()
            for n in (1, 2):
                open(os.path.join(rig.root, "hang", "stuck%d@example.net" % n), "w").close()
                submit(rig, "stuck_%d" % n, b"To: stuck%d@example.net\nSubject: stuck\n" % n)
            rig.wait_log("stuck_2.sub will be tried again in 2 s", timeout=15)
            self.assertRegex(rig.log(), r"sendmail still running for \S+stuck_1.sub after 2 s; "
                                        r"its process group was killed")
            # Once stuck_1's retry runs, what comes meanwhile goes before
            # stuck_2's retry, due when that run ends.
            hang = os.path.join(rig.root, "hang", "stuck1@example.net")
            wait_until(lambda: open(hang).read().count("run") >= 2, 10, "stuck_1's second run")
            submit(rig, "fresh_1", b"To: dora@example.net\nSubject: fresh\n")
            wait_mail(rig, rb"Subject: fresh")
            self.assertNotIn("stuck_2.sub will be tried again in 4 s", rig.log())
            # At the stop only a run under way ends; the stuck files are not
            # tried again.
            self.assertEqual(rig.stop(), 0)
            at_stop = rig.log().split("stop: stopping the filters", 1)[1]
            self.assertLessEqual(at_stop.count("its process group was killed"), 1)
            self.assertIn("submit: 2 message(s) not handed over", rig.log())
        finally:
            rig.cleanup()


@unittest.skipIf(bool(WHY), WHY)
class MilterSmtpSubmitTest(unittest.TestCase):
    def test_generated_mail_over_smtp_stuffed_refused_and_bounded(self):
        smtp = harness.ScriptedSmtp(refuse={"gone@example.net": "550 5.1.1 <gone@example.net>: no such user",
                                            "later@example.net": "451 4.3.0 try again"})
        rig = MilterRig(filters=("Tarnwick-AS",),
                        host_args=["--submit-to", smtp.address, "--sendmail-timeout", "3"])

        def taken(subject):
            return [m for m in smtp.mails if b"Subject: " + subject + b"\r\n" in m[2]]
        try:
            rig.start()
            submit(rig, "dots", b"To: bob@example.net, gone@example.net\nBcc: carol@example.net\n"
                                b"Subject: dots\n", b".\n..two\n.three\r\nbare\rcr\nlast")
            rig.wait_log("dots.sub handed over to " + smtp.address)
            sender, rcpts, data = taken(b"dots")[0]
            self.assertEqual((sender, rcpts), ("<>", ["bob@example.net", "carol@example.net"]))
            self.assertNotIn(b"Bcc:", data)
            self.assertTrue(data.endswith(b"\r\n\r\n..\r\n...two\r\n..three\r\nbare\rcr\r\nlast\r\n"), data)
            self.assertNotRegex(data, rb"[^\r]\n")
            self.assertRegex(rig.log(), r"dots.sub: 1 recipient\(s\) refused by 127.0.0.1:\d+: "
                                        r"gone@example.net: 550 5.1.1")
            # One recipient refused for now: nobody gets it yet, all later.
            submit(rig, "later", b"To: later@example.net, dora@example.net\nSubject: later\n")
            rig.wait_log("later.sub will be tried again in 2 s")
            self.assertRegex(rig.log(), r"later.sub not taken by \S+ after \d+ ms: "
                                        r"RCPT TO:<later@example.net>: 451 4.3.0 try again")
            self.assertEqual(taken(b"later"), [])
            # Every recipient refused for good: set aside.
            submit(rig, "gone", b"To: gone@example.net\nSubject: gone\n")
            rig.wait_log("gone.sub set aside in failed/: the MTA refused it for good")
            # An MTA that never answers the end of data: the exchange ends
            # at the time limit, and the retry goes through once it answers.
            smtp.silent = "data"
            submit(rig, "mute", b"To: erin@example.net\nSubject: mute\n")
            rig.wait_log("mute.sub will be tried again in 2 s", timeout=15)
            self.assertRegex(rig.log(), r"mute.sub not taken by \S+ after \d+ ms: no answer in time")
            smtp.silent = None
            wait_until(lambda: taken(b"mute"), 20, "the retry taken")
            self.assertEqual(rig.stop(), 0)
        finally:
            rig.cleanup()
            smtp.stop()


@unittest.skipIf(bool(WHY), WHY)
class MilterFiguresFileTest(unittest.TestCase):
    def test_what_lies_at_the_temporary_name_blocks_neither_the_writer_nor_the_stop(self):
        rig = MilterRig(filters=("Tarnwick-AS",), host_args=["--figures-every", "1"])
        temp = rig.figures + ".tmp"
        kept = os.path.join(rig.root, "kept.txt")
        with open(kept, "w") as f:
            f.write("not the figures\n")
        try:
            os.mkfifo(temp)
            rig.start()
            rig.wait_figures_written()
            self.assertFalse(os.path.lexists(temp))
            # Planted while it runs: a FIFO, then a link to another file.
            os.mkfifo(temp)
            rig.wait_figures_written()
            self.assertFalse(os.path.lexists(temp))
            os.symlink(kept, temp)
            rig.wait_figures_written()
            self.assertFalse(os.path.lexists(temp))
            with open(kept) as f:
                self.assertEqual(f.read(), "not the figures\n")
            with open(rig.figures) as f:
                self.assertIn("tarnwick_milter_generated_mail_total", f.read())
            # The last write at the stop.
            os.mkfifo(temp)
            self.assertEqual(rig.stop(), 0)
            self.assertFalse(os.path.lexists(temp))
            self.assertNotIn("figures: cannot write", rig.log())
        finally:
            rig.cleanup()


@unittest.skipIf(bool(WHY), WHY)
@unittest.skipUnless(os.geteuid() == 0, "mounting the queue's tmpfs needs root")
class MilterFullQueueTest(unittest.TestCase):
    """Queue/ on a tmpfs of its own, as the unit has it, too small for one
    message: that message is deferred, its part-written file does not stay
    to fill the queue for the next one."""

    def test_a_message_that_does_not_fit_is_deferred_and_takes_no_room(self):
        rig = MilterRig(filters=("Tarnwick-AS",))
        queue = os.path.join(rig.base, "Queue")
        os.mkdir(queue, 0o750)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=32k,nr_inodes=64,mode=0750",
                        "tarnwick-test-queue", queue], check=True)
        try:
            rig.start()
            big = "x" * 76 + "\r\n"
            out = milter_outcomes(rig.run_lua(session(
                mail("q1", body=big * 780,
                     reply="451 4.3.0 Local error while queueing the message for checks"),
                mail("q2"))))
            self.assertTrue(out["q1"]["reply_matches"], out["q1"])
            self.assertEqual(out["q2"]["headers"]["X-Junk-Score"], "  40 [XX]")
            self.assertRegex(rig.log(), r"message queue=Qq1 .* action=tempfail spool error: "
                                        r"No space left on device")
            self.assertEqual(os.listdir(queue), [])
        finally:
            rig.stop()
            subprocess.run(["umount", queue], check=False)
            rig.cleanup()


@unittest.skipIf(bool(WHY), WHY)
class MilterSerialTest(unittest.TestCase):
    """--serial: Tarnwick-AS only sees what Tarnwick-AV let on."""

    def test_refused_mail_is_not_rated(self):
        rig = MilterRig(host_args=["--serial"])
        try:
            rig.start()
            out = milter_outcomes(rig.run_lua(session(mail("e1", EICAR + "\r\n"), mail("e2"))))
            self.assertEqual(out["e1"]["reply"], "replycode")
            self.assertEqual(out["e2"]["headers"]["X-Junk-Score"], "  40 [XX]")
            lines = rig.message_lines()
            self.assertIn("Tarnwick-AS=(not asked) action=reject", lines[0])
            self.assertIn("Tarnwick-AV=OK Tarnwick-AS=ADDHEADER", lines[1])
            self.assertEqual(rig.log().count("Tarnwick-AS: * original score="), 1)
        finally:
            rig.cleanup()


@unittest.skipIf(bool(WHY), WHY)
class MilterStaggeredTest(unittest.TestCase):
    """The default order: Tarnwick-AS waits for Tarnwick-AV's usual refusal
    time, so a refusal that takes longer than the least head start but no
    longer than the recent ones spares it; a clean message goes to it as
    soon as Tarnwick-AV lets it on."""

    def test_refusal_within_the_usual_time_is_not_rated(self):
        rig = MilterRig()
        try:
            rig.start()
            slow = [("X-Sim-Delay-Ms", "300")]
            # The first refusals take 300 ms, far beyond the 5 ms head start
            # the host starts with: those are rated in the background.
            rig.run_lua(session(*[mail("t%d" % i, EICAR + "\r\n", extra=slow) for i in range(3)]))
            out = milter_outcomes(rig.run_lua(session(
                mail("e1", EICAR + "\r\n", extra=[("X-Sim-Delay-Ms", "40")]), mail("c1"))))
            self.assertEqual(out["e1"]["reply"], "replycode")
            self.assertEqual(out["c1"]["headers"]["X-Junk-Score"], "  40 [XX]")
            lines = {tag: [l for l in rig.message_lines() if "queue=Q%s " % tag in l][0]
                     for tag in ("e1", "c1")}
            self.assertIn("Tarnwick-AS=(not asked) action=reject", lines["e1"])
            self.assertIn("Tarnwick-AV=OK Tarnwick-AS=ADDHEADER", lines["c1"])
            # The clean message did not sit out the 300 ms head start.
            self.assertLess(int(re.search(r"time=(\d+)ms", lines["c1"]).group(1)), 300)
        finally:
            rig.cleanup()


@unittest.skipIf(bool(WHY), WHY)
class MilterFilterDownTest(unittest.TestCase):
    """A filter whose engine is gone ends and cannot start again: the MTA
    hears at once (Tarnwick-AS's failure lets the mail on unrated), and the
    filter runs again as soon as its engine accepts connections, however
    long its restart delay has grown."""

    def test_requests_fail_fast_while_a_filter_is_down_and_flow_on_its_return(self):
        rig = MilterRig(filters=("Tarnwick-AS",))
        try:
            rig.start()
            rig.engines["Tarnwick-AS"].kill()
            rig.engines["Tarnwick-AS"].wait()
            # The filter notices its engine is gone at its next request.
            milter_outcomes(rig.run_lua(session(mail("d0"))))
            rig.wait_log("filter Tarnwick-AS is down (its engine refuses connections)")
            started = time.monotonic()
            out = milter_outcomes(rig.run_lua(session(mail("d1"))))["d1"]
            self.assertLess(time.monotonic() - started, harness.scaled(2))
            self.assertEqual(out["reply"], "continue")
            self.assertNotIn("X-Junk-Score", out["headers"])
            line = rig.message_lines()[-1]
            self.assertIn('Tarnwick-AS=FAILURE"filter is not running" action=accept (filter failure)', line)
            # Let the restart delay grow past a few seconds, then bring the
            # engine back.
            rig.wait_log("restart in 8000 ms", timeout=30)
            rig.start_engine("Tarnwick-AS")
            back = time.monotonic()
            rig.wait_log("filter Tarnwick-AS: its engine accepts connections again", timeout=3)
            rig.wait_log("Tarnwick-AS: * reader thread started", count=2, timeout=3)
            self.assertLess(time.monotonic() - back, harness.scaled(3))
            out = milter_outcomes(rig.run_lua(session(mail("d2"))))["d2"]
            self.assertEqual(out["headers"]["X-Junk-Score"], "  40 [XX]")
        finally:
            rig.cleanup()


@unittest.skipIf(bool(WHY), WHY)
class MilterSupervisionTest(unittest.TestCase):
    """A filter killed in the middle of a burst of 100 messages over four
    connections: it is started again, gets the requests it left, and every
    message is answered with its verdict."""

    def test_killed_filter_mid_burst(self):
        rig = MilterRig(engine_args={"Tarnwick-AV": ["--delay-ms", "30"], "Tarnwick-AS": ["--delay-ms", "5"]},
                  notify=True)
        try:
            rig.start()
            self.assertEqual(rig.notify.recv(100), b"READY=1")
            clients = []
            for c in range(4):
                msgs = [mail("k%d_%d" % (c, i), EICAR + "\r\n" if i % 5 == 0 else "hi %d\r\n" % i)
                        for i in range(25)]
                clients.append(rig.start_lua(session(*msgs)))
            wait_until(lambda: len(rig.message_lines()) >= 20, 30, "20 answers")
            os.kill(rig.filter_pid("Tarnwick-AV"), signal.SIGKILL)
            out = {}
            for p in clients:
                stdout, stderr = p.communicate(timeout=120)
                self.assertEqual(p.returncode, 0, stderr)
                out.update(milter_outcomes(stdout.splitlines()))
            self.assertEqual(len(out), 100)
            for tag, o in out.items():
                infected = int(tag.split("_")[1]) % 5 == 0
                self.assertEqual(o["reply"], "replycode" if infected else "continue", tag)
            log = rig.log()
            self.assertRegex(log, r"filter Tarnwick-AV ended unexpectedly, signal 9, \d+ request\(s\) unanswered")
            self.assertEqual(len(re.findall(r"filter Tarnwick-AV started", log)), 2)
            self.assertEqual(len(rig.message_lines()), 100)
            self.assertNotIn("action=tempfail", log)
            self.assertEqual(rig.stop(), 0)
            self.assertEqual(rig.notify.recv(100), b"STOPPING=1")
            self.assertIn("Tarnwick-AS: * Tarnwick-AS plugin finished.", rig.log())
        finally:
            rig.cleanup()

    def test_a_filter_starting_leaves_the_other_filters_copies_alone(self):
        # A filter empties its Temp/ when it starts; a restarted Tarnwick-AS
        # must not take the copies Tarnwick-AV's engine has yet to scan.
        rig = MilterRig(whitelist=["*@friends.example"])
        try:
            # Left in a filter's working directory: replaced by the link to
            # the base directory's whitelist.
            planted = os.path.join(rig.base, "Work", "Tarnwick-AS")
            os.makedirs(planted)
            with open(os.path.join(planted, "whitelist.txt"), "w") as f:
                f.write("nobody@example.com\n")
            rig.start()
            self.assertIn("Tarnwick-AS/whitelist.txt was not the link to ../../whitelist.txt; replaced",
                          rig.log())
            av_temp = os.path.join(os.readlink("/proc/%d/cwd" % rig.filter_pid("Tarnwick-AV")), "Temp")
            copy = os.path.join(av_temp, "message_99.tmp")
            open(copy, "w").close()
            clearing = "Tarnwick-AS: * clearing Temp"
            before = rig.log().count(clearing)
            os.kill(rig.filter_pid("Tarnwick-AS"), signal.SIGKILL)
            rig.wait_log(clearing, count=before + 1, timeout=30)
            self.assertTrue(os.path.exists(copy), "Tarnwick-AS's start removed Tarnwick-AV's copy")
            # The restarted filter reads the shared queue and whitelist.
            out = milter_outcomes(rig.run_lua(session(
                mail("t1", extra=[("X-Sim-Score", "400")]),
                mail("t2", sender="<ann@friends.example>", extra=[("X-Sim-Score", "400")]))))
            self.assertEqual(out["t1"]["headers"]["X-Junk-Score"], " 100 [XXXXXX]")
            self.assertEqual(out["t2"]["headers"]["X-Junk-Score"], " 0 []")
        finally:
            rig.cleanup()


@unittest.skipIf(bool(WHY), WHY)
class MilterPlannedRestartTest(unittest.TestCase):
    def test_a_whitelist_reload_mails_no_reports_and_the_day_goes_on(self):
        """The reload replaces Tarnwick-AS for its changed whitelist: its
        stop, shutdown daily and start reports are not mailed, a crash
        afterwards still mails its start report; the picture's bar of the
        day holds the messages of both processes, as the statistics do."""
        rig = MilterRig(filters=("Tarnwick-AS",), whitelist=["*@friends.example"])
        try:
            settings = os.path.join(rig.program_dir("Tarnwick-AS"), "Tarnwick-AS.cfg")
            with open(settings, "a") as f:
                f.write('StatDumpInterval = "1";\n')
            rig.start()
            started = rb"Subject: Tarnwick-AS started "
            wait_mail(rig, started)
            rated = lambda tag: milter_outcomes(rig.run_lua(session(mail(tag))))[tag]["reply"]
            for i in range(3):
                self.assertEqual(rated("p%d" % i), "continue")
            with open(os.path.join(rig.base, "whitelist.txt"), "a") as f:
                f.write("boss@example.com\n")
            mark = len(rig.log())
            rig.proc.send_signal(signal.SIGHUP)
            rig.wait_log("reload: done")
            self.assertIn("the whitelist changed; a fresh process replaces it", rig.log()[mark:])
            rig.wait_log("not mailed: a report of a filter's planned restart", count=3, timeout=30)
            for kind in ("stopped", "daily", "report"):
                self.assertRegex(rig.log()[mark:], r"submit: Qln_AS_%s_\S+\.sub not mailed" % kind)

            # The day goes on: the statistics file holds the messages of
            # both processes once a request comes after the save interval.
            stats = os.path.join(rig.program_dir("Tarnwick-AS"), "statistics-as.dat")
            history = os.path.join(rig.program_dir("Tarnwick-AS"), "history-as.dat")
            tool = harness.load_stats_tool()
            warn = lambda text: self.fail(text)
            saved = lambda: tool.read_statistics(stats, warn)["messages"]
            n = iter(range(1000))
            wait_until(lambda: rated("q%d" % next(n)) and saved() >= 5, 60, "the statistics saved")
            self.assertEqual([r["messages"] for r in tool.read_history(history, warn)], [3])
            today = datetime.date.today()
            day = tool.picture_days([rig.program_dir("Tarnwick-AS")], [today], warn)["as"][today]
            self.assertEqual(sum(day["scores"].values()), saved())
            self.assertEqual(day["messages"], saved())

            # A crash is no planned restart: its start report goes out, and
            # after it nothing of the reload's comes.
            os.kill(rig.filter_pid("Tarnwick-AS"), signal.SIGKILL)
            wait_mail(rig, started, count=2)
            subjects = [re.search(rb"Subject: (Tarnwick-AS \w+)", m[1]).group(1) for m in rig.outbox_mails()]
            self.assertEqual(subjects, [b"Tarnwick-AS started", b"Tarnwick-AS started"])
        finally:
            rig.cleanup()


@unittest.skipIf(bool(WHY), WHY)
class MilterCommandLineTest(unittest.TestCase):
    def test_help_version_and_mistakes(self):
        run = lambda *a: subprocess.run([os.path.join(BIN, "tarnwick-milter")] + list(a),
                                        capture_output=True, text=True)
        done = run("--help")
        self.assertEqual(done.returncode, 0)
        self.assertIn("--on-failure", done.stdout)
        self.assertRegex(run("--version").stdout, r"^tarnwick-milter \d")
        for wrong in ([], ["--socket", "unix:/x", "--base", "/tmp"], ["--timeout", "0"],
                      ["--on-failure", "maybe"], ["--bogus"]):
            self.assertEqual(run(*wrong).returncode, 2, wrong)

    def test_lines_to_the_journal_carry_their_priority(self):
        """Under systemd, standard error is a journal stream (JOURNAL_STREAM
        names it): each line opens with its syslog priority, which journald
        takes for the line's; elsewhere the lines stay bare."""
        import tempfile
        with tempfile.TemporaryDirectory() as base:
            err_path = os.path.join(base, "stderr")
            argv = [os.path.join(BIN, "tarnwick-milter"), "--base", base, "--filter",
                    os.path.join(base, "Tarnwick-AV")]
            for journal in (True, False):
                with open(err_path, "w+") as err:
                    st = os.fstat(err.fileno())
                    env = dict(os.environ)
                    env.pop("JOURNAL_STREAM", None)
                    if journal:
                        env["JOURNAL_STREAM"] = "%d:%d" % (st.st_dev, st.st_ino)
                    done = subprocess.run(argv, stderr=err, stdout=subprocess.DEVNULL, env=env,
                                          timeout=30)
                    self.assertEqual(done.returncode, 1)
                    err.seek(0)
                    lines = err.read().splitlines()
                start = [l for l in lines if "info: start: tarnwick-milter" in l]
                failed = [l for l in lines if "error: start: filter" in l and "cannot be run" in l]
                self.assertEqual((len(start), len(failed)), (1, 1), lines)
                if journal:
                    self.assertTrue(start[0].startswith("<6>2"), start[0])
                    self.assertTrue(failed[0].startswith("<3>2"), failed[0])
                else:
                    self.assertFalse(any(l.startswith("<") for l in lines), lines)


if __name__ == "__main__":
    unittest.main()
