#!/usr/bin/python3
"""Writes the seed corpora of the engine daemons' fuzz targets under
corpus/fuzz_engines_*/.

The frame bodies are protocol-buffer encoded by hand (a few fields of the
two engine schemas), so this needs nothing but Python and the harness's
messages: run with sim/ on PYTHONPATH.  The seeds are kept
in the repository; run this again only to change them.  Inputs that found
a defect are kept beside the seeds under names starting with "defect_"
and are not written here.
"""

import os
import struct

import harness

HERE = os.path.dirname(os.path.abspath(__file__))
MARKER = b"TWFUZZMARK"


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


# --- protocol-buffer encoding of the few fields used ---------------------------

def varint(n):
    out = b""
    while True:
        byte = n & 0x7F
        n >>= 7
        if n:
            out += bytes([byte | 0x80])
        else:
            return out + bytes([byte])


def field_varint(number, value):
    return varint(number << 3) + varint(value)


def field_bytes(number, data):
    return varint(number << 3 | 2) + varint(len(data)) + data


def scan_request(serial, path, *options):
    inner = field_bytes(1, path) + b"".join(field_varint(n, v) for n, v in options)
    return field_varint(1, 1) + field_varint(2, serial) + field_bytes(3, inner)


def rating_request(serial, message):
    body = field_varint(1, 1)
    if serial is not None:
        body += field_varint(2, serial)
    return body + field_bytes(3, message)


# --- spamd replies ---------------------------------------------------------------

def spamd_reply(flag, score, threshold, rules, length=True, end=b"\r\n"):
    body = rules + end
    head = b"SPAMD/1.1 0 EX_OK" + end
    if length:
        head += b"Content-length: %d" % len(body) + end
    head += b"Spam: %s ; %s / %s" % (flag, score, threshold) + end
    return head + end + body


GTUBE_REPLY = spamd_reply(b"True", b"1002.5", b"5.0", b"GTUBE,MISSING_DATE,NO_RECEIVED,NO_RELAYS")
HAM_REPLY = spamd_reply(b"False", b"-0.1", b"5.0", b"ALL_TRUSTED", length=False)


def spamd_reply_seeds():
    t = "fuzz_engines_spamd_reply"
    raw = lambda cut, reply: b"\x00" + struct.pack("<H", cut) + reply  # noqa: E731
    write(t, "gtube_cut.bin", raw(30, GTUBE_REPLY))
    write(t, "ham_no_length.bin", raw(0xFFFF, HAM_REPLY))
    write(t, "bare_lf.bin", raw(12, spamd_reply(b"yes", b"7.5", b"5", b"BAYES_99, URIBL", end=b"\n")))
    write(t, "refused.bin", raw(5, b"SPAMD/1.0 76 Bad header line: (EOF)\r\n"))
    write(t, "oversized_length.bin", raw(40, b"SPAMD/1.1 0 EX_OK\r\nContent-length: 99999999\r\n"
                                            b"Spam: True ; 6 / 5\r\n\r\n"))
    write(t, "controls_in_rules.bin", raw(60, spamd_reply(b"True", b"6", b"5", b"GTUBE,\x01X\x00Y\x7f")))
    # Written replies: choices, score and threshold in tenths, chunk size, rules.
    written = lambda choices, score, threshold, chunk, rules: (  # noqa: E731
        bytes([choices]) + struct.pack("<hhB", score, threshold, chunk) + rules)
    write(t, "written_spam.bin", written(0x01, 10025, 50, 7, b"GTUBE,MISSING_DATE"))
    write(t, "written_ham_no_length.bin", written(0x13, -12, 50, 1, b"ALL_TRUSTED"))
    write(t, "written_negative_threshold.bin", written(0x05, 33, -20, 200, b""))


