#!/usr/bin/python3
"""Simulated Velmora mail server for the Tarnwick filters.

Builds a server base directory in a scratch directory (queue files with
their envelopes, the submission directory, a whitelist), writes a settings
file next to a link to the filter program, starts an engine simulator and
the filter, and speaks the filter protocol on the filter's standard input
and output.

As a program it runs the demonstration: a handful of messages through
Tarnwick-AV in each mode and through Tarnwick-AS, printing every verdict
and the files that appeared in the submission directory.  It exits non-zero
when an answer is missing or not of the expected kind.

With --engines real it runs against the real engine daemons instead of
the simulators: ClamAV with the test signature database, SpamAssassin with
a spamd of its own, started offline and stopped at the end.

As a module it is the harness of the end-to-end tests:
  - `FilterSession`: start a filter with given settings and engine options
    (and start it again in the same directories), send raw bytes or request
    lines, wait for answer and log lines with timeouts, hold the program's
    output to stop it at a chosen line, see the exit status, and have the
    scratch directory removed afterwards;
  - `EngineProcess`: an engine simulator (sim-scan-engine, sim-spam-engine);
  - `ScriptedEngine`: an engine played by the test, frame by frame, with
    the requests decoded by the generated message classes when asked;
  - `FakeClock`: the filter's wall clock under libfaketime, set by the test;
  - `EngineDaemon`, `SpamdServer`: the real engine daemons of engines/
    (ClamAV, SpamAssassin) and the spamd that quillon-spamd asks.

Standard library only; the generated message classes (python3-protobuf)
are loaded only when a test asks for them (`load_schema`).
"""

import argparse
import array
import base64
import calendar
import fcntl
import glob
import importlib
import os
import re
import select
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import termios
import threading
import time

PROGRAMS = ("Tarnwick-AV", "Tarnwick-AS")
ENGINES = {"Tarnwick-AV": "sim-scan-engine", "Tarnwick-AS": "sim-spam-engine"}

# Sanitizer builds run several times slower; every wait stretches with them.
TIMEOUT_SCALE = 4.0 if os.environ.get("TARNWICK_SANITIZE") else 1.0

# Lines are bytes on the wire; as text they are UTF-8 with undecodable bytes
# kept as surrogates, so every byte survives a round trip.
ENCODING = "utf-8"
ERRORS = "surrogateescape"


def scaled(seconds):
    return seconds * TIMEOUT_SCALE


def to_bytes(data):
    return data if isinstance(data, bytes) else data.encode(ENCODING, ERRORS)


def to_text(data):
    return data if isinstance(data, str) else data.decode(ENCODING, ERRORS)


def eicar():
    """The standard anti-virus test string, kept in halves in this source."""
    return "X5O!P%@AP[4\\PZX54(P^)7CC)7}$" + "EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"


def default_bin_dir():
    env = os.environ.get("TARNWICK_BIN")
    if env:
        return env
    here = os.path.dirname(os.path.abspath(__file__))
    return os.path.join(os.path.dirname(here), "build", "bin")


def default_python_dir(bin_dir=None):
    """Directory of the generated message classes (quillon_*_pb2.py)."""
    env = os.environ.get("TARNWICK_PY")
    if env:
        return env
    return os.path.join(os.path.dirname(os.path.abspath(bin_dir or default_bin_dir())), "python")


SCHEMAS = {"se": "quillon_se_api_pb2", "ase": "quillon_ase_api_pb2", "error": "quillon_error_pb2"}


def load_schema(kind, python_dir=None):
    """The generated module of an engine schema: "se" (scan engine), "ase"
    (anti-spam engine) or "error".  Both engine schemas declare
    ql.ClientMessage and ql.ServerMessage, so one process can load only one
    of them."""
    name = SCHEMAS.get(kind, kind)
    path = python_dir or default_python_dir()
    if path not in sys.path:
        sys.path.insert(0, path)
    other = {"quillon_se_api_pb2": "quillon_ase_api_pb2",
             "quillon_ase_api_pb2": "quillon_se_api_pb2"}.get(name)
    if other in sys.modules:
        raise RuntimeError("%s cannot be loaded next to %s (both declare ql.ClientMessage)" % (name, other))
    return importlib.import_module(name)


# --- configuration language -------------------------------------------------

def cfg_quote(text):
    """A quoted string of the settings language holding `text` exactly.

    Backslash-e pairs are kept as they are (the language keeps them too);
    every other backslash and double quote gets a backslash."""
    out = ['"']
    i = 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text) and text[i + 1] == "e":
            out.append("\\e")
            i += 2
            continue
        if c in '\\"':
            out.append("\\" + c)
        elif c == "\n":
            out.append("\\\n")
        else:
            out.append(c)
        i += 1
    out.append('"')
    return "".join(out)


def cfg_format(value, indent=0):
    """Settings text for a dict (the top level) or a value inside one.

    dict -> dictionary, list/tuple -> array, anything else -> quoted string.
    A value given as RawValue is written as it stands."""
    pad = "    " * indent
    if isinstance(value, RawValue):
        return value.text
    if isinstance(value, dict):
        body = "".join("%s    %s = %s;\n" % (pad, key, cfg_format(item, indent + 1))
                       for key, item in value.items())
        return "{\n" + body + pad + "}"
    if isinstance(value, (list, tuple)):
        return "(" + ", ".join(cfg_format(item, indent + 1) for item in value) + ")"
    return cfg_quote(str(value))


def cfg_file(settings):
    """A whole settings file: the top-level entries without braces."""
    if isinstance(settings, (str, bytes)):
        return to_bytes(settings)
    lines = ["%s = %s;\n" % (key, cfg_format(value)) for key, value in settings.items()]
    return to_bytes("".join(lines))


class RawValue:
    """A value written into the settings file verbatim (for broken files)."""

    def __init__(self, text):
        self.text = text


def merge(base, overrides):
    """Copy of base with overrides applied; a value of None removes a key,
    and dictionaries merge key by key."""
    out = dict(base)
    for key, value in (overrides or {}).items():
        if value is None:
            out.pop(key, None)
        elif isinstance(value, dict) and isinstance(out.get(key), dict):
            out[key] = merge(out[key], value)
        else:
            out[key] = value
    return out


def events_reports():
    return {
        "From": "tarnwick@example.com",
        "To": "postmaster@example.com",
        "Started": {"Enabled": "Yes", "Subject": "Started ^1"},
        "Stopped": {"Enabled": "Yes", "Subject": "Stopped ^1"},
    }


def av_settings(socket_path, mode="Reject", overrides=None):
    settings = {
        "Socket": socket_path,
        "Mode": mode,
        "SubmittedDirectory": "Submitted",
        "PostProcess": "",
        "RejectOptions": {"NotifyRecipients": "Yes"},
        "DiscardOptions": {"NotifyRecipients": "No"},
        "AddHeaderOptions": {"Header": "X-Virus: ^1"},
        "NotificationMessage": {
            "Caption": "Virus found: ",
            "Summary": "^1 virus(es) found\\e",
            "Footer": "Message rejected",
        },
        "NotifyRecipientsOptions": {
            "From": "postmaster@example.com",
            "Subject": "Virus alert",
            "ExtraHeaders": "X-Tarnwick: notice",
            "HeaderTitle": "Original headers:",
            "SenderInfo": "Sender: ^1",
            "Description": ["A message to you carried a virus."],
        },
        "DailyReport": {
            "Enabled": "Yes",
            "From": "tarnwick@example.com",
            "To": "postmaster@example.com",
            "Subject": "Daily report ^1",
        },
        "EventsReports": events_reports(),
    }
    return merge(settings, overrides)


