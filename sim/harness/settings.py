"""The settings language as the programs read it, written from Python
values, and the settings both programs run with in the tests and the
demonstration."""

from .base import to_bytes


def cfg_quote(text):
    """A quoted string of the settings language holding `text` exactly.

    Backslash-e pairs are kept as they are (the language keeps them too);
    every other backslash and double quote gets a backslash."""
    out = ['"']
    i = 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text) and text[i + 1] == "e":
            out.append("\\e")
            i += 2
            continue
        if c in '\\"':
            out.append("\\" + c)
        elif c == "\n":
            out.append("\\\n")
        else:
            out.append(c)
        i += 1
    out.append('"')
    return "".join(out)


def cfg_format(value, indent=0):
    """Settings text for a dict (the top level) or a value inside one.

    dict -> dictionary, list/tuple -> array, anything else -> quoted string.
    A value given as RawValue is written as it stands."""
    pad = "    " * indent
    if isinstance(value, RawValue):
        return value.text
    if isinstance(value, dict):
        body = "".join("%s    %s = %s;\n" % (pad, key, cfg_format(item, indent + 1))
                       for key, item in value.items())
        return "{\n" + body + pad + "}"
    if isinstance(value, (list, tuple)):
        return "(" + ", ".join(cfg_format(item, indent + 1) for item in value) + ")"
    return cfg_quote(str(value))


def cfg_file(settings):
    """A whole settings file: the top-level entries without braces."""
    if isinstance(settings, (str, bytes)):
        return to_bytes(settings)
    lines = ["%s = %s;\n" % (key, cfg_format(value)) for key, value in settings.items()]
    return to_bytes("".join(lines))


class RawValue:
    """A value written into the settings file verbatim (for broken files)."""

    def __init__(self, text):
        self.text = text


def merge(base, overrides):
    """Copy of base with overrides applied; a value of None removes a key,
    and dictionaries merge key by key."""
    out = dict(base)
    for key, value in (overrides or {}).items():
        if value is None:
            out.pop(key, None)
        elif isinstance(value, dict) and isinstance(out.get(key), dict):
            out[key] = merge(out[key], value)
        else:
            out[key] = value
    return out


def events_reports():
    return {
        "From": "tarnwick@example.com",
        "To": "postmaster@example.com",
        "Started": {"Enabled": "Yes", "Subject": "Started ^1"},
        "Stopped": {"Enabled": "Yes", "Subject": "Stopped ^1"},
    }


def av_settings(socket_path, mode="Reject", overrides=None):
    settings = {
        "Socket": socket_path,
        "Mode": mode,
        "SubmittedDirectory": "Submitted",
        "PostProcess": "",
        "RejectOptions": {"NotifyRecipients": "Yes"},
        "DiscardOptions": {"NotifyRecipients": "No"},
        "AddHeaderOptions": {"Header": "X-Virus: ^1"},
        "NotificationMessage": {
            "Caption": "Virus found: ",
            "Summary": "^1 virus(es) found\\e",
            "Footer": "Message rejected",
        },
        "NotifyRecipientsOptions": {
            "From": "postmaster@example.com",
            "Subject": "Virus alert",
            "ExtraHeaders": "X-Tarnwick: notice",
            "HeaderTitle": "Original headers:",
            "SenderInfo": "Sender: ^1",
            "Description": ["A message to you carried a virus."],
        },
        "DailyReport": {
            "Enabled": "Yes",
            "From": "tarnwick@example.com",
            "To": "postmaster@example.com",
            "Subject": "Daily report ^1",
        },
        "EventsReports": events_reports(),
    }
    return merge(settings, overrides)


def as_settings(socket_path, overrides=None):
    settings = {
        "Socket": socket_path,
        "Header": "X-Junk-Score: ^1 [^2]\\eX-Quillon-Score: ^1 [^2]",
        "AlertLevel": "100",
        "AlertHeader": "X-Alert: possible spam!\\eX-Color: red",
        "OnProblem": "Ignore",
        "BarScoreRanges": ["0", "39", "76", "84", "90", "99", "100"],
        "SubmittedDirectory": "Submitted",
        "DailyReport": {
            "Enabled": "Yes",
            "From": "tarnwick@example.com",
            "To": "postmaster@example.com",
            "Subject": "Daily spam report ^1",
        },
        "EventsReports": events_reports(),
    }
    return merge(settings, overrides)


def default_settings(program, socket_path, mode="Reject", overrides=None):
    if program == "Tarnwick-AS":
        return as_settings(socket_path, overrides)
    return av_settings(socket_path, mode, overrides)


def quiet_settings(program, notify=False, events=False):
    """Overrides that keep a run's submission directory to what a test
    looks at: the start and stop reports off and, for the anti-virus
    program, no notifications, unless asked for."""
    onoff = {True: "Yes", False: "No"}
    overrides = {"EventsReports": {"Started": {"Enabled": onoff[events]}, "Stopped": {"Enabled": onoff[events]}}}
    if program == "Tarnwick-AV":
        overrides.update({"RejectOptions": {"NotifyRecipients": onoff[notify]},
                          "DiscardOptions": {"NotifyRecipients": onoff[notify]}})
    return overrides
