"""What the deployment tests share beyond the harness (sim/harness): the
sample settings of etc/ pointed at a scratch engine socket, the queue file
they answer, and the lines in which a settings reader reports a problem."""

import os
import re

import harness

SANITIZE = os.environ.get("TARNWICK_SANITIZE", "")
ETC_DIR = os.path.join(harness.REPO_DIR, "etc")
# What a settings reader says when something is wrong with the file.
REPORT = re.compile(r"^(\* Error in |Configuration error|\* FAILURE|\* Missing )")


def sample_settings(program, socket_path):
    """The sample settings of etc/ with the engine socket moved to a scratch
    path: everything else exactly as shipped."""
    with open(os.path.join(ETC_DIR, program + ".cfg")) as f:
        text = f.read()
    text, n = re.subn(r'(?m)^Socket = "[^"]*";', 'Socket = "%s";' % socket_path, text)
    assert n == 1, "the sample has no single Socket line"
    return text


def queue_file(body):
    """A queue file with an envelope, as the mail server writes it."""
    return harness.queue_file(harness.mail_text("Test", body), sender="alice@example.org",
                              source="mx.example.org [192.0.2.10]", recipients=["bob@example.net"])


def reports(session):
    """The settings readers' problem reports among a program's output."""
    return [line for line in session.lines() if REPORT.match(line)]


def project_version():
    """The release as project(VERSION) in the top CMakeLists.txt names it."""
    with open(os.path.join(harness.REPO_DIR, "CMakeLists.txt")) as f:
        return re.search(r"project\(\w+ VERSION (\S+)", f.read()).group(1)
