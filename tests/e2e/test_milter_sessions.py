"""tarnwick-milter's own side of the milter protocol, spoken to byte for
byte by a raw peer: the replies of each stage as the negotiation settled
them, and hostile or broken peers (an oversized frame, a frame cut off,
an unknown command, commands out of order, silence), each of which ends
its own session with a log line while the host goes on serving."""

import os
import struct
import time
import unittest

import harness
from harness import MilterRig, RawMilterPeer, milter_frame, wait_until, zstr

WHY = harness.milter_missing()
# What the host asks for where Postfix offers everything: the header
# values' leading space and no reply before the end of the message but
# for DATA and UNKNOWN (which the host never asked to be spared).
NO_REPLY = 0x1000 | 0x2000 | 0x4000 | 0x8000 | 0x80 | 0x40000 | 0x80000
LEADING_SPACE = 0x100000


def serves(test, rig):
    """The host takes a new session and negotiates it."""
    peer = RawMilterPeer(rig)
    try:
        test.assertEqual(peer.negotiate()[0], 6)
    finally:
        peer.close()


@unittest.skipIf(bool(WHY), WHY)
class MilterSessionTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.rig = MilterRig().start()

    @classmethod
    def tearDownClass(cls):
        cls.rig.cleanup()

    def test_replies_of_each_stage_as_negotiated(self):
        # Postfix's offer: nothing before the end but DATA's continue.
        peer = RawMilterPeer(self.rig)
        try:
            version, actions, protocol = peer.negotiate()
            self.assertEqual((version, actions, protocol), (6, 0x11, LEADING_SPACE | NO_REPLY))
            stages, end = peer.message(1)
            self.assertEqual(stages, [(b"c", b"")])
            spaced = [data.split(b"\0")[:2] for code, data in end if code == b"h"]
            self.assertTrue(spaced, end)
            self.assertTrue(all(value.startswith(b" ") for name, value in spaced), spaced)
            self.assertEqual(end[-1], (b"c", b""))
            # A second message on the same connection.
            stages, end = peer.message(1, headers=(("Subject", " two"), ("X-A", " b")), connect=False)
            self.assertEqual(end[-1], (b"c", b""))
            # A new connection over the same session (QUIT_NC) keeps what
            # the negotiation settled: no replies before the end, the
            # values' leading blank.
            peer.send(milter_frame(b"K"))
            stages, end = peer.message(1)
            self.assertEqual(stages, [(b"c", b"")])
            self.assertEqual([data.split(b"\0")[:2] for code, data in end if code == b"h"], spaced)
        finally:
            peer.close()
        # An MTA of the first protocol version takes a reply at every stage
        # and sends header values without their blank.
        peer = RawMilterPeer(self.rig)
        try:
            self.assertEqual(peer.negotiate(protocol=0x3f), (6, 0x11, 0))
            stages, end = peer.message(8)
            self.assertEqual(stages, [(b"c", b"")] * 8)
            # The same fields, less the blank after the colon.
            bare = [data.split(b"\0")[:2] for code, data in end if code == b"h"]
            self.assertEqual(bare, [[name, value[1:]] for name, value in spaced])
            self.assertEqual(end[-1], (b"c", b""))
        finally:
            peer.close()
        lines = self.rig.message_lines()
        self.assertEqual(sum("queue=RAW1 from=<alice@example.org> to=<bob@example.net>" in l for l in lines), 4)

    def test_hostile_peers_end_their_own_session_only(self):
        queue = os.path.join(self.rig.base, "Queue")
        cases = [
            ("an oversized frame", struct.pack(">I", 0x100000) + b"B",
             "session: a frame of 1048576 bytes (at most 65536 taken) from the MTA; session ended"),
            ("an unknown command", milter_frame(b"X", b"?"),
             "session: unknown command 'X' from the MTA; session ended"),
            ("a recipient before the connection", milter_frame(b"R", zstr("<bob@example.net>")),
             "session: the MTA sent command 'R' after the negotiation; session ended"),
            ("a header field after the body",
             milter_frame(b"C", zstr("h") + b"U") + milter_frame(b"M", zstr("<a@example.org>")) +
             milter_frame(b"R", zstr("<b@example.org>")) + milter_frame(b"N") +
             milter_frame(b"B", b"x\r\n") + milter_frame(b"L", zstr("Subject") + zstr(" late")),
             "session: the MTA sent command 'L' in the body; session ended"),
            ("a second negotiation", milter_frame(b"O", struct.pack(">III", 6, 0x1ff, 0)),
             "session: the MTA sent command 'O' after the negotiation; session ended"),
        ]
        for what, data, line in cases:
            with self.subTest(what):
                peer = RawMilterPeer(self.rig)
                try:
                    peer.negotiate()
                    peer.send(data)
                    self.assertTrue(peer.ended(), what)
                finally:
                    peer.close()
                self.rig.wait_log(line)
                serves(self, self.rig)
        # A frame cut off inside a message: the session ends, and the queue
        # file begun for the message goes with it.
        peer = RawMilterPeer(self.rig)
        try:
            peer.negotiate()
            peer.send(milter_frame(b"C", zstr("h") + b"U"), milter_frame(b"M", zstr("<a@example.org>")),
                      milter_frame(b"R", zstr("<b@example.org>")),
                      milter_frame(b"L", zstr("Subject") + zstr(" cut")),
                      milter_frame(b"B", b"y" * 100)[:60])
            wait_until(lambda: any(n.endswith(".tmp") for n in os.listdir(queue)), 10, "the queue file begun")
            peer.sock.shutdown(2 - 1)  # SHUT_WR: the peer has said all it will
            self.assertTrue(peer.ended())
        finally:
            peer.close()
        self.rig.wait_log("session: the MTA ended the connection inside a command (60 bytes of it came)")
        wait_until(lambda: not os.listdir(queue), 10, "the queue file of the cut message removed")
        serves(self, self.rig)


@unittest.skipIf(bool(WHY), WHY)
class MilterSilentSessionTest(unittest.TestCase):
    def test_a_silent_session_ends_at_the_read_timeout(self):
        rig = MilterRig(host_args=["--session-timeout", "2"]).start()
        try:
            peer = RawMilterPeer(rig, timeout=2 + 20)
            try:
                # The host's wait for the next command begins after it read
                # the negotiation, so after this.
                began = time.monotonic()
                peer.negotiate()
                self.assertTrue(peer.ended())
                # Not at once: the host waited its 2 s for the MTA's next command.
                self.assertGreaterEqual(time.monotonic() - began, 1.9)
            finally:
                peer.close()
            rig.wait_log("session: the MTA sent nothing for 2 s; session ended")
            # The next session is served, a message and all.
            peer = RawMilterPeer(rig)
            try:
                peer.negotiate()
                self.assertEqual(peer.message(1)[1][-1], (b"c", b""))
            finally:
                peer.close()
        finally:
            rig.cleanup()


if __name__ == "__main__":
    unittest.main()