def as_settings(socket_path, overrides=None):
    settings = {
        "Socket": socket_path,
        "Header": "X-Junk-Score: ^1 [^2]\\eX-Quillon-Score: ^1 [^2]",
        "AlertLevel": "100",
        "AlertHeader": "X-Alert: possible spam!\\eX-Color: red",
        "OnProblem": "Ignore",
        "BarScoreRanges": ["0", "39", "76", "84", "90", "99", "100"],
        "SubmittedDirectory": "Submitted",
        "DailyReport": {
            "Enabled": "Yes",
            "From": "tarnwick@example.com",
            "To": "postmaster@example.com",
            "Subject": "Daily spam report ^1",
        },
        "EventsReports": events_reports(),
    }
    return merge(settings, overrides)


def default_settings(program, socket_path, mode="Reject", overrides=None):
    if program == "Tarnwick-AS":
        return as_settings(socket_path, overrides)
    return av_settings(socket_path, mode, overrides)


# --- queue files --------------------------------------------------------------

def queue_file(message, sender=None, source=None, recipients=(), envelope=True, crlf=False):
    """Bytes of a queue file: envelope lines ("P <sender>", "S <source>",
    "R <rcpt>" ...), a blank line, then the message.  Without envelope the
    file is the message alone."""
    message = to_bytes(message)
    if not envelope:
        return message
    end = b"\r\n" if crlf else b"\n"
    lines = []
    if sender is not None:
        lines.append(b"P <" + to_bytes(sender) + b">")
    if source is not None:
        lines.append(b"S " + to_bytes(source))
    for rcpt in recipients:
        lines.append(b"R <" + to_bytes(rcpt) + b">")
    return b"".join(line + end for line in lines) + end + message


def mail_text(subject, body, sender="alice@example.org", to="bob@example.net", extra=()):
    headers = ["From: <%s>" % sender, "To: <%s>" % to, "Subject: %s" % subject]
    headers.extend(extra)
    return "\n".join(headers) + "\n\n" + body + "\n"


# --- processes ------------------------------------------------------------------

def _stop_process(proc, grace=2.0):
    if proc is None or proc.poll() is not None:
        return
    try:
        proc.send_signal(signal.SIGTERM)
        proc.wait(timeout=scaled(grace))
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(timeout=scaled(5))
    except ProcessLookupError:
        pass


class EngineProcess:
    """One engine simulator listening on its own socket in the scratch area."""

    def __init__(self, kind, socket_path, bin_dir, args=(), log_path=None, stderr_path=None):
        self.kind = kind
        self.socket_path = socket_path
        self.log_path = log_path
        self.args = list(args)
        self.bin_dir = bin_dir
        self.stderr_path = stderr_path
        self.proc = None

    def start(self, timeout=5.0):
        if os.path.lexists(self.socket_path):
            os.unlink(self.socket_path)
        argv = [os.path.join(self.bin_dir, self.kind), self.socket_path]
        if self.log_path:
            argv += ["--log", self.log_path]
        argv += self.args
        err = open(self.stderr_path, "ab") if self.stderr_path else subprocess.DEVNULL
        try:
            self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=err, stderr=err)
        finally:
            if err is not subprocess.DEVNULL:
                err.close()
        # The simulator renames its socket into place once it listens.
        deadline = time.monotonic() + scaled(timeout)
        while not os.path.exists(self.socket_path):
            if self.proc.poll() is not None:
                raise RuntimeError("%s exited with status %d before listening" % (self.kind, self.proc.returncode))
            if time.monotonic() > deadline:
                raise TimeoutError("%s did not listen on %s" % (self.kind, self.socket_path))
            time.sleep(0.01)
        return self

    def stop(self):
        _stop_process(self.proc)

    @property
    def returncode(self):
        return None if self.proc is None else self.proc.poll()

    def log_lines(self):
        """Lines the simulator logged: CONNECT n, SCAN serial=.. path=..,
        SPAM serial=.. len=.. head=.., SUBSCRIBE_INFO, UNKNOWN ..."""
        if not self.log_path or not os.path.exists(self.log_path):
            return []
        with open(self.log_path, "rb") as f:
            return [to_text(line) for line in f.read().split(b"\n") if line]

    def requests(self):
        """Serials of the requests received, in order."""
        serials = []
        for line in self.log_lines():
            m = re.match(r"(?:SCAN|SPAM) serial=(\d+)", line)
            if m:
                serials.append(int(m.group(1)))
        return serials

    def wait_requests(self, count, timeout=5.0):
        """Waits until the simulator has received `count` requests (for
        example before a reload, so that they are pending on this engine)."""
        deadline = time.monotonic() + scaled(timeout)
        while True:
            serials = self.requests()
            if len(serials) >= count:
                return serials
            if time.monotonic() > deadline:
                raise TimeoutError("%s received %d of %d requests" % (self.kind, len(serials), count))
            time.sleep(0.02)


class ScriptedEngine:
    """An engine played by the test itself: listens on a unix socket and
    hands over the raw frames, so a test can send any reply it likes
    (missing serial, zero length, a reply for another request...).

    Frames are bytes: the body without the 4-byte length prefix.  With a
    schema ("se", "ase" or a generated module) the requests can also be
    taken decoded (recv_request) and replies given as messages (send).

    Connections are accepted by the test (accept); until then a filter's
    connect still succeeds and its frames wait in the socket.  Every call
    that reads or writes takes the connection, the latest one by default."""

    def __init__(self, socket_path, schema=None):
        self.socket_path = socket_path
        self.schema = load_schema(schema) if isinstance(schema, str) else schema
        if os.path.lexists(socket_path):
            os.unlink(socket_path)
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(socket_path)
        self.listener.listen(8)
        self.conns = []  # accepted connections, oldest first
        self._buffers = {}

    def accept(self, timeout=5.0):
        """Waits for the filter to connect; returns the connection."""
        self.listener.settimeout(scaled(timeout))
        conn, _ = self.listener.accept()
        self.conns.append(conn)
        self._buffers[conn.fileno()] = b""
        return conn

    def _conn(self, conn):
        if conn is None:
            if not self.conns:
                raise RuntimeError("no connection accepted yet")
            return self.conns[-1]
        return conn

    def recv_frame(self, timeout=5.0, conn=None):
        """The next frame body from the filter; None when it closed the
        connection.  Raises TimeoutError."""
        conn = self._conn(conn)
        key = conn.fileno()
        deadline = time.monotonic() + scaled(timeout)
        while True:
            buf = self._buffers[key]
            if len(buf) >= 4:
                length = int.from_bytes(buf[:4], "little")
                if len(buf) >= 4 + length:
                    self._buffers[key] = buf[4 + length:]
                    return buf[4:4 + length]
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise TimeoutError("no frame from the filter")
            conn.settimeout(remaining)
            try:
                data = conn.recv(65536)
            except socket.timeout:
                raise TimeoutError("no frame from the filter")
            if not data:
                return None
            self._buffers[key] = buf + data

    def recv_request(self, timeout=5.0, conn=None):
        """The next frame decoded as the schema's ClientMessage; None when
        the filter closed the connection.  Raises TimeoutError."""
        body = self.recv_frame(timeout, conn)
        if body is None:
            return None
        message = self.schema.ClientMessage()
        message.ParseFromString(body)
        return message

    def recv_requests(self, count, timeout=5.0, conn=None):
        """The next `count` decoded requests (TimeoutError when they do not
        all come in time, EOFError when the connection closes first)."""
        got = []
        for _ in range(count):
            message = self.recv_request(timeout, conn)
            if message is None:
                raise EOFError("connection closed after %d of %d requests" % (len(got), count))
            got.append(message)
        return got

    def send(self, message, conn=None):
        """A message (of the generated classes) as one frame."""
        self.send_frame(message.SerializeToString(), conn)

    def send_frame(self, body, conn=None):
        body = bytes(body)
        self.send_raw(len(body).to_bytes(4, "little") + body, conn)

    def send_raw(self, data, conn=None):
        self._conn(conn).sendall(bytes(data))

    def close_connection(self, conn=None):
        conn = self._conn(conn)
        self._buffers.pop(conn.fileno(), None)
        self.conns.remove(conn)
        try:
            conn.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        conn.close()

    def close(self):
        for conn in list(self.conns):
            self.close_connection(conn)
        self.listener.close()
        if os.path.lexists(self.socket_path):
            os.unlink(self.socket_path)


