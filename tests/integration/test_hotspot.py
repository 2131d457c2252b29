"""The hotspot command against the test bed: the profile it writes, the documents that follow its outcome, and
the requests refused before the device leaves its client network."""

from __future__ import annotations

import time
from typing import Any, Callable, Iterator

import pytest

from helpers import Session, activate, log_times, shared_service, wait_for_log_count
from testbed.nm import ACTIVATED

HOTSPOT = "wifi/hotspot/set"
CONNECTED = "[Wifi] State changed: Connected (dev=wlan0"
SHARED = {"address": "10.42.0.1", "netmask": "255.255.255.0", "gateway": ""}


def client_profile(ssid: str, **ipv4: Any) -> dict:
    return {"connection": {"id": ssid, "type": "802-11-wireless"},
            "802-11-wireless": {"ssid": ssid.encode(), "mode": "infrastructure"},
            "802-11-wireless-security": {"key-mgmt": "wpa-psk", "psk": "client-passphrase"},
            "ipv4": ipv4 or {"method": "auto"}}


@pytest.fixture(scope="module")
def session(testbed, tmp_path_factory) -> Iterator[Session]:
    testbed.wlan0 = testbed.nm.add_wifi("wlan0", "02:00:00:00:01:01")
    testbed.nm.add_access_point(testbed.wlan0, "HomeNet", "02:aa:00:00:00:01")
    testbed.home = testbed.nm.add_connection(client_profile("HomeNet"))
    with shared_service(testbed, str(tmp_path_factory.mktemp("hotspot"))) as running:
        yield Session(*running)


@pytest.fixture
def client(session, testbed) -> Iterator[Session]:
    """The device on its client network and a fresh call log; the hotspot is stopped afterwards."""
    after(session, CONNECTED, lambda: activate(testbed.nm, testbed.home, testbed.wlan0))
    testbed.nm.clear_calls()
    yield session
    hotspot(session, {"ssid": ""})


def hotspot(session: Session, request: dict) -> dict:
    """Sends a hotspot command and returns the hotspot document that follows it."""
    since = session.count()
    session.send(HOTSPOT, request)
    return session.wait_for("wifi/hotspot", since=since, timeout=12).data


def after(session: Session, text: str, action: Callable[[], Any]) -> int:
    """Runs action and waits until the service has logged text once more; the message count before."""
    count, since = len(log_times(session.service, text)), session.count()
    action()
    wait_for_log_count(session.service, text, count + 1, 10)
    return since


def start(session: Session, request: dict) -> dict:
    """Starts the hotspot; its last document once the device is up (a changed address republishes it)."""
    since = after(session, CONNECTED, lambda: session.send(HOTSPOT, request))
    return [m.data for m in session.probe(since) if m.topic == "wifi/hotspot"][-1]


@pytest.mark.parametrize("request_, document", [
    ({}, {"ssid": "Spot", "band": "bg", "channel": 0, "hidden": False, "ipv4": SHARED, "key": ""}),
    ({"method": "manual", "address": "192.168.9.1", "netmask": "255.255.255.252", "band": "a", "channel": 36,
      "hidden": True, "key": "ä" * 31 + "x"},
     {"ssid": "Spot", "band": "a", "channel": 36, "hidden": True, "key": "ä" * 31 + "x",
      "ipv4": {"address": "192.168.9.1", "netmask": "255.255.255.252", "gateway": ""}}),
    ({"band": "A", "channel": 14, "key": "0f" * 32},
     {"ssid": "Spot", "band": "bg", "channel": 14, "hidden": False, "ipv4": SHARED, "key": "0f" * 32}),
])
def test_start_publishes_the_running_hotspot(client, testbed, request_, document) -> None:
    assert start(client, {"ssid": "Spot", **request_}) == dict(document, interface="wlan0", active=True)
    [(_, _, _, [settings, device, _])] = testbed.nm.calls("AddAndActivateConnection")
    assert (device, settings["connection"].get("autoconnect", True), settings["ipv6"]["method"]) == \
        (testbed.wlan0, True, "ignore")
    assert len(testbed.nm.calls("DeactivateConnection")) == 1


