#!/usr/bin/python3
"""Holds the simulated NetworkManager against the real NetworkManager 1.42: the calls the service makes run against
both, each on its own private bus, and each step's record (the shape of its reply or its D-Bus error name, the signals
and device states it caused) must be equal. When the real daemon cannot run here (not root, not installed) the test
is skipped (exit 77), except in CI (`CI` set), where that is a failure."""

from __future__ import annotations

import os
import subprocess
import sys
import unittest
from typing import Any, Callable, Dict, List

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))

import dbus  # noqa: E402
import dbus.mainloop.glib  # noqa: E402
from gi.repository import GLib  # noqa: E402

from testbed.realnm import RealNetworkManager  # noqa: E402
from testbed.bus import PrivateBus  # noqa: E402
from testbed.nm import NetworkManagerSim, to_dbus_settings, unwrap  # noqa: E402
from testbed.process import wait_until  # noqa: E402

NM, NM_PATH, IFACE = "org.freedesktop.NetworkManager", "/org/freedesktop/NetworkManager", "veth0"
SETTINGS, DEVICE, ACTIVE = NM + ".Settings", NM + ".Device", NM + ".Connection.Active"
CONNECTION, SETTINGS_PATH, SECURITY = SETTINGS + ".Connection", NM_PATH + "/Settings", "802-11-wireless-security"
NO_OBJECT, UNKNOWN_DEVICE = dbus.ObjectPath("/"), dbus.ObjectPath(NM_PATH + "/Devices/99")
UUID = "7b1c6e0a-3f2d-4c5b-9a8e-0000000000{:02x}"


def shape(value: Any) -> Any:
    """Types and keys of a reply, not its values: dictionaries keep their keys, arrays their element type."""
    if isinstance(value, dbus.Dictionary):
        return {str(k): shape(v) for k, v in value.items()}
    if isinstance(value, tuple):  # several return values, or a structure
        return [type(value).__name__] + [shape(v) for v in value]
    return type(value).__name__ + str(getattr(value, "signature", ""))


def ethernet(name: str, uuid: int, address: str = "", **ipv4: Any) -> dict:
    # autoconnect off: the real daemon would otherwise activate the profile on its own as soon as it is added
    return {"connection": {"id": name, "type": "802-3-ethernet", "uuid": UUID.format(uuid), "interface-name": IFACE,
                           "autoconnect": False},
            "ipv4": ipv4 or {"method": "manual", "address-data": [{"address": address, "prefix": 24}],
                             "gateway": "192.168.77.1", "dns": ["192.168.77.1"]}, "ipv6": {"method": "disabled"}}


def wifi(name: str, mode: str, uuid: int, psk_flags: int = 0, psk: Any = "secret123") -> dict:
    return {"connection": {"id": name, "type": "802-11-wireless", "uuid": UUID.format(uuid)},
            "802-11-wireless": {"ssid": name.encode(), "mode": mode},
            SECURITY: dict({"key-mgmt": "wpa-psk", "psk-flags": psk_flags}, **({"psk": psk} if psk else {})),
            "ipv4": {"method": "shared" if mode == "ap" else "auto"}}


ADDRESS = [{"address": "10.0.0.5", "prefix": 24}]
MANUAL, SHARED = "manual, 10.0.0.5/24, dns 9.9.9.9, gateway 10.0.0.1", "shared, 10.42.0.1/24"
# The profile as read back after each method change that ipv4_probe makes (none refused, none left behind).
TRANSITIONS = [MANUAL, "auto, dns 9.9.9.9", SHARED, "link-local", MANUAL, "link-local", SHARED, MANUAL, SHARED,
               "auto", "link-local", "auto", MANUAL]
GSM = {"connection": {"id": "cellular", "type": "gsm", "uuid": UUID.format(4)},
       "gsm": {"apn": "internet", "username": "user", "password": "pw", "pin": "1234"}, "ipv4": {"method": "auto"}}
