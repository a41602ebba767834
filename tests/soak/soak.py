#!/usr/bin/python3
"""Soak run: 100,000 small messages through each filter against the instant
simulated engine.

Requests go out in windows (1,000 by default) and each window is answered
before the next is sent, so the pending list stays small and what the
resident memory does is the program's own doing.  The senders' sources and
recipients come from a fixed small set, so the counted lists stop growing
after the first window as well.

Checked: every request answered exactly once with a verdict of the expected
kind, nothing answered that was not asked, a normal exit after QUIT, and
VmRSS after the last window no more than --max-growth-kb above VmRSS after
the first window.  Printed: run time, rate and the memory figures.  Exit
status 0 when all holds.

Usage: soak.py [--bin DIR] [--count N] [--window N] [--program AV|AS|both]
(TARNWICK_BIN and TARNWICK_PY name the build and sim/ is on PYTHONPATH, as
for the end-to-end tests; `make soak` sets all three.)
"""

import argparse
import sys
import time

import harness

DISTINCT_FILES = 500


def vm_rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS for process %d" % pid)


def write_files(s, program):
    """DISTINCT_FILES queue files; every 50th anti-virus message carries the
    test virus.  Returns (path, expected answer word) per file."""
    files = []
    for n in range(DISTINCT_FILES):
        body = "soak message %d\n" % n
        infected = program == "Tarnwick-AV" and n % 50 == 0
        if infected:
            body += harness.eicar() + "\n"
        data = harness.queue_file(harness.mail_text("soak %d" % n, body), sender="s%d@example.org" % (n % 20),
                                  source="smtp%d [192.0.%d.9]" % (n % 10, n % 10),
                                  recipients=["r%d@example.net" % (n % 30)])
        path = s.add_file(data, "soak%04d.msg" % n)
        word = "ADDHEADER" if program == "Tarnwick-AS" else ("DISCARD" if infected else "OK")
        files.append((path, word))
    return files


class tally:
    """Counts the answers in the session's output as it grows."""

    def __init__(self, session, count):
        self.s = session
        self.seen = 0
        self.answers = [0] * (count + 1)
        self.stray = []
        self.wrong = []

    def update(self, expect):
        lines = self.s.lines(self.seen)
        self.seen += len(lines)
        for line in lines:
            if line.startswith("* "):
                continue
            token, _, rest = line.partition(" ")
            if not token.isdigit() or not 1 <= int(token) < len(self.answers):
                self.stray.append(line)
                continue
            n = int(token)
            self.answers[n] += 1
            if not rest.startswith(expect(n)) and len(self.wrong) < 10:
                self.wrong.append(line)

    def answered(self, first, last):
        return all(self.answers[n] >= 1 for n in range(first, last + 1))


def soak(program, bin_dir, count, window, timeout, max_growth_kb, out):
    mode = "Discard"
    with harness.FilterSession(program, bin_dir=bin_dir, mode=mode, settings=harness.quiet_settings(program)) as s:
        s.start()
        s.wait_for("* reader thread started")
        files = write_files(s, program)

        def expect(n):
            return files[n % DISTINCT_FILES][1]

        t = tally(s, count)
        samples = []  # (answered so far, VmRSS in kB)
        started = time.monotonic()
        for first in range(1, count + 1, window):
            last = min(first + window - 1, count)
            s.send("".join("%d FILE %s\n" % (n, files[n % DISTINCT_FILES][0]) for n in range(first, last + 1)))
            deadline = time.monotonic() + harness.scaled(timeout)
            while True:
                t.update(expect)
                if t.answered(first, last):
                    break
                if s.returncode is not None:
                    raise RuntimeError("%s exited with status %d after %d answers"
                                       % (program, s.returncode, sum(t.answers)))
                if time.monotonic() > deadline:
                    missing = [n for n in range(first, last + 1) if not t.answers[n]]
                    raise RuntimeError("no answer within %.0f s for %d requests, first %d"
                                       % (harness.scaled(timeout), len(missing), missing[0]))
                time.sleep(0.005)
            samples.append((last, vm_rss_kb(s.proc.pid)))
        elapsed = time.monotonic() - started
        code = s.quit(timeout=30)
        t.update(expect)

    once = sum(1 for n in range(1, count + 1) if t.answers[n] == 1)
    more = [n for n in range(1, count + 1) if t.answers[n] > 1]
    base = samples[0][1]
    final = samples[-1][1]
    peak = max(rss for _, rss in samples[1:]) if len(samples) > 1 else base
    out.write("%s: %d requests, %d answered exactly once, %d more than once, %d stray answers, "
              "%d of unexpected kind, exit status %d\n"
              % (program, count, once, len(more), len(t.stray), len(t.wrong), code))
    out.write("  run time %.1f s (%.0f messages/s)\n" % (elapsed, count / elapsed if elapsed else 0))
    out.write("  VmRSS after %d: %d kB; after %d: %d kB; peak after the first window: %d kB; growth %+d kB\n"
              % (samples[0][0], base, samples[-1][0], final, peak, final - base))
    checkpoints = [samples[i * (len(samples) - 1) // 4] for i in range(5)]
    out.write("  VmRSS along the run: %s\n" % ", ".join("%d: %d kB" % c for c in checkpoints))
    for line in (t.wrong + t.stray)[:10]:
        out.write("  unexpected: %s\n" % line)

    ok = (once == count and not more and not t.stray and not t.wrong and code == 0
          and final - base <= max_growth_kb)
    if final - base > max_growth_kb:
        out.write("  memory grew by more than %d kB after the first window\n" % max_growth_kb)
    out.write("  %s\n" % ("PASS" if ok else "FAIL"))
    return ok


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bin", default=None, help="directory of the programs and simulators")
    parser.add_argument("--count", type=int, default=100000)
    parser.add_argument("--window", type=int, default=1000, help="requests in flight at most")
    parser.add_argument("--program", choices=("AV", "AS", "both"), default="both")
    parser.add_argument("--timeout", type=float, default=60.0, help="seconds for one window to be answered")
    parser.add_argument("--max-growth-kb", type=int, default=4096,
                        help="allowed VmRSS growth from the first window to the last")
    args = parser.parse_args(argv)
    programs = {"AV": ["Tarnwick-AV"], "AS": ["Tarnwick-AS"], "both": ["Tarnwick-AV", "Tarnwick-AS"]}[args.program]
    ok = True
    for program in programs:
        try:
            ok &= soak(program, args.bin, args.count, args.window, args.timeout, args.max_growth_kb, sys.stdout)
        except (OSError, RuntimeError, TimeoutError) as e:
            sys.stdout.write("%s: FAIL: %s\n" % (program, e))
            ok = False
        sys.stdout.flush()
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
