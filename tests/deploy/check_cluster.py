#!/usr/bin/python3
"""make check-cluster: a site of two mail hosts, a shared engine tier of two
hosts and one Prometheus, with an engine host cut off and brought back.
Root only; not part of make test.

Each host is a network namespace of this check's own (ip netns), with its
loopback and one address in 198.18.41.0/24 (the range set aside for
benchmarking networks, routed nowhere) on a veth link to a bridge that
lives in a namespace of its own, the switch; nothing is added to the
machine's own network and no other address is ever used:

    mta1, mta2   Postfix (a private instance each: own configuration,
                 queue, smtp-sink as the next hop), tarnwick-milter with
                 both filters, quillon-clamd (--clamd tcp:eng1:3310
                 --clamd tcp:eng2:3310), quillon-spamd (--spamd
                 eng1:783,eng2:783), prometheus-node-exporter whose textfile
                 collector reads what tarnwick-stats makes of the host's
                 figures (every 2 s here; its timer runs it every minute)
    eng1, eng2   ClamAV's clamd on the test signatures, SpamAssassin's spamd
    mon          Prometheus scraping both node-exporters every second, with
                 the alerting rules the package ships loaded
    client       sends the mail

The programs are those of the build tree (a plain build): what the suite
tested, without a package install and its dpkg lock; make check-deploy
covers the package.  Each host's daemons are started by this script run as
an agent inside the namespace (--agent), which stops them on SIGTERM.

A stream of mail (clean, EICAR, GTUBE; one message a second to each mail
host, at most MAX_MESSAGES each) goes to both mail hosts.  Partway, eng1's
link is taken down on the switch (its packets are dropped: a host that
vanished, not one that refuses), and brought up again once every pool has
left it out and the survivors have served mail alone.  The check passes
when every message got its earned answer (clean and spam accepted and
delivered rated, viruses refused; none deferred, none unrated, none lost),
every pool left eng1 out within its documented time and took it back,
eng1's own clamd and spamd logged requests after its return, and one
PromQL query on mon sums both hosts' messages to the count sent.  The
namespaces are deleted at the end, whatever happened."""

import argparse
import atexit
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import urllib.request

import harness

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))

NET = "198.18.41"
HOSTS = {"mta1": 11, "mta2": 12, "eng1": 21, "eng2": 22, "mon": 30, "client": 40}
MTAS, ENGINES = ("mta1", "mta2"), ("eng1", "eng2")
CUT = "eng1"
CLAMD_PORT, SPAMD_PORT, NODE_PORT, PROM_PORT = 3310, 783, 9100, 9090
RULES = os.path.join(REPO, "packaging", "prometheus", "tarnwick-rules.yml")
# The stream: one message per INTERVAL to each mail host, at most
# MAX_MESSAGES each.
INTERVAL = 1.0
MAX_MESSAGES = 70
# The engine daemons' limits, and from them the documented time in which a
# pool leaves out a member whose packets are dropped: quillon-clamd waits
# --max-scan-time and 30 s for a member's reply (2 s for a connection);
# quillon-spamd gives the first of two members half of --timeout.
MAX_SCAN_MS = 5000
SPAMD_TIMEOUT = 20
LEAVE_OUT = {"quillon-clamd": MAX_SCAN_MS / 1000 + 30, "quillon-spamd": SPAMD_TIMEOUT / 2}
# A member is asked again once a second and taken back when it answers.
TAKE_BACK = 1.0
# A member is met only when the turn comes to it: two messages at most.
TURN = 2 * INTERVAL
EICAR = harness.eicar()
GTUBE = harness.gtube()
KINDS = ("clean", "clean", "virus", "clean", "spam")


def say(text):
    print("check-cluster: %s" % text, flush=True)


def address(host):
    return "%s.%d" % (NET, HOSTS[host])


# -- the agents: one per host, inside its namespace ---------------------------

