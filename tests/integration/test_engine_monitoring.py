"""Live changes in NetworkManager and ModemManager reaching MQTT, and the service riding out restarts
of the broker and of NetworkManager.

One service runs for the module; each test works on devices of its own, and the two restart tests
come last because they disturb everything.
"""

from __future__ import annotations

import re
import time
import uuid
from typing import Iterator, List

import dbus
import pytest

from helpers import Session, activate, documents, for_interface, mock_object, shared_service, summary
from testbed import Testbed
from testbed.nm import ACTIVATED, DEVICE, DISCONNECTED
PREPARE, CONFIG, IP_CONFIG = 40, 50, 70
REASON_CARRIER = 40
NM_CONNECTED_SITE = 60


class Bed:
    """Object paths of the module's devices."""

    def __init__(self, tb: Testbed) -> None:
        nm = tb.nm
        self.states = nm.add_ethernet("eth0", "02:00:00:00:00:10")   # state mapping
        self.office = nm.add_ethernet("eth1", "02:00:00:00:00:11")   # activation, IPv4, primary connection
        self.cable = nm.add_ethernet("eth2", "02:00:00:00:00:12")    # carrier
        self.flags = nm.add_ethernet("eth3", "02:00:00:00:00:13")    # managed flag, interface name
        self.ignored = nm.add_ethernet("eth9", "02:00:00:00:00:19", managed=False)
        self.wifi = nm.add_wifi("wlan0", "02:00:00:00:01:10")
        nm.add_access_point(self.wifi, "HomeNet", "02:aa:00:00:00:10", strength=70)
        self.modem = tb.add_modem("wwan0", "cdc-wdm0")["modem"]


@pytest.fixture(scope="module")
def bed(testbed) -> Bed:
    return Bed(testbed)


@pytest.fixture(scope="module")
def session(testbed, bed, tmp_path_factory) -> Iterator[Session]:
    with shared_service(testbed, str(tmp_path_factory.mktemp("monitoring"))) as running:
        session = Session(*running)
        session.wait_for_log("[Modem] Started monitoring device: cdc-wdm0")
        session.probe()
        yield session


def state_of(iface: str, state: int):
    return lambda d: for_interface(iface)(d) and d.get("state") == state


def address_of(iface: str, address: str):
    return lambda d: for_interface(iface)(d) and (d.get("ipv4") or {}).get("address") == address


def log_since(session: Session, mark: int) -> str:
    return session.log()[mark:]


# --- device state -----------------------------------------------------------------------------------

def test_state_change_is_published_only_when_the_mapped_state_changes(session, testbed, bed) -> None:
    nm = testbed.nm
    since, mark = session.count(), len(session.log())
    for state in (PREPARE, CONFIG, IP_CONFIG):  # Connecting, then two steps that are Connecting too
        nm.set_device_state(bed.states, state)
    nm.set_device_state(bed.states, ACTIVATED, REASON_CARRIER)
    session.wait_for("ethernet/state", state_of("eth0", 4), since=since)
    # Entering Activated, the binding also reports the IPv4 configuration as changed: a configuration
    # document may come along, but only the two mapped states are published as state.
    published = documents(session.probe(since), "ethernet/state")
    assert [(d["state"], d["stateStr"]) for d in published] == [(3, "Connecting"), (4, "Connected")]
    assert published[-1]["reason"] == REASON_CARRIER
    log = log_since(session, mark)
    assert log.count("[Ethernet] State changed:") == 2
    assert "[Ethernet] State changed: Connected (dev=eth0, reason=CarrierReason)." in log

    since = session.count()
    nm.set_device_state(bed.states, DISCONNECTED)
    session.wait_for("ethernet/state", state_of("eth0", 1), since=since)


def test_carrier_plugged_and_unplugged(session, testbed, bed) -> None:
    nm = testbed.nm
    since = session.count()
    nm.set_carrier(bed.cable, False)
    session.wait_for_log("[Ethernet] Carrier changed for device eth2 : unplugged")
    # NetworkManager calling the cable-less device activated does not make it connected.
    nm.set_device_state(bed.cable, ACTIVATED)
    session.wait_for_log("[Ethernet] State changed: Connected (dev=eth2, reason=UnknownReason).")
    unplugged = documents(session.probe(since), "ethernet/state")
    assert [(d["state"], d["stateStr"]) for d in unplugged] == [(1, "Disconnected")] * 2

    nm.set_carrier(bed.cable, True)
    session.wait_for_log("[Ethernet] Carrier changed for device eth2 : plugged")
    [state] = documents(session.ask("ethernet/state/get", {"interface": "eth2"}))
    assert (state["state"], state["stateStr"]) == (4, "Connected")
    nm.set_device_state(bed.cable, DISCONNECTED)


# --- IPv4 and the primary connection ------------------------------------------------------------------

