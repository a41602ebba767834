#!/usr/bin/python3
"""Simulated Velmora mail server for the Tarnwick filters: the
demonstration.

A handful of messages through Tarnwick-AV in each mode and through
Tarnwick-AS, printing every verdict and the files that appeared in the
submission directory.  It exits non-zero when an answer is missing or not
of the expected kind.

With --engines real it runs against the real engine daemons instead of
the simulators: ClamAV with the test signature database, SpamAssassin with
a spamd of its own, started offline and stopped at the end.

The scratch server, the engines and the filter sessions are the test
harness's (the package harness beside this file).
"""

import argparse
import os
import re
import shlex
import shutil
import sys

from harness import (ENGINES, REAL_ENGINES, FilterSession, SpamdServer, clamav_test_db, default_bin_dir, eicar,
                     find_spamd, gtube, mail_text, mime_message, queue_file, scratch_directory)


class DemoMessage:
    def __init__(self, label, data, expect, name=None, missing=False, reaches_engine=True):
        self.label = label
        self.data = data
        self.expect = expect  # "OK", "INFECTED", "FAILURE", "ADDHEADER", "ALERT"
        self.name = name
        self.missing = missing
        self.reaches_engine = reaches_engine and not missing


def av_demo_messages():
    env = dict(sender="alice@example.org", source="mx.example.org [192.0.2.10]",
               recipients=("bob@example.net", "carol@example.net"))
    return [
        DemoMessage("clean message", queue_file(mail_text("Lunch", "See you at noon."), **env), "OK"),
        DemoMessage("EICAR test file in the body",
                    queue_file(mail_text("Test", "Attached:\n" + eicar()), **env), "INFECTED"),
        DemoMessage("viruses in nested parts",
                    queue_file(mail_text("Invoice", "Open the archive.",
                                         extra=("X-Sim-Virus: Trojan.Sim.Dropper", "X-Sim-Nested: 2")), **env),
                    "INFECTED"),
        DemoMessage("root scan error",
                    queue_file(mail_text("Locked", "Encrypted archive.",
                                         extra=("X-Sim-Error: SE_PASSWORD_PROTECTED",)), **env), "FAILURE"),
        DemoMessage("error in a nested part only",
                    queue_file(mail_text("Broken", "Damaged archive.",
                                         extra=("X-Sim-Child-Error: SE_ARCH_CRC_ERROR",)), **env), "OK"),
        DemoMessage("message without envelope", queue_file(mail_text("Raw", "No envelope."), envelope=False),
                    "OK"),
        DemoMessage("missing message file", b"", "FAILURE", name="gone.msg", missing=True),
    ]


def as_demo_messages():
    env = dict(source="mx.example.org [192.0.2.20]", recipients=("bob@example.net",))
    return [
        DemoMessage("legitimate message",
                    queue_file(mail_text("Minutes", "The minutes of today's meeting."), sender="alice@example.org",
                               **env), "ADDHEADER"),
        DemoMessage("spam words", queue_file(mail_text("You won", "Cheap viagra, lottery prize!"),
                                             sender="winner@spam.example", **env), "ALERT"),
        DemoMessage("engine score 120 by marker",
                    queue_file(mail_text("Offer", "Maybe spam.", extra=("X-Sim-Score: 120",)),
                               sender="shop@ads.example", **env), "ADDHEADER"),
        DemoMessage("whitelisted sender (never sent to the engine)",
                    queue_file(mail_text("Hello", "From a friend: viagra jokes."), sender="friend@trusted.example",
                               **env), "ADDHEADER", reaches_engine=False),
        DemoMessage("message without envelope",
                    queue_file(mail_text("Raw", "No envelope here."), envelope=False), "ADDHEADER"),
    ]


def verdict_ok(program, mode, expect, line):
    if line is None:
        return False
    words = line.split(" ")
    kind = words[1] if len(words) > 1 else ""
    if expect == "OK":
        return kind == "OK" and len(words) == 2
    if expect == "FAILURE":
        return kind == "FAILURE"
    if expect == "INFECTED":
        return kind == {"Reject": "ERROR", "Discard": "DISCARD", "AddHeader": "ADDHEADER"}[mode]
    if expect == "ADDHEADER":
        return kind == "ADDHEADER" and "X-Alert" not in line
    if expect == "ALERT":
        return kind == "ADDHEADER" and "X-Alert" in line
    return False


