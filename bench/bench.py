#!/usr/bin/python3
"""Benchmark of Tarnwick-AV and Tarnwick-AS against the floor of their work.

The floor relays (floor-relay-av, floor-relay-as) do only what every request
costs whatever the filter does: read the line, check the file, copy or read
the message, send the frame, take the reply, remove the copy, answer.  Each
program is measured against its floor in the same run, alternating, over
several rounds, and the medians are compared:

  throughput   messages per second with 256 requests outstanding
  latency      p50 and p99 of one request at a time
  memory       peak resident size (VmHWM) for one large message
  idle         CPU time an idle program uses in 10 seconds

The messages are shaped as the server writes them (envelope S, P and two R
lines, a header block of some 15 lines, 4 KiB), and every request gets a
fresh queue file, removed after its answer (bench-driver --fresh).
Scratch directories live on tmpfs (/dev/shm) where there is one: on a disk
the churn of temporary copies makes identical runs differ by up to 2x.
The simulated engines answer at once with a fixed clean verdict (the scan
engine still reads the file), so the figures are the relays' own.

Usage: bench.py --bin BUILD/bin [--rounds N] [--count N] [--latency N]
                [--json PATH] [--quick] [--python-driver] [--reused-files]
(sim/ on PYTHONPATH for the harness, as `make bench` sets it.)
"""

import argparse
import json
import os
import random
import selectors
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import harness
from percentile import percentile

WINDOW = 256
SMALL_FILES = 20000
TEMPLATES = 4096
BIG_AV = 100 * 1024 * 1024
BIG_AS = 32 * 1024 * 1024
IDLE_SECONDS = 10.0

TARGETS = {
    "throughput_ratio_min": 0.85,
    "p50_extra_us_max": 50.0,
    "av_peak_mib_max": 16.0,
    "as_peak_mib_max": 48.0,
    "idle_ms_per_10s_max": 10.0,
}


WORDS = ("the quarterly figures are attached and the meeting moves to thursday "
         "please review the draft before friday so that we can send it out on "
         "monday morning together with the minutes of the last call").split()


def log(text):
    print(text, file=sys.stderr, flush=True)


def cpu_ns(pid):
    """CPU time of all threads of pid in nanoseconds (schedstat), or None."""
    total = 0
    try:
        for task in os.listdir("/proc/%d/task" % pid):
            try:
                with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
                    total += int(f.read().split()[0])
            except (OSError, ValueError, IndexError):
                pass
    except OSError:
        return None
    return total


