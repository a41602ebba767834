"""docs/development.md against the tree: every unit of milter/ and
engines/ (a .cpp and .h pair, or a file alone) has a row in the source
tables, every row names a unit that is there, and the layout of the source
tree names every folder at the top and under common/ (a folder named
by the folders under it, as common/ is).  The reading is also
run on a small tree with a unit left out and a row for a unit that is gone,
which it must report."""

import os
import re
import tempfile
import unittest

SOURCE = os.environ.get("TARNWICK_SOURCE") or os.path.abspath(
    os.path.join(os.path.dirname(__file__), "..", ".."))
# Each room of units and the heading of its table.
TABLES = {"milter": "The milter host's source", "engines": "The engine daemons' source"}
UNIT_SUFFIXES = (".cpp", ".h")


def section(doc_text, heading):
    """The lines under "## heading" up to the next heading of that level."""
    lines = doc_text.splitlines()
    start = lines.index("## " + heading) + 1
    end = next((i for i in range(start, len(lines)) if lines[i].startswith("## ")), len(lines))
    return lines[start:end]


def table_units(lines):
    """The units the first column of a table's rows names in backticks,
    without their .cpp or .h."""
    named = set()
    for line in lines:
        if not line.startswith("|") or re.match(r"^\|[-| ]+\|$", line):
            continue
        first = line.strip("|").split("|")[0]
        for name in re.findall(r"`([^`]+)`", first):
            named.add(re.sub(r"\.(cpp|h)$", "", name))
    return named


def tree_units(root, room):
    """The units under root/room: the paths of its .cpp and .h files below
    room, without the suffix."""
    units = set()
    for top, dirs, files in os.walk(os.path.join(root, room)):
        dirs.sort()
        for name in files:
            stem, suffix = os.path.splitext(name)
            if suffix in UNIT_SUFFIXES:
                units.add(os.path.relpath(os.path.join(top, stem), os.path.join(root, room)))
    return units


def layout_folders(lines):
    """The folders the layout block names at the start of its lines
    ("    av/, as/         what ..."), without the trailing slash."""
    named = set()
    for line in lines:
        found = re.match(r"^    (\S.*?)(\s{2,}|$)", line)
        if found:
            named.update(name.strip().rstrip("/") for name in found.group(1).split(","))
    return named


def tree_folders(root):
    """The folders at the top of the tree (no hidden ones, no build trees)
    and those under common/."""
    def folders(path):
        return {name for name in os.listdir(path)
                if os.path.isdir(os.path.join(path, name)) and not name.startswith((".", "build"))}
    return folders(root) | {"common/" + name for name in folders(os.path.join(root, "common"))}


def faults(root):
    """Every disagreement between root's docs/development.md and its tree."""
    with open(os.path.join(root, "docs", "development.md"), encoding="utf-8") as f:
        doc = f.read()
    out = []
    for room, heading in TABLES.items():
        listed, present = table_units(section(doc, heading)), tree_units(root, room)
        out += ["%s/%s: no row in \"%s\"" % (room, unit, heading) for unit in sorted(present - listed)]
        out += ["\"%s\" names %s/%s, which is not there" % (heading, room, unit)
                for unit in sorted(listed - present)]
    named = layout_folders(section(doc, "Layout of the source tree"))
    named |= {folder.split("/")[0] for folder in named}
    out += ["%s/: not in the layout of the source tree" % folder
            for folder in sorted(tree_folders(root) - named)]
    return out


class SourceTableTest(unittest.TestCase):
    def test_tables_list_every_unit_and_only_those(self):
        self.assertEqual(faults(SOURCE), [])

    def test_a_missing_row_and_a_stale_row_are_reported(self):
        with tempfile.TemporaryDirectory(prefix="tw-units-") as root:
            files = {"milter/main.cpp": "", "milter/spool.cpp": "", "milter/spool.h": "",
                     "milter/fresh.h": "", "engines/kit/connect.cpp": "", "engines/kit/connect.h": "",
                     "common/base/text.h": "", "newroom/x.txt": "",
                     "docs/development.md":
                         "## The milter host's source\n\n| file | holds |\n|---|---|\n"
                         "| `main.cpp` | start |\n| `spool`, `gone` | queue |\n\n"
                         "## The engine daemons' source\n\n| file | holds |\n|---|---|\n"
                         "| `kit/connect` | connect |\n\n"
                         "## Layout of the source tree\n\n    common/base      base\n"
                         "    milter/, engines/  rooms\n    docs/            docs\n"}
            for path, text in files.items():
                os.makedirs(os.path.dirname(os.path.join(root, path)), exist_ok=True)
                with open(os.path.join(root, path), "w") as f:
                    f.write(text)
            os.mkdir(os.path.join(root, "build-asan"))
            self.assertEqual(faults(root), [
                "milter/fresh: no row in \"The milter host's source\"",
                "\"The milter host's source\" names milter/gone, which is not there",
                "newroom/: not in the layout of the source tree"])


if __name__ == "__main__":
    unittest.main()
