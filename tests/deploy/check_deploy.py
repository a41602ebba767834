#!/usr/bin/python3
"""make check-deploy: the README's "Postfix in five minutes" on a fresh
Debian 12, end to end.  Root only; not part of make test.

In a new Debian 12 root made with debootstrap (the mirror this machine's apt
uses), the package is installed with Postfix as the README says; as there is
no systemd inside, this script does its part: the services are started by
the ExecStart lines of their installed unit files, each as its User=
(their privileged ExecStartPre= and ExecStopPost= commands as root in the
root, their BindPaths= bound there for the unit's life), in a
network namespace of their own (Postfix on port 25, spamd on 783: nothing
clashes with this machine's); tarnwick-milter.socket's socket is held here
and handed to each tarnwick-milter, Type=notify units are started when
READY=1 comes, and standard error is a stream named by JOURNAL_STREAM, so
the lines carry the priority journald would take.
Then a clean message, the anti-virus test file and GTUBE go through Postfix
by SMTP, and the three outcomes are checked: delivered to a local mailbox,
refused with 550 (and the notification delivered to the recipient, handed
over by SMTP to the second smtpd on 127.0.0.1:10026 the README adds), and
delivered with the spam score field; after the stop, tarnwick-stats finds the
filters' statistics.  Day two: both filters' settings and the whitelist in
/etc/tarnwick/milter are edited and the unit's ExecReload is run while
messages keep coming (none refused); the next messages show the new
settings.  Under a stream of messages from three senders,
tarnwick-milter is restarted, then the package of the next Debian revision
(this one repacked) is installed over it and the services restarted as its
postinst has systemd do: no message refused or deferred, every one
delivered, nothing left in Postfix's queue or the host's.  Up to then
nothing was logged at warning or above; a ";" missing in Tarnwick-AS's
settings and a reload show the file and line at that priority, and nothing
else.  Last, apt-get remove with main.cf still naming the milter prints the
postconf command; mail is deferred until it is run, and passes after.
Everything mounted is unmounted, every process started is stopped, and the
root is removed (unless --keep).

The scan engine gets the project's test signature in place of the official
databases, which freshclam would fetch from the internet."""

import argparse
import glob
import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

import harness
from harness.milter import HAND_OVER  # systemd's hand-over of a held socket

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
SUITE = "bookworm"
CACHE = "/var/cache/tarnwick-check-deploy"
# The units the README enables, in the order systemd would start them.
UNITS = ("spamd.service", "quillon-clamd.service", "quillon-spamd.service",
         "tarnwick-milter.service")
# The socket units the package enables: systemd holds their sockets.
SOCKETS = ("tarnwick-milter.socket",)
MILTER_CFG = "/etc/tarnwick/milter/"
EICAR = harness.eicar()
GTUBE = harness.gtube()
USER = "alice"


def say(text):
    print("check-deploy: %s" % text, flush=True)


def run(argv, **kw):
    kw.setdefault("check", True)
    return subprocess.run(argv, **kw)


def debian_mirror():
    """The first Debian mirror of this machine's apt sources (one-line or
    deb822 form), else Debian's own."""
    for path in ["/etc/apt/sources.list"] + sorted(glob.glob("/etc/apt/sources.list.d/*")):
        try:
            with open(path) as f:
                text = f.read()
        except OSError:
            continue
        for url in re.findall(r"^\s*(?:deb\s+(?:\[[^]]*\]\s+)?|URIs:\s*)(\S+)", text, re.M):
            if "security" not in url:
                return url
    return "http://deb.debian.org/debian"


class Root:
    """The Debian root and what is mounted in it."""

    def __init__(self, path):
        self.path = path
        self.mounts = []

    def file(self, path):
        return os.path.join(self.path, path.lstrip("/"))

    def mount(self, *argv_and_target):
        *args, target = argv_and_target
        target = self.file(target)
        os.makedirs(target, exist_ok=True)
        run(["mount"] + list(args) + [target])
        self.mounts.append(target)

    def stop_strays(self):
        """Ends what package scripts left running in the root (spamassassin's
        gpg-agent): nothing else can live there."""
        for pid in os.listdir("/proc"):
            try:
                if pid.isdigit() and os.readlink("/proc/%s/root" % pid) == self.path:
                    os.kill(int(pid), signal.SIGTERM)
            except OSError:
                pass

    def unmount_all(self):
        self.stop_strays()
        time.sleep(0.5)
        for target in reversed(self.mounts):
            if subprocess.run(["umount", target]).returncode != 0:
                subprocess.run(["umount", "-l", target])
        self.mounts = []

    def ids(self, user, group):
        """uid and gid of a user and a group of the root's own files."""
        def lookup(name, table):
            with open(self.file("/etc/" + table)) as f:
                for line in f:
                    fields = line.split(":")
                    if fields[0] == name:
                        return int(fields[2])
            raise SystemExit("no %s in the root's /etc/%s" % (name, table))
        return lookup(user, "passwd"), lookup(group, "group")

    def chroot(self, argv, **kw):
        env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "LANG": "C.UTF-8",
               "DEBIAN_FRONTEND": "noninteractive", "HOME": "/root"}
        return run(["chroot", self.path] + list(argv), env=env, **kw)


def make_root(root, mirror):
    os.makedirs(CACHE, exist_ok=True)
    say("debootstrap %s from %s" % (SUITE, mirror))
    run(["debootstrap", "--variant=minbase", "--cache-dir=" + CACHE, SUITE, root.path, mirror],
        stdout=subprocess.DEVNULL)
    mount_system(root)
    shutil.copy("/etc/resolv.conf", root.file("/etc/resolv.conf"))
    # Packages do not start services here: this script starts them below.
    with open(root.file("/usr/sbin/policy-rc.d"), "w") as f:
        f.write("#!/bin/sh\nexit 101\n")
    os.chmod(root.file("/usr/sbin/policy-rc.d"), 0o755)


