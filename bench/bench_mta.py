#!/usr/bin/python3
"""The whole chain under a real Postfix, side by side with the filters
administrators run today.

One private Postfix instance (the harness's PostfixInstance) relays to
smtp-sink; between rounds its smtpd_milters is switched (postfix reload)
between

  staggered      tarnwick-milter with Tarnwick-AV on quillon-clamd and
                 Tarnwick-AS on quillon-spamd in its default order:
                 Tarnwick-AS once Tarnwick-AV lets the message on or after
                 its head start (its usual refusal time, at least 5 ms)
  serial         the same with --order serial: Tarnwick-AS only for what
                 Tarnwick-AV let on
  parallel       the same with --order parallel: both asked at once
                 (the host is restarted to switch between the three)
  peers          clamav-milter on clamd, and spamass-milter (spamc per
                 message) on the same spamd
  rspamd         a second tarnwick-milter (default order) with Tarnwick-AV
                 on quillon-clamd and Tarnwick-AS on quillon-rspamd, which
                 asks one offline rspamd (the harness's RspamdServer: DNS,
                 Redis and network modules off), refusing at Tarnwick-AS's
                 90 (--reject-score 90): rspamd's reject threshold
  rspamd-whole   rspamd's own milter: a second such rspamd, the same
                 configuration, whose proxy worker in milter mode rates the
                 message itself (self_scan) with its antivirus module asking
                 the peers' clamd about the whole message
                 (scan_mime_parts = false) and refusing what it finds; no
                 greylisting, no Redis, no DNS.  The peer of the rspamd
                 side: the same anti-virus work
  rspamd-parts   the same with the antivirus module's default, each
                 attachment apart (scan_mime_parts = true): a reference
                 row only, it does less work and lets infected mail
                 through (column "missed")

Every side scans with the same signature database (engines/testdb); the
spamd sides rate with one spamd.  libclamav writes each part of a mail it
decodes to a temporary file: quillon-clamd's go to a tmpfs, as its unit
puts them (--quillon-temp disk: the machine's /tmp), the peers' clamd's
to its directory under the machine's /tmp, as Debian 12's clamd's go to
its /tmp on disk (--peer-temp tmpfs: a tmpfs too, for a comparison of the
same work).  The host's queue files go to a tmpfs mounted over its Queue/
with the options of tarnwick-milter's unit (--queue disk: the base's
directory on the machine's disk, as a host run without the unit has it).  The corpus: four synthetic messages
(clean text, a newsletter, spam, an infected attachment), SpamAssassin's
sample spam and ham, Python's email test data (libpython3.11-testsuite),
and, the test virus attached to six of these real messages, one message in
eight infected, and seven messages that hide the test virus where an
attachment scanner does not look (in a text body, in a part without a file
name, after an unclosed MIME part, in bad base64, in quoted-printable text,
in part 1001, 41 levels deep).  Each round sends every message of the
corpus the same number of times over --senders SMTP connections at once
(smtp-source, each connection one message after the other); rounds
alternate between the sides.  The default, 8 per CPU, keeps the CPUs
of the spamd sides busy: a message passes through some ten processes one
after the other (smtpd, cleanup, the milters, the filters, the engines,
the queue manager, smtp, the sink), so a connection keeps about one CPU
in eight at work; the idle column shows how much of the machine's CPU
time was left over (10 to 20 % there on 2 cores).  The rspamd sides,
some ten times faster a message, leave a third to a half of it idle
with as many connections: each message waits its turn in Postfix's own
processes more than it works, so their throughput follows the latency
and their CPU per message is the figure to compare.  Reported, as
medians over the rounds of each side:

  msgs/s      messages answered (relayed or refused) per second of the
              round's wall time; a round in which relayed, refused and
              deferred messages do not add up to those sent, or in which
              any was deferred, fails the benchmark
  p50, p99    Postfix's time before the queue manager per relayed message
              (the "a" of delays=a/b/c/d: receiving plus the milters)
  cpu/msg     CPU time (user and kernel) of the filter side per message:
              the milter processes, their children and engine daemons
              (spamd apart on the spamd sides: it is shared, see
              spamd/msg), with its kernel part; each process's own share
              follows the table (tarnwick-milter's host its own threads,
              each filter and engine with its children).  On the rspamd sides rspamd's own
              processes count in: rspamd's milter scans in its proxy, so
              there is no other way to compare; on rspamd-whole and
              rspamd-parts so does the peers' clamd it asks
  idle        the machine's idle CPU time during the round, as a share
  missed      infected messages of the corpus the side let through (in
              the verification pass)
  spamd/msg   CPU time of spamd per message (spamd sides)
  rated       messages rated per message answered (spamd's "result:" log
              lines, rspamd's task log lines): the engine's work without
              the noise of CPU time

Before the rounds, untimed, a verification pass sends each message of the
corpus once through every side.  The spamd sides must give the peers'
verdicts (relayed or refused), and the rspamd side rspamd-whole's verdict
and rspamd's score and symbols (its log line of the Postfix queue id; the
relayed copies of rspamd's milter must carry the same score in
X-Spamd-Result).  Scores of the infected messages are not compared:
Tarnwick-AV refuses them, and Tarnwick-AS's rating (if the head start let
it begin) does not count, while rspamd's milter rates them with its
antivirus module's symbol.  An infected message that a peer lets through
is counted (missed), not compared; any other disagreement is listed and
fails the run.  rspamd-parts is not compared: its misses are the point.

Needs root (a private Postfix instance) and the packages postfix,
clamav-milter, clamav-daemon, spamass-milter, spamc, spamassassin, rspamd
and libpython3.11-testsuite.

Run with sim/ on PYTHONPATH (make bench-mta sets it).

Usage: bench_mta.py --bin BUILD/bin [--rounds N] [--count N] [--rspamd-count N]
                    [--senders N] [--quillon-temp tmpfs|disk] [--peer-temp disk|tmpfs]
                    [--queue tmpfs|disk]
"""

