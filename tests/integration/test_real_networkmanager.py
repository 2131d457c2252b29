"""The network status against the real NetworkManager 1.42 in namespaces of its own: after activating a
manual profile, changing its address in place (Update, then Reapply on the device) and deactivating it, the
retained status says what the daemon says. Its veth device is skipped by the service; the status is not."""

from __future__ import annotations

import ipaddress
import os
import sys
from typing import Iterator

import dbus
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "conformance"))

from helpers import MqttRecorder, shared_service  # noqa: E402
from realnm import RealNetworkManager  # noqa: E402
from testbed.nm import to_dbus_settings  # noqa: E402
from testbed.process import wait_until  # noqa: E402

NM = "org.freedesktop.NetworkManager"
NM_PATH = "/org/freedesktop/NetworkManager"
ACTIVATED, DISCONNECTED = 100, 30
# NetworkManager's device states as the service maps them
MAPPED = {ACTIVATED: 4, DISCONNECTED: 1}


class Daemon:
    """The real NetworkManager as a client sees it on the bus."""

    def __init__(self, address: str) -> None:
        self.bus = dbus.bus.BusConnection(address)
        self.device = self.manager().GetDeviceByIpIface("veth0")

    def object(self, path: str, interface: str) -> dbus.Interface:
        return dbus.Interface(self.bus.get_object(NM, path, introspect=False), interface)

    def manager(self) -> dbus.Interface:
        return self.object(NM_PATH, NM)

    def props(self, path: str, interface: str) -> dbus.Dictionary:
        return self.object(path, dbus.PROPERTIES_IFACE).GetAll(interface)

    def ipv4(self, path: str) -> dict:
        props = self.props(path, NM + ".IP4Config") if path != "/" else {}
        doc = {}
        if props.get("AddressData"):
            first = props["AddressData"][0]
            network = ipaddress.ip_network(f"{first['address']}/{int(first['prefix'])}", strict=False)
            doc.update(address=str(first["address"]), netmask=str(network.netmask))
        doc.update({f"dns{i}": str(d["address"]) for i, d in enumerate(props.get("NameserverData", []))})
        doc["gateway"] = str(props.get("Gateway", ""))
        return doc

    def status(self) -> dict:
        """The members of the status document the daemon decides, read afresh."""
        nm = self.props(NM_PATH, NM)
        # The binding numbers the daemon's states 0, 10, ... 70 as 0 to 7.
        doc = {"state": int(nm["State"]) // 10, "connectivity": int(nm["Connectivity"]), "primaryConnection": None}
        primary = str(nm["PrimaryConnection"])
        if primary != "/":
            active = self.props(primary, NM + ".Connection.Active")
            state = int(self.props(self.device, NM + ".Device")["State"])
            doc["primaryConnection"] = {
                "interface": "veth0", "typeStr": "Veth", "state": MAPPED.get(state),
                "connectionName": str(active["Id"]), "ipv4": self.ipv4(str(active["Ip4Config"]))}
        return doc


def published(status: dict) -> dict:
    primary = status["primaryConnection"]
    kept = {k: primary[k] for k in ("interface", "typeStr", "state", "connectionName", "ipv4")} \
        if primary else None
    return {"state": status["state"], "connectivity": status["connectivity"], "primaryConnection": kept}


def profile(address: str) -> dbus.Dictionary:
    return to_dbus_settings({
        "connection": {"id": "static", "type": "802-3-ethernet", "interface-name": "veth0", "autoconnect": False,
                       "uuid": "5f0b3d1e-8a4c-4e2b-9c1d-7a6e5b4c3d21"},
        "ipv4": {"method": "manual", "address-data": [{"address": address, "prefix": 24}],
                 "gateway": "192.168.77.1", "dns": ["192.168.77.53"]},
        "ipv6": {"method": "disabled"}})


@pytest.fixture(scope="module")
def daemon(testbed) -> Iterator[Daemon]:
    reason = RealNetworkManager.available()
    if reason:
        pytest.skip(reason)
    testbed.nm.close()  # the real daemon takes the simulator's place on the bus
    with RealNetworkManager(testbed.bus_address) as real:
        try:
            yield Daemon(testbed.bus_address)
        except BaseException:
            print(real.logs())
            raise


def test_retained_status_follows_the_daemon(testbed, daemon, tmp_path) -> None:
    def settled(reached) -> None:
        """Once the daemon has reached a state and the service has published it, the retained status says it."""
        wait_until(lambda: reached(daemon.status()["primaryConnection"]), 10, "the daemon's new state")
        recorder.wait_for("status", lambda d: published(d) == daemon.status(), since=since)
        fresh = MqttRecorder(testbed.broker.port)
        try:
            assert published(fresh.wait_for("status").data) == daemon.status()
        finally:
            fresh.close()

    with shared_service(testbed, str(tmp_path)) as (_service, recorder):
        since = 0
        settled(lambda primary: primary is None)
        path = daemon.object(NM_PATH + "/Settings", NM + ".Settings").AddConnection(profile("192.168.77.2"))
        since = recorder.count()
        active = daemon.manager().ActivateConnection(path, daemon.device, dbus.ObjectPath("/"))
        settled(lambda primary: primary and primary["ipv4"].get("address") == "192.168.77.2")

        since = recorder.count()
        daemon.object(path, NM + ".Settings.Connection").Update(profile("192.168.77.3"))
        daemon.object(daemon.device, NM + ".Device").Reapply(dbus.Dictionary({}, signature="sa{sv}"),
                                                              dbus.UInt64(0), dbus.UInt32(0))
        settled(lambda primary: primary and primary["ipv4"].get("address") == "192.168.77.3")

        since = recorder.count()
        daemon.manager().DeactivateConnection(active)
        settled(lambda primary: primary is None)
