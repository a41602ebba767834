#!/usr/bin/python3
"""make check-fresh: the README's two commands, `make demo` and `make test`,
on a fresh Debian 12 root, each one timed.  Root only; not part of make test.

The root is made as make check-deploy makes its own (debootstrap from the
mirror this machine's apt uses) and given only what a new developer machine
brings: the compiler, cmake, make, git, GoogleTest and Python; nothing the
project's commands install themselves, and no man-db.  The tree goes in as a
release tarball holds it: `git archive` of what git lists, unpacked with
the archive's modes (no build directories, nothing untracked), and the two
commands run there as root, as a new user would run them, installing from
the same mirror; the services the tests need they start themselves.

Everything runs in a mount namespace of its own: /proc, /sys, /dev,
/dev/shm, /tmp and /run are mounted only there, so they go with it whatever
happens, and the root is removed from outside it, where nothing is mounted
in it (unless --keep)."""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

import check_deploy as deploy

# What a new machine of the developers' kind has of what the commands need.
NEW_MACHINE = ("g++", "cmake", "make", "git", "libgtest-dev", "libgmock-dev", "python3")
# What such a machine may lack, and the suite must therefore not count on.
ABSENT = ("man-db",)
TREE = "/root/tarnwick"
COMMANDS = (("make", "demo"), ("make", "test"))


def say(text):
    print("check-fresh: %s" % text, flush=True)


def copy_tree(root):
    """The tree as a release tarball holds it: `git archive` of the files
    git lists, with the work tree's uncommitted changes to them (git stash
    create commits those without touching the checkout), unpacked by root's
    tar, which keeps the archive's modes: 0664 for files, 0775 for
    programs, as a builder with umask 002 would have them too."""
    def git(*argv):
        return subprocess.run(["git", "-C", deploy.REPO, "-c", "user.name=check-fresh",
                               "-c", "user.email=check-fresh@invalid"] + list(argv),
                              check=True, capture_output=True).stdout
    commit = git("stash", "create").decode().strip() or "HEAD"
    target = root.file(TREE)
    os.makedirs(target, exist_ok=True)
    archive = subprocess.Popen(["git", "-C", deploy.REPO, "archive", "--format=tar", commit],
                               stdout=subprocess.PIPE)
    subprocess.run(["tar", "-x", "--same-permissions", "-C", target], stdin=archive.stdout, check=True)
    archive.stdout.close()
    if archive.wait() != 0:
        raise SystemExit("git archive failed")
    return len(git("ls-tree", "-r", "--name-only", "-z", commit).split(b"\0")) - 1


def prepare(root, mirror):
    deploy.make_root(root, mirror)
    root.mount("-t", "tmpfs", "-o", "mode=1777", "tmpfs", "/dev/shm")
    root.mount("-t", "tmpfs", "-o", "mode=1777", "tmpfs", "/tmp")
    root.chroot(["apt-get", "update", "-qq"])
    say("apt-get install " + " ".join(NEW_MACHINE))
    done = root.chroot(["apt-get", "install", "-y", "-qq"] + list(NEW_MACHINE),
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, check=False)
    if done.returncode != 0:
        raise SystemExit("apt-get install failed:\n" + done.stdout[-4000:])
    present = [p for p in ABSENT if root.chroot(["dpkg", "-s", p], capture_output=True,
                                                check=False).returncode == 0]
    if present:
        raise SystemExit("the fresh root has %s, which a new machine need not have"
                         % ", ".join(present))
    say("copied %d files of the tree" % copy_tree(root))


def run_commands(root):
    """Runs each command in the tree, printing its output as it comes and
    its time; returns [(command, status, seconds)]."""
    results = []
    for argv in COMMANDS:
        say("%s ..." % " ".join(argv))
        started = time.monotonic()
        status = root.chroot(["sh", "-c", 'cd "$0" && exec "$@"', TREE] + list(argv),
                             check=False, stdin=subprocess.DEVNULL).returncode
        results.append((" ".join(argv), status, time.monotonic() - started))
        say("%s: %s in %.0f s" % (results[-1][0], "passed" if status == 0 else
                                  "FAILED (%d)" % status, results[-1][2]))
    return results


def in_namespace(path):
    root = deploy.Root(path)
    try:
        prepare(root, deploy.debian_mirror())
        results = run_commands(root)
    finally:
        root.unmount_all()
    for command, status, seconds in results:
        say("%-10s %-6s %5.0f s" % (command, "passed" if status == 0 else "FAILED", seconds))
    return 0 if all(status == 0 for _, status, _ in results) else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--keep", action="store_true", help="keep the root for a look inside")
    parser.add_argument("--in-namespace", metavar="ROOT", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if os.geteuid() != 0:
        raise SystemExit("check-fresh needs root (debootstrap, chroot, mounts)")
    if args.in_namespace:
        return in_namespace(args.in_namespace)
    started = time.monotonic()
    path = tempfile.mkdtemp(prefix="tarnwick-fresh-", dir="/var/tmp")
    os.chmod(path, 0o755)  # apt fetches as _apt
    root = deploy.Root(path)
    try:
        status = subprocess.run(["unshare", "--mount", "--propagation", "private", "--fork",
                                 sys.executable, os.path.abspath(__file__),
                                 "--in-namespace", path]).returncode
    finally:
        # Whatever the tests left running in the root ends with it; the
        # mounts were only in the namespace, so removing from here never
        # reaches through them.
        root.stop_strays()
        if args.keep:
            say("root kept in %s" % path)
        else:
            shutil.rmtree(path, ignore_errors=True)
    say("%s in %.0f s" % ("passed" if status == 0 else "FAILED", time.monotonic() - started))
    return status


if __name__ == "__main__":
    sys.exit(main())
