"""A tarnwick-milter with its filters and simulated engines in a scratch
directory, driven by Debian's miltertest (a milter client scripted in Lua).

The rig starts the sim engines from the build directory directly, writes
the filters' settings from the samples in milter/etc (only the engine
socket and the keys a test changes differ), puts a sendmail stand-in that
stores what it is given (or refuses while a marker file exists) in front
of the hand-over, and reads the host's log.
"""

import grp
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

from .base import REPO_DIR, TIMEOUT_SCALE, default_bin_dir, scaled, wait_until
from .mail import eicar
from .real_engines import RspamdServer, SpamdServer, clamav_test_db, daemon_missing, spamd_missing

MILTERTEST = shutil.which("miltertest") or "/usr/bin/miltertest"
ENGINE_OF = {"Tarnwick-AV": "sim-scan-engine", "Tarnwick-AS": "sim-spam-engine"}
# How long the real quillon-spamd holds ratings while spamd refuses (a rule
# reload): short, so that "spamd gone" turns into unrated mail quickly.
SPAMD_GRACE = 2
EICAR = eicar()

SENDMAIL = """#!/bin/sh
# Stands in for the MTA's sendmail: keeps each message and its arguments;
# refuses all (status 75) while sendmail.fail exists, and a message to an
# address with a file in refuse/ with the status written there; never ends
# for an address with a file in hang/, to which each such run adds a line.
dir="$(dirname "$0")"
if [ -e "$dir/sendmail.fail" ]; then echo "sendmail: queue unavailable" >&2; cat >/dev/null; exit 75; fi
for a in "$@"; do
  if [ -f "$dir/hang/$a" ]; then cat >/dev/null; echo run >>"$dir/hang/$a"; exec sleep 600; fi
  if [ -f "$dir/refuse/$a" ]; then echo "sendmail: $a refused" >&2; cat >/dev/null; exit "$(cat "$dir/refuse/$a")"; fi
done
n="$(date +%s%N)-$$"
cat > "$dir/outbox/$n.tmp" && echo "$*" > "$dir/outbox/$n.args" && mv "$dir/outbox/$n.tmp" "$dir/outbox/$n.eml"
"""
# Runs the host as systemd's socket activation does: the listening socket
# as descriptor 3, LISTEN_FDS=1 and LISTEN_PID naming this very process.
HAND_OVER = """
import os, sys
fd = int(sys.argv[1])
if fd != 3:
    os.dup2(fd, 3)
    os.close(fd)
os.environ["LISTEN_FDS"] = "1"
os.environ["LISTEN_PID"] = str(os.getpid())
os.execv(sys.argv[2], sys.argv[2:])
"""


def milter_missing():
    """Why the rig cannot run here, or None."""
    for prog in ("tarnwick-milter", "Tarnwick-AV", "Tarnwick-AS", "sim-scan-engine", "sim-spam-engine"):
        if not os.access(os.path.join(default_bin_dir(), prog), os.X_OK):
            return "%s not built" % prog
    if not os.access(MILTERTEST, os.X_OK):
        return "miltertest (package miltertest) not installed"
    return None


def settings_text(program, socket_path, replace=None):
    """The sample settings of milter/etc with the engine socket (and each
    top-level `Key = "value";` of replace) set."""
    with open(os.path.join(REPO_DIR, "milter", "etc", program + ".cfg")) as f:
        text = f.read()
    for key, value in dict(replace or {}, Socket=socket_path).items():
        text, n = re.subn(r'(?m)^(\s*%s = )"[^"]*";' % re.escape(key), r'\g<1>"%s";' % value, text)
        assert n, "no %s in the sample settings" % key
    return text


def real_engines_missing():
    """Why the rig cannot run with engines="real", or None."""
    return daemon_missing("quillon-clamd") or daemon_missing("quillon-spamd") or spamd_missing()