def cpu_ticks_ns(pid):
    """utime + stime from /proc/<pid>/stat, in nanoseconds (tick resolution)."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = int(fields[11]) + int(fields[12])
    return ticks * 1000000000 // os.sysconf("SC_CLK_TCK")


def status_kb(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return None


def load_average():
    try:
        with open("/proc/loadavg") as f:
            return [float(x) for x in f.read().split()[:3]]
    except OSError:
        return None


class Bench:
    def __init__(self, args):
        self.args = args
        self.bin = os.path.abspath(args.bin)
        shm = "/dev/shm"
        where = shm if os.path.isdir(shm) and os.access(shm, os.W_OK) else None
        self.root = tempfile.mkdtemp(prefix="tarnwick-bench-", dir=where)
        self.on_tmpfs = where is not None
        self.base = os.path.join(self.root, "base")
        self.engines = []
        self.rng = random.Random(7)

    # ---- scratch server -------------------------------------------------

    def exe(self, name):
        path = os.path.join(self.bin, name)
        if not os.access(path, os.X_OK):
            sys.exit("bench: %s not found; build first (make build)" % path)
        return path

    def prepare(self):
        os.makedirs(os.path.join(self.base, "queue"))
        os.makedirs(os.path.join(self.base, "Submitted"))
        # Senders listed nowhere: every message goes to the engine, but the
        # anti-spam program still walks its list for each one.
        with open(os.path.join(self.base, "whitelist.txt"), "w") as f:
            f.write("# trusted partners\n")
            for i in range(20):
                f.write("*@partner%d.example.net\n" % i)
        for i in range(self.args.files):
            self.write_queue_file(os.path.join(self.base, "queue", "m%05d" % i), 4096)
        self.progdirs = {}
        for program, sock in (("Tarnwick-AV", "se.sock"), ("Tarnwick-AS", "ase.sock")):
            d = os.path.join(self.root, program)
            os.makedirs(d)
            os.symlink(self.exe(program), os.path.join(d, program))
            # The tests' settings, quiet: no notifications or event reports
            # in the figures, the daily report at the end only.
            settings = harness.default_settings(program, os.path.join(self.root, sock),
                                                overrides=harness.quiet_settings(program))
            with open(os.path.join(d, program + ".cfg"), "wb") as f:
                f.write(harness.cfg_file(settings))
            self.progdirs[program] = d

    def envelope(self):
        """The envelope as the server writes it: the client ("S"), the
        envelope sender ("P") and two recipients ("R"), then the blank
        line.  Clients come from a few hundred networks, senders and
        recipients from a few thousand addresses, so the counted lists
        grow as a real day's do."""
        r = self.rng
        lines = ["S smtp [%d.%d.%d.%d]" % (r.choice((192, 198, 203)), r.randrange(256),
                                           r.randrange(4), r.randrange(1, 255)),
                 "P <user%d@sender%d.example.org>" % (r.randrange(50), r.randrange(100))]
        for _ in range(2):
            lines.append("R <user%d@example.com>" % r.randrange(2000))
        return ("\n".join(lines) + "\n\n").encode()

    def header_block(self, env):
        """A header block as mail arrives with it: two Received lines, the
        originator and recipient fields, MIME fields and a few more."""
        r = self.rng
        sender = env.split(b"<", 1)[1].split(b">")[0].decode()  # the P line's address
        rcpt = env.split(b"R <", 1)[1].split(b">")[0].decode()
        day = "Tue, %d Dec 2026 %02d:%02d:%02d +0000" % (r.randrange(1, 29), r.randrange(24),
                                                         r.randrange(60), r.randrange(60))
        qid = "%08X" % r.randrange(1 << 32)
        return ("Received: from mx%d.sender.example.org (mx%d.sender.example.org [198.51.100.%d])\n"
                "\tby mail.example.com (Velmora) with ESMTPS id %s\n\tfor <%s>; %s\n"
                "Received: from [10.0.%d.%d] (unknown [10.0.%d.%d])\n"
                "\tby mx.sender.example.org with ESMTPSA id %d; %s\n"
                "From: \"Sender %d\" <%s>\nTo: <%s>\nCc: <team%d@example.com>\n"
                "Subject: report %d for the quarter\nDate: %s\n"
                "Message-ID: <%d.%s@sender.example.org>\nMIME-Version: 1.0\n"
                "Content-Type: text/plain; charset=utf-8; format=flowed\n"
                "Content-Transfer-Encoding: 8bit\nUser-Agent: Mailer/%d.%d\n"
                "X-Originating-IP: [10.0.%d.%d]\n\n" %
                (r.randrange(9), r.randrange(9), r.randrange(1, 255), qid, rcpt, day,
                 r.randrange(256), r.randrange(256), r.randrange(256), r.randrange(256),
                 r.randrange(10**6), day, r.randrange(100), sender, rcpt, r.randrange(50),
                 r.randrange(10**6), day, r.randrange(10**9), qid, r.randrange(10), r.randrange(10),
                 r.randrange(256), r.randrange(256))).encode()

    def write_queue_file(self, path, total):
        r = self.rng
        env = self.envelope()
        head = self.header_block(env)
        body = []
        size = len(env) + len(head)
        while size < total:
            line = " ".join(r.choice(WORDS) for _ in range(11)) + "\n"
            body.append(line)
            size += len(line)
        data = env + head + "".join(body).encode()
        with open(path, "wb") as f:
            f.write(data[:total])

    def write_big(self, path, size):
        env = self.envelope()
        block = (b"A" * 75 + b"\n") * 13797  # about 1 MiB of plain text
        with open(path, "wb") as f:
            f.write(env + b"Subject: big\n\n")
            left = size - len(env) - 14
            while left > 0:
                f.write(block[:left])
                left -= len(block)

    def start_engines(self):
        for name, sock in (("sim-scan-engine", "se.sock"), ("sim-spam-engine", "ase.sock")):
            # A fixed verdict: the simulated spam engine's word search costs
            # more than the whole relay and would hide the relay's own cost.
            extra = [] if self.args.engine_content else ["--fixed", "clean"]
            engine = harness.EngineProcess(name, os.path.join(self.root, sock), self.bin, extra)
            self.engines.append(engine)
            try:
                engine.start(timeout=10)
            except (OSError, RuntimeError, TimeoutError) as e:
                sys.exit("bench: %s did not start: %s" % (name, e))

    def cleanup(self):
        for engine in self.engines:
            engine.stop()
        shutil.rmtree(self.root, ignore_errors=True)

    def command(self, kind, program):
        """argv of the program under test: a filter, or the floor relay."""
        if kind == "floor":
            floor = "floor-relay-av" if program == "Tarnwick-AV" else "floor-relay-as"
            sock = "se.sock" if program == "Tarnwick-AV" else "ase.sock"
            return [self.exe(floor), os.path.join(self.root, sock)]
        return [os.path.join(self.progdirs[program], program)]

    def reset_base(self):
        # Every run starts like a fresh server: no leftover reports, and no
        # statistics of an earlier run to take up (their names would make a
        # later run's start and its dumps dearer than the first's).
        sub = os.path.join(self.base, "Submitted")
        for n in os.listdir(sub):
            os.unlink(os.path.join(sub, n))
        for d in getattr(self, "progdirs", {}).values():
            for n in os.listdir(d):
                if n.startswith("statistics-") or n.startswith("history-"):
                    os.unlink(os.path.join(d, n))

    # ---- one load run ---------------------------------------------------

    def run_load(self, argv, latency, count):
        self.reset_base()
        if self.args.python_driver:
            return py_driver(self.base, "queue/m%05d", self.args.files, latency, count, WINDOW, argv)
        cmd = [self.exe("bench-driver"), "--dir", self.base, "--pattern", "queue/m%05d",
               "--files", str(self.args.files), "--latency", str(latency), "--count", str(count),
               "--window", str(WINDOW)] + ([] if self.args.reused_files else ["--fresh"]) + ["--"] + argv
        done = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
        if done.returncode != 0:
            sys.exit("bench: FAILED: bench-driver ended with status %d running %s: %s" %
                     (done.returncode, os.path.basename(argv[0]),
                      done.stderr.decode(errors="replace").strip()))
        fig = json.loads(done.stdout)
        lat = fig.pop("latency_us")
        fig.update(p50_us=percentile(lat, 0.5) if lat else 0.0, p99_us=percentile(lat, 0.99) if lat else 0.0)
        return fig

    # ---- single processes: memory and idle --------------------------------

    def start_proc(self, argv):
        p = subprocess.Popen(argv, cwd=self.base, stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)
        os.set_blocking(p.stdout.fileno(), False)
        p.pending = b""
        self.send(p, b"0 INTF 3\n")
        self.wait_line(p, lambda l: l == b"0 INTF 3 PROD=QLON", 20)
        return p

    @staticmethod
    def send(p, data):
        p.stdin.write(data)
        p.stdin.flush()

    @staticmethod
    def wait_line(p, match, timeout):
        sel = selectors.DefaultSelector()
        sel.register(p.stdout, selectors.EVENT_READ)
        deadline = time.time() + timeout
        try:
            while True:
                while b"\n" in p.pending:
                    line, p.pending = p.pending.split(b"\n", 1)
                    if match(line):
                        return line
                left = deadline - time.time()
                if left <= 0:
                    raise RuntimeError("no expected answer within %.0f s" % timeout)
                if sel.select(left):
                    chunk = p.stdout.read(65536)
                    if chunk == b"":
                        raise RuntimeError("program ended early")
                    if chunk:
                        p.pending += chunk
        finally:
            sel.close()

    def stop_proc(self, p):
        try:
            self.send(p, b"QUIT QUIT\n")
            p.stdin.close()
        except OSError:
            pass
        try:
            p.wait(15)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()

    def peak_memory(self, kind, program, size):
        name = "big-%s-%s" % (kind, program)
        path = os.path.join(self.base, "queue", name)
        self.write_big(path, size)
        p = self.start_proc(self.command(kind, program))
        try:
            start_kb = status_kb(p.pid, "VmHWM")
            t0 = time.time()
            self.send(p, b"1 FILE queue/%s\n" % name.encode())
            answer = self.wait_line(p, lambda l: l.startswith(b"1 "), 120)
            seconds = time.time() - t0
            peak_kb = status_kb(p.pid, "VmHWM")
        finally:
            self.stop_proc(p)
            os.unlink(path)
        return {"peak_kib": peak_kb, "start_kib": start_kb, "seconds": round(seconds, 3),
                "answer": answer.decode("latin-1")[:60]}

    def idle(self):
        procs = {}
        for program in ("Tarnwick-AV", "Tarnwick-AS"):
            for kind in ("program", "floor"):
                procs[(kind, program)] = self.start_proc(self.command(kind, program))
        time.sleep(1.0)  # let start-up work settle
        first = {k: (cpu_ns(p.pid), cpu_ticks_ns(p.pid)) for k, p in procs.items()}
        t0 = time.time()
        time.sleep(IDLE_SECONDS)
        wall = time.time() - t0
        result = {}
        for k, p in procs.items():
            ns1, ticks1 = cpu_ns(p.pid), cpu_ticks_ns(p.pid)
            ns0, ticks0 = first[k]
            scale = 10.0 / wall
            ms = (ns1 - ns0) / 1e6 * scale if ns0 is not None and ns1 is not None else None
            result["%s/%s" % k] = {"cpu_ms_per_10s": None if ms is None else round(ms, 3),
                                   "stat_ms_per_10s": round((ticks1 - ticks0) / 1e6 * scale, 1)}
            self.stop_proc(p)
        return result