# --- real engine daemons ------------------------------------------------------------
# The daemons under engines/ put ClamAV and SpamAssassin behind the engine
# wire protocol.  They replace the simulators wherever a test or the
# demonstration wants a real scanner: quillon-clamd scans with libclamav
# (the test database of engines/testdb knows only the anti-virus test
# string), quillon-spamd asks a SpamAssassin spamd, which SpamdServer starts.

REPO_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REAL_ENGINES = {"Tarnwick-AV": "quillon-clamd", "Tarnwick-AS": "quillon-spamd"}
DAEMONS = ("quillon-clamd", "quillon-spamd")


def clamav_test_db():
    """The signature directory with the one test signature (Tarnwick.Test.EICAR)."""
    return os.path.join(REPO_DIR, "engines", "testdb")


def gtube():
    """The standard spam test string, kept in halves in this source so that
    the file itself is not rated as spam."""
    return "XJS*C4JDBQADN1.NSBN3*2IDNEN*GTUBE-STANDARD" + "-ANTI-UBE-TEST-EMAIL*C.34X"


def mime_mail(subject, text, attachment, filename="attachment.bin", sender="alice@example.org",
              to="bob@example.net", extra=()):
    """A multipart message: a text part and `attachment` (bytes or text) as
    a base64-encoded file.  Line ends are LF, as in mail_text."""
    encoded = to_text(base64.encodebytes(to_bytes(attachment)))
    headers = ["From: <%s>" % sender, "To: <%s>" % to, "Subject: %s" % subject, "MIME-Version: 1.0",
               'Content-Type: multipart/mixed; boundary="tw-part"']
    headers.extend(extra)
    return ("\n".join(headers) + "\n\n"
            "--tw-part\nContent-Type: text/plain\n\n" + text + "\n"
            "--tw-part\nContent-Type: application/octet-stream; name=\"%s\"\n"
            "Content-Transfer-Encoding: base64\n"
            "Content-Disposition: attachment; filename=\"%s\"\n\n" % (filename, filename)
            + encoded + "--tw-part--\n")


def find_spamd():
    """Path of SpamAssassin's spamd (package spamassassin), or None."""
    return shutil.which("spamd") or shutil.which("spamd", path="/usr/sbin:/usr/local/sbin")


def free_tcp_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class SpamdServer:
    """SpamAssassin's spamd for tests and the demonstration, offline: local
    tests only (no DNS or network rules), no per-user settings, two
    children.  It listens on <directory>/spamd.sock and, with tcp=True, on a
    free loopback port as well; its log is <directory>/spamd.log.

    spamd drops to the user nobody when started as root, so the directory
    is opened for it (its home directory lies inside)."""

    def __init__(self, directory, tcp=False, program=None):
        self.directory = directory
        self.program = program or find_spamd()
        self.socket_path = os.path.join(directory, "spamd.sock")
        self.log_path = os.path.join(directory, "spamd.log")
        self.port = free_tcp_port() if tcp else None
        self.proc = None

    def start(self, timeout=90.0):
        if self.program is None:
            raise RuntimeError("spamd (package spamassassin) is not installed")
        home = os.path.join(self.directory, "spamd-home")
        os.makedirs(home, exist_ok=True)
        os.chmod(self.directory, 0o755)
        os.chmod(home, 0o777)
        argv = [self.program, "-L", "-x", "-m", "2", "--min-children=1", "-H", home, "--syslog=stderr",
                "--listen=" + self.socket_path, "-r", os.path.join(self.directory, "spamd.pid")]
        if self.port is not None:
            argv.append("--listen=127.0.0.1:%d" % self.port)
        with open(self.log_path, "ab") as log:
            self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        # Rules are compiled before spamd listens: several seconds.
        deadline = time.monotonic() + scaled(timeout)
        while not self.ping():
            if self.proc.poll() is not None:
                raise RuntimeError("spamd exited with status %d; its log:\n%s" % (self.proc.returncode,
                                                                                  self.log_text()[-2000:]))
            if time.monotonic() > deadline:
                self.stop()
                raise TimeoutError("spamd did not answer within %.0f s; its log:\n%s"
                                   % (scaled(timeout), self.log_text()[-2000:]))
            time.sleep(0.2)
        return self

    def ping(self):
        """True when spamd answers PING on its unix socket."""
        try:
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
                s.settimeout(scaled(5))
                s.connect(self.socket_path)
                s.sendall(b"PING SPAMC/1.5\r\n\r\n")
                return b"PONG" in s.recv(100)
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
        _stop_process(self.proc, grace=20.0)


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
        _stop_process(self.proc, grace=10.0)

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


FAKETIME_LIBRARIES = ("/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1",
                      "/usr/lib/*/faketime/libfaketimeMT.so.1", "/usr/lib/faketime/libfaketimeMT.so.1",
                      "/usr/local/lib/faketime/libfaketimeMT.so.1")


def faketime_library():
    """Path of libfaketime (the variant for threaded programs), or None."""
    for pattern in FAKETIME_LIBRARIES:
        for path in sorted(glob.glob(pattern)):
            if os.path.exists(path):
                return path
    return None


def utc_epoch(year, month, day, hour=0, minute=0, second=0):
    return calendar.timegm((year, month, day, hour, minute, second, 0, 0, 0))


def date_text(epoch):
    """The programs' date text of a time in UTC (the fake clock's zone):
    weekday, day without leading zero, month, year, time of day."""
    t = time.gmtime(epoch)
    return "%s, %d %s %d %02d:%02d:%02d" % (("Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun")[t.tm_wday],
                                            t.tm_mday, ("Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug",
                                                        "Sep", "Oct", "Nov", "Dec")[t.tm_mon - 1],
                                            t.tm_year, t.tm_hour, t.tm_min, t.tm_sec)


class FakeClock:
    """The filter's wall clock, stopped at a time the test sets.

    libfaketime reads the time from a file at every clock call; the clock
    stands still between settings, so every date text, period and scan time
    the filter computes is known to the test.  Only the wall clock is faked
    (the monotonic clock and sleeps stay real), and the zone is UTC."""

    def __init__(self, path, epoch):
        self.path = path
        self.now = None
        self.set(epoch)

    @staticmethod
    def available():
        return faketime_library() is not None

    def set(self, epoch):
        self.now = int(epoch)
        text = time.strftime("%Y-%m-%d %H:%M:%S\n", time.gmtime(self.now))
        # Replaced whole: the filter may read the file at any moment.
        tmp = self.path + ".new"
        with open(tmp, "w") as f:
            f.write(text)
        os.rename(tmp, self.path)
        return self.now

    def advance(self, seconds):
        return self.set(self.now + seconds)

    def env(self):
        library = faketime_library()
        if library is None:
            raise RuntimeError("libfaketime is not installed")
        env = {"LD_PRELOAD": library, "FAKETIME_TIMESTAMP_FILE": self.path, "FAKETIME_NO_CACHE": "1",
               "DONT_FAKE_MONOTONIC": "1", "TZ": "UTC"}
        # AddressSanitizer wants to come first in the library list.
        asan = os.environ.get("ASAN_OPTIONS", "")
        env["ASAN_OPTIONS"] = (asan + ":" if asan else "") + "verify_asan_link_order=0"
        return env