def mount_system(root):
    root.mount("-t", "proc", "proc", "/proc")
    root.mount("-t", "sysfs", "sysfs", "/sys")
    root.mount("--bind", "/dev", "/dev")
    root.mount("--bind", "/dev/pts", "/dev/pts")
    root.mount("-t", "tmpfs", "-o", "mode=755", "tmpfs", "/run")


def install(root, deb):
    """The README's first steps, without the dialog: Postfix as an
    Internet site, then the package with what it recommends."""
    shutil.copy(deb, root.file("/root/"))
    name = os.path.basename(deb)
    root.chroot(["apt-get", "update", "-qq"])
    for step in ("postfix", "./" + name):
        say("apt-get install " + step)
        done = root.chroot(["sh", "-c", "cd /root && apt-get install -y -qq %s" % step],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                           check=False)
        if done.returncode != 0:
            raise SystemExit("apt-get install %s failed:\n%s" % (step, done.stdout[-4000:]))
    listing = root.chroot(["dpkg-query", "-W", "-f", "${Package}\\n"], capture_output=True,
                          text=True).stdout.split()
    # (gcc comes with sa-compile, which SpamAssassin itself recommends.)
    unwanted = [p for p in ("exim4-base", "exim4-daemon-light", "python3-matplotlib",
                            "python3-scipy", "pandoc") if p in listing]
    if unwanted:
        raise SystemExit("the package pulled in %s" % ", ".join(unwanted))
    # Enabled by the package as Debian's own are (started here by this
    # script: policy-rc.d keeps package scripts from starting anything).
    for unit in UNITS[1:] + SOCKETS:
        if not glob.glob(root.file("/etc/systemd/system/*.wants/" + unit)):
            raise SystemExit("the package did not enable %s" % unit)
    root.chroot(["adduser", "--quiet", "--disabled-password", "--gecos", "", USER],
                stdout=subprocess.DEVNULL)
    # The official signatures need the internet; the test signature stands in.
    shutil.copy(os.path.join(REPO, "engines", "testdb", "tarnwick-test.ndb"),
                root.file("/var/lib/clamav/"))


def configure_postfix(root, milter_socket):
    """The README's main.cf lines, for the socket the milter's unit names."""
    if milter_socket.startswith("unix:/var/spool/postfix/"):
        milter = "unix:" + milter_socket[len("unix:/var/spool/postfix/"):]
    elif milter_socket.startswith("inet:"):
        port, _, host = milter_socket[5:].partition("@")
        milter = "inet:%s:%s" % (host or "127.0.0.1", port)
    else:
        raise SystemExit("tarnwick-milter's unit names an unexpected socket: " + milter_socket)
    for setting in ("smtpd_milters = " + milter, "milter_default_action = tempfail",
                    "milter_content_timeout = 300s"):
        root.chroot(["postconf", "-e", setting])
    # The listener without milters that the host's own mail goes to.
    root.chroot(["postconf", "-M", "127.0.0.1:10026/inet=127.0.0.1:10026 inet n - n - - smtpd"])
    root.chroot(["postconf", "-P", "127.0.0.1:10026/inet/smtpd_milters=",
                 "127.0.0.1:10026/inet/mynetworks=127.0.0.0/8",
                 "127.0.0.1:10026/inet/smtpd_client_restrictions=permit_mynetworks,reject"])
    return milter


def unit_path(root, name):
    for directory in ("/etc/systemd/system", "/usr/lib/systemd/system", "/lib/systemd/system"):
        path = root.file(os.path.join(directory, name))
        if os.path.exists(path):
            return path
    raise SystemExit("unit %s is not installed" % name)


def unit_lines(path, key):
    """The values of key= in a unit file, continuation lines joined."""
    with open(path) as f:
        text = f.read().replace("\\\n", " ")
    return [line.split("=", 1)[1].strip() for line in text.splitlines()
            if line.startswith(key + "=")]


def unit_settings(root, name):
    """The [Service] settings of an installed unit that starting it needs:
    ExecStart split into words (continuation lines joined), User, Group,
    RuntimeDirectory with its mode, TemporaryFileSystem, UMask,
    EnvironmentFile; the last value of a key given more than once."""
    with open(unit_path(root, name)) as f:
        text = f.read().replace("\\\n", " ")
    settings = {}
    for line in text.splitlines():
        m = re.match(r"^(\w+)=(.*)$", line.strip())
        if m:
            settings[m.group(1)] = m.group(2).strip()
    return settings


def privileged(commands):
    """The commands of a list of Exec lines that systemd runs with full
    privileges (prefix +), each split into words, with whether its failure
    counts (no prefix -)."""
    prefixes = [re.match(r"[-@:+!]*", c).group(0) for c in commands]
    return [(shlex.split(c[len(p):]), "-" not in p) for c, p in zip(commands, prefixes) if "+" in p]


def expand(words, environment):
    """$NAME and ${NAME} as systemd expands them: a lone $NAME splits into
    words, ${NAME} stays one."""
    out = []
    for word in words:
        m = re.fullmatch(r"\$(\w+)", word)
        if m:
            out += environment.get(m.group(1), "").split()
        else:
            out.append(re.sub(r"\$\{(\w+)\}", lambda x: environment.get(x.group(1), ""), word))
    return out


