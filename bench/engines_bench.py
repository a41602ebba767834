#!/usr/bin/python3
"""Side-by-side benchmark of the engine daemons against their peers.

Scan engine: quillon-clamd and ClamAV's own clamd (package clamav-daemon),
each started here on its own socket and settings in a scratch directory, on
the same database directory, with the same limits and 4 worker threads.
Each round writes a fresh corpus of mixed messages (plain text, base64
attachments, zip archives, forwarded mail, a few infected), so that neither
daemon answers from its cache of files already seen, and has it scanned by
both daemons in turn (who goes first alternates), 4 scans at once, each
client waiting for its answer before it sends the next request:

  clamd          one IDSESSION per client, zSCAN per message (what a milter
                 on clamd does, without a connection per message)
  quillon-clamd  one connection per client, SCAN_FILE_REQUEST frames (what
                 Tarnwick-AV sends)
  pool           the same frames to a quillon-clamd that hands each scan to
                 a second clamd of the same settings (--clamd, INSTREAM)

Each round also has ClamAV's own test files (package clamav-testfiles:
clam.exe in archive, packer and installer formats) and two 18 MiB archives
holding them scanned, as files and as mail attachments, on a database
that adds their MD5 hashes (.hdb) to the test database.

Anti-spam engine: quillon-spamd and spamc, both talking to one spamd of
their own (4 children): spamc started once per message as a mail filter
starts it, quillon-spamd reached over its socket.  This measures the cost
each adds on top of spamd.

Reported for each daemon: messages per second (median over rounds), p50
and p99 of the time for one message, CPU time of the daemon per message,
peak resident memory (VmHWM), and the ratio of quillon to peer.

Also reported: the daemon's resident memory at start (before the first
scan), and the client's own CPU time per message (this script's; requests
are encoded before the clock starts).  On a machine shared with other
work the rounds differ by 20 % and more: compare the medians, and run it
on an otherwise idle machine for figures to quote.

Usage: engines_bench.py --bin BUILD/bin --py BUILD/python [--rounds N]
                        [--count N] [--spam-count N] [--json PATH]
sim/ on PYTHONPATH (make bench-engines sets it) for the harness's messages.
Environment: BENCH_CLIENTS (scans at once, 4), BENCH_WORKERS (quillon-clamd's
--workers, as many as the clients).
"""

import argparse
import hashlib
import io
import json
import os
import random
import shutil
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zipfile

import harness
from percentile import percentile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..")
EICAR = harness.eicar().encode()

CLIENTS = int(os.environ.get("BENCH_CLIENTS", "4"))
TICK = os.sysconf("SC_CLK_TCK")


def log(text):
    print(text, file=sys.stderr, flush=True)


# -- corpus -----------------------------------------------------------------

WORDS = ("the quarterly figures meeting invoice attached please find report tomorrow "
         "project schedule budget review customer order delivery thanks regards").split()


def prose(rng, size):
    out = []
    n = 0
    while n < size:
        line = " ".join(rng.choice(WORDS) for _ in range(12)) + "\r\n"
        out.append(line)
        n += len(line)
    return "".join(out).encode()


def message(rng, index, nonce):
    """One message of the mix; its kind comes from its index."""
    kind = index % 50
    tag = ("%s-%d" % (nonce, index)).encode()
    body = b"Reference " + tag + b"\r\n" + prose(rng, rng.randint(500, 20000))
    if kind == 0:  # infected: the test virus in an attachment
        return "infected", harness.mime_message(EICAR, name="invoice.com", body=body)
    if kind < 20:
        return "plain", harness.plain_message(body, subject="note " + tag.decode())
    if kind < 35:
        blob = tag + rng.randbytes(rng.randint(2000, 150000))
        return "attachment", harness.mime_message(blob, name="data.bin", body=body)
    if kind < 45:
        files = {"report-%d.txt" % i: prose(rng, rng.randint(1000, 40000)) for i in range(rng.randint(1, 4))}
        out = io.BytesIO()
        with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as archive:
            for name, data in files.items():
                archive.writestr(name, tag + data)
        return "zip", harness.mime_message(out.getvalue(), name="reports.zip", body=body)
    inner = harness.mime_message(prose(rng, rng.randint(1000, 30000)), name="notes.txt", body=body)
    return "forwarded", (b"From: carol@example.org\r\nTo: bob@example.org\r\nSubject: Fwd: " + tag
                         + b"\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"f0\"\r\n\r\n"
                         b"--f0\r\nContent-Type: text/plain\r\n\r\nForwarded.\r\n"
                         b"--f0\r\nContent-Type: message/rfc822\r\n\r\n" + inner + b"\r\n--f0--\r\n")