# ---- a driver in Python, to show what the C++ driver saves ---------------

def py_driver(base, pattern, files, latency, count, window, argv):
    p = subprocess.Popen(argv, cwd=base, stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)
    out = p.stdout.fileno()
    buf = b""

    def lines():
        nonlocal buf
        while True:
            while b"\n" in buf:
                line, buf = buf.split(b"\n", 1)
                yield line
            chunk = os.read(out, 65536)
            if not chunk:
                raise RuntimeError("program ended early")
            buf += chunk

    reader = lines()
    p.stdin.write(b"0 INTF 3\n")
    for line in reader:
        if line == b"0 INTF 3 PROD=QLON":
            break
    req = lambda s: b"%d FILE %s\n" % (s, (pattern % (s % files)).encode())
    seq = 0
    lat = []
    for _ in range(latency):
        seq += 1
        want = b"%d " % seq
        t0 = time.perf_counter()
        p.stdin.write(req(seq))
        for line in reader:
            if line.startswith(want):
                break
        lat.append((time.perf_counter() - t0) * 1e6)
    sent = answered = 0
    t0 = time.perf_counter()
    first = []
    while sent < min(window, count):
        seq += 1
        sent += 1
        first.append(req(seq))
    p.stdin.write(b"".join(first))
    for line in reader:
        if line.startswith(b"* "):
            continue
        answered += 1
        if answered >= count:
            break
        if sent < count:
            seq += 1
            sent += 1
            p.stdin.write(req(seq))
    elapsed = time.perf_counter() - t0
    p.stdin.write(b"QUIT QUIT\n")
    p.stdin.close()
    code = p.wait(15)
    return {"p50_us": percentile(lat, 0.5) if lat else 0.0, "p99_us": percentile(lat, 0.99) if lat else 0.0,
            "msgs_per_s": count / elapsed, "seconds": elapsed,
            "cpu_us_per_msg_throughput": None, "answers": {}, "exit": code}


