"""The filter's wall clock under libfaketime, and the date text the
programs write."""

import calendar
import glob
import os
import time

FAKETIME_LIBRARIES = ("/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1",
                      "/usr/lib/*/faketime/libfaketimeMT.so.1", "/usr/lib/faketime/libfaketimeMT.so.1",
                      "/usr/local/lib/faketime/libfaketimeMT.so.1")


def faketime_library():
    """Path of libfaketime (the variant for threaded programs), or None."""
    for pattern in FAKETIME_LIBRARIES:
        for path in sorted(glob.glob(pattern)):
            if os.path.exists(path):
                return path
    return None


def utc_epoch(year, month, day, hour=0, minute=0, second=0):
    return calendar.timegm((year, month, day, hour, minute, second, 0, 0, 0))


def date_text(epoch):
    """The programs' date text of a time in UTC (the fake clock's zone):
    weekday, day without leading zero, month, year, time of day."""
    t = time.gmtime(epoch)
    return "%s, %d %s %d %02d:%02d:%02d" % (("Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun")[t.tm_wday],
                                            t.tm_mday, ("Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug",
                                                        "Sep", "Oct", "Nov", "Dec")[t.tm_mon - 1],
                                            t.tm_year, t.tm_hour, t.tm_min, t.tm_sec)


class FakeClock:
    """The filter's wall clock, stopped at a time the test sets.

    libfaketime reads the time from a file at every clock call; the clock
    stands still between settings, so every date text, period and scan time
    the filter computes is known to the test.  Only the wall clock is faked
    (the monotonic clock and sleeps stay real), and the zone is UTC."""

    def __init__(self, path, epoch):
        self.path = path
        self.now = None
        self.set(epoch)

    @staticmethod
    def available():
        return faketime_library() is not None

    def set(self, epoch):
        self.now = int(epoch)
        text = time.strftime("%Y-%m-%d %H:%M:%S\n", time.gmtime(self.now))
        # Replaced whole: the filter may read the file at any moment.
        tmp = self.path + ".new"
        with open(tmp, "w") as f:
            f.write(text)
        os.rename(tmp, self.path)
        return self.now

    def advance(self, seconds):
        return self.set(self.now + seconds)

    def env(self):
        library = faketime_library()
        if library is None:
            raise RuntimeError("libfaketime is not installed")
        env = {"LD_PRELOAD": library, "FAKETIME_TIMESTAMP_FILE": self.path, "FAKETIME_NO_CACHE": "1",
               "DONT_FAKE_MONOTONIC": "1", "TZ": "UTC"}
        # AddressSanitizer wants to come first in the library list.
        asan = os.environ.get("ASAN_OPTIONS", "")
        env["ASAN_OPTIONS"] = (asan + ":" if asan else "") + "verify_asan_link_order=0"
        return env