@pytest.fixture(scope="module")
def office(session, testbed, bed) -> str:
    """eth1 activated with a static address; returns the profile's name."""
    name = "Office"
    profile = testbed.nm.add_connection({
        "connection": {"id": name, "uuid": str(uuid.uuid4()), "type": "802-3-ethernet", "interface-name": "eth1"},
        "ipv4": {"method": "manual", "address-data": [{"address": "192.168.50.10", "prefix": 24}],
                 "gateway": "192.168.50.1", "dns": ["192.168.50.1"]},
    })
    activate(testbed.nm, profile, bed.office)
    session.wait_for("ethernet/state", address_of("eth1", "192.168.50.10"))
    return name


def test_primary_connection_change(session, office) -> None:
    status = session.wait_for("status", lambda d: (d.get("primaryConnection") or {}).get("connectionName") == office)
    assert status.data["primaryConnection"]["interface"] == "eth1"
    session.wait_for_log(f"[Network] Primary connection changed: {office}")


def test_network_status_change(session, testbed) -> None:
    since = session.count()
    testbed.nm.set_state(NM_CONNECTED_SITE)
    session.wait_for("status", lambda d: d.get("state") == 6, since=since)
    session.wait_for_log("[Network] Status changed: 6 (ConnectedSiteOnly)")


def readdress(testbed, bed, address: str, replace: bool = True) -> None:
    testbed.nm.set_ip4_config(bed.office, [(address, 24)], "192.168.50.1", ["192.168.50.1"], replace=replace)


def test_ipv4_change_republishes_config_and_state(session, testbed, bed, office) -> None:
    since, mark = session.count(), len(session.log())
    readdress(testbed, bed, "192.168.50.20")
    session.wait_for("ethernet/state", address_of("eth1", "192.168.50.20"), since=since)
    assert device_documents(session.probe(since)) == [("ethernet/config", "eth1"), ("ethernet/state", "eth1")]
    assert "[Ethernet] Device IPv4 Config changed : eth1" in log_since(session, mark)

    # The same addressing under a new object: the configuration is republished, the unchanged state is not.
    since = session.count()
    readdress(testbed, bed, "192.168.50.20")
    session.wait_for("ethernet/config", for_interface("eth1"), since=since)
    assert device_documents(session.probe(since)) == [("ethernet/config", "eth1")]


def test_ipv4_changed_in_place_is_published(session, testbed, bed, office) -> None:
    since = session.count()
    readdress(testbed, bed, "192.168.50.30", replace=False)
    session.wait_for("ethernet/state", address_of("eth1", "192.168.50.30"), since=since)
    assert device_documents(session.probe(since)) == [("ethernet/config", "eth1"), ("ethernet/state", "eth1")]


# --- devices coming, going and changing --------------------------------------------------------------

def test_added_device_is_reloaded_a_second_later_and_removed_one_only_logged(session, testbed) -> None:
    nm = testbed.nm
    since = session.count()
    added_at = time.monotonic()
    paths = {iface: nm.add_ethernet(iface, f"02:00:00:00:00:2{i}", managed=managed)
             for i, (iface, managed) in enumerate((("eth5", True), ("eth6", False)))}
    session.wait_for_log("Device added: Ethernet (dev=eth5, active=0, managed=1)")
    session.wait_for_log("Device added: Ethernet (dev=eth6, active=0, managed=0)")
    # Unlike at connection, an added device is reloaded whether managed or not.
    session.wait_for("ethernet/config", for_interface("eth6"), since=since)
    assert time.monotonic() - added_at >= 0.9
    assert device_documents(session.probe(since)) == [("ethernet/state", "eth5"), ("ethernet/config", "eth5"),
                                             ("ethernet/state", "eth6"), ("ethernet/config", "eth6")]

    since = session.count()
    nm.remove_device(paths["eth5"])
    session.wait_for_log(f"Device removed: {paths['eth5']}")
    # Before it goes, NetworkManager moves the device to unmanaged: that state change alone is published.
    assert device_documents(session.probe(since)) in ([], [("ethernet/state", "eth5")])
    assert [m.data["interface"] for m in session.ask("ethernet/state/get", {})] == ["eth0", "eth1", "eth2", "eth3"]


def test_managed_flag_and_interface_name_changes_are_logged(session, testbed, bed) -> None:
    nm = testbed.nm
    nm.set_managed(bed.flags, False)
    session.wait_for_log("[Ethernet] Device is no longer managed (name=eth3).")
    nm.set_managed(bed.flags, True)
    session.wait_for_log("[Ethernet] Device is now managed (name=eth3).")
    mock_object(nm, bed.flags).UpdateProperties(DEVICE, dbus.Dictionary({"Interface": "lan3"}, signature="sv"))
    session.wait_for_log("[Ethernet] Device interface name changed: lan3.")


