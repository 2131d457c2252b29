"""The service manager's notify protocol without systemd (NOTIFY_SOCKET names a datagram socket of ours),
also while the broker's name waits on a resolver that never answers."""

from __future__ import annotations

import os
import random
import signal
import socket
import time

import pytest

from helpers import log_times, wait_for_log_count

WATCHDOG = 1.0  # the period asked for, in seconds; the service pings at half of it
HOST = "broker.corvex.test"


@pytest.fixture
def manager(tmp_path, monkeypatch):
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as sock:
        sock.bind(str(tmp_path / "notify"))
        sock.settimeout(10)
        monkeypatch.setenv("NOTIFY_SOCKET", str(tmp_path / "notify"))
        monkeypatch.setenv("WATCHDOG_USEC", str(int(WATCHDOG * 1e6)))
        yield sock


def test_ready_then_pings_at_half_the_period_and_none_while_stopped(corvex_factory, manager):
    pid = corvex_factory().proc.pid
    assert manager.recv(64) == b"READY=1"
    pings = [manager.recv(64) == b"WATCHDOG=1" and time.monotonic() for _ in range(5)]
    # The first gap may hold the start's blocking bus calls.
    assert [b - a for a, b in zip(pings[1:], pings[2:])] == pytest.approx([WATCHDOG / 2] * 3, abs=0.15)
    os.kill(pid, signal.SIGSTOP)
    manager.settimeout(1.5 * WATCHDOG)
    with pytest.raises(socket.timeout):
        for _ in range(3):  # a ping sent just before the stop may be queued; then nothing
            manager.recv(64)
    os.kill(pid, signal.SIGCONT)
    assert manager.recv(64) == b"WATCHDOG=1"


def test_silent_resolver_holds_neither_the_loop_nor_the_stop(corvex_factory, manager, tmp_path, monkeypatch):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as dns:
        dns.bind((f"127.77.{random.randrange(256)}.{random.randrange(1, 255)}", 53))
        (tmp_path / "resolv.conf").write_text(f"nameserver {dns.getsockname()[0]}\noptions timeout:30 attempts:1\n")
        wrapper = tmp_path / "corvex"  # the service in a mount namespace that sees our resolv.conf
        wrapper.write_text(f"#!/bin/sh\nexec unshare -m sh -c 'mount --bind {tmp_path}/resolv.conf /etc/resolv.conf"
                           f" && exec \"$0\" \"$@\"' {os.environ['CORVEX_BIN']} \"$@\"\n")
        wrapper.chmod(0o755)
        monkeypatch.setenv("CORVEX_BIN", str(wrapper))
        service = corvex_factory({"Mqtt": {"url": HOST}})
        assert manager.recv(64) == b"READY=1"
        dns.settimeout(10)
        dns.recvfrom(512)  # the lookup has asked and waits
        manager.settimeout(WATCHDOG)  # pings keep coming every half period while the loop turns
        while not log_times(service, f"Lookup of {HOST} abandoned."):
            assert manager.recv(64) == b"WATCHDOG=1"
        (connecting, *_), (abandoned,) = log_times(service, f"Connecting to {HOST}"), log_times(service, "abandoned")
        assert abandoned - connecting == pytest.approx(10, abs=0.5)
        wait_for_log_count(service, f"Connecting to {HOST}", 2, 5)  # the next attempt waits on the resolver again
        service.proc.send_signal(signal.SIGTERM)
        service.proc.wait(2)
