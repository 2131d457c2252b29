#!/usr/bin/python3
"""Holds the simulated NetworkManager against the real NetworkManager 1.42.

The settings and activation calls the service makes (add, read settings and secrets, update, delete,
activate, add-and-activate, deactivate, calls on a profile that is gone, refusals) run against both daemons,
each on its own private bus. Every step records the shape of its reply (D-Bus types, dictionary keys) or the
D-Bus error name, the signals it caused and the device states it passed through; the records must be equal.
Where they differ, the simulator is wrong.

When the real daemon cannot run here (not root, not installed) the test is skipped (exit 77), except in CI
(`CI` set), where that is a failure.
"""

from __future__ import annotations

import os
import subprocess
import sys
import unittest
from typing import Any, Callable, Dict, List, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(os.path.dirname(HERE)))
sys.path.insert(0, HERE)

import dbus  # noqa: E402
import dbus.mainloop.glib  # noqa: E402
from gi.repository import GLib  # noqa: E402

from testbed.realnm import RealNetworkManager  # noqa: E402
from testbed.bus import PrivateBus  # noqa: E402
from testbed.nm import NetworkManagerSim, to_dbus_settings, unwrap  # noqa: E402
from testbed.process import wait_until  # noqa: E402

NM = "org.freedesktop.NetworkManager"
NM_PATH = "/org/freedesktop/NetworkManager"
SETTINGS_PATH = NM_PATH + "/Settings"
CONNECTION = NM + ".Settings.Connection"
DEVICE = NM + ".Device"
IFACE = "veth0"
NO_OBJECT = dbus.ObjectPath("/")
UNKNOWN_DEVICE = dbus.ObjectPath(NM_PATH + "/Devices/99")
UUID = "7b1c6e0a-3f2d-4c5b-9a8e-0000000000{:02x}"

_BASIC = {dbus.String: "s", dbus.ObjectPath: "o", dbus.Boolean: "b", dbus.Byte: "y", dbus.Int16: "n",
          dbus.UInt16: "q", dbus.Int32: "i", dbus.UInt32: "u", dbus.Int64: "x", dbus.UInt64: "t",
          dbus.Double: "d", dbus.Signature: "g"}


def signature(value: Any) -> str:
    """The D-Bus type of a received value."""
    if isinstance(value, dbus.Dictionary):
        return "a{" + value.signature + "}"
    if isinstance(value, dbus.Array):
        return "a" + value.signature
    if isinstance(value, dbus.Struct):
        return "(" + "".join(signature(v) for v in value) + ")"
    return _BASIC[type(value)]


def shape(value: Any) -> Any:
    """Types and keys of a reply, not its values: dictionaries keep their keys."""
    if isinstance(value, dbus.Dictionary):
        return {str(k): shape(v) for k, v in value.items()}
    if isinstance(value, tuple) and not isinstance(value, dbus.Struct):
        return [shape(v) for v in value]
    return signature(value)


def ethernet(name: str, address: str, uuid: int) -> dict:
    # autoconnect off: the real daemon would otherwise activate the profile on its own as soon as it is added
    return {"connection": {"id": name, "type": "802-3-ethernet", "uuid": UUID.format(uuid), "interface-name": IFACE,
                           "autoconnect": False},
            "ipv4": {"method": "manual", "address-data": [{"address": address, "prefix": 24}],
                     "gateway": "192.168.77.1", "dns": ["192.168.77.1"]},
            "ipv6": {"method": "disabled"}}


def wifi(name: str, mode: str, uuid: int, psk_flags: int = 0) -> dict:
    return {"connection": {"id": name, "type": "802-11-wireless", "uuid": UUID.format(uuid)},
            "802-11-wireless": {"ssid": name.encode(), "mode": mode},
            "802-11-wireless-security": {"key-mgmt": "wpa-psk", "psk": "secret123", "psk-flags": psk_flags},
            "ipv4": {"method": "shared" if mode == "ap" else "auto"}}


