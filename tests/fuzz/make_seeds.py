#!/usr/bin/python3
"""Writes the seed corpora of the fuzz targets under corpus/<target>/.

The seeds are small hand-made inputs: settings and statistics files,
request lines, queue-file heads, whitelist patterns and engine reply
streams.  The engine frames are built with the Python classes of the two
schemas, loaded by the harness: run with sim/ on PYTHONPATH and
TARNWICK_PY set to <build>/python.  The seeds are kept in
the repository; run this again only to change them.

The two schemas both define ql.ServerMessage, so the anti-spam frames are
made in a second process.
"""

import os
import struct
import subprocess
import sys

import harness

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("latin-1")
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def frame(message):
    body = message if isinstance(message, bytes) else message.SerializeToString()
    return struct.pack("<I", len(body)) + body


def varint(n):
    out = b""
    while n >= 0x80:
        out += bytes([n & 0x7f | 0x80])
        n >>= 7
    return out + bytes([n])


def reply_input(choices, envelope, frames):
    env = envelope.encode("latin-1")
    return bytes([choices]) + struct.pack("<H", len(env)) + env + b"".join(frames)


ENVELOPE = "P <alice@example.org>\nS mx.example.org [192.0.2.10]\nR <bob@example.net>\nR <carol@example.net>\n\n"


def cfgf():
    write("fuzz_cfgf", "av_settings.cfg", """\
# anti-virus settings
Socket = "/var/run/quillon/se.sock";
Mode = Reject;
SubmittedDirectory = Submitted;
PostProcess = "";
RejectOptions = { NotifyRecipients = Yes; };
AddHeaderOptions = { Header = "X-Virus: ^1"; };
NotificationMessage = {
    Caption = "Virus found: ";
    Summary = "^1 virus(es) found\\e";
    Footer = "Message \\"rejected\\"";
};
NotifyRecipientsOptions = { Description = ("line one", "line two",); };
""")
    write("fuzz_cfgf", "as_settings.cfg", """\
Socket = "/var/run/quillon/ase.sock";
Header = "X-Junk-Score: ^1 [^2]\\eX-Quillon-Score: ^1 [^2]";
AlertLevel = 100;
BarScoreRanges = (0 39, 76, 84 90 99 100);
OnProblem = Ignore; # trailing comment
""")
    write("fuzz_cfgf", "nested.cfg", "a = { b = ( { c = (x, (y z), {}); }, () ); d = {}; }; } after = ignored;")
    write("fuzz_cfgf", "errors.cfg", "key = \"broken\nstring\";\nother = a/b;\n")
    write("fuzz_cfgf", "statistics.cfg",
          "StatStart=1767571200; #Mon, 5 Jan 2026 00:00:00\nStatEnd=1767614889;\n"
          "Sources={\n\"mx [192.0.2.1]\"=3;\n};\n")


def request_lines():
    write("fuzz_request_line", "session.txt",
          "1 INTF 3\n17 FILE Queue/m0001.msg\n0042   FILE   Queue/with blank \n"
          "2 FILE \n3 FILE\n4 FILEX a\n5 file x\nnoblank\n\n 6 INTF\r\n7 QUITNOW\n8 NOOP arg\n")
    write("fuzz_request_line", "long_line.txt", "9 FILE " + "a" * 1500 + "\n10 INTF\n")
    write("fuzz_request_line", "high_bytes.txt", b"11 FILE Queue/\xe9t\xe9.msg\n12 INTF 3\nunfinished")
    # Zero bytes are never part of a line: "1\02 INTF" is the request "12 INTF".
    write("fuzz_request_line", "zero_bytes.txt", b"1\x002 INTF\n17 FILE Queue/a\x00b.msg\n")