def unit_argv(root, name):
    """An installed unit's ExecStart as systemd runs it: split into words,
    with the variables of its EnvironmentFile put in."""
    s = unit_settings(root, name)
    environment = {}
    env_file = s.get("EnvironmentFile", "").lstrip("-")
    if env_file and os.path.exists(root.file(env_file)):
        with open(root.file(env_file)) as f:
            for line in f:
                m = re.match(r"^\s*(\w+)=(.*)$", line)
                if m:
                    environment[m.group(1)] = " ".join(shlex.split(m.group(2)))
    return expand(shlex.split(s["ExecStart"].lstrip("-@+!")), environment)


class Services:
    """The units started by their ExecStart lines, inside the network
    namespace this process runs in, as systemd would: a socket unit's
    socket held here and handed to each process of its service (LISTEN_FDS),
    a notification socket for Type=notify (started means READY=1 came),
    standard error a stream whose JOURNAL_STREAM the programs find, so
    their lines carry journald's priority prefix; a stop as the unit's
    KillMode has it, within its TimeoutStopSec."""

    def __init__(self, root):
        self.root = root
        self.procs = {}
        self.held = {}
        self.notify = {}
        self.notify_dir = "/run/check-deploy"
        self.binds = {}
        os.makedirs(root.file(self.notify_dir), mode=0o755, exist_ok=True)

    def hold(self, name):
        """Listens on a socket unit's ListenStream (a path) with its
        SocketUser, SocketGroup, SocketMode and Backlog, for its service."""
        s = unit_settings(self.root, name)
        path = s["ListenStream"]
        if not path.startswith("/"):
            raise SystemExit("%s listens on %s, not a path" % (name, path))
        os.makedirs(os.path.dirname(self.root.file(path)), exist_ok=True)
        if os.path.lexists(self.root.file(path)):
            os.unlink(self.root.file(path))
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        listener.bind(self.root.file(path))
        os.chown(self.root.file(path), *self.root.ids(s.get("SocketUser", "root"),
                                                     s.get("SocketGroup", "root")))
        os.chmod(self.root.file(path), int(s.get("SocketMode", "0666"), 8))
        listener.listen(int(s.get("Backlog", "4096")))
        self.held[name[:-len(".socket")] + ".service"] = listener
        say("holding %s: %s" % (name, path))
        return path

    def release(self, name):
        """The socket unit stopped: the socket closed (its file stays,
        RemoveOnStop=no)."""
        self.held.pop(name[:-len(".socket")] + ".service").close()

    def start(self, name):
        s = unit_settings(self.root, name)
        argv = unit_argv(self.root, name)
        user, group = s.get("User", "root"), s.get("Group", "")
        if s.get("RuntimeDirectory"):
            for d in s["RuntimeDirectory"].split():
                self.root.chroot(["install", "-d", "-m", s.get("RuntimeDirectoryMode", "0755"),
                                  "-o", user, "-g", group or user, "/run/" + d])
        # A tmpfs of the unit's own stands here as a directory of root's
        # with the mode its options give (systemd's default 0755).
        for entry in s.get("TemporaryFileSystem", "").split():
            path, _, options = entry.partition(":")
            mode = re.search(r"(?:^|,)mode=([0-7]+)", options)
            self.root.chroot(["install", "-d", "-m", mode.group(1) if mode else "0755", path])
        prefix = [shutil.which("chroot") or "/usr/sbin/chroot", self.root.path]
        # What the unit runs as root before the start (the queue's tmpfs);
        # its BindPaths= are bound here in the root for the unit's life, in
        # place of the mount namespace of its own that systemd gives it.
        path = unit_path(self.root, name)
        for command, checked in privileged(unit_lines(path, "ExecStartPre")):
            say("before %s, as root: %s" % (name, " ".join(command)))
            self.root.chroot(command, check=checked)
        self.binds[name] = []
        for entry in " ".join(unit_lines(path, "BindPaths")).split():
            source, _, target = entry.partition(":")
            # "-": a missing source is no bind, and no failure.
            if source.startswith("-"):
                source = source[1:]
                if not os.path.exists(self.root.file(source)):
                    continue
            say("%s: %s bound over %s" % (name, source, target or source))
            run(["mount", "--bind", self.root.file(source), self.root.file(target or source)])
            self.binds[name].append(self.root.file(target or source))
        if user != "root":
            prefix += ["setpriv", "--reuid", user, "--regid", group or user, "--init-groups", "--"]
        log = open(self.root.file("/var/log/%s.log" % name), "ab")
        st = os.fstat(log.fileno())
        env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "LANG": "C.UTF-8",
               "JOURNAL_STREAM": "%d:%d" % (st.st_dev, st.st_ino)}
        notify = None
        if s.get("Type") == "notify":
            path = "%s/%s.notify" % (self.notify_dir, name)
            if os.path.lexists(self.root.file(path)):
                os.unlink(self.root.file(path))
            notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            notify.bind(self.root.file(path))
            os.chmod(self.root.file(path), 0o666)
            env["NOTIFY_SOCKET"] = path
        pass_fds = ()
        if name in self.held:
            # Descriptor 3 with LISTEN_FDS=1 and LISTEN_PID: chroot and
            # setpriv keep the process the hand-over names.
            pass_fds = (self.held[name].fileno(),)
            prefix = [sys.executable, "-c", HAND_OVER, str(pass_fds[0])] + prefix
        say("starting %s: %s" % (name, " ".join(argv)))
        proc = subprocess.Popen(prefix + argv, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                env=env, umask=int(s.get("UMask", "0022"), 8), pass_fds=pass_fds,
                                start_new_session=True)
        log.close()
        self.procs[name] = proc
        if notify:
            # Open for the process's life, as systemd's: STOPPING=1 and the
            # like are sent to it later.
            self.notify[name] = notify
            self.wait_ready(name, proc, notify, seconds(s.get("TimeoutStartSec", "90")))
        return proc

    def wait_ready(self, name, proc, notify, timeout):
        deadline = time.monotonic() + timeout
        notify.settimeout(0.2)
        while True:
            try:
                if b"READY=1" in notify.recv(4096).split(b"\n"):
                    return
            except socket.timeout:
                pass
            if proc.poll() is not None:
                raise SystemExit("%s ended (%d) before it was ready:\n%s"
                                 % (name, proc.returncode, self.log(name)[-3000:]))
            if time.monotonic() > deadline:
                raise SystemExit("%s not ready within its %d s" % (name, timeout))

    def stop(self, name):
        """systemctl stop: SIGTERM to the main process (KillMode=mixed) or
        to all of the unit's (control-group), then SIGKILL to what is left
        once the main process ended; the stop must end within the unit's
        TimeoutStopSec, the main process with status 0."""
        s = unit_settings(self.root, name)
        proc = self.procs.pop(name)
        if proc.poll() is None:
            if s.get("KillMode", "control-group") == "mixed":
                proc.send_signal(signal.SIGTERM)
            else:
                os.killpg(proc.pid, signal.SIGTERM)
            timeout = seconds(s.get("TimeoutStopSec", "90"))
            try:
                proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
                raise SystemExit("%s did not stop within its %d s" % (name, timeout))
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        if name in self.notify:
            self.notify.pop(name).close()
        for target in reversed(self.binds.pop(name, [])):
            run(["umount", target])
        for command, checked in privileged(unit_lines(unit_path(self.root, name), "ExecStopPost")):
            self.root.chroot(command, check=checked)
        # As systemd, a death by the SIGTERM it sent counts as clean.
        if proc.returncode not in (0, -signal.SIGTERM):
            raise SystemExit("%s ended with %d:\n%s" % (name, proc.returncode, self.log(name)[-3000:]))

    def restart(self, names):
        """One systemctl restart of several units: the stops in the reverse
        of their order (After=), then the starts in it."""
        ordered = [u for u in UNITS if u in names]
        for name in reversed(ordered):
            self.stop(name)
        for name in ordered:
            self.start(name)

    def reload(self, name):
        """systemctl reload: the unit's ExecReload with its $MAINPID."""
        command = unit_settings(self.root, name).get("ExecReload", "")
        if not command:
            raise SystemExit("%s has no ExecReload" % name)
        run(expand(shlex.split(command.lstrip("-@+!")), {"MAINPID": str(self.procs[name].pid)}))

    def log(self, name):
        with open(self.root.file("/var/log/%s.log" % name), errors="replace") as f:
            return f.read()

    def problems(self, name, since=0):
        """What journalctl -p warning would show of a unit's lines: those
        whose priority prefix is warning (4) or more urgent."""
        return [line for line in self.log(name)[since:].splitlines()
                if re.match(r"^<[0-4]>", line)]

    def wait_for(self, what, test, timeout):
        deadline = time.monotonic() + timeout
        while not test():
            for name, proc in self.procs.items():
                if proc.poll() is not None and s_type(self.root, name) != "forking":
                    raise SystemExit("%s ended (%d):\n%s" % (name, proc.returncode, self.log(name)))
            if time.monotonic() > deadline:
                raise SystemExit("no %s within %d s" % (what, timeout))
            time.sleep(0.2)

    def stop_all(self):
        for name, proc in reversed(list(self.procs.items())):
            if proc.poll() is None:
                os.killpg(proc.pid, signal.SIGTERM)
                try:
                    proc.wait(timeout=30)
                except subprocess.TimeoutExpired:
                    os.killpg(proc.pid, signal.SIGKILL)
                    proc.wait()
        self.procs = {}
        for listener in list(self.held.values()) + list(self.notify.values()):
            listener.close()
        self.held, self.notify = {}, {}


