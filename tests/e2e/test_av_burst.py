"""A burst of 2,000 requests against a scan engine that answers in random
order after random delays: every request is answered exactly once, with
its own verdict, and no temporary copy is left behind."""

import unittest

from harness import FilterSession, eicar, mail_text


class AvBurstTest(unittest.TestCase):
    def test_two_thousand_shuffled_requests(self):
        count = 2000
        with FilterSession("Tarnwick-AV", mode="Discard",
                           engine_args=["--shuffle", "64", "--jitter-ms", "3", "--seed", "7"]) as s:
            s.start()
            s.wait_for("* reader thread started")
            infected = set()
            requests = []
            for n in range(1, count + 1):
                body = "message %d\n" % n
                if n % 7 == 0:
                    body += eicar() + "\n"
                    infected.add(str(n))
                path = s.add_message(mail_text("burst %d" % n, body), sender="s%d@example.org" % n,
                                     source="smtp [192.0.2.%d]" % (n % 250), recipients=["r@example.net"])
                requests.append("%d FILE %s\n" % (n, path))
            s.send("".join(requests))
            got = s.answers(range(1, count + 1), timeout=120)
            self.assertEqual(len(got), count)
            for token, lines in got.items():
                self.assertEqual(len(lines), 1, lines)
                self.assertEqual(lines[0], "%s %s" % (token, "DISCARD" if token in infected else "OK"))
            self.assertEqual(s.quit(), 0)
            self.assertEqual(s.temp_files(), [])
            # Nothing answered twice, even after shutdown.
            answers = [l for l in s.lines() if not l.startswith("* ")]
            self.assertEqual(len(answers), count)


if __name__ == "__main__":
    unittest.main()
