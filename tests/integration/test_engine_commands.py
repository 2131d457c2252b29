"""What the service publishes on connection, command intake and every read-only command, over fixed devices."""

from __future__ import annotations

import json
from typing import Iterator

import dbus
import pytest

from helpers import Session, device_documents, mock_object, shared_service
from testbed.nm import BUS_NAME, DEVICE, NM_PATH

BLUETOOTH = "AA:BB:CC:DD:EE:01"


def add_plain_device(nm, name: str, iface: str, device_type: int) -> None:
    """A device of a type the simulator has no method for, with only what is read of an unpublished device."""
    path = f"{NM_PATH}/Devices/{name}"
    props = {"DeviceType": dbus.UInt32(device_type), "Interface": iface, "IpInterface": "", "HwAddress": "",
             "Managed": True, "Real": True, "Udi": f"/sys/devices/virtual/{name}", "State": dbus.UInt32(30),
             "StateReason": dbus.Struct((dbus.UInt32(30), dbus.UInt32(0)), signature="uu"),
             **{p: dbus.ObjectPath("/") for p in ("ActiveConnection", "Ip4Config", "Ip6Config")},
             "AvailableConnections": dbus.Array([], signature="o")}
    nm.control.AddObject(path, DEVICE, dbus.Dictionary(props, signature="sv"), dbus.Array([], signature="(ssss)"))
    devices = dbus.Array(nm.get(NM_PATH, BUS_NAME, "AllDevices") + [path], signature="o")
    manager = mock_object(nm, NM_PATH)
    manager.UpdateProperties(BUS_NAME, dbus.Dictionary({"AllDevices": devices, "Devices": devices}, signature="sv"))
    manager.EmitSignal(BUS_NAME, "DeviceAdded", "o", [dbus.ObjectPath(path)])


@pytest.fixture(scope="module")
def session(testbed, tmp_path_factory) -> Iterator[Session]:
    """Loopback, three wired, two Wifi and two modems (the last of each unmanaged), and a Bluetooth device."""
    nm = testbed.nm
    add_plain_device(nm, "lo", "lo", 14)
    nm.add_ethernet("eth0", "02:00:00:00:00:01")
    nm.add_ethernet("eth1", "02:00:00:00:00:02", carrier=False)
    nm.add_ethernet("eth2", "02:00:00:00:00:03", managed=False)
    nm.add_access_point(nm.add_wifi("wlan0", "02:00:00:00:01:01"), "HomeNet", "02:aa:00:00:00:01", strength=80)
    nm.add_wifi("wlan1", "02:00:00:00:01:02", managed=False)
    testbed.add_modem("wwan0", "cdc-wdm0")
    spare = testbed.mm.add_modem(interface="wwan1", primary_port="cdc-wdm1", imei="867698040000001")
    nm.add_modem("cdc-wdm1", spare, managed=False, ip_iface="wwan1")
    add_plain_device(nm, "bt0", BLUETOOTH, 5)
    with shared_service(testbed, str(tmp_path_factory.mktemp("commands"))) as running:
        session = Session(*running)
        session.wait_for_log(f"Skipping device: {BLUETOOTH}")
        yield session


def test_connection_publishes_status_info_and_each_managed_device_in_order(session) -> None:
    startup = session.probe()
    session.wait_for("status")
    session.wait_for("info")
    assert [m.topic for m in session.recorder.messages() if m.topic in ("status", "info")] == ["status", "info"]
    signal = ("modem/signal", "cdc-wdm0")
    # A modem's monitoring publishes its signal twice before the documents of the reload itself.
    assert device_documents(startup) == [("wifi/radio", None)] \
        + [(f"ethernet/{k}", i) for i in ("eth0", "eth1") for k in ("state", "config")] \
        + [(f"wifi/{kind}", "wlan0") for kind in ("state", "config", "aps", "networks")] \
        + [signal, signal, ("modem/state", "cdc-wdm0"), ("modem/config", "cdc-wdm0"), signal]


