"""Small self-contained driver for the deployment tests: a mail server base
directory, an engine simulator and one filter process spoken to line by
line.  Standard library only."""

import os
import re
import select
import shutil
import subprocess
import tempfile
import time

SOURCE_DIR = os.environ.get("TARNWICK_SOURCE",
                            os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
BIN_DIR = os.environ.get("TARNWICK_BIN", os.path.join(SOURCE_DIR, "build", "bin"))
SANITIZE = os.environ.get("TARNWICK_SANITIZE", "")
TIMEOUT = 40.0 if SANITIZE else 10.0
ENGINE_OF = {"Tarnwick-AV": "sim-scan-engine", "Tarnwick-AS": "sim-spam-engine"}
# What a settings reader says when something is wrong with the file.
REPORT = re.compile(r"^(\* Error in |Configuration error|\* FAILURE|\* Missing )")


def eicar():
    return "X5O!P%@AP[4\\PZX54(P^)7CC)7}$" + "EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"


def queue_file(body, subject="Test"):
    """A queue file with an envelope, as the mail server writes it."""
    return ("P <alice@example.org>\nS mx.example.org [192.0.2.10]\nR <bob@example.net>\n\n"
            "From: <alice@example.org>\nTo: <bob@example.net>\nSubject: %s\n\n%s\n"
            % (subject, body)).encode()


def sample_settings(program, socket_path):
    """The sample settings of etc/ with the engine socket moved to a scratch
    path: everything else exactly as shipped."""
    with open(os.path.join(SOURCE_DIR, "etc", program + ".cfg")) as f:
        text = f.read()
    text, n = re.subn(r'(?m)^Socket = "[^"]*";', 'Socket = "%s";' % socket_path, text)
    assert n == 1, "the sample has no single Socket line"
    return text


def scratch_dir(test):
    path = tempfile.mkdtemp(prefix="tarnwick-deploy-")
    test.addCleanup(shutil.rmtree, path, True)
    return path


def start_engine(test, kind, socket_path, bin_dir=BIN_DIR, preexec=None):
    """An engine simulator listening on socket_path (it renames the socket
    into place once it listens)."""
    proc = subprocess.Popen([os.path.join(bin_dir, kind), socket_path],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, preexec_fn=preexec)
    test.addCleanup(stop, proc)
    deadline = time.monotonic() + TIMEOUT
    while not os.path.exists(socket_path):
        test.assertIsNone(proc.poll(), "%s exited before listening" % kind)
        test.assertLess(time.monotonic(), deadline, "%s did not listen" % kind)
        time.sleep(0.02)
    return proc


def stop(proc):
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(TIMEOUT)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    for pipe in (proc.stdin, proc.stdout):
        if pipe and not pipe.closed:
            pipe.close()


class Filter:
    """One filter process: started by `argv0` in the server directory."""

    def __init__(self, test, argv0, server_dir, preexec=None):
        self.test = test
        self.proc = subprocess.Popen([argv0], cwd=server_dir, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     preexec_fn=preexec)
        test.addCleanup(stop, self.proc)
        self.buf = b""
        self.lines = []

    def send(self, line):
        self.proc.stdin.write(line.encode() + b"\n")
        self.proc.stdin.flush()

    def _read(self, deadline):
        left = deadline - time.monotonic()
        if left <= 0:
            return False
        ready, _, _ = select.select([self.proc.stdout], [], [], left)
        if not ready:
            return False
        chunk = os.read(self.proc.stdout.fileno(), 65536)
        if not chunk:
            return False
        self.buf += chunk
        *done, self.buf = self.buf.split(b"\n")
        self.lines.extend(d.decode("utf-8", "replace") for d in done)
        return True

    def wait_line(self, prefix):
        """The first output line starting with prefix (waiting for it)."""
        deadline = time.monotonic() + TIMEOUT
        while True:
            for line in self.lines:
                if line.startswith(prefix):
                    return line
            if not self._read(deadline):
                self.test.fail("no line %r; output so far:\n%s" % (prefix, "\n".join(self.lines)))

    def quit(self):
        """Sends QUIT and reads everything up to the exit; the exit status."""
        self.send("99 QUIT")
        self.proc.stdin.close()
        deadline = time.monotonic() + TIMEOUT
        while self._read(deadline):
            pass
        return self.proc.wait(TIMEOUT)

    def reports(self):
        return [line for line in self.lines if REPORT.match(line)]
