#!/usr/bin/env python3
"""Draws the throughput of each program over its floor relay, round by
round, from one or more result files of bench/bench.py (for example the
commit before a change and the change itself, measured in one sitting).

    python3 bench/plot_rounds.py --out rounds.png before.json after.json
    python3 bench/plot_rounds.py --out rounds.png --label before --label after a.json b.json

Needs Debian's python3-matplotlib.  The per-round ratios show how noisy a
run was: a median over rounds is worth quoting only when they agree.
"""

import argparse
import json
import os
import sys

PROGRAMS = ("Tarnwick-AV", "Tarnwick-AS")


def ratios(path):
    """{program: [ratio per round]} of one result file."""
    with open(path) as f:
        summary = json.load(f).get("summary", {})
    return {p: [float(r) for r in summary.get(p, {}).get("throughput_ratios", [])] for p in PROGRAMS}


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("results", nargs="+", help="bench-results.json files")
    ap.add_argument("--label", action="append", help="a name per file (default: the file name)")
    ap.add_argument("--out", required=True, help="the PNG to write")
    args = ap.parse_args(argv)
    labels = args.label or [os.path.splitext(os.path.basename(p))[0] for p in args.results]
    if len(labels) != len(args.results):
        ap.error("give one --label per result file")

    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, len(PROGRAMS), figsize=(9, 3.4), sharey=True)
    for ax, program in zip(axes, PROGRAMS):
        for label, path in zip(labels, args.results):
            series = ratios(path)[program]
            if series:
                ax.plot(range(1, len(series) + 1), series, marker="o", label=label)
        ax.axhline(1.0, color="grey", linewidth=0.8)
        ax.axhline(0.85, color="tab:red", linewidth=0.8, linestyle="--", label="target 0.85")
        ax.set_title(program)
        ax.set_xlabel("round")
        ax.grid(alpha=0.3)
    axes[0].set_ylabel("throughput / floor relay")
    axes[-1].legend(loc="lower right", fontsize="small")
    fig.tight_layout()
    tmp = args.out + ".tmp"
    fig.savefig(tmp, format="png", dpi=90)
    os.replace(tmp, args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
