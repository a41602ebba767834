"""tarnwick-stats: the textfile it writes parses as Prometheus text with the
figures of the statistics and history files, and it draws the picture of
the last 30 days from the sample history."""

import os
import random
import shutil
import subprocess
import sys
import types
import unittest

import harness

# The copy the build made (release filled in), as installed.
TOOL = os.path.join(os.path.abspath(harness.default_bin_dir()), "tarnwick-stats")
DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")

STATS_AV = b"""StatStart=1796774400; #Wed, 9 Dec 2026 00:00:00
StatEnd=1796813200; #Wed, 9 Dec 2026 10:46:40
MessagesTotal=40;
ScanTimeMin=2;
ScanTimeMax=30;
ScanTimeTotal=200;
Viruses={
"EICAR-Test-File"=3;
"Odd \\"name\\" \\\\ here"=1;
};
Sources={
"mx.example.org [192.0.2.10]"=4;
};
Targets={
"bob@example.net"=3;
"carol@example.net"=1;
};
"""

STATS_AS = b"""StatStart=1796601600;
StatEnd=1796640000;
MessagesTotal=6;
ScanTimeMin=10;
ScanTimeMax=50;
ScanTimeTotal=120;
Scores={
"0"=2;
"40"=1;
"95"=2;
"100"=1;
"150"=9;
};
Sources={};
Targets={};
"""


# As tarnwick-milter writes it, with a filter name that needs escaping, a
# family that is not the milter's and a line that does not read.
MILTER_FIGURES = """# HELP tarnwick_milter_messages_total Messages answered, by outcome and reason.
# TYPE tarnwick_milter_messages_total counter
tarnwick_milter_messages_total{outcome="accepted",reason="filters"} 40
tarnwick_milter_messages_total{outcome="held",reason="virus"} 3
# HELP tarnwick_milter_filter_answer_seconds Time from a message's submission to a filter's answer.
# TYPE tarnwick_milter_filter_answer_seconds histogram
tarnwick_milter_filter_answer_seconds_bucket{filter="Tarnwick-\\"AV\\"",le="0.005"} 2
tarnwick_milter_filter_answer_seconds_bucket{filter="Tarnwick-\\"AV\\"",le="+Inf"} 3
tarnwick_milter_filter_answer_seconds_sum{filter="Tarnwick-\\"AV\\""} 0.012
tarnwick_milter_filter_answer_seconds_count{filter="Tarnwick-\\"AV\\""} 3
# TYPE tarnwick_other gauge
tarnwick_other 1
tarnwick_milter_messages_total{outcome="held" 7
"""


def load_tool():
    """The tool as a module (its file has no .py ending)."""
    module = types.ModuleType("tarnwick_stats")
    with open(TOOL) as f:
        exec(compile(f.read(), TOOL, "exec"), module.__dict__)
    return module


def run_tool(*args, env=None):
    return subprocess.run([sys.executable, TOOL] + list(args), capture_output=True, text=True,
                          timeout=120, env=env)


def history_messages(path):
    total = 0
    with open(path) as f:
        for line in f:
            if not line.startswith("#"):
                total += int(line.split("messages=")[1].split()[0])
    return total


