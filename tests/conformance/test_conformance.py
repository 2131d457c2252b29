#!/usr/bin/python3
"""Holds the simulated NetworkManager against the real NetworkManager 1.42: the service's calls run against both, each
on a private bus, and each step's record (its reply's shape or D-Bus error name, the signals and device states it
caused) must be equal. Without root or the daemon: skipped (exit 77), but in CI (`CI` set) that is a failure."""

import os
import subprocess
import sys
from typing import Any, Callable, Dict, List

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))

import dbus  # noqa: E402
import dbus.mainloop.glib  # noqa: E402
from gi.repository import GLib  # noqa: E402

from testbed.bus import PrivateBus  # noqa: E402
from testbed.nm import NetworkManagerSim, to_dbus_settings, unwrap  # noqa: E402
from testbed.process import wait_until  # noqa: E402
from testbed.realnm import RealNetworkManager  # noqa: E402

NM, NM_PATH, IFACE = "org.freedesktop.NetworkManager", "/org/freedesktop/NetworkManager", "veth0"
SETTINGS, DEVICE, ACTIVE = NM + ".Settings", NM + ".Device", NM + ".Connection.Active"
CONNECTION, SETTINGS_PATH, SECURITY = SETTINGS + ".Connection", NM_PATH + "/Settings", "802-11-wireless-security"
NO_OBJECT = dbus.ObjectPath("/")
UUID = "7b1c6e0a-3f2d-4c5b-9a8e-0000000000{:02x}"


def shape(value: Any) -> Any:
    """Types and keys of a reply, not its values: dictionaries keep their keys, arrays their element type."""
    if isinstance(value, dbus.Dictionary):
        return {str(k): shape(v) for k, v in value.items()}
    if isinstance(value, tuple):  # several return values, or a structure
        return [type(value).__name__] + [shape(v) for v in value]
    return type(value).__name__ + str(getattr(value, "signature", ""))


def ethernet(name: str, uuid: int, address: str = "", **ipv4: Any) -> Any:
    # autoconnect off: the real daemon would otherwise activate the profile on its own as soon as it is added
    return to_dbus_settings({
        "connection": {"id": name, "type": "802-3-ethernet", "uuid": UUID.format(uuid), "interface-name": IFACE,
                       "autoconnect": False}, "ipv6": {"method": "disabled"},
        "ipv4": ipv4 or {"method": "manual", "address-data": [{"address": address, "prefix": 24}],
                         "gateway": "192.168.77.1", "dns": ["192.168.77.1"]}})


def wifi(name: str, mode: str, uuid: int, psk: str = "secret123", psk_flags: int = 0, **wireless: Any) -> Any:
    return to_dbus_settings({
        "connection": {"id": name, "type": "802-11-wireless", "uuid": UUID.format(uuid)},
        "802-11-wireless": dict({"ssid": name.encode(), "mode": mode}, **wireless),
        SECURITY: dict({"key-mgmt": "wpa-psk", "psk-flags": psk_flags}, **({"psk": psk} if psk else {})),
        "ipv4": {"method": "shared" if mode == "ap" else "auto"}})


ADDRESS = [{"address": "10.0.0.5", "prefix": 24}]
MANUAL, SHARED = "manual, 10.0.0.5/24, dns 9.9.9.9, gateway 10.0.0.1", "shared, 10.42.0.1/24"
# The profile as read back after each method change that ipv4_probe makes (none refused, none left behind).
TRANSITIONS = [MANUAL, "auto, dns 9.9.9.9", SHARED, "link-local", MANUAL, "link-local", SHARED, MANUAL, SHARED,
               "auto", "link-local", "auto", MANUAL]
GSM = to_dbus_settings({"connection": {"id": "cellular", "type": "gsm", "uuid": UUID.format(4)},
                        "gsm": {"apn": "internet", "username": "user", "password": "pw", "pin": "1234"},
                        "ipv4": {"method": "auto"}})
# Profiles the daemon refuses to add, among them IPv4 settings their method does not allow.
IPV4_REFUSED = ({"method": "manual"}, {"method": "auto", "gateway": "10.0.0.1"},
                {"method": "link-local", "dns": ["9.9.9.9"]}, {"method": "link-local", "address-data": ADDRESS},
                {"method": "disabled", "address-data": ADDRESS}, {"method": "shared", "dns": ["9.9.9.9"],
                                                                   "address-data": ADDRESS})
REFUSED = {"duplicate uuid": GSM, "wifi without its setting": to_dbus_settings(
               {"connection": {"id": "open", "type": "802-11-wireless", "uuid": UUID.format(10)}}),
           **{str(ipv4): ethernet("r", 10, **ipv4) for ipv4 in IPV4_REFUSED}}
# Access-point SSIDs, keys and channels (by band) the daemon takes or refuses.
ACCESS_POINTS = [(ssid, "bg", 0, "12345678") for ssid in ("ä" * 16, "x" * 33, "")] + \
    [("ap", "bg", 0, psk) for psk in ("1234567", "12345678", "ä" * 31 + "x", "ä" * 32, "aB3" * 21 + "f")] + \
    [("ap", band, channel, "12345678") for band, channel in (("bg", 14), ("bg", 36), ("a", 6), ("a", 196))]


