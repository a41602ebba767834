"""The history line: appended at the midnight report and at the shutdown
report, in the format tarnwick-stats reads, and never through a link."""

import os
import types
import unittest

import harness

TOOL = os.path.join(harness.REPO_DIR, "tools", "tarnwick-stats")
DAY = harness.utc_epoch(2026, 12, 7, 23, 59, 0)
MIDNIGHT = harness.utc_epoch(2026, 12, 8, 0, 0, 5)


def parse_history_line(line):
    module = types.ModuleType("tarnwick_stats")
    with open(TOOL) as f:
        exec(compile(f.read(), TOOL, "exec"), module.__dict__)
    return module.parse_history_line(line)


def history_lines(session, short):
    path = os.path.join(session.prog_dir, "history-%s.dat" % short)
    with open(path) as f:
        return f.read().splitlines()


@unittest.skipUnless(harness.FakeClock.available(), "libfaketime is not installed")
class HistoryLineTest(unittest.TestCase):
    def session(self, program):
        s = harness.FilterSession(program)
        self.addCleanup(s.cleanup)
        clock = s.fake_clock(DAY)
        s.start()
        s.wait_for("* reader thread started")
        return s, clock

    def test_midnight_line_of_anti_spam(self):
        s, clock = self.session("Tarnwick-AS")
        s.request(1, s.add_message(harness.mail_text("Hi", "An ordinary message.")))
        s.answer(1)
        clock.set(MIDNIGHT)
        s.wait_for("* Generating daily report message")
        s.wait_submitted("Qln_AS_daily_")
        self.assertEqual(s.quit(), 0)
        # The empty period after midnight makes no report at shutdown.
        lines = history_lines(s, "as")
        self.assertEqual(len(lines), 1, lines)
        rec = parse_history_line(lines[0])
        self.assertEqual(str(rec["date"]), "2026-12-07")
        self.assertEqual((rec["start"], rec["end"], rec["at"], rec["messages"]),
                         (DAY, MIDNIGHT, "midnight", 1))
        self.assertEqual(sum(rec["scores"].values()), 1, lines[0])

    def test_shutdown_line_of_anti_virus_and_no_link_followed(self):
        s, clock = self.session("Tarnwick-AV")
        s.request(1, s.add_message(harness.mail_text("Hi", harness.eicar())))
        s.answer(1)
        self.assertEqual(s.quit(), 0)
        rec = parse_history_line(history_lines(s, "av")[0])
        self.assertEqual((rec["at"], rec["messages"], rec["infected"]), ("shutdown", 1, 1))

        # A link in the history file's place is reported, not written through.
        target = os.path.join(s.root, "elsewhere")
        os.rename(os.path.join(s.prog_dir, "history-av.dat"), target)
        os.symlink(target, os.path.join(s.prog_dir, "history-av.dat"))
        s.start()
        s.request(2, s.add_message(harness.mail_text("Hi", harness.eicar())))
        s.answer(2)
        self.assertEqual(s.quit(), 0)
        self.assertTrue(any(l.startswith("* unable to append to ") for l in s.lines()), s.lines())
        with open(target) as f:
            self.assertEqual(len(f.read().splitlines()), 1)


if __name__ == "__main__":
    unittest.main()