ADDRESS = [{"address": "10.0.0.5", "prefix": 24}]
MANUAL, SHARED = "manual, 10.0.0.5/24, dns 9.9.9.9, gateway 10.0.0.1", "shared, 10.42.0.1/24"
# The profile as read back after each method change that ipv4_probe makes (none refused, none left behind).
TRANSITIONS = [MANUAL, "auto, dns 9.9.9.9", SHARED, "link-local", MANUAL, "link-local", SHARED, MANUAL, SHARED,
               "auto", "link-local", "auto", MANUAL]

GSM = {"connection": {"id": "cellular", "type": "gsm", "uuid": UUID.format(4)},
       "gsm": {"apn": "internet", "username": "user", "password": "pw", "pin": "1234"}, "ipv4": {"method": "auto"}}


class Client:
    """Talks to whichever daemon owns the NetworkManager name on one bus, as the service does."""

    def __init__(self, address: str) -> None:
        self.bus = dbus.bus.BusConnection(address, mainloop=dbus.mainloop.glib.DBusGMainLoop())
        self.device = self.iface(NM_PATH, NM).GetDeviceByIpIface(IFACE)
        self.states: List[int] = []
        self.signals: List[Any] = []
        self.bus.add_signal_receiver(lambda new, _old, _reason: self.states.append(int(new)),
                                     signal_name="StateChanged", dbus_interface=DEVICE, path=self.device)
        self.bus.add_signal_receiver(self._on_signal, sender_keyword="sender", member_keyword="member",
                                     interface_keyword="interface")
        self.nm_owner = self.bus.get_name_owner(NM)

    def _on_signal(self, *args: Any, sender: str, member: str, interface: str) -> None:
        """Notes the daemon's own signals; property changes and object-manager noise are left out."""
        if sender != self.nm_owner or interface in (dbus.PROPERTIES_IFACE, "org.freedesktop.DBus.ObjectManager",
                                                    "org.freedesktop.DBus.Mock"):
            return
        if interface == NM + ".Connection.Active":
            self.signals.append((member, [int(a) for a in args]))
        elif interface not in (DEVICE, NM):
            self.signals.append(member)

    def sync(self) -> None:
        """Barrier: a call the daemon answers after what it sent before, with the signals delivered on the way."""
        done: List[bool] = []
        self.iface(NM_PATH, dbus.PROPERTIES_IFACE).Get(NM, "Version", reply_handler=lambda _v: done.append(True),
                                                       error_handler=lambda e: done.append(e))
        context = GLib.MainContext.default()
        while not done:
            context.iteration(True)

    def take(self, name: str) -> List[Any]:
        """The signals or states seen since the last call (`name` is "signals" or "states")."""
        self.sync()
        taken = getattr(self, name)
        setattr(self, name, [])
        return taken

    def iface(self, path: str, interface: str) -> dbus.Interface:
        return dbus.Interface(self.bus.get_object(NM, path, introspect=False), interface)

    def props(self, path: str, interface: str) -> dbus.Dictionary:
        return self.iface(path, dbus.PROPERTIES_IFACE).GetAll(interface)

    def prop(self, path: str, interface: str, name: str) -> Any:
        return self.iface(path, dbus.PROPERTIES_IFACE).Get(interface, name)

    def wait_state(self, state: int, timeout: float = 10.0) -> None:
        """Runs the signal loop until the device reports state (from its signal and its property)."""
        def reached() -> bool:
            self.sync()
            return self.states[-1:] == [state] and int(self.prop(self.device, DEVICE, "State")) == state
        wait_until(reached, timeout, f"device state {state}")


Outcome = Tuple[str, Any]


