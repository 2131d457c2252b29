"""Command intake: payload parsing, the error document and commands the service does not know."""

from __future__ import annotations

import json
from typing import Iterator, Tuple

import pytest

import broker_log
from helpers import BASE_TOPIC, Corvex, MqttRecorder
from servicekit import ask, shared_service

# An empty bus: every device lookup fails, so a handler's error shows which "interface" it was given.
pytestmark = pytest.mark.testbed()


@pytest.fixture(scope="module")
def running(testbed, tmp_path_factory) -> Iterator[Tuple[Corvex, MqttRecorder]]:
    with shared_service(testbed, str(tmp_path_factory.mktemp("corvex"))) as both:
        yield both


def qt_indented(document: dict) -> bytes:
    """The service's serialisation: members sorted, four spaces per level, a final line break."""
    return (json.dumps(document, indent=4, sort_keys=True, ensure_ascii=False) + "\n").encode()


def error_answer(recorder: MqttRecorder, command: str, payload) -> dict:
    """Sends a command, then a status request as a marker; returns the one error document in between."""
    since = recorder.count()
    recorder.publish(command, payload)
    recorder.publish("status/get", "")
    marker = recorder.wait_for("status", since=since)
    answers = recorder.messages(since=since)[:recorder.messages(since=since).index(marker)]
    errors = [m for m in answers if m.topic == "error"]
    assert len(errors) == 1, [m.topic for m in answers]
    assert errors[0].qos == 0
    assert errors[0].payload == qt_indented(errors[0].data)
    return errors[0].data


@pytest.mark.parametrize("payload, parser_text", [
    (b"{", "unterminated object"),
    (b'{"interface" "wlan0"}', "missing name separator"),
    (b'{"interface": "wlan0",}', "object is missing after a comma"),
    (b"not json", "illegal value"),
    (b'{"interface": "wlan0"} trailing', "garbage at the end of the document"),
    (b'{"interface": "wlan0', "unterminated string"),
])
def test_malformed_json_gives_one_error_document_and_no_command(running, payload, parser_text):
    service, recorder = running
    command = "wifi/state/get"
    assert error_answer(recorder, command, payload) == {"command": command,
                                                       "error": f"Json parse error: {parser_text}"}
    assert f"Json parse error: {parser_text}" in service.log()


def test_error_document_is_neither_retained_nor_above_qos_0(running, testbed):
    _service, recorder = running
    error_answer(recorder, "wifi/state/get", b"{")
    lines = broker_log.read(testbed.broker.log_path)
    (session,) = broker_log.sessions(lines)
    sent = {(p.qos, p.retain) for p in broker_log.publications(lines, session.client)
            if p.topic == f"{BASE_TOPIC}/error"}
    assert sent == {(0, False)}


@pytest.mark.parametrize("payload, interface", [
    (b"", ""),
    (b"[]", ""),
    (b'[{"interface": "wlan9"}]', ""),
    (b'{"interface": "wlan9"}', "wlan9"),  # the object itself reaches the handler
])
def test_empty_payload_and_arrays_give_an_empty_object(running, payload, interface):
    _service, recorder = running
    # Without Wifi devices the handler's error names the interface it was asked for.
    assert error_answer(recorder, "wifi/state/get", payload) == {
        "command": "wifi/state/get", "error": f"Invalid device specified: {interface}"}


@pytest.mark.parametrize("payload", [b"", b"[1, 2]"])
def test_command_without_object_still_runs(running, payload):
    _service, recorder = running
    assert ask(recorder, "info/get", payload, "info").data["service"]["type"] == "network"


@pytest.mark.parametrize("command", ["wifi/scan/get", "Status/get", "modem/stats/set", "wifi/state/set"])
def test_unknown_command_gives_unsupported_command(running, command):
    service, recorder = running
    assert error_answer(recorder, command, "{}") == {"command": command, "error": "Unsupported command"}
    assert f"Unsupported command '{command}'" in service.log()


def test_error_text_keeps_non_ascii_characters(running):
    _service, recorder = running
    command = "wifi/état/get"
    assert error_answer(recorder, command, "{}") == {"command": command, "error": "Unsupported command"}
