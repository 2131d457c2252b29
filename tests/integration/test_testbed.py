"""The test bed itself: clean start and stop, and the demo command. What the simulators offer is read
through the real bindings by the probe, and the broker variants serve the connection tests."""

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

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


def _processes_mentioning(paths) -> list:
    """Pids of processes whose command line names one of the paths (our children put their files there)."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                cmdline = f.read().decode(errors="replace")
        except OSError:
            continue
        if any(p in cmdline for p in paths):
            found.append(int(pid))
    return found


def test_start_and_stop_leave_nothing_behind():
    started = time.monotonic()
    tb = Testbed().start()
    tb.load_demo_scenario()
    paths = [tb.dir, tb.bus.dir, tb.broker.dir]
    assert _processes_mentioning(paths)
    tb.stop()
    assert time.monotonic() - started < 5
    assert _processes_mentioning(paths) == []
    assert not any(os.path.exists(p) for p in paths)


def test_demo_command_runs_until_terminated():
    proc = subprocess.Popen([sys.executable, "-m", "testbed", "demo"], cwd=REPO, stdout=subprocess.PIPE, text=True,
                            env=dict(os.environ, PYTHONPATH=REPO))
    try:
        line = proc.stdout.readline()
        match = re.fullmatch(r"TESTBED bus=(\S+) port=(\d+)\n", line)
        assert match, line
        bus = dbus.bus.BusConnection(match[1])
        names = bus.list_names()
        bus.close()
        assert "org.freedesktop.NetworkManager" in names and "org.freedesktop.ModemManager1" in names
        MqttRecorder(int(match[2])).close()
        socket_dir = os.path.dirname(match[1].split("=", 1)[1].split(",")[0])
    finally:
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(10) == 0
    assert not os.path.exists(socket_dir)
    assert _processes_mentioning([socket_dir]) == []
