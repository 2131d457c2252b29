#!/usr/bin/python3
"""Holds the simulated NetworkManager against the real NetworkManager 1.42: the same calls run against both, each on a
private bus, and each step's record (its reply's shape or D-Bus error name, the signals and device states it caused)
must be equal. Without root or the daemon: skipped (exit 77), but in CI (`CI` set) that is a failure."""

import os
import re
import sys
import uuid
from typing import Any, Dict, List

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))

import dbus  # noqa: E402
import dbus.mainloop.glib  # noqa: E402
from gi.repository import GLib  # noqa: E402

from testbed.bus import PrivateBus  # noqa: E402
from testbed.nm import NetworkManagerSim, to_dbus_settings, unwrap  # noqa: E402
from testbed.process import wait_until  # noqa: E402
from testbed.realnm import RealNetworkManager  # noqa: E402
from testbed.templates.nmverify import recorded_maps  # noqa: E402

NM, NM_PATH, IFACE = "org.freedesktop.NetworkManager", "/org/freedesktop/NetworkManager", "veth0"
SETTINGS, DEVICE, ACTIVE = NM + ".Settings", NM + ".Device", NM + ".Connection.Active"
CONNECTION, SETTINGS_PATH, SECURITY = SETTINGS + ".Connection", NM_PATH + "/Settings", "802-11-wireless-security"
PROPS, NO_OBJECT = dbus.PROPERTIES_IFACE, dbus.ObjectPath("/")
UUID = "7b1c6e0a-3f2d-4c5b-9a8e-0000000000{:02x}"


def shape(value: Any) -> Any:
    """Types and keys of a reply, not its values: dictionaries keep their keys, arrays their element type."""
    if isinstance(value, dbus.Dictionary):
        return {str(k): shape(v) for k, v in value.items()}
    if isinstance(value, tuple):  # several return values, or a structure
        return [type(value).__name__] + [shape(v) for v in value]
    return type(value).__name__ + str(getattr(value, "signature", ""))


def ethernet(name: str, uuid: int, address: str = "", **ipv4: Any) -> Dict[str, Any]:
    # autoconnect off: the real daemon would otherwise activate the profile on its own as soon as it is added
    return {"connection": {"id": name, "type": "802-3-ethernet", "uuid": UUID.format(uuid), "interface-name": IFACE,
                           "autoconnect": False}, "ipv6": {"method": "disabled"},
            "ipv4": ipv4 or {"method": "manual", "address-data": [{"address": address, "prefix": 24}],
                             "gateway": "192.168.77.1", "dns": ["192.168.77.1"]}}


def wifi(name: str, mode: str, uuid: Any, psk: str = "secret123", psk_flags: int = 0, **wireless: Any) -> Dict:
    return {"connection": {"id": name, "type": "802-11-wireless", "uuid": UUID.format(uuid) if isinstance(uuid, int)
                           else uuid, "autoconnect": False},
            "802-11-wireless": dict({"ssid": name.encode(), "mode": mode}, **wireless),
            SECURITY: dict({"key-mgmt": "wpa-psk", "psk-flags": psk_flags}, **({"psk": psk} if psk else {})),
            "ipv4": {"method": "shared" if mode == "ap" else "auto"}}


def gsm(uuid: int, **values: Any) -> Dict[str, Any]:
    return {"connection": {"id": "cellular", "type": "gsm", "uuid": UUID.format(uuid), "autoconnect": False},
            "gsm": dict({"apn": "internet", "username": "user", "password": "pw", "pin": "1234"}, **values),
            "ipv4": {"method": "auto"}}


def without(settings: Dict[str, Any], group: str, key: str = "") -> Dict[str, Any]:
    return {g: {k: v for k, v in values.items() if k != key} for g, values in settings.items() if key or g != group}


