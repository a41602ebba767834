"""An engine played by the test itself, frame by frame, and the few lines
of protocol-buffer encoding that build frames no generated class would
write."""

import os
import socket
import time

from .base import load_schema, scaled


def varint(n):
    """A base-128 varint; negative numbers as their 64-bit two's complement."""
    n &= (1 << 64) - 1
    out = bytearray()
    while True:
        byte = n & 0x7F
        n >>= 7
        if n:
            out.append(byte | 0x80)
        else:
            out.append(byte)
            return bytes(out)


def field(number, wire_type, payload=b""):
    """One encoded field: varint (0) takes an int, bytes (2) a payload;
    other wire types (groups) are the key alone followed by payload."""
    key = varint(number << 3 | wire_type)
    if wire_type == 0:
        return key + varint(payload)
    if wire_type == 2:
        return key + varint(len(payload)) + payload
    return key + payload


def frame(body):
    """A frame as it travels: the 4-byte little-endian length, the body."""
    body = bytes(body)
    return len(body).to_bytes(4, "little") + body


class FrameTooLong(Exception):
    """A length prefix above the reader's limit; the prefix is consumed."""

    def __init__(self, length):
        super().__init__("frame of %d bytes announced" % length)
        self.length = length


class FrameConnection:
    """One connection speaking frames: the socket and the bytes received
    but not yet taken as frames.  The connections a ScriptedEngine accepts,
    and a client of an engine (connect)."""

    def __init__(self, sock):
        self.sock = sock
        self._buffer = b""

    @classmethod
    def connect(cls, path):
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            sock.connect(path)
        except OSError:
            sock.close()
            raise
        return cls(sock)

    def recv_frame(self, timeout=5.0, limit=None):
        """The next frame body; None when the peer closed the connection
        (or reset it, leaving our data unread).  Raises TimeoutError, and
        FrameTooLong for a length above `limit`."""
        deadline = time.monotonic() + scaled(timeout)
        while True:
            if len(self._buffer) >= 4:
                length = int.from_bytes(self._buffer[:4], "little")
                if limit is not None and length > limit:
                    self._buffer = self._buffer[4:]
                    raise FrameTooLong(length)
                if len(self._buffer) >= 4 + length:
                    body = self._buffer[4:4 + length]
                    self._buffer = self._buffer[4 + length:]
                    return body
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise TimeoutError("no frame from the peer")
            self.sock.settimeout(remaining)
            try:
                data = self.sock.recv(65536)
            except socket.timeout:
                raise TimeoutError("no frame from the peer")
            except ConnectionResetError:
                data = b""
            if not data:
                return None
            self._buffer += data

    def send_frame(self, body):
        self.send_raw(frame(body))

    def send_raw(self, data):
        self.sock.sendall(bytes(data))

    def close(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()


class FrameClient(FrameConnection):
    """One client connection to an engine daemon's unix socket; replies are
    parsed into reply_class (a generated ServerMessage class)."""

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
        self.sock.settimeout(scaled(self.timeout))
        try:
            return self.sock.recv(1) == b""
        except ConnectionResetError:
            return True


class ScriptedEngine:
    """An engine played by the test itself: listens on a unix socket and
    hands over the raw frames, so a test can send any reply it likes
    (missing serial, zero length, a reply for another request...).

    Frames are bytes: the body without the 4-byte length prefix.  With a
    schema ("se", "ase" or a generated module) the requests can also be
    taken decoded (recv_request) and replies given as messages (send).

    Connections are accepted by the test (accept); until then a filter's
    connect still succeeds and its frames wait in the socket.  Every call
    that reads or writes takes a connection (a FrameConnection), the latest
    one by default.  An engine with a behaviour of its own (one that never
    reads, answers some serials only, or answers with errors) subclasses
    this and builds on accept, recv_request and send."""

    def __init__(self, socket_path, schema=None):
        self.socket_path = socket_path
        self.schema = load_schema(schema) if isinstance(schema, str) else schema
        if os.path.lexists(socket_path):
            os.unlink(socket_path)
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(socket_path)
        self.listener.listen(8)
        self.conns = []  # accepted connections, oldest first

    def accept(self, timeout=5.0):
        """Waits for the filter to connect; returns the connection."""
        self.listener.settimeout(scaled(timeout))
        sock, _ = self.listener.accept()
        conn = FrameConnection(sock)
        self.conns.append(conn)
        return conn

    def _conn(self, conn):
        if conn is None:
            if not self.conns:
                raise RuntimeError("no connection accepted yet")
            return self.conns[-1]
        return conn

    def recv_frame(self, timeout=5.0, conn=None):
        """The next frame body from the filter; None when it closed the
        connection.  Raises TimeoutError."""
        return self._conn(conn).recv_frame(timeout)

    def recv_request(self, timeout=5.0, conn=None):
        """The next frame decoded as the schema's ClientMessage; None when
        the filter closed the connection.  Raises TimeoutError."""
        body = self.recv_frame(timeout, conn)
        if body is None:
            return None
        message = self.schema.ClientMessage()
        message.ParseFromString(body)
        return message

    def recv_requests(self, count, timeout=5.0, conn=None):
        """The next `count` decoded requests (TimeoutError when they do not
        all come in time, EOFError when the connection closes first)."""
        got = []
        for _ in range(count):
            message = self.recv_request(timeout, conn)
            if message is None:
                raise EOFError("connection closed after %d of %d requests" % (len(got), count))
            got.append(message)
        return got

    def send(self, message, conn=None):
        """A message (of the generated classes) as one frame."""
        self.send_frame(message.SerializeToString(), conn)

    def send_frame(self, body, conn=None):
        self.send_raw(frame(body), conn)

    def send_raw(self, data, conn=None):
        self._conn(conn).send_raw(data)

    def close_connection(self, conn=None):
        conn = self._conn(conn)
        self.conns.remove(conn)
        conn.close()

    def close(self):
        for conn in list(self.conns):
            self.close_connection(conn)
        self.listener.close()
        if os.path.lexists(self.socket_path):
            os.unlink(self.socket_path)


def scan_result(se, serial, viruses=()):
    """A scan engine's SCAN_FILE_RESULT for `serial` naming `viruses` (none:
    clean), as a message of the schema module `se`."""
    m = se.ServerMessage(tag=se.ServerMessage.SCAN_FILE_RESULT, serial=serial)
    m.scan_report.object = b"/scanned"
    for name in viruses:
        m.scan_report.virus.add(type=se.SE_KNOWN_VIRUS, name=name)
    return m


def spam_rating(ase, serial, score, details="scripted"):
    """An anti-spam engine's GET_SPAM_REPORT_RESPONSE for `serial` with the
    engine score `score` (VR_SPAM from 100 on, as the engines decide), as
    a message of the schema module `ase`."""
    m = ase.ServerMessage(tag=ase.ServerMessage.GET_SPAM_REPORT_RESPONSE, serial=serial)
    m.spam_report.score.state = ase.VR_SPAM if score >= 100 else ase.VR_LEGIT
    m.spam_report.score.score = score
    m.spam_report.details = details
    return m


def scan_copies(engine, count, timeout=5.0):
    """Takes `count` scan requests and reads the file each names at once, as
    an engine scanning them would: [(serial, path, bytes or None)]."""
    got = []
    for req in engine.recv_requests(count, timeout):
        path = req.scan_file_request.path
        try:
            with open(path, "rb") as f:
                data = f.read()
        except OSError:
            data = None
        got.append((req.serial, path, data))
    return got
