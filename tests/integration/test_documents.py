"""Every published document, member for member with its JSON types, for the devices of a test bed.

The scene is built before the service starts, so the documents are read from a quiet bus; the
read-only commands then ask for each document again.
"""

from __future__ import annotations

import datetime
import os
import re
import subprocess
from typing import Any, Dict, Iterator, Tuple

import dbus
import pytest

import broker_log
from helpers import (BASE_TOPIC, Corvex, MqttRecorder, activate, ask, ask_until, for_interface, mock_object,
                     shared_service)
from testbed.nm import BUS_NAME, FAILED, NM_PATH

pytestmark = pytest.mark.testbed()

WIRED_IFACE = BUS_NAME + ".Device.Wired"
ACTIVE_IFACE = BUS_NAME + ".Connection.Active"
MODEM_NOT_FOUND = 43
STATE_TEXTS = ["Unavailable", "Disconnected", "Disconnecting", "Connecting", "Connected"]
NULL6 = {"ssid": None, "band": None, "channel": None, "hidden": None, "ipv4": None, "key": None}


def ethernet_profile(name: str, iface: str, ipv4: Dict[str, Any], mtu: int = 0) -> Dict[str, Any]:
    return {"connection": {"id": name, "type": "802-3-ethernet", "interface-name": iface},
            "802-3-ethernet": {"mtu": mtu} if mtu else {}, "ipv4": ipv4}


def wifi_profile(name: str, ssid: str, psk: str = "", mode: str = "infrastructure", **wireless) -> Dict[str, Any]:
    profile = {"connection": {"id": name, "type": "802-11-wireless", "interface-name": "wlan0"},
               "802-11-wireless": {"ssid": ssid.encode(), "mode": mode, **wireless},
               "ipv4": {"method": "shared" if mode == "ap" else "auto"}}
    if psk:
        profile["802-11-wireless-security"] = {"key-mgmt": "wpa-psk", "psk": psk}
    return profile


ETH0_IPV4 = {"method": "manual", "gateway": "192.168.20.1", "dns": ["192.168.20.1", "9.9.9.9", "1.1.1.1"],
             "address-data": [{"address": "192.168.20.5", "prefix": 24}, {"address": "10.1.0.5", "prefix": 16}]}
# ssid, bssid, frequency, strength, security, mode, max bit rate; "unknown": RSN flags without privacy
ACCESS_POINTS = [
    ("HomeNet", "02:00:00:00:02:01", 2412, 80, "wpa2", "infra", 54000),
    ("HomeNet", "02:00:00:00:02:02", 5180, 40, "wpa2", "infra", 866700),
    ("homenet", "02:00:00:00:02:03", 2437, 30, "none", "infra", 54000),
    ("Cafe", "02:00:00:00:02:04", 2462, 55, "wep", "infra", 11000),
    ("Legacy", "02:00:00:00:02:05", 2422, 20, "wpa1", "infra", 54000),
    ("Mixed", "02:00:00:00:02:06", 5200, 65, "wpa1-wpa2", "infra", 300000),
    ("Ad-hoc", "02:00:00:00:02:07", 2412, 10, "none", "adhoc", 11000),
    ("Odd", "02:00:00:00:02:08", 2412, 15, "unknown", "infra", 11000),
]
# Profile order matters: "Mixed" is the first available, "HomeNet" the one in use.
WIFI_PROFILES = {
    "Mixed": wifi_profile("Mixed", "Mixed", "mixed-pass"),
    "HomeNet": wifi_profile("HomeNet", "HomeNet", "home-pass"),
    "Cafe-Hotspot": wifi_profile("Cafe-Hotspot", "Cafe", "cafe-pass", mode="ap", band="a", channel=36, hidden=True),
    "Mixed-Hotspot": wifi_profile("Mixed-Hotspot", "Mixed", "spot-pass", mode="ap", band="bg", channel=6),
    "Open-Hotspot": wifi_profile("Open-Hotspot", "OpenSpot", mode="ap"),
}
GSM_PROFILE = {"connection": {"id": "Mobile", "type": "gsm", "interface-name": "cdc-wdm0"}, "ipv4": {"method": "auto"},
               "gsm": {"apn": "internet.example", "username": "mobile", "password": "mob-pass", "pin": "1234",
                       "network-id": "26201"}}