# ---- checks ----------------------------------------------------------------

def run_problems(fig, expected):
    """What makes one run's figures wrong, one line each (none: the run
    counts): answers other than the expected word (a program that answers
    FAILURE is fast for the wrong reason), more than one answer to a
    request, answers to numbers never sent, and the program's non-zero
    exit.  (A request left unanswered stops the driver at its deadline.)"""
    problems = []
    odd = {k: v for k, v in fig.get("answers", {}).items() if k != expected}
    if odd:
        problems.append("answered %s" % ", ".join("%s %d times" % kv for kv in sorted(odd.items())))
    if fig.get("duplicates"):
        problems.append("%d duplicate answer(s)" % fig["duplicates"])
    if fig.get("unsent"):
        problems.append("%d answer(s) to numbers never sent" % fig["unsent"])
    if fig.get("exit"):
        problems.append("exit status %d" % fig["exit"])
    return problems


# ---- report ----------------------------------------------------------------

def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--bin", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "bin"))
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--count", type=int, default=SMALL_FILES, help="requests per throughput run")
    ap.add_argument("--files", type=int, default=TEMPLATES,
                    help="distinct small messages (each request gets a fresh copy of one)")
    ap.add_argument("--reused-files", action="store_true",
                    help="name the same queue files again and again instead of a fresh file per request")
    ap.add_argument("--latency", type=int, default=3000, help="requests per latency run")
    ap.add_argument("--json", help="where to write the figures (default: BIN/../bench-results.json)")
    ap.add_argument("--quick", action="store_true", help="2 rounds, 5000 requests; no memory or idle")
    ap.add_argument("--only", choices=["Tarnwick-AV", "Tarnwick-AS"], help="one program only")
    ap.add_argument("--skip-memory", action="store_true")
    ap.add_argument("--skip-idle", action="store_true")
    ap.add_argument("--engine-content", action="store_true",
                    help="let the simulated engines look at the content instead of a fixed clean verdict")
    ap.add_argument("--python-driver", action="store_true",
                    help="drive with the Python loop instead of bench-driver (to compare the drivers)")
    args = ap.parse_args()
    if args.quick:
        args.rounds, args.count, args.latency = 2, 5000, 1000
        args.skip_memory = args.skip_idle = True
    if args.python_driver and not args.reused_files:
        log("bench: the Python driver names the template files themselves (--reused-files)")
        args.reused_files = True
    json_path = args.json or os.path.join(os.path.abspath(args.bin), "..", "bench-results.json")

    started = time.time()
    b = Bench(args)
    results = {"machine": {"cpus": os.cpu_count(), "uname": " ".join(os.uname()[2:5]),
                           "load_before": load_average(), "tmpfs": b.on_tmpfs},
               "settings": {"rounds": args.rounds, "count": args.count, "files": args.files,
                            "latency_requests": args.latency, "window": WINDOW,
                            "driver": "python" if args.python_driver else "bench-driver",
                            "queue_files": "reused" if args.reused_files else "fresh per request",
                            "engines": "content" if args.engine_content else "fixed clean verdict"},
               "runs": [], "targets": TARGETS}
    programs = [args.only] if args.only else ["Tarnwick-AV", "Tarnwick-AS"]
    try:
        log("bench: writing %d queue files under %s" % (args.files, "tmpfs" if b.on_tmpfs else "a temporary directory"))
        b.prepare()
        b.start_engines()
        for r in range(args.rounds):
            for program in programs:
                order = ("program", "floor") if r % 2 == 0 else ("floor", "program")
                for kind in order:
                    fig = b.run_load(b.command(kind, program), args.latency, args.count)
                    fig.update({"round": r, "program": program, "kind": kind})
                    problems = run_problems(fig, "OK" if program == "Tarnwick-AV" else "ADDHEADER")
                    if problems:
                        # Kept in the file, left out of every figure, and
                        # the benchmark fails.
                        fig["problems"] = problems
                        log("bench: ERROR: %s %s: %s; the run is not counted" %
                            (program, kind, "; ".join(problems)))
                    results["runs"].append(fig)
                    log("bench: round %d %-11s %-7s %8.0f msg/s  p50 %6.1f us  p99 %7.1f us" %
                        (r + 1, program, kind, fig["msgs_per_s"], fig["p50_us"], fig["p99_us"]))
        if not args.skip_memory:
            results["memory"] = {}
            for program, size in (("Tarnwick-AV", BIG_AV), ("Tarnwick-AS", BIG_AS)):
                if program not in programs:
                    continue
                for kind in ("program", "floor"):
                    m = b.peak_memory(kind, program, size)
                    m["message_mib"] = size // (1024 * 1024)
                    results["memory"]["%s/%s" % (kind, program)] = m
                    log("bench: peak memory %-7s %s, %d MiB message: %.1f MiB" %
                        (kind, program, size >> 20, m["peak_kib"] / 1024.0))
        if not args.skip_idle:
            log("bench: idle for %.0f s" % IDLE_SECONDS)
            results["idle"] = b.idle()
    finally:
        b.cleanup()
    results["machine"]["load_after"] = load_average()
    results["seconds"] = round(time.time() - started, 1)

    # Only runs that gave the expected answers count.
    counted = [x for x in results["runs"] if "problems" not in x]
    summary = {}
    for program in programs:
        s = {}
        for kind in ("program", "floor"):
            runs = [x for x in counted if x["program"] == program and x["kind"] == kind]
            s[kind] = {k: median([x.get(k) for x in runs])
                       for k in ("msgs_per_s", "p50_us", "p99_us", "cpu_us_per_msg_throughput",
                                 "cpu_us_per_msg_latency")}
        # Per-round ratios from neighbouring runs, then their median: the
        # load of the machine changes between rounds, less within one.
        ratios = []
        for r in range(args.rounds):
            pr = [x for x in counted if x["program"] == program and x["round"] == r]
            p = [x for x in pr if x["kind"] == "program"]
            f = [x for x in pr if x["kind"] == "floor"]
            if p and f and f[0]["msgs_per_s"]:
                ratios.append(p[0]["msgs_per_s"] / f[0]["msgs_per_s"])
        s["throughput_ratio"] = median(ratios)
        cpu = []
        for r in range(args.rounds):
            pr = [x for x in counted if x["program"] == program and x["round"] == r]
            p = [x.get("cpu_us_per_msg_throughput") for x in pr if x["kind"] == "program"]
            f = [x.get("cpu_us_per_msg_throughput") for x in pr if x["kind"] == "floor"]
            if p and f and p[0] and f[0]:
                cpu.append(p[0] / f[0])
        # CPU time per message varies less with the machine's load than
        # messages per second do: a second view of the same gap.
        s["cpu_ratio"] = median(cpu)
        s["throughput_ratios"] = [round(x, 3) for x in ratios]
        s["p50_extra_us"] = (s["program"]["p50_us"] - s["floor"]["p50_us"]
                             if s["program"]["p50_us"] is not None else None)
        summary[program] = s
    results["summary"] = summary

    with open(json_path, "w") as f:
        json.dump(results, f, indent=1)

    print_table(results, programs)
    print("figures written to %s" % os.path.normpath(json_path))
    wrong = len(results["runs"]) - len(counted)
    if wrong:
        print("bench: FAILED: %d run(s) with wrong answers or a failed program, not counted" % wrong)
        return 1
    return 0


