"""The sender whitelist of Tarnwick-AS end to end: which lines of
whitelist.txt become patterns, how they match envelope senders, the
immediate answer, and that a listed message never reaches the engine nor
the statistics."""

import unittest

import harness

ase = harness.load_schema("ase")

QUIET = harness.merge(harness.quiet_settings("Tarnwick-AS"), {"DailyReport": {"Enabled": "No"}})

WHITELIST = (b"# trusted senders\n"
             b"#second comment\n"
             b"Boss@Example.COM\n"
             b"a?z@q.example\n"
             b"*@Trusted.Example\n"
             b"?\n"                      # too short: would match any one-character address
             b"zz\n"                     # too short
             b"a*b\n"                    # three characters are enough
             b"\n"
             b"  lead@x.example\n"       # leading blanks belong to the pattern
             b"first*@dup.example\n"
             b"*@dup.example\n"
             b"crlf@x.example\r\n")      # a CR LF line end is not part of the pattern

LISTED_ANSWER = '%s ADDHEADER "X-Junk-Score: 0 []\\eX-Quillon-Score: 0 []"'
RATED_ANSWER = '%s ADDHEADER "X-Junk-Score:  81 [XXX]\\eX-Quillon-Score:  81 [XXX]"'


class WhitelistTest(unittest.TestCase):
    def test_patterns_answers_and_engine(self):
        with harness.FilterSession("Tarnwick-AS", engine=None, settings=QUIET, whitelist=WHITELIST) as s:
            engine = s.scripted_engine(schema=ase)
            s.start()
            s.expect("* 8 items read from whitelist.txt")
            s.expect("* reader thread started")
            engine.accept()

            # (token, envelope sender or None for no envelope, pattern that lists it)
            cases = [
                ("0042", "BOSS@example.com", "boss@example.com"),
                ("0043", "x", None),
                ("44", "abz@q.example", "a?z@q.example"),
                ("45", "az@q.example", None),
                ("46", "abbz@q.example", None),
                ("47", "friend@TRUSTED.example", "*@trusted.example"),
                ("48", "zz", None),
                ("49", "a-b", "a*b"),
                ("50", "  lead@x.example", "  lead@x.example"),
                ("51", "lead@x.example", None),
                ("52", "first.one@dup.example", "first*@dup.example"),
                ("53", "other@dup.example", "*@dup.example"),
                ("54", "crlf@x.example", "crlf@x.example"),
                ("55", None, None),
                ("56", ["boss@example.com", "nobody@else.example"], None),  # the last P line counts
                ("57", "", None),
            ]
            no_envelope = "From: <friend@trusted.example>\nSubject: raw\n\nno envelope here\n"
            for token, sender, _ in cases:
                if sender is None:
                    path = s.add_message(no_envelope, "m%s.msg" % token, envelope=False)
                elif isinstance(sender, list):
                    path = s.add_file("P <%s>\nP <%s>\nS rated.example\nR <r@example.net>\n\nSubject: two\n\nx\n"
                                      % tuple(sender), "m%s.msg" % token)
                else:
                    listed = any(c[0] == token and c[2] for c in cases)
                    path = s.add_message("Subject: %s\n\nbody\n" % token, "m%s.msg" % token, sender=sender,
                                         source="listed.example" if listed else "rated.example",
                                         recipients=["r@example.net"])
                s.request(token, path)

            # Exactly the unlisted messages reach the engine, in order; the
            # main thread is the only writer, so anything sent for a listed
            # message would show up in this sequence.
            rated = [c for c in cases if not c[2]]
            requests = engine.recv_requests(len(rated))
            self.assertEqual([r.serial for r in requests], [int(c[0]) for c in rated])
            self.assertEqual(requests[rated.index(("55", None, None))].message, harness.to_bytes(no_envelope))
            for r in requests:
                engine.send(harness.spam_rating(ase, r.serial, 0))
            # A listed message is answered with the token as sent (0042), a
            # rated one with the token's number (43 for 0043).
            answered_as = [token if pattern else str(int(token)) for token, _, pattern in cases]
            got = s.answers(answered_as)
            self.assertEqual(got, {key: [(LISTED_ANSWER if pattern else RATED_ANSWER) % key]
                                   for key, (_, _, pattern) in zip(answered_as, cases)})

            logged = [line for line in s.lines() if " is whitelisted by " in line]
            self.assertEqual(logged, ["* %s is whitelisted by %s" % (sender, pattern)
                                      for _, sender, pattern in cases if pattern])

            # Once the reader has dropped this reply it has finished every
            # earlier one, counters included.
            engine.send(harness.spam_rating(ase, 999, 0))
            s.wait_for("* no pending request for serial 999, reply dropped")
            self.assertEqual(s.quit(), 0)
            stats = s.read_stat_file()
            self.assertIn("MessagesTotal=%d;\n" % len(rated), stats)
            self.assertIn('Scores={\n"81"=%d;\n};\n' % len(rated), stats)
            # 55 has no envelope and counts no source; listed ones count nothing.
            self.assertIn('Sources={\n"rated.example"=%d;\n};\n' % (len(rated) - 1), stats)

    def test_no_whitelist_file(self):
        with harness.FilterSession("Tarnwick-AS", engine=None, settings=QUIET) as s:
            engine = s.scripted_engine(schema=ase)
            s.start_with(engine)
            s.request(1, s.add_message("Subject: x\n\ny\n", sender="boss@example.com", recipients=["r@x"]))
            self.assertEqual(engine.recv_request().serial, 1)
            self.assertFalse([line for line in s.lines() if "items read" in line or "whitelisted" in line])


class SpoofedSender(unittest.TestCase):
    """A CR LF queue file whose body holds a listed sender behind a bare
    line feed: the sender is the envelope's, and the engine rates it."""
    def test_body_sender_after_crlf_envelope_is_not_whitelisted(self):
        with harness.FilterSession("Tarnwick-AS", engine=None, settings=QUIET,
                                   whitelist=b"ceo@partner.example\n") as s:
            engine = s.scripted_engine(schema=ase)
            s.start_with(engine)
            message = b"Subject: hi\r\n\r\nP <ceo@partner.example>\n\nbuy now\r\n"
            s.request(3, s.add_file(b"P <spam@bad.example>\r\nR <u@x.example>\r\n\r\n" + message))
            req = engine.recv_request(timeout=5)
            self.assertEqual(req.message, message)
            engine.send(harness.spam_rating(ase, req.serial, 81))
            self.assertNotEqual(s.answer(3), LISTED_ANSWER % 3)


if __name__ == "__main__":
    unittest.main()
