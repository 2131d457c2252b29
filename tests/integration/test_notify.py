"""The service manager's notify protocol without systemd: NOTIFY_SOCKET names a datagram socket of ours."""

from __future__ import annotations

import os
import signal
import socket
import time

import pytest

WATCHDOG = 1.0  # the period asked for, in seconds; the service pings at half of it


def test_ready_then_watchdog_pings_at_half_the_period_and_none_while_the_loop_stands(
        corvex_factory, tmp_path, monkeypatch):
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as manager:
        manager.bind(str(tmp_path / "notify"))
        manager.settimeout(10)
        monkeypatch.setenv("NOTIFY_SOCKET", str(tmp_path / "notify"))
        monkeypatch.setenv("WATCHDOG_USEC", str(int(WATCHDOG * 1e6)))
        pid = corvex_factory().proc.pid
        assert manager.recv(64) == b"READY=1"
        pings = []
        for _ in range(5):
            assert manager.recv(64) == b"WATCHDOG=1"
            pings.append(time.monotonic())
        # The first gap may hold the start's blocking bus calls.
        assert [b - a for a, b in zip(pings[1:], pings[2:])] == pytest.approx([WATCHDOG / 2] * 3, abs=0.15)
        os.kill(pid, signal.SIGSTOP)
        manager.setblocking(False)
        while True:  # a ping sent just before the stop may wait in the queue
            try:
                manager.recv(64)
            except BlockingIOError:
                break
        manager.settimeout(3 * WATCHDOG / 2)
        with pytest.raises(socket.timeout):
            manager.recv(64)
        os.kill(pid, signal.SIGCONT)
        manager.settimeout(10)
        assert manager.recv(64) == b"WATCHDOG=1"
