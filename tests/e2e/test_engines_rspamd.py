"""End-to-end tests of quillon-rspamd, the anti-spam engine daemon on rspamd.

Two rspamd of its own run for the class (harness.RspamdServer: offline, each
with its normal worker on a loopback port and a unix socket): the first
stays up, the second is stopped, restarted and reloaded by the tests.
Frames go to the daemons as Tarnwick-AS sends them; rspamc rates the same
messages for comparison.
"""

import email.utils
import os
import re
import time
import unittest

import engine_samples as samples
import harness
from engine_samples import rate, rescale, run, wait_for_log

ase = harness.load_schema("ase")
qerr = harness.load_schema("error")


def ham(mid):
    return (b"From: Alice Example <alice@example.org>\r\nTo: bob@example.org\r\n"
            b"Subject: Lunch tomorrow\r\nDate: " + email.utils.formatdate().encode() + b"\r\n"
            b"Message-ID: <" + mid.encode() + b"@example.org>\r\n\r\n"
            b"Hi Bob,\r\n\r\nshall we meet for lunch tomorrow at noon, at the usual place?\r\n\r\nAlice\r\n")


def gtube(mid):
    return (b"From: someone@example.org\r\nTo: bob@example.org\r\nSubject: offer\r\n"
            b"Message-ID: <" + mid.encode() + b"@example.org>\r\n\r\n" + harness.gtube().encode() + b"\r\n")


# What tarnwick-milter writes above the message (milter/queue_head.cpp), and the
# same facts as rspamc's options.
def from_host(message, qid, name="mail.example.org", helo="helo.example.net", ip="192.0.2.7",
              sender="alice@example.org", rcpts=("bob@example.org", "carol@example.org")):
    head = "X-Envelope-From: <%s>\n" % sender
    head += "".join("X-Envelope-To: <%s>\n" % r for r in rcpts)
    head += "Received: from %s (%s [%s])\n\tby mx.example.net with ESMTP id %s;\n\t%s\n" % (
        helo, name, ip, qid, email.utils.formatdate(localtime=True))
    argv = ["-F", "<%s>" % sender, "-i", ip, "--header", "Queue-Id=" + qid]
    for r in rcpts:
        argv += ["-r", "<%s>" % r]
    if helo != "unknown":
        argv += ["--helo", helo]
    if name != "unknown":
        argv += ["--hostname", name]
    return head.encode() + message, argv


def details(reply):
    """score, required and the symbols of a rating's details."""
    m = re.fullmatch(r"score=(-?[\d.]+) required=(-?[\d.]+) tests=(.*)", reply.spam_report.details)
    assert m, reply
    return float(m.group(1)), float(m.group(2)), m.group(3).split(",")