MODEM = dict(manufacturer="Quectel", model="EC25", revision="EC25EFAR06A06M4G", device_identifier="5d4c1f8a",
             imei="867698041234567", operator_code="26201", operator_name="Telekom.de", signal_quality=75)
# port -> extra ModemManager properties, or None for a modem ModemManager does not know
MODEMS: Dict[str, Any] = {
    "cdc-wdm0": dict(sim=("262011234567890", "89490200001234567890"), access_technologies=("umts", "lte")),
    "cdc-wdm1": dict(sim=None, access_technologies=("gsm", "gprs", "edge")),
    "cdc-wdm2": dict(interfaces=("ussd",), access_technologies=("5gnr",)),
    "cdc-wdm3": dict(capabilities=("cdma",), meid="A1000012345678", esn="80123456", access_technologies=("1xrtt",)),
    "cdc-wdm9": None,
}
SIGNAL_TECHNOLOGIES = {"cdc-wdm0": ["UMTS", "LTE"], "cdc-wdm1": ["GSM", "GPRS", "EDGE"], "cdc-wdm2": [],
                       "cdc-wdm3": ["1XRTT"]}


def typed(value: Any) -> Any:
    """A JSON value with its type made explicit, so that 1 never equals true and members compare exactly."""
    if isinstance(value, bool):
        return ("bool", value)
    if isinstance(value, (int, float)):
        return ("number", float(value))
    if isinstance(value, dict):
        return {k: typed(v) for k, v in value.items()}
    if isinstance(value, list):
        return [typed(v) for v in value]
    return (type(value).__name__, value)


def months_back(count: int) -> str:
    month = datetime.date.today().replace(day=1)
    for _ in range(count):
        month = (month - datetime.timedelta(days=1)).replace(day=1)
    return month.strftime("%Y-%m")


# month -> (txbytes, rxbytes) in the statistics store, and the rounded megabytes published for them
STATS = {months_back(0): ((124000, 125000), (0.12, 0.13)), months_back(1): ((4000, 2500000), (0, 2.5)),
         months_back(5): ((1, 2), (0, 0))}
# Months whose first day lies more than six months back are pruned when the service starts.
PRUNED = {months_back(6): (7, 8), months_back(7): (9, 10)}


def write_statistics(workdir: str) -> None:
    os.makedirs(os.path.join(workdir, "stats"))
    stored = {**{month: counters for month, (counters, _) in STATS.items()}, **PRUNED}
    with open(os.path.join(workdir, "stats", "modem.ini"), "w", encoding="utf-8") as f:
        for month, (tx, rx) in stored.items():
            f.write(f"[{month}]\nrxbytes={rx}\ntxbytes={tx}\n\n")


def build_scene(tb) -> Dict[str, str]:
    nm, paths = tb.nm, {}
    paths["Wired eth0"] = nm.add_connection(ethernet_profile("Wired eth0", "eth0", ETH0_IPV4, mtu=1400))
    paths["Wired eth2"] = nm.add_connection(ethernet_profile("Wired eth2", "eth2", {"method": "auto"}))
    for name, profile in WIFI_PROFILES.items():
        paths[name] = nm.add_connection(profile)
    paths["Mobile"] = nm.add_connection(GSM_PROFILE)
    paths["eth0"] = nm.add_ethernet("eth0", "00:1A:2B:3C:4D:10")
    paths["eth1"] = nm.add_ethernet("eth1", "00:1A:2B:3C:4D:11", carrier=False)
    paths["eth2"] = nm.add_ethernet("eth2", "00:1A:2B:3C:4D:12")
    paths["wlan0"] = nm.add_wifi("wlan0", "00:1A:2B:3C:4D:20")
    paths["wlan1"] = nm.add_wifi("wlan1", "00:1A:2B:3C:4D:21")
    for ssid, bssid, frequency, strength, security, mode, rate in ACCESS_POINTS:
        flags = (0, 0, 0x188) if security == "unknown" else None
        nm.add_access_point(paths["wlan0"], ssid, bssid, frequency, strength, security if flags is None else "none",
                            mode, rate, flags=flags)
    for index, (port, extra) in enumerate(MODEMS.items()):
        if extra is None:
            paths[port] = nm.add_modem(port, "/org/freedesktop/ModemManager1/Modem/99", ip_iface="wwan9")
        else:
            added = tb.add_modem(f"wwan{index}", port, **MODEM, **extra)
            paths[port], paths[f"mm-{port}"] = added["device"], added["modem"]

    activate(nm, paths["Wired eth0"], paths["eth0"])
    activate(nm, paths["Wired eth2"], paths["eth2"])
    nm.set_ip4_config(paths["eth2"], [("172.16.0.9", 16)], "172.16.0.1", replace=True)
    # A cable pulled so recently that NetworkManager still reports the connection as activated.
    mock_object(nm, paths["eth2"]).UpdateProperties(WIRED_IFACE, {"Carrier": dbus.Boolean(False)})
    activate(nm, paths["HomeNet"], paths["wlan0"])
    nm.set_ip4_config(paths["wlan0"], [("192.168.1.50", 24)], "192.168.1.1", ["192.168.1.1"], replace=True)
    activate(nm, paths["Mobile"], paths["cdc-wdm0"])
    nm.set_ip4_config(paths["cdc-wdm0"], [("100.64.0.2", 30)], "100.64.0.1", ["10.0.0.53"], replace=True)
    nm.set_device_state(paths["cdc-wdm9"], FAILED, MODEM_NOT_FOUND)
    paths["primary"] = nm.get(NM_PATH, BUS_NAME, "PrimaryConnection")
    return paths