ADDRESS, DNS = {"address-data": [{"address": "10.0.0.5", "prefix": 24}]}, {"dns": ["9.9.9.9"]}
# Profiles added as they are (uuid 0x20 onwards), each judged by both daemons: accepted or the error name.
MAPS = {name: to_dbus_settings(m) for name, m in {
    "wired without its wired setting": without(ethernet("bare", 0x21, "10.0.0.5"), "802-3-ethernet"),
    "uuid in braces": wifi("a", "infrastructure", "{" + UUID.format(0x22) + "}"),
    "uuid null in braces": wifi("a", "infrastructure", "{00000000-0000-0000-0000-000000000000}"),
    "uuid no uuid": wifi("a", "infrastructure", "no uuid"),
    "uuid missing": without(wifi("a", "infrastructure", 0), "connection", "uuid"),
    "uuid taken": gsm(4),
    "psk 7 characters": wifi("a", "infrastructure", 0x24, "1234567"),
    "psk 8 characters": wifi("a", "infrastructure", 0x25, "12345678"),
    "psk 63 characters": wifi("a", "infrastructure", 0x26, "ä" * 31 + "x"),
    "psk 64 bytes of text": wifi("a", "infrastructure", 0x27, "ä" * 32),
    "psk 64 hex digits": wifi("a", "infrastructure", 0x28, "aB3" * 21 + "f"),
    "ssid 0 bytes": wifi("ap", "ap", 0x29, ssid=b""),
    "ssid 32 bytes": wifi("ap", "ap", 0x2a, ssid=("ä" * 16).encode()),
    "ssid 33 bytes": wifi("ap", "ap", 0x2b, ssid=b"x" * 33),
    "channel 14 bg": wifi("ap", "ap", 0x2c, band="bg", channel=14),
    "channel 36 bg": wifi("ap", "ap", 0x2d, band="bg", channel=36),
    "channel 6 a": wifi("ap", "ap", 0x2f, band="a", channel=6),
    "channel without band": wifi("ap", "ap", 0x30, channel=6),
    "wifi without its setting": without(wifi("a", "infrastructure", 0x31), "802-11-wireless"),
    "manual without addresses": ethernet("r", 0x32, method="manual"),
    "auto with gateway": ethernet("r", 0x33, method="auto", gateway="10.0.0.1"),
    "link-local with dns": ethernet("r", 0x35, method="link-local", **DNS),
    "link-local with address": ethernet("r", 0x36, method="link-local", **ADDRESS),
    "disabled with address": ethernet("r", 0x37, method="disabled", **ADDRESS),
    "shared with address": ethernet("r", 0x39, method="shared", **ADDRESS),
    "shared with dns": ethernet("r", 0x3a, method="shared", **ADDRESS, **DNS),
    "gsm without apn": without(gsm(0x3b), "gsm", "apn"),
}.items()}
GSM = gsm(4)
SHAPE, VALUES, SIGNALS = lambda reply, _: shape(reply), lambda reply, _: unwrap(reply), "signals"


class Ref:  # an earlier step's reply, or a member of it, as an object or argument of a later one
    def __init__(self, step: str, index: Any = None) -> None:
        self.step, self.index = step, index


