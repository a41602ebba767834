"""Runs the test modules named on the command line, as ctest does for every
Python test:

    python3 -m harness.run test_reload [more modules]

A skipped case is never reported as passed.  The exit status is 0 when
every case ran and passed, 1 on a failure or error, and SKIP_CODE (which
ctest reports as "Skipped") as soon as one case was skipped: a module in
which one case of many did not run shows up as well.  Where CI is set (the
continuous integration machine runs as root with every package the
Makefile's DEPS names), a skip fails the run unless the case or its class
carries the ci_may_skip mark: a case that can only run in some builds or
on some kernels says so where it is written.  CI counts as set when it
is neither empty nor 0 nor false.
"""

import os
import sys
import unittest

from .base import SKIP_CODE, ci_may_skip_marked


def ci_is_set(value):
    """CI=true or CI=1 marks the CI machine; unset, empty, 0 and false do
    not (CI=0 is how one says "not CI")."""
    return (value or "").strip().lower() not in ("", "0", "false")


def main(names):
    suite = unittest.defaultTestLoader.loadTestsFromNames(names)
    result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)
    if not result.wasSuccessful():
        return 1
    if not result.skipped:
        return 0
    in_ci = ci_is_set(os.environ.get("CI"))
    unmarked = 0
    for test, why in result.skipped:
        fails = in_ci and not ci_may_skip_marked(test)
        unmarked += fails
        print("%s: %s: %s" % ("SKIPPED WITHOUT ci_may_skip WHERE CI IS SET" if fails else "skipped", test, why))
    return 1 if unmarked else SKIP_CODE


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
