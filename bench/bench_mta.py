#!/usr/bin/python3
"""The whole chain under a real Postfix, side by side with the filters
administrators run today.

One private Postfix instance (the harness's PostfixInstance) relays to
smtp-sink; between rounds its smtpd_milters is switched (postfix reload)
between

  staggered  tarnwick-milter with Tarnwick-AV on quillon-clamd and
             Tarnwick-AS on quillon-spamd in its default order: Tarnwick-AS
             once Tarnwick-AV lets the message on or after its head start (its
             usual refusal time, at least 5 ms)
  serial     the same with --order serial: Tarnwick-AS only for what
             Tarnwick-AV let on
  parallel   the same with --order parallel: both asked at once
             (the host is restarted to switch between the three)
  peers      clamav-milter on clamd, and spamass-milter (spamc per message)

Both sides scan with the same signature database (engines/testdb) and rate
with the same spamd.  Each round sends the same corpus with smtp-source over
8 parallel SMTP connections (clean text, a newsletter, spam, an infected
attachment); rounds alternate between the sides.  Reported, as medians over
the rounds of each side:

  msgs/s      messages answered (relayed or refused) per second of the
              round's wall time; a round in which relayed, refused and
              deferred messages do not add up to those sent, or in which
              any was deferred, fails the benchmark
  p50, p99    Postfix's time before the queue manager per relayed message
              (the "a" of delays=a/b/c/d: receiving plus the milters)
  cpu/msg     CPU time of the filter side per message (milter processes,
              their children and engine daemons; spamd apart, it is shared)
  spamd/msg   CPU time of spamd per message
  rated       messages spamd rated per message answered (its "result:"
              log lines): its work without the noise of CPU time

Needs root (a private Postfix instance) and the packages postfix,
clamav-milter, clamav-daemon, spamass-milter, spamc and spamassassin.

Usage: bench_mta.py --bin BUILD/bin [--rounds N] [--count N]
"""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(TOP, "sim"))
sys.dont_write_bytecode = True

CLK = os.sysconf("SC_CLK_TCK")
EICAR_B64 = ("WDVPIVAlQEFQWzRcUFpYNTQoUF4pN0NDKTd9JEVJQ0FSLVNUQU5EQVJELUFOVElWSVJVUy1URVNU"
             "LUZJTEUhJEgrSCo=")


def corpus(directory):
    """(file, share of the sessions) for each kind of message."""
    head = "From: Alice <alice@example.org>\nTo: Bob <bob@example.net>\nSubject: %s\n"
    clean = head % "Minutes of the meeting" + "\n" + "".join(
        "Item %d: the budget was discussed and approved as proposed.\n" % i for i in range(20))
    newsletter = (head % "Our autumn newsletter" + "MIME-Version: 1.0\nContent-Type: text/html\n\n<html><body>"
                  + "".join("<p>Paragraph %d of news about our products and services, with a "
                            "<a href=\"https://example.com/%d\">link</a>.</p>\n" % (i, i) for i in range(250))
                  + "</body></html>\n")
    spam = head % "Cheap meds, act now" + "\n" + (
        "Buy viagra and cialis online, no prescription, lowest price guaranteed!\n"
        "Click here to unsubscribe. Limited time offer, 100% free, act now!\n") * 10
    infected = (head % "Invoice attached" + "MIME-Version: 1.0\n"
                "Content-Type: multipart/mixed; boundary=\"b1\"\n\n--b1\nContent-Type: text/plain\n\n"
                "Please see the attached invoice.\n--b1\nContent-Type: application/octet-stream; "
                "name=\"invoice.com\"\nContent-Transfer-Encoding: base64\n\n" + EICAR_B64 + "\n--b1--\n")
    out = []
    for name, text, sessions in (("clean", clean, 3), ("newsletter", newsletter, 2), ("spam", spam, 2),
                                 ("infected", infected, 1)):
        path = os.path.join(directory, name + ".eml")
        with open(path, "w") as f:
            f.write(text)
        out.append((name, path, sessions))
    return out