class ClusterRig(harness.MilterRig):
    """The mail host's filters on pools of the engine hosts' daemons, the
    host's figures in the filters' program directory, where tarnwick-stats
    looks for them (as the package lays it out)."""

    def __init__(self, **kw):
        super().__init__(**kw)
        # Postfix's daemons (user postfix) reach their queue through it.
        os.chmod(self.root, 0o755)
        self.figures = os.path.join(self.program_dir("Tarnwick-AV"), "tarnwick-milter.prom")

    def engine_argv(self, program, sock):
        bin_dir = harness.default_bin_dir()
        if program == "Tarnwick-AV":
            argv = [os.path.join(bin_dir, "quillon-clamd"), "--socket", sock, "--workers", "4",
                    "--max-scan-time", str(MAX_SCAN_MS)]
            for host in ENGINES:
                argv += ["--clamd", "tcp:%s:%d" % (address(host), CLAMD_PORT)]
            return argv
        return [os.path.join(bin_dir, "quillon-spamd"), "--socket", sock, "--workers", "4",
                "--timeout", str(SPAMD_TIMEOUT),
                "--spamd", ",".join("%s:%d" % (address(h), SPAMD_PORT) for h in ENGINES)]


def clamd_pings(host):
    def ping():
        try:
            with socket.create_connection((address(host), CLAMD_PORT), timeout=2) as s:
                s.sendall(b"zPING\0")
                return s.recv(100).startswith(b"PONG")
        except OSError:
            return False
    return ping


def http_ok(url):
    try:
        with urllib.request.urlopen(url, timeout=2) as r:
            return r.status == 200
    except OSError:
        return False


def agent_engine(host, directory, stops):
    clamd = harness.ClamdServer(os.path.join(directory, "clamd"), harness.clamav_test_db(),
                                "TCPSocket %d\nTCPAddr %s" % (CLAMD_PORT, address(host)), threads=4)
    stops.append(clamd.stop)
    clamd.start(clamd_pings(host))
    os.makedirs(os.path.join(directory, "spamd"))
    spamd = harness.SpamdServer(os.path.join(directory, "spamd"), children=4,
                                listen="%s:%d" % (address(host), SPAMD_PORT), allowed=NET + ".0/24")
    stops.append(spamd.stop)
    spamd.start(timeout=240)
    return {"clamd_log": clamd.log, "spamd_log": spamd.log_path}


