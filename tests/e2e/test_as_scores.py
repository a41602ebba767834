"""Score statistics of Tarnwick-AS, byte for byte: the "Scores" section of
the statistics file, the "Spam Scores" histogram of the daily report, and
the section taken up again by a start the same day.  A scripted engine
and a wall clock set by the test (libfaketime, UTC) make every figure
known."""

import unittest

import harness
from harness import date_text, utc_epoch

ase = harness.load_schema("ase")

# 12:00:00 on Saturday 14 March 2026.
NOON = utc_epoch(2026, 3, 14, 12, 0, 0)

SETTINGS = {
    "StatDumpInterval": "60",
    # No ExtraHeaders: exactly one empty line still ends the header.
    "DailyReport": {"Enabled": "Yes", "From": "tarnwick@example.com", "To": "postmaster@example.com",
                    "Subject": "Daily spam report ^1"},
    "EventsReports": {"Started": {"Enabled": "No"}, "Stopped": {"Enabled": "No"}},
}

# Rescaled score -> (an engine score that gives it, the answer's header text).
SCORES = {
    0: (-1000, "X-Junk-Score:   0 []\\eX-Quillon-Score:   0 []"),
    10: (-877, "X-Junk-Score:  10 [X]\\eX-Quillon-Score:  10 [X]"),
    39: (-523, "X-Junk-Score:  39 [X]\\eX-Quillon-Score:  39 [X]"),
    100: (400, "X-Junk-Score: 100 [XXXXXX]\\eX-Quillon-Score: 100 [XXXXXX]"
               "\\eX-Alert: possible spam!\\eX-Color: red"),
}


def stat_file(end, scores, normal=False):
    return ("StatStart=%d; #%s\n" % (NOON, date_text(NOON)) +
            "StatEnd=%d; #%s\n" % (end, date_text(end)) +
            "MessagesTotal=11;\nScanTimeMin=2000;\nScanTimeMax=2000;\nScanTimeTotal=22000;\n" +
            ("NormalShutdown=YES;\n" if normal else "") +
            "Scores={\n%s};\n" % "".join('"%d"=%d;\n' % item for item in scores) +
            'Sources={\n"mx.other [198.51.100.1]"=3;\n"relay.example"=2;\n"smtp [192.0.2.7]"=6;\n};\n'
            'Targets={\n"r@example.net"=11;\n};\n')


def report(end, uptime, warning, histogram):
    return ("Return-Path: <>\n"
            "From: tarnwick@example.com\n"
            "To: postmaster@example.com\n"
            "Subject: Daily spam report %s\n"
            "\n"
            "Velmora Quillon AntiSpam plugin activity report.\n\n"
            "Period start: %s\n"
            "Period end: %s\n\n"
            "Uptime: %s\n\n"
            "%s"
            "Spam Scores:\n\n"
            "Range   Messages\n"
            "%s"
            "-----------------\n"
            "              11 messages rated\n\n"
            "Scanning time:\n"
            "Min:   2.000 sec.\n"
            "Avg:   2.000 sec.\n"
            "Max:   2.000 sec.\n\n"
            "\n\nSpam Sources:\n\n"
            "      #       %%  Source\n"
            "      6  54.54%%  smtp [192.0.2.7]\n"
            "      3  27.27%%  mx.other [198.51.100.1]\n"
            "      2  18.18%%  relay.example\n"
            "-----------------\n"
            "     11 sources total\n\n"
            "\n\nSpam Targets:\n\n"
            "      #       %%  Target\n"
            "     11 100.00%%  r@example.net\n"
            "-----------------\n"
            "     11 targets total\n\n"
            "\n" % (date_text(NOON), date_text(NOON), date_text(end), uptime, warning, histogram))