class StatsToolTest(unittest.TestCase):
    def setUp(self):
        self.dir = harness.scratch_directory("tw-stats-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        for name in ("history-av.dat", "history-as.dat"):
            shutil.copy(os.path.join(DATA, name), self.dir)
        self.av_history = history_messages(os.path.join(self.dir, "history-av.dat"))
        with open(os.path.join(self.dir, "history-av.dat"), "a") as f:
            # A shutdown report and, after a restart that took the figures
            # up again, the midnight report of the same period: counted once.
            f.write("2026-12-08 start=1796688000 end=1796700000 at=shutdown messages=7 infected=1\n")
            f.write("this line is not a history line\n")
            f.write("2026-12-08 start=1796688000 end=1796774400 at=midnight messages=9 infected=2\n")
            # A shutdown report of the period still running: the statistics
            # file holds its figures and more.
            f.write("2026-12-09 start=1796774400 end=1796780000 at=shutdown messages=30 infected=3\n")
        for name, data in (("statistics-av.dat", STATS_AV), ("statistics-as.dat", STATS_AS)):
            with open(os.path.join(self.dir, name), "wb") as f:
                f.write(data)
        self.prom = os.path.join(self.dir, "out", "tarnwick.prom")
        os.makedirs(os.path.dirname(self.prom))

    def families(self):
        from prometheus_client.parser import text_string_to_metric_families
        with open(self.prom) as f:
            return {fam.name: fam for fam in text_string_to_metric_families(f.read())}

    @staticmethod
    def value(fam, suffix="", **labels):
        for s in fam.samples:
            if s.name == fam.name + suffix and all(s.labels.get(k) == v for k, v in labels.items()):
                return s.value
        raise AssertionError("no sample %s%s %s" % (fam.name, suffix, labels))

    def test_textfile(self):
        r = run_tool("--dir", self.dir, "--textfile", self.prom)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("line 38 skipped", r.stderr)
        self.assertEqual(os.listdir(os.path.dirname(self.prom)), ["tarnwick.prom"])
        fams = self.families()
        # prometheus_client names counter families without their _total.
        msgs = fams["tarnwick_messages"]
        self.assertEqual(msgs.type, "counter")
        self.assertEqual(self.value(msgs, "_total", filter="av"), self.av_history + 9 + 40)
        self.assertEqual(self.value(fams["tarnwick_period_messages"], filter="as"), 6)
        self.assertEqual(self.value(fams["tarnwick_period_scan_seconds"], filter="av", stat="avg"),
                         0.005)
        names = fams["tarnwick_period_virus_name_findings"]
        self.assertEqual(self.value(names, virus='Odd "name" \\ here'), 1)
        self.assertEqual(self.value(fams["tarnwick_period_virus_findings"], filter="av"), 4)
        self.assertEqual(self.value(fams["tarnwick_period_targets"], filter="av"), 2)
        hist = fams["tarnwick_period_spam_score"]
        self.assertEqual(hist.type, "histogram")
        # Scores above 100 have no place on the 0-100 scale.
        self.assertEqual(self.value(hist, "_bucket", le="39"), 2)
        self.assertEqual(self.value(hist, "_bucket", le="99"), 5)
        self.assertEqual(self.value(hist, "_bucket", le="+Inf"), 6)
        self.assertEqual(self.value(hist, "_sum"), 330)

    def test_the_installations_directories_without_options(self):
        """Without --dir: every program directory of the installation that
        holds files (the Velmora server's, tarnwick-milter's), each series
        labelled with its directory."""
        tool = load_tool()
        velmora = os.path.join(self.dir, "velmora")
        tool.DEFAULT_DIRS = (velmora, self.dir)
        # A Postfix site: only the milter's directory is there.
        self.assertEqual(tool.main(["--textfile", self.prom]), 0)
        fams = self.families()
        msgs = fams["tarnwick_messages"]
        self.assertEqual(self.value(msgs, "_total", dir=self.dir, filter="av"),
                         self.av_history + 9 + 40)
        self.assertEqual({s.labels["dir"] for f in fams.values() for s in f.samples}, {self.dir})
        # Both: the same figures apart, each under its own directory.
        os.mkdir(velmora)
        with open(os.path.join(velmora, "statistics-as.dat"), "wb") as f:
            f.write(STATS_AS.replace(b"MessagesTotal=6;", b"MessagesTotal=5;"))
        self.assertEqual(tool.main(["--textfile", self.prom]), 0)
        fams = self.families()
        period = fams["tarnwick_period_messages"]
        self.assertEqual(self.value(period, dir=velmora, filter="as"), 5)
        self.assertEqual(self.value(period, dir=self.dir, filter="as"), 6)
        hist = fams["tarnwick_period_spam_score"]
        self.assertEqual(self.value(hist, "_count", dir=velmora), 6)
        self.assertEqual(self.value(hist, "_count", dir=self.dir), 6)

    def test_milter_figures_passed_on_and_drawn(self):
        """tarnwick-milter's own figures, from its program directory, go on
        under the directory's label; its messages by outcome are drawn."""
        with open(os.path.join(self.dir, "tarnwick-milter.prom"), "w") as f:
            f.write(MILTER_FIGURES)
        png = os.path.join(self.dir, "out", "with-milter.png")
        r = run_tool("--dir", self.dir, "--textfile", self.prom)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("tarnwick-milter.prom: 2 line(s) skipped (not a sample of a known family): "
                      "line 12, 13", r.stderr)
        fams = self.families()
        msgs = fams["tarnwick_milter_messages"]
        self.assertEqual(self.value(msgs, "_total", dir=self.dir, outcome="held", reason="virus"), 3)
        hist = fams["tarnwick_milter_filter_answer_seconds"]
        self.assertEqual(hist.type, "histogram")
        self.assertEqual(self.value(hist, "_bucket", dir=self.dir, filter='Tarnwick-"AV"', le="0.005"), 2)
        self.assertEqual(self.value(hist, "_sum", dir=self.dir, filter='Tarnwick-"AV"'), 0.012)
        self.assertNotIn("tarnwick_other", fams)
        # The filters' own series are all still there.
        self.assertIn("tarnwick_period_spam_score", fams)
        r = run_tool("--dir", self.dir, "--png", png, "--today", "2026-12-07")
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(png, "rb") as f:
            self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")

    def test_broken_statistics_keep_the_old_textfile(self):
        with open(self.prom, "w") as f:
            f.write("# previous\n")
        with open(os.path.join(self.dir, "statistics-as.dat"), "wb") as f:
            f.write(b'StatStart=1;\nScores={\n"0"=2\n')
        r = run_tool("--dir", self.dir, "--textfile", self.prom)
        self.assertEqual(r.returncode, 1)
        self.assertIn("statistics-as.dat: line", r.stderr)
        with open(self.prom) as f:
            self.assertEqual(f.read(), "# previous\n")
        self.assertEqual(os.listdir(os.path.dirname(self.prom)), ["tarnwick.prom"])

    def test_picture_of_the_last_30_days(self):
        png = os.path.join(self.dir, "out", "last30.png")
        r = run_tool("--dir", self.dir, "--png", png, "--today", "2026-12-07")
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(png, "rb") as f:
            data = f.read()
        self.assertEqual(data[:8], b"\x89PNG\r\n\x1a\n")
        self.assertGreater(len(data), 10000)

        # On a mail host without python3-matplotlib (only suggested) the
        # metrics are written all the same and the picture is skipped.
        stub = os.path.join(self.dir, "stub", "matplotlib")
        os.makedirs(stub)
        with open(os.path.join(stub, "__init__.py"), "w") as f:
            f.write("raise ImportError('not installed')\n")
        os.unlink(png)
        r = run_tool("--dir", self.dir, "--png", png, "--textfile", self.prom,
                     env=dict(os.environ, PYTHONPATH=os.path.dirname(stub)))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("tarnwick-stats: no picture: it needs matplotlib "
                      "(apt-get install python3-matplotlib)\n", r.stderr)
        self.assertTrue(os.path.exists(self.prom))
        self.assertFalse(os.path.exists(png))


    def test_planted_fifo_link_and_huge_file_are_skipped(self):
        """The program directories are written by every member of the group
        tarnwick: a FIFO, a link or a huge file there is skipped, saying so,
        and the rest is written (a FIFO would block the open for ever)."""
        os.mkfifo(os.path.join(self.dir, "tarnwick-milter.prom"))
        os.unlink(os.path.join(self.dir, "statistics-av.dat"))
        os.mkfifo(os.path.join(self.dir, "statistics-av.dat"))
        os.unlink(os.path.join(self.dir, "history-av.dat"))
        os.symlink(os.path.join(DATA, "history-av.dat"), os.path.join(self.dir, "history-av.dat"))
        with open(os.path.join(self.dir, "history-as.dat"), "ab") as f:
            f.truncate(load_tool().MAX_FILE_BYTES + 1)
        r = run_tool("--dir", self.dir, "--textfile", self.prom)
        self.assertEqual(r.returncode, 0, r.stderr)
        for name, why in (("tarnwick-milter.prom", "not a regular file"), ("statistics-av.dat", "not a regular file"),
                          ("history-av.dat", "a symbolic link"), ("history-as.dat", "larger than")):
            self.assertRegex(r.stderr, r"%s: %s[^\n]*; skipped" % (name, why))
        fams = self.families()
        self.assertEqual(self.value(fams["tarnwick_period_messages"], dir=self.dir, filter="as"), 6)
        self.assertNotIn("tarnwick_period_virus_findings", fams)

    def test_twenty_thousand_families_within_the_tools_bounds(self):
        """A figures file of 20,000 families, each with its sample: the
        first MAX_FIGURE_FAMILIES are taken and the run ends within the
        tool's own time limit (it would fail with "time limit" otherwise)."""
        tool = load_tool()
        with open(os.path.join(self.dir, "tarnwick-milter.prom"), "w") as f:
            for n in range(20000):
                f.write("# TYPE tarnwick_milter_f%d counter\ntarnwick_milter_f%d{x=\"%d\"} %d\n" % (n, n, n, n))
        r = run_tool("--dir", self.dir, "--textfile", self.prom, "--time-limit", "20")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("(more than %d families)" % tool.MAX_FIGURE_FAMILIES, r.stderr)
        taken = [name for name in self.families() if name.startswith("tarnwick_milter_f")]
        self.assertEqual(len(taken), tool.MAX_FIGURE_FAMILIES)
        # The limit itself ends a run that goes past it, writing nothing.
        with open(self.prom, "w") as f:
            f.write("# previous\n")
        r = run_tool("--dir", self.dir, "--textfile", self.prom, "--time-limit", "0.000001")
        self.assertEqual(r.returncode, 1)
        self.assertIn("time limit of 1e-06 s reached; nothing written", r.stderr)
        with open(self.prom) as f:
            self.assertEqual(f.read(), "# previous\n")

    def test_figures_that_would_make_the_textfile_invalid_are_skipped(self):
        with open(os.path.join(self.dir, "tarnwick-milter.prom"), "w") as f:
            f.write(MILTER_FIGURES.rsplit("# TYPE tarnwick_other", 1)[0] +
                    "# TYPE tarnwick_milter_odd gaugeish\n"
                    "tarnwick_milter_odd 1\n"
                    "# TYPE tarnwick_milter_level gauge\n"
                    "tarnwick_milter_level{filter=\"a\"} inf\n"
                    "tarnwick_milter_level{filter=\"b\"} NaN\n"
                    "tarnwick_milter_level{filter=\"c\",dir=\"/elsewhere\"} 5\n"
                    "tarnwick_milter_level{filter=\"d\",le=\"1\"} 5\n"
                    "tarnwick_milter_level{filter=\"e\",filter=\"f\"} 5\n"
                    "tarnwick_milter_level{filter=\"g\"} 7\n")
        r = run_tool("--dir", self.dir, "--textfile", self.prom)
        self.assertEqual(r.returncode, 0, r.stderr)
        for why in ("unknown type", "not a finite value", "a label of its own named dir, or one label twice",
                    "le outside a histogram's buckets, or a bucket without it"):
            self.assertIn("(%s)" % why, r.stderr)
        fams = self.families()  # the client's parser takes the whole file
        self.assertNotIn("tarnwick_milter_odd", fams)
        level = fams["tarnwick_milter_level"]
        self.assertEqual([(s.labels, s.value) for s in level.samples], [({"dir": self.dir, "filter": "g"}, 7)])
        with open(self.prom) as f:
            text = f.read()
        self.assertNotRegex(text, r"(?im) [+-]?(inf|nan)$")
        self.assertEqual(text.count("/elsewhere"), 0)

    def test_mangled_input_is_refused_cleanly(self):
        """Cut, flipped and spliced statistics and history text either
        parses or is refused with the tool's own error, never a crash."""
        tool = load_tool()
        rnd = random.Random(16)
        with open(os.path.join(DATA, "history-as.dat"), "rb") as f:
            history = f.read()[:3000]
        seeds = [STATS_AV, STATS_AS, b"a={b={c=(d,{e=f;},(g));};};", history]
        for _ in range(3000):
            data = bytearray(rnd.choice(seeds))
            for _ in range(rnd.randint(1, 6)):
                i = rnd.randrange(len(data) + 1)
                op = rnd.randrange(3)
                if op == 0:
                    data[i:i] = bytes([rnd.choice(b'{}();="\\#\n\x00\xff-:,9')])
                elif op == 1:
                    del data[i:i + rnd.randint(1, 8)]
                else:
                    data[i:i] = b"(" * rnd.randint(1, 60)
            try:
                tool.parse_settings_language(bytes(data))
            except tool.StatsError:
                pass
            for line in bytes(data).decode("utf-8", "replace").splitlines():
                try:
                    tool.parse_history_line(line)
                except (ValueError, IndexError):
                    pass


if __name__ == "__main__":
    unittest.main()