INVALID, UNMANAGED, UNSUPPORTED = "Invalid device specified: ", "Unmanaged device specified: ", "Unsupported command"
# A name of the wrong kind, unknown, of another case, or an unmanaged modem's configuration.
INVALID_NAMES = [("ethernet/state/get", "wlan0"), ("ethernet/config/get", "eth9"), ("wifi/state/get", "eth0"),
                 ("wifi/config/get", "Wlan0"), ("wifi/aps/get", "eth0"), ("wifi/networks/get", "lo"),
                 ("wifi/hotspot/get", "cdc-wdm0"), ("modem/config/get", "cdc-wdm1"), ("modem/state/get", "wwan0"),
                 ("modem/stats/get", "eth0")]
COMMANDS = [
    # Ethernet without interface: every managed wired device; named: that one, managed or not.
    ("ethernet/state/get", {}, [("ethernet/state", "eth0"), ("ethernet/state", "eth1")]),
    ("ethernet/config/get", {}, [("ethernet/config", "eth0"), ("ethernet/config", "eth1")]),
    ("ethernet/state/get", {"interface": "eth2"}, [("ethernet/state", "eth2")]),
    # Wifi: no interface (or one that is not text) means the first Wifi device.
    ("wifi/state/get", {}, [("wifi/state", "wlan0")]),
    ("wifi/state/get", {"interface": 7}, [("wifi/state", "wlan0")]),
    ("wifi/state/get", {"interface": "wlan1"}, [("error", UNMANAGED + "wlan1"), ("wifi/state", "wlan1")]),
    # Hotspot, access points and networks do not look at the managed flag.
    ("wifi/hotspot/get", {}, [("wifi/hotspot", "wlan0")]),
    ("wifi/hotspot/get", {"interface": "wlan1"}, [("wifi/hotspot", "wlan1")]),
    ("wifi/aps/get", {"interface": "wlan1"}, [("wifi/aps", "wlan1")]),
    ("wifi/networks/get", {}, [("wifi/networks", "wlan0")]),
    # Modems: an unmanaged one is reported but still published, except for its configuration.
    ("modem/state/get", {}, [("modem/state", "cdc-wdm0")]),
    ("modem/state/get", {"interface": "cdc-wdm1"}, [("error", UNMANAGED + "cdc-wdm1"), ("modem/state", "cdc-wdm1")]),
    ("modem/config/get", {}, [("modem/config", "cdc-wdm0")]),
    ("modem/stats/get", {"interface": "cdc-wdm1"}, [("modem/stats", None)]),
    *[(command, {"interface": name}, [("error", INVALID + name)]) for command, name in INVALID_NAMES],
    # Intake: JSON errors; empty payloads and arrays give an empty object; commands not in the table.
    ("wifi/state/get", b"{", [("error", "Json parse error: unterminated object")]),
    ("wifi/state/get", b'{"interface": "wlan0"} trailing', [("error", "Json parse error: garbage at the end of the "
                                                                      "document")]),
    ("wifi/state/get", b"", [("wifi/state", "wlan0")]),
    ("wifi/state/get", b'[{"interface": "wlan1"}]', [("wifi/state", "wlan0")]),
    *[(command, {}, [("error", UNSUPPORTED)]) for command in ("Status/get", "modem/stats/set", "wifi/état/get")],
]


@pytest.mark.parametrize("command, payload, expected", COMMANDS, ids=[
    f"{c}-{p.get('interface', '') if isinstance(p, dict) else p.decode()}" for c, p, _ in COMMANDS])
def test_command_is_answered(session, command, payload, expected) -> None:
    messages = session.ask(command, payload)
    errors = [m for m in messages if m.topic == "error"]
    assert ([("error", m.data["error"]) if m in errors else (m.topic, m.data.get("interface")) for m in messages],
            {m.data["command"] for m in errors} - {command}) == (expected, set())
    # An error document as the service serialises it (members sorted, four spaces per level, a final line break).
    assert [m.payload for m in errors] == [
        (json.dumps(m.data, indent=4, sort_keys=True, ensure_ascii=False) + "\n").encode() for m in errors]


def test_unmanaged_modem_state_describes_its_own_modem(session) -> None:
    [_error, state] = session.ask("modem/state/get", {"interface": "cdc-wdm1"})
    assert state.data["gsm"]["imei"] == "867698040000001"