@pytest.mark.parametrize("request_, error", [
    ({"method": "manual"}, "Invalid 'address': "),
    *[({"method": "manual", "address": "10.0.0.1", "netmask": mask}, "Invalid 'netmask': " + mask)
      for mask in ("0.0.0.0", "255.255.255.254", "255.255.255.255", "255.0.255.0")],
    ({"method": "Manual"}, "Invalid 'method', expected 'shared' or 'manual': Manual"),
    ({"key": "1234567"}, "Invalid 'key': 7 characters"),
    ({"key": "äää1"}, "Invalid 'key': 7 characters"),
    ({"key": "x" * 64}, "Invalid 'key': 64 characters"),
    ({"ssid": "ä" * 16 + "x"}, "Invalid 'ssid': " + "ä" * 16 + "x"),
    ({"channel": 36}, "Invalid 'channel': 36"),
    ({"band": "a", "channel": 6}, "Invalid 'channel': 6"),
])
def test_refused_request_leaves_the_device_connected(client, testbed, request_, error) -> None:
    answer = client.ask(HOTSPOT, {"ssid": "Spot", **request_})
    assert [m.data for m in answer if m.topic == "error"] == [{"command": HOTSPOT, "error": error}]
    assert (testbed.nm.calls("DeactivateConnection"), testbed.nm.device_state(testbed.wlan0)) == ([], ACTIVATED)


def test_saved_client_profile_becomes_the_hotspot(client, testbed) -> None:
    cafe = testbed.nm.add_connection(client_profile("Cafe", method="manual", dns=["192.0.2.53"], gateway="10.1.1.1",
                                                    **{"address-data": [{"address": "10.1.1.2", "prefix": 24}]}))
    assert start(client, {"ssid": "Cafe"})["ipv4"] == SHARED
    assert [c[0] for c in testbed.nm.calls("Update")] == [cafe]
    assert [m.data["error"] for m in client.ask("wifi/forget", {"ssid": "Cafe"})] == ["No saved connection for: Cafe"]


def test_rewrite_keeps_key_and_channel(client) -> None:
    start(client, {"ssid": "Spot", "key": "spot-passphrase", "channel": 11})
    document = start(client, {"ssid": "Spot", "hidden": True})
    assert (document["key"], document["channel"], document["hidden"]) == ("spot-passphrase", 11, True)


@pytest.mark.parametrize("failing, active", [((), False), (("DeactivateConnection", "Delete"), True)])
def test_stop_publishes_once_the_hotspot_has_gone(client, testbed, failing, active) -> None:
    start(client, {"ssid": "Spot"})
    for method in failing:
        testbed.nm.fail_next(method, "org.freedesktop.NetworkManager.Failed")
    began = time.monotonic()
    assert hotspot(client, {"ssid": ""})["active"] is active
    assert (time.monotonic() - began >= 10) is active  # a hotspot that stays is waited for 10 s


def test_abandoned_activation_is_reported(client, testbed) -> None:
    testbed.nm.fail_next_activation()
    since = client.count()
    assert hotspot(client, {"ssid": "Spot"})["active"] is False
    errors = [m.data for m in client.recorder.messages("error", since)]
    assert errors == [{"command": HOTSPOT, "error": "Failed to activate hotspot on wlan0"}]


def test_start_stop_cycles_leave_no_watcher(client) -> None:
    for _ in range(25):  # each command ends the watch of the one before
        client.send(HOTSPOT, {"ssid": "Spot"})
        client.send(HOTSPOT, {"ssid": ""})
    client.probe()  # every command has been handled: no watcher is made from here on
    created = client.log().count("Hotspot watcher created")
    assert len(wait_for_log_count(client.service, "Hotspot watcher destroyed", created, 5)) == created
