"""The include graph of the tree against the floor table of
docs/development.md: every quoted #include resolves, every file belongs to
a room, every arrow between rooms is one the table lists, the table lists
only rooms of lower floors, and no files include each other in a circle.
The checker is also run on a small tree with an upward include and a circle
planted, which it must report."""

import os
import re
import tempfile
import unittest

SOURCE = os.environ.get("TARNWICK_SOURCE") or os.path.abspath(
    os.path.join(os.path.dirname(__file__), "..", ".."))
TOP_FOLDERS = ("common", "av", "as", "proto", "engines", "milter", "tools", "sim", "bench")
SUFFIXES = (".c", ".cc", ".cpp", ".h", ".hpp", ".h.in")
INCLUDE = re.compile(r'^[ \t]*#[ \t]*include[ \t]*"([^"]+)"', re.M)


def read_table(doc_text):
    """{room: (floor, [folder prefixes], {rooms it may include})} from the
    table whose header is | floor | room | folders | includes |."""
    rows = {}
    lines = doc_text.splitlines()
    start = next(i for i, line in enumerate(lines)
                 if re.match(r"^\|\s*floor\s*\|\s*room\s*\|\s*folders\s*\|\s*includes\s*\|", line))
    for line in lines[start + 2:]:
        if not line.startswith("|"):
            break
        floor, room, folders, includes = [cell.strip() for cell in line.strip("|").split("|")]
        prefixes = re.findall(r"`([^`]+)`", folders)
        allowed = set() if includes == "nothing of ours" else {
            name.strip() for name in includes.split(",")}
        rows[room] = (int(floor), prefixes, allowed)
    return rows


def room_of(path, table):
    best, best_len = None, -1
    for room, (_, prefixes, _) in table.items():
        for prefix in prefixes:
            if path.startswith(prefix) and len(prefix) > best_len:
                best, best_len = room, len(prefix)
    return best


def resolve(root, including, name):
    """The file of the tree an include names, or None."""
    here = os.path.dirname(including)
    for candidate in (os.path.normpath(os.path.join(here, name)), os.path.normpath(name)):
        if os.path.isfile(os.path.join(root, candidate)):
            return candidate
    if name.endswith(".pb.h"):
        schema = "proto/" + os.path.basename(name)[:-len(".pb.h")] + ".proto"
        if os.path.isfile(os.path.join(root, schema)):
            return schema
    for candidate in (os.path.normpath(os.path.join(here, name)) + ".in", name + ".in"):
        if os.path.isfile(os.path.join(root, candidate)):
            return candidate
    return None


def source_files(root):
    for top in TOP_FOLDERS:
        for folder, _, names in os.walk(os.path.join(root, top)):
            for name in sorted(names):
                if name.endswith(SUFFIXES):
                    yield os.path.relpath(os.path.join(folder, name), root)


def circles(graph):
    """Each circle of the file graph once, as a list of files."""
    found, state, stack = [], {}, []

    def visit(node):
        state[node] = 1
        stack.append(node)
        for nxt in sorted(graph.get(node, ())):
            if state.get(nxt) == 1:
                found.append(stack[stack.index(nxt):] + [nxt])
            elif nxt not in state:
                visit(nxt)
        stack.pop()
        state[node] = 2

    for node in sorted(graph):
        if node not in state:
            visit(node)
    return found


def problems(root, table):
    out = []
    for room, (floor, _, allowed) in sorted(table.items()):
        for other in sorted(allowed):
            if other not in table:
                out.append("the row of %s names an unknown room %s" % (room, other))
            elif table[other][0] >= floor:
                out.append("the row of %s (floor %d) lists %s of floor %d" % (
                    room, floor, other, table[other][0]))
    graph = {}
    for path in source_files(root):
        room = room_of(path, table)
        if room is None:
            out.append("%s belongs to no room" % path)
            continue
        with open(os.path.join(root, path), errors="replace") as f:
            text = f.read()
        for name in INCLUDE.findall(text):
            target = resolve(root, path, name)
            if target is None:
                out.append('%s: #include "%s" does not resolve' % (path, name))
                continue
            graph.setdefault(path, set()).add(target)
            other = room_of(target, table)
            if other is not None and other != room and other not in table[room][2]:
                out.append('%s (%s, floor %d) includes %s (%s, floor %d)' % (
                    path, room, table[room][0], target, other, table[other][0]))
    for circle in circles(graph):
        out.append("circle: " + " -> ".join(circle))
    return out


def floor_table():
    with open(os.path.join(SOURCE, "docs", "development.md")) as f:
        return read_table(f.read())


class Floors(unittest.TestCase):
    def test_the_tree_keeps_its_floors(self):
        table = floor_table()
        self.assertIn("base", table)
        self.assertEqual(problems(SOURCE, table), [])

    def test_an_upward_include_and_a_circle_are_found(self):
        table = floor_table()
        with tempfile.TemporaryDirectory() as root:
            def write(path, text):
                os.makedirs(os.path.dirname(os.path.join(root, path)), exist_ok=True)
                with open(os.path.join(root, path), "w") as f:
                    f.write(text)
            write("common/host/host.h", '#include "common/base/log.h"\n')
            write("common/base/log.h", '#include "common/host/host.h"\n')
            write("common/base/text.h", '#include "log.h"\n#include "quillon_se_api.pb.h"\n')
            write("proto/quillon_se_api.proto", "")
            found = problems(root, table)
        self.assertEqual(found, [
            "common/base/log.h (base, floor 0) includes common/host/host.h (host, floor 4)",
            "common/base/text.h (base, floor 0) includes proto/quillon_se_api.proto (proto, floor 0)",
            "circle: common/base/log.h -> common/host/host.h -> common/base/log.h",
        ])


if __name__ == "__main__":
    unittest.main()
