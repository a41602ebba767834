#!/usr/bin/python3
"""make check-deploy: the README's "Postfix in five minutes" on a fresh
Debian 12, end to end.  Root only; not part of make test.

In a new Debian 12 root made with debootstrap (the mirror this machine's apt
uses), the package is installed with Postfix as the README says; as there is
no systemd inside, the services are started by the ExecStart lines of their
installed unit files, each as its User=, in a network namespace of their own
(Postfix on port 25, spamd on 783: nothing clashes with this machine's).
Then a clean message, the anti-virus test file and GTUBE go through Postfix
by SMTP, and the three outcomes are checked: delivered to a local mailbox,
refused with 550 (and the notification delivered to the recipient, handed
over by SMTP to the second smtpd on 127.0.0.1:10026 the README adds), and
delivered with the spam score field; after the stop, tarnwick-stats finds the
filters' statistics.  Day two: both filters' settings and the whitelist in
/etc/tarnwick/milter are edited and the unit's ExecReload is run while
messages keep coming (none refused); the next messages show the new
settings.  Everything mounted is unmounted, every
process started is stopped, and the root is removed (unless --keep).

The scan engine gets the project's test signature in place of the official
databases, which freshclam would fetch from the internet."""

import argparse
import glob
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

import harness

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
SUITE = "bookworm"
CACHE = "/var/cache/tarnwick-check-deploy"
# The units the README enables, in the order systemd would start them.
UNITS = ("spamd.service", "quillon-clamd.service", "quillon-spamd.service",
         "tarnwick-milter.service")
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
    for unit in UNITS[1:]:
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