class Run:
    def __init__(self, address: str) -> None:
        self.bus = dbus.bus.BusConnection(address, mainloop=dbus.mainloop.glib.DBusGMainLoop())
        self.owner, self.device = self.bus.get_name_owner(NM), self.call(NM_PATH, NM, "GetDeviceByIpIface", IFACE)
        self.states, self.signals, self.outcomes = [], [], {}
        self.bus.add_signal_receiver(lambda new, _old, _reason: self.states.append(int(new)),
                                     signal_name="StateChanged", dbus_interface=DEVICE, path=self.device)
        self.bus.add_signal_receiver(self.on_signal, sender_keyword="sender", member_keyword="member",
                                     interface_keyword="interface")

    def on_signal(self, *args: Any, sender: str, member: str, interface: str) -> None:
        """Notes the daemon's own signals; property changes, object-manager and mock noise are left out."""
        if sender == self.owner and interface not in (dbus.PROPERTIES_IFACE, "org.freedesktop.DBus.ObjectManager",
                                                      "org.freedesktop.DBus.Mock", DEVICE, NM):
            self.signals.append((member, [int(a) for a in args]) if interface == ACTIVE else member)

    def sync(self) -> None:
        """Barrier: a call the daemon answers after what it sent before, with the signals delivered on the way."""
        done: List[Any] = []
        self.call(NM_PATH, dbus.PROPERTIES_IFACE, "Get", NM, "Version", reply_handler=done.append,
                  error_handler=done.append)
        while not done:
            GLib.MainContext.default().iteration(True)

    def take(self, name: str) -> List[Any]:  # the "signals" or "states" seen since the last take
        self.sync()
        taken = getattr(self, name)
        setattr(self, name, [])
        return taken

    def call(self, path: str, interface: str, method: str, *args: Any, **options: Any) -> Any:
        return getattr(dbus.Interface(self.bus.get_object(NM, path, introspect=False), interface), method)(
            *args, **options)

    def prop(self, path: str, interface: str, name: str = "") -> Any:  # all of the interface's without a name
        props = dbus.PROPERTIES_IFACE
        return self.call(path, props, "Get", interface, name) if name else self.call(path, props, "GetAll", interface)

    def step(self, name: str, call: Callable[[], Any], keep: Callable = shape, signals: bool = False) -> Any:
        self.take("signals")
        try:
            reply = call()
            self.outcomes[name] = ("ok", None if reply is None else keep(reply))
        except dbus.DBusException as e:
            reply, self.outcomes[name] = None, ("error", e.get_dbus_name())
        if signals:
            self.outcomes[name + " signals"] = self.take("signals")
        return reply

    def activate(self, name: str, call: Callable[[], Any], state: int) -> Any:  # followed to the state it ends in
        self.take("states")
        reply = self.step(name, call)
        self.wait_state(state)
        for kind in ("signals", "states"):
            self.outcomes[f"{name} {kind}"] = self.take(kind)
        return reply

    def wait_state(self, state: int) -> None:  # by the device's signal and its property
        wait_until(lambda: self.sync() or self.states[-1:] == [state] and int(self.prop(self.device, DEVICE, "State"))
                   == state, 10, f"device state {state}")

    def run(self) -> Dict[str, Any]:
        device, paths = self.device, {}
        for name, settings in (("ethernet", ethernet("wired", 1, "192.168.77.2")), ("gsm", GSM),
                               ("wifi", wifi("home", "infrastructure", 2)), ("hotspot", wifi("hotspot", "ap", 5)),
                               ("wifi agent-owned", wifi("guest", "infrastructure", 3, psk_flags=1))):
            paths[name] = self.step("add " + name, lambda: self.call(SETTINGS_PATH, SETTINGS, "AddConnection",
                                                                     settings), signals=True)
        eth, wlan, gsm, hotspot = paths["ethernet"], paths["wifi"], paths["gsm"], paths["hotspot"]
        for name in ("ethernet", "wifi", "hotspot", "gsm"):
            self.step("settings " + name, lambda: self.call(paths[name], CONNECTION, "GetSettings"))
        for name, setting in (("wifi", SECURITY), ("wifi agent-owned", SECURITY), ("gsm", "gsm"),
                              ("ethernet", "ipv4"), ("ethernet", SECURITY)):
            self.step(f"secrets {name} {setting}", lambda: self.call(paths[name], CONNECTION, "GetSecrets", setting),
                      signals=True)
        secrets = lambda: self.call(wlan, CONNECTION, "GetSecrets", SECURITY)[SECURITY]  # noqa: E731
        self.step("secrets wifi values", secrets, unwrap)
        self.step("update ethernet", lambda: self.call(eth, CONNECTION, "Update", ethernet("wired", 1, "192.168.77.3")),
                  signals=True)
        self.step("update wifi without key", lambda: self.call(wlan, CONNECTION, "Update", wifi(
            "home", "infrastructure", 2, psk="")), signals=True)
        self.step("secrets kept by update", secrets, unwrap)

        active = self.activate("activate", lambda: self.call(NM_PATH, NM, "ActivateConnection", eth, device,
                                                             NO_OBJECT), 100)
        ip4 = unwrap(self.prop(self.prop(device, DEVICE, "Ip4Config"), NM + ".IP4Config"))["AddressData"]
        self.outcomes["activate ip4, links"] = (ip4, self.prop(device, DEVICE, "ActiveConnection") == active,
                                                int(self.prop(active, ACTIVE, "State")))
        self.step("properties active connection", lambda: self.prop(active, ACTIVE))
        self.activate("deactivate", lambda: self.call(NM_PATH, NM, "DeactivateConnection", active), 30)
        self.step("deactivate again", lambda: self.call(NM_PATH, NM, "DeactivateConnection", active))
        added = self.activate("add and activate", lambda: self.call(NM_PATH, NM, "AddAndActivateConnection", ethernet(
            "created", 6, "192.168.77.4"), device, NO_OBJECT), 100)
        self.step("deactivate created", lambda: self.call(NM_PATH, NM, "DeactivateConnection", added[1]))
        self.wait_state(30)
        self.step("delete created", lambda: self.call(added[0], CONNECTION, "Delete"))
        self.step("delete", lambda: self.call(eth, CONNECTION, "Delete"), signals=True)

        # Calls on what is gone, refusals, access points: (name, path, interface, method, arguments).
        for name, path, interface, method, *args in [
                ("update deleted", eth, CONNECTION, "Update", ethernet("wired", 1, "192.168.77.3")),
                ("delete deleted", eth, CONNECTION, "Delete"),
                ("activate deleted", NM_PATH, NM, "ActivateConnection", eth, device, NO_OBJECT),
                ("activate wifi on wired", NM_PATH, NM, "ActivateConnection", wlan, device, NO_OBJECT),
                ("wireless switch", NM_PATH, dbus.PROPERTIES_IFACE, "Set", NM, "WirelessEnabled",
                 dbus.Boolean(False, variant_level=1)),
                *[("add " + name, SETTINGS_PATH, SETTINGS, "AddConnection", p) for name, p in REFUSED.items()],
                *[(f"access point {ssid} {band} {channel} {psk}", hotspot, CONNECTION, "Update",
                   wifi("ap", "ap", 5, psk, ssid=ssid.encode(), band=band, channel=channel))
                  for ssid, band, channel, psk in ACCESS_POINTS]]:
            self.step(name, lambda: self.call(path, interface, method, *args))
        self.outcomes["wireless switch value"] = bool(self.prop(NM_PATH, NM, "WirelessEnabled"))
        for name, path, interface in (
                ("manager", NM_PATH, NM), ("settings", SETTINGS_PATH, SETTINGS), ("profile", gsm, CONNECTION),
                ("device", device, DEVICE), ("wired", device, DEVICE + ".Wired"),
                ("statistics", device, DEVICE + ".Statistics"),
                ("ip4 config", self.prop(device, DEVICE, "Ip4Config"), NM + ".IP4Config")):
            self.step("properties " + name, lambda: self.prop(path, interface))
        return self.outcomes


