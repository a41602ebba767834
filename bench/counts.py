#!/usr/bin/python3
"""Instruction counts and system calls per message of both programs and
their floor relays: the figures docs/development.md quotes, which do not
move from run to run as timings do.

  instructions  callgrind's totals over runs of COUNT and 2*COUNT requests
                of 4 KiB at 256 outstanding; the difference divided by
                COUNT is what one message costs, start and stop left out
                (COUNT defaults to the number of distinct messages, so both
                runs count the same names), the statistics file's writing
                too (see instructions())
  system calls  strace -f -c over runs of COUNT and 2*COUNT requests; the
                difference divided by COUNT is what one message pays

The scratch server, queue files, settings and simulated engines (fixed
clean verdict) are those of bench.py.

Usage: counts.py --bin BUILD/bin [--count N] [--only PROGRAM]
(sim/ on PYTHONPATH, as for bench.py; needs valgrind and strace.)
"""

import argparse
import os
import re
import shutil
import sys
import tempfile

from bench import TEMPLATES, Bench

PROGRAMS = ("Tarnwick-AV", "Tarnwick-AS")


def instructions(bench, argv, count):
    valgrind = shutil.which("valgrind")
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        # The statistics file is written every 10 s of activity: some
        # 200,000 messages apart at full speed, but only a few thousand
        # under callgrind, which would charge each message seventy times its
        # share.  Its writing is left out (collection toggles off inside it;
        # --collect-atstart must follow --toggle-collect, which clears it).
        bench.run_load([valgrind, "-q", "--tool=callgrind", "--callgrind-out-file=" + out,
                        "--toggle-collect=statistics::DumpAt*", "--collect-atstart=yes"] + argv, 0, count)
        with open(out) as f:
            totals = re.search(r"^(?:summary|totals): (\d+)", f.read(), re.M)
    return int(totals.group(1))


def syscalls(bench, argv, count):
    """{name: calls} of one run under strace -f -c."""
    strace = shutil.which("strace")
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "strace.txt")
        bench.run_load([strace, "-f", "-c", "-o", out] + argv, 0, count)
        with open(out) as f:
            rows = re.findall(r"^\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(?:\d+\s+)?(\w+)\s*$", f.read(), re.M)
    return {name: int(calls) for calls, name in rows if name != "total"}


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--bin", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "bin"))
    ap.add_argument("--count", type=int, default=TEMPLATES)
    ap.add_argument("--only", choices=PROGRAMS)
    ap.add_argument("--kind", choices=("program", "floor"), help="the program or its floor only")
    ap.add_argument("--no-syscalls", action="store_true", help="instructions only (no strace)")
    ap.add_argument("--reused-files", action="store_true", help="as bench.py --reused-files")
    args = ap.parse_args()
    for tool in ("valgrind", "strace"):
        if not shutil.which(tool):
            sys.exit("counts: %s not installed" % tool)
    bench = Bench(argparse.Namespace(bin=args.bin, files=TEMPLATES, engine_content=False,
                                     python_driver=False, reused_files=args.reused_files))
    try:
        bench.prepare()
        bench.start_engines()
        for program in [args.only] if args.only else PROGRAMS:
            for kind in [args.kind] if args.kind else ("program", "floor"):
                argv = bench.command(kind, program)
                name = "%s %s" % (program, kind)
                once, twice = instructions(bench, argv, args.count), instructions(bench, argv, 2 * args.count)
                print("%-19s %.0f instructions per message" % (name, (twice - once) / args.count), flush=True)
                if args.no_syscalls:
                    continue
                once, twice = syscalls(bench, argv, args.count), syscalls(bench, argv, 2 * args.count)
                per = {n: (twice.get(n, 0) - once.get(n, 0)) / args.count for n in twice}
                print("%-19s per message: %s" % (name, ", ".join(
                    "%s %.2f" % (n, v) for n, v in sorted(per.items(), key=lambda x: -x[1]) if v >= 0.01)))
    finally:
        bench.cleanup()
    return 0


if __name__ == "__main__":
    sys.exit(main())
