"""What a broken or hostile engine can do to the filters' side of the link,
tried as the attack: slow post-processing while a verdict waits in the
socket, a reply of millions of items, a start and a reload onto an engine
whose queue of connections is full, and three requests of one serial."""

import os
import re
import socket
import struct
import time
import unittest

import harness

se = harness.load_schema("se")
EICAR = harness.eicar()


def av_session(**overrides):
    settings = harness.merge(harness.quiet_settings("Tarnwick-AV"), overrides)
    s = harness.FilterSession("Tarnwick-AV", engine=None, settings=settings)
    engine = s.scripted_engine(schema=se)
    s.start_with(engine)
    engine.recv_request()  # the information subscription
    return s, engine


def fill_accept_queue(path):
    """Connections nobody accepts, until the queue at path takes no more;
    returns them (the queue stays full while they are open)."""
    fillers = []
    while True:
        c = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        c.setblocking(False)
        try:
            c.connect(path)
        except BlockingIOError:
            c.close()
            return fillers
        fillers.append(c)


def peak_rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"VmHWM:\s+(\d+)", f.read()).group(1))


class RepliesTest(unittest.TestCase):
    def tearDown(self):
        self.s.cleanup()

    def test_slow_post_processing_leaves_a_waiting_verdict_in_time(self):
        self.s, engine = av_session(PostProcess="sleep 4", EngineOptions={"Timeout": "2"})
        s = self.s
        s.request(1, s.add_message(EICAR, recipients=["b@y.example"]))
        s.request(2, s.add_message("Subject: clean\n\nhi\n", recipients=["b@y.example"]))
        first, second = engine.recv_requests(2)
        engine.send(harness.scan_result(se, first.serial, ["EICAR-Test-File"]))
        engine.send(harness.scan_result(se, second.serial))
        # Answered in the order the replies came, after the command.
        self.assertTrue(s.answer(1, timeout=8).startswith("1 ERROR"))
        self.assertEqual(s.answer(2), "2 OK")
        answers = [l for l in s.lines() if re.match(r"^[12] ", l)]
        self.assertEqual([l.split()[0] for l in answers], ["1", "2"], answers)
        self.assertFalse([l for l in s.lines() if "engine timeout" in l or "no pending" in l])

    def test_item_bound_counts_entries_not_known_enum_values(self):
        # A virus is one item (its known type is no object of its own); the
        # bound is 10,000 items, so 10,000 packer names pass and one more
        # does not.
        self.s, engine = av_session()
        s = self.s
        for n in (1, 2, 3):
            s.request(n, s.add_message("Subject: %d\n\nhi\n" % n, recipients=["b@y.example"]))
        viruses, exact, over = engine.recv_requests(3)
        engine.send(harness.scan_result(se, viruses.serial, ["V%d" % i for i in range(5000)]))
        for request, packers in ((exact, 10000), (over, 10001)):
            reply = harness.scan_result(se, request.serial)
            reply.scan_report.packer.extend([""] * packers)
            engine.send(reply)
        self.assertTrue(s.answer(1).startswith("1 ERROR"))
        self.assertEqual(s.answer(2), "2 OK")
        self.assertEqual(s.answer(3), "3 FAILURE too many report items")

    def test_reply_of_millions_of_items_fails_its_request_only(self):
        self.s, engine = av_session()
        s = self.s
        s.request(1, s.add_message("Subject: a\n\nhi\n", recipients=["b@y.example"]))
        s.request(2, s.add_message("Subject: b\n\nhi\n", recipients=["b@y.example"]))
        first, second = engine.recv_requests(2)
        items = 5000000
        report = b"\x0a\x01x" + b"\xa2\x01\x00" * items  # the object, then empty items
        body = (b"\x08\x02\x10" + bytes([first.serial]) + b"\x22" + harness.varint(len(report)) + report)
        engine.send_raw(struct.pack("<I", len(body)) + body)
        self.assertEqual(s.answer(1, timeout=10), "1 FAILURE too many report items")
        self.assertIn("* reply for serial 1 holds more than 10000 items, refused", s.lines())
        engine.send(harness.scan_result(se, second.serial))
        self.assertEqual(s.answer(2), "2 OK")
        # The 15 MB frame, read once; nothing parsed of it.  Sanitizers add
        # memory of their own.
        if not harness.SANITIZED:
            self.assertLess(peak_rss_kib(s.proc.pid), 64 * 1024)