@harness.skip_without("quillon-rspamd")
class RspamdEngineTest(samples.DaemonsTest):
    PROGRAM = "quillon-rspamd"

    @classmethod
    def setUpClass(cls):
        cls.begin("tw-rspamd-")
        os.mkdir(os.path.join(cls.tmp, "main"))
        os.mkdir(os.path.join(cls.tmp, "second"))
        cls.second = harness.RspamdServer(os.path.join(cls.tmp, "second"))
        cls.servers.append(cls.second)
        try:
            # One after the other: the second start finds the first one's
            # compiled expressions.
            cls.main = harness.RspamdServer(os.path.join(cls.tmp, "main")).start()
            cls.servers.append(cls.main)
            cls.second.start()
            cls.tcp = cls._start("tcp", ["--rspamd", cls.main.address])
            cls.unix = cls._start("unix", ["--rspamd", "unix:" + cls.main.socket_path])
            cls.lone = cls._start("lone", ["--rspamd", "unix:" + cls.second.socket_path, "--workers", "4"])
            cls.brief = cls._start("brief", ["--rspamd", "unix:" + cls.second.socket_path,
                                             "--reload-grace", "1"])
            cls.pool = cls._start("pool", ["--rspamd", cls.main.address,
                                           "--rspamd", "unix:" + cls.second.socket_path])
        except Exception:
            cls.tearDownClass()
            raise

    def setUp(self):
        if self.second.returncode is not None:
            self.second.start()

    def assert_rated(self, reply, spam):
        self.assertTrue(reply.HasField("spam_report"), reply)
        self.assertEqual(reply.spam_report.score.state, ase.VR_SPAM if spam else ase.VR_LEGIT, reply)
        return rescale(reply.spam_report.score.score)

    def test_clean_message_and_gtube(self):
        for daemon in (self.tcp, self.unix):
            spam, clean = rate(daemon.socket_path, [gtube("g-" + daemon.socket_path[-8:-5]), ham("h1")])
            # rspamd does not rate GTUBE: its score is the reject threshold
            # and the action reject; the filter shows 100, as for spamd.
            self.assertEqual(self.assert_rated(spam, True), 100)
            score, required, symbols = details(spam)
            self.assertEqual((score, symbols), (required, ["GTUBE"]))
            self.assertLess(self.assert_rated(clean, False), 60)
            self.assertNotIn("GTUBE", details(clean)[2])

    def task_line(self, marker):
        """rspamd's log line of the task whose text holds marker."""
        lines = [line for line in self.main.log_text().splitlines()
                 if "rspamd_task_write_log" in line and marker in line]
        self.assertEqual(len(lines), 1, marker)
        return lines[0]

    def test_what_the_mta_saw_is_passed(self):
        named, _ = from_host(ham("named"), "4QXyz1")
        nameless, _ = from_host(ham("nameless"), "4QXyz2", name="unknown")
        replies = rate(self.unix.socket_path, [named, nameless, ham("server")])
        for reply in replies:
            self.assert_rated(reply, False)
        named_symbols, nameless_symbols, server_symbols = (details(r)[2] for r in replies)
        # The envelope sender is the From field's; the client's name is known.
        self.assertIn("FROM_EQ_ENVFROM", named_symbols)
        self.assertNotIn("HFILTER_HOSTNAME_UNKNOWN", named_symbols)
        self.assertIn("HFILTER_HOSTNAME_UNKNOWN", nameless_symbols)
        self.assertNotIn("FROM_EQ_ENVFROM", server_symbols)
        line = self.task_line("<named@example.org>")
        for fact in ("qid: <4QXyz1>", "ip: 192.0.2.7", "from: <alice@example.org>",
                     "{helo=helo.example.net;hostname=mail.example.org;}", "bob@example.org",
                     "carol@example.org"):
            self.assertIn(fact, line)
        line = self.task_line("<nameless@example.org>")
        self.assertIn("qid: <4QXyz2>", line)
        self.assertIn("{helo=helo.example.net;hostname=;}", line)
        # A server's queue file: nothing from the message's own fields.
        line = self.task_line("<server@example.org>")
        for absent in ("qid:", "ip:", "from:"):
            self.assertNotIn(absent, line)

    def test_scores_as_rspamc_gives_them(self):
        # rspamc is given the message as the MTA hands it to rspamd's own
        # milter: without the host's fields, whose Received field would
        # count as one more hop.
        plain = [ham("c1"), gtube("c2"), harness.mime_message(b"PK\x03\x04 not really a zip", name="invoice.zip")]
        hosted = [(ham("c3"), {"qid": "4QXyz3"}), (gtube("c4"), {"qid": "4QXyz4", "name": "unknown"}),
                  (ham("c5"), {"qid": "4QXyz5", "helo": "unknown", "sender": ""})]
        messages = [(m, [], m) for m in plain] + [from_host(m, **facts) + (m,) for m, facts in hosted]
        replies = rate(self.tcp.socket_path, [m for m, _, _ in messages])
        for (_, argv, message), reply in zip(messages, replies):
            path = os.path.join(self.tmp, "rspamc.eml")
            with open(path, "wb") as f:
                f.write(message)
            out = run(["rspamc", "-h", self.main.address] + argv + [path]).stdout.decode()
            m = re.search(r"^Score: (-?[\d.]+) / (-?[\d.]+)$", out, re.M)
            self.assertTrue(m, out)
            score, required, _ = details(reply)
            self.assertEqual((score, required), (float(m.group(1)), float(m.group(2))), out)
            self.assert_rated(reply, "Action: reject" in out)

    def test_reload_and_restart_under_ratings(self):
        client = harness.FrameClient(self.lone.socket_path, ase.ServerMessage, timeout=60)
        try:
            samples.send_ratings(client, [ham("r%d" % n) for n in range(1, 31)])
            time.sleep(0.2)
            self.second.reload()
            replies = [client.receive() for _ in range(30)]
            # Stopped and started again within the grace: the ratings sent
            # meanwhile are held and rated once it is back.
            self.second.stop()
            samples.send_ratings(client, [ham("s%d" % n) for n in range(31, 41)], first=31)
            self.second.start()
            replies += [client.receive() for _ in range(10)]
        finally:
            client.close()
        self.assertEqual([r.serial for r in replies if not r.HasField("spam_report")], [],
                         "\n".join(self.lone.log_lines()))
        self.assertEqual(sorted(r.serial for r in replies), list(range(1, 41)))
        wait_for_log(self.lone, r"serial \d+: rated after \d+ ms held while rspamd was away")

    def test_after_the_grace_answered_at_once(self):
        self.second.stop()
        client = harness.FrameClient(self.brief.socket_path, ase.ServerMessage, timeout=30)
        try:
            took = []
            for serial in (1, 2):
                started = time.monotonic()
                samples.send_ratings(client, [ham("late%d" % serial)], first=serial)
                reply = client.receive()
                took.append(time.monotonic() - started)
                self.assertEqual(reply.error.code, qerr.EC_NOT_READY, reply)
                self.assertIn("rspamd", reply.error.what)
        finally:
            client.close()
        self.assertGreater(took[0], 0.8)   # held for the grace (1 s)
        self.assertLess(took[1], harness.scaled(0.5))  # then answered at once

    def test_pool_with_one_member_down(self):
        self.second.stop()
        started = time.monotonic()
        replies = rate(self.pool.socket_path, [ham("p%d" % n) for n in range(1, 9)])
        self.assertLess(time.monotonic() - started, harness.scaled(8))
        for reply in replies:
            self.assert_rated(reply, False)
        away = r"warning: rspamd at %s is away" % re.escape(self.second.socket_path)
        self.assertEqual(len([l for l in self.pool.log_lines() if re.search(away, l)]), 1)
        self.second.start()
        wait_for_log(self.pool, r"rspamd at %s is back" % re.escape(self.second.socket_path))
        rate(self.pool.socket_path, [ham("q%d" % n) for n in range(1, 5)])
        wait_for_log(self.pool, r"\(\d+ ms\) from %s$" % re.escape(self.second.socket_path))


