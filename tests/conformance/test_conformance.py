#!/usr/bin/python3
"""Holds the simulated NetworkManager against the real NetworkManager 1.42.

The same sequence of settings and activation calls that the service makes (add, read
settings, read secrets, update, delete, activate, add-and-activate, deactivate, calls on a
profile that is gone) runs against both daemons, each on its own private bus.  Every step
records either the shape of its reply (D-Bus types, dictionary keys) or the D-Bus error
name, plus the device states it passed through; the two records must be equal.  Where they
differ, the simulator is wrong.

Exit status 77 (skipped) when the real daemon cannot run here (not root, not installed).
"""

from __future__ import annotations

import os
import subprocess
import sys
import time
import unittest
from typing import Any, Callable, Dict, List, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(os.path.dirname(HERE)))
sys.path.insert(0, HERE)

import dbus  # noqa: E402
import dbus.mainloop.glib  # noqa: E402
from gi.repository import GLib  # noqa: E402

from realnm import RealNetworkManager  # noqa: E402
from testbed.bus import PrivateBus  # noqa: E402
from testbed.nm import NetworkManagerSim, to_dbus_settings, unwrap  # noqa: E402
from testbed.process import wait_until  # noqa: E402

NM = "org.freedesktop.NetworkManager"
NM_PATH = "/org/freedesktop/NetworkManager"
SETTINGS_PATH = NM_PATH + "/Settings"
CONNECTION = NM + ".Settings.Connection"
DEVICE = NM + ".Device"
IFACE = "veth0"
SKIPPED = 77
NO_OBJECT = dbus.ObjectPath("/")
UNKNOWN_DEVICE = dbus.ObjectPath(NM_PATH + "/Devices/99")

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


def ethernet(name: str, address: str, uuid: str) -> dict:
    # autoconnect off: the real daemon would otherwise activate the profile on its own as soon as it is added
    return {"connection": {"id": name, "type": "802-3-ethernet", "uuid": uuid, "interface-name": IFACE,
                           "autoconnect": False},
            "ipv4": {"method": "manual", "address-data": [{"address": address, "prefix": 24}],
                     "gateway": "192.168.77.1", "dns": ["192.168.77.1"]},
            "ipv6": {"method": "disabled"}}


def wifi(name: str, mode: str, uuid: str, psk_flags: int = 0) -> dict:
    return {"connection": {"id": name, "type": "802-11-wireless", "uuid": uuid},
            "802-11-wireless": {"ssid": name.encode(), "mode": mode},
            "802-11-wireless-security": {"key-mgmt": "wpa-psk", "psk": "secret123", "psk-flags": psk_flags},
            "ipv4": {"method": "shared" if mode == "ap" else "auto"}}


ADDRESS = [{"address": "10.0.0.5", "prefix": 24}]
MANUAL, SHARED = "manual, 10.0.0.5/24, dns 9.9.9.9, gateway 10.0.0.1", "shared, 10.42.0.1/24"
# The profile as read back after each method change that ipv4_probe makes (none refused, none left behind).
TRANSITIONS = [MANUAL, "auto, dns 9.9.9.9", SHARED, "link-local", MANUAL, "link-local", SHARED, MANUAL, SHARED,
               "auto", "link-local", "auto", MANUAL]

GSM = {"connection": {"id": "cellular", "type": "gsm", "uuid": "7b1c6e0a-3f2d-4c5b-9a8e-000000000004"},
       "gsm": {"apn": "internet", "username": "user", "password": "pw", "pin": "1234"},
       "ipv4": {"method": "auto"}}


