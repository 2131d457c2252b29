"""The test bed itself: a clean start and stop, and the demo command."""

from __future__ import annotations

import os
import re
import signal
import subprocess
import sys
import time

import dbus

from helpers import MqttRecorder
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


def test_demo_command_runs_until_terminated():
    repo = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
    proc = subprocess.Popen([sys.executable, "-m", "testbed", "demo"], cwd=repo, stdout=subprocess.PIPE, text=True,
                            env=dict(os.environ, PYTHONPATH=repo))
    try:
        line = proc.stdout.readline()
        match = re.fullmatch(r"TESTBED bus=(\S+) port=(\d+)\n", line)
        assert match, line
        bus = dbus.bus.BusConnection(match[1])
        assert {"org.freedesktop.NetworkManager", "org.freedesktop.ModemManager1"} <= set(bus.list_names())
        bus.close()
        MqttRecorder(int(match[2])).close()
        socket_dir = os.path.dirname(match[1].split("=", 1)[1].split(",")[0])
    finally:
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(10) == 0
    assert (os.path.exists(socket_dir), processes_mentioning([socket_dir])) == (False, [])