class MilterRig:
    """engines: "sim" (the simulators, engine_args per filter), "real"
    (quillon-clamd on the test database, quillon-spamd before a spamd of
    the rig's own) or "rspamd" (the same with quillon-rspamd before an
    offline rspamd of the rig's own, or before rspamd, a started stand-in
    such as FakeRspamd; self.rspamd, stopped by cleanup)."""

    def __init__(self, filters=("Tarnwick-AV", "Tarnwick-AS"), replace=None, engine_args=None,
                 host_args=(), whitelist=None, engines="sim", socket_spec=None, notify=False,
                 shared_dir=False, rspamd=None, held_socket=False):
        self.root = tempfile.mkdtemp(prefix="twm-", dir="/tmp")
        # held_socket: the rig holds the listening unix socket and passes it
        # to each host it starts, as systemd's socket unit does (LISTEN_FDS),
        # so that it outlives a host; the MTA's user may reach it.
        self.listener = None
        # A stand-in for systemd's notification socket.
        self.notify = None
        if notify:
            self.notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            self.notify.bind(os.path.join(self.root, "notify.sock"))
            self.notify.settimeout(10 * TIMEOUT_SCALE)
        self.engine_kind = engines
        self.spamd = SpamdServer(self.root, children=4).start() if engines == "real" and "Tarnwick-AS" in filters else None
        self.rspamd = (rspamd or RspamdServer(os.path.join(self.root, "rspamd")).start()
                       if engines == "rspamd" and "Tarnwick-AS" in filters else None)
        self.base = os.path.join(self.root, "base")
        self.outbox = os.path.join(self.root, "outbox")
        for d in (self.base, self.outbox, os.path.join(self.base, "Submitted"), os.path.join(self.root, "refuse"),
                  os.path.join(self.root, "hang")):
            os.makedirs(d)
        if whitelist is not None:
            with open(os.path.join(self.base, "whitelist.txt"), "w") as f:
                f.write("".join(line + "\n" for line in whitelist))
        self.socket = os.path.join(self.root, "milter.sock")
        self.socket_spec = socket_spec or "unix:" + self.socket
        if held_socket:
            self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            self.listener.bind(self.socket)
            self.listener.listen(128)
            os.chmod(self.socket, 0o666)
            os.chmod(self.root, 0o711)
        self.log_path = os.path.join(self.root, "host.log")
        self.figures = os.path.join(self.root, "figures.prom")
        self.sendmail = os.path.join(self.root, "sendmail")
        with open(self.sendmail, "w") as f:
            f.write(SENDMAIL)
        os.chmod(self.sendmail, 0o755)
        self.filters = list(filters)
        self.engines = {}
        self.proc = None
        self.host_args = list(host_args)
        # shared_dir: one program directory for all filters, as the package
        # installs them; else one each.
        self.shared_dir = shared_dir
        for program in self.filters:
            prog_dir = self.program_dir(program)
            os.makedirs(prog_dir, exist_ok=True)
            os.symlink(os.path.join(default_bin_dir(), program), os.path.join(prog_dir, program))
            sock = os.path.join(self.root, program + ".engine.sock")
            with open(os.path.join(prog_dir, program + ".cfg"), "w") as f:
                f.write(settings_text(program, sock, (replace or {}).get(program)))
            self.start_engine(program, (engine_args or {}).get(program, ()))

    def program_dir(self, program):
        return os.path.join(self.root, "filters" if self.shared_dir else program)

    def edit(self, program, replace):
        """Writes new settings for one filter (the sample with replace)."""
        sock = os.path.join(self.root, program + ".engine.sock")
        with open(os.path.join(self.program_dir(program), program + ".cfg"), "w") as f:
            f.write(settings_text(program, sock, replace))

    def reload(self, program, replace):
        """New settings for one filter, taken up at its next request."""
        self.edit(program, replace)
        open(os.path.join(self.program_dir(program), "hup.sig"), "w").close()

    def start_engine(self, program, args=()):
        sock = os.path.join(self.root, program + ".engine.sock")
        if os.path.lexists(sock):
            os.unlink(sock)
        argv = self.engine_argv(program, sock)
        err = open(os.path.join(self.root, program + ".engine.log"), "ab")
        proc = subprocess.Popen(argv + list(args), stdin=subprocess.DEVNULL, stdout=err, stderr=err)
        err.close()
        self.engines[program] = proc
        wait_until(lambda: os.path.exists(sock), 60, os.path.basename(argv[0]))

    def engine_argv(self, program, sock):
        """The engine of program, listening on sock (a subclass may put
        other engines there)."""
        if self.engine_kind in ("real", "rspamd") and program == "Tarnwick-AV":
            argv = [os.path.join(default_bin_dir(), "quillon-clamd"), "--socket", sock,
                    "--db", clamav_test_db(), "--workers", "2"]
        elif self.engine_kind == "rspamd":
            argv = [os.path.join(default_bin_dir(), "quillon-rspamd"), "--socket", sock,
                    "--rspamd", self.rspamd.address, "--workers", "4"]
        elif self.engine_kind == "real":
            argv = [os.path.join(default_bin_dir(), "quillon-spamd"), "--socket", sock,
                    "--spamd-socket", self.spamd.socket_path, "--workers", "4",
                    "--reload-grace", str(SPAMD_GRACE)]
        else:
            argv = [os.path.join(default_bin_dir(), ENGINE_OF[program]), sock]
        return argv

    def start(self):
        argv = [os.path.join(default_bin_dir(), "tarnwick-milter"), "--socket", self.socket_spec,
                "--base", self.base, "--sendmail", self.sendmail,
                "--socket-group", grp.getgrgid(os.getgid()).gr_name,
                "--figures-file", self.figures] + self.host_args
        for program in self.filters:
            argv += ["--filter", os.path.join(self.program_dir(program), program)]
        self.log_file = open(self.log_path, "ab")
        env = dict(os.environ)
        env.pop("NOTIFY_SOCKET", None)
        if self.notify:
            env["NOTIFY_SOCKET"] = self.notify.getsockname()
        pass_fds = ()
        if self.listener:
            # systemd's hand-over: the socket as descriptor 3, LISTEN_FDS=1
            # and LISTEN_PID of the process that runs the host.
            pass_fds = (self.listener.fileno(),)
            argv = [sys.executable, "-c", HAND_OVER, str(self.listener.fileno())] + argv
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=self.log_file,
                                     stderr=self.log_file, env=env, pass_fds=pass_fds)
        if self.listener:
            self.wait_log("start: ready", count=self.log().count("start: ready") + 1)
        elif self.socket_spec.startswith("unix:"):
            wait_until(lambda: os.path.exists(self.socket), 10, "the milter socket")
        else:
            self.wait_log("start: ready")
        for program in self.filters:
            self.wait_log(program + ": * reader thread started")
        return self

    def log(self):
        with open(self.log_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def wait_log(self, text, count=1, timeout=10):
        return wait_until(lambda: self.log().count(text) >= count, timeout, repr(text))

    def figures_families(self):
        """The host's figures file read with the Prometheus client's parser:
        {family name: family}; counters are named without their _total."""
        from prometheus_client.parser import text_string_to_metric_families
        with open(self.figures) as f:
            return {fam.name: fam for fam in text_string_to_metric_families(f.read())}

    def wait_figures_written(self, timeout=10):
        """Until the figures file is written anew, so it holds every
        message answered before the call."""
        since = time.time_ns()
        wait_until(lambda: os.path.exists(self.figures) and os.stat(self.figures).st_mtime_ns > since,
                   timeout, "the figures file written")

    def figure(self, family, suffix="", **labels):
        """One sample's value from the figures file (0 when the file is not
        written yet)."""
        if not os.path.exists(self.figures):
            return 0
        fam = self.figures_families()[family]
        for s in fam.samples:
            if s.name == fam.name + suffix and s.labels == labels:
                return s.value
        raise AssertionError("no sample %s%s %s" % (family, suffix, labels))

    def message_lines(self):
        return [l for l in self.log().splitlines() if "]: info: message queue=" in l]

    def outbox_mails(self):
        names = sorted(n for n in os.listdir(self.outbox) if n.endswith(".eml"))
        out = []
        for n in names:
            with open(os.path.join(self.outbox, n), "rb") as f:
                mail = f.read()
            with open(os.path.join(self.outbox, n[:-4] + ".args")) as f:
                out.append((f.read().split(), mail))
        return out

    def filter_pid(self, program):
        pids = re.findall(r"filter %s started, pid (\d+)" % program, self.log())
        return int(pids[-1])

    def stop(self):
        """SIGTERM and wait; returns the exit status."""
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=60 * TIMEOUT_SCALE)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        return self.proc.returncode if self.proc else None

    def cleanup(self):
        self.stop()
        for proc in self.engines.values():
            if proc.poll() is None:
                proc.terminate()
                proc.wait(timeout=5 * TIMEOUT_SCALE)
        if self.spamd:
            self.spamd.stop()
        if self.rspamd:
            self.rspamd.stop()
        if self.notify:
            self.notify.close()
        if self.listener:
            self.listener.close()
        if self.proc:
            self.log_file.close()
        if not os.environ.get("TARNWICK_KEEP"):
            shutil.rmtree(self.root, ignore_errors=True)

    # -- miltertest ----------------------------------------------------------
    def run_lua(self, body, timeout=120):
        """Runs a miltertest script (the helpers of LUA_PRELUDE available);
        returns its `mt.echo` lines."""
        path = os.path.join(self.root, "t%d.lua" % time.monotonic_ns())
        with open(path, "w") as f:
            f.write(LUA_PRELUDE % {"socket": "unix:" + self.socket} + body)
        done = subprocess.run([MILTERTEST, "-s", path], capture_output=True, text=True,
                              timeout=timeout * TIMEOUT_SCALE)
        if done.returncode != 0:
            raise AssertionError("miltertest failed (%d): %s %s" % (done.returncode, done.stdout, done.stderr))
        return done.stdout.splitlines()

    def start_lua(self, body):
        path = os.path.join(self.root, "p%d.lua" % time.monotonic_ns())
        with open(path, "w") as f:
            f.write(LUA_PRELUDE % {"socket": "unix:" + self.socket} + body)
        return subprocess.Popen([MILTERTEST, "-s", path], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)


