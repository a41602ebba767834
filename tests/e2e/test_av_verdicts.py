"""Tarnwick-AV from request to answer against a scripted scan engine:
every answer line, the temporary copy, post-processing and the engine
information log lines."""

import os
import re
import time
import unittest

import harness

se = harness.load_schema("se")
SLOW = harness.TIMEOUT_SCALE

QUIET = harness.quiet_settings("Tarnwick-AV")


def report(path=b"/x", viruses=(), error=None, items=()):
    r = se.ScanReport(object=path)
    for name in viruses:
        r.virus.add(type=se.SE_KNOWN_VIRUS, name=name)
    if error is not None:
        r.error = error
    for child in items:
        r.item.add().CopyFrom(child)
    return r


def result(serial=None, scan_report=None):
    m = se.ServerMessage(tag=se.ServerMessage.SCAN_FILE_RESULT)
    if serial is not None:
        m.serial = serial
    if scan_report is not None:
        m.scan_report.CopyFrom(scan_report)
    return m


def queue(s, name, body, envelope=True):
    """A queue file at base/name with the envelope the tests assume."""
    return s.add_message(body, name, directory="", sender="sender@example.org", source="smtp [192.0.2.7]",
                         recipients=["rcpt@example.com"], envelope=envelope)


class AvVerdictTest(unittest.TestCase):
    mode = "Reject"
    postprocess = ""

    def setUp(self):
        self.s = harness.FilterSession("Tarnwick-AV", engine=None, mode=self.mode,
                                       settings=harness.merge(QUIET, {"PostProcess": self.postprocess}))
        self.engine = self.s.scripted_engine(schema=se)
        self.s.start_with(self.engine)
        self.assertEqual(self.engine.recv_frame(), b"\x08\x03")

    def tearDown(self):
        self.s.cleanup()

    def request(self, token, name):
        self.s.send("%s FILE %s\n" % (token, name))
        return self.engine.recv_request(timeout=5)

    def test_clean_message_and_its_copy(self):
        queue(self.s, "q/df1", "Subject: hi\n\nhello\n")
        req = self.request("0017", "q/df1")
        self.assertEqual(req.tag, se.ClientMessage.SCAN_FILE_REQUEST)
        self.assertEqual(req.serial, 17)
        copy = os.path.join(self.s.base, "Temp", "message_0017.tmp")
        self.assertEqual(req.scan_file_request.path, copy)
        self.assertEqual(req.scan_file_request.ListFields()[0][0].name, "path")
        self.assertEqual(len(req.scan_file_request.ListFields()), 1)
        with open(copy, "rb") as fh:
            self.assertEqual(fh.read(), b"Subject: hi\n\nhello\n")
        self.engine.send(result(17, report()))
        self.assertEqual(self.s.next_answers(1), ["17 OK"])
        self.assertFalse(os.path.exists(copy))
        self.assertTrue(os.path.exists(os.path.join(self.s.base, "q/df1")))

    def test_message_without_envelope_is_scanned_in_place(self):
        queue(self.s, "df2", "Subject: no envelope\n\nbody\n", envelope=False)
        req = self.request("5", "df2")
        self.assertEqual(req.scan_file_request.path, os.path.join(self.s.base, "df2"))
        self.engine.send(result(5, report(viruses=["EICAR"])))
        self.s.next_answers(1)
        self.assertTrue(os.path.exists(os.path.join(self.s.base, "df2")))

    def test_missing_file_keeps_the_token_as_sent(self):
        started = time.time()
        self.s.send("0042 FILE nowhere\n")
        self.assertEqual(self.s.next_answers(1), [
            "0042 FAILURE Unable to check file for existence: %s/nowhere, error=No such file or directory"
            % self.s.base])
        self.assertGreaterEqual(time.time() - started, 0.9)

    def test_file_appearing_within_the_wait_is_scanned(self):
        self.s.send("8 FILE late\n")
        time.sleep(0.3)
        queue(self.s, "late", "x")
        req = self.engine.recv_request()
        self.assertEqual(req.serial, 8)

    def test_failures_and_unmatched_replies(self):
        for n in (1, 2, 3):
            queue(self.s, "m%d" % n, "x")
            self.request(str(n), "m%d" % n)
        self.engine.send(result(None, report()))
        self.engine.send(result(1))
        self.engine.send(result(2, report(viruses=["EICAR"], error=se.SE_SCAN_TIMEOUT)))
        self.engine.send(result(99, report()))
        # An unknown tag is read and dropped; the next frame is handled.
        self.engine.send(se.ServerMessage(tag=se.ServerMessage.SCAN_FILE_INFO, serial=3))
        self.engine.send(result(3, report(items=[report(error=se.SE_ARCH_CRC_ERROR)])))
        self.s.expect("3 OK")
        self.assertEqual(self.s.seen()[-5:], ["* unvalid answer from the scanning engine",
                                              "1 FAILURE no scan report returned",
                                              "2 FAILURE error=SE_SCAN_TIMEOUT",
                                              "* no pending request for serial 99, reply dropped",
                                              "3 OK"])
        self.assertEqual(self.s.temp_files(), [])

    def test_reject_answer_names_first_virus_depth_first(self):
        queue(self.s, "m", "x")
        self.request("17", "m")
        tree = report(viruses=["Root.A"], items=[report(items=[report(viruses=["Deep.B"])]),
                                                  report(viruses=["Side.C"])])
        self.engine.send(result(17, tree))
        self.assertEqual(self.s.next_answers(1),
                         ['17 ERROR "Virus found: Root.A\\e3 virus(es) found\\eMessage rejected"'])

    def test_virus_name_escaping_and_cut(self):
        names = ['Bad"Name\\x\nend', "N" * 200, "A" * 78 + '"']
        for i, name in enumerate(names):
            queue(self.s, "m%d" % i, "x")
            self.request(str(i), "m%d" % i)
            self.engine.send(result(i, report(viruses=[name])))
        got = self.s.next_answers(3)
        self.assertEqual(got[0], '0 ERROR "Virus found: Bad\\"Name\\\\xend\\e1 virus(es) found\\eMessage rejected"')
        self.assertEqual(got[1], '1 ERROR "Virus found: %s\\e1 virus(es) found\\eMessage rejected"' % ("N" * 79))
        # The escape pair for the quote would not fit in 79 characters.
        self.assertEqual(got[2], '2 ERROR "Virus found: %s\\e1 virus(es) found\\eMessage rejected"' % ("A" * 78))