def spamd_frame_seeds():
    t = "fuzz_engines_spamd_frame"

    def seed(choices, max_size, body, reply=b""):
        return bytes([choices]) + struct.pack("<HH", max_size, len(body)) + body + reply

    message = (b"From: alice@example.org\r\nTo: bob@example.org\r\nSubject: lunch\r\n\r\n"
               b"Shall we meet at noon?\r\n")
    write(t, "gtube.bin", seed(0, 4096, rating_request(7, message), GTUBE_REPLY))
    write(t, "ham.bin", seed(1, 4096, rating_request(8, message), HAM_REPLY))
    write(t, "no_serial_cut.bin", seed(2, 12, rating_request(None, message), GTUBE_REPLY))
    write(t, "zero_threshold.bin", seed(3, 4096, rating_request(9, b""),
                                        spamd_reply(b"False", b"-3.0", b"0.0", b"EMPTY_MESSAGE")))
    write(t, "refused.bin", seed(0, 4096, rating_request(10, message), b"SPAMD/1.0 76 Bad header line\r\n"))
    for choices, name in ((4, "unreachable"), (5, "broken"), (6, "timed_out"), (7, "protocol")):
        write(t, name + ".bin", seed(choices, 4096, rating_request(11, message), b"connection refused"))
    write(t, "not_a_request.bin", seed(0, 4096, b"\xff\xff\xff", GTUBE_REPLY))
    write(t, "unknown_tag.bin", seed(0, 4096, field_varint(1, 7) + field_varint(2, 3), GTUBE_REPLY))


def clamd_frame_seeds():
    t = "fuzz_engines_clamd_frame"

    def seed(choices, body, content=b""):
        return bytes([choices]) + struct.pack("<H", len(body)) + body + content

    body = scan_request(5, b"/queue/message")
    write(t, "marker_in_attachment.bin", seed(0, body, harness.mime_message(b"head " + MARKER + b" tail", "t.bin")))
    write(t, "marker_plain.bin", seed(0, body, b"before " + MARKER + b" after\n"))
    write(t, "marker_first.bin", seed(0, body, MARKER + b" opens this file\n"))
    # ClamAV takes this for RealMedia and matches nothing in it.
    write(t, "ignored_type.bin", seed(0, body, b".RMF " + MARKER + b"\n"))
    write(t, "clean_mail.bin", seed(0, body, harness.mime_message(b"nothing to see\n", "t.bin")))
    # Mail parsing off: the encoded marker is not seen, the plain one is.
    write(t, "mail_level_zero.bin", seed(0, scan_request(6, b"/m", (7, 0), (4, 0)), harness.mime_message(MARKER, "t.bin")))
    names = ("missing", "directory", "fifo", "dangling", "long_name", "through_file", "empty")
    for choices, name in enumerate(names, start=1):
        write(t, name + ".bin", seed(choices, body))
    write(t, "relative.bin", seed(0, scan_request(7, b"queue/message"), MARKER))
    write(t, "zero_byte.bin", seed(0, scan_request(8, b"/queue/a\x00b"), MARKER))
    write(t, "empty_path.bin", seed(0, scan_request(9, b"")))
    # A ".." component climbs out of the allowed directories; dots inside a
    # name do not.
    write(t, "dot_dot.bin", seed(0, scan_request(11, b"/queue/../etc/passwd"), MARKER))
    write(t, "dots_in_name.bin", seed(0, scan_request(12, b"/queue/..message.."), MARKER))
    write(t, "no_path.bin", seed(0, field_varint(1, 1) + field_varint(2, 10)))
    write(t, "subscribe.bin", seed(0, field_varint(1, 3)))
    write(t, "unsubscribe.bin", seed(0, field_varint(1, 4)))
    write(t, "unknown_tag.bin", seed(0, field_varint(1, 2) + field_varint(2, 1)))
    write(t, "not_a_request.bin", seed(0, b"\x0a\xff\xff"))


# --- rspamd replies and the facts of a message -------------------------------------

def http_reply(body, status=b"200 OK", extra=b""):
    return (b"HTTP/1.1 " + status + b"\r\nConnection: close\r\nServer: rspamd/3.4\r\n" + extra
            + b"Content-Length: %d\r\nContent-Type: application/json\r\n\r\n" % len(body) + body)


