"""The process helpers and engine clients the engine daemon tests share;
their messages (MIME attachments, zip archives, padded messages) are the
harness's (harness.mail)."""

import os
import re
import shutil
import subprocess
import unittest

import harness

def program(name):
    """A built program of this tree."""
    return os.path.join(harness.default_bin_dir(), name)


def run(argv, timeout=60):
    return subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)


def wait_for_log(daemon, pattern, timeout=15):
    """Waits for a line of daemon's log that matches pattern."""
    try:
        harness.wait_until(lambda: any(re.search(pattern, line) for line in daemon.log_lines()), timeout,
                           "a log line %r" % pattern)
    except AssertionError as e:
        raise AssertionError("%s in:\n%s" % (e, "\n".join(daemon.log_lines()))) from None


class DaemonsTest(unittest.TestCase):
    """A test class that runs engine daemons (PROGRAM) of its own, and the
    servers they ask (spamd, rspamd), in a scratch directory.  setUpClass
    calls begin() first, starts daemons with _start() and lists the servers
    in cls.servers; tearDownClass stops all, removes the directory and
    fails when a daemon did not end cleanly on SIGTERM (status 0, its
    socket removed)."""

    PROGRAM = None

    @classmethod
    def begin(cls, prefix):
        cls.tmp = harness.scratch_directory(prefix)
        cls.daemons, cls.servers = [], []

    @classmethod
    def _start(cls, name, args):
        daemon = harness.start_daemon(cls.PROGRAM, cls.tmp, args, name=name)
        cls.daemons.append(daemon)
        return daemon

    @classmethod
    def tearDownClass(cls):
        for daemon in cls.daemons:
            daemon.stop()
        unclean = ["%s: status %s" % (d.socket_path, d.returncode) for d in cls.daemons
                   if d.returncode != 0 or os.path.exists(d.socket_path)]
        for server in cls.servers:
            server.stop()
        shutil.rmtree(cls.tmp, ignore_errors=True)
        if unclean:
            raise AssertionError("; ".join(unclean))


def scan(socket_path, paths):
    """The reports for paths, all requested on one connection."""
    se = harness.load_schema("se")
    client = harness.FrameClient(socket_path, se.ServerMessage)
    try:
        for serial, path in enumerate(paths, start=1):
            request = se.ClientMessage()
            request.tag = se.ClientMessage.SCAN_FILE_REQUEST
            request.serial = serial
            request.scan_file_request.path = path
            client.send(request)
        replies = {}
        for _ in paths:
            reply = client.receive()
            assert reply is not None, "connection closed before every reply"
            replies[reply.serial] = reply.scan_report
        return [replies[serial] for serial in range(1, len(paths) + 1)]
    finally:
        client.close()


def rescale(s):
    """Tarnwick-AS's mapping of an engine score onto 0..100."""
    if s > 300:
        return 100
    if s > 100:
        return 90 + (s - 100) // 20
    return max(0, int((s + 1000) * 90 / 1100))


def send_ratings(client, messages, first=1):
    """Rating requests for messages, serials counted from first."""
    ase = harness.load_schema("ase")
    for serial, message in enumerate(messages, start=first):
        request = ase.ClientMessage()
        request.tag = ase.ClientMessage.GET_SPAM_REPORT_REQUEST
        request.serial = serial
        request.message = message
        client.send(request)


def rate(socket_path, messages, timeout=60):
    """The replies of an anti-spam engine to messages, all sent on one
    connection before any reply is read, in the order of messages."""
    ase = harness.load_schema("ase")
    client = harness.FrameClient(socket_path, ase.ServerMessage, timeout=timeout)
    try:
        send_ratings(client, messages)
        replies = {}
        for _ in messages:
            reply = client.receive()
            assert reply is not None, "connection closed before every reply"
            replies[reply.serial] = reply
    finally:
        client.close()
    assert sorted(replies) == list(range(1, len(messages) + 1)), sorted(replies)
    return [replies[serial] for serial in range(1, len(messages) + 1)]