def envelopes():
    def env_input(split, data):
        return struct.pack("<H", split) + (data.encode("latin-1") if isinstance(data, str) else data)

    write("fuzz_envelope", "plain.bin", env_input(20, ENVELOPE + "Subject: hi\n\nbody\n"))
    write("fuzz_envelope", "crlf.bin", env_input(7, ENVELOPE.replace("\n", "\r\n") + "body"))
    write("fuzz_envelope", "header_first.bin", env_input(3, "Received: from x\nP <a@b>\n\nbody"))
    write("fuzz_envelope", "no_blank.bin", env_input(9, "S smtp [192.0.2.7]\nR <x@y>\nSubject: no blank line\n"))
    write("fuzz_envelope", "blank_start.bin", env_input(1, "\r\nbody"))
    write("fuzz_envelope", "open_end.bin", env_input(2, "R <unterminated\nS "))
    write("fuzz_envelope", "long_rcpt.bin", env_input(50, "R <" + "r" * 150 + "@example.com>\n\n"))


def whitelist():
    write("fuzz_whitelist", "patterns.txt",
          "# trusted senders\n*@trusted.example\nA?Z\n\nab\nboss@EXAMPLE.com\r\n*.*@*.org\n--\nBoss@example.com")
    write("fuzz_whitelist", "stars.txt", "a*b*c*d\n**x**\n?*?\n--\naXXbYYcZZd")
    write("fuzz_whitelist", "long.txt", "x" * 1030 + "*\n--\n" + "x" * 1030 + "yz")
    # The fixed end exactly as long as the address: the star stands for nothing.
    write("fuzz_whitelist", "tail.txt", "*bob@x.org\n--\nbob@x.org")


