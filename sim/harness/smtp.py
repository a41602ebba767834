"""SMTP both ways.  The client side, for the tests that send through a
real MTA: smtp_send (one message, the reply that ended it) and
smtp_transaction (one transaction with the paths written as given).
ScriptedSmtp: an SMTP server on a loopback port played by the test, for
the milter host's hand-over of generated mail (--submit-to): it answers
each recipient as told (250 unless refuse names it), stores each message
it takes with its envelope, and can stop answering after the greeting or
at the end of data, so that the host's deadline ends the exchange."""

import smtplib
import socket
import threading

from .base import TIMEOUT_SCALE, to_bytes


def smtp_send(port, sender, recipients, message, host="127.0.0.1", timeout=120):
    """Sends message (text or bytes) from sender to recipients in one SMTP
    session.  Returns (code, text): (250, "") when every recipient took it;
    else the reply that refused it (a refused recipient's, the first, when
    only some were refused); (0, why) when the session broke off."""
    try:
        with smtplib.SMTP(host, port, timeout=timeout) as smtp:
            refused = smtp.sendmail(sender, list(recipients), message)
    except smtplib.SMTPResponseException as e:
        return e.smtp_code, e.smtp_error.decode(errors="replace")
    except smtplib.SMTPRecipientsRefused as e:
        refused = e.recipients
    except (OSError, smtplib.SMTPException) as e:
        return 0, str(e)
    if refused:
        code, text = next(iter(refused.values()))
        return code, text.decode(errors="replace")
    return 250, ""


def smtp_transaction(port, mail_from, rcpt_to, message, helo="client.example.org", xclient=None,
                     host="127.0.0.1", timeout=60):
    """One transaction with its paths written as given ("<a@b.example>",
    or anything an attacker would write there), after XCLIENT attributes
    when xclient names them.  Returns (code, text) of the reply to the end
    of data; a refused XCLIENT, MAIL or RCPT fails the test."""
    with smtplib.SMTP(host, port, timeout=timeout) as smtp:
        if xclient:
            code, text = smtp.docmd("XCLIENT", xclient)
            if code != 220:
                raise AssertionError("XCLIENT %s: %d %s" % (xclient, code, text.decode(errors="replace")))
        smtp.ehlo(helo)
        for verb, argument in (("MAIL", "FROM:" + mail_from), ("RCPT", "TO:" + rcpt_to)):
            code, text = smtp.docmd(verb, argument)
            if code != 250:
                raise AssertionError("%s %s: %d %s" % (verb, argument, code, text.decode(errors="replace")))
        code, text = smtp.data(to_bytes(message))
        return code, text.decode(errors="replace")


class ScriptedSmtp:
    """refuse: {address: reply line} for RCPT TO; silent: "greeting" (says
    nothing at all), "data" (takes the text, never answers its end) or
    None.  self.mails: [(sender, [recipients], bytes of DATA as sent)]."""

    def __init__(self, refuse=None, silent=None):
        self.refuse = dict(refuse or {})
        self.silent = silent
        self.mails = []
        self.connections = 0
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.listener.settimeout(0.2)
        self.address = "127.0.0.1:%d" % self.listener.getsockname()[1]
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while not self.stopping.is_set():
            try:
                conn, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            self.connections += 1
            with conn:
                conn.settimeout(30 * TIMEOUT_SCALE)
                try:
                    self._session(conn)
                except OSError:
                    pass

    def _session(self, conn):
        reader = conn.makefile("rb")
        if self.silent == "greeting":
            # Holds the connection until the client closes it.
            while reader.readline():
                pass
            return
        conn.sendall(b"220 scripted ESMTP\r\n")
        sender, rcpts = None, []
        for line in reader:
            verb = line[:4].upper()
            if verb == b"EHLO":
                conn.sendall(b"250-scripted\r\n250 8BITMIME\r\n")
            elif verb == b"MAIL":
                sender, rcpts = line[10:].strip().decode(), []
                conn.sendall(b"250 2.1.0 Ok\r\n")
            elif verb == b"RCPT":
                rcpt = line[8:].strip().decode().strip("<>")
                reply = self.refuse.get(rcpt)
                if reply is None:
                    rcpts.append(rcpt)
                conn.sendall((reply or "250 2.1.5 Ok").encode() + b"\r\n")
            elif verb == b"DATA":
                conn.sendall(b"354 End data with <CR><LF>.<CR><LF>\r\n")
                data = b""
                for text in reader:
                    if text == b".\r\n":
                        break
                    data += text
                if self.silent == "data":
                    while reader.readline():
                        pass
                    return
                self.mails.append((sender, rcpts, data))
                conn.sendall(b"250 2.0.0 Ok: queued\r\n")
            elif verb == b"QUIT":
                conn.sendall(b"221 2.0.0 Bye\r\n")
                return
            else:
                conn.sendall(b"250 Ok\r\n")

    def stop(self):
        self.stopping.set()
        self.listener.close()
        self.thread.join(timeout=5)
