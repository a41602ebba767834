"""Fixtures for end-to-end tests: a scratch server base directory, a filter
program started in it with real settings files, and line-level access to
its standard input and output.
"""

import os
import queue
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

BIN = os.environ.get("TARNWICK_BIN", os.path.join(os.path.dirname(__file__), "..", "..", "build", "bin"))
PY = os.environ.get("TARNWICK_PY", os.path.join(BIN, "..", "python"))
sys.path.insert(0, PY)

# Sanitizer builds run slower; waits scale with it.
SLOW = 4.0 if os.environ.get("TARNWICK_SANITIZE") else 1.0

EICAR = (b"X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*")


def quote(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


AV_SETTINGS = """\
Socket = {socket};
Mode = {mode};
SubmittedDirectory = {submitted};
PostProcess = {postprocess};
RejectOptions = {{ NotifyRecipients = {notify}; }};
DiscardOptions = {{ NotifyRecipients = {notify}; }};
AddHeaderOptions = {{ Header = "X-Virus: ^1"; }};
NotificationMessage = {{
    Caption = "Virus found: ";
    Summary = "^1 virus(es) found\\e";
    Footer = "Message rejected";
}};
NotifyRecipientsOptions = {{
    From = "postmaster@example.com";
    Subject = "Virus alert";
    ExtraHeaders = "X-Tarnwick: notice";
    HeaderTitle = "Original headers:";
    SenderInfo = "Sender: ^1";
    Description = ("A message to you carried a virus.", "It was not delivered.");
}};
DailyReport = {{ Enabled = Yes; From = "tarnwick@example.com"; To = "admin@example.com"; Subject = "Daily report ^1"; }};
EventsReports = {{
    From = "tarnwick@example.com"; To = "admin@example.com";
    Started = {{ Enabled = {events}; Subject = "Started ^1"; }};
    Stopped = {{ Enabled = {events}; Subject = "Stopped ^1"; }};
}};
{extra}
"""

AS_SETTINGS = """\
Socket = {socket};
Header = "X-Junk-Score: ^1 [^2]\\eX-Quillon-Score: ^1 [^2]";
AlertLevel = 100;
AlertHeader = "X-Alert: possible spam!\\eX-Color: red";
BarScoreRanges = (0, 39, 76, 84, 90, 99, 100);
OnProblem = Ignore;
SubmittedDirectory = {submitted};
DailyReport = {{ Enabled = Yes; From = "tarnwick@example.com"; To = "admin@example.com"; Subject = "Daily report ^1"; }};
EventsReports = {{
    From = "tarnwick@example.com"; To = "admin@example.com";
    Started = {{ Enabled = {events}; Subject = "Started ^1"; }};
    Stopped = {{ Enabled = {events}; Subject = "Stopped ^1"; }};
}};
{extra}
"""


class Scratch:
    """A server base directory with the program linked into its own
    directory, so that the program finds its settings there."""

    def __init__(self, program):
        self.program = program
        self.root = tempfile.mkdtemp(prefix="tarnwick-")
        self.base = os.path.join(self.root, "base")
        self.progdir = os.path.join(self.root, "prog")
        os.makedirs(os.path.join(self.base, "Submitted"))
        os.makedirs(self.progdir)
        self.exe = os.path.join(self.progdir, program)
        os.symlink(os.path.abspath(os.path.join(BIN, program)), self.exe)
        self.socket = os.path.join(self.root, "engine.sock")

    def settings_path(self):
        return os.path.join(self.progdir, self.program + ".cfg")

    def write_settings(self, text):
        with open(self.settings_path(), "w") as f:
            f.write(text)

    def write_default_settings(self, mode="Reject", notify="No", events="No", postprocess='""', extra="",
                               socket=None, submitted="Submitted"):
        template = AV_SETTINGS if self.program == "Tarnwick-AV" else AS_SETTINGS
        self.write_settings(template.format(socket=quote(socket or self.socket), mode=mode, notify=notify,
                                            events=events, postprocess=postprocess, extra=extra,
                                            submitted=quote(submitted)))

    def queue_file(self, name, body, sender="sender@example.org", source="smtp [192.0.2.7]",
                   recipients=("rcpt@example.com",), envelope=True):
        if isinstance(body, str):
            body = body.encode()
        data = b""
        if envelope:
            lines = []
            if sender is not None:
                lines.append("P <%s>" % sender)
            if source is not None:
                lines.append("S %s" % source)
            lines += ["R <%s>" % r for r in recipients]
            data = ("\n".join(lines) + "\n\n").encode()
        path = os.path.join(self.base, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data + body)
        return name

    def submitted(self, suffix=".sub"):
        d = os.path.join(self.base, "Submitted")
        return sorted(n for n in os.listdir(d) if n.endswith(suffix))

    def read_submitted(self, name):
        with open(os.path.join(self.base, "Submitted", name), "rb") as f:
            return f.read().decode("latin-1")

    def temp_files(self):
        d = os.path.join(self.base, "Temp")
        return sorted(os.listdir(d)) if os.path.isdir(d) else []

    def cleanup(self):
        shutil.rmtree(self.root, ignore_errors=True)


class Filter:
    """A running filter program; collects its output lines as they come."""

    def __init__(self, scratch, args=(), env=None, wrapper=()):
        self.scratch = scratch
        full_env = dict(os.environ)
        if env:
            full_env.update(env)
        self.proc = subprocess.Popen(list(wrapper) + [scratch.exe] + list(args), cwd=scratch.base,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=full_env)
        self.lines = queue.Queue()
        self.seen = []
        self.raw = b""
        self._lock = threading.Lock()
        threading.Thread(target=self._pump, daemon=True).start()

    def _pump(self):
        buf = b""
        while True:
            chunk = self.proc.stdout.read1(65536)
            if not chunk:
                break
            with self._lock:
                self.raw += chunk
            buf += chunk
            while b"\n" in buf:
                line, buf = buf.split(b"\n", 1)
                self.lines.put(line.decode("latin-1"))
        if buf:
            self.lines.put(buf.decode("latin-1") + "<no line end>")
        self.lines.put(None)

    def send(self, text):
        if isinstance(text, str):
            text = text.encode("latin-1")
        self.proc.stdin.write(text)
        self.proc.stdin.flush()

    def close_input(self):
        self.proc.stdin.close()

    def expect(self, pattern, timeout=5.0):
        """Reads lines until one matches pattern (a regex or exact text);
        returns it, or fails with what was seen."""
        deadline = time.time() + timeout * SLOW
        matcher = (lambda l: l == pattern) if isinstance(pattern, str) else pattern.search
        while True:
            remaining = deadline - time.time()
            if remaining <= 0:
                raise AssertionError("no line matching %r; seen:\n%s" % (pattern, "\n".join(self.seen[-40:])))
            try:
                line = self.lines.get(timeout=remaining)
            except queue.Empty:
                continue
            if line is None:
                self.lines.put(None)
                raise AssertionError("output ended before %r; seen:\n%s" % (pattern, "\n".join(self.seen[-40:])))
            self.seen.append(line)
            if matcher(line):
                return line

    def answers(self, count, timeout=10.0):
        """The next `count` lines that are not log lines."""
        got = []
        while len(got) < count:
            got.append(self.expect(re.compile(r"^(?!\* )"), timeout))
        return got

    def rest(self, timeout=5.0):
        """Every line until the output ends."""
        out = []
        deadline = time.time() + timeout * SLOW
        while time.time() < deadline:
            try:
                line = self.lines.get(timeout=0.05)
            except queue.Empty:
                continue
            if line is None:
                self.lines.put(None)
                return out
            self.seen.append(line)
            out.append(line)
        raise AssertionError("output did not end; seen:\n%s" % "\n".join(self.seen[-40:]))

    def wait(self, timeout=10.0):
        return self.proc.wait(timeout=timeout * SLOW)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