def seconds(value):
    """A unit's time span in seconds: "90", "90s", "5min"."""
    m = re.fullmatch(r"(\d+)\s*(s|sec|min)?", value.strip())
    if not m:
        raise SystemExit("time span %r not understood" % value)
    return int(m.group(1)) * (60 if m.group(2) == "min" else 1)


def s_type(root, name):
    return unit_settings(root, name).get("Type", "simple")


def listening(port):
    with open("/proc/net/tcp") as f:
        return any(line.split()[1].endswith(":%04X" % port) and line.split()[3] == "0A"
                   for line in f.readlines()[1:])


def message(subject, body, sender):
    return ("From: %s\r\nTo: %s@localhost\r\nSubject: %s\r\n"
            "Message-ID: <%s@example.org>\r\n\r\n%s\r\n" % (sender, USER, subject, subject, body))


def send(subject, body, sender="bob@example.org"):
    """Sends by SMTP to the Postfix in this namespace: (code, text) of the
    refusal, or (250, "") when accepted."""
    return harness.smtp_send(25, sender, ["%s@localhost" % USER], message(subject, body, sender))


def mailbox_messages(root):
    try:
        with open(root.file("/var/mail/" + USER), errors="replace") as f:
            text = f.read()
    except FileNotFoundError:
        return []
    return [m for m in re.split(r"(?m)^From \S+ ", text) if m.strip()]


