"""Queue files as the server writes them (envelope lines, a blank line,
the message) and the messages the tests put into them, the standard test
strings of the anti-virus and anti-spam engines among them."""

import base64

from .base import to_bytes, to_text


def eicar():
    """The standard anti-virus test string, kept in halves in this source."""
    return "X5O!P%@AP[4\\PZX54(P^)7CC)7}$" + "EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"


def queue_file(message, sender=None, source=None, recipients=(), envelope=True, crlf=False):
    """Bytes of a queue file: envelope lines ("P <sender>", "S <source>",
    "R <rcpt>" ...), a blank line, then the message.  Without envelope the
    file is the message alone."""
    message = to_bytes(message)
    if not envelope:
        return message
    end = b"\r\n" if crlf else b"\n"
    lines = []
    if sender is not None:
        lines.append(b"P <" + to_bytes(sender) + b">")
    if source is not None:
        lines.append(b"S " + to_bytes(source))
    for rcpt in recipients:
        lines.append(b"R <" + to_bytes(rcpt) + b">")
    return b"".join(line + end for line in lines) + end + message


def mail_text(subject, body, sender="alice@example.org", to="bob@example.net", extra=()):
    headers = ["From: <%s>" % sender, "To: <%s>" % to, "Subject: %s" % subject]
    headers.extend(extra)
    return "\n".join(headers) + "\n\n" + body + "\n"


def gtube():
    """The standard spam test string, kept in halves in this source so that
    the file itself is not rated as spam."""
    return "XJS*C4JDBQADN1.NSBN3*2IDNEN*GTUBE-STANDARD" + "-ANTI-UBE-TEST-EMAIL*C.34X"


def mime_mail(subject, text, attachment, filename="attachment.bin", sender="alice@example.org",
              to="bob@example.net", extra=()):
    """A multipart message: a text part and `attachment` (bytes or text) as
    a base64-encoded file.  Line ends are LF, as in mail_text."""
    encoded = to_text(base64.encodebytes(to_bytes(attachment)))
    headers = ["From: <%s>" % sender, "To: <%s>" % to, "Subject: %s" % subject, "MIME-Version: 1.0",
               'Content-Type: multipart/mixed; boundary="tw-part"']
    headers.extend(extra)
    return ("\n".join(headers) + "\n\n"
            "--tw-part\nContent-Type: text/plain\n\n" + text + "\n"
            "--tw-part\nContent-Type: application/octet-stream; name=\"%s\"\n"
            "Content-Transfer-Encoding: base64\n"
            "Content-Disposition: attachment; filename=\"%s\"\n\n" % (filename, filename)
            + encoded + "--tw-part--\n")

