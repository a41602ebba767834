"""A private Postfix instance for end-to-end tests and the MTA benchmark:
its own configuration, queue and data directories under one scratch root,
SMTP on a loopback port, every message relayed to smtp-sink on another
loopback port, which stores each one as a file.

What a private instance needs on Debian 12 (all done here, as root): its
configuration directory listed in alternate_config_directories of the
default /etc/postfix/main.cf (added for the run and taken out again, under
a lock: several tests may run instances at once),
maillog_file under maillog_file_prefixes with a postlog service (there may
be no syslog), queue and data directories owned by postfix (postfix
set-permissions), and smtp-sink run with -u postfix.
"""

import fcntl
import glob
import os
import re
import shutil
import subprocess
import time

from .mail import mail_text
from .milter import MilterRig, wait_until
from .real_engines import free_tcp_port
from .smtp import smtp_send, smtp_transaction

DEFAULT_MAIN_CF = "/etc/postfix/main.cf"
MAIN_CF_LOCK = "/tmp/tarnwick-test-main-cf.lock"

MASTER_CF = """\
%(smtp_address)s:%(smtp_port)d inet n - n - %(smtpd_procs)s smtpd
127.0.0.1:%(submit_port)d inet n - n - 4 smtpd -o smtpd_milters= -o mynetworks=127.0.0.0/8
  -o smtpd_client_restrictions=permit_mynetworks,reject
pickup    unix  n       -       n       60      1       pickup
cleanup   unix  n       -       n       -       0       cleanup
qmgr      unix  n       -       n       300     1       qmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
smtp      unix  -       -       n       -       -       smtp
relay     unix  -       -       n       -       -       smtp
showq     unix  n       -       n       -       -       showq
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
discard   unix  -       -       n       -       -       discard
anvil     unix  -       -       n       -       1       anvil
scache    unix  -       -       n       -       1       scache
postlog   unix-dgram n  -       n       -       1       postlogd
"""


def postfix_missing():
    if os.geteuid() != 0:
        return "the Postfix test runs a private Postfix instance and needs root"
    for prog in ("/usr/sbin/postfix", "/usr/sbin/smtp-sink", "/usr/sbin/sendmail"):
        if not os.access(prog, os.X_OK):
            return "%s missing (package postfix)" % prog
    return None


