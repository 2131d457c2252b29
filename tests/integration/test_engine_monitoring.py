"""Live changes reaching MQTT, and restarts of broker and NetworkManager (last: they disturb everything)."""

from __future__ import annotations

import uuid
from types import SimpleNamespace
from typing import Iterator, List

import pytest

from helpers import (Session, activate, device_documents, documents, for_interface, log_times, poll, shared_service,
                     wait_for_log_count)
from testbed.nm import ACTIVATED, DISCONNECTED

PREPARE, CONFIG, IP_CONFIG = 40, 50, 70
REASON_CARRIER = 40


@pytest.fixture(scope="module")
def bed(testbed) -> SimpleNamespace:
    nm = testbed.nm
    bed = SimpleNamespace(states=nm.add_ethernet("eth0", "02:00:00:00:00:10"),  # state mapping
                          office=nm.add_ethernet("eth1", "02:00:00:00:00:11"),  # activation, IPv4
                          cable=nm.add_ethernet("eth2", "02:00:00:00:00:12"),  # carrier
                          ignored=nm.add_ethernet("eth9", "02:00:00:00:00:19", managed=False),
                          wifi=nm.add_wifi("wlan0", "02:00:00:00:01:10"), modem=testbed.add_modem()["modem"])
    nm.add_access_point(bed.wifi, "HomeNet", "02:aa:00:00:00:10", strength=70)
    return bed


@pytest.fixture(scope="module")
def session(testbed, bed, tmp_path_factory) -> Iterator[Session]:
    with shared_service(testbed, str(tmp_path_factory.mktemp("monitoring"))) as running:
        session = Session(*running)
        session.probe()
        yield session


def state_of(iface: str, state: int):
    return lambda d: for_interface(iface)(d) and d.get("state") == state


def address_of(iface: str, address: str):
    return lambda d: for_interface(iface)(d) and (d.get("ipv4") or {}).get("address") == address


def states(messages) -> List[tuple]:
    return [(d["state"], d["stateStr"], d["reason"]) for d in documents(messages, "ethernet/state")]


def test_state_change_is_published_only_when_the_mapped_state_changes(session, testbed, bed) -> None:
    since = session.count()
    for state in (PREPARE, CONFIG, IP_CONFIG):  # Connecting, then two steps that are Connecting too
        testbed.nm.set_device_state(bed.states, state)
    testbed.nm.set_device_state(bed.states, ACTIVATED, REASON_CARRIER)
    session.wait_for("ethernet/state", state_of("eth0", 4), since=since)
    # Entering Activated, the binding also reports the IPv4 configuration as changed: a configuration
    # document may come along, but only the two mapped states are published as state.
    assert states(session.probe(since)) == [(3, "Connecting", 0), (4, "Connected", REASON_CARRIER)]
    since = session.count()
    testbed.nm.set_device_state(bed.states, DISCONNECTED)
    session.wait_for("ethernet/state", state_of("eth0", 1), since=since)


def test_carrier_plugged_and_unplugged(session, testbed, bed) -> None:
    since = session.count()
    testbed.nm.set_carrier(bed.cable, False)
    session.wait_for_log("[Ethernet] Carrier changed for device eth2 : unplugged")
    # NetworkManager calling the cable-less device activated does not make it connected.
    testbed.nm.set_device_state(bed.cable, ACTIVATED)
    session.wait_for_log("[Ethernet] State changed: Connected (dev=eth2, reason=UnknownReason).")
    assert states(session.probe(since)) == [(1, "Disconnected", REASON_CARRIER), (1, "Disconnected", 0)]
    provisioned = "No configuration for interface 'eth2'"  # a provisioning run of the port, none configured here
    runs = len(log_times(session.service, provisioned))
    testbed.nm.set_carrier(bed.cable, True)
    wait_for_log_count(session.service, provisioned, runs + 1, 5)
    assert states(session.ask("ethernet/state/get", {"interface": "eth2"})) == [(4, "Connected", 0)]
    testbed.nm.set_device_state(bed.cable, DISCONNECTED)


@pytest.fixture(scope="module")
def office(session, testbed, bed) -> None:
    profile = testbed.nm.add_connection({
        "connection": {"id": "Office", "uuid": str(uuid.uuid4()), "type": "802-3-ethernet", "interface-name": "eth1"},
        "ipv4": {"method": "manual", "address-data": [{"address": "192.168.50.10", "prefix": 24}],
                 "gateway": "192.168.50.1", "dns": ["192.168.50.1"]}})
    activate(testbed.nm, profile, bed.office)
    session.wait_for("ethernet/state", address_of("eth1", "192.168.50.10"))
    session.wait_for("status", lambda d: (d.get("primaryConnection") or {}).get("connectionName") == "Office")


def test_network_state_change_republishes_the_status(session, testbed) -> None:
    since = session.count()
    testbed.nm.set_state(60)  # connected to the site only
    session.wait_for("status", lambda d: d.get("state") == 6, since=since)