class AvDiscardTest(AvVerdictTest):
    mode = "Discard"

    def test_reject_answer_names_first_virus_depth_first(self):
        queue(self.s, "m", "x")
        self.request("17", "m")
        self.engine.send(result(17, report(viruses=["EICAR"])))
        self.s.expect("* (17) EICAR\\e")
        self.assertEqual(self.s.next_answers(1), ["17 DISCARD"])

    test_virus_name_escaping_and_cut = None


class AvAddHeaderTest(AvVerdictTest):
    mode = "AddHeader"

    def test_reject_answer_names_first_virus_depth_first(self):
        queue(self.s, "m", "x")
        self.request("17", "m")
        self.engine.send(result(17, report(viruses=["EICAR"])))
        self.assertEqual(self.s.next_answers(1), ['17 ADDHEADER "X-Virus: EICAR"'])

    test_virus_name_escaping_and_cut = None


class AvPostProcessTest(AvVerdictTest):
    postprocess = 'printf \'%s|%s\\n\' "^1" "^2" >> post.out; exit 3'

    def test_post_processing_gets_quoted_values(self):
        queue(self.s, "q/x", "x")
        self.request("4", "q/x")
        hostile = 'V$(touch pwned)`touch pwned2`"'
        self.engine.send(result(4, report(viruses=[hostile])))
        line = self.s.expect(re.compile(r"^\* Error while launching"))
        # Shown with the values in place (the name as in answers), escaped
        # for the log; never the template with its markers.
        self.assertEqual(line, "* Error while launching 'printf '%s|%s\\\\n' \"q/x\" "
                               "\"V$(touch pwned)`touch pwned2`\\\\\"\" >> post.out; exit 3', code=768")
        self.s.next_answers(1)
        with open(os.path.join(self.s.base, "post.out")) as fh:
            self.assertEqual(fh.read(), 'q/x|V$(touch pwned)`touch pwned2`"\n')
        self.assertFalse(os.path.exists(os.path.join(self.s.base, "pwned")))
        self.assertFalse(os.path.exists(os.path.join(self.s.base, "pwned2")))

    test_reject_answer_names_first_virus_depth_first = None
    test_virus_name_escaping_and_cut = None


class AvInfoTest(unittest.TestCase):
    def test_information_lines(self):
        with harness.FilterSession("Tarnwick-AV", engine=None, settings=QUIET) as s:
            engine = s.scripted_engine(schema=se)
            s.start_with(engine)
            engine.recv_request()
            info = se.ServerMessage(tag=se.ServerMessage.INFO_NOTIFICATION)
            info.info.engine_version = "9.8.7"
            info.info.base_stamp = 0
            engine.send(info)
            s.expect("* Engine version: 9.8.7")
            s.expect("* Base timestamp: Thu Jan  1 00:00:00 1970")
            engine.send(se.ServerMessage(tag=se.ServerMessage.INFO_NOTIFICATION))
            s.expect("* no info returned")
            stamp = se.ServerMessage(tag=se.ServerMessage.INFO_NOTIFICATION)
            stamp.info.base_stamp = 1607000100
            stamp.info.SetInParent()
            engine.send(stamp)
            s.expect("* Base timestamp: Thu Dec  3 12:55:00 2020")
            empty = se.ServerMessage(tag=se.ServerMessage.INFO_NOTIFICATION)
            empty.info.SetInParent()
            engine.send(empty)
            s.send("1 INTF\n")
            s.expect("1 INTF 3 PROD=QLON")
            self.assertFalse([l for l in s.seen()[-2:] if "info" in l or "Engine" in l])


if __name__ == "__main__":
    unittest.main()
