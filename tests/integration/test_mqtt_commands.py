"""Command intake on a bus without devices: payload parsing, the error document, commands the service
does not know, and device lookups that find nothing (so a handler's error shows the interface it got)."""

from __future__ import annotations

import json
from typing import Iterator

import pytest

from helpers import Session, answer, shared_service

pytestmark = pytest.mark.testbed()

INVALID = "Invalid device specified: "
UNSUPPORTED = "Unsupported command"


@pytest.fixture(scope="module")
def session(testbed, tmp_path_factory) -> Iterator[Session]:
    with shared_service(testbed, str(tmp_path_factory.mktemp("corvex"))) as running:
        yield Session(*running)


def test_connection_publishes_only_status_and_info(session):
    # Both go out with QoS 2 in this order, and the service was ready once "info" arrived.
    assert [m.topic for m in session.probe() if m.data != {}] == ["status", "info"]


@pytest.mark.parametrize("command, payload, error, logged", [
    ("wifi/state/get", b"{", "Json parse error: unterminated object", "Json parse error: unterminated object"),
    ("wifi/state/get", b'{"interface": "wlan0"} trailing', "Json parse error: garbage at the end of the document",
     "Json parse error: garbage at the end of the document"),
    # Empty payloads and arrays give an empty object; the object itself reaches the handler.
    ("wifi/state/get", b"", INVALID, "ERROR: Could not find device with name= and type=Wifi"),
    ("wifi/state/get", b"[]", INVALID, None),
    ("wifi/state/get", b'[{"interface": "wlan9"}]', INVALID, None),
    ("wifi/state/get", b'{"interface": "wlan9"}', INVALID + "wlan9", None),
    ("modem/stats/get", b"{}", INVALID, None),
    ("modem/config/get", b"{}", INVALID, None),
    ("ethernet/config/get", b"{}", None, None),  # all wired devices: none
    ("ethernet/state/get", b'{"interface": "eth0"}', INVALID + "eth0",
     "ERROR: Could not find device with name=eth0 and type=Ethernet"),
    ("wifi/scan/get", b"{}", UNSUPPORTED, "Unsupported command 'wifi/scan/get'"),
    ("Status/get", b"{}", UNSUPPORTED, None),
    ("modem/stats/set", b"{}", UNSUPPORTED, None),
    ("modem/get", b"{}", UNSUPPORTED, None),
    ("wifi/état/get", b"{}", UNSUPPORTED, "Unsupported command 'wifi/état/get'"),
])
def test_request_answered_with_at_most_one_error_document(session, command, payload, error, logged):
    messages = session.ask(command, payload)
    assert answer(command, messages) == ([] if error is None else [("error", error)])
    # The service's serialisation: members sorted, four spaces per level, a final line break, QoS 0.
    assert [(m.payload, m.qos) for m in messages] == [
        ((json.dumps(m.data, indent=4, sort_keys=True, ensure_ascii=False) + "\n").encode(), 0) for m in messages]
    assert logged is None or logged in session.log()
