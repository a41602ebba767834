"""Generated mail samples for the engine daemon tests and the engine
benchmark: the test virus inside MIME attachments, nested zip archives, an
encrypted zip and padded large messages.  Nothing here is a virus by itself:
the test string is kept in two halves.  At the end, the few process helpers
that the engine tests share.
"""

import base64
import io
import os
import re
import shutil
import struct
import subprocess
import time
import unittest
import zipfile
import zlib

import harness

EICAR = b"X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR" + b"-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"


def mime_message(attachment, name="t.com", subject="files", body=b"See the attachment.\r\n"):
    """A multipart message carrying attachment base64-encoded."""
    return (b"From: alice@example.org\r\nTo: bob@example.org\r\nSubject: " + subject.encode()
            + b"\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b0\"\r\n\r\n"
            b"--b0\r\nContent-Type: text/plain\r\n\r\n" + body
            + b"--b0\r\nContent-Type: application/octet-stream; name=\"" + name.encode() + b"\"\r\n"
            b"Content-Transfer-Encoding: base64\r\n"
            b"Content-Disposition: attachment; filename=\"" + name.encode() + b"\"\r\n\r\n"
            + base64.encodebytes(attachment).replace(b"\n", b"\r\n")
            + b"--b0--\r\n")


def plain_message(body, subject="note"):
    return (b"From: alice@example.org\r\nTo: bob@example.org\r\nSubject: " + subject.encode()
            + b"\r\n\r\n" + body)


def zip_of(name, data):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr(name, data)
    return out.getvalue()


def nested_zip(data, depth):
    """data inside depth zip archives, each holding the next."""
    for level in range(depth):
        data = zip_of("level%d.%s" % (depth - level, "zip" if level else "com"), data)
    return data


def _crc_step(crc, byte):
    # The raw CRC-32 table step of the PKWARE cipher: zlib's crc32 without
    # its pre- and post-inversion.
    return ~zlib.crc32(bytes([byte]), ~crc & 0xFFFFFFFF) & 0xFFFFFFFF


def _zipcrypto(password, plain):
    keys = [0x12345678, 0x23456789, 0x34567890]

    def update(byte):
        keys[0] = _crc_step(keys[0], byte)
        keys[1] = ((keys[1] + (keys[0] & 0xFF)) * 134775813 + 1) & 0xFFFFFFFF
        keys[2] = _crc_step(keys[2], keys[1] >> 24)

    for byte in password:
        update(byte)
    out = bytearray()
    for byte in plain:
        t = (keys[2] | 2) & 0xFFFF
        out.append(byte ^ (((t * (t ^ 1)) >> 8) & 0xFF))
        update(byte)
    return bytes(out)


def encrypted_zip(name, data, password=b"secret"):
    """A zip holding data stored under the traditional PKWARE encryption,
    as `zip -P` writes it."""
    crc = zlib.crc32(data) & 0xFFFFFFFF
    # Twelve header bytes, the last one the high byte of the CRC.
    body = _zipcrypto(password, b"\x5a" * 11 + bytes([crc >> 24]) + data)
    fname = name.encode()
    local = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 1, 0, 0, 0, crc, len(body), len(data),
                        len(fname), 0) + fname + body
    central = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 1, 0, 0, 0, crc, len(body),
                          len(data), len(fname), 0, 0, 0, 0, 0, 0) + fname
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 1, 1, len(central), len(local), 0)
    return local + central + end


def padded_message(size, payload=EICAR):
    """A plain message of at least size bytes whose body ends in payload."""
    line = b"padding line of an overly long message, nothing to see here..........\r\n"
    head = plain_message(b"", subject="large")
    count = max(0, (size - len(head) - len(payload)) // len(line) + 1)
    return head + line * count + payload + b"\r\n"


# Process helpers shared by the engine tests.

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
