"""A burst of 2,000 messages through Tarnwick-AS against an anti-spam
engine that answers in random order after random delays: every request is
answered exactly once, with the header of its own score, and the score
counts add up."""

import collections
import unittest

import harness

# Engine score -> (rescaled score, answer text with the built-in settings).
SCORES = [
    (-1000, 0, "X-Junk-Score:   0 []\\eX-Quillon-Score:   0 []"),
    (0, 81, "X-Junk-Score:  81 [XXX]\\eX-Quillon-Score:  81 [XXX]"),
    (100, 90, "X-Junk-Score:  90 [XXXX]\\eX-Quillon-Score:  90 [XXXX]"),
    (120, 91, "X-Junk-Score:  91 [XXXXX]\\eX-Quillon-Score:  91 [XXXXX]"),
    (400, 100, "X-Junk-Score: 100 [XXXXXX]\\eX-Quillon-Score: 100 [XXXXXX]"
               "\\eX-Alert: possible spam!\\eX-Color: red"),
    (-523, 39, "X-Junk-Score:  39 [X]\\eX-Quillon-Score:  39 [X]"),
    (-5000, 0, "X-Junk-Score:   0 []\\eX-Quillon-Score:   0 []"),
]


class AsBurstTest(unittest.TestCase):
    def test_two_thousand_shuffled_messages(self):
        count = 2000
        settings = {"EventsReports": {"Started": {"Enabled": "No"}, "Stopped": {"Enabled": "No"}},
                    "DailyReport": {"Enabled": "No"}}
        with harness.FilterSession("Tarnwick-AS", settings=settings,
                                   engine_args=["--shuffle", "64", "--jitter-ms", "2", "--seed", "11"]) as s:
            s.start()
            s.wait_for("* reader thread started")
            expected = {}
            histogram = collections.Counter()
            lines = []
            for n in range(1, count + 1):
                score, rescaled, header = SCORES[n % len(SCORES)]
                text = harness.mail_text("burst %d" % n, "message %d" % n, extra=("X-Sim-Score: %d" % score,))
                path = s.add_message(text, sender="s%d@example.org" % n, source="smtp [192.0.2.%d]" % (n % 250),
                                     recipients=["r@example.net"])
                lines.append("%d FILE %s\n" % (n, path))
                expected[str(n)] = ['%d ADDHEADER "%s"' % (n, header)]
                histogram[rescaled] += 1
            s.send("".join(lines))
            got = s.answers(expected.keys(), timeout=120)
            missing = sorted(set(expected) - set(got), key=int)
            self.assertEqual(missing, [], "%d requests unanswered" % len(missing))
            wrong = {t: got[t] for t in expected if got[t] != expected[t]}
            self.assertEqual(wrong, {})
            self.assertEqual(sorted(s.engine.requests()), list(range(1, count + 1)))
            self.assertEqual(s.quit(timeout=30), 0)
            # Nothing came twice, not even late.
            answers = [line.split(" ", 1)[0] for line in s.lines() if not line.startswith("* ")]
            self.assertEqual(len(answers), count)
            # The score is counted before the answer is written, so the
            # final dump has every one of them.
            scores = "".join('"%d"=%d;\n' % (v, histogram[v]) for v in sorted(histogram))
            self.assertIn("Scores={\n%s};\n" % scores, s.read_stat_file())


if __name__ == "__main__":
    unittest.main()
