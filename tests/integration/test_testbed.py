"""The test bed starts and stops within seconds and leaves no process or folder behind."""

import os
import subprocess
import time

from testbed import Testbed


def test_start_and_stop_leave_nothing_behind():
    def running(paths) -> list:  # our children keep their files in these folders
        return [p for p in paths if subprocess.run(["pgrep", "-f", p], stdout=subprocess.DEVNULL).returncode == 0]
    started = time.monotonic()
    tb = Testbed().start()
    tb.load_demo_scenario()
    paths = [tb.dir, tb.bus.dir, tb.broker.dir]
    assert running(paths)
    tb.stop()
    assert (running(paths), [p for p in paths if os.path.exists(p)], time.monotonic() - started < 5) == ([], [], True)