class FilterSession:
    """One filter program run against simulated surroundings.

    Layout of the scratch directory:
        base/            working directory of the filter (the server's base):
                         Queue/ (message files), Submitted/, whitelist.txt
        prog/            link to the program, its settings, statistics file
        engine.sock      the engine simulator's socket (more: <name>.sock)

    settings: None for the program's defaults, a dict of overrides merged
    over them (None as a value removes a key), or the whole file as text.
    engine: "auto" starts the program's simulator at start(); None starts
    none (use scripted_engine() or start_engine()); "quillon-clamd" or
    "quillon-spamd" starts that real engine daemon.  engine_args go to the
    simulator or daemon.  keep (or TARNWICK_KEEP in the environment) keeps the
    scratch directory.  Every wait takes a timeout in seconds, stretched
    in sanitizer builds.

    The program can be started again after it ended (start() once more):
    the directories, the statistics file and the engines stay, the output
    starts afresh.

    Output is read two ways: waits that search all lines (wait_for,
    answers, with `after=mark()`), and a cursor that walks the lines in
    order (expect, next_line, next_answers, rest; seen() is what it has
    passed).

    Typical use:
        with FilterSession("Tarnwick-AV", mode="Discard") as s:
            s.start()
            path = s.add_message(mail_text("Hi", "text"), sender="a@x", recipients=["b@y"])
            s.request(17, path)
            assert s.answer(17) == "17 OK"
            assert s.quit() == 0
    """

    def __init__(self, program="Tarnwick-AV", bin_dir=None, settings=None, mode="Reject",
                 engine="auto", engine_args=(), debug=False, whitelist=None, program_args=None,
                 keep=None, env=None, argv0=None):
        if program not in PROGRAMS:
            raise ValueError("program must be one of %s" % (PROGRAMS,))
        self.program = program
        self.bin_dir = os.path.abspath(bin_dir or default_bin_dir())
        self.mode = mode
        self.engine_kind = ENGINES[program] if engine == "auto" else engine
        self.engine_args = list(engine_args)
        self.debug = debug
        self.program_args = program_args
        self.argv0 = argv0  # argument zero when it should differ from the link's full path
        self.keep = keep if keep is not None else bool(os.environ.get("TARNWICK_KEEP"))
        self.env = env
        self.clock = None

        # Unix socket paths are limited to 107 characters: stay short.
        parent = tempfile.gettempdir()
        if len(parent) > 40:
            parent = "/tmp"
        self.root = tempfile.mkdtemp(prefix="tw-", dir=parent)
        self.base = os.path.join(self.root, "base")
        self.prog_dir = os.path.join(self.root, "prog")
        self.submitted = os.path.join(self.base, "Submitted")
        for d in (self.base, self.prog_dir, self.submitted, os.path.join(self.base, "Queue")):
            os.makedirs(d, exist_ok=True)
        self.socket_path = os.path.join(self.root, "engine.sock")
        self.program_path = os.path.join(self.prog_dir, program)
        os.symlink(os.path.join(self.bin_dir, program), self.program_path)
        self.stderr_path = os.path.join(self.root, "program.stderr")

        self.engines = {}
        self._scripted = []
        self.proc = None
        self._reader = None
        self._cond = threading.Condition()  # guards the output state below
        self._reset_output()
        self._counter = 0

        # None: the program's defaults; dict: overrides merged over them;
        # text: the whole file.  Written at start() unless written before.
        self._initial_settings = settings
        self._settings_written = False
        if whitelist is not None:
            self.write_whitelist(whitelist)

    def _reset_output(self):
        with self._cond:
            self._lines = []  # (monotonic time, text) of every output line
            self._eof = False
            self._partial = b""
            self._cursor = 0
            self._unterminated = False  # the output ended inside a line
            self._paused = False  # hold_output: the reader leaves the pipe alone
            self._reader_idle = False
            self._skip = 0  # bytes of our own filler still to drop from the pipe
            self._hold = None  # (pipe capacity, bytes left free) while held

    # -- context manager ------------------------------------------------------
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.cleanup()
        return False

    # -- surroundings -----------------------------------------------------------
    def settings_path(self):
        return os.path.join(self.prog_dir, self.program + ".cfg")

    def write_settings(self, settings=None, overrides=None):
        """Writes the settings file: a dict (merged over the program's
        defaults when `overrides` is used), a complete text, or the
        defaults when nothing is given."""
        if settings is None:
            settings = default_settings(self.program, self.socket_path, self.mode, overrides)
        with open(self.settings_path(), "wb") as f:
            f.write(cfg_file(settings))
        self._settings_written = True

    def reload(self, settings=None, overrides=None):
        """New settings and the reload marker; the filter acts on it at the
        next request line it receives."""
        if settings is not None or overrides is not None:
            self.write_settings(settings, overrides)
        open(os.path.join(self.prog_dir, "hup.sig"), "w").close()

    def write_whitelist(self, lines):
        data = lines if isinstance(lines, (str, bytes)) else "".join(l + "\n" for l in lines)
        with open(os.path.join(self.base, "whitelist.txt"), "wb") as f:
            f.write(to_bytes(data))

    def add_file(self, data, name=None, directory="Queue"):
        """Writes a queue file below base/<directory> (base itself for "");
        returns its path relative to the base directory (what a FILE
        request names)."""
        if name is None:
            self._counter += 1
            name = "m%04d.msg" % self._counter
        rel = os.path.join(directory, name) if directory else name
        path = os.path.join(self.base, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(to_bytes(data))
        return rel

    def add_message(self, message, name=None, directory="Queue", **envelope):
        """queue_file(message, **envelope) written with add_file."""
        return self.add_file(queue_file(message, **envelope), name, directory)

    def start_engine(self, name="engine", kind=None, args=None):
        """Starts (or restarts) an engine simulator; its socket is
        <root>/<name>.sock and its request log <root>/<name>.log.  A kind
        of DAEMONS starts that engine daemon instead (EngineDaemon), with
        the engine arguments as its options."""
        old = self.engines.get(name)
        if old:
            old.stop()
        if (kind or self.engine_kind) in DAEMONS:
            engine = EngineDaemon(kind or self.engine_kind, os.path.join(self.root, name + ".sock"), self.bin_dir,
                                  self.engine_args if args is None else args,
                                  stderr_path=os.path.join(self.root, name + ".stderr"))
            self.engines[name] = engine
            return engine.start()
        engine = EngineProcess(kind or self.engine_kind, os.path.join(self.root, name + ".sock"),
                               self.bin_dir, self.engine_args if args is None else args,
                               log_path=os.path.join(self.root, name + ".log"),
                               stderr_path=os.path.join(self.root, name + ".stderr"))
        self.engines[name] = engine
        return engine.start()

    def scripted_engine(self, name="engine", schema=None):
        """A ScriptedEngine on <root>/<name>.sock (use engine=None so that
        no simulator takes the default socket); schema as ScriptedEngine."""
        engine = ScriptedEngine(os.path.join(self.root, name + ".sock"), schema)
        self._scripted.append(engine)
        return engine

    def fake_clock(self, epoch):
        """Runs the program (from the next start on) under a FakeClock set
        to `epoch`; returns the clock."""
        if self.clock is None:
            self.clock = FakeClock(os.path.join(self.root, "clock"), epoch)
        else:
            self.clock.set(epoch)
        return self.clock

    @property
    def engine(self):
        return self.engines.get("engine")

    def stat_file_path(self):
        name = "statistics-as.dat" if self.program == "Tarnwick-AS" else "statistics-av.dat"
        return os.path.join(self.prog_dir, name)

    def read_stat_file(self):
        """The statistics file as text, or None when there is none."""
        try:
            with open(self.stat_file_path(), "rb") as f:
                return to_text(f.read())
        except FileNotFoundError:
            return None

    # -- the program ------------------------------------------------------------
    def start(self, write_settings=True):
        """Starts the engine (unless engine=None) and the program; again
        after the program ended, in the same directories.  With
        write_settings=False no settings file is written."""
        if self.proc is not None:
            if self.proc.poll() is None:
                raise RuntimeError("%s is still running" % self.program)
            self._close_pipes()
        self._reset_output()
        if self.engine_kind and "engine" not in self.engines:
            self.start_engine()
        if write_settings and not self._settings_written:
            if isinstance(self._initial_settings, (str, bytes)):
                self.write_settings(self._initial_settings)
            else:
                self.write_settings(overrides=self._initial_settings)
        args = self.program_args if self.program_args is not None else (["-debug"] if self.debug else [])
        env = dict(os.environ)
        if self.clock is not None:
            env.update(self.clock.env())
        env.update(self.env or {})
        with open(self.stderr_path, "ab") as err:
            self.proc = subprocess.Popen([self.argv0 or self.program_path] + list(args), cwd=self.base,
                                         executable=self.program_path,
                                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err,
                                         env=env, bufsize=0)
        self._reader = threading.Thread(target=self._read_output, daemon=True)
        self._reader.start()
        return self

    def _read_output(self):
        fd = self.proc.stdout.fileno()
        while True:
            with self._cond:
                while self._paused:
                    self._reader_idle = True
                    self._cond.notify_all()
                    self._cond.wait()
                self._reader_idle = False
            # A short select keeps the reader able to pause between reads.
            try:
                ready, _, _ = select.select([fd], [], [], 0.05)
            except (OSError, ValueError):
                ready, chunk = True, b""
            else:
                if not ready:
                    continue
                try:
                    chunk = os.read(fd, 65536)
                except OSError:
                    chunk = b""
            with self._cond:
                if chunk and self._skip:
                    dropped = min(self._skip, len(chunk))
                    self._skip -= dropped
                    chunk = chunk[dropped:]
                    if not chunk:
                        continue
                if not chunk:
                    if self._partial:
                        self._lines.append((time.monotonic(), to_text(self._partial)))
                        self._partial = b""
                        self._unterminated = True
                    self._eof = True
                    self._cond.notify_all()
                    return
                data = self._partial + chunk
                *complete, self._partial = data.split(b"\n")
                now = time.monotonic()
                for line in complete:
                    self._lines.append((now, to_text(line)))
                if complete:
                    self._cond.notify_all()

    def send(self, data):
        """Raw bytes (or text) to the program's standard input; False when
        the program no longer reads."""
        view = memoryview(to_bytes(data))
        try:
            while view:
                written = self.proc.stdin.write(view)
                view = view[written or 0:]
            return True
        except (BrokenPipeError, ValueError, OSError):
            return False

    def send_line(self, line):
        return self.send(to_bytes(line) + b"\n")

    def request(self, token, path):
        return self.send_line("%s FILE %s" % (token, path))

    def close_stdin(self):
        try:
            self.proc.stdin.close()
        except (BrokenPipeError, OSError):
            pass

    # -- reading output -----------------------------------------------------------
    def lines(self, after=0):
        with self._cond:
            return [text for _, text in self._lines[after:]]

    def mark(self):
        """Index of the next output line, for wait_for(after=...)."""
        with self._cond:
            return len(self._lines)

    @staticmethod
    def _matcher(pred):
        if callable(pred):
            return pred
        if isinstance(pred, re.Pattern):
            return lambda line: pred.search(line) is not None
        return lambda line: line == pred

    def _tail(self, count=30):
        return "\n".join(text for _, text in self._lines[-count:])

    def wait_count(self, pred, count, timeout=5.0, after=0):
        """The first `count` output lines from index `after` on that match
        pred (exact text, compiled regex or callable).  Raises TimeoutError
        (with the recent output) when they do not come in time or the
        program closes its output first."""
        match = self._matcher(pred)
        deadline = time.monotonic() + scaled(timeout)
        found = []
        seen = after
        with self._cond:
            while True:
                found += [text for _, text in self._lines[seen:] if match(text)]
                seen = max(seen, len(self._lines))
                if len(found) >= count:
                    return found[:count]
                remaining = deadline - time.monotonic()
                if remaining <= 0 or self._eof:
                    why = "output closed" if self._eof else "timeout"
                    raise TimeoutError("%s waiting for %r (%d of %d seen); last output:\n%s"
                                       % (why, pred, len(found), count, self._tail()))
                self._cond.wait(remaining)

    def wait_for(self, pred, timeout=5.0, after=0):
        return self.wait_count(pred, 1, timeout, after)[0]

    def next_line(self, timeout=5.0):
        """Output lines one after the other (own cursor); None on timeout
        or when the output has ended."""
        deadline = time.monotonic() + scaled(timeout)
        with self._cond:
            while self._cursor >= len(self._lines):
                remaining = deadline - time.monotonic()
                if remaining <= 0 or self._eof:
                    return None
                self._cond.wait(remaining)
            self._cursor += 1
            return self._lines[self._cursor - 1][1]

    def expect(self, pred, timeout=5.0):
        """Moves the cursor past the next line that matches pred (exact
        text, compiled regex or callable) and returns that line.  Raises
        TimeoutError (with the recent output) when none comes in time or
        the output ends first."""
        match = self._matcher(pred)
        deadline = time.monotonic() + scaled(timeout)
        with self._cond:
            while True:
                while self._cursor < len(self._lines):
                    text = self._lines[self._cursor][1]
                    self._cursor += 1
                    if match(text):
                        return text
                remaining = deadline - time.monotonic()
                if remaining <= 0 or self._eof:
                    why = "output closed" if self._eof else "timeout"
                    raise TimeoutError("%s waiting for %r; last output:\n%s" % (why, pred, self._tail()))
                self._cond.wait(remaining)

    def next_answers(self, count, timeout=10.0):
        """The next `count` lines after the cursor that are not log lines."""
        not_log = re.compile(r"^(?!\* )")
        return [self.expect(not_log, timeout) for _ in range(count)]

    def seen(self):
        """The lines the cursor has passed."""
        with self._cond:
            return [text for _, text in self._lines[:self._cursor]]

    def rest(self, timeout=5.0):
        """Every line after the cursor up to the end of the output (the
        cursor moves to the end).  Raises TimeoutError when the output does
        not end in time."""
        deadline = time.monotonic() + scaled(timeout)
        with self._cond:
            while not self._eof:
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    raise TimeoutError("output did not end; last output:\n%s" % self._tail())
                self._cond.wait(remaining)
            out = [text for _, text in self._lines[self._cursor:]]
            self._cursor = len(self._lines)
            return out

    def output_ended_inside_line(self):
        """True when the output ended with bytes after the last line feed."""
        with self._cond:
            return self._unterminated

    def answer(self, token, timeout=5.0, after=0):
        """The first answer line for a request token."""
        prefix = "%s " % token
        return self.wait_for(lambda line: line.startswith(prefix), timeout, after)

    def answers(self, tokens, timeout=10.0, after=0):
        """Waits until every token has an answer or the time is up; returns
        {token: [answer lines]} for the tokens answered (lists, so that a
        duplicate answer shows)."""
        wanted = {str(t) for t in tokens}
        deadline = time.monotonic() + scaled(timeout)
        got = {}
        seen = after
        with self._cond:
            while True:
                for _, text in self._lines[seen:]:
                    token = text.split(" ", 1)[0]
                    if token in wanted:
                        got.setdefault(token, []).append(text)
                seen = max(seen, len(self._lines))
                remaining = deadline - time.monotonic()
                if len(got) == len(wanted) or remaining <= 0 or self._eof:
                    return got
                self._cond.wait(remaining)

    def log_lines(self, after=0):
        return [line for line in self.lines(after) if line.startswith("* ")]

    # -- holding the output -------------------------------------------------------
    # The program writes its lines into a pipe.  Filling that pipe (through
    # /proc, with bytes the reader later drops) so that only `room` bytes
    # stay free makes the program block in the first write that does not
    # fit, which stops it at a known line: what it has done before that
    # line can be checked, what comes after it cannot have happened yet.
    def _pipe_fill(self):
        count = array.array("i", [0])
        fcntl.ioctl(self.proc.stdout.fileno(), termios.FIONREAD, count)
        return count[0]

    def hold_output(self, room, timeout=5.0):
        """Stops reading the output and leaves `room` bytes (less than a
        page) free in the pipe.  Call it while the program is quiet."""
        if not 0 <= room < 4096:
            raise ValueError("room must be less than a page")
        deadline = time.monotonic() + scaled(timeout)
        while True:
            with self._cond:
                self._paused = True
                self._cond.notify_all()
                while not self._reader_idle and not self._eof:
                    self._cond.wait(0.1)
                if self._eof:
                    raise RuntimeError("the output has ended")
                if self._pipe_fill() == 0:
                    break
                # Lines still in the pipe: let the reader take them first.
                self._paused = False
                self._cond.notify_all()
            if time.monotonic() > deadline:
                raise TimeoutError("the program did not go quiet")
            time.sleep(0.02)
        read_end = self.proc.stdout.fileno()
        capacity = fcntl.fcntl(read_end, fcntl.F_GETPIPE_SZ)
        filler = capacity - room
        write_end = os.open("/proc/%d/fd/1" % self.proc.pid, os.O_WRONLY | os.O_NONBLOCK)
        try:
            written = os.write(write_end, b"\0" * filler)
        finally:
            os.close(write_end)
        if written != filler:
            raise RuntimeError("filled %d of %d bytes of the output pipe" % (written, filler))
        with self._cond:
            self._skip = filler
            self._hold = (capacity, room)

    def wait_output_blocked(self, timeout=5.0):
        """Waits until the held pipe is full and the program's main thread
        waits in a write to its standard output."""
        capacity, _ = self._hold
        deadline = time.monotonic() + scaled(timeout)
        while True:
            try:
                with open("/proc/%d/syscall" % self.proc.pid) as f:
                    call = f.read().split()
            except OSError:
                call = []
            # write(2) or writev(2) on descriptor 1
            if self._pipe_fill() == capacity and call[:1] in (["1"], ["20"]) and call[1:2] == ["0x1"]:
                return
            if self.proc.poll() is not None:
                raise RuntimeError("%s exited while its output was held" % self.program)
            if time.monotonic() > deadline:
                raise TimeoutError("the program did not block on its output (pipe holds %d of %d bytes)"
                                   % (self._pipe_fill(), capacity))
            time.sleep(0.02)

    def release_output(self):
        with self._cond:
            self._paused = False
            self._hold = None
            self._cond.notify_all()

    # -- ending -----------------------------------------------------------------
    def wait_exit(self, timeout=10.0):
        """Exit status of the program (raises TimeoutError if it keeps running)."""
        try:
            code = self.proc.wait(timeout=scaled(timeout))
        except subprocess.TimeoutExpired:
            raise TimeoutError("%s still running after %.1f s" % (self.program, scaled(timeout)))
        if self._reader:
            self._reader.join(timeout=scaled(5))
        return code

    def quit(self, token="99", timeout=10.0):
        self.send_line("%s QUIT" % token)
        return self.wait_exit(timeout)

    def kill(self):
        """Ends the program at once (SIGKILL), as a crash would."""
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
        return self.wait_exit()

    @property
    def returncode(self):
        return None if self.proc is None else self.proc.poll()

    def stderr_text(self):
        if not os.path.exists(self.stderr_path):
            return ""
        with open(self.stderr_path, "rb") as f:
            return to_text(f.read())

    def submitted_files(self, prefix=""):
        """Names in the submission directory (starting with prefix), sorted."""
        if not os.path.isdir(self.submitted):
            return []
        return sorted(n for n in os.listdir(self.submitted) if n.startswith(prefix))

    def wait_submitted(self, prefix, count=1, timeout=5.0, exclude=()):
        """Waits until `count` submitted (".sub") files whose names start
        with prefix, other than those in exclude, are there; returns their
        names."""
        deadline = time.monotonic() + scaled(timeout)
        while True:
            names = [n for n in self.submitted_files(prefix) if n.endswith(".sub") and n not in exclude]
            if len(names) >= count:
                return names
            if time.monotonic() > deadline:
                raise TimeoutError("%d of %d %s*.sub files submitted; directory: %s"
                                   % (len(names), count, prefix, self.submitted_files()))
            time.sleep(0.02)

    def read_submitted(self, name):
        with open(os.path.join(self.submitted, name), "rb") as f:
            return to_text(f.read())

    def temp_files(self):
        temp = os.path.join(self.base, "Temp")
        return sorted(os.listdir(temp)) if os.path.isdir(temp) else []

    def _close_pipes(self):
        for stream in (self.proc.stdin, self.proc.stdout):
            try:
                stream.close()
            except OSError:
                pass

    def stop(self):
        if self.proc is not None:
            self.release_output()
            try:
                self.proc.stdin.close()
            except OSError:
                pass
            _stop_process(self.proc)
            if self._reader:
                self._reader.join(timeout=scaled(5))
            self._close_pipes()
        for engine in self.engines.values():
            engine.stop()
        for engine in self._scripted:
            engine.close()
        self._scripted = []

    def cleanup(self):
        self.stop()
        if self.keep:
            sys.stderr.write("kept scratch directory %s\n" % self.root)
        else:
            shutil.rmtree(self.root, ignore_errors=True)


# --- demonstration ----------------------------------------------------------------

class DemoMessage:
    def __init__(self, label, data, expect, name=None, missing=False, reaches_engine=True):
        self.label = label
        self.data = data
        self.expect = expect  # "OK", "INFECTED", "FAILURE", "ADDHEADER", "ALERT"
        self.name = name
        self.missing = missing
        self.reaches_engine = reaches_engine and not missing


def av_demo_messages():
    env = dict(sender="alice@example.org", source="mx.example.org [192.0.2.10]",
               recipients=("bob@example.net", "carol@example.net"))
    return [
        DemoMessage("clean message", queue_file(mail_text("Lunch", "See you at noon."), **env), "OK"),
        DemoMessage("EICAR test file in the body",
                    queue_file(mail_text("Test", "Attached:\n" + eicar()), **env), "INFECTED"),
        DemoMessage("viruses in nested parts",
                    queue_file(mail_text("Invoice", "Open the archive.",
                                         extra=("X-Sim-Virus: Trojan.Sim.Dropper", "X-Sim-Nested: 2")), **env),
                    "INFECTED"),
        DemoMessage("root scan error",
                    queue_file(mail_text("Locked", "Encrypted archive.",
                                         extra=("X-Sim-Error: SE_PASSWORD_PROTECTED",)), **env), "FAILURE"),
        DemoMessage("error in a nested part only",
                    queue_file(mail_text("Broken", "Damaged archive.",
                                         extra=("X-Sim-Child-Error: SE_ARCH_CRC_ERROR",)), **env), "OK"),
        DemoMessage("message without envelope", queue_file(mail_text("Raw", "No envelope."), envelope=False),
                    "OK"),
        DemoMessage("missing message file", b"", "FAILURE", name="gone.msg", missing=True),
    ]


def as_demo_messages():
    env = dict(source="mx.example.org [192.0.2.20]", recipients=("bob@example.net",))
    return [
        DemoMessage("legitimate message",
                    queue_file(mail_text("Minutes", "The minutes of today's meeting."), sender="alice@example.org",
                               **env), "ADDHEADER"),
        DemoMessage("spam words", queue_file(mail_text("You won", "Cheap viagra, lottery prize!"),
                                             sender="winner@spam.example", **env), "ALERT"),
        DemoMessage("engine score 120 by marker",
                    queue_file(mail_text("Offer", "Maybe spam.", extra=("X-Sim-Score: 120",)),
                               sender="shop@ads.example", **env), "ADDHEADER"),
        DemoMessage("whitelisted sender (never sent to the engine)",
                    queue_file(mail_text("Hello", "From a friend: viagra jokes."), sender="friend@trusted.example",
                               **env), "ADDHEADER", reaches_engine=False),
        DemoMessage("message without envelope",
                    queue_file(mail_text("Raw", "No envelope here."), envelope=False), "ADDHEADER"),
    ]


def verdict_ok(program, mode, expect, line):
    if line is None:
        return False
    words = line.split(" ")
    kind = words[1] if len(words) > 1 else ""
    if expect == "OK":
        return kind == "OK" and len(words) == 2
    if expect == "FAILURE":
        return kind == "FAILURE"
    if expect == "INFECTED":
        return kind == {"Reject": "ERROR", "Discard": "DISCARD", "AddHeader": "ADDHEADER"}[mode]
    if expect == "ADDHEADER":
        return kind == "ADDHEADER" and "X-Alert" not in line
    if expect == "ALERT":
        return kind == "ADDHEADER" and "X-Alert" in line
    return False


# With the real engines the messages carry what ClamAV and SpamAssassin
# recognise: the test strings, inside attachments and out.  The ClamAV test
# database knows only the anti-virus test string; nothing else is infected.
REAL_VIRUS = "Tarnwick.Test.EICAR"


def real_av_demo_messages():
    env = dict(sender="alice@example.org", source="mx.example.org [192.0.2.10]",
               recipients=("bob@example.net", "carol@example.net"))
    eicar_mail = mime_mail("Invoice", "The invoice is attached.", eicar(), "invoice.com")
    clean_mail = mime_mail("Report", "The report is attached.", "Quarterly figures: all fine.\n", "report.txt")
    messages = [
        DemoMessage("clean message", queue_file(mail_text("Lunch", "See you at noon."), **env), "OK"),
        DemoMessage("EICAR in a base64 MIME attachment", queue_file(eicar_mail, **env), "INFECTED"),
        DemoMessage("clean base64 MIME attachment", queue_file(clean_mail, **env), "OK"),
        DemoMessage("EICAR test file in the body",
                    queue_file(mail_text("Test", "Attached:\n" + eicar()), **env), "INFECTED"),
        DemoMessage("EICAR attachment, message without envelope", queue_file(eicar_mail, envelope=False),
                    "INFECTED"),
        DemoMessage("missing message file", b"", "FAILURE", name="gone.msg", missing=True),
    ]
    for msg in messages:
        msg.virus = REAL_VIRUS if msg.expect == "INFECTED" else None
    return messages


def real_as_demo_messages():
    env = dict(source="mx.example.org [192.0.2.20]", recipients=("bob@example.net",))
    # Date and Message-ID as every real mail client writes them: without
    # them SpamAssassin adds a point or two for the missing headers.
    usual = ("Date: Mon, 7 Dec 2026 10:00:00 +0000", "Message-ID: <minutes-4711@example.org>")
    return [
        DemoMessage("ordinary message",
                    queue_file(mail_text("Minutes", "Here are the minutes of today's meeting.\n\nAlice",
                                         extra=usual), sender="alice@example.org", **env), "LOW"),
        DemoMessage("GTUBE spam test message",
                    queue_file(mail_text("Offer", "Buy now.\n" + gtube(), sender="shop@ads.example",
                                         extra=usual), sender="shop@ads.example", **env), "SPAM"),
        DemoMessage("GTUBE from a whitelisted sender (never rated)",
                    queue_file(mail_text("Joke", "Look at this:\n" + gtube(), sender="friend@trusted.example",
                                         extra=usual), sender="friend@trusted.example", **env), "WHITELISTED",
                    reaches_engine=False),
        DemoMessage("ordinary message without envelope",
                    queue_file(mail_text("Raw", "No envelope here, just a note.", extra=usual), envelope=False),
                    "LOW"),
    ]


def real_verdict_ok(program, mode, msg, line, log_lines=()):
    """verdict_ok for the real engines: an infected message must name the
    ClamAV signature (in the answer, or for Discard in the log line before
    it); a rated message must carry the expected score: "SPAM" 100 with the
    alert lines, "LOW" 40 or less without them, "WHITELISTED" exactly 0."""
    if line is None:
        return False
    words = line.split(" ")
    kind = words[1] if len(words) > 1 else ""
    if msg.expect == "INFECTED":
        if not verdict_ok(program, mode, "INFECTED", line):
            return False
        if mode == "Discard":
            return any(log.startswith("* (%s) %s" % (words[0], msg.virus)) for log in log_lines)
        return msg.virus in line
    if msg.expect in ("SPAM", "LOW", "WHITELISTED"):
        found = re.search(r"X-Junk-Score: *(\d+)", line)
        if kind != "ADDHEADER" or found is None:
            return False
        score, alert = int(found.group(1)), "X-Alert" in line
        if msg.expect == "SPAM":
            return score == 100 and alert
        if msg.expect == "WHITELISTED":
            return score == 0 and not alert
        return score <= 40 and not alert
    return verdict_ok(program, mode, msg.expect, line)


def real_engine_setup(program, spamd):
    """The daemon for program and its options, and how the title shows them."""
    if program == "Tarnwick-AV":
        return "quillon-clamd", ["--db", clamav_test_db()], "quillon-clamd --db engines/testdb"
    return ("quillon-spamd", ["--spamd-socket", spamd.socket_path],
            "quillon-spamd -> spamd (SpamAssassin, local tests only)")


def header_summary(text):
    head = text.split("\n\n", 1)[0]
    wanted = ("From:", "To:", "Bcc:", "Subject:")
    return "; ".join(line for line in head.split("\n") if line.startswith(wanted))


def run_demo(program, mode, bin_dir, engine_args, show_log, keep, timeout, out, engines="sim", spamd=None):
    """One demonstration run; engines "real" uses the engine daemons (spamd:
    the running SpamdServer that quillon-spamd asks)."""
    real = engines == "real"
    title = program if program == "Tarnwick-AS" else "%s, Mode=%s" % (program, mode)
    if real:
        engine, daemon_args, shown = real_engine_setup(program, spamd)
        engine_args = daemon_args + list(engine_args)
        out.write("\n=== %s (engine: %s) ===\n" % (title, " ".join([shown] + engine_args[len(daemon_args):])))
        messages = real_av_demo_messages() if program == "Tarnwick-AV" else real_as_demo_messages()
    else:
        engine = "auto"
        out.write("\n=== %s (engine: %s %s) ===\n" % (title, ENGINES[program], " ".join(engine_args)))
        messages = av_demo_messages() if program == "Tarnwick-AV" else as_demo_messages()
    whitelist = ["# trusted senders", "*@trusted.example"] if program == "Tarnwick-AS" else None
    failures = 0
    with FilterSession(program, bin_dir=bin_dir, mode=mode, engine=engine, engine_args=engine_args,
                       whitelist=whitelist, keep=keep) as s:
        s.start()
        s.send_line("1 INTF 3")
        tokens = []
        for i, msg in enumerate(messages):
            token = str(101 + i)
            if msg.missing:
                path = os.path.join("Queue", msg.name)
            else:
                path = s.add_file(msg.data, msg.name or "%s.msg" % token)
            tokens.append(token)
            s.request(token, path)
        got = s.answers(tokens, timeout=timeout)
        intf = [line for line in s.lines() if line.startswith("1 ")]
        out.write("  INTF answer: %s\n" % (intf[0] if intf else "(none)"))
        for token, msg in zip(tokens, messages):
            lines = got.get(token)
            line = lines[0] if lines else None
            if real:
                ok = real_verdict_ok(program, mode, msg, line, s.log_lines())
            else:
                ok = verdict_ok(program, mode, msg.expect, line)
            ok = ok and len(lines or []) == 1
            failures += 0 if ok else 1
            out.write("  %-4s %-46s %s%s\n" % (token, msg.label, line if line else "(no answer)",
                                               "" if ok else "   <-- UNEXPECTED"))
        arrival = [line.split(" ", 1)[0] for line in s.lines() if line.split(" ", 1)[0] in tokens]
        out.write("  answers left in this order: %s\n" % " ".join(arrival))
        code = s.quit(timeout=timeout)
        if code != 0:
            failures += 1
        if s.engine is not None and s.engine.requests() is not None:
            received = s.engine.requests()
            out.write("  engine received %d request(s): serials %s\n"
                      % (len(received), " ".join(str(n) for n in received) or "-"))
            expected = sorted(int(t) for t, m in zip(tokens, messages) if m.reaches_engine)
            if sorted(received) != expected:
                out.write("  <-- UNEXPECTED: the engine should have received %s\n" % expected)
                failures += 1
        out.write("  exit status: %d\n" % code)
        out.write("  submission directory:\n")
        names = s.submitted_files()
        if not names:
            out.write("    (empty)\n")
        for name in names:
            out.write("    %-34s %s\n" % (name, header_summary(s.read_submitted(name))))
        # One generated mail in full: the first notification, else the
        # daily report.
        shown = [n for n in names if "_notify_" in n] or [n for n in names if "_daily_" in n]
        if shown:
            out.write("  %s in full:\n" % shown[0])
            for line in s.read_submitted(shown[0]).splitlines():
                out.write("    | %s\n" % line)
        leftovers = s.temp_files()
        if leftovers:
            out.write("  left in Temp: %s\n" % " ".join(leftovers))
        if show_log:
            out.write("  log:\n")
            for line in s.log_lines():
                out.write("    %s\n" % line)
            if real and s.engine is not None:
                out.write("  engine log:\n")
                for line in s.engine.log_lines():
                    out.write("    %s\n" % line)
    return failures


def real_engines_ready(args, runs, out):
    """Checks that the daemons were built and spamd is installed, and starts
    spamd when Tarnwick-AS runs.  Returns (problems found, SpamdServer or None)."""
    bin_dir = os.path.abspath(args.bin or default_bin_dir())
    why = {"quillon-clamd": "quillon-clamd (not built: it needs libclamav-dev)",
           "quillon-spamd": "quillon-spamd (not built)"}
    missing = [why[REAL_ENGINES[program]] for program in sorted({program for program, _ in runs})
               if not os.access(os.path.join(bin_dir, REAL_ENGINES[program]), os.X_OK)]
    wants_spamd = any(program == "Tarnwick-AS" for program, _ in runs)
    if wants_spamd and find_spamd() is None:
        missing.append("spamd (package spamassassin)")
    if missing:
        out.write("real engines missing: %s\n" % ", ".join(missing))
        return 1, None
    if not wants_spamd:
        return 0, None
    parent = tempfile.gettempdir() if len(tempfile.gettempdir()) <= 40 else "/tmp"
    spamd = SpamdServer(tempfile.mkdtemp(prefix="tw-spamd-", dir=parent))
    out.write("starting spamd (SpamAssassin, local tests only) ...\n")
    out.flush()
    try:
        spamd.start()
    except (OSError, RuntimeError, TimeoutError) as e:
        out.write("spamd did not start: %s\n" % e)
        shutil.rmtree(spamd.directory, ignore_errors=True)
        return 1, None
    return 0, spamd


def main(argv=None):
    parser = argparse.ArgumentParser(description="Simulated Velmora mail server driving the Tarnwick filters.")
    parser.add_argument("--program", choices=("AV", "AS", "both"), default="both")
    parser.add_argument("--mode", choices=("Reject", "Discard", "AddHeader", "all"), default="all",
                        help="Mode of Tarnwick-AV (default: each in turn)")
    parser.add_argument("--bin", default=None, help="directory of the programs and simulators")
    parser.add_argument("--engines", choices=("sim", "real"), default="sim",
                        help="sim: the engine simulators (default); real: quillon-clamd on the ClamAV test "
                             "database and quillon-spamd with a spamd started here")
    parser.add_argument("--engine-args", default="", help='extra simulator options, e.g. "--shuffle 4 --delay-ms 20"'
                        ' (with --engines real: extra daemon options)')
    parser.add_argument("--show-log", action="store_true", help="print the filter's log lines too")
    parser.add_argument("--keep", action="store_true", help="keep the scratch directories")
    parser.add_argument("--timeout", type=float, default=None,
                        help="seconds to wait for the answers (default: 15, with --engines real 60)")
    args = parser.parse_args(argv)
    if args.timeout is None:
        args.timeout = 60.0 if args.engines == "real" else 15.0

    engine_args = shlex.split(args.engine_args)
    runs = []
    if args.program in ("AV", "both"):
        modes = ("Reject", "Discard", "AddHeader") if args.mode == "all" else (args.mode,)
        runs += [("Tarnwick-AV", mode) for mode in modes]
    if args.program in ("AS", "both"):
        runs.append(("Tarnwick-AS", None))

    failures = 0
    spamd = None
    if args.engines == "real":
        failures, spamd = real_engines_ready(args, runs, sys.stdout)
        if failures:
            runs = []
    try:
        for program, mode in runs:
            try:
                failures += run_demo(program, mode, args.bin, engine_args, args.show_log, args.keep,
                                     args.timeout, sys.stdout, args.engines, spamd)
            except (OSError, RuntimeError, TimeoutError) as e:
                sys.stdout.write("  run failed: %s\n" % e)
                failures += 1
    finally:
        if spamd is not None:
            spamd.stop()
            if args.keep:
                sys.stderr.write("kept spamd directory %s\n" % spamd.directory)
            else:
                shutil.rmtree(spamd.directory, ignore_errors=True)
    sys.stdout.write("\n%s\n" % ("all verdicts as expected" if failures == 0
                                 else "%d unexpected result(s)" % failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