def lua_string(text):
    return '"' + "".join(c if c.isalnum() or c in " .@-_:<>[]/,=+!()" else "\\%03d" % ord(c)
                         for c in text) + '"'


def lua_message(tag, sender, recipients, headers, body, probe=(), reply=None, deleted=()):
    """Lua that sends one message on `conn` and echoes its outcome:
    `<tag> <reply> -`, `<tag> H <name>=<value>` per added probe field,
    `<tag> D <name>` per name in deleted whose removal the filter asked for and,
    with reply (the SMTP reply as it goes on the wire, lines joined by CR LF),
    `<tag> R yes|no` for whether the filter set exactly that reply."""
    lines = ["send(conn, %s, %s, {%s}, {%s}, %s)" % (
        lua_string(tag), lua_string(sender), ", ".join(lua_string(r) for r in recipients),
        ", ".join("{%s, %s}" % (lua_string(n), lua_string(v)) for n, v in headers), lua_string(body))]
    for name in probe:
        lines.append("probe(conn, %s, %s)" % (lua_string(tag), lua_string(name)))
    for name in deleted:
        lines.append("if mt.eom_check(conn, MT_HDRDELETE, %s) then mt.echo(%s .. ' D ' .. %s) end"
                     % (lua_string(name), lua_string(tag), lua_string(name)))
    if reply:
        reply = reply.split(" ", 2)  # miltertest joins its three arguments with blanks
        lines.append("mt.echo(%s .. ' R ' .. (mt.eom_check(conn, MT_SMTPREPLY, %s, %s, %s) and 'yes' or 'no'))"
                     % (lua_string(tag), lua_string(reply[0]), lua_string(reply[1]), lua_string(reply[2])))
    return "\n".join(lines) + "\n"


