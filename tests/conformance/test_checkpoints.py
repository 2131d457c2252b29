#!/usr/bin/python3
"""Checkpoints on the simulated NetworkManager against the real one on a veth device: refusal of an overlap,
destroy keeping a change, and a timeout that restores the active profile, deletes a new one and leaves the
global Wifi switch off. Without root: skipped (77), a failure where CI is set."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))

import dbus  # noqa: E402

from testbed.bus import PrivateBus  # noqa: E402
from testbed.nm import NetworkManagerSim, to_dbus_settings, unwrap  # noqa: E402
from testbed.process import wait_until  # noqa: E402
from testbed.realnm import RealNetworkManager  # noqa: E402

NM, NM_PATH, IFACE = "org.freedesktop.NetworkManager", "/org/freedesktop/NetworkManager", "veth0"
SETTINGS, SETTINGS_PATH = NM + ".Settings", NM_PATH + "/Settings"


def profile(name, address):
    return to_dbus_settings({"connection": {"id": name, "type": "802-3-ethernet", "interface-name": IFACE,
                                            "autoconnect": False}, "ipv6": {"method": "disabled"},
                             "ipv4": {"method": "manual", "address-data": [{"address": address, "prefix": 24}]}})


def scenario(address):
    bus = dbus.bus.BusConnection(address)
    call = lambda path, iface, method, *args: getattr(  # noqa: E731
        dbus.Interface(bus.get_object(NM, path, introspect=False), iface), method)(*args)
    prop = lambda path, iface, name: unwrap(call(path, dbus.PROPERTIES_IFACE, "Get", iface, name))  # noqa: E731
    dev, seen = call(NM_PATH, NM, "GetDeviceByIpIface", IFACE), {}

    def state(step):  # every profile's address, the device's active profile, the Wifi switch, the checkpoints
        wait_until(lambda: prop(dev, NM + ".Device", "State") in (30, 100), 10, "a settled device")
        active = prop(dev, NM + ".Device", "ActiveConnection")
        profiles = [unwrap(call(p, SETTINGS + ".Connection", "GetSettings"))
                    for p in prop(SETTINGS_PATH, SETTINGS, "Connections")]
        seen[step] = ({p["connection"]["id"]: p["ipv4"]["address-data"] for p in profiles
                       if p["connection"]["type"] != "loopback"},
                      active != "/" and prop(active, NM + ".Connection.Active", "Id"),
                      prop(NM_PATH, NM, "WirelessEnabled"), len(prop(NM_PATH, NM, "Checkpoints")))

    def attempt(step, *args):
        try:
            return call(NM_PATH, NM, *args)
        except dbus.DBusException as e:
            seen[step] = (e.get_dbus_name(), e.get_dbus_message())

    first = call(SETTINGS_PATH, SETTINGS, "AddConnection", profile("A", "192.168.77.2"))
    call(NM_PATH, NM, "ActivateConnection", first, dev, dbus.ObjectPath("/"))
    wait_until(lambda: prop(dev, NM + ".Device", "State") == 100, 10, "A active")
    kept = call(NM_PATH, NM, "CheckpointCreate", [dev], dbus.UInt32(0), dbus.UInt32(2))
    seen["object"] = {k: prop(kept, NM + ".Checkpoint", k) == v for k, v in (("Devices", [dev]), ("RollbackTimeout", 0))}
    attempt("overlap", "CheckpointCreate", [dev], dbus.UInt32(0), dbus.UInt32(0))
    call(NM_PATH, NM, "CheckpointDestroy", attempt("overlap allowed", "CheckpointCreate", [dev], dbus.UInt32(0), dbus.UInt32(8)))
    call(first, SETTINGS + ".Connection", "Update", profile("A", "192.168.77.3"))
    call(NM_PATH, NM, "CheckpointDestroy", kept)
    state("destroy keeps the change")
    window = call(NM_PATH, NM, "CheckpointCreate", [dev], dbus.UInt32(2), dbus.UInt32(2))
    call(first, SETTINGS + ".Connection", "Update", profile("A", "192.168.77.4"))
    call(NM_PATH, NM, "ActivateConnection", call(SETTINGS_PATH, SETTINGS, "AddConnection", profile(
        "new", "192.168.77.5")), dev, dbus.ObjectPath("/"))
    call(NM_PATH, dbus.PROPERTIES_IFACE, "Set", NM, "WirelessEnabled", dbus.Boolean(False, variant_level=1))
    state("changed in the window")
    wait_until(lambda: not prop(NM_PATH, NM, "Checkpoints"), 10, "the rollback")
    state("rolled back at the timeout")
    attempt("destroy after the rollback", "CheckpointDestroy", window)
    return seen


if __name__ == "__main__":
    if RealNetworkManager.available():
        print(f"{'FAIL' if os.environ.get('CI') else 'SKIP'}: {RealNetworkManager.available()}")
        sys.exit(1 if os.environ.get("CI") else 77)
    with PrivateBus() as bus, RealNetworkManager(bus.address, IFACE) as real:
        expected = scenario(bus.address)
    with PrivateBus() as bus, NetworkManagerSim(bus.address) as sim:
        sim.add_ethernet(IFACE, "7A:06:EE:83:AE:F3")
        simulated = scenario(bus.address)
    print("\n".join(f"{k}:\n  real      {v}\n  simulated {simulated.get(k)}" for k, v in expected.items()))
    sys.exit(0 if expected == simulated else 1)
