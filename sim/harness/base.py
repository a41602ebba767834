"""Ground floor of the harness: where the programs are, how long a wait
may take, bytes and text on the wire, scratch directories and the
generated message classes.  Imports nothing else of the harness."""

import importlib
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

PROGRAMS = ("Tarnwick-AV", "Tarnwick-AS")

REPO_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))



def _load_factor():
    """How much slower than on a quiet machine programs run here now: the
    runnable processes per CPU, from the one-minute load average or, when
    more, those runnable at this moment (the average lags behind a load
    that has just begun), at least 1 and at most 4.  TARNWICK_LOAD_FACTOR
    sets it instead."""
    given = os.environ.get("TARNWICK_LOAD_FACTOR")
    if given:
        return max(1.0, float(given))
    try:
        with open("/proc/loadavg") as f:
            fields = f.read().split()
        runnable = max(float(fields[0]), int(fields[3].split("/")[0]) - 1)  # less the reader itself
    except (OSError, ValueError, IndexError):
        return 1.0
    return min(4.0, max(1.0, runnable / (os.cpu_count() or 1)))


# Every bound a test puts on a wait or on how long the programs take is
# their own deadline or promise on a quiet machine, times this: sanitizer
# builds run several times slower, and a machine busy with other work
# stretches everything again.  Lower bounds (a program that must wait at
# least so long) are never stretched.
# SANITIZED: a sanitizer build, whose programs also take memory of their own.
SANITIZED = bool(os.environ.get("TARNWICK_SANITIZE"))
SANITIZER_FACTOR = 4.0 if SANITIZED else 1.0
LOAD_FACTOR = _load_factor()
TIMEOUT_SCALE = SANITIZER_FACTOR * LOAD_FACTOR

# Lines are bytes on the wire; as text they are UTF-8 with undecodable bytes
# kept as surrogates, so every byte survives a round trip.
ENCODING = "utf-8"
ERRORS = "surrogateescape"


# A skipped case is reported to ctest with this exit status (harness.run);
# where CI is set it fails instead, unless marked with ci_may_skip.
SKIP_CODE = 77
_CI_MAY_SKIP = "_tarnwick_ci_may_skip"


def ci_may_skip(why):
    """Marks a test method or class whose skip is expected even on the CI
    machine (root, every package of the Makefile's DEPS); why says when it
    runs, for example "plain build only"."""
    def mark(obj):
        setattr(obj, _CI_MAY_SKIP, why)
        return obj
    return mark


def ci_may_skip_marked(test):
    """Whether a skipped case (a test, a subTest, or the holder of a skip
    raised in setUpClass) carries the ci_may_skip mark."""
    test = getattr(test, "test_case", test)
    if hasattr(test, "_testMethodName"):
        method = getattr(test, test._testMethodName, None)
        return bool(getattr(method, _CI_MAY_SKIP, None) or getattr(type(test), _CI_MAY_SKIP, None))
    found = re.search(r"\((\S+)\.(\w+)\)", getattr(test, "description", ""))
    owner = found and getattr(sys.modules.get(found.group(1)), found.group(2), None)
    return bool(getattr(owner, _CI_MAY_SKIP, None))


def scaled(seconds, below=None):
    """seconds stretched by TIMEOUT_SCALE.  below: a deadline of the
    program that the bound tells apart from (an answer "at once, not at
    the timeout"): the bound stays under three quarters of it."""
    if below is None:
        return seconds * TIMEOUT_SCALE
    return min(seconds * TIMEOUT_SCALE, 0.75 * below)


def wait_until(predicate, timeout, what):
    """predicate's first true value, asked every 20 ms; AssertionError
    naming `what` when none comes within `timeout` seconds (scaled)."""
    deadline = time.monotonic() + scaled(timeout)
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out after %.1f s waiting for %s" % (scaled(timeout), what))
        time.sleep(0.02)


def to_bytes(data):
    return data if isinstance(data, bytes) else data.encode(ENCODING, ERRORS)


def to_text(data):
    return data if isinstance(data, str) else data.decode(ENCODING, ERRORS)


def default_bin_dir():
    return os.environ.get("TARNWICK_BIN") or os.path.join(REPO_DIR, "build", "bin")


def default_python_dir(bin_dir=None):
    """Directory of the generated message classes (quillon_*_pb2.py)."""
    env = os.environ.get("TARNWICK_PY")
    if env:
        return env
    return os.path.join(os.path.dirname(os.path.abspath(bin_dir or default_bin_dir())), "python")


def scratch_directory(prefix="tw-"):
    """A new private directory whose paths stay short enough for unix
    socket names (at most 107 characters)."""
    parent = tempfile.gettempdir()
    return tempfile.mkdtemp(prefix=prefix, dir=parent if len(parent) <= 40 else "/tmp")


def load_stats_tool(path=None):
    """tarnwick-stats as a module (its file has no .py ending): the built
    copy by default, whose functions a test calls on the files of real runs."""
    import types
    path = path or os.path.join(default_bin_dir(), "tarnwick-stats")
    module = types.ModuleType("tarnwick_stats")
    with open(path) as f:
        exec(compile(f.read(), path, "exec"), module.__dict__)
    return module


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


def stop_process(proc, grace=2.0, group=False):
    """SIGTERM, then SIGKILL when the process has not ended after `grace`
    seconds (stretched in sanitizer builds).  group: the signals go to the
    process group the process leads (start_new_session), so its children
    end with it."""
    if proc is None or proc.poll() is not None:
        return

    def send(sig):
        if group:
            os.killpg(proc.pid, sig)
        else:
            proc.send_signal(sig)
    try:
        send(signal.SIGTERM)
        proc.wait(timeout=scaled(grace))
    except subprocess.TimeoutExpired:
        send(signal.SIGKILL)
        proc.wait(timeout=scaled(5))
    except ProcessLookupError:
        pass