# Profiles the daemon refuses to add, with the error name each gets.
REFUSED = {"without type": {"connection": {"id": "broken", "uuid": UUID.format(8)}}, "duplicate uuid": GSM,
           "wifi without its setting": {"connection": {"id": "open", "type": "802-11-wireless",
                                                       "uuid": UUID.format(10)}},
           "manual without address": ethernet("a", 9, method="manual"),
           "link-local with addresses": ethernet("b", 10, method="link-local", **{"address-data": ADDRESS}),
           "disabled with addresses": ethernet("c", 10, method="disabled", **{"address-data": ADDRESS}),
           "link-local with dns": ethernet("d", 10, method="link-local", dns=["9.9.9.9"]),
           "shared with dns": ethernet("e", 10, method="shared", dns=["9.9.9.9"], **{"address-data": ADDRESS}),
           "gateway without addresses": ethernet("f", 10, method="auto", gateway="10.0.0.1")}
# Access-point SSIDs, keys and channels (by band) the daemon takes or refuses.
ACCESS_POINTS = [(ssid, "bg", 0, "12345678") for ssid in ("ä" * 16, "x" * 33, "")] + \
    [("ap", "bg", 0, psk) for psk in ("1234567", "12345678", "ä" * 31 + "x", "ä" * 32, "aB3" * 21 + "f")] + \
    [("ap", band, channel, "12345678") for band, channel in (("bg", 14), ("bg", 36), ("a", 6), ("a", 196))]


