"""Shared set-up of the end-to-end tests that run the real engine daemons:
quillon-clamd on libclamav and quillon-spamd in front of SpamAssassin's
spamd.  Where the programs are, why a test class is skipped when one is
missing, and a spamd started once per test class; the processes themselves
are the harness's EngineDaemon and SpamdServer.
"""

import os
import socket
import unittest

import harness

WHY_MISSING = {
    "quillon-clamd": "quillon-clamd not built (libclamav-dev and pkg-config missing at build time)",
    "quillon-spamd": "quillon-spamd not built",
}


def daemon_path(kind):
    return os.path.join(harness.default_bin_dir(), kind)


def daemon_missing(kind):
    """Why the daemon cannot run here, or None."""
    return None if os.access(daemon_path(kind), os.X_OK) else WHY_MISSING[kind]


def spamd_missing():
    return None if harness.find_spamd() else "spamd (package spamassassin) not installed"


def skip_without(*kinds):
    """Skips a test class unless every daemon of kinds (and, for
    quillon-spamd, SpamAssassin's spamd) is there to run."""
    reasons = [daemon_missing(kind) for kind in kinds]
    if "quillon-spamd" in kinds:
        reasons.append(spamd_missing())
    reasons = [reason for reason in reasons if reason]
    return unittest.skipIf(bool(reasons), "; ".join(reasons))


def start_spamd(directory, tcp=False):
    """A running spamd on <directory>/spamd.sock (and a loopback port when
    tcp is set).  Raises with spamd's log when it does not come up; stop()
    it in tearDownClass."""
    return harness.SpamdServer(directory, tcp=tcp).start()


def start_daemon(kind, directory, args, name=None):
    """A running engine daemon on <directory>/<name>.sock, its log beside it."""
    socket_path = os.path.join(directory, (name or kind) + ".sock")
    return harness.EngineDaemon(kind, socket_path, harness.default_bin_dir(), args,
                                stderr_path=os.path.join(directory, (name or kind) + ".log")).start()


class FrameClient(harness.FrameConnection):
    """One connection to a daemon; replies are parsed into reply_class."""

    def __init__(self, path, reply_class, timeout=20):
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        sock.connect(path)
        super().__init__(sock)
        self.reply_class = reply_class
        self.timeout = timeout

    def send(self, message):
        self.send_frame(message.SerializeToString())

    def receive(self):
        body = self.recv_frame(self.timeout)
        if body is None:
            return None
        reply = self.reply_class()
        reply.ParseFromString(body)
        return reply

    def closed_by_peer(self):
        self.sock.settimeout(harness.scaled(self.timeout))
        try:
            return self.sock.recv(1) == b""
        except ConnectionResetError:
            return True