def run_scenario(address: str, daemon: Any) -> Dict[str, Any]:
    """The outcomes on one daemon, with the IPv4 method changes ipv4_probe makes; its log is shown on a failure."""
    run = Run(address)
    try:
        outcomes = run.run()
        probe = subprocess.run([os.environ["CORVEX_IPV4_PROBE"]], stdout=subprocess.PIPE, text=True, timeout=60,
                               env=dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=address), check=True)
    except BaseException:
        sys.stderr.write(daemon.logs())
        raise
    finally:
        run.bus.close()
    return dict(outcomes, **{"ipv4 transitions": probe.stdout.splitlines()})


if __name__ == "__main__":
    why_not = RealNetworkManager.available()
    if why_not:
        print(f"{'FAIL' if os.environ.get('CI') else 'SKIP'}: the real NetworkManager cannot run here: {why_not}")
        sys.exit(1 if os.environ.get("CI") else 77)
    with PrivateBus() as bus, RealNetworkManager(bus.address, IFACE) as real:
        expected = run_scenario(bus.address, real)
    with PrivateBus() as bus, NetworkManagerSim(bus.address) as sim:
        sim.add_ethernet(IFACE, "7A:06:EE:83:AE:F3")
        simulated = run_scenario(bus.address, sim)
    wrong = [f"{step}:\n  real      {expected.get(step)}\n  simulated {simulated.get(step)}"
             for step in {**expected, **simulated} if expected.get(step) != simulated.get(step)]
    if expected["ipv4 transitions"] != TRANSITIONS:
        wrong.append(f"ipv4 transitions on the real daemon: {expected['ipv4 transitions']}")
    print("\n".join(wrong) or f"All {len(expected)} steps match the real daemon.")
    sys.exit(1 if wrong else 0)