@pytest.fixture(scope="module")
def scene(testbed) -> Dict[str, str]:
    return build_scene(testbed)


@pytest.fixture(scope="module")
def running(testbed, scene, tmp_path_factory) -> Iterator[Tuple[Corvex, MqttRecorder]]:
    with shared_service(testbed, str(tmp_path_factory.mktemp("corvex")), {"Modem": {"usageSec": 0}},
                        prepare=write_statistics) as both:
        yield both


@pytest.fixture(scope="module")
def recorder(running) -> MqttRecorder:
    return running[1]


# --- network status and service information -------------------------------------------------------

def ipv4_object(address: str, netmask: str, gateway: str, *dns: str) -> Dict[str, str]:
    return {"address": address, "netmask": netmask, "gateway": gateway, **{f"dns{i}": d for i, d in enumerate(dns)}}


ETH0_STATE_IPV4 = ipv4_object("192.168.20.5", "255.255.255.0", "192.168.20.1", "192.168.20.1", "9.9.9.9", "1.1.1.1")


def test_status_names_the_primary_connection(recorder):
    status = ask(recorder, "status/get", "", "status")
    assert status.qos == 2
    assert typed(status.data) == typed({
        "hostname": "testbed", "state": 7, "stateStr": "Connected", "connectivity": 4, "connectivityStr": "Full",
        "primaryConnection": {"interface": "eth0", "type": 1, "typeStr": "Ethernet", "state": 4,
                              "stateStr": "Connected", "connectionName": "Wired eth0", "ipv4": ETH0_STATE_IPV4}})


def test_status_without_primary_connection(recorder, testbed, scene):
    testbed.nm.set_primary_connection("/")
    try:
        assert ask(recorder, "status/get", "", "status").data["primaryConnection"] is None
    finally:
        since = recorder.count()
        testbed.nm.set_primary_connection(scene["primary"])
        recorder.wait_for("status", lambda d: d["primaryConnection"] is not None, since=since)


def test_status_with_a_primary_connection_that_lists_no_device(recorder, testbed, scene):
    active = mock_object(testbed.nm, scene["primary"])
    active.UpdateProperties(ACTIVE_IFACE, {"Devices": dbus.Array([], signature="o")})
    try:
        answer = ask_until(recorder, "status/get", "", "status",
                           lambda data: data["primaryConnection"]["interface"] is None)
    finally:
        active.UpdateProperties(ACTIVE_IFACE, {"Devices": dbus.Array([scene["eth0"]], signature="o")})
    assert typed(answer.data["primaryConnection"]) == typed({
        "interface": None, "type": None, "typeStr": None, "state": None, "stateStr": None,
        "connectionName": "Wired eth0", "ipv4": ETH0_STATE_IPV4})


def test_info_carries_the_program_version(recorder):
    banner = subprocess.run([os.environ["CORVEX_BIN"], "--version"], capture_output=True, text=True).stdout
    version = re.search(r" v(\S+)", banner)[1]
    info = ask(recorder, "info/get", "", "info")
    assert info.qos == 2
    assert typed(info.data) == typed({"service": {"type": "network", "version": version}})


