"""Reloading the settings while requests are pending: the process stays up,
moves to the new engine connection, and every request is answered once."""

import os
import unittest

from harness import Filter, Scratch, SLOW
from scripted_engine import ScriptedEngine

import quillon_se_api_pb2 as se


def clean(serial):
    m = se.ServerMessage(tag=se.ServerMessage.SCAN_FILE_RESULT, serial=serial)
    m.scan_report.object = b"x"
    return m


class ReloadTest(unittest.TestCase):
    def setUp(self):
        self.s = Scratch("Tarnwick-AV")
        self.s.write_default_settings()
        self.first = ScriptedEngine(self.s.socket, se.ClientMessage)
        self.second_path = os.path.join(self.s.root, "second.sock")
        self.second = ScriptedEngine(self.second_path, se.ClientMessage)
        self.f = Filter(self.s)
        self.f.expect("* reader thread started")
        self.first.next_request()  # the information subscription

    def tearDown(self):
        self.f.kill()
        self.first.close()
        self.second.close()
        self.s.cleanup()

    def reload_to_second(self, trigger_token):
        self.s.write_default_settings(socket=self.second_path, mode="Discard")
        open(os.path.join(self.s.progdir, "hup.sig"), "w").close()
        self.f.send("%s INTF\n" % trigger_token)
        self.f.expect("* re-reading Tarnwick-AV.cfg")
        self.f.expect("* re-reading Tarnwick-AV.cfg")
        self.f.expect("* Closing Engine")
        self.f.expect("* Connected to %s" % self.second_path)
        self.assertFalse(os.path.exists(os.path.join(self.s.progdir, "hup.sig")))

    def test_pending_requests_move_to_the_new_engine(self):
        for n in range(50):
            self.s.queue_file("m%d" % n, "hello %d" % n)
            self.f.send("%d FILE m%d\n" % (n, n))
        sent = {self.first.next_request()[1].serial for _ in range(50)}
        self.assertEqual(sent, set(range(50)))
        # The first engine answers a few on the old connection after all.
        for n in range(5):
            self.first.send(clean(n))
        self.reload_to_second(1000)
        resent = {}
        while len(resent) < 50:
            try:
                _, req, _ = self.second.next_request(timeout=3 * SLOW)
            except Exception:
                break
            resent[req.serial] = req
        self.assertTrue(set(range(5, 50)) <= set(resent), sorted(resent))
        for serial in sorted(resent):
            self.second.send(clean(serial))
        import re
        while len([l for l in self.f.seen if l.endswith(" OK")]) < 50:
            self.f.expect(re.compile(r" OK$"))
        # Nothing more may come: a duplicate reply finds no entry.
        self.f.send("1001 INTF\n")
        self.f.expect("1001 INTF 3 PROD=QLON")
        answered = [l for l in self.f.seen if l.endswith(" OK")]
        self.assertEqual(sorted(answered, key=lambda l: int(l.split()[0])), ["%d OK" % n for n in range(50)])
        self.assertEqual(self.f.proc.poll(), None)
        self.assertEqual(self.s.temp_files(), [])

    def test_new_settings_apply_and_old_connection_does_not_end_the_process(self):
        self.reload_to_second(7)
        self.f.expect("7 INTF 3 PROD=QLON")
        self.first.close()  # the old engine going away now is no concern of ours
        self.s.queue_file("v", "x")
        self.f.send("8 FILE v\n")
        _, req, _ = self.second.next_request()
        m = clean(req.serial)
        m.scan_report.virus.add(type=se.SE_KNOWN_VIRUS, name="EICAR")
        self.second.send(m)
        self.f.expect("8 DISCARD")
        self.assertIsNone(self.f.proc.poll())

    def test_reload_to_unreachable_engine_exits(self):
        self.second.close()
        self.s.write_default_settings(socket=self.second_path)
        open(os.path.join(self.s.progdir, "hup.sig"), "w").close()
        self.f.send("1 INTF\n")
        rest = self.f.rest()
        self.assertTrue(rest[-1].startswith("* Error: Cannot connect to ScanEngine: "), rest)
        self.assertEqual(self.f.wait(), 1)


if __name__ == "__main__":
    unittest.main()
