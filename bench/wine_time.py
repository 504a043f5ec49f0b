#!/usr/bin/env python3
"""Times one update of kestrel.exe under Wine with the simulated FTD2XX.dll on the real
clock: from the moment its main window is seen to the moment the question "Update another
device?" is seen. Both are found by polling the window list, so each carries the polling
period as its uncertainty. Prints one line: wall_s=<s> period_s=<s>, or error=<why>.

Usage: wine_time.py <win32 build folder>
"""
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "win32"))

import wine_ui_test  # noqa: E402  (the Wine session of the tests: display, prefix, probe)

QUESTION_CAPTION = "Update done o.k."
UPDATE_LIMIT_S = 120


def main():
    if len(sys.argv) != 2:
        print("error=usage: wine_time.py <win32 build folder>")
        return 2
    session = wine_ui_test.Session(os.path.abspath(sys.argv[1]), "bench", "beside", "healthy")
    try:
        session.start()
        started = time.monotonic()
        polls = 0
        while time.monotonic() - started < UPDATE_LIMIT_S:
            polls += 1
            if session.dialog(QUESTION_CAPTION) is not None:
                wall = time.monotonic() - started
                print("wall_s=%.3f period_s=%.3f" % (wall, wall / polls))
                return 0
        print("error=no question box within %d s" % UPDATE_LIMIT_S)
        return 1
    except Exception as failure:  # a session that cannot start is reported, not raised
        print("error=%s" % str(failure).replace("\n", " "))
        return 1
    finally:
        session.stop()


if __name__ == "__main__":
    sys.exit(main())
