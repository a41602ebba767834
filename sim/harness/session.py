"""A filter program run against simulated surroundings: its scratch
server directory, its settings, its engine, and its standard input and
output as the server would see them."""

import array
import fcntl
import os
import re
import select
import shutil
import subprocess
import sys
import termios
import threading
import time

from .base import PROGRAMS, default_bin_dir, scaled, scratch_directory, stop_process, to_bytes, to_text
from .clock import FakeClock
from .engines import ENGINES, EngineProcess
from .mail import queue_file
from .real_engines import DAEMONS, EngineDaemon
from .scripted import ScriptedEngine
from .settings import cfg_file, default_settings


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

        self.root = scratch_directory("tw-")
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
            stop_process(self.proc)
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