def stats_failures(root):
    """tarnwick-stats without options, as its timer runs it, finds the
    milter's statistics the filters saved when they stopped."""
    out = root.chroot(["tarnwick-stats"], capture_output=True, text=True, check=False)
    counts = dict(re.findall(r'(?m)^tarnwick_messages_total\{dir="/var/lib/tarnwick/milter",'
                             r'filter="(av|as)"\} (\d+)$', out.stdout))
    if out.returncode != 0 or int(counts.get("av", 0)) < 2 or int(counts.get("as", 0)) < 2:
        return ["tarnwick-stats did not count the messages under /var/lib/tarnwick/milter "
                "(%d):\n%s%s" % (out.returncode, out.stdout[-2000:], out.stderr)]
    say("tarnwick-stats: the milter's filters answered %s (av) and %s (as) messages"
        % (counts["av"], counts["as"]))
    return []


def edit(root, path, pattern, replacement):
    with open(root.file(path)) as f:
        text = f.read()
    text, n = re.subn(pattern, replacement, text)
    if not n:
        raise SystemExit("no %r in %s" % (pattern, path))
    with open(root.file(path), "w") as f:
        f.write(text)


class Stream:
    """Messages sent by SMTP, each in a session of its own, from a few
    senders at once until the end of the with block: each answer with the
    times its session began and ended."""

    def __init__(self, tag, senders=3):
        self.tag, self.answers, self.done = tag, [], threading.Event()
        self.threads = [threading.Thread(target=self.send, args=(n,)) for n in range(senders)]

    def send(self, sender):
        n = 0
        while not self.done.is_set():
            n += 1
            subject, began = "%s-%d-%d" % (self.tag, sender, n), time.monotonic()
            try:
                # Not the sender day two whitelists: both filters answer.
                code, text = send(subject, "Sent during the %s." % self.tag, "carol@example.org")
            except OSError as e:
                code, text = 0, repr(e)
            self.answers.append((subject, began, time.monotonic(), code, text))

    def __enter__(self):
        for t in self.threads:
            t.start()
        return self

    def __exit__(self, *exc):
        self.done.set()
        for t in self.threads:
            t.join()

    def wait_answers(self, services, count, timeout=120):
        """Until count more answers came (each session is bounded by the
        SMTP client's 120 s)."""
        target = len(self.answers) + count
        services.wait_for("%d answers of the %s stream" % (count, self.tag),
                          lambda: len(self.answers) >= target, timeout)

    def refused(self):
        return [a for a in self.answers if a[3] != 250]

    def across(self, began, ended):
        """The sessions that were open at some time between began and ended."""
        return [a for a in self.answers if a[1] < ended and a[2] > began]


def day_two(root, services):
    """Edits both filters' settings and the whitelist, reloads as systemctl
    would (the unit's ExecReload with $MAINPID) under a stream of messages,
    and checks the next messages; returns the failures."""
    failures = []
    etc = MILTER_CFG
    edit(root, etc + "Tarnwick-AV.cfg", r'(?m)^Mode = "\w+";', 'Mode = "Discard";')
    edit(root, etc + "Tarnwick-AS.cfg", r'(?m)^Header = "[^"\n]*";', 'Header = "X-Day-Two: ^1 [^2]";')
    with open(root.file(etc + "whitelist.txt"), "a") as f:
        f.write("bob@example.org\n")
    log = services.log("tarnwick-milter.service")
    mark, as_starts = len(log), log.count("filter Tarnwick-AS started")

    with Stream("reload", senders=1) as stream:
        stream.wait_answers(services, 1)
        started = time.monotonic()
        services.reload("tarnwick-milter.service")
        services.wait_for("the reload", lambda: "reload: done" in
                          services.log("tarnwick-milter.service")[mark:], 120)
        services.wait_for("a fresh Tarnwick-AS", lambda: services.log(
            "tarnwick-milter.service").count("filter Tarnwick-AS started") > as_starts, 60)
        took = time.monotonic() - started
    log = services.log("tarnwick-milter.service")[mark:]
    refused = stream.refused()
    say("reload: %d message(s) sent meanwhile, %d refused, %.1f s"
        % (len(stream.answers), len(refused), took))
    if refused:
        failures.append("messages refused during the reload: %s" % refused)
    for program in ("Tarnwick-AV", "Tarnwick-AS"):
        if "reload: filter %s re-read its settings" % program not in log and \
                "reload: filter %s: the whitelist changed" % program not in log:
            failures.append("%s did not take its edited settings:\n%s" % (program, log[-3000:]))

    outcomes = {"clean2": send("clean2", "Another ordinary message."), "virus2": send("virus2", EICAR)}
    say("answers after the reload: %s" % outcomes)
    if outcomes != {"clean2": (250, ""), "virus2": (250, "")}:
        failures.append("after the reload (Mode Discard): %s" % outcomes)
    deadline = time.monotonic() + 60
    while not any("Subject: clean2" in m for m in mailbox_messages(root)) and time.monotonic() < deadline:
        time.sleep(0.5)
    clean = [m for m in mailbox_messages(root) if "Subject: clean2" in m]
    # The sender is whitelisted now, and the field has its new name.
    if not clean or not re.search(r"(?m)^X-Day-Two: 0 \[\]$", clean[0]) or "X-Junk-Score" in clean[0]:
        failures.append("the clean message after the reload: %s" % clean)
    if any("Subject: virus2" in m and "X-Tarnwick" not in m for m in mailbox_messages(root)):
        failures.append("the virus was delivered after the reload")
    return failures


def left_in_queues(root):
    """What Postfix's queue holds for the stream's recipient (a message
    not delivered) and the files in the host's queue and generated-mail
    directories (Queue/, Submitted/ with its failed/)."""
    left = []
    listing = root.chroot(["postqueue", "-j"], capture_output=True, text=True).stdout
    left += [line for line in listing.splitlines() if '"%s@localhost"' % USER in line]
    for directory in ("/var/spool/tarnwick/Queue", "/var/spool/tarnwick/Submitted"):
        for where, _, files in os.walk(root.file(directory)):
            left += [os.path.join(where, name)[len(root.path):] for name in files]
    return left