# --- device state documents -------------------------------------------------------------------------

@pytest.mark.parametrize("iface, state, reason, ipv4", [
    ("eth0", 4, 0, ETH0_STATE_IPV4),
    # no carrier: Disconnected, whatever NetworkManager says (Unavailable here)
    ("eth1", 1, 0, None),
    # no carrier but still activated: Disconnected, and the addresses are still published
    ("eth2", 1, 0, ipv4_object("172.16.0.9", "255.255.0.0", "172.16.0.1")),
])
def test_ethernet_state(recorder, iface, state, reason, ipv4):
    answer = ask(recorder, "ethernet/state/get", {"interface": iface}, "ethernet/state", for_interface(iface))
    assert answer.qos == 0
    assert typed(answer.data) == typed({
        "interface": iface, "type": 1, "typeStr": "Ethernet", "state": state, "stateStr": STATE_TEXTS[state],
        "reason": reason, "reasonStr": "UnknownReason", "mac": f"00:1A:2B:3C:4D:1{iface[-1]}", "ipv4": ipv4})


def access_point(ssid: str, bssid: str, frequency: int, strength: int, security: str, mode: str,
                 rate: int) -> Dict[str, Any]:
    return {"ssid": ssid, "frequency": frequency, "hardwareAddress": bssid, "maxBitRate": rate,
            "signalStrength": strength, "mode": mode, "security": security}


AP_OBJECTS = [access_point(*ap) for ap in ACCESS_POINTS]


@pytest.mark.parametrize("iface, state, ap, ipv4", [
    ("wlan0", 4, AP_OBJECTS[0], ipv4_object("192.168.1.50", "255.255.255.0", "192.168.1.1", "192.168.1.1")),
    ("wlan1", 1, None, None),
])
def test_wifi_state(recorder, iface, state, ap, ipv4):
    answer = ask(recorder, "wifi/state/get", {"interface": iface}, "wifi/state", for_interface(iface))
    assert answer.qos == 0
    assert typed(answer.data) == typed({
        "interface": iface, "type": 2, "typeStr": "Wifi", "state": state, "stateStr": STATE_TEXTS[state],
        "reason": 0, "reasonStr": "UnknownReason", "mac": f"00:1A:2B:3C:4D:2{iface[-1]}", "ap": ap, "ipv4": ipv4})


MM_COMMON = {"device": {"id": MODEM["device_identifier"], "manufacturer": MODEM["manufacturer"],
                        "model": MODEM["model"], "revision": MODEM["revision"]},
             "signal": MODEM["signal_quality"]}
GSM = {"gsm": {"imei": MODEM["imei"], "operatorCode": MODEM["operator_code"],
               "operatorName": MODEM["operator_name"]}}
# A modem without SIM, like one ModemManager does not know, leaves out what it cannot read.
MODEM_MEMBERS = {
    "cdc-wdm0": {**MM_COMMON, **GSM, "sim": {"imsi": "262011234567890", "id": "89490200001234567890"}},
    "cdc-wdm1": {**MM_COMMON, **GSM},
    # The binding counts a modem as GSM only when it has the 3GPP interface: USSD alone shows neither.
    "cdc-wdm2": {**MM_COMMON, "sim": {"imsi": "262011234567890", "id": "89490200001234567890"}},
    "cdc-wdm3": {**MM_COMMON, "cdma": {"meid": "A1000012345678", "esn": "80123456"},
                 "sim": {"imsi": "262011234567890", "id": "89490200001234567890"}},
    "cdc-wdm9": {},
}


# port -> state, reason and ipv4 object of the NetworkManager device
MODEM_DEVICE_STATES = {
    "cdc-wdm0": (4, 0, ipv4_object("100.64.0.2", "255.255.255.252", "100.64.0.1", "10.0.0.53")),
    "cdc-wdm1": (1, 0, None), "cdc-wdm2": (1, 0, None), "cdc-wdm3": (1, 0, None),
    "cdc-wdm9": (0, MODEM_NOT_FOUND, None),
}
REASON_TEXTS = {0: "UnknownReason", MODEM_NOT_FOUND: "ModemNotFoundReason"}


