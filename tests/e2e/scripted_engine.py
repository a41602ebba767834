"""A scripted engine for end-to-end tests.

Listens on a unix socket like the real engine daemons, hands every received
request to the test (decoded with the generated classes when a schema is
given) and sends whatever frames the test scripts: well-formed replies,
truncated frames, bad length prefixes, or nothing at all.
"""

import os
import queue
import socket
import struct
import threading


class ScriptedEngine:
    def __init__(self, path, request_class=None):
        self.path = path
        self.request_class = request_class
        self.requests = queue.Queue()
        self.connections = []
        self._lock = threading.Lock()
        self._server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        if os.path.exists(path):
            os.unlink(path)
        self._server.bind(path)
        self._server.listen(8)
        self._closed = False
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while not self._closed:
            try:
                conn, _ = self._server.accept()
            except OSError:
                return
            with self._lock:
                self.connections.append(conn)
                index = len(self.connections) - 1
            threading.Thread(target=self._read, args=(conn, index), daemon=True).start()

    def _read(self, conn, index):
        buf = b""
        while True:
            try:
                chunk = conn.recv(65536)
            except OSError:
                return
            if not chunk:
                return
            buf += chunk
            while len(buf) >= 4:
                (length,) = struct.unpack("<I", buf[:4])
                if len(buf) < 4 + length:
                    break
                body, buf = buf[4:4 + length], buf[4 + length:]
                message = body
                if self.request_class is not None:
                    message = self.request_class()
                    message.ParseFromString(body)
                self.requests.put((index, message, body))

    def wait_connections(self, count, timeout=5.0):
        import time
        deadline = time.time() + timeout
        while time.time() < deadline:
            with self._lock:
                if len(self.connections) >= count:
                    return True
            time.sleep(0.01)
        return False

    def next_request(self, timeout=5.0):
        """(connection index, decoded message, raw body) of the next request."""
        return self.requests.get(timeout=timeout)

    def send_raw(self, data, connection=-1):
        with self._lock:
            conn = self.connections[connection]
        conn.sendall(data)

    def send(self, message, connection=-1):
        body = message.SerializeToString()
        self.send_raw(struct.pack("<I", len(body)) + body, connection)

    def close_connection(self, connection=-1):
        with self._lock:
            conn = self.connections[connection]
        conn.shutdown(socket.SHUT_RDWR)
        conn.close()

    def close(self):
        self._closed = True
        try:
            self._server.close()
        except OSError:
            pass
        with self._lock:
            for conn in self.connections:
                try:
                    conn.close()
                except OSError:
                    pass
        if os.path.exists(self.path):
            os.unlink(self.path)