def agent_mta(host, directory, stops):
    textfile = os.path.join(directory, "textfile")
    os.makedirs(textfile)
    rig, mta = harness.milter_behind_postfix(
        rig_class=ClusterRig, engines="cluster", shared_dir=True,
        host_args=["--figures-every", "1"],
        postfix_args={"smtp_address": address(host), "smtp_port": 25},
        main_cf={"myhostname": host + ".tarnwick.test", "inet_interfaces": "127.0.0.1, " + address(host),
                 "mynetworks": "127.0.0.0/8, %s.0/24" % NET})
    stops.append(rig.cleanup)
    stops.append(mta.stop)
    progdir = rig.program_dir("Tarnwick-AV")
    node = subprocess.Popen(["prometheus-node-exporter", "--web.listen-address=%s:%d" % (address(host), NODE_PORT),
                             "--collector.textfile.directory=" + textfile],
                            stdout=subprocess.DEVNULL, stderr=open(os.path.join(directory, "node.log"), "ab"))
    stops.append(lambda: harness.stop_process(node, grace=5.0))
    harness.wait_until(lambda: http_ok("http://%s:%d/metrics" % (address(host), NODE_PORT)), 30,
                       "node-exporter")
    stats = [os.path.join(harness.default_bin_dir(), "tarnwick-stats"), "--dir", progdir,
             "--textfile", os.path.join(textfile, "tarnwick.prom")]

    def exporter():
        while True:
            subprocess.run(stats, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(2)
    threading.Thread(target=exporter, daemon=True).start()
    return {"host_log": rig.log_path, "root": rig.root, "sink": mta.sink_dir, "conf": mta.conf,
            "clamd_pool_log": os.path.join(rig.root, "Tarnwick-AV.engine.log"),
            "spamd_pool_log": os.path.join(rig.root, "Tarnwick-AS.engine.log")}


PROMETHEUS_YML = """\
global:
  scrape_interval: 1s
  evaluation_interval: 1s
rule_files:
  - %(rules)s
scrape_configs:
  - job_name: node
    static_configs:
      - targets: [%(targets)s]
"""


def agent_mon(host, directory, stops):
    conf = os.path.join(directory, "prometheus.yml")
    with open(conf, "w") as f:
        f.write(PROMETHEUS_YML % {"rules": RULES, "targets": ", ".join(
            "'%s:%d'" % (address(h), NODE_PORT) for h in MTAS)})
    prom = subprocess.Popen(["prometheus", "--config.file=" + conf,
                             "--storage.tsdb.path=" + os.path.join(directory, "data"),
                             "--web.listen-address=%s:%d" % (address(host), PROM_PORT)],
                            stdout=subprocess.DEVNULL,
                            stderr=open(os.path.join(directory, "prometheus.log"), "ab"))
    stops.append(lambda: harness.stop_process(prom, grace=10.0))
    harness.wait_until(lambda: http_ok("http://%s:%d/-/ready" % (address(host), PROM_PORT)), 60,
                       "Prometheus ready")
    return {"log": os.path.join(directory, "prometheus.log")}


def agent(host, directory):
    """Starts the host's daemons, writes ready.json, waits for SIGTERM and
    stops them in reverse order."""
    stops = []
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    try:
        role = {"mta": agent_mta, "eng": agent_engine, "mon": agent_mon}[host[:3]]
        info = role(host, directory, stops)
        with open(os.path.join(directory, "ready.tmp"), "w") as f:
            json.dump(info, f)
        os.rename(os.path.join(directory, "ready.tmp"), os.path.join(directory, "ready.json"))
        while True:
            time.sleep(3600)
    finally:
        for stop in reversed(stops):
            try:
                stop()
            except Exception as e:  # the others are stopped all the same
                print("%s: stopping: %s" % (host, e), file=sys.stderr)


# -- the client: the stream of mail and the query -----------------------------

def mail(host, n, kind):
    body = {"clean": "An ordinary message, number %d." % n, "virus": EICAR, "spam": GTUBE}[kind]
    mid = "<%s-%d-%s@client.tarnwick.test>" % (host, n, kind)
    text = ("From: bob@client.tarnwick.test\r\nTo: alice@example.net\r\nSubject: %s %d %s\r\n"
            "Message-ID: %s\r\n\r\n%s\r\n" % (host, n, kind, mid, body))
    return mid, text.encode()


def send_one(host, n, kind, out, lock):
    mid, text = mail(host, n, kind)
    sent = time.time()
    code, reply = harness.smtp_send(25, "bob@client.tarnwick.test", ["alice@example.net"], text,
                                    host=address(host), timeout=180)
    with lock:
        out.write(json.dumps({"host": host, "n": n, "kind": kind, "id": mid, "sent": sent,
                              "answered": time.time(), "code": code, "reply": reply}) + "\n")
        out.flush()


def client_send(results, stop_file):
    """One message per INTERVAL to each mail host, each in a thread of its
    own (a message held by a vanished engine holds no other), until
    stop_file exists or MAX_MESSAGES each are sent."""
    lock, threads = threading.Lock(), []
    with open(results, "a") as out:
        start = time.monotonic()
        for n in range(MAX_MESSAGES):
            if os.path.exists(stop_file):
                break
            time.sleep(max(0.0, start + n * INTERVAL - time.monotonic()))
            for host in MTAS:
                t = threading.Thread(target=send_one, args=(host, n, KINDS[n % len(KINDS)], out, lock))
                t.start()
                threads.append(t)
        for t in threads:
            t.join()


def client_query(query):
    url = "http://%s:%d/api/v1/query?%s" % (address("mon"), PROM_PORT,
                                            urllib.parse.urlencode({"query": query}))
    with urllib.request.urlopen(url, timeout=10) as r:
        print(r.read().decode())


# -- the driver -----------------------------------------------------------------

def run(argv, **kw):
    kw.setdefault("check", True)
    kw.setdefault("stdout", subprocess.DEVNULL)
    return subprocess.run(argv, **kw)


def lines_matching(path, pattern):
    try:
        with open(path, errors="replace") as f:
            return [line for line in f if re.search(pattern, line)]
    except FileNotFoundError:
        return []


class Cluster:
    def __init__(self, bin_dir, keep):
        self.tag = "twc%d" % (os.getpid() % 100000)
        self.dir = tempfile.mkdtemp(prefix="tarnwick-cluster-", dir="/tmp")
        os.chmod(self.dir, 0o755)
        self.bin_dir, self.keep = bin_dir, keep
        self.namespaces, self.agents, self.info = [], {}, {}
        self.conf_dirs = []
        self.torn_down = False
        self.made_etc_netns = not os.path.exists("/etc/netns")

    def ns(self, host):
        return "%s-%s" % (self.tag, host)

    def exec_in(self, host):
        return ["ip", "netns", "exec", self.ns(host)]

    def make_network(self):
        switch = self.ns("sw")
        run(["ip", "netns", "add", switch])
        self.namespaces.append(switch)
        run(["ip", "-n", switch, "link", "set", "lo", "up"])
        run(["ip", "-n", switch, "link", "add", "br0", "type", "bridge"])
        run(["ip", "-n", switch, "link", "set", "br0", "up"])
        for host in HOSTS:
            run(["ip", "netns", "add", self.ns(host)])
            self.namespaces.append(self.ns(host))
            # ip netns exec puts these over /etc/hosts and /etc/resolv.conf:
            # the hosts know each other by name, and a DNS question (spamd
            # asks for its client's name) is refused at once instead of
            # waiting for a resolver that is out of reach.
            etc = os.path.join("/etc/netns", self.ns(host))
            os.makedirs(etc)
            with open(os.path.join(etc, "hosts"), "w") as f:
                f.write("127.0.0.1 localhost\n" + "".join(
                    "%s %s.tarnwick.test %s\n" % (address(h), h, h) for h in HOSTS))
            with open(os.path.join(etc, "resolv.conf"), "w") as f:
                f.write("nameserver 127.0.0.1\noptions timeout:1 attempts:1\n")
            run(["ip", "link", "add", "p-" + host, "netns", switch, "type", "veth",
                 "peer", "name", "eth0", "netns", self.ns(host)])
            run(["ip", "-n", switch, "link", "set", "p-" + host, "master", "br0", "up"])
            run(["ip", "-n", self.ns(host), "addr", "add", address(host) + "/24", "dev", "eth0"])
            run(["ip", "-n", self.ns(host), "link", "set", "eth0", "up"])
            run(["ip", "-n", self.ns(host), "link", "set", "lo", "up"])
        say("network: %s" % ", ".join("%s %s" % (h, address(h)) for h in HOSTS))

    def link(self, host, state):
        run(["ip", "-n", self.ns("sw"), "link", "set", "p-" + host, state])

    def start_agent(self, host):
        directory = os.path.join(self.dir, host)
        os.makedirs(directory)
        os.chmod(directory, 0o755)
        env = dict(os.environ, PYTHONPATH=os.path.join(REPO, "sim"), PYTHONDONTWRITEBYTECODE="1",
                   TARNWICK_BIN=self.bin_dir)
        if self.keep:
            env["TARNWICK_KEEP"] = "1"
        log = open(os.path.join(directory, "agent.log"), "ab")
        self.agents[host] = subprocess.Popen(
            self.exec_in(host) + [sys.executable, os.path.abspath(__file__), "--agent", host, directory],
            stdin=subprocess.DEVNULL, stdout=log, stderr=log, env=env, start_new_session=True)

    def wait_ready(self, host, timeout):
        path = os.path.join(self.dir, host, "ready.json")
        deadline = time.monotonic() + timeout
        while not os.path.exists(path):
            if self.agents[host].poll() is not None or time.monotonic() > deadline:
                raise SystemExit("%s did not start; its log:\n%s" % (host, self.agent_log(host)))
            time.sleep(0.2)
        with open(path) as f:
            self.info[host] = json.load(f)
        if host in MTAS:
            self.conf_dirs.append(self.info[host]["conf"])

    def agent_log(self, host):
        try:
            with open(os.path.join(self.dir, host, "agent.log"), errors="replace") as f:
                return f.read()[-4000:]
        except OSError:
            return ""

    def client(self, *args, **kw):
        env = dict(os.environ, PYTHONPATH=os.path.join(REPO, "sim"), PYTHONDONTWRITEBYTECODE="1")
        return self.exec_in("client") + [sys.executable, os.path.abspath(__file__)] + list(args), env

    def teardown(self):
        if self.torn_down:
            return
        self.torn_down = True
        # The hosts in the reverse order of their start.
        for host in reversed(list(self.agents)):
            harness.stop_process(self.agents[host], grace=90, group=True)
        for name in self.namespaces:
            # Whatever is left in our namespaces is ours (spamd's children,
            # a Postfix master): ended before the namespace goes.
            pids = subprocess.run(["ip", "netns", "pids", name], capture_output=True, text=True).stdout.split()
            for pid in pids:
                try:
                    os.kill(int(pid), signal.SIGKILL)
                except (OSError, ValueError):
                    pass
            subprocess.run(["ip", "netns", "del", name])
            shutil.rmtree(os.path.join("/etc/netns", name), ignore_errors=True)
        if self.made_etc_netns:
            try:
                os.rmdir("/etc/netns")
            except OSError:
                pass
        self.forget_conf_dirs()
        if self.keep:
            say("files kept in %s" % self.dir)
        else:
            shutil.rmtree(self.dir, ignore_errors=True)

    def forget_conf_dirs(self):
        """Takes our Postfix configuration directories out of the default
        main.cf where an agent that was killed left them."""
        current = subprocess.run(["postconf", "-h", "alternate_config_directories"],
                                 capture_output=True, text=True).stdout.strip()
        kept = [d for d in re.split(r"[\s,]+", current)
                if d and d not in self.conf_dirs and os.path.isdir(d)]
        if kept != [d for d in re.split(r"[\s,]+", current) if d]:
            subprocess.run(["postconf", "-e", "alternate_config_directories = " + ", ".join(kept)])


def wait_for(what, test, timeout, detail=None):
    """Until test() is true, at most timeout seconds; detail() says what
    was missing."""
    deadline = time.monotonic() + timeout
    while True:
        value = test()
        if value:
            return value
        if time.monotonic() > deadline:
            raise SystemExit("no %s within %.0f s%s" % (what, timeout, ": " + detail() if detail else ""))
        time.sleep(0.1)


def watch_pools(cluster, kind, since, timeout):
    """Waits until every pool of every mail host has said kind ("away" or
    "back") of the cut host; returns {daemon: seconds from since until the
    last mail host's pool said so}."""
    seen = {}

    def all_seen():
        for key in pool_events(cluster, kind):
            seen.setdefault(key, time.monotonic() - since)
        return len(seen) == len(MTAS) * len(POOLS)
    wait_for("every pool saying %s is %s" % (CUT, kind), all_seen, timeout,
             lambda: "missing " + ", ".join("%s on %s" % (d, h) for h in MTAS for d, *_ in POOLS
                                            if (h, d) not in seen))
    return {daemon: max(t for (h, d), t in seen.items() if d == daemon) for daemon, *_ in POOLS}


def read_results(path):
    try:
        with open(path) as f:
            return [json.loads(line) for line in f if line.strip()]
    except FileNotFoundError:
        return []


POOLS = (("quillon-clamd", "clamd_pool_log", r"clamd tcp:%s:%d is down", r"clamd tcp:%s:%d answers again",
          CLAMD_PORT),
         ("quillon-spamd", "spamd_pool_log", r"spamd at %s:%d is away", r"spamd at %s:%d is back",
          SPAMD_PORT))


def pool_events(cluster, kind):
    """{(mta, daemon): True} for every pool whose log has the line of kind
    ("away" or "back") about the cut host."""
    seen = {}
    for host in MTAS:
        for daemon, log, away, back, port in POOLS:
            pattern = (away if kind == "away" else back) % (re.escape(address(CUT)), port)
            if lines_matching(cluster.info[host][log], pattern):
                seen[(host, daemon)] = True
    return seen


def engine_requests(cluster):
    """The cut host's own counts: scans in clamd's log, results in spamd's."""
    info = cluster.info[CUT]
    return (len(lines_matching(info["clamd_log"], r"stream\S*: ")),
            len(lines_matching(info["spamd_log"], r"spamd: result: ")))


def sunk_messages(cluster):
    out = {}
    for host in MTAS:
        sink = cluster.info[host]["sink"]
        for name in sorted(os.listdir(sink)):
            with open(os.path.join(sink, name), "rb") as f:
                text = f.read().decode(errors="replace")
            head = re.split(r"\r?\n\r?\n", text, 1)[0]
            m = re.search(r"(?mi)^Message-ID: (<[^>]*>)", head)
            out.setdefault(m.group(1) if m else name, []).append((host, text))
    return out


def earned(results, sunk, cluster):
    """What is wrong with the answers and the deliveries."""
    problems = []
    for r in results:
        want = 550 if r["kind"] == "virus" else 250
        if r["code"] != want:
            problems.append("%s: answered %s %s, earned %d" % (r["id"], r["code"], r["reply"], want))
        copies = [t for h, t in sunk.get(r["id"], []) if "X-Tarnwick: notification" not in t]
        if r["kind"] == "virus":
            if copies:
                problems.append("%s: the virus was delivered" % r["id"])
            continue
        if r["code"] == 250 and len(copies) != 1:
            problems.append("%s: accepted, delivered %d times" % (r["id"], len(copies)))
        elif copies:
            score = re.search(r"(?m)^X-Junk-Score: +(\d+)", copies[0])
            if not score or (r["kind"] == "spam") != (score.group(1) == "100"):
                problems.append("%s: delivered without its rating: %s" % (r["id"], copies[0][:600]))
    for mid, copies in sunk.items():
        for host, text in copies:
            if EICAR in text and "X-Tarnwick: notification" not in text:
                problems.append("%s on %s: a message with the virus delivered" % (mid, host))
    for host in MTAS:
        failures = lines_matching(cluster.info[host]["host_log"], r"\(filter failure\)|not rated")
        problems += ["%s: %s" % (host, line.strip()) for line in failures[:5]]
    return problems


def promql(cluster, query):
    argv, env = cluster.client("--query", query)
    done = subprocess.run(argv, env=env, capture_output=True, text=True, timeout=30)
    if done.returncode != 0:
        return None
    result = json.loads(done.stdout)["data"]["result"]
    return float(result[0]["value"][1]) if result else None


def drive(cluster):
    started = time.monotonic()
    cluster.make_network()
    for host in ENGINES + ("mon",):
        cluster.start_agent(host)
    for host in ENGINES + ("mon",):
        cluster.wait_ready(host, 300)
    say("engine hosts and monitoring up (%.0f s)" % (time.monotonic() - started))
    # One mail host after the other, so that each Postfix finds the
    # main.cf the one before left and puts it back at its stop.
    for host in MTAS:
        cluster.start_agent(host)
        cluster.wait_ready(host, 120)
    say("mail hosts up (%.0f s)" % (time.monotonic() - started))

    results = os.path.join(cluster.dir, "results.jsonl")
    stop_file = os.path.join(cluster.dir, "stop")
    argv, env = cluster.client("--send", results, stop_file)
    sender = subprocess.Popen(argv, env=env)
    answered = lambda: len(read_results(results))  # noqa: E731
    figures = {}
    try:
        wait_for("first answers", lambda: answered() >= 8, 120)
        cluster.link(CUT, "down")
        cut, figures["cut at"] = time.monotonic(), time.time()
        say("%s cut off after %d answers" % (CUT, answered()))
        figures["fail over"] = watch_pools(cluster, "away", cut, max(LEAVE_OUT.values()) + TURN + 5)
        # The survivors alone for a few messages more.
        mark = answered()
        wait_for("answers while %s is away" % CUT, lambda: answered() >= mark + 8, 60)
        cluster.link(CUT, "up")
        up, figures["up at"] = time.monotonic(), time.time()
        say("%s back after %.1f s away" % (CUT, up - cut))
        figures["back"] = watch_pools(cluster, "back", up, TAKE_BACK + 10)
        # Counted from the pools' own word that it answers: a retransmission
        # of a request sent before the cut counts for nothing.
        before = engine_requests(cluster)
        wait_for("requests on %s's own clamd and spamd" % CUT,
                 lambda: all(a > b for a, b in zip(engine_requests(cluster), before)), 30)
        figures["used again"] = time.monotonic() - up
        figures["requests after return"] = [a - b for a, b in zip(engine_requests(cluster), before)]
    finally:
        open(stop_file, "w").close()
        sender.wait(timeout=300)
    sent = read_results(results)
    accepted = [r for r in sent if r["code"] == 250]
    # Every accepted message delivered (smtp-sink), or the check says which not.
    try:
        wait_for("every accepted message delivered",
                 lambda: all(r["id"] in sunk_messages(cluster) for r in accepted), 60)
    except SystemExit as e:
        say(str(e))
    problems = earned(sent, sunk_messages(cluster), cluster)
    query = "sum(tarnwick_milter_messages_total)"
    try:
        total = wait_for("the PromQL sum at %d" % len(sent),
                         lambda: promql(cluster, query) == len(sent), 60)
        summed = len(sent) if total else None
    except SystemExit:
        summed = promql(cluster, query)
        problems.append("%s on mon is %s, %d messages were sent" % (query, summed, len(sent)))
    by_host = {h: promql(cluster, 'sum(tarnwick_milter_messages_total{instance="%s:%d"})'
                         % (address(h), NODE_PORT)) for h in MTAS}
    # Documented: a pool leaves a member out within its limit once the
    # turn comes to it, and takes it back at its next probe.
    limit = {"fail over": {d: LEAVE_OUT[d] + TURN for d in LEAVE_OUT},
             "back": {d: TAKE_BACK + 2 for d in LEAVE_OUT}}
    for name in limit:
        for daemon, bound in limit[name].items():
            if figures[name][daemon] > bound:
                problems.append("%s: %s took %.1f s, documented at most %.1f s"
                                % (daemon, name, figures[name][daemon], bound))
    table(sent, sunk_messages(cluster), by_host, summed, figures, limit)
    say("took %.0f s" % (time.monotonic() - started))
    return problems


def table(sent, sunk, by_host, summed, figures, limit):
    def count(host, test):
        return sum(1 for r in sent if (host is None or r["host"] == host) and test(r))
    rows = [("messages sent", lambda r: True),
            ("  clean", lambda r: r["kind"] == "clean"),
            ("  infected (EICAR)", lambda r: r["kind"] == "virus"),
            ("  spam (GTUBE)", lambda r: r["kind"] == "spam"),
            ("answered 250", lambda r: r["code"] == 250),
            ("answered 550", lambda r: r["code"] == 550),
            ("answered otherwise", lambda r: r["code"] not in (250, 550)),
            ("delivered", lambda r: r["id"] in sunk)]
    print("\n%-28s %8s %8s %8s" % ("", "mta1", "mta2", "total"))
    for label, test in rows:
        print("%-28s %8d %8d %8d" % (label, count("mta1", test), count("mta2", test), count(None, test)))
    print("%-28s %8s %8s %8s" % ("PromQL sum on mon", *("%.0f" % v if v is not None else "-"
                                                         for v in (by_host["mta1"], by_host["mta2"], summed))))
    phases = (("before the cut", lambda r: r["sent"] < figures["cut at"]),
              ("while eng1 was away", lambda r: figures["cut at"] <= r["sent"] < figures["up at"]),
              ("after its return", lambda r: r["sent"] >= figures["up at"]))
    for label, test in phases:
        took = sorted(r["answered"] - r["sent"] for r in sent if test(r))
        if took:
            print("%-28s %8d msgs, answer median %.2f s, max %.2f s"
                  % ("sent " + label, len(took), took[len(took) // 2], took[-1]))
    for name in ("fail over", "back"):
        for daemon in LEAVE_OUT:
            print("%-36s %5.1f s (documented at most %.1f s)"
                  % ("seconds %s, %s" % ("to fail over" if name == "fail over" else "back", daemon),
                     figures[name][daemon], limit[name][daemon]))
    print("%-36s %5.1f s (%d scans, %d ratings)" % ("eng1 serving again after", figures["used again"],
                                                    *figures["requests after return"]))
    print()


def missing():
    for prog in ("ip", "postfix", "smtp-sink", "clamd", "spamd", "prometheus", "prometheus-node-exporter",
                 "postconf"):
        if not shutil.which(prog, path="/usr/sbin:/usr/bin:/sbin:/bin"):
            return "%s is not installed" % prog
    return harness.milter_missing() or harness.real_engines_missing()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bin", default=os.path.join(REPO, "build", "bin"), help="the build tree's programs")
    parser.add_argument("--keep", action="store_true", help="keep the hosts' files (not the namespaces)")
    parser.add_argument("--agent", nargs=2, metavar=("HOST", "DIR"), help=argparse.SUPPRESS)
    parser.add_argument("--send", nargs=2, metavar=("RESULTS", "STOP"), help=argparse.SUPPRESS)
    parser.add_argument("--query", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.agent:
        return agent(*args.agent)
    if args.send:
        return client_send(*args.send)
    if args.query:
        return client_query(args.query)
    if os.geteuid() != 0:
        raise SystemExit("check-cluster needs root (network namespaces, Postfix instances)")
    os.environ["TARNWICK_BIN"] = os.path.abspath(args.bin)
    why = missing()
    if why:
        raise SystemExit("check-cluster cannot run: " + why)
    cluster = Cluster(os.path.abspath(args.bin), args.keep)
    atexit.register(cluster.teardown)
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, lambda signum, _: sys.exit(128 + signum))
    try:
        problems = drive(cluster)
    except BaseException:
        for host in cluster.agents:
            log = cluster.agent_log(host)
            if log.strip():
                print("--- %s\n%s" % (host, log))
        raise
    finally:
        cluster.teardown()
    if problems:
        raise SystemExit("check-cluster FAILED:\n  " + "\n  ".join(problems[:40]))
    say("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
