"""The layout of the product's sources: clang-format, with the tree's
.clang-format (its column limit 100), would change nothing in the C++ and
the schemas of common/, av/, as/, milter/, engines/, tools/ and proto/,
and no line there is wider than 100 columns.  Generated files are written
to the build tree and none of these folders holds third-party code, so
every such file is checked."""

import os
import re
import shutil
import subprocess
import unittest

SOURCE = os.environ.get("TARNWICK_SOURCE") or os.path.abspath(
    os.path.join(os.path.dirname(__file__), "..", ".."))
ROOMS = ("common", "av", "as", "milter", "engines", "tools", "proto")
SUFFIXES = (".cpp", ".h", ".proto")
COLUMNS = 100


def product_files():
    """The checked files, relative to the top of the tree, in order."""
    found = []
    for room in ROOMS:
        for top, dirs, files in os.walk(os.path.join(SOURCE, room)):
            dirs.sort()
            found += [os.path.relpath(os.path.join(top, name), SOURCE)
                      for name in sorted(files) if name.endswith(SUFFIXES)]
    return found


def clang_format(*args):
    return subprocess.run(["clang-format", "--style=file"] + list(args), cwd=SOURCE,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=300)


@unittest.skipUnless(shutil.which("clang-format"), "clang-format is not installed (make deps)")
class FormatTest(unittest.TestCase):
    maxDiff = None

    def test_the_style_in_force_has_100_columns(self):
        dumped = clang_format("--dump-config", "milter/main.cpp")
        self.assertEqual(dumped.returncode, 0, dumped.stderr)
        self.assertIn("ColumnLimit:     %d\n" % COLUMNS, dumped.stdout)

    def test_clang_format_changes_nothing(self):
        files = product_files()
        self.assertIn("milter/main.cpp", files)
        checked = clang_format("--dry-run", "-Werror", *files)
        unformatted = sorted(set(re.findall(r"^(\S+?):\d+:\d+: error:", checked.stderr, re.M)))
        self.assertEqual(unformatted, [], "%d of %d files not formatted (clang-format -i them)"
                         % (len(unformatted), len(files)))
        self.assertEqual(checked.returncode, 0, checked.stderr[-2000:])

    def test_no_line_wider_than_the_limit(self):
        wide = []
        for path in product_files():
            with open(os.path.join(SOURCE, path), encoding="utf-8") as f:
                wide += ["%s:%d" % (path, n) for n, line in enumerate(f, 1)
                         if len(line.rstrip("\n")) > COLUMNS]
        self.assertEqual(wide, [])


if __name__ == "__main__":
    unittest.main()
