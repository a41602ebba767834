"""The engine daemons under engines/, which put ClamAV and SpamAssassin
behind the engine wire protocol.  They replace the simulators wherever a
test or the demonstration wants a real scanner: quillon-clamd scans with
libclamav (the test database of engines/testdb knows only the anti-virus
test string), quillon-spamd asks a SpamAssassin spamd, which SpamdServer
starts; quillon-rspamd asks an rspamd, which RspamdServer starts."""

import os
import re
import shutil
import signal
import socket
import subprocess
import threading
import time
import unittest

from .base import REPO_DIR, default_bin_dir, scaled, stop_process, to_text

REAL_ENGINES = {"Tarnwick-AV": "quillon-clamd", "Tarnwick-AS": "quillon-spamd"}
DAEMONS = ("quillon-clamd", "quillon-spamd", "quillon-rspamd")


def clamav_test_db():
    """The signature directory with the one test signature (Tarnwick.Test.EICAR)."""
    return os.path.join(REPO_DIR, "engines", "testdb")


def find_spamd():
    """Path of SpamAssassin's spamd (package spamassassin), or None."""
    return shutil.which("spamd") or shutil.which("spamd", path="/usr/sbin:/usr/local/sbin")


def find_rspamd():
    """Path of rspamd (package rspamd), or None."""
    return shutil.which("rspamd") or shutil.which("rspamd", path="/usr/bin:/usr/sbin")


def rspamd_missing():
    return None if find_rspamd() else "rspamd (package rspamd) not installed"


def daemon_missing(kind):
    """Why the engine daemon kind cannot run here, or None."""
    if os.access(os.path.join(default_bin_dir(), kind), os.X_OK):
        return None
    if kind == "quillon-clamd":
        return "quillon-clamd not built (libclamav-dev and pkg-config missing at build time)"
    if kind == "quillon-rspamd":
        return "quillon-rspamd not built (nlohmann-json3-dev missing at build time)"
    return "%s not built" % kind


def spamd_missing():
    return None if find_spamd() else "spamd (package spamassassin) not installed"


def skip_without(*kinds):
    """Skips a test class unless every daemon of kinds (and, for
    quillon-spamd, SpamAssassin's spamd) is there to run."""
    reasons = [daemon_missing(kind) for kind in kinds]
    if "quillon-spamd" in kinds:
        reasons.append(spamd_missing())
    if "quillon-rspamd" in kinds:
        reasons.append(rspamd_missing())
    reasons = [reason for reason in reasons if reason]
    return unittest.skipIf(bool(reasons), "; ".join(reasons))


def start_daemon(kind, directory, args, name=None):
    """A running engine daemon on <directory>/<name>.sock, its log beside it."""
    socket_path = os.path.join(directory, (name or kind) + ".sock")
    return EngineDaemon(kind, socket_path, default_bin_dir(), args,
                        stderr_path=os.path.join(directory, (name or kind) + ".log")).start()


def free_tcp_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class PeerDaemon:
    """What the tests' spamd and rspamd share: the daemon runs in the
    foreground with its output appended to a file, is ready once it answers
    its ping on socket_path, and is stopped with its children.  A subclass
    sets NAME and PACKAGE (for the messages), PING (the request) and PONG
    (what the answer holds), and socket_path, log_path and program."""

    NAME = PACKAGE = PING = PONG = None
    proc = None

    def _check_installed(self):
        if self.program is None:
            raise RuntimeError("%s (package %s) is not installed" % (self.NAME, self.PACKAGE))

    def _launch(self, argv, out_path, timeout):
        """Starts argv and waits until it answers, at most timeout (scaled)."""
        with open(out_path, "ab") as out:
            self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + scaled(timeout)
        while not self.ping():
            if self.proc.poll() is not None:
                raise RuntimeError("%s exited with status %d; its log:\n%s"
                                   % (self.NAME, self.proc.returncode, self.log_text()[-2000:]))
            if time.monotonic() > deadline:
                self.stop()
                raise TimeoutError("%s did not answer within %.0f s; its log:\n%s"
                                   % (self.NAME, scaled(timeout), self.log_text()[-2000:]))
            time.sleep(0.2)
        return self

    def ping(self):
        """True when the daemon answers its ping on its unix socket."""
        try:
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
                s.settimeout(scaled(5))
                s.connect(self.socket_path)
                s.sendall(self.PING)
                return self.PONG in s.recv(1000)
        except OSError:
            return False

    def log_text(self):
        try:
            with open(self.log_path, "rb") as f:
                return to_text(f.read())
        except FileNotFoundError:
            return ""

    @property
    def returncode(self):
        return None if self.proc is None else self.proc.poll()

    def stop(self):
        # The parent takes its children down with it; give it the time.
        stop_process(self.proc, grace=20.0)