# With the real engines the messages carry what ClamAV and SpamAssassin
# recognise: the test strings, inside attachments and out.  The ClamAV test
# database knows only the anti-virus test string; nothing else is infected.
REAL_VIRUS = "Tarnwick.Test.EICAR"


def real_av_demo_messages():
    env = dict(sender="alice@example.org", source="mx.example.org [192.0.2.10]",
               recipients=("bob@example.net", "carol@example.net"))
    eicar_mail = mime_message(eicar(), "invoice.com", subject="Invoice", body="The invoice is attached.\n",
                              sender="<alice@example.org>", to="<bob@example.net>", crlf=False)
    clean_mail = mime_message("Quarterly figures: all fine.\n", "report.txt", subject="Report",
                              body="The report is attached.\n", sender="<alice@example.org>",
                              to="<bob@example.net>", crlf=False)
    messages = [
        DemoMessage("clean message", queue_file(mail_text("Lunch", "See you at noon."), **env), "OK"),
        DemoMessage("EICAR in a base64 MIME attachment", queue_file(eicar_mail, **env), "INFECTED"),
        DemoMessage("clean base64 MIME attachment", queue_file(clean_mail, **env), "OK"),
        DemoMessage("EICAR test file in the body",
                    queue_file(mail_text("Test", "Attached:\n" + eicar()), **env), "INFECTED"),
        DemoMessage("EICAR attachment, message without envelope", queue_file(eicar_mail, envelope=False),
                    "INFECTED"),
        DemoMessage("missing message file", b"", "FAILURE", name="gone.msg", missing=True),
    ]
    for msg in messages:
        msg.virus = REAL_VIRUS if msg.expect == "INFECTED" else None
    return messages


def real_as_demo_messages():
    env = dict(source="mx.example.org [192.0.2.20]", recipients=("bob@example.net",))
    # Date and Message-ID as every real mail client writes them: without
    # them SpamAssassin adds a point or two for the missing headers.
    usual = ("Date: Mon, 7 Dec 2026 10:00:00 +0000", "Message-ID: <minutes-4711@example.org>")
    return [
        DemoMessage("ordinary message",
                    queue_file(mail_text("Minutes", "Here are the minutes of today's meeting.\n\nAlice",
                                         extra=usual), sender="alice@example.org", **env), "LOW"),
        DemoMessage("GTUBE spam test message",
                    queue_file(mail_text("Offer", "Buy now.\n" + gtube(), sender="shop@ads.example",
                                         extra=usual), sender="shop@ads.example", **env), "SPAM"),
        DemoMessage("GTUBE from a whitelisted sender (never rated)",
                    queue_file(mail_text("Joke", "Look at this:\n" + gtube(), sender="friend@trusted.example",
                                         extra=usual), sender="friend@trusted.example", **env), "WHITELISTED",
                    reaches_engine=False),
        DemoMessage("ordinary message without envelope",
                    queue_file(mail_text("Raw", "No envelope here, just a note.", extra=usual), envelope=False),
                    "LOW"),
    ]


def real_verdict_ok(program, mode, msg, line, log_lines=()):
    """verdict_ok for the real engines: an infected message must name the
    ClamAV signature (in the answer, or for Discard in the log line before
    it); a rated message must carry the expected score: "SPAM" 100 with the
    alert lines, "LOW" 40 or less without them, "WHITELISTED" exactly 0."""
    if line is None:
        return False
    words = line.split(" ")
    kind = words[1] if len(words) > 1 else ""
    if msg.expect == "INFECTED":
        if not verdict_ok(program, mode, "INFECTED", line):
            return False
        if mode == "Discard":
            return any(log.startswith("* (%s) %s" % (words[0], msg.virus)) for log in log_lines)
        return msg.virus in line
    if msg.expect in ("SPAM", "LOW", "WHITELISTED"):
        found = re.search(r"X-Junk-Score: *(\d+)", line)
        if kind != "ADDHEADER" or found is None:
            return False
        score, alert = int(found.group(1)), "X-Alert" in line
        if msg.expect == "SPAM":
            return score == 100 and alert
        if msg.expect == "WHITELISTED":
            return score == 0 and not alert
        return score <= 40 and not alert
    return verdict_ok(program, mode, msg.expect, line)