class PostfixInstance:
    def __init__(self, root, milter_spec, smtpd_procs=20, default_action="tempfail", main_cf=None,
                 smtp_address="127.0.0.1", smtp_port=None):
        """smtp_address, smtp_port: where smtpd listens (default a free
        loopback port); smtp-sink always listens on the loopback."""
        self.root = root
        self.smtp_address = smtp_address
        self.conf = os.path.join(root, "etc")
        self.queue = os.path.join(root, "queue")
        self.sink_dir = os.path.join(root, "sink")
        self.logdir = os.path.join(root, "log")
        for d in (self.conf, self.queue, os.path.join(root, "data"), self.sink_dir, self.logdir):
            os.makedirs(d, exist_ok=True)
        shutil.chown(self.sink_dir, "postfix")
        self.smtp_port = smtp_port or free_tcp_port()
        self.sink_port = free_tcp_port()
        # The listener without milters that tarnwick-milter's own mail goes
        # to with --submit-to, as docs/milter.md has it.
        self.submit_port = free_tcp_port()
        values = {
            "compatibility_level": "3.6",
            "queue_directory": self.queue,
            "data_directory": os.path.join(root, "data"),
            "maillog_file": os.path.join(self.logdir, "maillog"),
            "maillog_file_prefixes": self.logdir,
            "myhostname": "mta.tarnwick.test",
            "myorigin": "$myhostname",
            "mydestination": "",
            "relay_domains": "",
            "local_recipient_maps": "",
            "alias_maps": "",
            "alias_database": "",
            "inet_interfaces": "127.0.0.1",
            "inet_protocols": "ipv4",
            "mynetworks": "127.0.0.0/8",
            "smtpd_relay_restrictions": "permit_mynetworks, reject",
            "relayhost": "[127.0.0.1]:%d" % self.sink_port,
            "smtp_dns_support_level": "disabled",
            "smtpd_peername_lookup": "no",
            "smtputf8_enable": "no",
            "biff": "no",
            "smtpd_milters": milter_spec,
            "milter_default_action": default_action,
            "milter_protocol": "6",
            "smtp_connection_cache_on_demand": "yes",
            "default_destination_concurrency_limit": "20",
            "in_flow_delay": "0",
        }
        values.update(main_cf or {})
        with open(os.path.join(self.conf, "main.cf"), "w") as f:
            f.writelines("%s = %s\n" % item for item in values.items())
        with open(os.path.join(self.conf, "master.cf"), "w") as f:
            f.write(MASTER_CF % {"smtp_address": smtp_address, "smtp_port": self.smtp_port,
                                 "smtpd_procs": smtpd_procs, "submit_port": self.submit_port})
        self.sink = None
        self._listed = False

    # Instances of several tests may run at once: each adds its own
    # directory to the list and takes only its own out again, under a lock,
    # so none drops another's while that one's Postfix still runs.  A main.cf
    # made for the list goes again with the last directory in it.
    def _edit_config_directories(self, add):
        with open(MAIN_CF_LOCK, "a+") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            if add and not os.path.exists(DEFAULT_MAIN_CF):
                open(DEFAULT_MAIN_CF, "w").close()
                lock.truncate(0)
                lock.write("made\n")
                lock.flush()
            current = subprocess.run(["postconf", "-h", "alternate_config_directories"],
                                     capture_output=True, text=True).stdout
            listed = [d for d in re.split(r"[\s,]+", current) if d and d != self.conf]
            if add:
                listed.append(self.conf)
            if listed:
                subprocess.run(["postconf", "-e", "alternate_config_directories = " + ", ".join(listed)],
                               check=True, capture_output=True)
                return
            subprocess.run(["postconf", "-X", "alternate_config_directories"], check=True, capture_output=True)
            lock.seek(0)
            if lock.read() == "made\n":
                with open(DEFAULT_MAIN_CF) as f:
                    if not f.read().strip():
                        os.unlink(DEFAULT_MAIN_CF)
                lock.truncate(0)

    def sendmail_command(self):
        return "/usr/sbin/sendmail -C " + self.conf

    def start(self, wait=True):
        """wait: until smtpd greets (which it does only once the milter
        answers); else call wait_listening() later."""
        self._edit_config_directories(add=True)
        self._listed = True
        log = open(os.path.join(self.root, "sink.log"), "ab")
        self.sink = subprocess.Popen(
            ["/usr/sbin/smtp-sink", "-u", "postfix", "-d", os.path.join(self.sink_dir, "%H%M%S."),
             "127.0.0.1:%d" % self.sink_port, "256"], stdout=log, stderr=log)
        log.close()
        postfix = ["/usr/sbin/postfix", "-c", self.conf]
        subprocess.run(postfix + ["set-permissions"], check=True, capture_output=True)
        done = subprocess.run(postfix + ["start"], capture_output=True, text=True)
        if done.returncode != 0:
            raise AssertionError("postfix start failed: %s %s\n%s" % (done.stdout, done.stderr, self.maillog()))
        if wait:
            self.wait_listening()
        return self

    def wait_listening(self):
        wait_until(self._listening, 20, "Postfix smtpd")

    def _listening(self):
        import socket
        try:
            with socket.create_connection((self.smtp_address, self.smtp_port), timeout=2) as c:
                return c.recv(100).startswith(b"220")
        except OSError:
            return False

    def send(self, subject, body="Nothing to see here.", sender="alice@example.org",
             recipients=("bob@example.net",), timeout=120):
        """One message to smtpd from sender (also its From:) to recipients:
        (code, text) as smtp_send gives them, (250, "") when taken."""
        return smtp_send(self.smtp_port, sender, recipients,
                         mail_text(subject, body, sender=sender, crlf=True),
                         host=self.smtp_address, timeout=timeout)

    def transaction(self, mail_from, rcpt_to, message, **kwargs):
        """One transaction with raw paths (smtp_transaction) to smtpd."""
        return smtp_transaction(self.smtp_port, mail_from, rcpt_to, message, host=self.smtp_address, **kwargs)

    def maillog(self):
        try:
            with open(os.path.join(self.logdir, "maillog"), errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def sunk(self):
        """Every message smtp-sink stored, as bytes, oldest first."""
        out = []
        for path in sorted(glob.glob(os.path.join(self.sink_dir, "*"))):
            with open(path, "rb") as f:
                out.append(f.read())
        return out

    def held(self):
        """The messages in Postfix's hold queue, as postqueue -j shows them."""
        import json
        out = subprocess.run(["/usr/sbin/postqueue", "-c", self.conf, "-j"], capture_output=True,
                             text=True, check=True).stdout
        return [m for m in (json.loads(line) for line in out.splitlines() if line.strip())
                if m.get("queue_name") == "hold"]

    def wait_sunk(self, pattern, timeout=30):
        def found():
            return [m for m in self.sunk() if re.search(pattern, m)]
        return wait_until(found, timeout, "a relayed message matching %r" % pattern)

    def stop(self):
        try:
            with open(os.path.join(self.queue, "pid", "master.pid")) as f:
                master = int(f.read().strip() or 0)
        except (OSError, ValueError):
            master = 0
        subprocess.run(["/usr/sbin/postfix", "-c", self.conf, "stop"], capture_output=True)
        # master stops its children, then exits (its pid file stays).
        deadline = time.monotonic() + 15
        while master and os.path.exists("/proc/%d" % master) and time.monotonic() < deadline:
            time.sleep(0.05)
        if self.sink and self.sink.poll() is None:
            self.sink.terminate()
            self.sink.wait(timeout=5)
        if self._listed:
            self._edit_config_directories(add=False)
            self._listed = False


def milter_behind_postfix(smtpd_procs=20, main_cf=None, postfix_args=None, rig_class=MilterRig,
                          submit="sendmail", **rig_args):
    """A MilterRig with the real engines on a loopback port behind a private
    Postfix that also takes the milter's own mail (--sendmail), both started:
    Postfix first, so that the filters' start reports go straight to it.
    main_cf: more settings of Postfix's main.cf; postfix_args: more
    arguments of PostfixInstance (smtp_address...); rig_class: MilterRig or
    a class made from it.  submit: "sendmail" (the milter's own mail through
    Postfix's sendmail) or "smtp" (--submit-to the listener without milters).
    rig_args go to MilterRig (host_args, replace, engine_args, held_socket:
    Postfix then reaches the rig's unix socket...).  Returns
    (rig, mta); stop them with mta.stop() and rig.cleanup().  When a start
    fails, whatever was made is stopped and removed before the error goes on."""
    port = free_tcp_port()
    rig_args.setdefault("engines", "real")
    held = rig_args.get("held_socket")
    rig = rig_class(socket_spec=None if held else "inet:%d@127.0.0.1" % port, **rig_args)
    mta = None
    try:
        # Postfix's daemons run as postfix and must reach their directories
        # under the rig's root (a spamd of the rig opens it too, but not
        # every rig has one).
        os.chmod(rig.root, 0o755)
        mta = PostfixInstance(os.path.join(rig.root, "postfix"),
                              "unix:" + rig.socket if held else "inet:127.0.0.1:%d" % port,
                              smtpd_procs=smtpd_procs, main_cf=main_cf, **(postfix_args or {}))
        rig.host_args += (["--submit-to", "127.0.0.1:%d" % mta.submit_port] if submit == "smtp"
                          else ["--sendmail", mta.sendmail_command()])
        # smtpd greets a client once the milter answered; a held socket
        # takes the connection before the host runs.
        mta.start(wait=not held)
        rig.start()
        mta.wait_listening()
    except BaseException:
        if mta:
            mta.stop()
        rig.cleanup()
        raise
    return rig, mta
