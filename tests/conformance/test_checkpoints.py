"""Checkpoints on the real daemon and the simulator: overlap refused, destroy keeps, the timeout rolls back."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))

import dbus  # noqa: E402

from testbed.nm import to_dbus_settings, unwrap  # noqa: E402
from testbed.process import wait_until  # noqa: E402
from testbed.realnm import hold_simulator_to_daemon  # noqa: E402

NM, NM_PATH, U0, U2, ANY = "org.freedesktop.NetworkManager", "/org/freedesktop/NetworkManager", dbus.UInt32(0), \
    dbus.UInt32(2), dbus.ObjectPath("/")


def scenario(address):
    bus, seen = dbus.bus.BusConnection(address), {}
    call = lambda path, iface, method, *args: getattr(dbus.Interface(  # noqa: E731
        bus.get_object(NM, path, introspect=False), iface), method)(*args)
    prop = lambda path, iface, name: unwrap(call(path, dbus.PROPERTIES_IFACE, "Get", NM + iface, name))  # noqa: E731
    manager = lambda method, *args: call(NM_PATH, NM, method, *args)  # noqa: E731
    profile = lambda path, method, *args: call(path, NM + ".Settings.Connection", method, *args)  # noqa: E731
    ethernet = lambda name, address: to_dbus_settings({  # noqa: E731
        "connection": {"id": name, "type": "802-3-ethernet", "autoconnect": False}, "ipv6": {"method": "disabled"},
        "ipv4": {"method": "manual", "address-data": [{"address": address, "prefix": 24}]}})
    dev = manager("GetDeviceByIpIface", "veth0")

    def note(step):  # every profile's address, the device's active profile, the Wifi switch, the checkpoints
        active, profiles = prop(dev, ".Device", "ActiveConnection"), [unwrap(profile(p, "GetSettings")) for p in prop(
            NM_PATH + "/Settings", ".Settings", "Connections")]
        seen[step] = ({p["connection"]["id"]: p["ipv4"]["address-data"] for p in profiles
                       if p["connection"]["type"] != "loopback"}, active != "/" and prop(
            active, ".Connection.Active", "Id"), prop(NM_PATH, "", "WirelessEnabled"), prop(NM_PATH, "", "Checkpoints"))

    first = manager("AddAndActivateConnection", ethernet("A", "192.168.77.2"), dev, ANY)[0]
    wait_until(lambda: prop(dev, ".Device", "State") == 100, 10, "A active")
    kept = manager("CheckpointCreate", [dev], U0, U2)
    try:
        manager("CheckpointCreate", [dev], U0, U0)
    except dbus.DBusException as e:
        seen["overlap refused"] = (e.get_dbus_name(), e.get_dbus_message())
    profile(first, "Update", ethernet("A", "192.168.77.3"))
    manager("CheckpointDestroy", kept)
    note("destroy keeps the change")
    manager("CheckpointCreate", [dev], U2, U2)
    profile(first, "Update", ethernet("A", "192.168.77.4"))
    manager("AddAndActivateConnection", ethernet("new", "192.168.77.5"), dev, ANY)
    call(NM_PATH, dbus.PROPERTIES_IFACE, "Set", NM, "WirelessEnabled", dbus.Boolean(False, variant_level=1))
    wait_until(lambda: not prop(NM_PATH, "", "Checkpoints") and prop(dev, ".Device", "State") == 100, 10, "A again")
    note("rolled back at the timeout")
    return seen


if __name__ == "__main__":
    hold_simulator_to_daemon(scenario)