LUA_PRELUDE = r"""
mt.set_timeout(600)
function open()
  local conn = mt.connect("%(socket)s", 100, 0.05)
  if conn == nil then error("cannot connect") end
  if mt.conninfo(conn, "mx.example.org", "192.0.2.7") ~= nil then error("conninfo") end
  if mt.helo(conn, "mx.example.org") ~= nil then error("helo") end
  return conn
end
function send(conn, tag, sender, rcpts, headers, body)
  mt.macro(conn, SMFIC_MAIL, "i", "Q" .. tag)
  if mt.mailfrom(conn, sender) ~= nil then error("mailfrom") end
  for _, r in ipairs(rcpts) do
    if mt.rcptto(conn, r) ~= nil then error("rcptto") end
  end
  for _, h in ipairs(headers) do
    if mt.header(conn, h[1], h[2]) ~= nil then error("header") end
  end
  if mt.eoh(conn) ~= nil then error("eoh") end
  if mt.bodystring(conn, body) ~= nil then error("body") end
  if mt.eom(conn) ~= nil then error("eom") end
  local reply = mt.getreply(conn)
  local code = "-"
  local names = {[SMFIR_ACCEPT]="accept", [SMFIR_CONTINUE]="continue", [SMFIR_DISCARD]="discard",
                 [SMFIR_REJECT]="reject", [SMFIR_TEMPFAIL]="tempfail", [SMFIR_REPLYCODE]="replycode"}
  mt.echo(tag .. " " .. (names[reply] or tostring(reply)) .. " " .. code)
end
function probe(conn, tag, name)
  local v = mt.getheader(conn, name, 0)
  if v ~= nil then mt.echo(tag .. " H " .. name .. "=" .. v) end
end
"""


