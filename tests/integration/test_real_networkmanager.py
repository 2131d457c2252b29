"""The retained status against the real NetworkManager in namespaces of its own."""

import dbus
import pytest

from helpers import MqttRecorder, shared_service
from testbed.nm import BUS_NAME as NM, NM_PATH, to_dbus_settings
from testbed.realnm import RealNetworkManager


def call(bus, path: str, interface: str, method: str, *args):
    return getattr(dbus.Interface(bus.get_object(NM, path, introspect=False), interface), method)(*args)


def published(status: dict) -> dict:
    primary = status["primaryConnection"]
    return {"state": status["state"], "connectivity": status["connectivity"], "primaryConnection": primary and {
        k: primary[k] for k in ("interface", "typeStr", "state", "connectionName", "ipv4")}}


def test_retained_status_follows_the_daemon(testbed, tmp_path) -> None:
    if RealNetworkManager.available():
        pytest.skip(RealNetworkManager.available())
    testbed.nm.close()  # the real daemon takes the simulator's place on the bus
    with RealNetworkManager(testbed.bus_address), shared_service(testbed, str(tmp_path)) as (_, recorder):
        bus = dbus.bus.BusConnection(testbed.bus_address)
        device, active, none = call(bus, NM_PATH, NM, "GetDeviceByIpIface", "veth0"), [], dbus.ObjectPath("/")
        profiles = [to_dbus_settings({
            "connection": {"id": "static", "type": "802-3-ethernet", "interface-name": "veth0", "autoconnect": False},
            "ipv4": {"method": "manual", "address-data": [{"address": f"192.168.77.{host}", "prefix": 24}],
                     "gateway": "192.168.77.1", "dns": ["192.168.77.53"]}, "ipv6": {"method": "disabled"}})
            for host in (2, 3)]
        path = call(bus, NM_PATH + "/Settings", NM + ".Settings", "AddConnection", profiles[0])
        steps = [(lambda: active.append(call(bus, NM_PATH, NM, "ActivateConnection", path, device, none)), 2),
                 (lambda: (call(bus, path, NM + ".Settings.Connection", "Update", profiles[1]),
                           call(bus, device, NM + ".Device", "Reapply", dbus.Dictionary({}, signature="sa{sv}"),
                                dbus.UInt64(0), dbus.UInt32(0))), 3),
                 (lambda: call(bus, NM_PATH, NM, "DeactivateConnection", active[0]), None)]
        for action, host in steps:
            since = recorder.count()
            action()
            primary = host and {"interface": "veth0", "typeStr": "Veth", "state": 4, "connectionName": "static",
                                "ipv4": {"address": f"192.168.77.{host}", "netmask": "255.255.255.0",
                                         "gateway": "192.168.77.1", "dns0": "192.168.77.53"}}

            def expected() -> dict:  # the daemon's state (the binding numbers them 0 to 7) and the connection
                daemon = call(bus, NM_PATH, dbus.PROPERTIES_IFACE, "GetAll", NM)
                return {"state": daemon["State"] // 10, "connectivity": daemon["Connectivity"],
                        "primaryConnection": primary}
            recorder.wait_for("status", lambda d: published(d) == expected(), since=since)
            fresh = MqttRecorder(testbed.broker.port)
            assert published(fresh.wait_for("status").data) == expected()
            fresh.close()