def real_engine_setup(program, spamd):
    """The daemon for program and its options, and how the title shows them."""
    if program == "Tarnwick-AV":
        return "quillon-clamd", ["--db", clamav_test_db()], "quillon-clamd --db engines/testdb"
    return ("quillon-spamd", ["--spamd-socket", spamd.socket_path],
            "quillon-spamd -> spamd (SpamAssassin, local tests only)")


def header_summary(text):
    head = text.split("\n\n", 1)[0]
    wanted = ("From:", "To:", "Bcc:", "Subject:")
    return "; ".join(line for line in head.split("\n") if line.startswith(wanted))


def run_demo(program, mode, bin_dir, engine_args, show_log, keep, timeout, out, engines="sim", spamd=None):
    """One demonstration run; engines "real" uses the engine daemons (spamd:
    the running SpamdServer that quillon-spamd asks)."""
    real = engines == "real"
    title = program if program == "Tarnwick-AS" else "%s, Mode=%s" % (program, mode)
    if real:
        engine, daemon_args, shown = real_engine_setup(program, spamd)
        engine_args = daemon_args + list(engine_args)
        out.write("\n=== %s (engine: %s) ===\n" % (title, " ".join([shown] + engine_args[len(daemon_args):])))
        messages = real_av_demo_messages() if program == "Tarnwick-AV" else real_as_demo_messages()
    else:
        engine = "auto"
        out.write("\n=== %s (engine: %s %s) ===\n" % (title, ENGINES[program], " ".join(engine_args)))
        messages = av_demo_messages() if program == "Tarnwick-AV" else as_demo_messages()
    whitelist = ["# trusted senders", "*@trusted.example"] if program == "Tarnwick-AS" else None
    failures = 0
    with FilterSession(program, bin_dir=bin_dir, mode=mode, engine=engine, engine_args=engine_args,
                       whitelist=whitelist, keep=keep) as s:
        s.start()
        s.send_line("1 INTF 3")
        tokens = []
        for i, msg in enumerate(messages):
            token = str(101 + i)
            if msg.missing:
                path = os.path.join("Queue", msg.name)
            else:
                path = s.add_file(msg.data, msg.name or "%s.msg" % token)
            tokens.append(token)
            s.request(token, path)
        got = s.answers(tokens, timeout=timeout)
        intf = [line for line in s.lines() if line.startswith("1 ")]
        out.write("  INTF answer: %s\n" % (intf[0] if intf else "(none)"))
        for token, msg in zip(tokens, messages):
            lines = got.get(token)
            line = lines[0] if lines else None
            if real:
                ok = real_verdict_ok(program, mode, msg, line, s.log_lines())
            else:
                ok = verdict_ok(program, mode, msg.expect, line)
            ok = ok and len(lines or []) == 1
            failures += 0 if ok else 1
            out.write("  %-4s %-46s %s%s\n" % (token, msg.label, line if line else "(no answer)",
                                               "" if ok else "   <-- UNEXPECTED"))
        arrival = [line.split(" ", 1)[0] for line in s.lines() if line.split(" ", 1)[0] in tokens]
        out.write("  answers left in this order: %s\n" % " ".join(arrival))
        code = s.quit(timeout=timeout)
        if code != 0:
            failures += 1
        if s.engine is not None and s.engine.requests() is not None:
            received = s.engine.requests()
            out.write("  engine received %d request(s): serials %s\n"
                      % (len(received), " ".join(str(n) for n in received) or "-"))
            expected = sorted(int(t) for t, m in zip(tokens, messages) if m.reaches_engine)
            if sorted(received) != expected:
                out.write("  <-- UNEXPECTED: the engine should have received %s\n" % expected)
                failures += 1
        out.write("  exit status: %d\n" % code)
        out.write("  submission directory:\n")
        names = s.submitted_files()
        if not names:
            out.write("    (empty)\n")
        for name in names:
            out.write("    %-34s %s\n" % (name, header_summary(s.read_submitted(name))))
        # One generated mail in full: the first notification, else the
        # daily report.
        shown = [n for n in names if "_notify_" in n] or [n for n in names if "_daily_" in n]
        if shown:
            out.write("  %s in full:\n" % shown[0])
            for line in s.read_submitted(shown[0]).splitlines():
                out.write("    | %s\n" % line)
        leftovers = s.temp_files()
        if leftovers:
            out.write("  left in Temp: %s\n" % " ".join(leftovers))
        if show_log:
            out.write("  log:\n")
            for line in s.log_lines():
                out.write("    %s\n" % line)
            if real and s.engine is not None:
                out.write("  engine log:\n")
                for line in s.engine.log_lines():
                    out.write("    %s\n" % line)
    return failures