@pytest.mark.parametrize("port", MODEMS)
def test_modem_state(recorder, port):
    answer = ask(recorder, "modem/state/get", {"interface": port}, "modem/state", for_interface(port))
    assert answer.qos == 0
    state, reason, ipv4 = MODEM_DEVICE_STATES[port]
    expected = dict(MODEM_MEMBERS[port])
    if port in SIGNAL_TECHNOLOGIES:
        expected["accessTechnologies"] = SIGNAL_TECHNOLOGIES[port]
    expected.update({"interface": port, "type": 8, "typeStr": "Modem", "state": state,
                     "stateStr": STATE_TEXTS[state], "reason": reason, "reasonStr": REASON_TEXTS[reason],
                     "ipv4": ipv4})
    assert typed(answer.data) == typed(expected)


# --- configuration documents ------------------------------------------------------------------------

@pytest.mark.parametrize("command, iface, expected", [
    ("ethernet", "eth0", {"method": "manual", "address": "192.168.20.5", "netmask": "255.255.255.0",
                          "gateway": "192.168.20.1", "dns0": "192.168.20.1", "dns1": "9.9.9.9", "mtu": 1400}),
    ("ethernet", "eth2", {"method": "auto", "mtu": 0}),
    # no profile at all
    ("ethernet", "eth1", {"method": "unknown"}),
    ("wifi", "wlan1", {"method": "unknown", "ssid": None, "key": None}),
    ("modem", "cdc-wdm1", {"method": "unknown"}),
])
def test_config_documents(recorder, command, iface, expected):
    answer = ask(recorder, f"{command}/config/get", {"interface": iface}, f"{command}/config", for_interface(iface))
    assert answer.qos == 0
    assert typed(answer.data) == typed({**expected, "interface": iface})


# The profile in use, with its key unless the secrets request fails.
@pytest.mark.parametrize("secrets_fail, key", [(False, {"key": "home-pass"}), (True, {})])
def test_wifi_config(recorder, testbed, scene, secrets_fail, key):
    testbed.nm.fail_secrets(scene["HomeNet"], secrets_fail)
    try:
        answer = ask(recorder, "wifi/config/get", {"interface": "wlan0"}, "wifi/config", for_interface("wlan0"))
    finally:
        testbed.nm.fail_secrets(scene["HomeNet"], False)
    assert answer.qos == 0
    assert typed(answer.data) == typed({"method": "auto", "ssid": "HomeNet", **key, "interface": "wlan0"})


@pytest.mark.parametrize("secrets_fail, password, pin", [(False, "mob-pass", "1234"), (True, "", "")])
def test_modem_config(recorder, testbed, scene, secrets_fail, password, pin):
    testbed.nm.fail_secrets(scene["Mobile"], secrets_fail)
    try:
        answer = ask(recorder, "modem/config/get", {"interface": "cdc-wdm0"}, "modem/config",
                     for_interface("cdc-wdm0"))
    finally:
        testbed.nm.fail_secrets(scene["Mobile"], False)
    assert answer.qos == 0
    assert typed(answer.data) == typed({"method": "auto", "apn": "internet.example", "username": "mobile",
                                        "password": password, "networkId": "26201", "pin": pin,
                                        "interface": "cdc-wdm0"})


# --- scan, signal and statistics documents ----------------------------------------------------------

def test_access_points_in_device_order(recorder):
    answer = ask(recorder, "wifi/aps/get", {"interface": "wlan0"}, "wifi/aps", for_interface("wlan0"))
    assert answer.qos == 0
    assert typed(answer.data) == typed({"interface": "wlan0", "aps": AP_OBJECTS})


def by_bssid(ap: Dict[str, Any]) -> str:
    return ap["hardwareAddress"]


# A hotspot profile never makes a network saved; a client profile of the same name does; case matters.
SAVED = {"HomeNet": True, "homenet": False, "Cafe": False, "Legacy": False, "Mixed": True, "Ad-hoc": False,
         "Odd": False}