def av_replies():
    se = harness.load_schema("se")
    clean = se.ServerMessage(tag=se.ServerMessage.SCAN_FILE_RESULT, serial=17)
    clean.scan_report.object = b"/base/Temp/message_17.tmp"
    infected = se.ServerMessage(tag=se.ServerMessage.SCAN_FILE_RESULT, serial=18)
    infected.scan_report.object = b"/x"
    v = infected.scan_report.virus.add(type=se.SE_KNOWN_VIRUS, name='Name "with" \\quotes\\ and\nbreak')
    child = infected.scan_report.item.add(object=b"/x//a.zip")
    child.virus.add(type=se.SE_KNOWN_VIRUS, name="Sim.Nested.1")
    child.item.add(object=b"/x//a.zip//b", error=se.SE_ARCH_CRC_ERROR).virus.add(
        type=se.SE_ADWARE, name="Sim.Deep")
    long_name = se.ServerMessage(tag=se.ServerMessage.SCAN_FILE_RESULT, serial=19)
    long_name.scan_report.object = b"/y"
    long_name.scan_report.virus.add(type=se.SE_KNOWN_VIRUS, name="\\" * 45 + "N" * 200)
    error = se.ServerMessage(tag=se.ServerMessage.SCAN_FILE_RESULT, serial=20)
    error.scan_report.object = b"/z"
    error.scan_report.error = se.SE_SCAN_TIMEOUT
    error.scan_report.virus.add(type=se.SE_KNOWN_VIRUS, name="Ignored")
    no_report = se.ServerMessage(tag=se.ServerMessage.SCAN_FILE_RESULT, serial=21)
    no_serial = se.ServerMessage(tag=se.ServerMessage.SCAN_FILE_RESULT)
    no_serial.scan_report.object = b"/w"
    info = se.ServerMessage(tag=se.ServerMessage.INFO_NOTIFICATION)
    info.info.engine_version = "Sim Scan Engine 1.0"
    info.info.base_stamp = 1606780800
    info.info.virus_base.add(path="/bases/main.db", virus_records=12345)
    file_info = se.ServerMessage(tag=se.ServerMessage.SCAN_FILE_INFO, serial=17)
    frames = [frame(m) for m in (info, file_info, clean, infected, long_name, error, no_report, no_serial)]
    write("fuzz_av_reply", "reject.bin", reply_input(0, ENVELOPE, frames))
    write("fuzz_av_reply", "discard.bin", reply_input(1, "S only-source\n\n", frames[2:5]))
    write("fuzz_av_reply", "addheader.bin", reply_input(2, "", frames[3:4] + frames[0:1]))
    write("fuzz_av_reply", "unmatched.bin", reply_input(0x80, ENVELOPE, frames[2:4]))
    # A tree nested well below the parser's limit, and frames cut short.
    deep = se.ServerMessage(tag=se.ServerMessage.SCAN_FILE_RESULT, serial=30)
    node = deep.scan_report
    node.object = b"/d"
    for depth in range(60):
        node = node.item.add(object=b"/d//%d" % depth)
    node.virus.add(type=se.SE_KNOWN_VIRUS, name="Deep.Down")
    write("fuzz_av_reply", "deep.bin", reply_input(0, ENVELOPE, [frame(deep)]))
    whole = frame(infected)
    write("fuzz_av_reply", "truncated.bin", reply_input(0, "", [frame(clean), whole[: len(whole) // 2]]))
    # A zero byte inside a virus name: the answer still ends the name with
    # the server's line break.
    nul_name = se.ServerMessage(tag=se.ServerMessage.SCAN_FILE_RESULT, serial=31)
    nul_name.scan_report.object = b"/n"
    nul_name.scan_report.virus.add(type=se.SE_KNOWN_VIRUS, name="Bad\x00Name")
    write("fuzz_av_reply", "zero_in_name.bin", reply_input(0, ENVELOPE, [frame(nul_name)]))
    # A line feed in the engine version must not start a line of its own
    # (the server would read "17 OK" as an answer).
    info_lf = se.ServerMessage(tag=se.ServerMessage.INFO_NOTIFICATION)
    info_lf.info.engine_version = "1.0\n17 OK"
    write("fuzz_av_reply", "info_line_break.bin", reply_input(0, "", [frame(info_lf)]))
    # More report items than any engine sends (empty ones, refused before
    # parsing), then a reply read normally.
    many = b"\x08\x02\x10\x16\x22" + varint(3 * 10001) + b"\xa2\x01\x00" * 10001
    write("fuzz_av_reply", "many_items.bin", reply_input(0, "", [frame(many), frame(clean)]))
    write("fuzz_av_reply", "unknown_tag.bin",
          reply_input(0, "", [frame(b"\x08\x09\x10\x05"), frame(b"\x08\x02\x10\x05\xa0\x06\x01"), frame(b"")]))


def as_replies():
    ase = harness.load_schema("ase")
    def rated(serial, score, state=ase.VR_SPAM):
        m = ase.ServerMessage(tag=ase.ServerMessage.GET_SPAM_REPORT_RESPONSE, serial=serial)
        m.spam_report.score.state = state
        m.spam_report.score.score = score
        m.spam_report.details = "rules hit"
        return m

    scores = [rated(40 + i, s) for i, s in enumerate((-1000, 0, 100, 101, 120, 300, 301, 400, -5000,
                                                      2 ** 40 + 7, -(2 ** 33)))]
    frames = [frame(m) for m in scores]
    write("fuzz_as_reply", "scores.bin", reply_input(0, ENVELOPE, frames))
    write("fuzz_as_reply", "odd_settings.bin", reply_input(1, "", frames))
    write("fuzz_as_reply", "unmatched.bin", reply_input(0x80, "", frames[:3]))
    # Scores between the worked points and on both sides of each step.
    between = (-1001, -999, -988, -987, -500, -1, 1, 50, 99, 119, 139, 140, 199, 249, 250, 251, 260, 280, 299)
    write("fuzz_as_reply", "between.bin",
          reply_input(0, ENVELOPE, [frame(rated(70 + i, s)) for i, s in enumerate(between)]))
    error = ase.ServerMessage(tag=ase.ServerMessage.GET_SPAM_REPORT_RESPONSE, serial=60)
    error.error.code = 7
    error.error.what = "bad message size"
    write("fuzz_as_reply", "error_reply.bin", reply_input(0, "", [frames[0], frame(error), frames[1]]))
    # Ten thousand and one unknown fields: refused unparsed.
    unknown = b"\x08\x01\x10\x3d" + b"\x90\x03\x00" * 10001
    write("fuzz_as_reply", "many_items.bin", reply_input(0, "", [frame(unknown), frames[1]]))
    write("fuzz_as_reply", "unknown_tag.bin", reply_input(0, "", [frame(b"\x08\x05\x10\x01"), frames[2]]))


def stats():
    write("fuzz_stats_load", "normal.dat", """\
StatStart=1767571200; #Mon, 5 Jan 2026 00:00:00
StatEnd=1767614000; #Mon, 5 Jan 2026 11:53:20
MessagesTotal=12;
ScanTimeMin=3;
ScanTimeMax=250;
ScanTimeTotal=700;
NormalShutdown=YES;
Scores={
"0"=2;
"81"=7;
"100"=3;
};
Sources={
"mx.example.org [192.0.2.10]"=5;
"mx.example.org [192.0.2.77]"=2;
"Unknown"=5;
};
Targets={
"bob@example.net"=9;
"carol@example.net"=3;
};
""")
    write("fuzz_stats_load", "restart.dat",
          "StatStart=1767571200;\nStatEnd=1767600000;\nRestartTime=1767590000;\nMessagesTotal=1;\n"
          "ScanTimeMin=0;\nScanTimeMax=9;\nScanTimeTotal=9;\nScores={\"50\"=1;};\n"
          "Sources={\"a \\\"quoted\\\" name\"=1;};\nTargets={};\n")
    write("fuzz_stats_load", "yesterday.dat", "StatStart=1767484800;\nStatEnd=1767528000;\nMessagesTotal=4;\n")
    write("fuzz_stats_load", "odd_values.dat",
          "StatStart=\" 1767571200xyz\";\nStatEnd=1767614889;\nMessagesTotal=-3;\nScanTimeTotal=99999999999;\n"
          "Scores={\"-1\"=4; \"101\"=5; \"7\"=(); \"8\"=-2;};\nSources=();\nTargets={\"x\"={}; \"y\"=2147483647; \"y\"=9;};\n")


def milter_frame(code, data=b""):
    return struct.pack(">I", len(data) + 1) + code + data


def milter_mta():
    """The MTA's side of milter sessions: Postfix's order, macros and all,
    two messages over one connection, and broken frames."""
    z = lambda s: s.encode("latin-1") + b"\0"
    negotiate = milter_frame(b"O", struct.pack(">III", 6, 0x1ff, 0x1fffff))
    connect = (milter_frame(b"D", b"C" + z("j") + z("mta.example.com") + z("{daemon_name}") + z("smtpd")) +
               milter_frame(b"C", z("mx.example.org") + b"4" + struct.pack(">H", 25) + z("192.0.2.7")))
    message = (milter_frame(b"D", b"M" + z("{mail_addr}") + z("alice@example.org") + z("i") + z("4XkQ1")) +
               milter_frame(b"M", z("<Alice@example.org>") + z("SIZE=100")) +
               milter_frame(b"D", b"R" + z("{rcpt_addr}") + z("bob@example.net")) +
               milter_frame(b"R", z("<bob@example.net>")) + milter_frame(b"T") +
               milter_frame(b"L", z("Subject") + z(" hello")) + milter_frame(b"L", z("From") + z(" <a@b>")) +
               milter_frame(b"N") + milter_frame(b"B", b"body\r\n.\r\n") +
               milter_frame(b"D", b"E" + z("i") + z("4XkQ1")) + milter_frame(b"E"))
    write("fuzz_milter_mta", "postfix_session", negotiate + connect +
          milter_frame(b"H", z("helo.example.org")) + message + message + milter_frame(b"Q"))
    write("fuzz_milter_mta", "kept_connection", negotiate + connect + message + milter_frame(b"K") +
          milter_frame(b"C", z("[2001:db8::1]") + b"6" + struct.pack(">H", 587) + z("2001:DB8::1")) +
          milter_frame(b"A") + milter_frame(b"U", z("VRFY x")) + milter_frame(b"Q"))
    write("fuzz_milter_mta", "oversized", negotiate + struct.pack(">I", 0x10002) + b"B" + b"x" * 64)
    write("fuzz_milter_mta", "truncated", negotiate + connect[:-3])
    write("fuzz_milter_mta", "odd_arguments", negotiate + milter_frame(b"D", b"Z" + z("x")) +
          milter_frame(b"C", z("h") + b"U") + milter_frame(b"L", z("X") + b"v") + milter_frame(b"X"))


def main():
    if sys.argv[1:] == ["as"]:
        as_replies()
        return
    cfgf()
    request_lines()
    envelopes()
    whitelist()
    av_replies()
    stats()
    milter_mta()
    subprocess.run([sys.executable, os.path.abspath(__file__), "as"], check=True)


if __name__ == "__main__":
    main()