class Client:
    """Talks to whichever daemon owns the NetworkManager name on one bus, as the service does."""

    def __init__(self, address: str) -> None:
        self.bus = dbus.bus.BusConnection(address, mainloop=dbus.mainloop.glib.DBusGMainLoop())
        self.device = self.manager().GetDeviceByIpIface(IFACE)
        self.states: List[int] = []
        self.signals: List[Any] = []
        self.bus.add_signal_receiver(lambda new, _old, _reason: self.states.append(int(new)),
                                     signal_name="StateChanged", dbus_interface=DEVICE, path=self.device)
        self.bus.add_signal_receiver(self._on_signal, sender_keyword="sender", member_keyword="member",
                                     interface_keyword="interface", path_keyword="path")
        self.nm_owner = self.bus.get_name_owner(NM)

    def _on_signal(self, *args: Any, sender: str, member: str, interface: str, path: str) -> None:
        """Notes the daemon's own signals; property changes and object-manager noise are left out."""
        if sender != self.nm_owner or interface in (dbus.PROPERTIES_IFACE, "org.freedesktop.DBus.ObjectManager",
                                                    "org.freedesktop.DBus.Mock"):
            return
        if interface == NM + ".Connection.Active":
            self.signals.append((member, [int(a) for a in args]))
        elif interface not in (DEVICE, NM):
            self.signals.append(member)

    def take_signals(self, settle: float = 0.05) -> List[Any]:
        """The signals seen since the last call, after letting late ones arrive."""
        context = GLib.MainContext.default()
        deadline = time.monotonic() + settle
        while True:
            while context.pending():
                context.iteration(False)
            if time.monotonic() >= deadline:
                break
            time.sleep(0.005)
        signals, self.signals = self.signals, []
        return signals

    def iface(self, path: str, interface: str) -> dbus.Interface:
        return dbus.Interface(self.bus.get_object(NM, path, introspect=False), interface)

    def manager(self) -> dbus.Interface:
        return self.iface(NM_PATH, NM)

    def settings(self) -> dbus.Interface:
        return self.iface(SETTINGS_PATH, NM + ".Settings")

    def profile(self, path: str) -> dbus.Interface:
        return self.iface(path, CONNECTION)

    def props(self, path: str, interface: str) -> dbus.Dictionary:
        return self.iface(path, dbus.PROPERTIES_IFACE).GetAll(interface)

    def prop(self, path: str, interface: str, name: str) -> Any:
        return self.iface(path, dbus.PROPERTIES_IFACE).Get(interface, name)

    def wait_state(self, state: int, timeout: float = 10.0) -> None:
        """Runs the signal loop until the device reports state (from its signal and its property)."""
        context = GLib.MainContext.default()

        def reached() -> bool:
            while context.pending():
                context.iteration(False)
            signalled = bool(self.states) and self.states[-1] == state
            return signalled and int(self.prop(self.device, DEVICE, "State")) == state
        wait_until(reached, timeout, f"device state {state}")

    def take_states(self) -> List[int]:
        states, self.states = self.states, []
        return states

    def close(self) -> None:
        self.bus.close()


Outcome = Tuple[str, Any]


