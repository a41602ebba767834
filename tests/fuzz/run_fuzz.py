#!/usr/bin/python3
"""Runs one fuzz target as a test, for longer when the parser it covers
changed:

    run_fuzz.py --seconds S --changed-seconds C --source FUZZ.cpp -- TARGET ARGS...

The target runs -max_total_time=C when a file it covers differs from the
base, else S.  Every run starts from the seed corpus and what earlier runs
found, so a short run of an unchanged parser still replays every case that
ever mattered; the time goes where new cases can be.

Covered: the target's source, the headers it includes (through the shared
fuzz headers too), and the sources in each header's folder; for generated
protocol classes (NAME.pb.h) the schema NAME.proto.  The base:
TARNWICK_FUZZ_BASE when set; else on a branch, where it left main; else,
on main, the state before its last merge.  Without history (a copied
tree) nothing counts as changed."""

import argparse
import os
import re
import subprocess
import sys

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
FUZZ_DIR = os.path.join(REPO, "tests", "fuzz")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def git(*argv):
    done = subprocess.run(["git", "-C", REPO] + list(argv), capture_output=True, text=True)
    return done.stdout.strip() if done.returncode == 0 else None


def tree_files():
    listed = git("ls-files")
    return listed.splitlines() if listed else []


def resolve(name, source_dir, files):
    """The tree path (relative to the root) an include names, or None."""
    for base in (source_dir, REPO):
        path = os.path.normpath(os.path.join(base, name))
        if os.path.isfile(path):
            return os.path.relpath(path, REPO)
    if name.endswith(".pb.h"):
        name = name[:-len(".pb.h")] + ".proto"
    matches = [f for f in files if f == name or f.endswith("/" + name)]
    return matches[0] if len(matches) == 1 else None


def covered(source, files):
    """The files of the tree the target at source exercises."""
    seen, todo = set(), [os.path.relpath(os.path.abspath(source), REPO)]
    while todo:
        path = todo.pop()
        if path in seen:
            continue
        seen.add(path)
        if not path.endswith((".h", ".cpp")):
            continue
        with open(os.path.join(REPO, path), errors="replace") as f:
            names = INCLUDE.findall(f.read())
        for name in names:
            found = resolve(name, os.path.dirname(os.path.join(REPO, path)), files)
            if found is None:
                continue
            if os.path.abspath(os.path.join(REPO, found)).startswith(FUZZ_DIR + os.sep):
                todo.append(found)  # the shared fuzz headers: follow them
                continue
            seen.add(found)
            # The code behind a header: the sources of its folder (a
            # module's header is often shared by several of them).
            folder = os.path.dirname(found)
            seen.update(f for f in files if os.path.dirname(f) == folder and
                        f.endswith((".cpp", ".cc")))
    return seen


def base_commit():
    if os.environ.get("TARNWICK_FUZZ_BASE"):
        return git("rev-parse", "--verify", os.environ["TARNWICK_FUZZ_BASE"] + "^{commit}")
    head = git("rev-parse", "--verify", "HEAD")
    if head is None:
        return None
    fork = git("merge-base", "HEAD", "main")
    if fork and fork != head:
        return fork
    merge = git("rev-list", "--first-parent", "--merges", "-n", "1", "HEAD")
    return git("rev-parse", "--verify", merge + "^1") if merge else None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=int, required=True)
    ap.add_argument("--changed-seconds", type=int, required=True)
    ap.add_argument("--source", required=True)
    ap.add_argument("target", nargs=argparse.REMAINDER)
    args = ap.parse_args()
    target = args.target[1:] if args.target[:1] == ["--"] else args.target
    name = os.path.basename(target[0])

    base = base_commit()
    changed = []
    if base:
        files = tree_files()
        differ = set((git("diff", "--name-only", base, "--") or "").splitlines())
        changed = sorted(covered(args.source, files) & differ)
    seconds = args.changed_seconds if changed else args.seconds
    print("%s: %d s, %s" % (name, seconds,
                            "changed since %s: %s" % (base[:10], " ".join(changed)) if changed else
                            "unchanged since %s" % base[:10] if base else "no history to compare"),
          flush=True)
    os.execv(target[0], target[:1] + ["-max_total_time=%d" % seconds] + target[1:])


if __name__ == "__main__":
    sys.exit(main())