def unit_settings(root, name):
    """The [Service] settings of an installed unit that starting it needs:
    ExecStart split into words (continuation lines joined), User, Group,
    RuntimeDirectory with its mode, UMask, EnvironmentFile."""
    for directory in ("/etc/systemd/system", "/usr/lib/systemd/system", "/lib/systemd/system"):
        path = root.file(os.path.join(directory, name))
        if os.path.exists(path):
            break
    else:
        raise SystemExit("unit %s is not installed" % name)
    with open(path) as f:
        text = f.read().replace("\\\n", " ")
    settings = {}
    for line in text.splitlines():
        m = re.match(r"^(\w+)=(.*)$", line.strip())
        if m:
            settings[m.group(1)] = m.group(2).strip()
    return settings


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
    namespace this process runs in."""

    def __init__(self, root):
        self.root = root
        self.procs = []

    def start(self, name):
        s = unit_settings(self.root, name)
        argv = unit_argv(self.root, name)
        user, group = s.get("User", "root"), s.get("Group", "")
        if s.get("RuntimeDirectory"):
            for d in s["RuntimeDirectory"].split():
                self.root.chroot(["install", "-d", "-m", s.get("RuntimeDirectoryMode", "0755"),
                                  "-o", user, "-g", group or user, "/run/" + d])
        prefix = ["chroot", self.root.path]
        if user != "root":
            prefix += ["setpriv", "--reuid", user, "--regid", group or user, "--init-groups", "--"]
        umask = int(s.get("UMask", "0022"), 8)
        log = open(self.root.file("/var/log/%s.log" % name), "ab")
        say("starting %s: %s" % (name, " ".join(argv)))
        proc = subprocess.Popen(prefix + argv, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                env={"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "LANG": "C.UTF-8"},
                                preexec_fn=lambda: os.umask(umask), start_new_session=True)
        self.procs.append((name, proc))
        return proc

    def log(self, name):
        with open(self.root.file("/var/log/%s.log" % name), errors="replace") as f:
            return f.read()

    def wait_for(self, what, test, timeout):
        deadline = time.monotonic() + timeout
        while not test():
            for name, proc in self.procs:
                if proc.poll() is not None and s_type(self.root, name) != "forking":
                    raise SystemExit("%s ended (%d):\n%s" % (name, proc.returncode, self.log(name)))
            if time.monotonic() > deadline:
                raise SystemExit("no %s within %d s" % (what, timeout))
            time.sleep(0.2)

    def stop_all(self):
        for name, proc in reversed(self.procs):
            if proc.poll() is None:
                os.killpg(proc.pid, signal.SIGTERM)
                try:
                    proc.wait(timeout=30)
                except subprocess.TimeoutExpired:
                    os.killpg(proc.pid, signal.SIGKILL)
                    proc.wait()


def s_type(root, name):
    return unit_settings(root, name).get("Type", "simple")


def listening(port):
    with open("/proc/net/tcp") as f:
        return any(line.split()[1].endswith(":%04X" % port) and line.split()[3] == "0A"
                   for line in f.readlines()[1:])


def message(subject, body):
    return ("From: bob@example.org\r\nTo: %s@localhost\r\nSubject: %s\r\n"
            "Message-ID: <%s@example.org>\r\n\r\n%s\r\n" % (USER, subject, subject, body))


def send(subject, body):
    """Sends by SMTP to the Postfix in this namespace: (code, text) of the
    refusal, or (250, "") when accepted."""
    return harness.smtp_send(25, "bob@example.org", ["%s@localhost" % USER], message(subject, body))


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


def day_two(root, services, milter):
    """Edits both filters' settings and the whitelist, reloads as systemctl
    would (the unit's ExecReload with $MAINPID) under a stream of messages,
    and checks the next messages; returns the failures."""
    failures = []
    etc = "/etc/tarnwick/milter/"
    edit(root, etc + "Tarnwick-AV.cfg", r'(?m)^Mode = "\w+";', 'Mode = "Discard";')
    edit(root, etc + "Tarnwick-AS.cfg", r'(?m)^Header = "[^"\n]*";', 'Header = "X-Day-Two: ^1 [^2]";')
    with open(root.file(etc + "whitelist.txt"), "a") as f:
        f.write("bob@example.org\n")
    log = services.log("tarnwick-milter.service")
    mark, as_starts = len(log), log.count("filter Tarnwick-AS started")

    stop, answers = threading.Event(), []

    def stream():
        n = 0
        while not stop.is_set():
            n += 1
            answers.append(send("during-reload-%d" % n, "Sent while the filters reload."))
    sender = threading.Thread(target=stream)
    sender.start()
    started = time.monotonic()
    try:
        time.sleep(1)
        reload = unit_settings(root, "tarnwick-milter.service").get("ExecReload", "")
        if not reload:
            return ["the unit has no ExecReload"]
        run(expand(shlex.split(reload.lstrip("-@+!")), {"MAINPID": str(milter.pid)}))
        services.wait_for("the reload", lambda: "reload: done" in
                          services.log("tarnwick-milter.service")[mark:], 120)
        services.wait_for("a fresh Tarnwick-AS", lambda: services.log(
            "tarnwick-milter.service").count("filter Tarnwick-AS started") > as_starts, 60)
    finally:
        stop.set()
        sender.join()
    took = time.monotonic() - started
    log = services.log("tarnwick-milter.service")[mark:]
    refused = [a for a in answers if a[0] != 250]
    say("reload: %d message(s) sent meanwhile, %d refused, %.1f s" % (len(answers), len(refused), took))
    if refused or not answers:
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


def inner(root_path):
    """Runs in the new network namespace: start, send, check."""
    run(["ip", "link", "set", "lo", "up"])
    root = Root(root_path)
    services = Services(root)
    failures = []
    try:
        milter_argv = unit_argv(root, "tarnwick-milter.service")
        milter_socket = milter_argv[milter_argv.index("--socket") + 1]
        milter = configure_postfix(root, milter_socket)
        say("main.cf: smtpd_milters = %s" % milter)
        root.chroot(["/usr/lib/postfix/configure-instance.sh", "-"])
        root.chroot(["postfix", "start"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        services.start("spamd.service")
        services.wait_for("spamd on port 783", lambda: listening(783), 120)
        services.start("quillon-clamd.service")
        services.wait_for("quillon-clamd socket",
                          lambda: os.path.exists(root.file("/run/tarnwick/clamd.sock")), 120)
        services.start("quillon-spamd.service")
        services.wait_for("quillon-spamd socket", lambda: os.path.exists(
            root.file("/run/tarnwick/spamd-engine.sock")), 60)
        milter_proc = services.start("tarnwick-milter.service")
        services.wait_for("tarnwick-milter ready",
                          lambda: "start: ready" in services.log("tarnwick-milter.service"), 60)
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
        failures += day_two(root, services, milter_proc)
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
    failures += stats_failures(root)
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
        return inner(args.inner)
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
            mount_system(root)
        else:
            make_root(root, debian_mirror())
            install(root, os.path.abspath(debs[0]))
        say("installed in %.0f s; starting the services" % (time.monotonic() - started))
        status = subprocess.run(["unshare", "--net", "--fork", sys.executable,
                                 os.path.abspath(__file__), "--inner", root.path]).returncode
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