class Scenario:
    """The service's calls, step by step; each step's outcome is recorded under its name."""

    def __init__(self, client: Client) -> None:
        self.c = client
        self.outcomes: Dict[str, Outcome] = {}
        self.paths: Dict[str, Any] = {}

    def step(self, name: str, call: Callable[[], Any], keep: Callable[[Any], Any] = shape) -> Any:
        self.c.take_signals(0)
        try:
            reply = call()
        except dbus.DBusException as e:
            self.outcomes[name] = ("error", e.get_dbus_name())
            return None
        self.outcomes[name] = ("ok", keep(reply) if reply is not None else None)
        return reply

    def signals(self, name: str) -> None:
        """Records the signals that the last step caused."""
        self.record(f"{name} signals", self.c.take_signals())

    def need(self, name: str, call: Callable[[], Any]) -> Any:
        """A step later steps build on: its failure ends the scenario."""
        try:
            return self.step(name, call)
        finally:
            if self.outcomes[name][0] == "error":
                raise AssertionError(f"step '{name}' failed with {self.outcomes[name][1]}")

    def record(self, name: str, value: Any) -> None:
        self.outcomes[name] = ("ok", value)

    def run(self) -> Dict[str, Outcome]:
        self.settings_and_secrets()
        self.activation()
        self.gone_profile()
        self.refusals()
        self.access_point_checks()
        self.object_properties()
        return self.outcomes

    def add(self, name: str, settings: dict) -> str:
        path = self.need(f"add {name}", lambda: self.c.settings().AddConnection(to_dbus_settings(settings)))
        self.signals(f"add {name}")
        self.paths[name] = path
        return path

    def settings_and_secrets(self) -> None:
        c = self.c
        eth = self.add("ethernet", ethernet("wired", "192.168.77.2", "7b1c6e0a-3f2d-4c5b-9a8e-000000000001"))
        psk = self.add("wifi", wifi("home", "infrastructure", "7b1c6e0a-3f2d-4c5b-9a8e-000000000002"))
        agent = self.add("wifi agent-owned", wifi("guest", "infrastructure",
                                                  "7b1c6e0a-3f2d-4c5b-9a8e-000000000003", psk_flags=1))
        hotspot = self.add("hotspot", wifi("hotspot", "ap", "7b1c6e0a-3f2d-4c5b-9a8e-000000000005"))
        gsm = self.add("gsm", GSM)
        for name, path in (("ethernet", eth), ("wifi", psk), ("hotspot", hotspot), ("gsm", gsm)):
            self.step(f"settings {name}", lambda p=path: c.profile(p).GetSettings())
        for name, path, setting in (("wifi", psk, "802-11-wireless-security"),
                                    ("wifi agent-owned", agent, "802-11-wireless-security"),
                                    ("gsm", gsm, "gsm"), ("ethernet ipv4", eth, "ipv4"),
                                    ("ethernet missing setting", eth, "802-11-wireless-security")):
            self.step(f"secrets {name}", lambda p=path, s=setting: c.profile(p).GetSecrets(s))
            self.signals(f"secrets {name}")
        self.step("secrets wifi values", lambda: c.profile(psk).GetSecrets("802-11-wireless-security"),
                  lambda r: unwrap(r["802-11-wireless-security"]))
        updated = ethernet("wired", "192.168.77.3", "7b1c6e0a-3f2d-4c5b-9a8e-000000000001")
        self.step("update ethernet", lambda: c.profile(eth).Update(to_dbus_settings(updated)))
        self.signals("update ethernet")
        self.step("settings after update", lambda: c.profile(eth).GetSettings(),
                  lambda r: unwrap(r["ipv4"]["address-data"]))
        without_key = wifi("home", "infrastructure", "7b1c6e0a-3f2d-4c5b-9a8e-000000000002")
        del without_key["802-11-wireless-security"]["psk"]
        self.step("update wifi without key", lambda: c.profile(psk).Update(to_dbus_settings(without_key)))
        self.signals("update wifi without key")
        self.step("secrets kept by update", lambda: c.profile(psk).GetSecrets("802-11-wireless-security"),
                  lambda r: unwrap(r["802-11-wireless-security"]))
        self.step("list connections", lambda: c.settings().ListConnections())

    def activation(self) -> None:
        c, eth = self.c, self.paths["ethernet"]
        c.take_states()
        active = self.need("activate", lambda: c.manager().ActivateConnection(eth, c.device, NO_OBJECT))
        c.wait_state(100)
        self.signals("activate")
        self.record("activate states", c.take_states())
        self.record("activate ip4", unwrap(c.props(c.prop(c.device, DEVICE, "Ip4Config"), NM + ".IP4Config"))
                    ["AddressData"])
        self.record("activate device link", str(c.prop(c.device, DEVICE, "ActiveConnection")) == str(active))
        self.record("active state", int(c.prop(active, NM + ".Connection.Active", "State")))
        self.paths["active"] = active
        self.object_shape("active connection", active, NM + ".Connection.Active")
        self.step("deactivate", lambda: c.manager().DeactivateConnection(active))
        c.wait_state(30)
        self.signals("deactivate")
        self.record("deactivate states", c.take_states())
        self.step("deactivate again", lambda: c.manager().DeactivateConnection(active))
        added = self.need("add and activate", lambda: c.manager().AddAndActivateConnection(
            to_dbus_settings(ethernet("created", "192.168.77.4", "7b1c6e0a-3f2d-4c5b-9a8e-000000000006")),
            c.device, NO_OBJECT))
        c.wait_state(100)
        self.signals("add and activate")
        self.record("add and activate states", c.take_states())
        self.step("settings of created", lambda: c.profile(added[0]).GetSettings())
        self.step("deactivate created", lambda: c.manager().DeactivateConnection(added[1]))
        c.wait_state(30)
        self.step("delete created", lambda: c.profile(added[0]).Delete())

    def gone_profile(self) -> None:
        c, eth = self.c, self.paths["ethernet"]
        self.step("delete", lambda: c.profile(eth).Delete())
        self.signals("delete")
        self.step("settings of deleted", lambda: c.profile(eth).GetSettings())
        self.step("secrets of deleted", lambda: c.profile(eth).GetSecrets("ipv4"))
        self.step("update deleted", lambda: c.profile(eth).Update(to_dbus_settings(
            ethernet("wired", "192.168.77.3", "7b1c6e0a-3f2d-4c5b-9a8e-000000000001"))))
        self.step("delete deleted", lambda: c.profile(eth).Delete())
        self.step("activate deleted", lambda: c.manager().ActivateConnection(eth, c.device, NO_OBJECT))

    def refusals(self) -> None:
        c = self.c
        self.step("activate wifi on wired",
                  lambda: c.manager().ActivateConnection(self.paths["wifi"], c.device, NO_OBJECT))
        self.step("activate on unknown device", lambda: c.manager().ActivateConnection(
            self.paths["wifi"], UNKNOWN_DEVICE, NO_OBJECT))
        self.step("add and activate on unknown device", lambda: c.manager().AddAndActivateConnection(
            to_dbus_settings(ethernet("x", "192.168.77.5", "7b1c6e0a-3f2d-4c5b-9a8e-000000000007")),
            UNKNOWN_DEVICE, NO_OBJECT))
        self.step("add without type", lambda: c.settings().AddConnection(to_dbus_settings(
            {"connection": {"id": "broken", "uuid": "7b1c6e0a-3f2d-4c5b-9a8e-000000000008"}})))
        self.step("add duplicate uuid", lambda: c.settings().AddConnection(to_dbus_settings(GSM)))
        self.step("add manual without address", lambda: c.settings().AddConnection(to_dbus_settings(
            {"connection": {"id": "noaddr", "type": "802-3-ethernet", "uuid": "7b1c6e0a-3f2d-4c5b-9a8e-000000000009"},
             "ipv4": {"method": "manual"}})))
        self.step("update without id", lambda: c.profile(self.paths["gsm"]).Update(to_dbus_settings(
            {"connection": {"type": "gsm", "uuid": GSM["connection"]["uuid"]}})))
        refused = "7b1c6e0a-3f2d-4c5b-9a8e-000000000010"
        self.step("add wifi without its setting", lambda: c.settings().AddConnection(to_dbus_settings(
            {"connection": {"id": "open", "type": "802-11-wireless", "uuid": refused}})))
        for name, ipv4 in (("link-local with addresses", {"method": "link-local", "address-data": ADDRESS}),
                           ("disabled with addresses", {"method": "disabled", "address-data": ADDRESS}),
                           ("link-local with dns", {"method": "link-local", "dns": ["9.9.9.9"]}),
                           ("shared with dns", {"method": "shared", "address-data": ADDRESS, "dns": ["9.9.9.9"]}),
                           ("gateway without addresses", {"method": "auto", "gateway": "10.0.0.1"})):
            self.step(f"add {name}", lambda i=ipv4: c.settings().AddConnection(to_dbus_settings(
                {"connection": {"id": "refused", "type": "802-3-ethernet", "uuid": refused}, "ipv4": i})))
        self.step("connection by unknown uuid", lambda: c.settings().GetConnectionByUuid(
            "7b1c6e0a-3f2d-4c5b-9a8e-0000000000ff"))
        self.step("device by unknown interface", lambda: c.manager().GetDeviceByIpIface("nothere0"))
        self.step("wireless switch", lambda: c.iface(NM_PATH, dbus.PROPERTIES_IFACE).Set(
            NM, "WirelessEnabled", dbus.Boolean(False, variant_level=1)))
        self.record("wireless switch value", bool(c.prop(NM_PATH, NM, "WirelessEnabled")))

    def access_point_checks(self) -> None:
        """Which hotspot SSIDs, keys and channels the daemon takes (adding a profile checks the same)."""
        update, key = self.c.profile(self.paths["hotspot"]).Update, "12345678"
        rows = [(ssid, "bg", 0, key) for ssid in ("ä" * 16, "x" * 33, "")]
        rows += [("ap", "bg", 0, psk) for psk in ("1234567", key, "ä" * 31 + "x", "ä" * 32, "aB3" * 21 + "f")]
        rows += [("ap", band, channel, key) for band, channel in (("bg", 14), ("bg", 36), ("a", 6), ("a", 196))]
        for ssid, band, channel, psk in rows:
            settings = wifi("ap", "ap", "7b1c6e0a-3f2d-4c5b-9a8e-000000000005")
            settings["802-11-wireless"].update(ssid=ssid.encode(), band=band, channel=channel)
            settings["802-11-wireless-security"]["psk"] = psk
            self.step(f"access point {ssid} {band} {channel} {psk}", lambda: update(to_dbus_settings(settings)))

    def object_shape(self, name: str, path: str, interface: str) -> None:
        self.step(f"properties {name}", lambda: self.c.props(path, interface))

    def object_properties(self) -> None:
        c = self.c
        for name, path, interface in (
                ("manager", NM_PATH, NM), ("settings", SETTINGS_PATH, NM + ".Settings"),
                ("profile", self.paths["gsm"], CONNECTION), ("device", c.device, DEVICE),
                ("wired", c.device, DEVICE + ".Wired"), ("statistics", c.device, DEVICE + ".Statistics"),
                ("ip4 config", c.prop(c.device, DEVICE, "Ip4Config"), NM + ".IP4Config")):
            self.object_shape(name, path, interface)