def rspamd_reply_seeds():
    t = "fuzz_engines_rspamd_reply"
    seed = lambda choices, cut, text: bytes([choices]) + struct.pack("<H", cut) + text  # noqa: E731
    ham = (b'{"is_skipped":false,"score":2.199999,"required_score":15.0,"action":"no action",'
           b'"symbols":{"MIME_GOOD":{"name":"MIME_GOOD","score":-0.1,"options":["text/plain"]},'
           b'"DATE_IN_PAST":{"name":"DATE_IN_PAST","score":1.0,"options":["31"]}},"messages":{}}')
    gtube = (b'{"is_skipped":true,"score":15.0,"required_score":15.0,"action":"reject",'
             b'"symbols":{"GTUBE":{"name":"GTUBE","score":0.0}},"messages":{"smtp_message":"Gtube pattern"}}')
    write(t, "ham_cut.bin", seed(0, 90, http_reply(ham)))
    write(t, "gtube.bin", seed(0, 0xFFFF, http_reply(gtube)))
    write(t, "no_length.bin", seed(0, 30, b"HTTP/1.0 200 OK\r\n\r\n" + gtube))
    write(t, "error.bin", seed(0, 12, http_reply(b'{"error":"bad request"}', b"400 Bad Request")))
    write(t, "chunked.bin", seed(0, 50, http_reply(ham, extra=b"Transfer-Encoding: chunked\r\n")))
    write(t, "deep.bin", seed(0, 70, http_reply(b"[" * 40 + b"]" * 40)))
    write(t, "pong.bin", seed(0, 40, http_reply(b"pong\r\n")))
    # A bare blank line ahead of a CR LF one: the header ends at the first.
    head = b"HTTP/1.1 200 OK\r\nContent-Length: %d\n\n" % len(gtube)
    write(t, "bare_blank_line.bin", seed(0, len(head) + len(gtube), head + gtube + b"\r\n\r\n"))
    write(t, "broken_utf8.bin", seed(0, 60, http_reply(ham.replace(b"text/plain", b"caf\xe9\xff"))))
    # rspamd's forced actions: a reject on a low score, a temporary refusal.
    write(t, "forced_reject.bin", seed(0, 80, http_reply(
        b'{"is_skipped":false,"score":2.0,"required_score":15,"action":"reject","symbols":{}}')))
    write(t, "soft_reject.bin", seed(0, 80, http_reply(
        b'{"is_skipped":true,"score":15.0,"required_score":15,"action":"soft reject"}')))
    # Read by the first or by the last, these rate two ways.
    write(t, "score_twice.bin", seed(0, 0xFFFF, http_reply(ham.replace(b'"score":2.199999,',
                                                                      b'"score":2.199999,"score":40,'))))
    write(t, "length_twice.bin", seed(0, 0xFFFF, http_reply(gtube, extra=b"content-length: 2\r\n")))
    write(t, "milter_fields.bin", seed(1, 0, (
        b"X-Envelope-From: <alice@example.org>\nX-Envelope-To: <bob@example.org>\n"
        b"Received: from helo.example.net (mail.example.org [192.0.2.7])\n\tby mx with ESMTP id 4QX;\n"
        b"\tTue, 08 Dec 2026 17:00:00 +0000\nSubject: x\r\n\r\nbody\r\n")))
    write(t, "nameless_ipv6.bin", seed(1, 0, (
        b"X-Envelope-From: <>\r\nX-Envelope-To: <a@b>\r\n\t<c@d>\r\n"
        b"Received: from unknown (unknown [IPv6:2001:db8::1])\r\n\tby mx with SMTP;\r\n\r\nx")))
    write(t, "server_queue_file.bin", seed(1, 0, b"Received: from a (b [192.0.2.1]) by c id Q;\n\nx"))
    # inet_pton stops at a NUL: the address must not pass with it.
    write(t, "nul_in_address.bin", seed(1, 0, (
        b"X-Envelope-From: <a@b>\nReceived: from h (n [192.0.2.7\0\0x]) by mx id Q;\n\nx")))


if __name__ == "__main__":
    rspamd_reply_seeds()
    spamd_reply_seeds()
    spamd_frame_seeds()
    clamd_frame_seeds()
