"""A broker name whose resolver never answers: the service's event loop keeps turning."""

from __future__ import annotations

import os
import random
import signal
import socket

import pytest

from helpers import log_times, wait_for_log_count

WATCHDOG = 1.0
HOST = "broker.corvex.test"


def test_silent_resolver_holds_neither_the_loop_nor_the_stop(corvex_factory, tmp_path, monkeypatch):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as dns, \
            socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as manager:
        dns.bind((f"127.77.{random.randrange(256)}.{random.randrange(1, 255)}", 53))
        dns.settimeout(10)
        (tmp_path / "resolv.conf").write_text(f"nameserver {dns.getsockname()[0]}\noptions timeout:30 attempts:1\n")
        # The service sees that resolv.conf in a mount namespace of its own.
        wrapper = tmp_path / "corvex"
        wrapper.write_text(f'#!/bin/sh\nexec unshare -m sh -c \'mount --bind {tmp_path}/resolv.conf /etc/resolv.conf'
                           f' && exec "$0" "$@"\' {os.environ["CORVEX_BIN"]} "$@"\n')
        wrapper.chmod(0o755)
        manager.bind(str(tmp_path / "notify"))
        manager.settimeout(10)
        for name, value in [("CORVEX_BIN", str(wrapper)), ("NOTIFY_SOCKET", str(tmp_path / "notify")),
                            ("WATCHDOG_USEC", str(int(WATCHDOG * 1e6)))]:
            monkeypatch.setenv(name, value)
        service = corvex_factory({"Mqtt": {"url": HOST}})
        assert manager.recv(64) == b"READY=1"
        dns.recvfrom(512)  # the lookup has asked and waits

        manager.settimeout(WATCHDOG)  # pings come every half period while the loop turns
        while not log_times(service, f"Lookup of {HOST} abandoned."):
            assert manager.recv(64) == b"WATCHDOG=1"
        (connecting, *_), (abandoned,) = log_times(service, f"Connecting to {HOST}"), log_times(service, "abandoned")
        assert abandoned - connecting == pytest.approx(10, abs=0.5)

        wait_for_log_count(service, f"Connecting to {HOST}", 2, 5)  # the next attempt waits on the resolver again
        service.proc.send_signal(signal.SIGTERM)
        service.proc.wait(2)