def run_scenario(address: str) -> Dict[str, Outcome]:
    client = Client(address)
    try:
        outcomes = Scenario(client).run()
    finally:
        client.close()
    probe = subprocess.run([os.environ["CORVEX_IPV4_PROBE"]], env=dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=address),
                           stdout=subprocess.PIPE, text=True, timeout=60, check=True)
    outcomes["ipv4 transitions"] = ("ok", probe.stdout.splitlines())
    return outcomes


class ConformanceTest(unittest.TestCase):
    maxDiff = None
    real: Dict[str, Outcome] = {}
    simulated: Dict[str, Outcome] = {}

    @classmethod
    def setUpClass(cls) -> None:
        with PrivateBus() as bus, RealNetworkManager(bus.address, IFACE) as real:
            try:
                cls.real = run_scenario(bus.address)
            except BaseException:
                sys.stderr.write(real.logs())
                raise
        with PrivateBus() as bus, NetworkManagerSim(bus.address) as sim:
            sim.add_ethernet(IFACE, "7A:06:EE:83:AE:F3")
            try:
                cls.simulated = run_scenario(bus.address)
            except BaseException:
                sys.stderr.write(sim.logs())
                raise

    def test_ipv4_transitions_leave_the_configured_addressing(self) -> None:
        self.assertEqual(self.real["ipv4 transitions"], ("ok", TRANSITIONS))

    def test_every_step_matches_the_real_daemon(self) -> None:
        self.assertEqual(set(self.real), set(self.simulated))
        for step in self.real:
            with self.subTest(step=step):
                self.assertEqual(self.real[step], self.simulated[step])


if __name__ == "__main__":
    why_not = RealNetworkManager.available()
    if why_not:
        print(f"SKIP: the real NetworkManager cannot run here: {why_not}")
        sys.exit(SKIPPED)
    result = unittest.main(exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() else 1)