class StartOntoFullQueueTest(unittest.TestCase):
    def test_start_gives_up_as_for_an_engine_out_of_reach(self):
        s = harness.FilterSession("Tarnwick-AV", engine=None,
                                  settings=harness.quiet_settings("Tarnwick-AV"))
        self.addCleanup(s.cleanup)
        engine = s.scripted_engine(schema=se)
        for c in fill_accept_queue(engine.socket_path):
            self.addCleanup(c.close)
        start = time.monotonic()
        s.start()
        self.assertEqual(s.wait_exit(timeout=15), 1)
        self.assertLess(time.monotonic() - start, harness.scaled(9))
        self.assertEqual(s.rest()[-1], "* Error: Cannot connect to ScanEngine: Resource temporarily "
                         "unavailable : %s" % engine.socket_path)


class ReloadOntoFullQueueTest(unittest.TestCase):
    def setUp(self):
        self.s, self.first = av_session()
        self.second = self.s.scripted_engine("second", schema=se)
        self.fillers = fill_accept_queue(self.second.socket_path)
        self.s.reload(overrides=harness.merge(harness.quiet_settings("Tarnwick-AV"),
                                              {"Socket": self.second.socket_path}))
        self.s.send("1 INTF\n")
        self.s.wait_for("* Closing Engine")

    def tearDown(self):
        for c in self.fillers:
            c.close()
        self.s.cleanup()

    def test_loop_answers_while_connecting_then_requests_go_out(self):
        s = self.s
        s.request(2, s.add_message("Subject: a\n\nhi\n", recipients=["b@y.example"]))
        start = time.monotonic()
        s.send("3 INTF\n")
        self.assertEqual(s.answer(3, timeout=1), "3 INTF 3 PROD=QLON")
        self.assertLess(time.monotonic() - start, harness.scaled(1))
        self.assertFalse([l for l in s.lines() if l.startswith("* Connected to %s" % self.second.socket_path)])
        for _ in self.fillers:
            self.second.accept()
        self.second.accept()  # ours, at its next try
        req = self.second.recv_request()
        self.second.send(harness.scan_result(se, req.serial))
        self.assertEqual(s.answer(2), "2 OK")
        self.assertEqual(s.quit(), 0)

    def test_deadline_passes_as_for_an_engine_out_of_reach(self):
        s = self.s
        s.send("2 INTF\n")
        self.assertEqual(s.answer(2, timeout=1), "2 INTF 3 PROD=QLON")
        self.assertEqual(s.wait_exit(timeout=10), 1)
        self.assertEqual(s.lines()[-1], "* Error: Cannot connect to ScanEngine: Resource temporarily "
                         "unavailable : %s" % self.second.socket_path)

    def test_quit_while_connecting(self):
        self.assertEqual(self.s.quit(), 0)
        self.assertIn("* quit accepted", self.s.lines())


class SharedSerialTest(unittest.TestCase):
    def tearDown(self):
        self.s.cleanup()

    def test_verdicts_reach_their_own_messages(self):
        settings = harness.quiet_settings("Tarnwick-AV", notify=True)
        self.s, engine = av_session(**settings)
        s = self.s
        infected = s.add_message("Subject: bad one\n\n" + EICAR, recipients=["victim@y.example"])
        clean = s.add_message("Subject: good one\n\nhi\n", recipients=["bystander@y.example"])
        other = s.add_message("Subject: good two\n\nhi\n", recipients=["bystander@y.example"])
        s.send("5 FILE %s\n05 FILE %s\n005 FILE %s\n" % (infected, clean, other))
        # The engine has one request of the serial at a time: the next goes
        # out only once the one before it is answered.
        for _ in range(3):
            req = engine.recv_request()
            with self.assertRaises(TimeoutError):
                engine.recv_request(timeout=0.5)
            with open(req.scan_file_request.path, "rb") as f:
                bad = EICAR.encode() in f.read()
            engine.send(harness.scan_result(se, req.serial, ["EICAR-Test-File"] if bad else []))
        lines = s.wait_count(re.compile(r"^5 (OK|ERROR)"), 3)
        self.assertTrue(lines[0].startswith("5 ERROR"), lines)
        self.assertEqual(lines[1:], ["5 OK", "5 OK"])
        name = s.wait_submitted("Qln_AV_notify_")[0]
        with open(os.path.join(s.submitted, name)) as f:
            note = f.read()
        self.assertIn("To: victim@y.example\n", note)
        self.assertIn("Subject: bad one", note)
        self.assertNotIn("bystander", note)


if __name__ == "__main__":
    unittest.main()