def test_access_points_and_networks_appearing(session, testbed, bed) -> None:
    nm = testbed.nm
    since, mark = session.count(), len(session.log())
    nm.add_access_point(bed.wifi, "Cafe", "02:aa:00:00:00:20", strength=55)
    session.wait_for("wifi/networks", lambda d: "Cafe" in [n["ssid"] for n in d["networks"]], since=since)
    session.wait_for_log("[Wifi] AccessPoint 'Cafe' appeared (dev=wlan0, signal=55%).")
    session.wait_for_log("[Wifi] Network 'Cafe' found (dev=wlan0, signal=55%).")

    # A second access point of a known network is logged, but finds no new network.
    nm.add_access_point(bed.wifi, "Cafe", "02:aa:00:00:00:21", strength=30)
    session.wait_for_log("[Wifi] AccessPoint 'Cafe' appeared (dev=wlan0, signal=30%).")
    assert log_since(session, mark).count("[Wifi] Network 'Cafe' found") == 1


def test_modem_signal_and_access_technologies(session, testbed, bed) -> None:
    mm = testbed.mm
    since = session.count()
    mm.set_signal_quality(bed.modem, 42)
    session.wait_for("modem/signal", lambda d: d.get("quality") == 42, since=since)
    session.wait_for_log("[Modem] Signal changed '42' (dev=cdc-wdm0).")
    mm.set_access_technologies(bed.modem, ["umts", "hsdpa"])
    changed = session.wait_for("modem/signal", lambda d: len(d.get("accessTechnologies", [])) == 2, since=since)
    assert changed.data["quality"] == 42
    assert re.search(r"\[Modem\] Access Technologies changed '\w+,\w+' \(dev=cdc-wdm0\)\.", session.log())
    assert len(documents(session.probe(since), "modem/signal")) == 2


# --- restarts ---------------------------------------------------------------------------------------

def device_documents(messages) -> List[tuple]:
    return [s for s in summary(messages) if s[0] not in ("status", "info")]


def assert_followed_once(session: Session, testbed, bed) -> None:
    """One device state change and one modem signal change each give exactly one document."""
    since = session.count()
    testbed.nm.set_device_state(bed.states, PREPARE)
    testbed.mm.set_signal_quality(bed.modem, 17)
    session.wait_for("ethernet/state", state_of("eth0", 3), since=since)
    session.wait_for("modem/signal", lambda d: d.get("quality") == 17, since=since)
    assert sorted(summary(session.probe(since))) == [("ethernet/state", "eth0"), ("modem/signal", "cdc-wdm0")]
    testbed.nm.set_device_state(bed.states, DISCONNECTED)
    session.wait_for("ethernet/state", state_of("eth0", 1), since=since)


def restart_broker(session: Session, testbed) -> None:
    """Restarts the broker and waits until the service has reconnected and started its reload."""
    reloads = session.log().count("Reloading all devices")
    testbed.broker.restart()
    deadline = time.monotonic() + 10
    while session.log().count("Reloading all devices") <= reloads:
        assert time.monotonic() < deadline, "the service did not reconnect"
        time.sleep(0.1)


def test_broker_restart_reloads_without_doubling(session, testbed, bed) -> None:
    since = session.count()
    restart_broker(session, testbed)
    # The recorder is back once the reload's documents reach it; a probe lets the rest of them pass.
    session.wait_for("modem/config", since=since)
    session.probe(since)
    # One subscription per command filter: a command is answered once.
    assert device_documents(session.ask("wifi/state/get", {})) == [("wifi/state", "wlan0")]
    assert_followed_once(session, testbed, bed)


def test_network_manager_restart_follows_devices_again(session, testbed, bed) -> None:
    since = session.count()
    testbed.nm.restart()
    session.wait_for("modem/config", since=since)
    time.sleep(1.5)  # an added device would be reloaded after one second: let any such reload show
    republished = device_documents(session.probe(since))
    for dev in (bed.states, bed.office, bed.cable, bed.flags):
        iface = testbed.nm.get(dev, DEVICE, "Interface")
        assert republished.count(("ethernet/state", iface)) == 1, republished
    assert republished.count(("wifi/state", "wlan0")) == 1
    assert republished.count(("modem/state", "cdc-wdm0")) == 1
    assert "eth9" not in {iface for _, iface in republished}
    assert_followed_once(session, testbed, bed)


def test_network_manager_back_after_a_broker_reconnect_publishes_once(session, testbed, bed) -> None:
    testbed.nm.stop_service()
    session.wait_for_log("NetworkManager has left the bus.")
    restart_broker(session, testbed)
    session.probe(session.count())  # the recorder is back and the reload without NetworkManager is done
    since = session.count()
    testbed.nm.start_service()
    session.wait_for("modem/config", since=since)
    time.sleep(1.5)  # an added device would be reloaded after one second: let any such reload show
    republished = device_documents(session.probe(since))
    assert republished.count(("wifi/state", "wlan0")) == 1, republished
    assert republished.count(("modem/state", "cdc-wdm0")) == 1, republished