import argparse
import base64
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import harness
from percentile import percentile

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
sys.dont_write_bytecode = True

CLK = os.sysconf("SC_CLK_TCK")
EICAR_B64 = base64.b64encode(harness.eicar().encode()).decode()


PY_EMAIL_DATA = "/usr/lib/python3.11/test/test_email/data"
SA_EXAMPLES = "/usr/share/doc/spamassassin/examples"
# Real messages left out, because they cannot go through smtp-source and
# Postfix as they are: msg_25 and msg_43 begin with an mbox "From " line
# (not a header field: Postfix would take the whole header block for body
# text); msg_26 has CRLF line ends, which smtp-source, appending its own
# CRLF to each line, would send as bare CRs.
SKIPPED = ("msg_25.txt", "msg_26.txt", "msg_43.txt")
BOUNDARY = "tarnwick-bench-8b1c"


def infect(text):
    """The message with an EICAR-bearing attachment added: its own body
    (with its content fields) becomes the first part of a multipart/mixed."""
    head, sep, body = text.partition("\n\n")
    kept, content = [], []
    for field in re.split(r"\n(?![ \t])", head):
        name = field.split(":", 1)[0].strip().lower()
        if name in ("mime-version", "content-type", "content-transfer-encoding"):
            if name != "mime-version":
                content.append(field)
        else:
            kept.append(field)
    first = "\n".join(content) or "Content-Type: text/plain"
    return ("\n".join(kept) + "\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"%s\"\n\n"
            "--%s\n%s\n\n%s\n--%s\nContent-Type: application/octet-stream; name=\"invoice.com\"\n"
            "Content-Transfer-Encoding: base64\n\n%s\n--%s--\n"
            % (BOUNDARY, BOUNDARY, first, body.rstrip("\n"), BOUNDARY, EICAR_B64, BOUNDARY))


def hidden(head):
    """Messages that carry the test virus where a scanner of attachments
    alone does not look: {name: text}."""
    eicar = base64.b64decode(EICAR_B64).decode()
    mixed = "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"%s\"\n\n" % BOUNDARY
    deep = "EICAR in the 41st level\n" + "".join(
        "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"b%d\"\n\n--b%d\n" % (i, i)
        for i in range(40))
    deep += "Content-Type: application/octet-stream\nContent-Transfer-Encoding: base64\n\n%s\n" % EICAR_B64
    deep += "".join("--b%d--\n" % i for i in reversed(range(40)))
    many = "".join("--%s\nContent-Type: text/plain\n\npart %d\n" % (BOUNDARY, i) for i in range(1000))
    return {
        "hidden-text-body": head % "Text body" + "\n" + eicar + "\n",
        "hidden-no-filename": head % "No file name" + mixed + "--%s\nContent-Type: text/plain\n\nhello\n"
        "--%s\nContent-Type: application/octet-stream\nContent-Transfer-Encoding: base64\n\n%s\n--%s--\n"
        % (BOUNDARY, BOUNDARY, EICAR_B64, BOUNDARY),
        "hidden-unclosed-mime": head % "Unclosed MIME" + mixed + "--%s\nContent-Type: text/plain\n\n"
        "hello\n%s\n" % (BOUNDARY, eicar),
        "hidden-bad-base64": head % "Bad base64" + mixed + "--%s\nContent-Type: application/octet-stream; "
        "name=\"a.bin\"\nContent-Transfer-Encoding: base64\n\n%s\n--%s--\n"
        % (BOUNDARY, EICAR_B64[:20] + "!!" + EICAR_B64[20:], BOUNDARY),
        "hidden-quoted-printable": head % "Quoted-printable" + "MIME-Version: 1.0\nContent-Type: text/plain\n"
        "Content-Transfer-Encoding: quoted-printable\n\n" + eicar.replace("=", "=3D") + "\n",
        "hidden-part-1001": head % "Part 1001" + mixed + many + "--%s\nContent-Type: application/octet-stream;"
        " name=\"a.com\"\nContent-Transfer-Encoding: base64\n\n%s\n--%s--\n" % (BOUNDARY, EICAR_B64, BOUNDARY),
        "hidden-41-levels": head % "Deep" + deep,
    }