def says(mid, json):
    """A message that has the stand-in rspamd answer json."""
    return (b"From: someone@example.org\r\nTo: bob@example.org\r\nSubject: forced\r\n"
            b"X-Rspamd-Says: " + json.encode() + b"\r\nMessage-ID: <" + mid.encode() + b"@example.org>\r\n"
            b"\r\nHello.\r\n")


# rspamd's words as a rule or the site's settings force them, on low and
# high scores, and each one's place on Tarnwick-AS's scale.
FORCED = [
    ('{"is_skipped":false,"score":2.0,"required_score":15,"action":"reject","symbols":{"FORCED":{}}}',
     True, 100),
    ('{"is_skipped":false,"score":-4.0,"required_score":15,"action":"reject","symbols":{}}', True, 100),
    ('{"is_skipped":false,"score":22.5,"required_score":15,"action":"reject","symbols":{}}', True, 95),
    ('{"is_skipped":true,"score":15.0,"required_score":15,"action":"soft reject","symbols":{}}', False, 89),
    ('{"is_skipped":false,"score":4.0,"required_score":15,"action":"greylist","symbols":{}}', False, 45),
    ('{"is_skipped":false,"score":40.0,"required_score":15,"action":"no action","symbols":{}}', False, 89),
]


@unittest.skipIf(bool(harness.daemon_missing("quillon-rspamd")), harness.daemon_missing("quillon-rspamd"))
class RspamdForcedActionsTest(samples.DaemonsTest):
    """rspamd's action, not its score, says which side of the threshold a
    message lands on, through quillon-rspamd and, behind the milter host,
    Tarnwick-AS and the host's refusal level; replies that could be read
    two ways are refused.  A stand-in plays rspamd (harness.FakeRspamd)."""

    PROGRAM = "quillon-rspamd"

    @classmethod
    def setUpClass(cls):
        cls.begin("tw-rspfake-")
        cls.fake = harness.FakeRspamd(cls.tmp).start()
        cls.servers.append(cls.fake)
        cls.daemon = cls._start("fake", ["--rspamd", cls.fake.address])

    def test_the_action_decides_the_side_of_the_threshold(self):
        replies = rate(self.daemon.socket_path, [says("f%d" % n, json) for n, (json, _, _) in enumerate(FORCED)])
        for (json, spam, shown), reply in zip(FORCED, replies):
            self.assertTrue(reply.HasField("spam_report"), reply)
            self.assertEqual(reply.spam_report.score.state, ase.VR_SPAM if spam else ase.VR_LEGIT, json)
            self.assertEqual(rescale(reply.spam_report.score.score), shown, json)
        # The details keep rspamd's numbers; the log names the action.
        self.assertEqual(replies[0].spam_report.details, "score=2.00 required=15.00 tests=FORCED")
        wait_for_log(self.daemon, r'SPAM score=2\.00 required=15\.00 action="reject" symbols=FORCED')
        wait_for_log(self.daemon, r'ham score=15\.00 required=15\.00 forced action="soft reject" symbols=')

    def test_a_key_given_twice_is_a_protocol_error(self):
        twice = '{"score":40.0,"required_score":15,"action":"no action","score":1.0}'
        reply, = rate(self.daemon.socket_path, [says("t1", twice)])
        self.assertEqual(reply.error.code, qerr.EC_PROTOCOL_VIOLATION, reply)
        self.assertIn("rspamd reply names a key twice in one object", reply.error.what)

    @unittest.skipIf(bool(harness.milter_missing()), harness.milter_missing())
    def test_the_host_refuses_what_rspamd_refuses(self):
        rig = harness.MilterRig(filters=("Tarnwick-AS",), engines="rspamd", rspamd=self.fake,
                                host_args=["--reject-score", "90"])
        try:
            rig.start()
            lines = "conn = open()\n"
            for tag, (json, _, _) in zip(("low", "temporary"), (FORCED[0], FORCED[3])):
                lines += harness.lua_message(tag, "<someone@example.org>", ["<bob@example.org>"],
                                             [("From", "someone@example.org"), ("Subject", tag),
                                              ("X-Rspamd-Says", json)], "Hello.\r\n", probe=["X-Junk-Score"])
            out = harness.milter_outcomes(rig.run_lua(lines + "mt.disconnect(conn)\n"))
            self.assertEqual(out["low"]["reply"], "replycode", out)
            self.assertRegex(rig.log(), r"refused: spam score 100 reaches the refusal level 90")
            self.assertEqual(out["temporary"]["reply"], "continue", out)
            self.assertEqual(out["temporary"]["headers"]["X-Junk-Score"], "  89 [XXXX]")
        finally:
            rig.rspamd = None  # the class's stand-in, stopped with the class
            rig.cleanup()


if __name__ == "__main__":
    unittest.main()
