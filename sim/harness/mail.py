"""Queue files as the server writes them (envelope lines, a blank line,
the message) and the messages the tests put into them: the standard test
strings of the anti-virus and anti-spam engines, MIME attachments, nested
and encrypted zip archives, padded large messages.  Nothing here is a
virus or a spam by itself: each test string is kept in two halves."""

import base64
import io
import struct
import zipfile
import zlib

from .base import to_bytes


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


def mail_text(subject, body, sender="alice@example.org", to="bob@example.net", extra=(), crlf=False):
    """A message of a few fields and a body, as text; line ends LF, or
    CR LF with crlf=True (as an SMTP client sends it)."""
    end = "\r\n" if crlf else "\n"
    headers = ["From: <%s>" % sender, "To: <%s>" % to, "Subject: %s" % subject]
    headers.extend(extra)
    return end.join(headers) + end + end + body + end


def gtube():
    """The standard spam test string, kept in halves in this source so that
    the file itself is not rated as spam."""
    return "XJS*C4JDBQADN1.NSBN3*2IDNEN*GTUBE-STANDARD" + "-ANTI-UBE-TEST-EMAIL*C.34X"


def mime_message(attachment, name="t.com", subject="files", body="See the attachment.\r\n",
                 sender="alice@example.org", to="bob@example.org", crlf=True):
    """A multipart message, as bytes: a text part (body, bytes or text,
    with its own line ends) and `attachment` (bytes or text) as a
    base64-encoded file called name.  Line ends are CR LF, or LF with
    crlf=False (as mail_text writes them)."""
    end = b"\r\n" if crlf else b"\n"
    name = to_bytes(name)
    head = [b"From: " + to_bytes(sender), b"To: " + to_bytes(to), b"Subject: " + to_bytes(subject),
            b"MIME-Version: 1.0", b'Content-Type: multipart/mixed; boundary="b0"', b""]
    part = [b"--b0", b'Content-Type: application/octet-stream; name="' + name + b'"',
            b"Content-Transfer-Encoding: base64", b'Content-Disposition: attachment; filename="' + name + b'"', b""]
    return (b"".join(line + end for line in head) + b"--b0" + end + b"Content-Type: text/plain" + end + end
            + to_bytes(body) + b"".join(line + end for line in part)
            + base64.encodebytes(to_bytes(attachment)).replace(b"\n", end) + b"--b0--" + end)


def plain_message(body, subject="note"):
    """A message of a few fields and `body` (bytes, its own line ends)."""
    return (b"From: alice@example.org\r\nTo: bob@example.org\r\nSubject: " + subject.encode()
            + b"\r\n\r\n" + body)


def padded_message(size, payload=None):
    """A plain message of at least size bytes whose body ends in payload
    (bytes; the anti-virus test string unless given)."""
    payload = eicar().encode() if payload is None else payload
    line = b"padding line of an overly long message, nothing to see here..........\r\n"
    head = plain_message(b"", subject="large")
    count = max(0, (size - len(head) - len(payload)) // len(line) + 1)
    return head + line * count + payload + b"\r\n"


def zip_of(name, data):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr(name, data)
    return out.getvalue()


def nested_zip(data, depth):
    """data inside depth zip archives, each holding the next."""
    for level in range(depth):
        data = zip_of("level%d.%s" % (depth - level, "zip" if level else "com"), data)
    return data


def _crc_step(crc, byte):
    # The raw CRC-32 table step of the PKWARE cipher: zlib's crc32 without
    # its pre- and post-inversion.
    return ~zlib.crc32(bytes([byte]), ~crc & 0xFFFFFFFF) & 0xFFFFFFFF


def _zipcrypto(password, plain):
    keys = [0x12345678, 0x23456789, 0x34567890]

    def update(byte):
        keys[0] = _crc_step(keys[0], byte)
        keys[1] = ((keys[1] + (keys[0] & 0xFF)) * 134775813 + 1) & 0xFFFFFFFF
        keys[2] = _crc_step(keys[2], keys[1] >> 24)

    for byte in password:
        update(byte)
    out = bytearray()
    for byte in plain:
        t = (keys[2] | 2) & 0xFFFF
        out.append(byte ^ (((t * (t ^ 1)) >> 8) & 0xFF))
        update(byte)
    return bytes(out)


def encrypted_zip(name, data, password=b"secret"):
    """A zip holding data stored under the traditional PKWARE encryption,
    as `zip -P` writes it."""
    crc = zlib.crc32(data) & 0xFFFFFFFF
    # Twelve header bytes, the last one the high byte of the CRC.
    body = _zipcrypto(password, b"\x5a" * 11 + bytes([crc >> 24]) + data)
    fname = name.encode()
    local = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 1, 0, 0, 0, crc, len(body), len(data),
                        len(fname), 0) + fname + body
    central = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 1, 0, 0, 0, crc, len(body),
                          len(data), len(fname), 0, 0, 0, 0, 0, 0) + fname
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 1, 1, len(central), len(local), 0)
    return local + central + end