def write_corpus(directory, count, nonce, seed):
    rng = random.Random(seed)
    os.makedirs(directory, exist_ok=True)
    paths, kinds, total = [], {}, 0
    for i in range(count):
        kind, data = message(rng, i, nonce)
        path = os.path.join(directory, "m%05d.eml" % i)
        with open(path, "wb") as f:
            f.write(data)
        paths.append(path)
        kinds[kind] = kinds.get(kind, 0) + 1
        total += len(data)
    return paths, kinds, total


TESTFILES = "/usr/share/clamav-testfiles"


def write_testfiles_corpus(directory, seed=1):
    """ClamAV's own test files (clam.exe in archive, packer and installer
    formats), two large archives holding them among incompressible data,
    each as a file and as a mail attachment; returns the paths and the
    .hdb lines (md5:size:name) of every object a scan must find."""
    rng = random.Random(seed)
    os.makedirs(directory, exist_ok=True)
    objects = {}
    for name in sorted(os.listdir(TESTFILES)):
        path = os.path.join(TESTFILES, name)
        if os.path.isfile(path) and os.path.getsize(path) > 0:
            with open(path, "rb") as f:
                objects[name] = f.read()
    large = {}
    for index, members in enumerate((sorted(objects)[:8], sorted(objects)[8:])):
        out = io.BytesIO()
        with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED) as archive:
            for i in range(6):
                archive.writestr("padding-%d.bin" % i, rng.randbytes(3 << 20))
            for name in members:
                archive.writestr("inner/" + name, objects[name])
        large["large-%d.zip" % index] = out.getvalue()
    objects.update(large)
    paths, hdb = [], []
    for name, data in sorted(objects.items()):
        hdb.append("%s:%d:Tarnwick.Bench.%s" % (hashlib.md5(data).hexdigest(), len(data),
                                                name.replace(".", "_")))
        for form, content in (("file", data),
                              ("eml", harness.mime_message(data, name=name, body=b"See attached.\r\n"))):
            path = os.path.join(directory, "%s.%s" % (name, form))
            with open(path, "wb") as f:
                f.write(content)
            paths.append(path)
    return paths, hdb


# -- process figures ----------------------------------------------------------

def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def peak_kib(pid, key="VmHWM:"):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key):
                return int(line.split()[1])
    return 0


def wait_socket(path, proc, what, timeout=120):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise RuntimeError("%s exited with status %d" % (what, proc.returncode))
        try:
            with socket.socket(socket.AF_UNIX) as s:
                s.connect(path)
                return
        except OSError:
            time.sleep(0.05)
    raise TimeoutError("%s did not listen on %s" % (what, path))


def stop(proc):
    if proc and proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


# -- clients ------------------------------------------------------------------