class SpamdServer(PeerDaemon):
    """SpamAssassin's spamd for tests and the demonstration, offline: local
    tests only (no DNS or network rules), no per-user settings, at most
    `children` children (half of them started at once).  It listens on <directory>/spamd.sock and, with tcp=True, on a
    free loopback port as well; its log is <directory>/spamd.log.

    spamd drops to the user nobody when started as root, so the directory
    is opened for it (its home directory lies inside)."""

    def __init__(self, directory, tcp=False, program=None, children=2, listen=None, allowed=None):
        self.directory = directory
        self.children = children
        # listen: "HOST:PORT" in place of the free loopback port (an engine
        # host's address); allowed: the networks spamd takes requests from
        # beside the loopback (-A).
        self.listen = listen
        self.allowed = allowed
        self.program = program or find_spamd()
        self.socket_path = os.path.join(directory, "spamd.sock")
        self.log_path = os.path.join(directory, "spamd.log")
        self.port = free_tcp_port() if tcp else None
        self.proc = None

    NAME, PACKAGE = "spamd", "spamassassin"
    PING, PONG = b"PING SPAMC/1.5\r\n\r\n", b"PONG"

    def start(self, timeout=90.0):
        self._check_installed()
        home = os.path.join(self.directory, "spamd-home")
        os.makedirs(home, exist_ok=True)
        os.chmod(self.directory, 0o755)
        os.chmod(home, 0o777)
        argv = [self.program, "-L", "-x", "-m", str(self.children),
                "--min-children=%d" % max(1, self.children // 2), "-H", home, "--syslog=stderr",
                "--listen=" + self.socket_path, "-r", os.path.join(self.directory, "spamd.pid")]
        if self.port is not None:
            argv.append("--listen=127.0.0.1:%d" % self.port)
        if self.listen:
            argv.append("--listen=" + self.listen)
        if self.allowed:
            argv += ["-A", "127.0.0.1," + self.allowed]
        # Rules are compiled before spamd listens: several seconds.
        return self._launch(argv, self.log_path, timeout)


# rspamd's modules that ask DNS, Redis or the network, or read maps from
# it: off in the tests' rspamd.  What is left rates from the message and
# what the request headers say.
RSPAMD_OFFLINE = ("antivirus", "arc", "asn", "bimi", "clickhouse", "dcc", "dkim", "dkim_signing",
                  "dmarc", "elastic", "emails", "external_services", "fuzzy_check", "greylist",
                  "history_redis", "metadata_exporter", "multimap", "mx_check", "neural", "p0f",
                  "phishing", "ratelimit", "rbl", "replies", "reputation", "rspamd_update", "spf",
                  "surbl", "url_redirector", "whitelist")


class RspamdServer(PeerDaemon):
    """rspamd for tests, offline: Debian's configuration with the modules
    that need DNS, Redis or the network off (RSPAMD_OFFLINE), a resolver
    pointed at a closed loopback port, one normal worker on a free loopback
    port and <directory>/rspamd.sock, no controller or proxy worker.  Its
    configuration, data, pid file and log (<directory>/rspamd.log) stay in
    directory.  rspamd will not run its workers as root unless told
    (--insecure): as root it is told, as anyone else it runs as that user.

    The compiled regular expressions are kept in the build directory, so
    that only the first start of a run compiles them (a minute on a busy
    machine; a start from the cache takes about two seconds)."""

    NAME = PACKAGE = "rspamd"

    # rspamd's own milter (milter_port): its proxy worker in milter mode
    # scanning in itself (self_scan), on that loopback port, with the
    # antivirus module asking the clamd on clamd_socket and refusing what
    # it finds, the attachments one by one (rspamd's default) or, with
    # scan_mime_parts false, the whole message; the rest of the
    # configuration is the same.
    PING, PONG = b"GET /ping HTTP/1.0\r\n\r\n", b"pong"

    def __init__(self, directory, program=None, milter_port=None, clamd_socket=None,
                 scan_mime_parts=True):
        self.directory = directory
        self.milter_port = milter_port
        self.clamd_socket = clamd_socket
        self.scan_mime_parts = scan_mime_parts
        self.program = program or find_rspamd()
        self.socket_path = os.path.join(directory, "rspamd.sock")
        self.log_path = os.path.join(directory, "rspamd.log")
        self.port = free_tcp_port()
        self.proc = None

    @property
    def address(self):
        return "127.0.0.1:%d" % self.port

    def _configure(self):
        local = os.path.join(self.directory, "rspamd-conf")
        for sub in ("local.d", "override.d", "db", "run"):
            os.makedirs(os.path.join(local, sub), exist_ok=True)
        cache = os.path.join(os.path.dirname(os.path.abspath(default_bin_dir())), "rspamd-hs-cache")
        os.makedirs(cache, exist_ok=True)
        files = {
            "override.d/worker-normal.inc": 'bind_socket = "127.0.0.1:%d";\n'
                                            'bind_socket = "%s mode=0666";\ncount = 1;\n'
                                            % (self.port, self.socket_path),
            "override.d/worker-controller.inc": "enabled = false;\n",
            "override.d/worker-proxy.inc": "enabled = false;\n" if self.milter_port is None else (
                'bind_socket = "127.0.0.1:%d";\nmilter = yes;\ntimeout = 120s;\ncount = 1;\n'
                'upstream "local" {\n  default = yes;\n  self_scan = yes;\n}\n'
                'discard_on_reject = false;\nquarantine_on_reject = false;\nspam_header = "X-Spam";\n'
                'reject_message = "Spam message rejected";\n' % self.milter_port),
            "local.d/options.inc": 'dns { nameserver = ["127.0.0.1:1"]; timeout = 0.1s; retransmits = 0; }\n'
                                   'hs_cache_dir = "%s";\n' % cache,
        }
        files.update(("local.d/%s.conf" % module, "enabled = false;\n") for module in RSPAMD_OFFLINE)
        # hfilter judges HELO, sender and URL hosts by what DNS says of
        # them: with no DNS only its client name checks give the same
        # answer every time.
        files["local.d/hfilter.conf"] = ("helo_enabled = false;\nfrom_enabled = false;\nurl_enabled = false;\n"
                                         "rcpt_enabled = false;\nhostname_enabled = true;\n")
        # A symbol of no weight that shows what the request said of the
        # SMTP session, in the rating and in rspamd's log.
        files["rspamd.local.lua"] = (
            "rspamd_config:register_symbol({name = 'TARNWICK_SESSION', score = 0.0,\n"
            "  callback = function(task)\n"
            "    return true, 'helo=' .. (task:get_helo() or ''), 'hostname=' .. (task:get_hostname() or '')\n"
            "  end})\n")
        # The score and symbols in the message rspamd's milter passes on
        # (X-Spamd-Result), read by whoever compares its ratings.
        # rspamd leaves them out for local and authenticated clients unless told.
        files["local.d/milter_headers.conf"] = ('use = ["x-spamd-result", "x-rspamd-queue-id"];\n'
                                                'skip_local = false;\nskip_authenticated = false;\n')
        if self.milter_port is not None:
            files["local.d/antivirus.conf"] = (
                'clamav {\n  type = "clamav";\n  servers = "%s";\n  action = "reject";\n'
                '  symbol = "CLAM_VIRUS";\n  scan_mime_parts = %s;\n}\n'
                % (self.clamd_socket, "true" if self.scan_mime_parts else "false"))
        for name, text in files.items():
            with open(os.path.join(local, name), "w") as f:
                f.write(text)
        return local

    def start(self, timeout=150.0):
        self._check_installed()
        local = self._configure()
        argv = [self.program, "-f", "-c", "/etc/rspamd/rspamd.conf",
                "--var", "LOCAL_CONFDIR=" + local, "--var", "DBDIR=" + os.path.join(local, "db"),
                "--var", "RUNDIR=" + os.path.join(local, "run"), "--var", "LOGDIR=" + self.directory]
        if os.geteuid() == 0:
            argv.append("--insecure")
        # rspamd writes its log itself ($LOGDIR/rspamd.log); what it says
        # before it has read where is kept beside it.
        return self._launch(argv, os.path.join(self.directory, "rspamd.out"), timeout)

    def reload(self):
        """SIGHUP: rspamd reads its configuration again and replaces its workers."""
        self.proc.send_signal(signal.SIGHUP)


class ClamdServer:
    """ClamAV's clamd (package clamav-daemon) on a private socket in
    directory: listen is the configuration's LocalSocket or TCPSocket line
    (with TCPAddr), db the signature directory.  Every scan is logged
    (LogClean), so its log counts the requests it served."""

    PROGRAM = shutil.which("clamd") or "/usr/sbin/clamd"
    CONF = """\
{listen}
Foreground yes
LogFile {dir}/clamd.log
LogTime yes
PidFile {dir}/clamd.pid
TemporaryDirectory {dir}
DatabaseDirectory {db}
MaxThreads {threads}
SelfCheck 0
LogClean yes
"""

    def __init__(self, directory, db, listen, threads=2):
        os.makedirs(directory, exist_ok=True)
        self.log = os.path.join(directory, "clamd.log")
        self.conf = os.path.join(directory, "clamd.conf")
        with open(self.conf, "w") as f:
            f.write(self.CONF.format(listen=listen, dir=directory, db=db, threads=threads))
        self.proc = None

    def start(self, ping, timeout=60):
        """Starts clamd and waits until ping() (the caller's PING on the
        socket it listens on) is true."""
        self.proc = subprocess.Popen([self.PROGRAM, "--config-file=" + self.conf, "--foreground"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + scaled(timeout)
        while not ping():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("clamd did not start (%s)" % self.conf)
            time.sleep(0.1)
        return self

    def stop(self):
        stop_process(self.proc, grace=10.0)

    def streams_scanned(self):
        """How many INSTREAM scans this clamd has logged (LogClean: all)."""
        try:
            with open(self.log, "rb") as f:
                return sum(1 for line in f if b"stream(" in line or b"stream:" in line)
        except FileNotFoundError:
            return 0


def _read_request(conn, end):
    """One request off a stand-in's connection: its head up to `end` and,
    when the head names a Content-length, that much body.  Returns (head,
    body, whole); whole is False when the peer stopped sending first, and
    head and body then hold what came."""
    data = b""
    while end not in data:
        chunk = conn.recv(65536)
        if not chunk:
            return data, b"", False
        data += chunk
    head, body = data.split(end, 1)
    length = re.search(rb"(?im)^Content-length: *(\d+)", head)
    while length and len(body) < int(length.group(1)):
        chunk = conn.recv(65536)
        if not chunk:
            return head, body, False
        body += chunk
    return head, body, True


class _StandIn:
    """A listener on a unix socket standing in for a daemon: one thread
    accepts its connections and hands each to handle(conn), which owns it
    from then on, until stop()."""

    def __init__(self, socket_path, backlog=16):
        self.socket_path = socket_path
        self._backlog = backlog
        self._stop = threading.Event()
        self._listener = None
        self._thread = None

    def start(self):
        self._listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self._listener.bind(self.socket_path)
        self._listener.listen(self._backlog)
        self._listener.settimeout(0.1)
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()
        return self

    def _serve(self):
        while not self._stop.is_set():
            try:
                conn = self._listener.accept()[0]
            except socket.timeout:
                continue
            self.handle(conn)

    def handle(self, conn):
        raise NotImplementedError

    def stop(self):
        self._stop.set()
        if self._thread:
            self._thread.join()
        if self._listener:
            self._listener.close()
        if os.path.exists(self.socket_path):
            os.unlink(self.socket_path)


class FakeRspamd(_StandIn):
    """A stand-in for rspamd's normal worker on <directory>/fake-rspamd.sock
    (address "unix:PATH"): /ping answers pong, and /checkv2 answers the
    JSON a message asks for in its field `X-Rspamd-Says: JSON` (the plain
    rating of HAM without one), so a test can have rspamd force any action
    on any score.  requests: the bodies it was sent."""

    HAM = '{"is_skipped":false,"score":1.0,"required_score":15,"action":"no action","symbols":{}}'

    def __init__(self, directory):
        super().__init__(os.path.join(directory, "fake-rspamd.sock"))
        self.requests = []

    @property
    def address(self):
        return "unix:" + self.socket_path

    def handle(self, conn):
        with conn:
            conn.settimeout(10)
            try:
                self._answer(conn)
            except OSError:
                pass

    def _answer(self, conn):
        head, body, whole = _read_request(conn, b"\r\n\r\n")
        if not whole:
            return
        if head.startswith(b"GET /ping"):
            answer = b"pong\r\n"
        else:
            self.requests.append(body)
            says = re.search(rb"(?m)^X-Rspamd-Says: *(.*?)\r?$", body)
            answer = says.group(1) if says else self.HAM.encode()
        conn.sendall(b"HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: %d\r\n\r\n"
                     % len(answer) + answer)


class HangingPeer(_StandIn):
    """A stand-in for a daemon an engine daemon hands its work to (clamd,
    spamd) that answers its health check and hangs on the work, on
    <directory>/<name>.sock.  Each connection carries one request, read as
    _read_request does up to `end`: one whose head (what comes before `end`)
    starts with `ping` gets `pong` and is closed (pong None: closed without
    a word), its time (monotonic) kept in `pings`; one whose head starts
    with `hold` is taken and never answered until stop() (hold None: none
    is); anything else is hung up on."""

    def __init__(self, directory, name, ping, pong, hold=b"", end=b"\0"):
        super().__init__(os.path.join(directory, name + ".sock"), backlog=8)
        self.pings = []
        self._ping, self._pong, self._hold, self._end = ping, pong, hold, end
        self._held = []

    def handle(self, conn):
        conn.settimeout(5)
        try:
            head, _, _ = _read_request(conn, self._end)
            if head.startswith(self._ping):
                self.pings.append(time.monotonic())
                if self._pong is not None:
                    conn.sendall(self._pong)
            elif self._hold is not None and head.startswith(self._hold):
                self._held.append(conn)
                return
        except OSError:
            pass
        conn.close()

    def stop(self):
        super().stop()
        for conn in self._held:
            conn.close()


class EngineDaemon:
    """One of the engine daemons under engines/ (quillon-clamd,
    quillon-spamd) on its own socket in the scratch area.  It answers to
    the same calls as EngineProcess; requests() is None, as these daemons
    keep no request log, and log_lines() are the daemon's own log lines
    (its standard error).

    args: the daemon's options after --socket, for example
    ["--db", clamav_test_db()] or ["--spamd-socket", spamd.socket_path]."""

    def __init__(self, kind, socket_path, bin_dir, args=(), stderr_path=None):
        if kind not in DAEMONS:
            raise ValueError("kind must be one of %s" % (DAEMONS,))
        self.kind = kind
        self.socket_path = socket_path
        self.bin_dir = bin_dir
        self.args = list(args)
        self.stderr_path = stderr_path or socket_path + ".log"
        self.proc = None
        self._log_start = 0

    def start(self, timeout=30.0):
        if os.path.lexists(self.socket_path):
            os.unlink(self.socket_path)
        self._log_start = os.path.getsize(self.stderr_path) if os.path.exists(self.stderr_path) else 0
        argv = [os.path.join(self.bin_dir, self.kind), "--socket", self.socket_path] + self.args
        with open(self.stderr_path, "ab") as err:
            self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=err, stderr=err)
        # The socket file appears at bind(), a moment before listen(): the
        # daemon's own "listening on" line is the sign that a filter may
        # connect.
        deadline = time.monotonic() + scaled(timeout)
        while not any("listening on" in line for line in self.log_lines()):
            if self.proc.poll() is not None:
                raise RuntimeError("%s exited with status %d before listening:\n%s"
                                   % (self.kind, self.proc.returncode, "\n".join(self.log_lines())))
            if time.monotonic() > deadline:
                raise TimeoutError("%s did not listen on %s" % (self.kind, self.socket_path))
            time.sleep(0.02)
        return self

    def stop(self):
        stop_process(self.proc, grace=10.0)

    def suspend(self):
        """Stops the daemon (SIGSTOP): requests wait in its socket."""
        self.proc.send_signal(signal.SIGSTOP)

    def resume(self):
        self.proc.send_signal(signal.SIGCONT)

    @property
    def returncode(self):
        return None if self.proc is None else self.proc.poll()

    def log_lines(self):
        """The daemon's log lines since its last start."""
        try:
            with open(self.stderr_path, "rb") as f:
                f.seek(self._log_start)
                return [to_text(line) for line in f.read().split(b"\n") if line]
        except FileNotFoundError:
            return []

    def requests(self):
        return None
