"""Test harness of the Tarnwick filters: a simulated Velmora mail server.

How to import it: the directory sim/ goes on PYTHONPATH, and every user
says `import harness`.  ctest sets it for the end-to-end tests, the
Makefile for `make demo`, `make bench` and `make soak`; sim/server.py run
by hand finds it beside itself.  One test by hand:

    cd tests/e2e && PYTHONPATH=../../sim python3 -m harness.run test_reload

(TARNWICK_BIN names the programs' directory, build/bin by default.)

The modules from the ground up; each imports only modules above it here:
  base          where the programs are, how far waits stretch (sanitizer,
                machine load) and wait_until, bytes and text, scratch
                directories, the generated message classes (load_schema),
                tarnwick-stats as a module (load_stats_tool),
                the ci_may_skip mark
  settings      the settings language writer (cfg_file, merge, RawValue),
                the programs' default settings and quiet_settings(program)
  mail          queue files with their envelope, messages (MIME, zip archives,
                padded), the test strings
  clock         FakeClock: the filter's wall clock under libfaketime
  engines       EngineProcess: an engine simulator and its request log
  scripted      ScriptedEngine: an engine played by the test, frame by
                frame, and its replies (scan_result, spam_rating);
                FrameConnection, one framed connection (also a client of
                an engine), FrameClient over a daemon's socket; varint and
                field for hand-built frames
  real_engines  EngineDaemon (quillon-clamd, quillon-spamd, quillon-rspamd), SpamdServer, RspamdServer,
                FakeRspamd (a stand-in answering what each message asks for),
                HangingPeer (a clamd or spamd that answers PING, hangs on work),
                start_daemon, skip_without (a class needing the daemons)
  output        ProgramOutput: a program's output lines, the waits on
                them, and holding the output to stop it at a chosen line
  session       FilterSession: one filter program in its scratch server
                directory, spoken to on its standard input and output
  milter        MilterRig: tarnwick-milter with its filters and engines,
                driven by miltertest; lua_message, milter_outcomes
  smtp          smtp_send, smtp_transaction: the SMTP client of the tests;
                ScriptedSmtp: an SMTP server played by the test, for the
                milter host's --submit-to
  postfix       PostfixInstance: a private Postfix in front of a milter,
                with send and transaction to its smtpd; milter_behind_postfix
  run           the test runner ctest uses (python3 -m harness.run MODULE)

Standard library only; the generated message classes (python3-protobuf)
are loaded only when a test asks for them (load_schema).
"""

from .base import (LOAD_FACTOR, PROGRAMS, REPO_DIR, SANITIZED, SKIP_CODE, TIMEOUT_SCALE, ci_may_skip, default_bin_dir,
                   default_python_dir, load_schema, load_stats_tool, scaled, scratch_directory, stop_process, to_bytes, to_text, wait_until)
from .clock import FakeClock, date_text, faketime_library, utc_epoch
from .engines import ENGINES, EngineProcess
from .mail import (eicar, encrypted_zip, gtube, mail_text, mime_message, nested_zip, padded_message,
                   plain_message, queue_file, zip_of)
from .real_engines import (DAEMONS, REAL_ENGINES, ClamdServer, EngineDaemon, FakeRspamd, HangingPeer, RspamdServer,
                           SpamdServer, clamav_test_db, daemon_missing, find_rspamd, find_spamd, free_tcp_port,
                           rspamd_missing, skip_without, spamd_missing, start_daemon)
from .output import ProgramOutput
from .scripted import (FrameClient, FrameConnection, FrameTooLong, ScriptedEngine, field, frame, scan_copies,
                       scan_result, spam_rating, varint)
from .session import FilterSession
from .milter import (MilterRig, RawMilterPeer, lua_message, milter_frame, milter_missing, milter_outcomes,
                     real_engines_missing, zstr)
from .smtp import ScriptedSmtp, smtp_send, smtp_transaction
from .postfix import PostfixInstance, milter_behind_postfix, postfix_missing
from .settings import (RawValue, as_settings, av_settings, cfg_file, cfg_format, cfg_quote, default_settings,
                       events_reports, merge, quiet_settings)

__all__ = [name for name in dir() if not name.startswith("_") and name not in
           ("base", "clock", "engines", "mail", "milter", "output", "postfix", "real_engines", "scripted",
            "session", "settings", "smtp")]