def tree_pids(root_pids):
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as f:
                    ppid = int(f.read().rsplit(")", 1)[1].split()[1])
                children.setdefault(ppid, []).append(int(entry))
            except (OSError, IndexError, ValueError):
                pass
    out, todo = [], list(root_pids)
    while todo:
        pid = todo.pop()
        out.append(pid)
        todo.extend(children.get(pid, []))
    return out


def cpu_seconds(root_pids):
    """User and system time of the processes, their live descendants and
    the children they reaped."""
    total = 0
    for pid in tree_pids(root_pids):
        try:
            with open("/proc/%d/stat" % pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            total += sum(int(v) for v in fields[11:15])
        except (OSError, IndexError, ValueError):
            pass
    return total / CLK


class Peers:
    """clamd + clamav-milter + spamass-milter in directory."""

    def __init__(self, directory, spamd_socket):
        from harness import free_tcp_port as free_port, wait_until
        self.dir = directory
        self.clamd_sock = os.path.join(directory, "clamd.sock")
        self.clam_port, self.spam_port = free_port(), free_port()
        with open(os.path.join(directory, "clamd.conf"), "w") as f:
            f.write("LocalSocket %s\nDatabaseDirectory %s\nForeground yes\nLogFile %s\nMaxThreads 8\n"
                    "TemporaryDirectory %s\n" % (self.clamd_sock, os.path.join(TOP, "engines", "testdb"),
                                                 os.path.join(directory, "clamd.log"), directory))
        with open(os.path.join(directory, "clamav-milter.conf"), "w") as f:
            f.write("MilterSocket inet:%d@127.0.0.1\nClamdSocket unix:%s\nForeground yes\nOnInfected Reject\n"
                    "OnFail Defer\nAddHeader No\nLogFile %s\nMaxThreads 8\n"
                    % (self.clam_port, self.clamd_sock, os.path.join(directory, "clamav-milter.log")))
        log = open(os.path.join(directory, "peers.log"), "ab")
        self.clamd = subprocess.Popen(["clamd", "-c", os.path.join(directory, "clamd.conf")],
                                      stdout=log, stderr=log)
        wait_until(lambda: os.path.exists(self.clamd_sock), 60, "clamd")
        self.clamav_milter = subprocess.Popen(
            ["clamav-milter", "-c", os.path.join(directory, "clamav-milter.conf")], stdout=log, stderr=log)
        self.spamass_milter = subprocess.Popen(
            ["spamass-milter", "-p", "inet:%d@127.0.0.1" % self.spam_port, "--", "-U", spamd_socket],
            stdout=log, stderr=log)
        log.close()
        time.sleep(1)
        for p in (self.clamd, self.clamav_milter, self.spamass_milter):
            if p.poll() is not None:
                raise RuntimeError("%s exited; see %s" % (p.args[0], os.path.join(directory, "peers.log")))

    def milters(self):
        return "inet:127.0.0.1:%d, inet:127.0.0.1:%d" % (self.clam_port, self.spam_port)

    def pids(self):
        return [self.clamd.pid, self.clamav_milter.pid, self.spamass_milter.pid]

    def stop(self):
        for p in (self.spamass_milter, self.clamav_milter, self.clamd):
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(timeout=15)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()


def run_round(mta, files, count, milters):
    subprocess.run(["postconf", "-c", mta.conf, "-e", "smtpd_milters = " + milters], check=True)
    subprocess.run(["/usr/sbin/postfix", "-c", mta.conf, "reload"], check=True, capture_output=True)
    time.sleep(1.5)  # the old smtpd processes finish and the new settings take hold
    with open(os.path.join(mta.logdir, "maillog"), "rb") as f:
        f.seek(0, 2)
        log_start = f.tell()
    total_sessions = sum(s for _, _, s in files)
    procs = []
    started = time.monotonic()
    for _, path, sessions in files:
        n = max(sessions, count * sessions // total_sessions)
        procs.append(subprocess.Popen(
            ["smtp-source", "-A", "-d", "-s", str(sessions), "-m", str(n), "-F", path,
             "-f", "alice@example.org", "-t", "bob@example.net", "127.0.0.1:%d" % mta.smtp_port],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE))
    sent = 0
    for (_, _, sessions), p in zip(files, procs):
        if p.wait() != 0:
            raise RuntimeError("smtp-source failed: %s" % p.stderr.read().decode(errors="replace"))
        sent += max(sessions, count * sessions // total_sessions)
    wall = time.monotonic() - started
    # Only the corpus: the notifications and reports the filters mail
    # arrive through pickup, not smtpd.  Every message smtpd took is
    # refused or deferred by a milter, or queued and then relayed (or
    # deferred) by the queue manager a moment later: wait for that.
    deadline = time.monotonic() + 60
    while True:
        with open(os.path.join(mta.logdir, "maillog"), "rb") as f:
            f.seek(log_start)
            log = f.read().decode(errors="replace")
        received = set(re.findall(r"postfix/smtpd\[\d+\]: (\w+): client=", log))
        refused = {q: code for q, code in re.findall(r": (\w+): milter-reject: END-OF-MESSAGE from \S+: ([45])", log)
                   if q in received}
        done = {q: (status, float(a) * 1000)
                for q, a, status in re.findall(r": (\w+): to=<[^>]*>.*?delays=([\d.]+)/.*? status=(\w+)", log)
                if q in received}
        if len(refused) + len(done) >= len(received) or time.monotonic() > deadline:
            break
        time.sleep(0.5)
    counts = {
        "relayed": sum(1 for status, _ in done.values() if status == "sent"),
        "refused": sum(1 for code in refused.values() if code == "5"),
        "deferred": (sum(1 for code in refused.values() if code == "4")
                     + sum(1 for status, _ in done.values() if status != "sent")),
    }
    # smtp-source spreads -m over its sessions and may send a message or two
    # fewer than asked: what Postfix took is what must add up, and no more
    # than one in a hundred may be missing.
    intended, sent = sent, len(received)
    if sent < intended * 0.99:
        raise RuntimeError("%d messages asked of smtp-source, Postfix took %d" % (intended, sent))
    if sum(counts.values()) != sent or counts["deferred"]:
        raise RuntimeError("%d sent, but %s: the round does not add up" % (sent, counts))
    delays = [ms for status, ms in done.values() if status == "sent"]
    return sent, wall, delays, counts


def spamd_ratings(log_path):
    """How many messages spamd has rated so far: one result line each."""
    try:
        with open(log_path, "rb") as f:
            return f.read().count(b"spamd: result: ")
    except OSError:
        return 0


def percentile(values, q):
    if not values:
        return float("nan")
    values = sorted(values)
    return values[min(len(values) - 1, int(q * len(values)))]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--bin", default=os.path.join(TOP, "build", "bin"))
    ap.add_argument("--rounds", type=int, default=3, help="rounds per side (3)")
    ap.add_argument("--count", type=int, default=400, help="messages per round (400)")
    args = ap.parse_args()
    os.environ["TARNWICK_BIN"] = os.path.abspath(args.bin)

    import harness

    why = harness.postfix_missing() or harness.milter_missing() or harness.real_engines_missing()
    for prog in ("clamav-milter", "clamd", "spamass-milter", "spamc", "smtp-source"):
        if not shutil.which(prog, path=os.environ.get("PATH", "") + ":/usr/sbin"):
            why = why or "%s not installed" % prog
    if why:
        print("bench-mta: " + why)
        return 1

    port = harness.free_tcp_port()
    # clamav-milter mails nobody about a virus: neither does Tarnwick-AV here,
    # so both sides do the same work.
    rig = harness.MilterRig(engines="real", socket_spec="inet:%d@127.0.0.1" % port,
                            replace={"Tarnwick-AV": {"NotifyRecipients": "No"}})
    mta = harness.PostfixInstance(os.path.join(rig.root, "postfix"), "inet:127.0.0.1:%d" % port, smtpd_procs=20)
    rig.host_args += ["--sendmail", mta.sendmail_command(), "--timeout", "120"]
    peers = None
    modes = ("staggered", "serial", "parallel")
    results = {name: [] for name in modes + ("peers",)}
    try:
        rig.start()
        os.makedirs(os.path.join(rig.root, "peers"))
        peers = Peers(os.path.join(rig.root, "peers"), rig.spamd.socket_path)
        mta.start()
        files = corpus(rig.root)
        tarnwick_pids = lambda: [rig.proc.pid] + [p.pid for p in rig.engines.values()]
        sides = {name: ("inet:127.0.0.1:%d" % port, tarnwick_pids) for name in modes}
        sides["peers"] = (peers.milters(), peers.pids)
        base_args = list(rig.host_args)
        current = ["staggered"]

        def host_mode(name):
            if name in modes and name != current[0]:
                rig.stop()
                rig.host_args = base_args + ["--order", name]
                rig.start()
                current[0] = name

        # A short warm-up of each side: spamd children, clamd, page cache.
        for name in ("staggered", "peers"):
            run_round(mta, files, 40, sides[name][0])
        order = list(modes) + ["peers"]
        for r in range(args.rounds):
            for name in order[r % 4:] + order[:r % 4]:
                host_mode(name)
                milters, pids = sides[name]
                cpu0, spamd0 = cpu_seconds(pids()), cpu_seconds([rig.spamd.proc.pid])
                rated0 = spamd_ratings(rig.spamd.log_path)
                sent, wall, delays, counts = run_round(mta, files, args.count, milters)
                cpu = cpu_seconds(pids()) - cpu0
                spamd = cpu_seconds([rig.spamd.proc.pid]) - spamd0
                # Ratings of refused messages finish in the background: wait
                # for spamd to go quiet before counting.
                rated = spamd_ratings(rig.spamd.log_path)
                while True:
                    time.sleep(1)
                    now = spamd_ratings(rig.spamd.log_path)
                    if now == rated:
                        break
                    rated = now
                rated -= rated0
                answered = counts["relayed"] + counts["refused"]
                results[name].append({"rate": answered / wall, "p50": percentile(delays, 0.5),
                                      "p99": percentile(delays, 0.99), "cpu": cpu * 1000 / answered,
                                      "spamd": spamd * 1000 / answered, "rated": rated / answered,
                                      "relayed": counts["relayed"],
                                      "rejected": counts["refused"], "sent": sent})
                print("round %d %-8s %4d sent, %4d relayed, %3d refused, %6.1f msgs/s, %d rated" % (
                    r + 1, name, sent, counts["relayed"], counts["refused"], answered / wall, rated), flush=True)
    finally:
        mta.stop()
        if peers:
            peers.stop()
        rig.cleanup()

    med = {name: {k: statistics.median(x[k] for x in rows) for k in rows[0]} for name, rows in results.items()}
    print()
    print("%-36s %8s %8s %8s %9s %10s %6s" % ("side (medians)", "msgs/s", "p50 ms", "p99 ms", "cpu/msg",
                                              "spamd/msg", "rated"))
    labels = {"staggered": "tarnwick-milter (default, staggered)",
              "serial": "tarnwick-milter --order serial",
              "parallel": "tarnwick-milter --order parallel",
              "peers": "clamav-milter+spamass-milter"}
    for name in modes + ("peers",):
        m = med[name]
        print("%-36s %8.1f %8.0f %8.0f %7.1fms %8.1fms %6.3f" % (labels[name], m["rate"], m["p50"], m["p99"],
                                                                m["cpu"], m["spamd"], m["rated"]))
    for name in modes:
        ratio = med[name]["rate"] / med["peers"]["rate"]
        print("throughput ratio %s/peers: %.2f (goal: at least 1.00) %s"
              % (labels[name], ratio, "met" if ratio >= 1 else "NOT met"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
