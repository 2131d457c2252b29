"""The notify protocol without systemd, while the broker's name waits on a resolver that never answers or
NetworkManager on a call it never answers."""

import os
import random
import signal
import socket
import statistics
import threading
import time

import pytest

from helpers import MqttRecorder, ask, log_times, seeing, wait_for_log_count

WATCHDOG, HOST = 1.0, "broker.corvex.test"  # the period asked for, in seconds; the service pings at half of it


def test_ready_and_watchdog_while_the_lookup_hangs_none_while_stopped(corvex_factory, tmp_path, monkeypatch):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as dns, \
            socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as manager:
        dns.bind((f"127.77.{random.randrange(256)}.{random.randrange(1, 255)}", 53))
        (tmp_path / "resolv.conf").write_text(f"nameserver {dns.getsockname()[0]}\noptions timeout:30 attempts:1\n")
        seeing(tmp_path / "resolv.conf", "/etc/resolv.conf", monkeypatch)
        manager.bind(str(tmp_path / "notify"))
        monkeypatch.setenv("NOTIFY_SOCKET", str(tmp_path / "notify"))
        monkeypatch.setenv("WATCHDOG_USEC", str(int(WATCHDOG * 1e6)))
        service = corvex_factory({"Mqtt": {"url": HOST}})
        manager.settimeout(10)
        dns.settimeout(10)
        assert manager.recv(64) == b"READY=1" and dns.recvfrom(512)  # the lookup has asked and waits
        manager.settimeout(WATCHDOG)  # while the loop turns, a ping every half period
        pings = []
        while not log_times(service, f"Lookup of {HOST} abandoned."):
            assert manager.recv(64) == b"WATCHDOG=1"
            pings.append(time.monotonic())
        # A loaded machine may delay a ping, never by a whole period (the timeout above): the typical one is on time.
        assert statistics.median(b - a for a, b in zip(pings, pings[1:])) == pytest.approx(WATCHDOG / 2, abs=0.1)
        (connecting, *_), (abandoned,) = log_times(service, f"Connecting to {HOST}"), log_times(service, "abandoned")
        assert 9.4 <= abandoned - connecting < 12  # the 10 s answer timer, which may fire 5 % early
        os.kill(service.proc.pid, signal.SIGSTOP)
        manager.settimeout(1.5 * WATCHDOG)
        with pytest.raises(socket.timeout):
            for _ in range(3):  # a ping sent just before the stop may be queued; then nothing
                manager.recv(64)
        os.kill(service.proc.pid, signal.SIGCONT)
        assert manager.recv(64) == b"WATCHDOG=1"
        service.proc.send_signal(signal.SIGTERM)  # the stalled lookup must not hold the stop
        service.proc.wait(2)


def receive(manager: socket.socket, into: list) -> None:
    """What the service tells the manager, with the time it arrived, until the socket is closed."""
    try:
        while True:
            into.append((manager.recv(64), time.monotonic()))
    except OSError:
        pass


def test_a_call_that_never_answers_ends_the_reload_not_the_service(corvex_factory, testbed, tmp_path, monkeypatch):
    nm, watchdog = testbed.nm, 16.0
    for n in range(2):  # two ports to provision: the first one's profile is never created
        nm.add_ethernet(f"eth{n}", f"02:00:00:00:00:0{n + 1}")
    nm.hang("AddAndActivateConnection")
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as manager:
        manager.bind(str(tmp_path / "notify"))
        monkeypatch.setenv("NOTIFY_SOCKET", str(tmp_path / "notify"))
        monkeypatch.setenv("WATCHDOG_USEC", str(int(watchdog * 1e6)))
        pings = []
        threading.Thread(target=receive, args=(manager, pings), daemon=True).start()
        service = corvex_factory({"Ethernet": {"interface": "eth0"}, "Ethernet-2": {"interface": "eth1"}})
        recorder = MqttRecorder(testbed.broker.port)
        try:
            service.wait_for_log("[Ethernet] Connection 'Ethernet' does not exist.")  # its creation hangs now
            hung, since = time.monotonic(), recorder.count()
            recorder.publish("status/get", {})
            recorder.wait_for("status", since=since, timeout=30)
            assert time.monotonic() - hung < 6
            service.wait_for_log("reloading again in 30 s.")
        finally:
            nm.hang("AddAndActivateConnection", hanging=False)  # answered now, long after the service gave up
            recorder.close()
        calls = [c[2] for c in nm.calls() if c[2] in ("AddAndActivateConnection", "ActivateConnection")]
        wait_for_log_count(service, "[Ethernet] State changed: Connected (dev=eth1", 1, 40)
        # The binding's own blocking calls are bounded alike: here its first read of a profile it has not seen.
        nm.add_connection({"connection": {"id": "spare", "type": "802-3-ethernet", "interface-name": "eth1"}})
        nm.hang("GetSettings")
        recorder = MqttRecorder(testbed.broker.port)
        try:
            asked = time.monotonic()
            recorder.publish("ethernet/config/set", {"interface": "eth1", "method": "auto"})  # looks up profiles
            ask(recorder, "probe/get", {}, "error", timeout=30)  # answered by the service without the bus
            unheard = time.monotonic() - asked
        finally:
            nm.hang("GetSettings", hanging=False)
            recorder.close()
        gaps = [b - a for (_, a), (_, b) in zip(pings, pings[1:])]
        assert (calls, pings[0][0], max(gaps) < watchdog, unheard < 6) == \
            (["AddAndActivateConnection"], b"READY=1", True, True)