def under_stream(root, services, what, action):
    """action() while three senders keep sending clean messages: none
    refused or deferred, some of them open across it (or across the span
    it returns), all delivered, nothing left in either queue; returns the
    failures."""
    milter = "tarnwick-milter.service"
    mark = len(services.log(milter))
    with Stream(what.split()[0]) as stream:
        stream.wait_answers(services, 3)
        began = time.monotonic()
        span = action()
        ended = time.monotonic()
        stream.wait_answers(services, 3)
    # The part of the action that must be ridden through, where it says.
    began, ended = span or (began, ended)
    failures, refused, across = [], stream.refused(), stream.across(began, ended)
    if refused:
        failures.append("%s: refused or deferred: %s" % (what, refused))
    if not across:
        failures.append("%s: no message was in flight while it ran" % what)
    accepted = {a[0] for a in stream.answers if a[3] == 250}

    def missing():
        return accepted - set(re.findall(r"(?m)^Subject: (\S+)$", "\n".join(mailbox_messages(root))))
    try:
        services.wait_for("the %s stream's messages in the mailbox" % what, lambda: not missing(), 120)
        # The host's queue files go once the MTA has its answer, and the
        # generated mail once handed over (its --sendmail-timeout, 60 s).
        services.wait_for("empty queues", lambda: not left_in_queues(root), 70)
    except SystemExit as e:
        failures.append("%s: %s; not delivered: %s; left in the queues: %s"
                        % (what, e, sorted(missing()), left_in_queues(root)))
    log = services.log(milter)[mark:]
    for sign in ("start: removed", "cut off", "get a temporary failure"):
        if sign in log:
            failures.append("%s: the host's log says %r:\n%s" % (what, sign, log[-3000:]))
    say("%s: %d message(s), %d open across it (%.1f s), %d refused, %d not delivered"
        % (what, len(stream.answers), len(across), ended - began, len(refused), len(missing())))
    return failures


def bumped(root, deb):
    """The package of the same tree with the next Debian revision, built
    from the installed one by dpkg-deb; its path inside the root, and its
    version."""
    tree = tempfile.mkdtemp(prefix="tarnwick-bumped-", dir="/var/tmp")
    try:
        run(["dpkg-deb", "-R", deb, tree])
        control = os.path.join(tree, "DEBIAN", "control")
        with open(control) as f:
            text = f.read()
        version = re.search(r"(?m)^Version: (\S+)-(\d+)$", text)
        if not version:
            raise SystemExit("the package's version has no Debian revision: " + text)
        higher = "%s-%d" % (version.group(1), int(version.group(2)) + 1)
        with open(control, "w") as f:
            f.write(text.replace(version.group(0), "Version: " + higher))
        path = "/root/tarnwick_%s_upgrade.deb" % higher
        run(["dpkg-deb", "-Zgzip", "-z1", "-b", tree, root.file(path)], stdout=subprocess.DEVNULL)
    finally:
        shutil.rmtree(tree, ignore_errors=True)
    return path, higher


def postinst_restarts(root, services):
    """The services the package's postinst restarts on an upgrade (its
    units="..." that are services; try-restart: those running)."""
    with open(root.file("/var/lib/dpkg/info/tarnwick.postinst")) as f:
        units = re.search(r'(?m)^units="([^"]*)"', f.read()).group(1).split()
    return [u for u in units if u.endswith(".service") and u in services.procs]


def upgrade(root, services, deb):
    """The next version installed over the running one under a stream of
    mail, then the restart its postinst asks systemd for (the services;
    the socket stays)."""
    path, version = bumped(root, deb)

    def install_and_restart():
        done = root.chroot(["apt-get", "install", "-y", "-qq", path], stdin=subprocess.DEVNULL,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, check=False)
        if done.returncode != 0:
            raise SystemExit("the upgrade to %s failed:\n%s" % (version, done.stdout[-4000:]))
        began = time.monotonic()
        services.restart(postinst_restarts(root, services))
        return began, time.monotonic()
    failures = under_stream(root, services, "upgrade to " + version, install_and_restart)
    installed = root.chroot(["dpkg-query", "-W", "-f", "${Version}", "tarnwick"],
                            capture_output=True, text=True).stdout
    if installed != version:
        failures.append("after the upgrade dpkg has tarnwick %s, not %s" % (installed, version))
    return failures


# The units whose lines carry their priority (spamd's are SpamAssassin's).
OUR_UNITS = ("quillon-clamd.service", "quillon-spamd.service", "tarnwick-milter.service")


def clean_day(services):
    """Everything so far (start, mail, reload, restarts, the upgrade):
    journalctl -p warning would show nothing of our units, whose lines do
    carry priorities."""
    failures = []
    for name in OUR_UNITS:
        if not re.search(r"(?m)^<6>", services.log(name)):
            failures.append("%s's lines carry no priority prefix:\n%s"
                            % (name, services.log(name)[-1000:]))
        if services.problems(name):
            failures.append("%s logged problems on a clean day:\n%s"
                            % (name, "\n".join(services.problems(name))))
    say("a clean day: %s lines at warning or above" % sum(len(services.problems(u)) for u in OUR_UNITS))
    return failures