def milter_outcomes(lines):
    """{tag: {"reply": ..., "code": ..., "headers": {name: value}, "deleted": [name]}}
    from echo lines."""
    out = {}
    for line in lines:
        parts = line.split(" ", 2)
        if len(parts) < 3:
            continue
        tag, what, rest = parts
        entry = out.setdefault(tag, {"headers": {}})
        if what == "H":
            name, _, value = rest.partition("=")
            entry["headers"][name] = value
        elif what == "D":
            entry.setdefault("deleted", []).append(rest)
        elif what == "R":
            entry["reply_matches"] = rest == "yes"
        else:
            entry["reply"], entry["code"] = what, rest
    return out


# -- a raw milter peer ------------------------------------------------------
# The MTA's side of the protocol byte for byte, for what miltertest cannot
# send: broken frames, commands out of order, silence, and the exact
# replies of each stage.
MILTER_ACTIONS = 0x1ff
# Postfix 3.7's offer: every step and every "no reply" but DATA's and
# UNKNOWN's, leading spaces of header values.
POSTFIX_PROTOCOL = 0x1fffff & ~(0x10000 | 0x20000)


def milter_frame(code, data=b""):
    return struct.pack(">I", len(data) + 1) + code + data


def zstr(text):
    return text.encode("latin-1") + b"\0"


class RawMilterPeer:
    """One connection to the host's milter socket."""

    def __init__(self, rig, timeout=10):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(scaled(timeout))
        self.sock.connect(rig.socket)
        self.pending = b""

    def send(self, *frames):
        self.sock.sendall(b"".join(frames))

    def reply(self):
        """The next frame from the host as (code, data); None at its end."""
        while True:
            if len(self.pending) >= 4:
                n = struct.unpack(">I", self.pending[:4])[0]
                if len(self.pending) >= 4 + n:
                    code, data = self.pending[4:5], self.pending[5:4 + n]
                    self.pending = self.pending[4 + n:]
                    return code, data
            got = self.sock.recv(65536)
            if not got:
                return None
            self.pending += got

    def ended(self):
        """True once the host has closed the connection (nothing else came)."""
        return self.reply() is None

    def negotiate(self, protocol=POSTFIX_PROTOCOL, actions=MILTER_ACTIONS):
        self.send(milter_frame(b"O", struct.pack(">III", 6, actions, protocol)))
        code, data = self.reply()
        assert code == b"O", code
        return struct.unpack(">III", data[:12])

    def message(self, stage_replies, sender="<alice@example.org>", rcpt="<bob@example.net>",
                headers=(("Subject", " raw"),), body=b"hello\r\n", connect=True):
        """Connect information (connect=False: none, a later message of
        the connection) and one message, every command at once.
        Returns the replies to the stages before the end (stage_replies of
        them: the host sends one for each the MTA wants one for) and those
        to the end of the message, up to its final one."""
        frames = [milter_frame(b"D", b"C" + zstr("j") + zstr("mta.example.com")),
                  milter_frame(b"C", zstr("client.example.org") + b"4" + struct.pack(">H", 4711) +
                               zstr("192.0.2.7")),
                  milter_frame(b"H", zstr("client.example.org"))][0 if connect else 3:]
        frames += [milter_frame(b"D", b"M" + zstr("{mail_addr}") + zstr(sender.strip("<>"))),
                  milter_frame(b"M", zstr(sender)),
                  milter_frame(b"D", b"R" + zstr("{rcpt_addr}") + zstr(rcpt.strip("<>"))),
                  milter_frame(b"R", zstr(rcpt)), milter_frame(b"T")]
        frames += [milter_frame(b"L", zstr(n) + zstr(v)) for n, v in headers]
        frames += [milter_frame(b"N"), milter_frame(b"B", body),
                   milter_frame(b"D", b"E" + zstr("i") + zstr("RAW1")), milter_frame(b"E")]
        self.send(*frames)
        stages, end = [], []
        while True:
            r = self.reply()
            assert r is not None, "the session ended early: %r %r" % (stages, end)
            if len(stages) < stage_replies:
                stages.append(r)
                continue
            end.append(r)
            if r[0] in (b"a", b"c", b"d", b"r", b"t", b"y"):
                return stages, end

    def close(self):
        self.sock.close()
