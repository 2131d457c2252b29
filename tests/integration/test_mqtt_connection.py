"""The broker connection: credentials, subscriptions, retained clears, threads, losses and refusals."""

from __future__ import annotations

import os
import re
import time
from typing import Dict, Iterator, List, Tuple

import pytest

import broker_log
from helpers import BASE_TOPIC, Corvex, MqttRecorder, log_times, shared_service, wait_for_log_count
from scripted_broker import GARBAGE, SILENT, ScriptedBroker

pytestmark = pytest.mark.testbed(auth=True)

FILTERS = ["+/get", "+/+/get", "+/+/set", "wifi/connect", "wifi/disconnect", "wifi/forget", "wifi/enable",
           "wifi/disable"]
CLEARED = ["ethernet/state", "ethernet/config", "wifi/state", "wifi/config", "wifi/aps", "wifi/networks",
           "modem/state", "modem/config", "modem/signal"]
RECONNECT_DELAY = 3.0
ANSWER_TIMEOUT = 10.0


def broker_lines(testbed) -> List[str]:
    return broker_log.read(testbed.broker.log_path)


def wait_for_publication(testbed, session: int, topic: str, timeout: float = 5.0) -> None:
    """Waits until the broker received `topic` from the service's connection number `session` (from 0)."""
    deadline = time.monotonic() + timeout
    while True:
        lines = broker_lines(testbed)
        found = broker_log.sessions(lines)
        published = broker_log.publications(lines, found[session].client) if len(found) > session else []
        if any(p.topic == topic for p in published):
            return
        if time.monotonic() > deadline:
            raise AssertionError(f"the broker never received {topic} in session {session}")
        time.sleep(0.05)


def retained_for_new_subscriber(testbed, timeout: float = 5.0) -> Dict[str, bytes]:
    """What a new subscriber finds retained, once the QoS 2 documents have completed their handshake (the
    broker keeps a QoS 2 message only then, and the service answers the handshake between blocking calls)."""
    broker = testbed.broker
    deadline = time.monotonic() + timeout
    while True:
        fresh = MqttRecorder(broker.port, broker.user, broker.password)
        try:
            for topic in CLEARED + ["status", "info"]:
                fresh.wait_for(topic)
            retained = {m.topic: m.payload for m in fresh.messages() if m.retain}
        finally:
            fresh.close()
        if {"status", "info"} <= retained.keys() or time.monotonic() > deadline:
            return retained
        time.sleep(0.1)


@pytest.fixture(scope="module")
def running(testbed, tmp_path_factory) -> Iterator[Tuple[Corvex, MqttRecorder]]:
    """One service for the tests that watch a healthy connection; the broker restart runs last."""
    with shared_service(testbed, str(tmp_path_factory.mktemp("corvex"))) as both:
        yield both


@pytest.fixture(scope="module")
def service(running) -> Corvex:
    return running[0]


@pytest.fixture(scope="module")
def recorder(running) -> MqttRecorder:
    return running[1]


def test_connects_with_the_configured_credentials_and_keepalive(service, testbed):
    (session,) = broker_log.sessions(broker_lines(testbed))
    assert (session.user, session.keepalive, session.protocol, session.clean) == (testbed.broker.user, 60, 2, True)


def test_subscribes_to_exactly_the_eight_command_filters(service, testbed):
    (session,) = broker_log.sessions(broker_lines(testbed))
    assert session.subscriptions == [f"{BASE_TOPIC}/{f}" for f in FILTERS]
    logged = [m[1] for m in re.finditer(r"Subscribing to topic \[(.*)\]\.", service.log())]
    assert logged == session.subscriptions


# The broker matches the exact filters checked above; a few topics show the intake end to end.
@pytest.mark.parametrize("topic, received", [
    ("modem/stats/get", True),  # +/+/get
    ("wifi/connect", True),
    ("status", False),
    ("a/b/c/get", False),
])
def test_command_topics_reach_the_service(service, recorder, topic, received):
    sentinel = f"Message Received [{BASE_TOPIC}/info/get]"
    seen = len(log_times(service, sentinel))
    recorder.publish(topic, "{}")
    # A message on a subscribed topic published afterwards proves the first one had its chance.
    recorder.publish("info/get", "{}")
    wait_for_log_count(service, sentinel, seen + 1, 5)
    assert (f"Message Received [{BASE_TOPIC}/{topic}]" in service.log()) == received