# In order: a new address, the same address under a new object (the unchanged state is not republished),
# and an address changed in place.
@pytest.mark.parametrize("address, replace, expected", [
    ("192.168.50.20", True, [("ethernet/config", "eth1"), ("ethernet/state", "eth1")]),
    ("192.168.50.20", True, [("ethernet/config", "eth1")]),
    ("192.168.50.30", False, [("ethernet/config", "eth1"), ("ethernet/state", "eth1")]),
])
def test_ipv4_change_republishes_config_and_changed_state(session, testbed, bed, office, address, replace,
                                                          expected) -> None:
    since = session.count()
    testbed.nm.set_ip4_config(bed.office, [(address, 24)], "192.168.50.1", ["192.168.50.1"], replace=replace)
    session.wait_for(expected[-1][0], address_of("eth1", address) if len(expected) > 1 else for_interface("eth1"),
                     since=since)
    assert device_documents(session.probe(since)) == expected


def test_added_device_is_reloaded_a_second_later_and_removed_one_only_logged(session, testbed) -> None:
    since = session.count()
    eth5 = testbed.nm.add_ethernet("eth5", "02:00:00:00:00:20")
    testbed.nm.add_ethernet("eth6", "02:00:00:00:00:21", managed=False)
    # Unlike at connection, an added device is reloaded whether managed or not.
    session.wait_for("ethernet/config", for_interface("eth6"), since=since)
    assert device_documents(session.probe(since)) == [(f"ethernet/{kind}", iface) for iface in ("eth5", "eth6")
                                                      for kind in ("state", "config")]
    [added_at], [reloaded_at] = (log_times(session.service, text) for text in ("dev=eth5", "monitoring device: eth5"))
    assert reloaded_at - added_at >= 0.95  # a QTimer may fire 5 % early
    since = session.count()
    testbed.nm.remove_device(eth5)
    session.wait_for_log(f"Device removed: {eth5}")
    # Before it goes, NetworkManager moves the device to unmanaged: that state change alone is published.
    assert device_documents(session.probe(since)) in ([], [("ethernet/state", "eth5")])
    assert [m.data["interface"] for m in session.ask("ethernet/state/get", {})] == ["eth0", "eth1", "eth2"]


def test_access_points_and_networks_appearing(session, testbed, bed) -> None:
    since, mark = session.count(), len(session.log())
    testbed.nm.add_access_point(bed.wifi, "Cafe", "02:aa:00:00:00:20", strength=55)
    session.wait_for("wifi/networks", lambda d: "Cafe" in [n["ssid"] for n in d["networks"]], since=since)
    # A second access point of a known network is logged, but finds no new network.
    testbed.nm.add_access_point(bed.wifi, "Cafe", "02:aa:00:00:00:21", strength=30)
    session.wait_for_log("AccessPoint 'Cafe' appeared (dev=wlan0, signal=30%)")
    assert session.log()[mark:].count("Network 'Cafe' found") == 1


# The broker, NetworkManager, or NetworkManager with a broker reconnect while it was away: then each followed
# device is published once, a command answered once, and a device or signal change gives one document. Devices
# NetworkManager announces on its return are no new devices (which would be reloaded once more a second later).
@pytest.mark.parametrize("network_manager, broker", [(False, True), (True, False), (True, True)])
def test_restart_publishes_each_device_and_change_once(session, testbed, bed, network_manager, broker) -> None:
    since, mark = session.count(), len(session.log())
    if network_manager:
        testbed.nm.stop_service()
        poll(lambda: "NetworkManager has left the bus." in session.log()[mark:], 10, lambda: "NetworkManager not gone")
    if broker:
        reloads = session.log().count("Reloading all devices")
        testbed.broker.restart()
        wait_for_log_count(session.service, "Reloading all devices", reloads + 1, 10)  # reconnected
        session.probe(session.count())  # the recorder is back and the reload is done
    if network_manager:
        since, mark = session.count(), len(session.log())
        testbed.nm.start_service()
        session.wait_for("modem/config", since=since)
        republished = [s for s in device_documents(session.probe(since)) if s[0].endswith("/state")]
        assert sorted(republished) == sorted({("ethernet/state", i) for i in ("eth0", "eth1", "eth2")} | {
            ("modem/state", "cdc-wdm0"), ("wifi/state", "wlan0")})
        assert "Device added:" not in session.log()[mark:]
    assert device_documents(session.ask("wifi/state/get", {})) == [("wifi/state", "wlan0")]
    since = session.count()
    testbed.nm.set_device_state(bed.states, PREPARE)
    testbed.mm.set_signal_quality(bed.modem, 17)
    session.wait_for("ethernet/state", state_of("eth0", 3), since=since)
    session.wait_for("modem/signal", lambda d: d.get("quality") == 17, since=since)
    assert sorted(device_documents(session.probe(since))) == [("ethernet/state", "eth0"), ("modem/signal", "cdc-wdm0")]
    testbed.nm.set_device_state(bed.states, DISCONNECTED)
    session.wait_for("ethernet/state", state_of("eth0", 1), since=since)
