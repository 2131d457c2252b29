"""The retained status against the real NetworkManager 1.42 in namespaces of its own, after activating a
manual profile, changing its address in place (Update, then Reapply) and deactivating it."""

from __future__ import annotations

import ipaddress

import dbus
import pytest

from helpers import MqttRecorder, shared_service
from testbed.nm import to_dbus_settings
from testbed.process import wait_until
from testbed.realnm import RealNetworkManager

NM, NM_PATH = "org.freedesktop.NetworkManager", "/org/freedesktop/NetworkManager"


def call(bus, path: str, interface: str, method: str, *args):
    return getattr(dbus.Interface(bus.get_object(NM, path, introspect=False), interface), method)(*args)


def daemon_status(bus, device: str) -> dict:
    """What the status document must say, read from the daemon (the binding numbers its states 0 to 7)."""
    nm = call(bus, NM_PATH, dbus.PROPERTIES_IFACE, "GetAll", NM)
    status = {"state": nm["State"] // 10, "connectivity": nm["Connectivity"], "primaryConnection": None}
    if nm["PrimaryConnection"] != "/":
        active = call(bus, nm["PrimaryConnection"], dbus.PROPERTIES_IFACE, "GetAll", NM + ".Connection.Active")
        ip4 = call(bus, active["Ip4Config"], dbus.PROPERTIES_IFACE, "GetAll", NM + ".IP4Config") \
            if active["Ip4Config"] != "/" else {}
        ipv4 = {"gateway": ip4.get("Gateway", ""), **{f"dns{i}": d["address"] for i, d in enumerate(
            ip4.get("NameserverData", []))}}
        for first in ip4.get("AddressData", [])[:1]:
            net = ipaddress.ip_interface(f"{first['address']}/{first['prefix']}")
            ipv4.update(address=str(net.ip), netmask=str(net.netmask))
        activated = call(bus, device, dbus.PROPERTIES_IFACE, "Get", NM + ".Device", "State") == 100
        status["primaryConnection"] = {"interface": "veth0", "typeStr": "Veth", "state": 4 if activated else 3,
                                       "connectionName": active["Id"], "ipv4": ipv4}
    return status


def published(status: dict) -> dict:
    primary = status["primaryConnection"]
    return {**{k: status[k] for k in ("state", "connectivity")}, "primaryConnection": primary and {
        k: primary[k] for k in ("interface", "typeStr", "state", "connectionName", "ipv4")}}


def profile(address: str) -> dbus.Dictionary:
    return to_dbus_settings({
        "connection": {"id": "static", "type": "802-3-ethernet", "interface-name": "veth0", "autoconnect": False},
        "ipv4": {"method": "manual", "address-data": [{"address": address, "prefix": 24}],
                 "gateway": "192.168.77.1", "dns": ["192.168.77.53"]},
        "ipv6": {"method": "disabled"}})


def test_retained_status_follows_the_daemon(testbed, tmp_path) -> None:
    if RealNetworkManager.available():
        pytest.skip(RealNetworkManager.available())
    testbed.nm.close()  # the real daemon takes the simulator's place on the bus
    with RealNetworkManager(testbed.bus_address), shared_service(testbed, str(tmp_path)) as (_, recorder):
        bus = dbus.bus.BusConnection(testbed.bus_address)
        device = call(bus, NM_PATH, NM, "GetDeviceByIpIface", "veth0")

        def step(action, address) -> None:
            """After the action, once the daemon shows the address (None: no primary connection) and the service
            has published that, the retained status says it too."""
            since = recorder.count()
            action()
            wait_until(lambda: (daemon_status(bus, device)["primaryConnection"] or {"ipv4": {}})["ipv4"].get(
                "address") == address, 10, f"the daemon at {address}")
            recorder.wait_for("status", lambda d: published(d) == daemon_status(bus, device), since=since)
            fresh = MqttRecorder(testbed.broker.port)
            assert published(fresh.wait_for("status").data) == daemon_status(bus, device)
            fresh.close()

        path = call(bus, NM_PATH + "/Settings", NM + ".Settings", "AddConnection", profile("192.168.77.2"))
        active = []
        step(lambda: active.append(call(bus, NM_PATH, NM, "ActivateConnection", path, device, dbus.ObjectPath("/"))), "192.168.77.2")
        step(lambda: (call(bus, path, NM + ".Settings.Connection", "Update", profile("192.168.77.3")),
                      call(bus, device, NM + ".Device", "Reapply", dbus.Dictionary({}, signature="sa{sv}"),
                           dbus.UInt64(0), dbus.UInt32(0))), "192.168.77.3")
        step(lambda: call(bus, NM_PATH, NM, "DeactivateConnection", active[0]), None)