def corpus(directory):
    """[(name, path, infected)]: four synthetic messages (clean text, a
    newsletter, spam, an infected attachment), the spam and ham samples of
    SpamAssassin's package, Python's email test data, and as many real
    messages with the test virus attached as make one message in eight
    infected."""
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
    messages = [("clean", clean, False), ("newsletter", newsletter, False), ("spam", spam, False),
                ("infected", infect(head % "Invoice attached" + "\nPlease see the attached invoice.\n"), True)]
    real = []
    for name in ("sample-spam.txt", "sample-nonspam.txt"):
        real.append(("sa-" + name[:-4], os.path.join(SA_EXAMPLES, name)))
    for name in sorted(os.listdir(PY_EMAIL_DATA)):
        if name.startswith("msg_") and name not in SKIPPED:
            real.append(("py-" + name[:-4], os.path.join(PY_EMAIL_DATA, name)))
    texts = []
    for name, path in real:
        with open(path, encoding="latin-1") as f:
            texts.append((name, f.read()))
    messages += [(name, text, False) for name, text in texts]
    clean_count = sum(1 for m in messages if not m[2])
    extra = clean_count // 7 - sum(1 for m in messages if m[2])
    step = len(texts) // max(1, extra)
    messages += [(name + "-infected", infect(text), True) for name, text in texts[1::step][:extra]]
    messages += [(name, text, True) for name, text in hidden(head).items()]
    out = []
    for name, text, infected in messages:
        path = os.path.join(directory, name + ".eml")
        with open(path, "w", encoding="latin-1") as f:
            f.write(text)
        out.append((name, path, infected))
    return out


def mount_queue(queue):
    """A tmpfs over the host's Queue/, with the size and mode its unit gives
    the one it mounts, owned by the user the bench runs the host as."""
    with open(os.path.join(TOP, "milter", "tarnwick-milter.service")) as f:
        options = re.search(r"mount -t tmpfs -o (\S+) tarnwick-queue", f.read()).group(1)
    options = ",".join(o for o in options.split(",") if not o.startswith(("uid=", "gid=")))
    os.makedirs(queue, mode=0o750, exist_ok=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "%s,uid=%d,gid=%d" % (options, os.getuid(), os.getgid()),
                    "tarnwick-bench-queue", queue], check=True)
    return queue


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