# Each step: name, object, interface, method, arguments, and what its record keeps: the reply's shape (default), its
# values, the signals it caused, or (a number) the device state it ends in, with the signals and states on the way.
STEPS = [
    *[(f"add {name}", SETTINGS_PATH, SETTINGS, "AddConnection", to_dbus_settings(settings), SIGNALS)
      for name, settings in (("ethernet", ethernet("wired", 1, "192.168.77.2")), ("gsm", GSM),
                             ("wifi", wifi("home", "infrastructure", 2)), ("hotspot", wifi("hotspot", "ap", 5)),
                             ("wifi agent-owned", wifi("guest", "infrastructure", 3, psk_flags=1)))],
    *[(f"settings {name}", Ref("add " + name), CONNECTION, "GetSettings") for name in ("ethernet", "wifi", "hotspot",
                                                                                        "gsm")],
    *[(f"secrets {name} {setting}", Ref("add " + name), CONNECTION, "GetSecrets", setting, SIGNALS)
      for name, setting in (("wifi", SECURITY), ("wifi agent-owned", SECURITY), ("gsm", "gsm"), ("ethernet", "ipv4"),
                            ("ethernet", SECURITY))],
    ("secrets wifi values", Ref("add wifi"), CONNECTION, "GetSecrets", SECURITY, VALUES),
    ("update ethernet", Ref("add ethernet"), CONNECTION, "Update",
     to_dbus_settings(ethernet("wired", 1, "192.168.77.3")), SIGNALS),
    ("update wifi without key", Ref("add wifi"), CONNECTION, "Update",
     to_dbus_settings(wifi("home", "infrastructure", 2, psk="")), SIGNALS),
    ("secrets kept by update", Ref("add wifi"), CONNECTION, "GetSecrets", SECURITY, VALUES),
    ("activate", NM_PATH, NM, "ActivateConnection", Ref("add ethernet"), Ref("device"), NO_OBJECT, 100),
    ("activate: device's link and address", Ref("device"), PROPS, "GetAll", DEVICE, lambda d, r: (
        d["ActiveConnection"] == r["activate"], unwrap(r["run"].call(d["Ip4Config"], PROPS, "GetAll", NM + ".IP4Config")
                                                       ["AddressData"]))),
    ("activate: state", Ref("activate"), PROPS, "Get", ACTIVE, "State", VALUES),
    ("properties active connection", Ref("activate"), PROPS, "GetAll", ACTIVE),
    ("deactivate", NM_PATH, NM, "DeactivateConnection", Ref("activate"), 30),
    ("deactivate again", NM_PATH, NM, "DeactivateConnection", Ref("activate")),
    ("add and activate", NM_PATH, NM, "AddAndActivateConnection", to_dbus_settings(ethernet(
        "created", 6, "192.168.77.4")), Ref("device"), NO_OBJECT, 100),
    ("deactivate created", NM_PATH, NM, "DeactivateConnection", Ref("add and activate", 1), 30),
    ("delete created", Ref("add and activate", 0), CONNECTION, "Delete"),
    ("delete", Ref("add ethernet"), CONNECTION, "Delete", SIGNALS),
    ("update deleted", Ref("add ethernet"), CONNECTION, "Update", to_dbus_settings(ethernet("w", 1, "192.168.77.3"))),
    ("delete deleted", Ref("add ethernet"), CONNECTION, "Delete"),
    ("activate deleted", NM_PATH, NM, "ActivateConnection", Ref("add ethernet"), Ref("device"), NO_OBJECT),
    ("activate wifi on wired", NM_PATH, NM, "ActivateConnection", Ref("add wifi"), Ref("device"), NO_OBJECT),
    ("wireless switch", NM_PATH, PROPS, "Set", NM, "WirelessEnabled", dbus.Boolean(False, variant_level=1)),
    ("wireless switch value", NM_PATH, PROPS, "Get", NM, "WirelessEnabled", VALUES),
    *[(f"add {name}", SETTINGS_PATH, SETTINGS, "AddConnection", settings, lambda _path, _replies: "accepted")
      for name, settings in MAPS.items()],
    *[(f"properties {name}", path, PROPS, "GetAll", interface) for name, path, interface in (
        ("manager", NM_PATH, NM), ("settings", SETTINGS_PATH, SETTINGS), ("profile", Ref("add gsm"), CONNECTION),
        ("device", Ref("device"), DEVICE), ("wired", Ref("device"), DEVICE + ".Wired"),
        ("statistics", Ref("device"), DEVICE + ".Statistics"))],
    ("properties ip4 config", Ref("device"), PROPS, "GetAll", DEVICE, lambda d, r: shape(r["run"].call(
        d["Ip4Config"], PROPS, "GetAll", NM + ".IP4Config"))),
]


class Run:
    def __init__(self, address: str) -> None:
        self.bus = dbus.bus.BusConnection(address, mainloop=dbus.mainloop.glib.DBusGMainLoop())
        self.owner, self.states, self.signals = self.bus.get_name_owner(NM), [], []
        self.replies = {"run": self, "device": self.call(NM_PATH, NM, "GetDeviceByIpIface", IFACE)}
        self.bus.add_signal_receiver(lambda new, _old, _reason: self.states.append(int(new)), signal_name=
                                     "StateChanged", dbus_interface=DEVICE, path=self.replies["device"])
        self.bus.add_signal_receiver(self.on_signal, sender_keyword="sender", member_keyword="member",
                                     interface_keyword="interface")

    def on_signal(self, *args: Any, sender: str, member: str, interface: str) -> None:
        """Notes the daemon's own signals; property changes, object-manager and mock noise are left out."""
        if sender == self.owner and interface not in (PROPS, "org.freedesktop.DBus.ObjectManager",
                                                      "org.freedesktop.DBus.Mock", DEVICE, NM):
            self.signals.append((member, [int(a) for a in args]) if interface == ACTIVE else member)

    def sync(self) -> None:
        """Barrier: a call the daemon answers after what it sent before, with the signals delivered on the way."""
        done: List[Any] = []
        self.call(NM_PATH, PROPS, "Get", NM, "Version", reply_handler=done.append, error_handler=done.append)
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

    def resolve(self, value: Any) -> Any:
        reply = self.replies.get(value.step) if isinstance(value, Ref) else value
        return reply[value.index] if isinstance(value, Ref) and value.index is not None else reply

    def wait_state(self, state: int) -> None:  # by the device's signal and its property
        wait_until(lambda: self.sync() or self.states[-1:] == [state] and int(self.call(
            self.replies["device"], PROPS, "Get", DEVICE, "State")) == state, 10, f"device state {state}")

    def run(self, steps: List[tuple]) -> Dict[str, Any]:
        outcomes = {}
        for name, path, interface, method, *args in steps:
            keep = args.pop() if args and (callable(args[-1]) or args[-1] == SIGNALS or type(args[-1]) is int) \
                else SHAPE
            self.take("signals"), self.take("states")
            try:
                self.replies[name] = reply = self.call(self.resolve(path), interface, method, *map(self.resolve, args))
                outcomes[name] = ("ok", keep(reply, self.replies) if callable(keep) and reply is not None else None)
            except dbus.DBusException as e:
                outcomes[name] = ("error", e.get_dbus_name())
            if type(keep) is int:
                self.wait_state(keep)
                outcomes[name + " states"] = self.take("states")
            if keep == SIGNALS or type(keep) is int:
                outcomes[name + " signals"] = self.take("signals")
        return outcomes