def broken_day(root, services):
    """A ";" missing on line 8 of Tarnwick-AS's settings, then the reload:
    journalctl -p warning shows the reload's lines naming the file and the
    line, and nothing else; mail flows on the settings in force.  Mended
    and reloaded, nothing more is shown."""
    milter, path = "tarnwick-milter.service", MILTER_CFG + "Tarnwick-AS.cfg"
    with open(root.file(path)) as f:
        good = f.read()
    lines = good.split("\n")
    if not lines[7].endswith(";"):
        raise SystemExit("line 8 of %s does not end with ';': %r" % (path, lines[7]))
    lines[7] = lines[7][:-1]
    with open(root.file(path), "w") as f:
        f.write("\n".join(lines))
    mark = len(services.log(milter))
    services.reload(milter)
    services.wait_for("the reload keeping Tarnwick-AS's settings", lambda: "reload: filter "
                      "Tarnwick-AS keeps its settings" in services.log(milter)[mark:], 120)
    problems, failures = services.problems(milter, mark), []
    if not any("%s line 8" % path in line for line in problems):
        failures.append("journalctl -p warning would not show %s line 8:\n%s"
                        % (path, services.log(milter)[mark:][-3000:]))
    others = [line for line in problems if "reload: filter Tarnwick-AS" not in line]
    if others:
        failures.append("journalctl -p warning would show more than the problem: %s" % others)
    answer = send("broken-day", "Sent while Tarnwick-AS's settings are broken.")
    if answer != (250, ""):
        failures.append("a message while the settings are broken: %s" % (answer,))
    say("a broken day: %d line(s) at warning or above:\n  %s" % (len(problems), "\n  ".join(problems)))
    with open(root.file(path), "w") as f:
        f.write(good)
    mark = len(services.log(milter))
    services.reload(milter)
    services.wait_for("the reload of the mended settings",
                      lambda: "reload: done" in services.log(milter)[mark:], 120)
    if services.problems(milter, mark):
        failures.append("problems after the mend: %s" % services.problems(milter, mark))
    return failures