class Scenario:
    """The service's calls, step by step; each step's outcome is recorded under its name."""

    def __init__(self, client: Client) -> None:
        self.c = client
        self.outcomes: Dict[str, Outcome] = {}
        self.paths: Dict[str, Any] = {}

    def step(self, name: str, call: Callable[[], Any], keep: Callable[[Any], Any] = shape,
             signals: bool = False) -> Any:
        """Runs one call and records its outcome, and with `signals` the signals it caused."""
        self.c.take("signals")
        try:
            reply = call()
            self.outcomes[name] = ("ok", keep(reply) if reply is not None else None)
        except dbus.DBusException as e:
            self.outcomes[name] = ("error", e.get_dbus_name())
            reply = None
        if signals:
            self.record(f"{name} signals", self.c.take("signals"))
        return reply

    def need(self, name: str, call: Callable[[], Any], signals: bool = False) -> Any:
        """A step later steps build on: its failure ends the scenario."""
        reply = self.step(name, call, signals=signals)
        if self.outcomes[name][0] == "error":
            raise AssertionError(f"step '{name}' failed with {self.outcomes[name][1]}")
        return reply

    def record(self, name: str, value: Any) -> None:
        self.outcomes[name] = ("ok", value)

    def run(self) -> Dict[str, Outcome]:
        self.settings_and_secrets()
        self.activation()
        self.gone_profile_and_refusals()
        self.access_point_checks()
        c = self.c
        for name, path, interface in (
                ("manager", NM_PATH, NM), ("settings", SETTINGS_PATH, NM + ".Settings"),
                ("profile", self.paths["gsm"], CONNECTION), ("device", c.device, DEVICE),
                ("wired", c.device, DEVICE + ".Wired"), ("statistics", c.device, DEVICE + ".Statistics"),
                ("ip4 config", c.prop(c.device, DEVICE, "Ip4Config"), NM + ".IP4Config")):
            self.step(f"properties {name}", lambda p=path, i=interface: c.props(p, i))
        return self.outcomes

    def profile(self, name: str) -> dbus.Interface:
        return self.c.iface(self.paths[name], CONNECTION)

    def settings_and_secrets(self) -> None:
        settings = self.c.iface(SETTINGS_PATH, NM + ".Settings")
        for name, profile in (("ethernet", ethernet("wired", "192.168.77.2", 1)),
                              ("wifi", wifi("home", "infrastructure", 2)),
                              ("wifi agent-owned", wifi("guest", "infrastructure", 3, psk_flags=1)),
                              ("hotspot", wifi("hotspot", "ap", 5)), ("gsm", GSM)):
            self.paths[name] = self.need(f"add {name}", lambda p=profile: settings.AddConnection(to_dbus_settings(p)),
                                         signals=True)
        for name in ("ethernet", "wifi", "hotspot", "gsm"):
            self.step(f"settings {name}", lambda n=name: self.profile(n).GetSettings())
        for name, profile, setting in (("wifi", "wifi", "802-11-wireless-security"),
                                       ("wifi agent-owned", "wifi agent-owned", "802-11-wireless-security"),
                                       ("gsm", "gsm", "gsm"), ("ethernet ipv4", "ethernet", "ipv4"),
                                       ("ethernet missing setting", "ethernet", "802-11-wireless-security")):
            self.step(f"secrets {name}", lambda p=profile, s=setting: self.profile(p).GetSecrets(s), signals=True)
        wifi_secrets = lambda: self.profile("wifi").GetSecrets("802-11-wireless-security")  # noqa: E731
        values = lambda r: unwrap(r["802-11-wireless-security"])  # noqa: E731
        self.step("secrets wifi values", wifi_secrets, values)
        updated = to_dbus_settings(ethernet("wired", "192.168.77.3", 1))
        self.step("update ethernet", lambda: self.profile("ethernet").Update(updated), signals=True)
        self.step("settings after update", lambda: self.profile("ethernet").GetSettings(),
                  lambda r: unwrap(r["ipv4"]["address-data"]))
        without_key = wifi("home", "infrastructure", 2)
        del without_key["802-11-wireless-security"]["psk"]
        self.step("update wifi without key", lambda: self.profile("wifi").Update(to_dbus_settings(without_key)),
                  signals=True)
        self.step("secrets kept by update", wifi_secrets, values)
        self.step("list connections", lambda: settings.ListConnections())

    def activate(self, name: str, call: Callable[[], Any], state: int) -> Any:
        """An activation or deactivation step followed to the device state it ends in."""
        self.c.take("states")
        reply = self.need(name, call)
        self.c.wait_state(state)
        self.record(f"{name} signals", self.c.take("signals"))
        self.record(f"{name} states", self.c.take("states"))
        return reply

    def activation(self) -> None:
        c, manager = self.c, self.c.iface(NM_PATH, NM)
        active = self.activate("activate", lambda: manager.ActivateConnection(self.paths["ethernet"], c.device,
                                                                              NO_OBJECT), 100)
        self.record("activate ip4", unwrap(c.props(c.prop(c.device, DEVICE, "Ip4Config"), NM + ".IP4Config"))
                    ["AddressData"])
        self.record("activate device link", str(c.prop(c.device, DEVICE, "ActiveConnection")) == str(active))
        self.record("active state", int(c.prop(active, NM + ".Connection.Active", "State")))
        self.step("properties active connection", lambda: c.props(active, NM + ".Connection.Active"))
        self.activate("deactivate", lambda: manager.DeactivateConnection(active), 30)
        self.step("deactivate again", lambda: manager.DeactivateConnection(active))
        added = self.activate("add and activate", lambda: manager.AddAndActivateConnection(
            to_dbus_settings(ethernet("created", "192.168.77.4", 6)), c.device, NO_OBJECT), 100)
        self.step("settings of created", lambda: c.iface(added[0], CONNECTION).GetSettings())
        self.step("deactivate created", lambda: manager.DeactivateConnection(added[1]))
        c.wait_state(30)
        self.step("delete created", lambda: c.iface(added[0], CONNECTION).Delete())

    def gone_profile_and_refusals(self) -> None:
        c, manager, eth = self.c, self.c.iface(NM_PATH, NM), self.paths["ethernet"]
        settings = c.iface(SETTINGS_PATH, NM + ".Settings")
        self.step("delete", lambda: self.profile("ethernet").Delete(), signals=True)
        for name, call in (
                ("settings of deleted", lambda: self.profile("ethernet").GetSettings()),
                ("secrets of deleted", lambda: self.profile("ethernet").GetSecrets("ipv4")),
                ("update deleted", lambda: self.profile("ethernet").Update(to_dbus_settings(
                    ethernet("wired", "192.168.77.3", 1)))),
                ("delete deleted", lambda: self.profile("ethernet").Delete()),
                ("activate deleted", lambda: manager.ActivateConnection(eth, c.device, NO_OBJECT)),
                ("activate wifi on wired", lambda: manager.ActivateConnection(self.paths["wifi"], c.device,
                                                                              NO_OBJECT)),
                ("activate on unknown device", lambda: manager.ActivateConnection(self.paths["wifi"], UNKNOWN_DEVICE,
                                                                                  NO_OBJECT)),
                ("add and activate on unknown device", lambda: manager.AddAndActivateConnection(
                    to_dbus_settings(ethernet("x", "192.168.77.5", 7)), UNKNOWN_DEVICE, NO_OBJECT)),
                ("add without type", lambda: settings.AddConnection(to_dbus_settings(
                    {"connection": {"id": "broken", "uuid": UUID.format(8)}}))),
                ("add duplicate uuid", lambda: settings.AddConnection(to_dbus_settings(GSM))),
                ("add manual without address", lambda: settings.AddConnection(to_dbus_settings(
                    {"connection": {"id": "noaddr", "type": "802-3-ethernet", "uuid": UUID.format(9)},
                     "ipv4": {"method": "manual"}}))),
                ("update without id", lambda: self.profile("gsm").Update(to_dbus_settings(
                    {"connection": {"type": "gsm", "uuid": GSM["connection"]["uuid"]}}))),
                ("add wifi without its setting", lambda: settings.AddConnection(to_dbus_settings(
                    {"connection": {"id": "open", "type": "802-11-wireless", "uuid": UUID.format(10)}}))),
                ("connection by unknown uuid", lambda: settings.GetConnectionByUuid(UUID.format(0xff))),
                ("device by unknown interface", lambda: manager.GetDeviceByIpIface("nothere0")),
                ("wireless switch", lambda: c.iface(NM_PATH, dbus.PROPERTIES_IFACE).Set(
                    NM, "WirelessEnabled", dbus.Boolean(False, variant_level=1)))):
            self.step(name, call)
        for name, ipv4 in (("link-local with addresses", {"method": "link-local", "address-data": ADDRESS}),
                           ("disabled with addresses", {"method": "disabled", "address-data": ADDRESS}),
                           ("link-local with dns", {"method": "link-local", "dns": ["9.9.9.9"]}),
                           ("shared with dns", {"method": "shared", "address-data": ADDRESS, "dns": ["9.9.9.9"]}),
                           ("gateway without addresses", {"method": "auto", "gateway": "10.0.0.1"})):
            self.step(f"add {name}", lambda i=ipv4: settings.AddConnection(to_dbus_settings(
                {"connection": {"id": "refused", "type": "802-3-ethernet", "uuid": UUID.format(10)}, "ipv4": i})))
        self.record("wireless switch value", bool(c.prop(NM_PATH, NM, "WirelessEnabled")))

    def access_point_checks(self) -> None:
        """Which hotspot SSIDs, keys and channels the daemon takes (adding a profile checks the same)."""
        update, key = self.profile("hotspot").Update, "12345678"
        rows = [(ssid, "bg", 0, key) for ssid in ("ä" * 16, "x" * 33, "")]
        rows += [("ap", "bg", 0, psk) for psk in ("1234567", key, "ä" * 31 + "x", "ä" * 32, "aB3" * 21 + "f")]
        rows += [("ap", band, channel, key) for band, channel in (("bg", 14), ("bg", 36), ("a", 6), ("a", 196))]
        for ssid, band, channel, psk in rows:
            settings = wifi("ap", "ap", 5)
            settings["802-11-wireless"].update(ssid=ssid.encode(), band=band, channel=channel)
            settings["802-11-wireless-security"]["psk"] = psk
            self.step(f"access point {ssid} {band} {channel} {psk}", lambda: update(to_dbus_settings(settings)))


def run_scenario(address: str) -> Dict[str, Outcome]:
    client = Client(address)
    try:
        outcomes = Scenario(client).run()
    finally:
        client.bus.close()
    probe = subprocess.run([os.environ["CORVEX_IPV4_PROBE"]], env=dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=address),
                           stdout=subprocess.PIPE, text=True, timeout=60, check=True)
    outcomes["ipv4 transitions"] = ("ok", probe.stdout.splitlines())
    return outcomes


class ConformanceTest(unittest.TestCase):
    maxDiff = None

    def test_every_step_matches_the_real_daemon(self) -> None:
        with PrivateBus() as bus, RealNetworkManager(bus.address, IFACE) as real:
            try:
                expected = run_scenario(bus.address)
            except BaseException:
                sys.stderr.write(real.logs())
                raise
        with PrivateBus() as bus, NetworkManagerSim(bus.address) as sim:
            sim.add_ethernet(IFACE, "7A:06:EE:83:AE:F3")
            try:
                simulated = run_scenario(bus.address)
            except BaseException:
                sys.stderr.write(sim.logs())
                raise
        self.assertEqual(expected["ipv4 transitions"], ("ok", TRANSITIONS))
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
