"""The engine simulators (sim-scan-engine, sim-spam-engine) as processes
of a test, with the request log they keep."""

import os
import re
import subprocess
import time

from .base import scaled, stop_process, to_text

ENGINES = {"Tarnwick-AV": "sim-scan-engine", "Tarnwick-AS": "sim-spam-engine"}


class EngineProcess:
    """One engine simulator listening on its own socket in the scratch area."""

    def __init__(self, kind, socket_path, bin_dir, args=(), log_path=None, stderr_path=None,
                 preexec=None):
        self.kind = kind
        self.preexec = preexec  # run in the child before the simulator (e.g. dropping root)
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
            self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=err, stderr=err,
                                         preexec_fn=self.preexec)
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
        stop_process(self.proc)

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