def real_engines_ready(args, runs, out):
    """Checks that the daemons were built and spamd is installed, and starts
    spamd when Tarnwick-AS runs.  Returns (problems found, SpamdServer or None)."""
    bin_dir = os.path.abspath(args.bin or default_bin_dir())
    why = {"quillon-clamd": "quillon-clamd (not built: it needs libclamav-dev)",
           "quillon-spamd": "quillon-spamd (not built)"}
    missing = [why[REAL_ENGINES[program]] for program in sorted({program for program, _ in runs})
               if not os.access(os.path.join(bin_dir, REAL_ENGINES[program]), os.X_OK)]
    wants_spamd = any(program == "Tarnwick-AS" for program, _ in runs)
    if wants_spamd and find_spamd() is None:
        missing.append("spamd (package spamassassin)")
    if missing:
        out.write("real engines missing: %s\n" % ", ".join(missing))
        return 1, None
    if not wants_spamd:
        return 0, None
    spamd = SpamdServer(scratch_directory("tw-spamd-"))
    out.write("starting spamd (SpamAssassin, local tests only) ...\n")
    out.flush()
    try:
        spamd.start()
    except (OSError, RuntimeError, TimeoutError) as e:
        out.write("spamd did not start: %s\n" % e)
        shutil.rmtree(spamd.directory, ignore_errors=True)
        return 1, None
    return 0, spamd


def main(argv=None):
    parser = argparse.ArgumentParser(description="Simulated Velmora mail server driving the Tarnwick filters.")
    parser.add_argument("--program", choices=("AV", "AS", "both"), default="both")
    parser.add_argument("--mode", choices=("Reject", "Discard", "AddHeader", "all"), default="all",
                        help="Mode of Tarnwick-AV (default: each in turn)")
    parser.add_argument("--bin", default=None, help="directory of the programs and simulators")
    parser.add_argument("--engines", choices=("sim", "real"), default="sim",
                        help="sim: the engine simulators (default); real: quillon-clamd on the ClamAV test "
                             "database and quillon-spamd with a spamd started here")
    parser.add_argument("--engine-args", default="", help='extra simulator options, e.g. "--shuffle 4 --delay-ms 20"'
                        ' (with --engines real: extra daemon options)')
    parser.add_argument("--show-log", action="store_true", help="print the filter's log lines too")
    parser.add_argument("--keep", action="store_true", help="keep the scratch directories")
    parser.add_argument("--timeout", type=float, default=None,
                        help="seconds to wait for the answers (default: 15, with --engines real 60)")
    args = parser.parse_args(argv)
    if args.timeout is None:
        args.timeout = 60.0 if args.engines == "real" else 15.0

    engine_args = shlex.split(args.engine_args)
    runs = []
    if args.program in ("AV", "both"):
        modes = ("Reject", "Discard", "AddHeader") if args.mode == "all" else (args.mode,)
        runs += [("Tarnwick-AV", mode) for mode in modes]
    if args.program in ("AS", "both"):
        runs.append(("Tarnwick-AS", None))

    failures = 0
    spamd = None
    if args.engines == "real":
        failures, spamd = real_engines_ready(args, runs, sys.stdout)
        if failures:
            runs = []
    try:
        for program, mode in runs:
            try:
                failures += run_demo(program, mode, args.bin, engine_args, args.show_log, args.keep,
                                     args.timeout, sys.stdout, args.engines, spamd)
            except (OSError, RuntimeError, TimeoutError) as e:
                sys.stdout.write("  run failed: %s\n" % e)
                failures += 1
    finally:
        if spamd is not None:
            spamd.stop()
            if args.keep:
                sys.stderr.write("kept spamd directory %s\n" % spamd.directory)
            else:
                shutil.rmtree(spamd.directory, ignore_errors=True)
    sys.stdout.write("\n%s\n" % ("all verdicts as expected" if failures == 0
                                 else "%d unexpected result(s)" % failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