def fmt(v, pattern):
    return "-" if v is None else format(v, pattern)


def print_table(results, programs):
    m = results["machine"]
    print()
    print("Tarnwick benchmark: %d round(s) of %d requests (%d outstanding), latency over %d requests" %
          (results["settings"]["rounds"], results["settings"]["count"], WINDOW,
           results["settings"]["latency_requests"]))
    print("machine: %s CPUs, %s; load before %s, after %s; scratch on %s; %.0f s" %
          (m["cpus"], m["uname"], m["load_before"], m["load_after"], "tmpfs" if m["tmpfs"] else "disk",
           results["seconds"]))
    print()
    print("%-12s %-8s %10s %9s %9s %12s" % ("program", "run", "msg/s", "p50 us", "p99 us", "CPU us/msg"))
    print("%-12s %-8s %10s %9s %9s %12s" % ("", "", "(256 out)", "(1 out)", "(1 out)", "(256 out)"))
    for program in programs:
        s = results["summary"][program]
        for kind in ("program", "floor"):
            x = s[kind]
            print("%-12s %-8s %10s %9s %9s %12s" % (program, kind, fmt(x["msgs_per_s"], ".0f"),
                                                   fmt(x["p50_us"], ".1f"), fmt(x["p99_us"], ".1f"),
                                                   fmt(x["cpu_us_per_msg_throughput"], ".1f")))
        print("%-12s %-8s %10s %9s %9s %12s" % ("", "ratio", fmt(s["throughput_ratio"], ".3f"), "", "",
                                               fmt(s["cpu_ratio"], ".3f")))
    print()
    t = TARGETS
    rows = []
    for program in programs:
        s = results["summary"][program]
        ratio = s["throughput_ratio"]
        rows.append(("%s throughput / floor" % program, fmt(ratio, ".3f"), ">= %.2f" % t["throughput_ratio_min"],
                     ratio is not None and ratio >= t["throughput_ratio_min"]))
        extra = s["p50_extra_us"]
        rows.append(("%s p50 - floor p50" % program, fmt(extra, "+.1f") + " us",
                     "<= %.0f us" % t["p50_extra_us_max"], extra is not None and extra <= t["p50_extra_us_max"]))
    mem = results.get("memory", {})
    for program, limit, size in (("Tarnwick-AV", t["av_peak_mib_max"], "100"), ("Tarnwick-AS", t["as_peak_mib_max"], "32")):
        x = mem.get("program/" + program)
        f = mem.get("floor/" + program)
        if x:
            mib = x["peak_kib"] / 1024.0
            rows.append(("%s peak, %s MiB msg" % (program, size),
                         "%.1f MiB (floor %.1f)" % (mib, f["peak_kib"] / 1024.0 if f else float("nan")),
                         "< %.0f MiB" % limit, mib < limit))
    for program in programs:
        x = results.get("idle", {}).get("program/" + program)
        if x:
            ms = x["cpu_ms_per_10s"] if x["cpu_ms_per_10s"] is not None else x["stat_ms_per_10s"]
            rows.append(("%s idle CPU per 10 s" % program, "%.2f ms" % ms,
                         "< %.0f ms" % t["idle_ms_per_10s_max"], ms < t["idle_ms_per_10s_max"]))
    print("%-34s %-26s %-11s %s" % ("figure", "measured", "target", ""))
    for name, value, target, ok in rows:
        print("%-34s %-26s %-11s %s" % (name, value, target, "ok" if ok else "MISSED"))
    print()


if __name__ == "__main__":
    sys.exit(main())