def stat_times(pid):
    """utime, stime, cutime, cstime of a process in ticks; zeros when it is gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return [int(v) for v in f.read().rsplit(")", 1)[1].split()[11:15]]
    except (OSError, IndexError, ValueError):
        return [0, 0, 0, 0]


def cpu_split(root_pids):
    """(user, kernel) seconds of the processes, their live descendants and
    the children they reaped."""
    user = kernel = 0
    for pid in tree_pids(root_pids):
        utime, stime, cutime, cstime = stat_times(pid)
        user += utime + cutime
        kernel += stime + cstime
    return user / CLK, kernel / CLK


def own_cpu(pid):
    """(user, kernel) seconds of the process's own threads, without its
    children."""
    utime, stime, _, _ = stat_times(pid)
    return utime / CLK, stime / CLK


def filter_pids(host_pid, name):
    """The filter the host runs under that name, by its process name."""
    for pid in tree_pids([host_pid]):
        try:
            with open("/proc/%d/comm" % pid) as f:
                if f.read().strip() == name[:15]:
                    return [pid]
        except OSError:
            pass
    return []


def cpu_seconds(root_pids):
    return sum(cpu_split(root_pids))


def machine_times():
    """(idle, all) CPU time of the machine so far, in ticks."""
    with open("/proc/stat") as f:
        ticks = [int(v) for v in f.readline().split()[1:]]
    return ticks[3] + ticks[4], sum(ticks)


class Peers:
    """clamd + clamav-milter + spamass-milter in directory."""

    def __init__(self, directory, spamd_socket, temp_dir=None):
        from harness import free_tcp_port as free_port, wait_until
        self.dir = directory
        self.clamd_sock = os.path.join(directory, "clamd.sock")
        self.clam_port, self.spam_port = free_port(), free_port()
        with open(os.path.join(directory, "clamd.conf"), "w") as f:
            f.write("LocalSocket %s\nDatabaseDirectory %s\nForeground yes\nLogFile %s\nMaxThreads 8\n"
                    "TemporaryDirectory %s\n" % (self.clamd_sock, os.path.join(TOP, "engines", "testdb"),
                                                 os.path.join(directory, "clamd.log"), temp_dir or directory))
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


def switch(mta, milters):
    subprocess.run(["postconf", "-c", mta.conf, "-e", "smtpd_milters = " + milters], check=True)
    subprocess.run(["/usr/sbin/postfix", "-c", mta.conf, "reload"], check=True, capture_output=True)
    time.sleep(1.5)  # the old smtpd processes finish and the new settings take hold


def maillog_size(mta):
    return os.path.getsize(os.path.join(mta.logdir, "maillog"))


def maillog_since(mta, offset):
    with open(os.path.join(mta.logdir, "maillog"), "rb") as f:
        f.seek(offset)
        return f.read().decode(errors="replace")


def run_round(mta, files, reps, milters, senders):
    """Sends every message of files reps times over senders SMTP
    connections at once (each connection one file after the other); returns
    (sent, wall time, Postfix's delays of the relayed messages, counts)."""
    switch(mta, milters)
    log_start = maillog_size(mta)
    lanes = [files[i::senders] for i in range(senders)]

    def lane(paths, failures):
        for path in paths:
            done = subprocess.run(
                ["smtp-source", "-A", "-d", "-s", "1", "-m", str(reps), "-F", path,
                 "-f", "alice@example.org", "-t", "bob@example.net", "127.0.0.1:%d" % mta.smtp_port],
                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            if done.returncode != 0:
                failures.append("smtp-source failed on %s: %s" % (path, done.stderr.decode(errors="replace")))

    failures = []
    threads = [threading.Thread(target=lane, args=([path for _, path, _ in paths], failures))
               for paths in lanes if paths]
    started = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    wall = time.monotonic() - started
    if failures:
        raise RuntimeError(failures[0])
    intended = len(files) * reps
    # Only the corpus: the notifications and reports the filters mail
    # arrive through pickup, not smtpd.  Every message smtpd took is
    # refused or deferred by a milter, or queued and then relayed (or
    # deferred) by the queue manager a moment later: wait for that.
    deadline = time.monotonic() + 60
    while True:
        log = maillog_since(mta, log_start)
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
    sent = len(received)
    if sent != intended:
        raise RuntimeError("%d messages asked of smtp-source, Postfix took %d" % (intended, sent))
    if sum(counts.values()) != sent or counts["deferred"]:
        raise RuntimeError("%d sent, but %s: the round does not add up" % (sent, counts))
    delays = [ms for status, ms in done.values() if status == "sent"]
    return sent, wall, delays, counts


# rspamd's log line of one task: its queue id, action, score and symbols.
RSPAMD_TASK = re.compile(r"rspamd_task_write_log.*? qid: <(\w+)>,.*?\(default: \w \(([^)]*)\): "
                         r"\[(-?[\d.]+)/[\d.]+\] \[(.*?)\]\), len: ")


def rspamd_tasks(rspamd):
    """{queue id: (action, score, symbols)} of rspamd's log so far."""
    return {qid: (action, float(score), symbols)
            for qid, action, score, symbols in RSPAMD_TASK.findall(rspamd.log_text())}


def symbol_weights(symbols):
    """{symbol: weight} of a task line's symbols."""
    return {name: float(weight) for name, weight in re.findall(r"(?:^|,)([A-Z0-9_]+)\((-?[\d.]+)\)", symbols)}


def sunk_by_qid(mta, seen):
    """{queue id: relayed copy} of the sink's files not in seen (names,
    updated), by Postfix's own Received: field.  A file is seen only once
    that field is read whole: the sink writes a copy as it comes, and one
    read half-way is read again at the next look."""
    out = {}
    for name in sorted(os.listdir(mta.sink_dir)):
        if name not in seen:
            with open(os.path.join(mta.sink_dir, name), "rb") as f:
                copy = f.read()
            found = re.search(rb"by mta\.tarnwick\.test \(Postfix\) with E?SMTP id (\w+)[;\s]", copy)
            if found:
                seen.add(name)
                out[found.group(1).decode()] = copy
    return out


def verify(mta, files, sides):
    """Each message once through each side of sides ({name: (milters,
    rspamd or None)}), one after the other; returns {name: {message:
    (verdict, score, symbols)}}.  The verdict is "relayed" or the SMTP
    reply's code; rspamd's score and symbols are read from its log line of
    the queue id (None where rspamd did not rate: a message Tarnwick-AV
    refused first, or a side without rspamd); the relayed copies of
    rspamd's milter must carry the same score in X-Spamd-Result (else that
    shows as a symbol of its own)."""
    from harness import wait_until
    out = {}
    seen = set(os.listdir(mta.sink_dir))
    for name, (milters, rspamd) in sides.items():
        switch(mta, milters)
        outcomes = {}
        for message, path, infected in files:
            offset = maillog_size(mta)
            with open(path, "rb") as f:
                text = f.read()
            code, _ = mta.transaction("<alice@example.org>", "<bob@example.net>", text, timeout=120)
            qid = wait_until(lambda: re.findall(r"postfix/smtpd\[\d+\]: (\w+): client=",
                                                maillog_since(mta, offset)), 30, "the queue id")[0]
            outcomes[message] = (qid, "relayed" if code == 250 else "%d" % code, infected)
        if rspamd is None:
            out[name] = {message: (verdict, None, {}) for message, (_, verdict, _) in outcomes.items()}
            continue
        copies = {}
        wanted = {qid for qid, verdict, _ in outcomes.values() if verdict == "relayed"}
        wait_until(lambda: copies.update(sunk_by_qid(mta, seen)) or wanted <= set(copies), 60,
                   "the relayed copies")
        # Tarnwick-AV's refusals may have spared rspamd the rating.
        wanted = {qid for qid, verdict, infected in outcomes.values() if not (name == "rspamd" and infected)}
        try:
            wait_until(lambda: wanted <= set(rspamd_tasks(rspamd)), 30, "rspamd's log lines")
        except AssertionError:
            missing = sorted(wanted - set(rspamd_tasks(rspamd)))
            raise RuntimeError("%s: rspamd logged no rating of %s:\n%s" % (
                name, missing, "\n".join(line for line in (rspamd.log_text() + mta.maillog()).splitlines()
                                         if any(q in line for q in missing[:3]))))
        tasks = rspamd_tasks(rspamd)
        results = {}
        for message, (qid, verdict, _) in outcomes.items():
            rated = tasks.get(qid)
            score, symbols = (rated[1], symbol_weights(rated[2])) if rated else (None, {})
            if verdict == "relayed" and name.startswith("rspamd-"):
                # The relayed copy's score, printed by another formatter
                # than the log line's (3.20 there for 3.19 in the log):
                # it must agree to the last digit's rounding.
                found = re.search(rb"X-Spamd-Result: default: \w+ \[(-?[\d.]+) /", copies[qid])
                if not found or score is None or abs(float(found.group(1)) - score) > 0.0101:
                    symbols = dict(symbols, X_SPAMD_RESULT=float(found.group(1)) if found else None)
            results[message] = (verdict, score, symbols)
        out[name] = results
    return out


def missed(files, results):
    """{side: infected messages it relayed}."""
    return {name: sorted(m for m, _, infected in files if infected and outcome[m][0] == "relayed")
            for name, outcome in results.items()}


def compare_verdicts(files, results, ours, peer):
    """Disagreements (lines) of side ours with side peer on the verdict:
    relayed or refused, the same on every clean message and on every
    infected one the peer refused; every infected message refused by ours."""
    lines = []
    for message, _, infected in files:
        v1, v2 = results[ours][message][0], results[peer][message][0]
        if infected and v1 == "relayed":
            lines.append("%s: infected, relayed by %s" % (message, ours))
        elif (v1 == "relayed") != (v2 == "relayed") and not (infected and v2 == "relayed"):
            lines.append("%s: %s %s, %s %s" % (message, ours, v1, peer, v2))
    return lines


def compare(files, results):
    """(agreeing messages, disagreements as lines) of the rspamd side and
    its peer.  A message Tarnwick-AV refuses is refused before
    Tarnwick-AS's rating counts, and rspamd's milter refuses it with its
    antivirus module's forced action: there the verdicts are compared, not
    the scores.  An infected message the peer lets through is its miss,
    not a disagreement."""
    agree, lines = 0, []
    ours, theirs = results["rspamd"], results["rspamd-whole"]
    for message, _, infected in files:
        (v1, s1, sym1), (v2, s2, sym2) = ours[message], theirs[message]
        if infected and v1 != "relayed" and v2 == "relayed":
            agree += 1
            continue
        same_verdict = (v1 == "relayed") == (v2 == "relayed")
        # rspamd adds the symbols' weights in the order their checks end
        # and its log cuts the sum to two decimals: the same symbols with
        # the same weights may print 1.99 on one side and 2.00 on the other.
        same_score = infected or (s1 is not None and s2 is not None
                                  and (abs(s1 - s2) < 0.005 or (abs(s1 - s2) < 0.0101 and sym1 == sym2)))
        if same_verdict and same_score:
            agree += 1
            continue
        differ = ["%s %s/%s" % (n, sym1.get(n), sym2.get(n)) for n in sorted(set(sym1) | set(sym2))
                  if sym1.get(n) != sym2.get(n)]
        lines.append("%s: rspamd side %s score %s, rspamd-whole %s score %s; symbols that differ %s"
                     % (message, v1, s1, v2, s2, ", ".join(differ) or "none"))
    return agree, lines


def spamd_ratings(log_path):
    """How many messages spamd has rated so far: one result line each."""
    try:
        with open(log_path, "rb") as f:
            return f.read().count(b"spamd: result: ")
    except OSError:
        return 0


def rspamd_ratings(rspamd):
    """How many messages rspamd has rated so far: one task line each."""
    return rspamd.log_text().count("rspamd_task_write_log")


SIDES = ("staggered", "serial", "parallel", "peers", "rspamd", "rspamd-whole", "rspamd-parts")
LABELS = {"staggered": "tarnwick-milter (default, staggered)",
          "serial": "tarnwick-milter --order serial",
          "parallel": "tarnwick-milter --order parallel",
          "peers": "clamav-milter+spamass-milter",
          "rspamd": "tarnwick-milter, quillon-rspamd",
          "rspamd-whole": "rspamd's milter, whole message",
          "rspamd-parts": "rspamd's milter, attachments (ref.)"}


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--bin", default=os.path.join(TOP, "build", "bin"))
    ap.add_argument("--rounds", type=int, default=3, help="rounds per side (3)")
    ap.add_argument("--count", type=int, default=560,
                    help="messages per round of the spamd sides, each message of the corpus as often (560: ten times)")
    ap.add_argument("--rspamd-count", type=int, default=2240,
                    help="messages per round of the rspamd sides, four times faster (2240)")
    ap.add_argument("--senders", type=int, default=8 * (os.cpu_count() or 1),
                    help="SMTP connections at once (8 per CPU: %(default)s here)")
    ap.add_argument("--quillon-temp", choices=("tmpfs", "disk"), default="tmpfs",
                    help="where quillon-clamd's libclamav writes its temporary files (tmpfs: as its unit)")
    ap.add_argument("--peer-temp", choices=("disk", "tmpfs"), default="disk",
                    help="where the peers' clamd writes them (disk: under /tmp, as Debian 12's clamd)")
    ap.add_argument("--queue", choices=("tmpfs", "disk"), default="tmpfs",
                    help="where the host's queue files go (tmpfs: as its unit)")
    args = ap.parse_args()
    os.environ["TARNWICK_BIN"] = os.path.abspath(args.bin)

    why = (harness.postfix_missing() or harness.milter_missing() or harness.real_engines_missing()
           or harness.daemon_missing("quillon-rspamd") or harness.rspamd_missing())
    for prog in ("clamav-milter", "clamd", "spamass-milter", "spamc", "smtp-source"):
        if not shutil.which(prog, path=os.environ.get("PATH", "") + ":/usr/sbin"):
            why = why or "%s not installed" % prog
    if not os.path.isdir(PY_EMAIL_DATA):
        why = why or "%s missing (package libpython3.11-testsuite)" % PY_EMAIL_DATA
    if why:
        print("bench-mta: " + why)
        return 1

    # Private directories on the machine's tmpfs for the temporary files
    # that go to one.
    shm = []
    if "tmpfs" in (args.quillon_temp, args.peer_temp):
        if not os.path.isdir("/dev/shm"):
            print("bench-mta: no tmpfs at /dev/shm for the temporary files")
            return 1
        shm = [tempfile.mkdtemp(prefix="tw-bench-mta-", dir="/dev/shm") for _ in range(2)]
    quillon_temp = {"Tarnwick-AV": ["--temp-dir", shm[0]]} if args.quillon_temp == "tmpfs" else None
    port, rspamd_port = harness.free_tcp_port(), harness.free_tcp_port()
    whole_port, parts_port = harness.free_tcp_port(), harness.free_tcp_port()
    # clamav-milter mails nobody about a virus, nor does rspamd's milter:
    # neither does Tarnwick-AV here, so all sides do the same work.
    quiet = {"Tarnwick-AV": {"NotifyRecipients": "No"}}
    rig = harness.MilterRig(engines="real", socket_spec="inet:%d@127.0.0.1" % port, replace=quiet,
                            engine_args=quillon_temp)
    # Refusing at 90 is refusing at rspamd's reject threshold (engines/README.md).
    rrig = harness.MilterRig(engines="rspamd", socket_spec="inet:%d@127.0.0.1" % rspamd_port, replace=quiet,
                             host_args=["--reject-score", "90"], engine_args=quillon_temp)
    # Each connection sends one message many times over, the refused ones
    # too: Postfix would count every refusal as the client's error, slow
    # the session down after ten and end it after twenty.  A round counts
    # its messages by queue id: Postfix's short ids (the queue file's inode
    # and the microsecond) come again within a round of thousands, its long
    # ones do not.
    mta = harness.PostfixInstance(os.path.join(rig.root, "postfix"), "inet:127.0.0.1:%d" % port,
                                  smtpd_procs=args.senders + 4,
                                  main_cf={"smtpd_soft_error_limit": "100000", "smtpd_hard_error_limit": "100000",
                                           "smtpd_error_sleep_time": "0", "enable_long_queue_ids": "yes"})
    for r in (rig, rrig):
        r.host_args += ["--sendmail", mta.sendmail_command(), "--timeout", "120"]
    peers = rwhole = rparts = None
    modes = ("staggered", "serial", "parallel")
    results = {name: [] for name in SIDES}
    queues = []
    try:
        if args.queue == "tmpfs":
            for r in (rig, rrig):
                queues.append(mount_queue(os.path.join(r.base, "Queue")))
        rig.start()
        rrig.start()
        os.makedirs(os.path.join(rig.root, "peers"))
        peers = Peers(os.path.join(rig.root, "peers"), rig.spamd.socket_path,
                      temp_dir=shm[1] if args.peer_temp == "tmpfs" else None)
        rwhole = harness.RspamdServer(os.path.join(rig.root, "rspamd-whole"), milter_port=whole_port,
                                      clamd_socket=peers.clamd_sock, scan_mime_parts=False).start()
        rparts = harness.RspamdServer(os.path.join(rig.root, "rspamd-parts"), milter_port=parts_port,
                                      clamd_socket=peers.clamd_sock).start()
        mta.start()
        files = corpus(rig.root)
        reps = {name: max(1, (args.rspamd_count if name.startswith("rspamd") else args.count) // len(files))
                for name in SIDES}
        # The processes whose CPU time counts for each side, by part: each
        # a process with its descendants, the host its own threads alone.
        def tree(pids):
            return lambda: cpu_split(pids())

        def tarnwick(r, engine):
            return {"host": lambda: own_cpu(r.proc.pid),
                    "Tarnwick-AV": tree(lambda: filter_pids(r.proc.pid, "Tarnwick-AV")),
                    "Tarnwick-AS": tree(lambda: filter_pids(r.proc.pid, "Tarnwick-AS")),
                    "quillon-clamd": tree(lambda: [r.engines["Tarnwick-AV"].pid]),
                    engine: tree(lambda: [r.engines["Tarnwick-AS"].pid])}
        sides = {name: ("inet:127.0.0.1:%d" % port, tarnwick(rig, "quillon-spamd")) for name in modes}
        sides["peers"] = (peers.milters(), {"clamav-milter": tree(lambda: [peers.clamav_milter.pid]),
                                            "clamd": tree(lambda: [peers.clamd.pid]),
                                            "spamass-milter": tree(lambda: [peers.spamass_milter.pid])})
        sides["rspamd"] = ("inet:127.0.0.1:%d" % rspamd_port, dict(
            tarnwick(rrig, "quillon-rspamd"), rspamd=tree(lambda: [rrig.rspamd.proc.pid])))
        sides["rspamd-whole"] = ("inet:127.0.0.1:%d" % whole_port, {"rspamd": tree(lambda: [rwhole.proc.pid]),
                                                                      "clamd": tree(lambda: [peers.clamd.pid])})
        sides["rspamd-parts"] = ("inet:127.0.0.1:%d" % parts_port, {"rspamd": tree(lambda: [rparts.proc.pid]),
                                                                      "clamd": tree(lambda: [peers.clamd.pid])})

        def cpu_by_part(parts):
            return {part: cpu() for part, cpu in parts.items()}

        # Whose ratings the rated column counts.
        rated_by = {name: (lambda: spamd_ratings(rig.spamd.log_path)) for name in modes + ("peers",)}
        rated_by["rspamd"] = lambda: rspamd_ratings(rrig.rspamd)
        rated_by["rspamd-whole"] = lambda: rspamd_ratings(rwhole)
        rated_by["rspamd-parts"] = lambda: rspamd_ratings(rparts)
        base_args = list(rig.host_args)
        current = ["staggered"]

        def host_mode(name):
            if name in modes and name != current[0]:
                rig.stop()
                rig.host_args = base_args + ["--order", name]
                rig.start()
                current[0] = name

        # The verification pass, untimed; it warms every side up.
        checked = {}
        for name in SIDES:
            host_mode(name)
            rspamd = {"rspamd": rrig.rspamd, "rspamd-whole": rwhole, "rspamd-parts": rparts}.get(name)
            checked.update(verify(mta, files, {name: (sides[name][0], rspamd)}))
        host_mode("staggered")
        agree, disagreements = compare(files, checked)
        print("verification: %d of %d messages with the same verdict and rspamd score on the rspamd side "
              "and rspamd-whole" % (agree, len(files)), flush=True)
        for name in modes:
            disagreements += compare_verdicts(files, checked, name, "peers")
        misses = missed(files, checked)
        for line in disagreements:
            print("  disagreement: " + line, flush=True)
        for name in SIDES:
            if misses[name]:
                print("  %s let through: %s" % (name, ", ".join(misses[name])), flush=True)
        order = list(SIDES)
        for r in range(args.rounds):
            for name in order[r % len(order):] + order[:r % len(order)]:
                host_mode(name)
                milters, parts = sides[name]
                cpu0, spamd0 = cpu_by_part(parts), cpu_seconds([rig.spamd.proc.pid])
                rated0, machine0 = rated_by[name](), machine_times()
                sent, wall, delays, counts = run_round(mta, files, reps[name], milters, args.senders)
                machine1 = machine_times()
                idle = (machine1[0] - machine0[0]) / max(1, machine1[1] - machine0[1])
                split = {part: (user - cpu0[part][0], kernel - cpu0[part][1])
                         for part, (user, kernel) in cpu_by_part(parts).items()}
                cpu = {part: user + kernel for part, (user, kernel) in split.items()}
                spamd = cpu_seconds([rig.spamd.proc.pid]) - spamd0
                # Ratings of refused messages finish in the background: wait
                # for the rating engine to go quiet before counting.
                rated = rated_by[name]()
                while True:
                    time.sleep(1)
                    now = rated_by[name]()
                    if now == rated:
                        break
                    rated = now
                rated -= rated0
                answered = counts["relayed"] + counts["refused"]
                results[name].append({"rate": answered / wall, "p50": percentile(delays, 0.5),
                                      "p99": percentile(delays, 0.99), "cpu": sum(cpu.values()) * 1000 / answered,
                                      "kernel": sum(k for _, k in split.values()) * 1000 / answered,
                                      "idle": idle,
                                      **{"kernel " + part: k * 1000 / answered for part, (_, k) in split.items()},
                                      "spamd": spamd * 1000 / answered, "rated": rated / answered,
                                      "relayed": counts["relayed"],
                                      **{"cpu " + part: seconds * 1000 / answered for part, seconds in cpu.items()},
                                      "rejected": counts["refused"], "sent": sent})
                print("round %d %-13s %4d sent, %4d relayed, %3d refused, %6.1f msgs/s, %d rated, idle %.0f %%" % (
                    r + 1, name, sent, counts["relayed"], counts["refused"], answered / wall, rated, idle * 100),
                    flush=True)
    finally:
        mta.stop()
        for r in (rwhole, rparts):
            if r:
                r.stop()
        if peers:
            peers.stop()
        rrig.stop()
        rig.stop()
        for queue in queues:
            subprocess.run(["umount", queue], check=False)
        rrig.cleanup()
        rig.cleanup()
        for directory in shm:
            shutil.rmtree(directory, ignore_errors=True)

    med = {name: {k: statistics.median(x[k] for x in rows) for k in rows[0]} for name, rows in results.items()}
    print()
    print("%d senders, %d CPUs, load at the end: %s" % (args.senders, os.cpu_count() or 1,
                                                        open("/proc/loadavg").read().strip()))
    print("temporary files: quillon-clamd's on %s, the peers' clamd's on %s; the host's queue files on %s"
          % (args.quillon_temp, args.peer_temp, args.queue))
    print("%-37s %8s %7s %7s %16s %10s %6s %5s %6s" % ("side (medians)", "msgs/s", "p50 ms", "p99 ms",
                                                       "cpu/msg (kernel)", "spamd/msg", "rated", "idle",
                                                       "missed"))
    for name in SIDES:
        m = med[name]
        spamd = "%8.1fms" % m["spamd"] if name in modes + ("peers",) else "%10s" % "-"
        print("%-37s %8.1f %7.0f %7.0f %7.1fms (%4.1f) %s %6.3f %4.0f%% %6d" % (
            LABELS[name], m["rate"], m["p50"], m["p99"], m["cpu"], m["kernel"], spamd, m["rated"],
            m["idle"] * 100, len(misses[name])))
    for name in SIDES:
        print("cpu/msg of %s: %s" % (LABELS[name], ", ".join(
            "%s %.2f ms (%.2f)" % (key[4:], value, med[name]["kernel " + key[4:]])
            for key, value in med[name].items() if key.startswith("cpu "))))
    # The default order has a goal; the others are there to compare with it.
    for name in modes:
        ratio = med[name]["rate"] / med["peers"]["rate"]
        print("throughput ratio %s/peers: %.2f%s" % (
            LABELS[name], ratio, " (goal: at least 1.30) %s" % ("met" if ratio >= 1.3 else "NOT met")
            if name == modes[0] else ""))
    ratio = med["rspamd"]["rate"] / med["peers"]["rate"]
    print("throughput ratio rspamd side/peers (spamass chain): %.2f (goal: at least 3.00) %s"
          % (ratio, "met" if ratio >= 3 else "NOT met"))
    ratio = med["rspamd"]["rate"] / med["rspamd-whole"]["rate"]
    cpu = med["rspamd"]["cpu"] / med["rspamd-whole"]["cpu"]
    print("rspamd side/rspamd-whole: throughput %.2f (goal: at least 1.00), CPU per message %.2f "
          "(goal: at most 1.00) %s" % (ratio, cpu, "met" if ratio >= 1 and cpu <= 1 else "NOT met"))
    print("verification: %d of %d agree, %d disagreements%s" % (
        agree, len(files), len(disagreements), " (the run fails)" if disagreements else ""))
    return 1 if disagreements else 0


if __name__ == "__main__":
    sys.exit(main())