def removal(root, services):
    """apt-get remove with main.cf still naming the milter: the removal
    prints the postconf command that takes it out, Postfix defers mail
    until it is run, and passes it once it is.  The package's units stop
    first, as its prerm has systemd stop them; the filters' statistics
    saved at their stop are checked before the package goes."""
    for name in reversed(OUR_UNITS):
        services.stop(name)
    for name in SOCKETS:
        services.release(name)
    failures = stats_failures(root)
    done = root.chroot(["apt-get", "remove", "-y", "-qq", "tarnwick"], stdin=subprocess.DEVNULL,
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, check=False)
    command = "postconf -X smtpd_milters && postfix reload"
    if done.returncode != 0 or not re.search(r"(?m)^\s*%s$" % re.escape(command), done.stdout):
        failures.append("apt-get remove (%d) did not print %r:\n%s"
                        % (done.returncode, command, done.stdout[-3000:]))
        return failures
    deferred = send("after-removal", "Sent after the removal.")
    if deferred[0] // 100 != 4:
        failures.append("main.cf naming the milter of the removed package: %s, not deferred"
                        % (deferred,))
    root.chroot(["sh", "-c", command], stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
    # An smtpd of before the reload may still take a session before it
    # exits (at the latest after max_idle, 100 s).
    answers = [send("after-postconf", "Sent after the milter was taken out of main.cf.")]
    deadline = time.monotonic() + 100
    while answers[-1][0] // 100 == 4 and time.monotonic() < deadline:
        time.sleep(1)  # the pace of the retries, as a sending MTA's
        answers.append(send("after-postconf", "Sent after the milter was taken out of main.cf."))
    passed = answers[-1]
    if passed != (250, ""):
        failures.append("after %s: %s" % (command, passed))
    say("removal: printed %r; the message after it %s, after the command %s"
        % (command, deferred[0], passed[0]))
    return failures


def inner(root_path, deb):
    """Runs in the new network namespace: start, send, check; the package
    deb is the one installed, whose next version the upgrade installs."""
    run(["ip", "link", "set", "lo", "up"])
    root = Root(root_path)
    services = Services(root)
    failures = []
    try:
        milter_argv = unit_argv(root, "tarnwick-milter.service")
        milter_socket = milter_argv[milter_argv.index("--socket") + 1]
        held = services.hold("tarnwick-milter.socket")
        if milter_socket != "unix:" + held:
            failures.append("the host's --socket %s is not its socket unit's %s" % (milter_socket, held))
        milter = configure_postfix(root, "unix:" + held)
        say("main.cf: smtpd_milters = %s" % milter)
        root.chroot(["/usr/lib/postfix/configure-instance.sh", "-"])
        root.chroot(["postfix", "start"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        services.start("spamd.service")
        services.wait_for("spamd on port 783", lambda: listening(783), 120)
        for name in UNITS[1:]:
            services.start(name)
        if "socket of the service manager" not in services.log("tarnwick-milter.service"):
            failures.append("tarnwick-milter did not take the socket it was handed:\n"
                            + services.log("tarnwick-milter.service")[-2000:])
        check = root.chroot(["setpriv", "--reuid", "tarnwick", "--regid", "tarnwick",
                             "--init-groups", "--", "tarnwick-check", "--workdir",
                             "/var/spool/tarnwick/Work/Tarnwick-AV", "/var/lib/tarnwick/milter"],
                            capture_output=True, text=True, check=False)
        if check.returncode != 0:
            failures.append("tarnwick-check found problems:\n" + check.stdout)

        started = time.monotonic()
        outcomes = {
            "clean": send("clean", "An ordinary message, nothing to see."),
            "virus": send("virus", EICAR),
            "spam": send("spam", GTUBE),
        }
        say("answers: %s" % outcomes)
        if outcomes["clean"][0] != 250:
            failures.append("clean message refused: %s" % (outcomes["clean"],))
        if outcomes["virus"][0] != 550:
            failures.append("virus not refused with 550: %s" % (outcomes["virus"],))
        if outcomes["spam"][0] != 250:
            failures.append("spam message refused: %s" % (outcomes["spam"],))

        # Delivered: the clean message, the spam with its score field, and
        # the notification about the virus.
        def delivered():
            box = mailbox_messages(root)
            return (any("Subject: clean" in m for m in box) and
                    any("Subject: spam" in m for m in box) and
                    any("X-Tarnwick: notification" in m for m in box))
        deadline = time.monotonic() + 120
        while not delivered() and time.monotonic() < deadline:
            time.sleep(0.5)
        box = mailbox_messages(root)
        spam = [m for m in box if "Subject: spam" in m]
        clean = [m for m in box if "Subject: clean" in m]
        if not clean:
            failures.append("the clean message was not delivered")
        elif not (re.search(r"(?m)^X-Junk-Score: +-?\d+ \[", clean[0]) and
                  re.search(r"(?m)^X-Quillon-Score: +-?\d+ \[", clean[0]) and
                  "X-Alert" not in clean[0] and "X-Virus" not in clean[0]):
            failures.append("the clean message's header fields: %s" % clean[0][:2000])
        if not spam or not re.search(r"(?m)^X-Junk-Score: 100 ", spam[0]):
            failures.append("the spam message was not delivered with its score: %s" % spam)
        if not any("X-Tarnwick: notification" in m and "Subject: virus" in m for m in box):
            failures.append("no notification of the virus in %s's mailbox" % USER)
        if any("Subject: virus" in m and "X-Tarnwick" not in m for m in box):
            failures.append("the virus was delivered")
        # The notification went over SMTP, as the package's options say.
        if not re.search(r"submit: \S+Qln_AV_notify_\S+ handed over to 127\.0\.0\.1:10026",
                         services.log("tarnwick-milter.service")):
            failures.append("the notification was not handed over to 127.0.0.1:10026")
        say("mail checked in %.1f s" % (time.monotonic() - started))
        failures += day_two(root, services)
        failures += under_stream(root, services, "restart of tarnwick-milter",
                                 lambda: services.restart(["tarnwick-milter.service"]))
        failures += upgrade(root, services, deb)
        failures += clean_day(services)
        failures += broken_day(root, services)
        failures += removal(root, services)
    finally:
        root.chroot(["postfix", "stop"], check=False, stdout=subprocess.DEVNULL,
                    stderr=subprocess.DEVNULL)
        services.stop_all()
        # spamd forks and leaves its parent's group: its pid file names it.
        try:
            with open(root.file("/run/spamd.pid")) as f:
                os.kill(int(f.read().strip()), signal.SIGTERM)
        except (OSError, ValueError):
            pass
    if failures:
        for name in UNITS:
            try:
                print("--- %s\n%s" % (name, services.log(name)[-3000:]))
            except OSError:
                pass
        raise SystemExit("check-deploy FAILED:\n  " + "\n  ".join(failures))
    say("the three outcomes and the notification as expected")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--deb", help="the package (default: build-package/tarnwick_*.deb)")
    parser.add_argument("--keep", action="store_true", help="keep the root for a look inside")
    parser.add_argument("--root", metavar="DIR",
                        help="start and check in a root kept by an earlier --keep run")
    parser.add_argument("--inner", metavar="ROOT", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if os.geteuid() != 0:
        raise SystemExit("check-deploy needs root (debootstrap, chroot, mounts)")
    if args.inner:
        return inner(args.inner, args.deb)
    debs = [args.deb] if args.deb else glob.glob(os.path.join(REPO, "build-package",
                                                              "tarnwick_*.deb"))
    if len(debs) != 1:
        raise SystemExit("one package expected, found %s: run make package" % debs)
    started = time.monotonic()
    if args.root:
        root = Root(os.path.abspath(args.root))
        args.keep = True
    else:
        root = Root(tempfile.mkdtemp(prefix="tarnwick-deploy-", dir="/var/tmp"))
        os.chmod(root.path, 0o755)  # apt fetches as _apt
    try:
        if args.root:
            # The earlier run removed the package and left its mail.
            mount_system(root)
            shutil.copy(debs[0], root.file("/root/"))
            root.chroot(["apt-get", "install", "-y", "-qq", "--allow-downgrades",
                         "/root/" + os.path.basename(debs[0])], stdout=subprocess.DEVNULL)
            open(root.file("/var/mail/" + USER), "w").close()
        else:
            make_root(root, debian_mirror())
            install(root, os.path.abspath(debs[0]))
        say("installed in %.0f s; starting the services" % (time.monotonic() - started))
        status = subprocess.run(["unshare", "--net", "--fork", sys.executable,
                                 os.path.abspath(__file__), "--inner", root.path,
                                 "--deb", os.path.abspath(debs[0])]).returncode
    finally:
        root.unmount_all()
        with open("/proc/self/mounts") as f:
            left = [line.split()[1] for line in f
                    if line.split()[1].startswith(root.path + "/")]
        if args.keep or left:
            # Never remove through a mount that is still there (/dev!).
            say("root kept in %s%s" % (root.path, " (still mounted: %s)" % left if left else ""))
        else:
            shutil.rmtree(root.path, ignore_errors=True)
    say("%s in %.0f s" % ("passed" if status == 0 else "FAILED", time.monotonic() - started))
    return status


if __name__ == "__main__":
    sys.exit(main())
