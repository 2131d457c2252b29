"""The test bed itself: it starts and stops within seconds and leaves no process or folder behind. (The
probe runs through `python3 -m testbed run`, which serves the demo too.)"""

from __future__ import annotations

import os
import time

from testbed import Testbed


def processes_mentioning(paths) -> list:
    """Pids of processes whose command line names one of the paths (our children put their files there)."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if any(p in f.read().decode(errors="replace") for p in paths):
                    found.append(int(pid))
        except OSError:
            continue
    return found


def test_start_and_stop_leave_nothing_behind():
    started = time.monotonic()
    tb = Testbed().start()
    tb.load_demo_scenario()
    paths = [tb.dir, tb.bus.dir, tb.broker.dir]
    assert processes_mentioning(paths)
    tb.stop()
    assert time.monotonic() - started < 5
    assert (processes_mentioning(paths), [p for p in paths if os.path.exists(p)]) == ([], [])
