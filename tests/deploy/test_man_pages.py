"""The manual pages that ship list the options the programs take: each
page made by the build (man/NAME.8.gz, pandoc's output) is read back, the
option names of its OPTIONS section are compared with those --help lists,
and no option is printed with a dash for its two hyphens.  Every program
also names the one release of project(VERSION)."""

import gzip
import os
import re
import subprocess
import unittest

import harness

import deploy_util as du

BIN_DIR = os.path.abspath(harness.default_bin_dir())
BUILD_DIR = os.environ.get("TARNWICK_BUILD", os.path.dirname(BIN_DIR))
# Every program with options of its own; tarnwick-stats is the configured
# script the build puts beside the others.
PROGRAMS = ("quillon-clamd", "quillon-spamd", "quillon-rspamd", "quillon-check", "tarnwick-milter", "tarnwick-check",
            "tarnwick-stats")
# "  -s, --socket SPEC", "      --x", "  --workers N": the rows of --help;
# the lines that continue a row's text are indented further.
HELP_ROW = re.compile(r"^  (?:(-\w), |    )?(--[a-z][a-z0-9-]*)", re.M)
# ".TP" then "\f[B]-s\f[R], \f[B]--socket\f[R] \f[I]SPEC\f[R]".
PAGE_TERM = re.compile(r"^\\f\[B\](-\w)\\f\[R\], \\f\[B\](--[a-z][a-z0-9-]*)|^\\f\[B\](--[a-z][a-z0-9-]*)")


def help_options(text):
    return {(short or "") + long for short, long in HELP_ROW.findall(text)}


def page_options(troff):
    # pandoc writes a hyphen as "-" or "\-" depending on its version.
    troff = troff.replace("\\-", "-")
    section = troff.split("\n.SH OPTIONS\n", 1)[1].split("\n.SH ", 1)[0]
    lines = section.splitlines()
    found = set()
    for before, term in zip(lines, lines[1:]):
        match = PAGE_TERM.match(term) if before == ".TP" else None
        if match:
            found.add((match.group(1) or "") + (match.group(2) or match.group(3)))
    return found


class ManualPageTest(unittest.TestCase):
    def test_pages_list_the_options_of_help(self):
        for name in PROGRAMS:
            with self.subTest(program=name):
                program = os.path.join(BIN_DIR, name)
                page = os.path.join(BUILD_DIR, "man", name + ".8.gz")
                if not os.access(program, os.X_OK):
                    self.skipTest("%s is not built here" % name)
                if not os.path.exists(page):
                    self.skipTest("no manual pages: pandoc is not installed")
                shown = subprocess.run([program, "--help"], capture_output=True, text=True,
                                       check=True).stdout
                with gzip.open(page, "rt") as f:
                    troff = f.read()
                listed = help_options(shown)
                self.assertIn("--version", {o[-9:] for o in listed}, shown)
                self.assertEqual(page_options(troff), listed)
                self.assertNotRegex(troff, r"\\\[(en|em)\]|[\u2013\u2014]")

    def test_one_release_everywhere(self):
        version = du.project_version()
        for name in PROGRAMS:
            program = os.path.join(BIN_DIR, name)
            if not os.access(program, os.X_OK):
                continue
            with self.subTest(program=name):
                out = subprocess.run([program, "--version"], capture_output=True, text=True).stdout
                self.assertRegex(out, r"^%s %s( |\n)" % (re.escape(name), re.escape(version)))


if __name__ == "__main__":
    unittest.main()