def recv_exact(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise ConnectionError("connection closed")
        data += chunk
    return data


class ClamdClient:
    """One IDSESSION on clamd's socket."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX)
        self.sock.connect(path)
        self.sock.sendall(b"zIDSESSION\0")
        self.buffer = b""

    @staticmethod
    def request(path):
        return b"zSCAN " + path.encode() + b"\0"

    def scan(self, request):
        self.sock.sendall(request)
        while b"\0" not in self.buffer:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise ConnectionError("clamd closed the session")
            self.buffer += chunk
        reply, self.buffer = self.buffer.split(b"\0", 1)
        if reply.endswith(b" ERROR"):
            raise RuntimeError("clamd: " + reply.decode(errors="replace"))
        return reply.endswith(b" FOUND")

    def close(self):
        try:
            self.sock.sendall(b"zEND\0")
        except OSError:
            pass
        self.sock.close()


class QuillonClamdClient:
    def __init__(self, path, se):
        self.se = se
        self.sock = socket.socket(socket.AF_UNIX)
        self.sock.connect(path)

    @staticmethod
    def request(se, serial, path):
        request = se.ClientMessage()
        request.tag = se.ClientMessage.SCAN_FILE_REQUEST
        request.serial = serial
        request.scan_file_request.path = path
        body = request.SerializeToString()
        return struct.pack("<I", len(body)) + body

    def scan(self, request):
        self.sock.sendall(request)
        length, = struct.unpack("<I", recv_exact(self.sock, 4))
        reply = self.se.ServerMessage()
        reply.ParseFromString(recv_exact(self.sock, length))
        if reply.scan_report.HasField("error"):
            raise RuntimeError("quillon-clamd: %s error %d" % (reply.scan_report.object,
                                                                reply.scan_report.error))
        return len(reply.scan_report.virus) > 0

    def close(self):
        self.sock.close()


def drive(make_client, items, work):
    """Runs work(client, item) over items from CLIENTS threads; returns the
    wall time, the per-item latencies and the results."""
    lock = threading.Lock()
    queue = list(enumerate(items))
    latencies = [0.0] * len(items)
    results = [None] * len(items)
    failures = []

    def worker():
        client = make_client()
        try:
            while True:
                with lock:
                    if not queue or failures:
                        return
                    index, item = queue.pop()
                started = time.perf_counter()
                results[index] = work(client, item)
                latencies[index] = time.perf_counter() - started
        except Exception as e:  # reported below, not lost in a thread
            failures.append(e)
        finally:
            client.close()

    threads = [threading.Thread(target=worker) for _ in range(CLIENTS)]
    own = os.times()
    started = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if failures:
        raise failures[0]
    wall = time.perf_counter() - started
    drive.client_cpu = os.times().user + os.times().system - own.user - own.system
    return wall, latencies, results


def figures(runs, count):
    """Median figures over rounds of (wall, latencies, cpu, client cpu) for
    count items."""
    return {
        "client_cpu_ms_per_message": statistics.median(client / count for _, _, _, client in runs) * 1000,
        "per_second": statistics.median(count / wall for wall, _, _, _ in runs),
        "p50_ms": statistics.median(percentile(lat, 0.5) for _, lat, _, _ in runs) * 1000,
        "p99_ms": statistics.median(percentile(lat, 0.99) for _, lat, _, _ in runs) * 1000,
        "cpu_ms_per_message": statistics.median(cpu / count for _, _, cpu, _ in runs) * 1000,
    }


# -- scan engines ---------------------------------------------------------------

CLAMD_CONF = """\
LocalSocket {dir}/clamd.sock
LocalSocketMode 600
Foreground yes
LogFile {dir}/clamd.log
LogTime yes
PidFile {dir}/clamd.pid
TemporaryDirectory {dir}/tmp
DatabaseDirectory {db}
MaxThreads {workers}
SelfCheck 0
ScanMail yes
ScanArchive yes
AlertExceedsMax yes
AlertEncrypted yes
HeuristicAlerts yes
MaxScanSize 400M
MaxFileSize 400M
MaxRecursion 17
MaxFiles 10000
MaxScanTime 120000
StreamMaxLength 400M
"""


def scan_bench(args, scratch, se):
    db = os.path.join(scratch, "db")
    shutil.copytree(os.path.join(ROOT, "engines", "testdb"), db)
    testfiles, hdb = write_testfiles_corpus(os.path.join(scratch, "testfiles"))
    with open(os.path.join(db, "testfiles.hdb"), "w") as f:
        f.write("\n".join(hdb) + "\n")
    clamd_dir = os.path.join(scratch, "clamd")
    os.makedirs(os.path.join(clamd_dir, "tmp"))
    conf = os.path.join(clamd_dir, "clamd.conf")
    with open(conf, "w") as f:
        f.write(CLAMD_CONF.format(dir=clamd_dir, db=db, workers=CLIENTS))
    clamd_bin = shutil.which("clamd") or "/usr/sbin/clamd"
    quillon_sock = os.path.join(scratch, "quillon-clamd.sock")
    pool_sock = os.path.join(scratch, "quillon-pool.sock")
    quillon_tmp = os.path.join(scratch, "quillon-tmp")
    os.makedirs(quillon_tmp)
    env = dict(os.environ, TMPDIR=quillon_tmp)
    with open(os.path.join(scratch, "quillon-clamd.log"), "wb") as qlog, \
            open(os.path.join(clamd_dir, "stderr.log"), "wb") as clog:
        clamd = subprocess.Popen([clamd_bin, "--config-file=" + conf, "--foreground"],
                                 stdout=clog, stderr=subprocess.STDOUT)
        quillon = subprocess.Popen([os.path.join(args.bin, "quillon-clamd"), "--socket", quillon_sock,
                                    "--db", db, "--workers", os.environ.get("BENCH_WORKERS", str(CLIENTS)), "--self-check", "0"],
                                   stdout=qlog, stderr=subprocess.STDOUT, env=env)
    pool = member = None
    try:
        wait_socket(os.path.join(clamd_dir, "clamd.sock"), clamd, "clamd")
        wait_socket(quillon_sock, quillon, "quillon-clamd")
        # A clamd of the same settings behind quillon-clamd's pool: what
        # INSTREAM adds.  A second one, so that neither answers from the
        # other's cache of clean files.
        member_dir = os.path.join(scratch, "member")
        os.makedirs(os.path.join(member_dir, "tmp"))
        member_conf = os.path.join(member_dir, "clamd.conf")
        with open(member_conf, "w") as f:
            f.write(CLAMD_CONF.format(dir=member_dir, db=db, workers=CLIENTS))
        with open(os.path.join(member_dir, "stderr.log"), "wb") as mlog:
            member = subprocess.Popen([clamd_bin, "--config-file=" + member_conf, "--foreground"],
                                      stdout=mlog, stderr=subprocess.STDOUT)
        wait_socket(os.path.join(member_dir, "clamd.sock"), member, "clamd (pool member)")
        with open(os.path.join(scratch, "quillon-pool.log"), "wb") as plog:
            pool = subprocess.Popen([os.path.join(args.bin, "quillon-clamd"), "--socket", pool_sock,
                                     "--clamd", "unix:" + os.path.join(member_dir, "clamd.sock"),
                                     "--workers", os.environ.get("BENCH_WORKERS", str(CLIENTS))],
                                    stdout=plog, stderr=subprocess.STDOUT, env=env)
        wait_socket(pool_sock, pool, "quillon-clamd (pool)")
        daemons = {
            "clamd": (clamd, lambda: ClamdClient(os.path.join(clamd_dir, "clamd.sock")),
                      ClamdClient.request),
            "quillon-clamd": (quillon, lambda: QuillonClamdClient(quillon_sock, se),
                              lambda path: QuillonClamdClient.request(se, 1, path)),
            "pool": (pool, lambda: QuillonClamdClient(pool_sock, se),
                     lambda path: QuillonClamdClient.request(se, 1, path)),
        }
        runs = {name: [] for name in daemons}
        test_runs = {name: [] for name in daemons}
        at_start = {name: peak_kib(proc.pid, "VmRSS:") / 1024.0 for name, (proc, _, _) in daemons.items()}
        corpus_info = None
        for round_no in range(args.rounds):
            corpus = os.path.join(scratch, "corpus-%d" % round_no)
            paths, kinds, total = write_corpus(corpus, args.count, "r%d" % round_no, round_no)
            corpus_info = (kinds, total)
            order = list(daemons) if round_no % 2 == 0 else list(reversed(list(daemons)))
            for name in order:
                proc, make, encode = daemons[name]
                # Requests are encoded before the clock starts: the client's
                # own work should weigh as little as it can.
                requests = [encode(path) for path in paths]
                cpu0 = cpu_seconds(proc.pid)
                wall, latencies, found = drive(make, requests, lambda c, r: c.scan(r))
                cpu = cpu_seconds(proc.pid) - cpu0
                runs[name].append((wall, latencies, cpu, drive.client_cpu))
                log("round %d %-14s %7.1f msg/s  p50 %.2f ms  p99 %.2f ms  %d infected"
                    % (round_no + 1, name, len(paths) / wall, percentile(latencies, 0.5) * 1000,
                       percentile(latencies, 0.99) * 1000, sum(found)))
                if sum(found) != kinds.get("infected", 0):
                    raise RuntimeError("%s found %d infected messages, the corpus holds %d"
                                       % (name, sum(found), kinds.get("infected", 0)))
            shutil.rmtree(corpus)
            # ClamAV's test files and the large archives: every one infected,
            # so no daemon answers from its cache of clean files.
            for name in order:
                proc, make, encode = daemons[name]
                requests = [encode(path) for path in testfiles]
                cpu0 = cpu_seconds(proc.pid)
                wall, latencies, found = drive(make, requests, lambda c, r: c.scan(r))
                test_runs[name].append((wall, latencies, cpu_seconds(proc.pid) - cpu0, drive.client_cpu))
                log("round %d %-14s %7.1f files/s  p50 %.2f ms  p99 %.2f ms  (test files)"
                    % (round_no + 1, name, len(testfiles) / wall, percentile(latencies, 0.5) * 1000,
                       percentile(latencies, 0.99) * 1000))
                if sum(found) != len(testfiles):
                    raise RuntimeError("%s found %d of the %d test files" % (name, sum(found), len(testfiles)))
        result = {"testfiles": {}}
        for name, (proc, _, _) in daemons.items():
            result[name] = figures(runs[name], args.count)
            result[name]["peak_mib"] = peak_kib(proc.pid) / 1024.0
            result[name]["start_mib"] = at_start[name]
            result["testfiles"][name] = figures(test_runs[name], len(testfiles))
            result["testfiles"][name]["peak_mib"] = result[name]["peak_mib"]
        result["corpus"] = {"messages": args.count, "kinds": corpus_info[0],
                            "mean_kib": corpus_info[1] / args.count / 1024.0,
                            "testfiles": len(testfiles)}
        return result
    finally:
        stop(pool)
        stop(member)
        stop(quillon)
        stop(clamd)


# -- anti-spam engines ------------------------------------------------------------

class QuillonSpamdClient:
    def __init__(self, path, ase):
        self.ase = ase
        self.serial = 0
        self.sock = socket.socket(socket.AF_UNIX)
        self.sock.connect(path)

    def rate(self, data):
        self.serial += 1
        request = self.ase.ClientMessage()
        request.tag = self.ase.ClientMessage.GET_SPAM_REPORT_REQUEST
        request.serial = self.serial
        request.message = data
        body = request.SerializeToString()
        self.sock.sendall(struct.pack("<I", len(body)) + body)
        length, = struct.unpack("<I", recv_exact(self.sock, 4))
        reply = self.ase.ServerMessage()
        reply.ParseFromString(recv_exact(self.sock, length))
        if reply.HasField("error"):
            raise RuntimeError("quillon-spamd: " + reply.error.what)
        return reply.spam_report.score.state == self.ase.VR_SPAM

    def close(self):
        self.sock.close()


class SpamcClient:
    def __init__(self, path):
        self.path = path

    def rate(self, data):
        # -x: an error is an error, not a pass-through; -y: the rule names,
        # as quillon-spamd asks for them.
        out = subprocess.run(["spamc", "-U", self.path, "-x", "-y"], input=data,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if out.returncode not in (0, 1):
            raise RuntimeError("spamc: status %d %s" % (out.returncode, out.stderr[-200:]))
        return False

    def close(self):
        pass


def spam_bench(args, scratch, ase):
    spamd_dir = os.path.join(scratch, "spamd")
    home = os.path.join(spamd_dir, "home")
    os.makedirs(home)
    os.chmod(scratch, 0o755)
    os.chmod(spamd_dir, 0o755)
    os.chmod(home, 0o777)
    spamd_sock = os.path.join(spamd_dir, "spamd.sock")
    spamd_bin = shutil.which("spamd") or "/usr/sbin/spamd"
    quillon_sock = os.path.join(scratch, "quillon-spamd.sock")
    with open(os.path.join(spamd_dir, "spamd.log"), "wb") as slog:
        spamd = subprocess.Popen([spamd_bin, "-L", "-x", "-m", str(CLIENTS), "--min-children=%d" % CLIENTS,
                                  "--min-spare=%d" % CLIENTS, "-H", home, "--syslog=stderr",
                                  "--listen=" + spamd_sock, "-r", os.path.join(spamd_dir, "spamd.pid")],
                                 stdout=slog, stderr=subprocess.STDOUT)
    quillon = None
    try:
        wait_socket(spamd_sock, spamd, "spamd", timeout=180)
        with open(os.path.join(scratch, "quillon-spamd.log"), "wb") as qlog:
            quillon = subprocess.Popen([os.path.join(args.bin, "quillon-spamd"), "--socket", quillon_sock,
                                        "--spamd-socket", spamd_sock, "--workers", str(CLIENTS)],
                                       stdout=qlog, stderr=subprocess.STDOUT)
        wait_socket(quillon_sock, quillon, "quillon-spamd")
        rng = random.Random(7)
        messages = [message(rng, i, "spam")[1] for i in range(args.spam_count)]
        clients = {
            "spamc": (None, lambda: SpamcClient(spamd_sock)),
            "quillon-spamd": (quillon, lambda: QuillonSpamdClient(quillon_sock, ase)),
        }
        # spamd's children warm up on the first messages: one round unmeasured.
        drive(clients["quillon-spamd"][1], messages[:CLIENTS * 4], lambda c, m: c.rate(m))
        runs = {name: [] for name in clients}
        for round_no in range(max(2, args.rounds // 2)):
            order = list(clients) if round_no % 2 == 0 else list(reversed(list(clients)))
            for name in order:
                proc, make = clients[name]
                if proc is None:
                    before = os.times()
                    cpu0 = before.children_user + before.children_system
                else:
                    cpu0 = cpu_seconds(proc.pid)
                spamd_cpu0 = cpu_seconds(spamd.pid)
                wall, latencies, _ = drive(make, messages, lambda c, m: c.rate(m))
                if proc is None:
                    after = os.times()
                    cpu = after.children_user + after.children_system - cpu0
                else:
                    cpu = cpu_seconds(proc.pid) - cpu0
                runs[name].append((wall, latencies, cpu, drive.client_cpu))
                log("round %d %-14s %7.1f msg/s  p50 %.1f ms  p99 %.1f ms  (spamd's parent %.2f s CPU)"
                    % (round_no + 1, name, len(messages) / wall, percentile(latencies, 0.5) * 1000,
                       percentile(latencies, 0.99) * 1000, cpu_seconds(spamd.pid) - spamd_cpu0))
        result = {name: figures(runs[name], len(messages)) for name in clients}
        with open(os.path.join(scratch, "quillon-spamd.log"), errors="replace") as f:
            retried = sum(1 for line in f if "trying again" in line)
        if retried:
            log("quillon-spamd tried %d ratings again (see its log)" % retried)
        result["quillon-spamd"]["peak_mib"] = peak_kib(quillon.pid) / 1024.0
        result["quillon-spamd"]["start_mib"] = None
        result["spamc"]["peak_mib"] = result["spamc"]["start_mib"] = None
        return result
    finally:
        stop(quillon)
        stop(spamd)


def table(title, peer, ours, result):
    a, b = result[peer], result[ours]
    rows = [
        ("messages per second", "per_second", "%.1f", True),
        ("p50 latency (ms)", "p50_ms", "%.2f", False),
        ("p99 latency (ms)", "p99_ms", "%.2f", False),
        ("CPU per message (ms)", "cpu_ms_per_message", "%.3f", False),
        ("client CPU per msg (ms)", "client_cpu_ms_per_message", "%.3f", False),
        ("resident at start (MiB)", "start_mib", "%.1f", False),
        ("peak resident (MiB)", "peak_mib", "%.1f", False),
    ]
    print("\n%s" % title)
    print("%-24s %14s %14s %10s" % ("", peer, ours, "ratio"))
    for label, key, fmt, _ in rows:
        x, y = a.get(key), b.get(key)
        cell = lambda v: (fmt % v) if v is not None else "-"
        ratio = ("%.2fx" % (y / x)) if x and y is not None else "-"
        print("%-24s %14s %14s %10s" % (label, cell(x), cell(y), ratio))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--bin", default=os.path.join(ROOT, "build", "bin"))
    ap.add_argument("--py", default=os.path.join(ROOT, "build", "python"))
    ap.add_argument("--rounds", type=int, default=6)
    ap.add_argument("--count", type=int, default=1000, help="messages per scan round")
    ap.add_argument("--spam-count", type=int, default=200, help="messages per rating round")
    ap.add_argument("--only", choices=["scan", "spam"])
    ap.add_argument("--json", help="where to write the figures (default: BIN/../bench-engines.json)")
    args = ap.parse_args()
    parent = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None
    results = {}
    if args.only in (None, "scan"):
        se = harness.load_schema("se", args.py)
        scratch = tempfile.mkdtemp(prefix="tw-bench-scan-", dir=parent)
        try:
            results["scan"] = scan_bench(args, scratch, se)
        finally:
            shutil.rmtree(scratch, ignore_errors=True)
    if args.only in (None, "spam"):
        # The anti-spam classes share the scan classes' message names: a
        # process of its own.
        if args.only is None:
            out = subprocess.run([sys.executable, __file__, "--bin", args.bin, "--py", args.py,
                                  "--rounds", str(args.rounds), "--spam-count", str(args.spam_count),
                                  "--only", "spam", "--json", "/dev/stdout"],
                                 stdout=subprocess.PIPE, check=True)
            results["spam"] = json.loads(out.stdout.decode().split("\n#json\n", 1)[1])["spam"]
        else:
            ase = harness.load_schema("ase", args.py)
            scratch = tempfile.mkdtemp(prefix="tw-bench-spam-", dir=parent)
            try:
                results["spam"] = spam_bench(args, scratch, ase)
            finally:
                shutil.rmtree(scratch, ignore_errors=True)
    if args.json == "/dev/stdout":
        print("\n#json\n" + json.dumps(results))
        return
    if "scan" in results:
        corpus = results["scan"]["corpus"]
        table("Scan engines: %d messages per round (%s; mean %.0f KiB), %d rounds, %d scans at once"
              % (corpus["messages"], ", ".join("%d %s" % (n, k) for k, n in sorted(corpus["kinds"].items())),
                 corpus["mean_kib"], args.rounds, CLIENTS), "clamd", "quillon-clamd", results["scan"])
        table("ClamAV's test files and two 18 MiB archives, as files and as attachments (%d per round)"
              % corpus["testfiles"], "clamd", "quillon-clamd", results["scan"]["testfiles"])
        table("quillon-clamd handing the mixed messages to the same clamd (--clamd, INSTREAM)",
              "clamd", "pool", results["scan"])
        table("quillon-clamd handing the test files to the same clamd (--clamd, INSTREAM)",
              "clamd", "pool", results["scan"]["testfiles"])
    if "spam" in results:
        table("Anti-spam engines: %d messages per round, 4 at once, one spamd (CPU: the client's own)"
              % args.spam_count, "spamc", "quillon-spamd", results["spam"])
    path = args.json or os.path.join(args.bin, "..", "bench-engines.json")
    with open(path, "w") as f:
        json.dump(results, f, indent=2)
    print("\nfigures written to %s" % os.path.normpath(path))


if __name__ == "__main__":
    main()