class Run:
    """The service's calls on whichever daemon owns the NetworkManager name on one bus, each step's outcome
    recorded under its name."""

    def __init__(self, address: str) -> None:
        self.bus = dbus.bus.BusConnection(address, mainloop=dbus.mainloop.glib.DBusGMainLoop())
        self.owner, self.device = self.bus.get_name_owner(NM), self.iface(NM_PATH, NM).GetDeviceByIpIface(IFACE)
        self.states, self.signals, self.outcomes, self.paths = [], [], {}, {}
        self.bus.add_signal_receiver(lambda new, _old, _reason: self.states.append(int(new)),
                                     signal_name="StateChanged", dbus_interface=DEVICE, path=self.device)
        self.bus.add_signal_receiver(self.on_signal, sender_keyword="sender", member_keyword="member",
                                     interface_keyword="interface")

    def on_signal(self, *args: Any, sender: str, member: str, interface: str) -> None:
        """Notes the daemon's own signals; property changes, object-manager and mock noise are left out."""
        if sender == self.owner and interface == ACTIVE:
            self.signals.append((member, [int(a) for a in args]))
        elif sender == self.owner and interface not in (dbus.PROPERTIES_IFACE, "org.freedesktop.DBus.ObjectManager",
                                                        "org.freedesktop.DBus.Mock", DEVICE, NM):
            self.signals.append(member)

    def sync(self) -> None:
        """Barrier: a call the daemon answers after what it sent before, with the signals delivered on the way."""
        done: List[Any] = []
        self.iface(NM_PATH, dbus.PROPERTIES_IFACE).Get(NM, "Version", reply_handler=done.append,
                                                       error_handler=done.append)
        while not done:
            GLib.MainContext.default().iteration(True)

    def take(self, name: str) -> List[Any]:
        """The "signals" or "states" seen since the last take."""
        self.sync()
        taken = getattr(self, name)
        setattr(self, name, [])
        return taken

    def iface(self, path: str, interface: str) -> dbus.Interface:
        return dbus.Interface(self.bus.get_object(NM, path, introspect=False), interface)

    def prop(self, path: str, interface: str, name: str = "") -> Any:
        """One property, or all of the interface's without a name."""
        props = self.iface(path, dbus.PROPERTIES_IFACE)
        return props.Get(interface, name) if name else props.GetAll(interface)

    def step(self, name: str, call: Callable[[], Any], keep: Callable[[Any], Any] = shape, signals: bool = False,
             need: bool = False) -> Any:
        """Runs one call and records its outcome, with `signals` the signals it caused; with `need`, later steps
        build on it and its failure ends the run."""
        self.take("signals")
        try:
            reply = call()
            self.outcomes[name] = ("ok", None if reply is None else keep(reply))
        except dbus.DBusException as e:
            if need:
                raise AssertionError(f"step '{name}' failed with {e.get_dbus_name()}") from e
            reply, self.outcomes[name] = None, ("error", e.get_dbus_name())
        if signals:
            self.outcomes[name + " signals"] = self.take("signals")
        return reply

    def activate(self, name: str, call: Callable[[], Any], state: int) -> Any:
        """An activation or deactivation followed to the device state it ends in."""
        self.take("states")
        reply = self.step(name, call, need=True)
        self.wait_state(state)
        for kind in ("signals", "states"):
            self.outcomes[f"{name} {kind}"] = self.take(kind)
        return reply

    def wait_state(self, state: int) -> None:
        """Runs the signal loop until the device reports state, by its signal and its property."""
        wait_until(lambda: self.sync() or self.states[-1:] == [state] and int(self.prop(self.device, DEVICE, "State"))
                   == state, 10, f"device state {state}")

    def run(self) -> Dict[str, Any]:
        settings, manager, device = self.iface(SETTINGS_PATH, SETTINGS), self.iface(NM_PATH, NM), self.device
        profile = lambda name: self.iface(self.paths[name], CONNECTION)  # noqa: E731
        for name, p in (("ethernet", ethernet("wired", 1, "192.168.77.2")), ("wifi", wifi("home", "infrastructure", 2)),
                        ("wifi agent-owned", wifi("guest", "infrastructure", 3, psk_flags=1)),
                        ("hotspot", wifi("hotspot", "ap", 5)), ("gsm", GSM)):
            self.paths[name] = self.step("add " + name, lambda: settings.AddConnection(to_dbus_settings(p)),
                                         signals=True, need=True)
        for name in ("ethernet", "wifi", "hotspot", "gsm"):
            self.step("settings " + name, profile(name).GetSettings)
        for name, setting in (("wifi", SECURITY), ("wifi agent-owned", SECURITY), ("gsm", "gsm"),
                              ("ethernet", "ipv4"), ("ethernet", SECURITY)):
            self.step(f"secrets {name} {setting}", lambda: profile(name).GetSecrets(setting), signals=True)
        secrets = lambda: profile("wifi").GetSecrets(SECURITY)[SECURITY]  # noqa: E731
        self.step("secrets wifi values", secrets, unwrap)
        self.step("update ethernet", lambda: profile("ethernet").Update(to_dbus_settings(
            ethernet("wired", 1, "192.168.77.3"))), signals=True)
        self.step("settings after update", lambda: profile("ethernet").GetSettings()["ipv4"]["address-data"], unwrap)
        self.step("update wifi without key", lambda: profile("wifi").Update(to_dbus_settings(
            wifi("home", "infrastructure", 2, psk=None))), signals=True)
        self.step("secrets kept by update", secrets, unwrap)
        self.step("list connections", settings.ListConnections)

        active = self.activate("activate", lambda: manager.ActivateConnection(self.paths["ethernet"], device,
                                                                              NO_OBJECT), 100)
        self.outcomes["activate ip4"] = unwrap(self.prop(self.prop(device, DEVICE, "Ip4Config"), NM + ".IP4Config"))[
            "AddressData"]
        self.outcomes["activate links"] = (self.prop(device, DEVICE, "ActiveConnection") == active,
                                           int(self.prop(active, ACTIVE, "State")))
        self.step("properties active connection", lambda: self.prop(active, ACTIVE))
        self.activate("deactivate", lambda: manager.DeactivateConnection(active), 30)
        self.step("deactivate again", lambda: manager.DeactivateConnection(active))
        added = self.activate("add and activate", lambda: manager.AddAndActivateConnection(
            to_dbus_settings(ethernet("created", 6, "192.168.77.4")), device, NO_OBJECT), 100)
        self.step("settings of created", self.iface(added[0], CONNECTION).GetSettings)
        self.step("deactivate created", lambda: manager.DeactivateConnection(added[1]))
        self.wait_state(30)
        self.step("delete created", self.iface(added[0], CONNECTION).Delete)

        deleted = profile("ethernet")
        self.step("delete", deleted.Delete, signals=True)
        for name, call in {
                "settings of deleted": deleted.GetSettings, "secrets of deleted": lambda: deleted.GetSecrets("ipv4"),
                "update deleted": lambda: deleted.Update(to_dbus_settings(ethernet("wired", 1, "192.168.77.3"))),
                "delete deleted": deleted.Delete,
                "activate deleted": lambda: manager.ActivateConnection(self.paths["ethernet"], device, NO_OBJECT),
                "activate wifi on wired": lambda: manager.ActivateConnection(self.paths["wifi"], device, NO_OBJECT),
                "activate on unknown device": lambda: manager.ActivateConnection(self.paths["wifi"], UNKNOWN_DEVICE,
                                                                                 NO_OBJECT),
                "add and activate on unknown device": lambda: manager.AddAndActivateConnection(
                    to_dbus_settings(ethernet("x", 7, "192.168.77.5")), UNKNOWN_DEVICE, NO_OBJECT),
                "update without id": lambda: profile("gsm").Update(to_dbus_settings(
                    {"connection": {"type": "gsm", "uuid": GSM["connection"]["uuid"]}})),
                "connection by unknown uuid": lambda: settings.GetConnectionByUuid(UUID.format(0xff)),
                "device by unknown interface": lambda: manager.GetDeviceByIpIface("nothere0"),
                "wireless switch": lambda: self.iface(NM_PATH, dbus.PROPERTIES_IFACE).Set(
                    NM, "WirelessEnabled", dbus.Boolean(False, variant_level=1)),
                **{"add " + name: lambda p=p: settings.AddConnection(to_dbus_settings(p))
                   for name, p in REFUSED.items()}}.items():
            self.step(name, call)
        self.outcomes["wireless switch value"] = bool(self.prop(NM_PATH, NM, "WirelessEnabled"))
        for ssid, band, channel, psk in ACCESS_POINTS:  # adding a profile checks the same
            ap = wifi("ap", "ap", 5, psk=psk)
            ap["802-11-wireless"].update(ssid=ssid.encode(), band=band, channel=channel)
            self.step(f"access point {ssid} {band} {channel} {psk}",
                      lambda: profile("hotspot").Update(to_dbus_settings(ap)))

        for name, path, interface in (
                ("manager", NM_PATH, NM), ("settings", SETTINGS_PATH, SETTINGS),
                ("profile", self.paths["gsm"], CONNECTION), ("device", device, DEVICE),
                ("wired", device, DEVICE + ".Wired"), ("statistics", device, DEVICE + ".Statistics"),
                ("ip4 config", self.prop(device, DEVICE, "Ip4Config"), NM + ".IP4Config")):
            self.step("properties " + name, lambda: self.prop(path, interface))
        return self.outcomes