def test_networks_group_access_points_and_flag_saved_ones(recorder):
    answer = ask(recorder, "wifi/networks/get", {"interface": "wlan0"}, "wifi/networks", for_interface("wlan0"))
    assert answer.qos == 0
    assert set(answer.data) == {"interface", "networks"}
    networks = {n["ssid"]: n for n in answer.data["networks"]}
    assert len(networks) == len(answer.data["networks"]) == len(SAVED)
    for ssid, saved in SAVED.items():
        # The binding keeps a network's access points in no particular order.
        network = dict(networks[ssid], accessPoints=sorted(networks[ssid]["accessPoints"], key=by_bssid))
        members = sorted((ap for ap in AP_OBJECTS if ap["ssid"] == ssid), key=by_bssid)
        strongest = max(members, key=lambda ap: ap["signalStrength"])
        assert typed(network) == typed({"ssid": ssid, "signalStrength": strongest["signalStrength"], "saved": saved,
                                        "device": "wlan0", "referenceAP": strongest, "accessPoints": members}), ssid


@pytest.mark.parametrize("port", MODEMS)
def test_modem_signal_as_published_on_reload(recorder, port):
    signal = recorder.wait_for("modem/signal", for_interface(port))
    assert signal.qos == 1
    expected = {"interface": port}
    if port in SIGNAL_TECHNOLOGIES:
        expected.update(quality=MODEM["signal_quality"], accessTechnologies=SIGNAL_TECHNOLOGIES[port])
    assert typed(signal.data) == typed(expected)


def test_modem_statistics_rounded_and_old_months_pruned(recorder):
    answer = ask(recorder, "modem/stats/get", {"interface": "cdc-wdm0"}, "modem/stats")
    assert answer.qos == 0
    expected = {month: {"upload": up, "download": down} for month, (_, (up, down)) in STATS.items()}
    assert typed(answer.data) == typed(expected)


# --- the hotspot: last, since starting one takes the Wifi device over -------------------------------

def test_hotspot_inactive_while_a_client_connection_runs(recorder):
    answer = ask(recorder, "wifi/hotspot/get", {"interface": "wlan0"}, "wifi/hotspot", for_interface("wlan0"))
    assert answer.qos == 0
    assert typed(answer.data) == typed({"interface": "wlan0", "active": False, **NULL6})


@pytest.mark.parametrize("profile, ssid, band, channel, hidden, key", [
    ("Cafe-Hotspot", "Cafe", "a", 36, True, "cafe-pass"),
    ("Mixed-Hotspot", "Mixed", "bg", 6, False, "spot-pass"),
    # no security setting: the secrets request fails and the key is empty
    ("Open-Hotspot", "OpenSpot", "bg", 0, False, ""),
])
def test_hotspot_active(recorder, testbed, scene, profile, ssid, band, channel, hidden, key):
    activate(testbed.nm, scene[profile], scene["wlan0"])
    testbed.nm.set_ip4_config(scene["wlan0"], [("10.42.0.1", 24)], replace=True)
    # The service learns of the new activation and addresses through signals: ask until it has.
    answer = ask_until(recorder, "wifi/hotspot/get", {"interface": "wlan0"}, "wifi/hotspot",
                       lambda data: data["ssid"] == ssid and data["ipv4"] and "address" in data["ipv4"])
    assert typed(answer.data) == typed({"interface": "wlan0", "active": True, "ssid": ssid, "band": band,
                                        "channel": channel, "hidden": hidden,
                                        "ipv4": ipv4_object("10.42.0.1", "255.255.255.0", ""), "key": key})


# --- what the broker received: QoS and retain flag of every document ---------------------------------

@pytest.mark.parametrize("topic, qos, retain", [
    ("status", 2, True), ("info", 2, True), ("ethernet/state", 0, True), ("wifi/state", 0, True),
    ("modem/state", 0, True), ("ethernet/config", 0, True), ("wifi/config", 0, True), ("modem/config", 0, True),
    ("wifi/hotspot", 0, True), ("wifi/aps", 0, False), ("wifi/networks", 0, False), ("modem/signal", 1, True),
    ("modem/stats", 0, True),
])
def test_every_document_goes_out_with_its_qos_and_retain_flag(running, testbed, topic, qos, retain):
    lines = broker_log.read(testbed.broker.log_path)
    (session,) = broker_log.sessions(lines)
    # The three-byte "{ }" clears on connection are retained by design, whatever the topic.
    sent = {(p.qos, p.retain) for p in broker_log.publications(lines, session.client)
            if p.topic == f"{BASE_TOPIC}/{topic}" and p.size != 3}
    assert sent == {(qos, retain)}