@unittest.skipUnless(harness.FakeClock.available(), "libfaketime is not installed")
class ScoreStatisticsTest(unittest.TestCase):
    def test_score_section_histogram_and_restart(self):
        with harness.FilterSession("Tarnwick-AS", engine=None, settings=SETTINGS) as s:
            engine = s.scripted_engine(schema=ase)
            clock = s.fake_clock(NOON)
            s.start_with(engine)

            # 2 messages at score 0, 5 at 10, 1 at 39 and 3 at 100, each rated
            # two seconds after its request.
            plan = [0, 10, 100, 0, 10, 10, 39, 100, 10, 100, 10]
            sources = ["smtp [192.0.2.7]"] * 6 + ["mx.other [198.51.100.1]"] * 3 + ["relay.example"] * 2
            for n, source in enumerate(sources, start=1):
                s.request(n, s.add_message("Subject: s%d\n\ntext\n" % n, sender="a%d@example.org" % n,
                                           source=source, recipients=["r@example.net"]))
            requests = engine.recv_requests(len(plan))
            clock.advance(2)
            for req, value in zip(requests, plan):
                engine.send(harness.spam_rating(ase, req.serial, SCORES[value][0]))
            got = s.answers(range(1, len(plan) + 1))
            self.assertEqual(got, {str(n): ['%d ADDHEADER "%s"' % (n, SCORES[value][1])]
                                   for n, value in enumerate(plan, start=1)})
            # Once this reply is dropped, every earlier one is counted.
            engine.send(harness.spam_rating(ase, 999, 0))
            s.wait_for("* no pending request for serial 999, reply dropped")

            scores = [(0, 2), (10, 5), (39, 1), (100, 3)]
            clock.advance(61)
            s.send_line("100 INTF")
            s.answer(100)
            self.assertEqual(s.read_stat_file(), stat_file(clock.now, scores))

            # The shutdown report: the histogram over the built-in ranges.
            clock.set(NOON + 600)
            self.assertEqual(s.quit(), 0)
            self.assertEqual(s.read_stat_file(), stat_file(NOON + 600, scores, normal=True))
            daily = s.wait_submitted("Qln_AS_daily_")
            self.assertEqual(len(daily), 1, daily)
            histogram = ("    0          2\n"
                         " 1-39          6\n"
                         "40-76          0\n"
                         "77-84          0\n"
                         "85-90          0\n"
                         "91-99          0\n"
                         "  100          3\n")
            self.assertEqual(s.read_submitted(daily[0]), report(NOON + 600, "0d 00h 10m 00s", "", histogram))

            # A start later the same day sets the counters from the file; a
            # key outside 0..100 touches none.
            text = s.read_stat_file()
            with open(s.stat_file_path(), "w") as f:
                f.write(text.replace('Scores={\n', 'Scores={\n"150"=9;\n"7"=4;\n'))
            clock.set(NOON + 1200)
            s.write_settings(overrides=harness.merge(SETTINGS, {"BarScoreRanges": ["10", "50", "100"]}))
            s.start_with(engine)
            s.send_line("1 INTF")
            s.answer(1)
            self.assertEqual(s.read_stat_file(), stat_file(NOON + 1200, [(0, 2), (7, 4), (10, 5), (39, 1),
                                                                         (100, 3)]))
            # The shutdown report of the period begun in the earlier run, over
            # the ranges 10, 50, 100.
            clock.set(NOON + 1500)
            before = s.submitted_files("Qln_AS_daily_")
            self.assertEqual(s.quit(), 0)
            daily = s.wait_submitted("Qln_AS_daily_", exclude=before)
            histogram = (" 0-   10         11\n"
                         "11-50          1\n"
                         "51-100          3\n")
            warning = ("Warning: the daily statistics may be inaccurate because the plugin\n"
                       "was restarted during the reporting period.\n\n")
            self.assertEqual(s.read_submitted(daily[0]), report(NOON + 1500, "0d 00h 05m 00s", warning, histogram))


if __name__ == "__main__":
    unittest.main()