def run_scenario(address: str) -> Dict[str, Any]:
    run = Run(address)
    try:
        outcomes = run.run()
    finally:
        run.bus.close()
    probe = subprocess.run([os.environ["CORVEX_IPV4_PROBE"]], env=dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=address),
                           stdout=subprocess.PIPE, text=True, timeout=60, check=True)
    return dict(outcomes, **{"ipv4 transitions": probe.stdout.splitlines()})


class ConformanceTest(unittest.TestCase):
    maxDiff = None

    def test_every_step_matches_the_real_daemon(self) -> None:
        outcomes = []
        for start in (lambda address: RealNetworkManager(address, IFACE), NetworkManagerSim):
            with PrivateBus() as bus, start(bus.address) as daemon:
                if isinstance(daemon, NetworkManagerSim):
                    daemon.add_ethernet(IFACE, "7A:06:EE:83:AE:F3")
                try:
                    outcomes.append(run_scenario(bus.address))
                except BaseException:
                    sys.stderr.write(daemon.logs())
                    raise
        expected, simulated = outcomes
        self.assertEqual(expected["ipv4 transitions"], TRANSITIONS)
        self.assertEqual(list(expected), list(simulated))
        for step in expected:
            with self.subTest(step=step):
                self.assertEqual(expected[step], simulated[step])


if __name__ == "__main__":
    why_not = RealNetworkManager.available()
    if why_not:
        print(f"{'FAIL' if os.environ.get('CI') else 'SKIP'}: the real NetworkManager cannot run here: {why_not}")
        sys.exit(1 if os.environ.get("CI") else 77)
    sys.exit(0 if unittest.main(exit=False, verbosity=2).result.wasSuccessful() else 1)
