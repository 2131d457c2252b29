"""Command intake: payload parsing, the error document, commands the service does not know, and device
lookups on a bus without devices."""

from __future__ import annotations

import json
from typing import Iterator, List, Tuple

import pytest

import broker_log
from helpers import BASE_TOPIC, Corvex, Message, MqttRecorder, Session, answer, shared_service

# An empty bus: every device lookup fails, so a handler's error shows which "interface" it was given.
pytestmark = pytest.mark.testbed()

INVALID = "Invalid device specified: "


@pytest.fixture(scope="module")
def running(testbed, tmp_path_factory) -> Iterator[Tuple[Corvex, MqttRecorder]]:
    with shared_service(testbed, str(tmp_path_factory.mktemp("corvex"))) as both:
        yield both


def qt_indented(document: dict) -> bytes:
    """The service's serialisation: members sorted, four spaces per level, a final line break."""
    return (json.dumps(document, indent=4, sort_keys=True, ensure_ascii=False) + "\n").encode()


def answers(recorder: MqttRecorder, command: str, payload) -> List[Message]:
    """Sends a command, then a status request as a marker; returns what came in between."""
    since = recorder.count()
    recorder.publish(command, payload)
    recorder.publish("status/get", "")
    marker = recorder.wait_for("status", since=since)
    messages = recorder.messages(since=since)
    return messages[:messages.index(marker)]


def error_answer(recorder: MqttRecorder, command: str, payload) -> dict:
    """The one error document a command is answered with."""
    answered = answers(recorder, command, payload)
    errors = [m for m in answered if m.topic == "error"]
    assert len(errors) == 1, [m.topic for m in answered]
    assert errors[0].qos == 0
    assert errors[0].payload == qt_indented(errors[0].data)
    return errors[0].data


def test_connection_publishes_only_status_and_info(running):
    assert {m.topic for m in Session(*running).probe() if m.data != {}} <= {"status", "info"}


@pytest.mark.parametrize("payload, parser_text", [
    (b"{", "unterminated object"),
    (b'{"interface": "wlan0"} trailing', "garbage at the end of the document"),
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
        "command": "wifi/state/get", "error": f"{INVALID}{interface}"}


@pytest.mark.parametrize("command", ["wifi/scan/get", "Status/get", "modem/stats/set", "modem/get", "wifi/état/get"])
def test_unknown_command_gives_unsupported_command(running, command):
    service, recorder = running
    assert error_answer(recorder, command, "{}") == {"command": command, "error": "Unsupported command"}
    assert f"Unsupported command '{command}'" in service.log()


@pytest.mark.parametrize("command, payload, expected, logged", [
    ("wifi/state/get", {}, [("error", INVALID)], "ERROR: Could not find device with name= and type=Wifi"),
    ("modem/stats/get", {}, [("error", INVALID)], None),
    ("modem/config/get", {}, [("error", INVALID)], None),
    ("ethernet/config/get", {}, [], None),  # all wired devices: none
    ("ethernet/state/get", {"interface": "eth0"}, [("error", INVALID + "eth0")],
     "ERROR: Could not find device with name=eth0 and type=Ethernet"),
])
def test_lookups_find_no_device(running, command, payload, expected, logged):
    session = Session(*running)
    assert answer(command, session.ask(command, payload)) == expected
    assert logged is None or logged in session.log()