def recorded() -> Dict[str, tuple]:
    """Each distinct map the integration tier sent the simulator (UUID and time left aside), made a profile that can
    be added without its hardware (own UUID, autoconnect off), with the simulator's verdict."""
    maps = {}
    for settings, verdict in recorded_maps(os.environ.get("CORVEX_NM_REPLAY", "")):
        connection = settings.setdefault("connection", dbus.Dictionary({}, signature="sv"))
        connection.pop("timestamp", None)
        connection["autoconnect"] = dbus.Boolean(False)
        if re.fullmatch(r"[0-9a-fA-F]{8}(-[0-9a-fA-F]{4}){3}-[0-9a-fA-F]{12}", str(connection.get("uuid", ""))):
            connection["uuid"] = ""
        maps.setdefault(repr(settings), (settings, ("ok", verdict) if verdict == "accepted" else ("error", verdict)))
    for settings, _verdict in maps.values():
        if settings["connection"].get("uuid") == "":
            settings["connection"]["uuid"] = str(uuid.uuid4())
    return {f"replay {i}: {s['connection'].get('type')} {s['connection'].get('id')}": (s, verdict)
            for i, (s, verdict) in enumerate(maps.values())}


def run_scenario(address: str, daemon: Any, replay: Dict[str, tuple]) -> Dict[str, Any]:
    """The outcomes on one daemon, the recorded maps added after the steps; its log is shown on a failure."""
    run = Run(address)
    try:
        return run.run(STEPS + [(name, SETTINGS_PATH, SETTINGS, "AddConnection", settings, lambda *_: "accepted")
                                for name, (settings, _verdict) in replay.items()])
    except BaseException:
        sys.stderr.write(daemon.logs())
        raise
    finally:
        run.bus.close()


if __name__ == "__main__":
    why_not = RealNetworkManager.available()
    if why_not:
        print(f"{'FAIL' if os.environ.get('CI') else 'SKIP'}: the real NetworkManager cannot run here: {why_not}")
        sys.exit(1 if os.environ.get("CI") else 77)
    replay = recorded()
    with PrivateBus() as bus, RealNetworkManager(bus.address, IFACE) as real:
        expected = run_scenario(bus.address, real, replay)
    with PrivateBus() as bus, NetworkManagerSim(bus.address) as sim:
        sim.add_ethernet(IFACE, "7A:06:EE:83:AE:F3")
        simulated = dict(run_scenario(bus.address, sim, {}), **{name: v for name, (_s, v) in replay.items()})
    for name in MAPS:  # the table of verdicts: real, simulated
        print(f"{name:34}", *(f"{run['add ' + name][-1].split('.')[-1]:18}" for run in (expected, simulated)))
    wrong = [f"{step}:\n  real      {expected.get(step)}\n  simulated {simulated.get(step)}"
             for step in {**expected, **simulated} if expected.get(step) != simulated.get(step)]
    if not replay:  # the integration tier records the maps it makes the service write: none is a broken set-up
        wrong.append(f"no recorded maps in {os.environ.get('CORVEX_NM_REPLAY')!r}" if os.environ.get("CI") else "")
        print("No recorded maps to replay: run the integration tests first.")
    refused = sum(v[0] == "error" for _s, v in replay.values())
    print(f"Replayed {len(replay)} distinct maps the integration tier recorded ({refused} refused by the simulator).")
    print("\n".join(filter(None, wrong)) or f"All {len(expected)} steps match the real daemon.")
    sys.exit(1 if any(wrong) else 0)
