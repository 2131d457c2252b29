"""The broker connection: credentials, subscriptions, retained clears, threads, losses and refusals."""

from __future__ import annotations

import os
import re
from typing import Iterator, Tuple

import pytest

from helpers import BASE_TOPIC, Corvex, MqttRecorder, log_times, poll, shared_service, wait_for_log_count
from testbed import broker_log
from testbed.scripted_broker import GARBAGE, SILENT, ScriptedBroker

pytestmark = pytest.mark.testbed(auth=True)

FILTERS = [f"{BASE_TOPIC}/{f}" for f in ("+/get", "+/+/get", "+/+/set", "wifi/connect", "wifi/disconnect",
                                          "wifi/forget", "wifi/enable", "wifi/disable")]
CLEARED = ["ethernet/state", "ethernet/config", "wifi/state", "wifi/config", "wifi/aps", "wifi/networks",
           "modem/state", "modem/config", "modem/signal"]
# The first reconnect waits: 3 s spread by 20 % either way; the log stamps milliseconds, a little late under load.
RECONNECT_AT_LEAST, RECONNECT_AT_MOST = 2.399, 3.7
ANSWER_TIMEOUT_AT_LEAST = 9.5  # that timer may fire up to 5 % early


@pytest.fixture(scope="module")
def running(testbed, tmp_path_factory) -> Iterator[Tuple[Corvex, MqttRecorder]]:
    with shared_service(testbed, str(tmp_path_factory.mktemp("corvex"))) as both:
        yield both


def assert_connection_starts_afresh(testbed, number: int) -> None:
    """Connection `number` as the broker saw it: options, exactly the eight filters, then nine "{ }" clears
    retained at QoS 0 before the status."""
    def seen():
        log = broker_log.read(testbed.broker.log_path)
        sessions = broker_log.sessions(log)
        published = broker_log.publications(log, sessions[number].client) if len(sessions) > number else []
        topics = [p.topic for p in published]
        return f"{BASE_TOPIC}/status" in topics and (sessions[number], published[:topics.index(f"{BASE_TOPIC}/status")])
    session, published = poll(seen, 10, lambda: f"connection {number} never published its status")
    assert [(session.user, session.keepalive, session.protocol, session.clean), session.subscriptions,
            [(p.topic, p.qos, p.retain, p.size) for p in published]] == [
        (testbed.broker.user, 60, 2, True), FILTERS, [(f"{BASE_TOPIC}/{t}", 0, True, 3) for t in CLEARED]]


def test_runs_no_thread_besides_main_and_dbus(running):
    tasks = f"/proc/{running[0].proc.pid}/task"
    names = sorted(open(os.path.join(tasks, t, "comm"), encoding="utf-8").read().strip() for t in os.listdir(tasks))
    # Qt looks up host names on a pooled worker of its own; nothing of ours runs there.
    assert [n for n in names if n != "Thread (pooled)"] == ["QDBusConnection", "corvex"]


def test_connects_afresh_and_again_three_seconds_after_each_loss(running, testbed):
    """Last: the broker goes away for longer than one reconnect delay."""
    assert_connection_starts_afresh(testbed, 0)
    service = running[0]
    testbed.broker.restart(down_seconds=4)
    wait_for_log_count(service, "[IPC] Connected.", 2, 10)
    losses, attempts = log_times(service, "[IPC] Disconnected."), log_times(service, "Connecting to 127.0.0.1")[1:]
    # The first attempt finds nothing listening, a later one the broker back; each follows a loss.
    assert "ERROR: TransportInvalid (256)." in service.log()
    events = sorted([(t, "loss") for t in losses] + [(t, "attempt") for t in attempts])
    assert [kind for _, kind in events] == ["loss", "attempt"] * len(attempts)
    assert all(attempt - loss >= RECONNECT_AT_LEAST for (loss, _), (attempt, _) in zip(events[::2], events[1::2]))
    # The restarted broker keeps nothing: the second connection does all of it again.
    assert_connection_starts_afresh(testbed, 1)


@pytest.mark.parametrize("answer, error", [
    (1, "InvalidProtocolVersion (1)"), (2, "IdRejected (2)"), (3, "ServerUnavailable (3)"),
    (4, "BadUsernameOrPassword (4)"), (5, "NotAuthorized (5)"), (GARBAGE, "ProtocolViolation (257)"),
    # A short CONNACK, an oversized remaining length, a PINGRESP before the CONNACK.
    *[(packet, "ProtocolViolation (257)") for packet in (b"\x20\x01\x00", b"\x20\xff\xff\xff\xff\x7f", b"\xd0\x00")],
])
def test_broker_refusals_are_logged_with_their_text(corvex_factory, answer, error):
    with ScriptedBroker(answer) as broker:
        service = corvex_factory({"Mqtt": {"port": broker.port}})
        wait_for_log_count(service, "[IPC] Disconnected.", 1, 5)
        assert re.findall(r"ERROR: \w+ \(\d+\)\.", service.log()) == [f"ERROR: {error}."]


def test_first_waits_are_spread_and_a_broker_that_drops_at_once_does_not_shorten_them(corvex_factory):
    with ScriptedBroker(b"\x20\x02\x00\x00" + GARBAGE) as broker:  # accepted, then a packet no client takes
        service = corvex_factory({"Mqtt": {"port": broker.port}})
        attempts = wait_for_log_count(service, "Connecting to 127.0.0.1", 4, 15)[1:]
        waits = [attempt - loss for loss, attempt in zip(log_times(service, "[IPC] Disconnected."), attempts)]
        planned = re.findall(r"Reconnecting in (\d+) ms \(attempt (\d+)\)", service.log())[:3]
        assert all(RECONNECT_AT_LEAST <= w <= RECONNECT_AT_MOST for w in waits) and len({ms for ms, _ in planned}) > 1
        assert [n for _, n in planned] == ["1", "2", "3"]


def test_silent_broker_is_abandoned_after_ten_seconds_and_retried(corvex_factory):
    with ScriptedBroker(SILENT) as broker:
        service = corvex_factory({"Mqtt": {"port": broker.port}})
        first, second = broker.wait_for("connections", 2, 20)[:2]
        connecting = log_times(service, "Connecting to 127.0.0.1")[0]
        (gave_up,) = log_times(service, "MQTT broker not available.")
        # The abandoned connection was closed without a DISCONNECT: its peer got the CONNECT packet alone.
        connect = broker.wait_for("received", 1, 5)[0]
        assert (gave_up - connecting >= ANSWER_TIMEOUT_AT_LEAST, second - first >= ANSWER_TIMEOUT_AT_LEAST +
                RECONNECT_AT_LEAST, "[IPC] Connected." in service.log(), connect[0], len(connect)) == (
            True, True, False, 0x10, 2 + connect[1])
