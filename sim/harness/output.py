"""The output of a filter program as a test reads it: every line kept with
the time it came, waits that search all lines or walk them with a cursor,
and a way to stop the program at a chosen line by holding its output."""

import array
import fcntl
import os
import re
import select
import termios
import threading
import time

from .base import scaled, to_text


class ProgramOutput:
    """The lines a program writes on its standard output, read by a thread
    of their own.  Mixed into FilterSession, which gives `proc` (the
    running program, its output a pipe) and `program` (its name)."""

    def __init__(self):
        self._reader = None
        self._cond = threading.Condition()  # guards the output state below
        self._reset_output()

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
            self._closed = False  # close_output: our end of the pipe is gone

    def _start_reader(self):
        self._reader = threading.Thread(target=self._read_output, daemon=True)
        self._reader.start()

    def _read_output(self):
        fd = self.proc.stdout.fileno()
        while True:
            with self._cond:
                while self._paused:
                    self._reader_idle = True
                    self._cond.notify_all()
                    self._cond.wait()
                if self._closed:
                    self._eof = True
                    self._cond.notify_all()
                    return
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

    def close_output(self, timeout=5.0):
        """Closes our reading end of the program's output, as a server that
        went away would; the lines read so far stay."""
        with self._cond:
            self._paused = True
            self._cond.notify_all()
            deadline = time.monotonic() + scaled(timeout)
            while not self._reader_idle and not self._eof:
                if time.monotonic() > deadline:
                    raise TimeoutError("the output reader did not pause")
                self._cond.wait(0.1)
            self.proc.stdout.close()
            self._closed = True
            self._paused = False
            self._cond.notify_all()

    def release_output(self):
        with self._cond:
            self._paused = False
            self._hold = None
            self._cond.notify_all()