def test_clears_exactly_the_nine_retained_topics_before_the_status(service, recorder, testbed):
    messages = recorder.messages()
    first_status = next(i for i, m in enumerate(messages) if m.topic == "status")
    clears = [m for m in messages[:first_status] if m.payload == b"{ }"]
    assert [m.topic for m in clears] == CLEARED
    assert all(m.qos == 0 for m in clears)
    (session,) = broker_log.sessions(broker_lines(testbed))
    sent = {p.topic: p.retain for p in broker_log.publications(broker_lines(testbed), session.client)
            if p.size == 3}
    assert sent == {f"{BASE_TOPIC}/{t}": True for t in CLEARED}


def test_runs_no_thread_besides_main_and_dbus(service):
    tasks = f"/proc/{service.proc.pid}/task"
    names = sorted(open(os.path.join(tasks, t, "comm"), encoding="utf-8").read().strip() for t in os.listdir(tasks))
    # Qt looks up host names on a pooled worker of its own; nothing of ours runs there.
    assert [n for n in names if n != "Thread (pooled)"] == sorted(["corvex", "QDBusConnection"])


def test_reconnects_three_seconds_after_each_loss_and_reloads(service, testbed):
    """Runs last in this module: it takes the broker away for longer than one reconnect delay."""
    lost_before = len(log_times(service, "[IPC] Disconnected."))
    testbed.broker.restart(down_seconds=RECONNECT_DELAY + 1)
    losses = wait_for_log_count(service, "[IPC] Disconnected.", lost_before + 2, 10)[lost_before:]
    connects = wait_for_log_count(service, "[IPC] Connected.", 2, 10)
    attempts = [t for t in log_times(service, "Connecting to 127.0.0.1") if t > losses[0]]
    # The first attempt finds nothing listening, the second one the broker back.
    assert "ERROR: TransportInvalid (256)." in service.log()
    assert attempts[0] - losses[0] == pytest.approx(RECONNECT_DELAY, abs=0.5)
    assert attempts[1] - losses[1] == pytest.approx(RECONNECT_DELAY, abs=0.5)
    assert connects[1] >= attempts[1]  # the log stamps milliseconds: both may share one

    # The restarted broker keeps nothing, so whatever a new subscriber finds was published afresh.
    wait_for_publication(testbed, session=1, topic=f"{BASE_TOPIC}/info")
    retained = retained_for_new_subscriber(testbed)
    assert {t: retained.get(t) for t in CLEARED} == {t: b"{ }" for t in CLEARED}
    assert "status" in retained
    (second,) = broker_log.sessions(broker_lines(testbed))[1:]
    assert second.subscriptions == [f"{BASE_TOPIC}/{f}" for f in FILTERS]


def _start_against(corvex_factory, port: int, **mqtt) -> Corvex:
    return corvex_factory({"Mqtt": {"port": port, **mqtt}})


def test_wrong_credentials_are_reported_and_retried(corvex_factory, testbed):
    service = corvex_factory({"Mqtt": {"pass": "wrong"}})
    attempts = wait_for_log_count(service, "Connecting to 127.0.0.1", 2, 2 * RECONNECT_DELAY)
    assert "ERROR: NotAuthorized (5)." in service.log()
    assert attempts[1] - attempts[0] == pytest.approx(RECONNECT_DELAY, abs=0.5)
    assert "IPC Connected" not in service.log()


@pytest.mark.parametrize("answer, text, code", [
    (1, "InvalidProtocolVersion", 1),
    (2, "IdRejected", 2),
    (3, "ServerUnavailable", 3),
    (4, "BadUsernameOrPassword", 4),
    (5, "NotAuthorized", 5),
    (GARBAGE, "ProtocolViolation", 257),
])
def test_broker_refusals_are_logged_with_their_text(corvex_factory, answer, text, code):
    with ScriptedBroker(answer) as broker:
        service = _start_against(corvex_factory, broker.port)
        wait_for_log_count(service, "[IPC] Disconnected.", 1, 5)
        errors = re.findall(r"ERROR: \w+ \(\d+\)\.", service.log())
        assert errors == [f"ERROR: {text} ({code})."]


def test_silent_broker_is_abandoned_after_ten_seconds_and_retried(corvex_factory):
    with ScriptedBroker(SILENT) as broker:
        service = _start_against(corvex_factory, broker.port)
        first, second = broker.wait_for_connections(2, ANSWER_TIMEOUT + RECONNECT_DELAY + 2)[:2]
        (connecting,) = log_times(service, "Connecting to 127.0.0.1")[:1]
        (gave_up,) = log_times(service, "MQTT broker not available.")
        assert gave_up - connecting == pytest.approx(ANSWER_TIMEOUT, abs=0.5)
        assert second - first == pytest.approx(ANSWER_TIMEOUT + RECONNECT_DELAY, abs=0.7)
        assert "IPC Connected" not in service.log()
