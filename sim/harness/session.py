"""A filter program run against simulated surroundings: its scratch
server directory, its settings, its engine, and its standard input and
output as the server would see them."""

import os
import shutil
import subprocess
import sys
import time

from .base import PROGRAMS, default_bin_dir, scaled, scratch_directory, stop_process, to_bytes, to_text
from .clock import FakeClock
from .engines import ENGINES, EngineProcess
from .mail import queue_file
from .output import ProgramOutput
from .real_engines import DAEMONS, EngineDaemon
from .scripted import ScriptedEngine
from .settings import cfg_file, default_settings


class FilterSession(ProgramOutput):
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
                 keep=None, env=None, argv0=None, preexec=None):
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
        self.preexec = preexec  # run in the child before the program (e.g. dropping root)
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
        super().__init__()
        self._counter = 0

        # None: the program's defaults; dict: overrides merged over them;
        # text: the whole file.  Written at start() unless written before.
        self._initial_settings = settings
        self._settings_written = False
        if whitelist is not None:
            self.write_whitelist(whitelist)

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

    def swap_program_directory(self):
        """Puts a copy of the program directory in its place while the
        program runs, as a new release would: the old one is renamed away,
        so a watch on it sees nothing of the new one."""
        old = self.prog_dir + ".old"
        os.rename(self.prog_dir, old)
        shutil.copytree(old, self.prog_dir, symlinks=True)

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
                                         env=env, bufsize=0, preexec_fn=self.preexec)
        self._start_reader()
        return self

    def start_with(self, engine, timeout=5.0):
        """start(), then waits until the program's reader thread has started
        (the cursor passes that line) and `engine`, a ScriptedEngine, has
        accepted its connection; returns the connection."""
        self.start()
        self.expect("* reader thread started", timeout)
        return engine.accept(timeout)

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
