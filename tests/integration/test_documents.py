"""Every published document, whole and with its JSON types; the scene is built before the service starts."""

from __future__ import annotations

from typing import Any, Dict, Iterator, Tuple

import dbus
import pytest

from helpers import BASE_TOPIC, MqttRecorder, activate, ask, ask_until, for_interface, mock_object, shared_service
from testbed import broker_log
from testbed.nm import BUS_NAME, FAILED, NM_PATH

pytestmark = pytest.mark.testbed()

MODEM_NOT_FOUND = 43
STATE_TEXTS = ["Unavailable", "Disconnected", "Disconnecting", "Connecting", "Connected"]


ETH0_IPV4 = {"method": "manual", "gateway": "192.168.20.1", "dns": ["192.168.20.1", "9.9.9.9", "1.1.1.1"],
             "address-data": [{"address": "192.168.20.5", "prefix": 24}, {"address": "10.1.0.5", "prefix": 16}]}
# ssid, bssid, frequency, strength, security, mode, max bit rate
ACCESS_POINTS = [
    ("HomeNet", "02:00:00:00:02:01", 2412, 80, "wpa2", "infra", 54000),
    ("HomeNet", "02:00:00:00:02:02", 5180, 40, "wpa2", "infra", 866700),
    ("homenet", "02:00:00:00:02:03", 2437, 30, "none", "infra", 54000),
    ("Cafe", "02:00:00:00:02:04", 2462, 55, "wep", "infra", 11000),
    ("Legacy", "02:00:00:00:02:05", 2422, 20, "wpa1", "infra", 54000),
    ("Mixed", "02:00:00:00:02:06", 5200, 65, "wpa1-wpa2", "infra", 300000),
    ("Ad-hoc", "02:00:00:00:02:07", 2412, 10, "none", "adhoc", 11000),
]
# Order matters: "Mixed" is the first available, "HomeNet" the one in use.
WIFI_PROFILES = {name: {"connection": {"id": name, "type": "802-11-wireless", "interface-name": "wlan0"},
                        "802-11-wireless": {"ssid": name.split("-")[0].encode(), "mode": mode},
                        "ipv4": {"method": "shared" if mode == "ap" else "auto"},
                        "802-11-wireless-security": {"key-mgmt": "wpa-psk", "psk": f"{name}-pass"}}
                 for name, mode in [("Mixed", "infrastructure"), ("HomeNet", "infrastructure"), ("Cafe-Hotspot", "ap"),
                                    ("Mixed-Hotspot", "ap")]}
GSM_PROFILE = {"connection": {"id": "Mobile", "type": "gsm", "interface-name": "cdc-wdm0"}, "ipv4": {"method": "auto"},
               "gsm": {"apn": "internet.example", "username": "mobile", "password": "mob-pass", "pin": "1234",
                       "network-id": "26201"}}
MODEM = dict(manufacturer="Quectel", model="EC25", revision="EC25EFAR06A06M4G", device_identifier="5d4c1f8a",
             imei="867698041234567", operator_code="26201", operator_name="Telekom.de", signal_quality=75)
SIM = ("262011234567890", "89490200001234567890")
# port -> extra ModemManager properties, or None for a modem ModemManager does not know
MODEMS: Dict[str, Any] = {
    "cdc-wdm0": dict(sim=SIM, access_technologies=("umts", "lte")),
    "cdc-wdm1": dict(sim=None, access_technologies=("gsm", "gprs", "edge")),
    "cdc-wdm2": dict(sim=SIM, interfaces=("ussd",), access_technologies=("5gnr",)),
    "cdc-wdm3": dict(sim=SIM, capabilities=("cdma",), meid="A1000012345678", esn="80123456",
                     access_technologies=("1xrtt",)),
    "cdc-wdm9": None,
}
TECHNOLOGIES = {"cdc-wdm0": ["UMTS", "LTE"], "cdc-wdm1": ["GSM", "GPRS", "EDGE"], "cdc-wdm2": [],
                "cdc-wdm3": ["1XRTT"]}


def typed(value: Any) -> Any:
    """A JSON value with its type made explicit, so that 1 never equals true."""
    if isinstance(value, (dict, list)):
        return {k: typed(v) for k, v in value.items()} if isinstance(value, dict) else [typed(v) for v in value]
    return ("number", float(value)) if type(value) in (int, float) else (type(value).__name__, value)


@pytest.fixture(scope="module")
def scene(testbed) -> Dict[str, str]:
    nm, paths = testbed.nm, {}
    for iface, ipv4, mtu in (("eth0", ETH0_IPV4, 1400), ("eth2", {"method": "auto"}, 0)):
        paths[f"Wired {iface}"] = nm.add_connection({
            "connection": {"id": f"Wired {iface}", "type": "802-3-ethernet", "interface-name": iface},
            "802-3-ethernet": {"mtu": mtu} if mtu else {}, "ipv4": ipv4})
    for name, profile in WIFI_PROFILES.items():
        paths[name] = nm.add_connection(profile)
    paths["Mobile"] = nm.add_connection(GSM_PROFILE)
    for i in range(3):
        paths[f"eth{i}"] = nm.add_ethernet(f"eth{i}", f"00:1A:2B:3C:4D:1{i}", carrier=i != 1)
    paths["wlan0"] = nm.add_wifi("wlan0", "00:1A:2B:3C:4D:20")
    paths["wlan1"] = nm.add_wifi("wlan1", "00:1A:2B:3C:4D:21")
    for ap in ACCESS_POINTS:
        nm.add_access_point(paths["wlan0"], *ap)
    for index, (port, extra) in enumerate(MODEMS.items()):
        if extra is None:
            paths[port] = nm.add_modem(port, "/org/freedesktop/ModemManager1/Modem/99", ip_iface="wwan9")
        else:
            paths[port] = testbed.add_modem(f"wwan{index}", port, **MODEM, **extra)["device"]

    activate(nm, paths["Wired eth0"], paths["eth0"])
    activate(nm, paths["Wired eth2"], paths["eth2"])
    nm.set_ip4_config(paths["eth2"], [("172.16.0.9", 16)], "172.16.0.1", replace=True)
    # A cable pulled so recently that NetworkManager still reports the connection as activated.
    mock_object(nm, paths["eth2"]).UpdateProperties(BUS_NAME + ".Device.Wired", {"Carrier": dbus.Boolean(False)})
    activate(nm, paths["HomeNet"], paths["wlan0"])
    nm.set_ip4_config(paths["wlan0"], [("192.168.1.50", 24)], "192.168.1.1", ["192.168.1.1"], replace=True)
    activate(nm, paths["Mobile"], paths["cdc-wdm0"])
    nm.set_ip4_config(paths["cdc-wdm0"], [("100.64.0.2", 30)], "100.64.0.1", ["10.0.0.53"], replace=True)
    nm.set_device_state(paths["cdc-wdm9"], FAILED, MODEM_NOT_FOUND)
    paths["primary"] = nm.get(NM_PATH, BUS_NAME, "PrimaryConnection")
    return paths


@pytest.fixture(scope="module")
def recorder(testbed, scene, tmp_path_factory) -> Iterator[MqttRecorder]:
    with shared_service(testbed, str(tmp_path_factory.mktemp("corvex")), {"Modem": {"usageSec": 0}}) as (_, recorder):
        yield recorder


def ipv4(address: str, netmask: str, gateway: str, *dns: str) -> Dict[str, str]:
    return {"address": address, "netmask": netmask, "gateway": gateway, **{f"dns{i}": d for i, d in enumerate(dns)}}


def device(iface: str, kind: Tuple[int, str], state: int, reason=(0, "UnknownReason"), **members) -> Dict[str, Any]:
    return {"interface": iface, "type": kind[0], "typeStr": kind[1], "state": state, "stateStr": STATE_TEXTS[state],
            "reason": reason[0], "reasonStr": reason[1], **members}


ETHERNET, WIFI, MODEM_TYPE = (1, "Ethernet"), (2, "Wifi"), (8, "Modem")
ETH0_STATE_IPV4 = ipv4("192.168.20.5", "255.255.255.0", "192.168.20.1", "192.168.20.1", "9.9.9.9", "1.1.1.1")
AP_OBJECTS = [{"ssid": ssid, "frequency": frequency, "hardwareAddress": bssid, "maxBitRate": rate,
               "signalStrength": strength, "mode": mode, "security": security}
              for ssid, bssid, frequency, strength, security, mode, rate in ACCESS_POINTS]
MM_COMMON = {"device": {"id": MODEM["device_identifier"], "manufacturer": MODEM["manufacturer"],
                        "model": MODEM["model"], "revision": MODEM["revision"]}, "signal": MODEM["signal_quality"]}
GSM = {"gsm": {"imei": MODEM["imei"], "operatorCode": MODEM["operator_code"], "operatorName": MODEM["operator_name"]}}
SIM_OBJECT = {"sim": {"imsi": SIM[0], "id": SIM[1]}}


def modem(port: str, state: int = 1, **members) -> Dict[str, Any]:
    return device(port, MODEM_TYPE, state, **{**MM_COMMON, "accessTechnologies": TECHNOLOGIES[port], "ipv4": None,
                                              **members})


def on(port: str) -> Dict[str, str]:
    return {"interface": port}


@pytest.mark.parametrize("command, payload, expected", [
    ("status/get", "", {"hostname": "testbed", "state": 7, "stateStr": "Connected", "connectivity": 4,
                        "connectivityStr": "Full", "primaryConnection": {
                            "interface": "eth0", "type": 1, "typeStr": "Ethernet", "state": 4, "stateStr": "Connected",
                            "connectionName": "Wired eth0", "ipv4": ETH0_STATE_IPV4}}),
    ("info/get", "", {"service": {"type": "network", "version": "1.0.28"}}),
    ("ethernet/state/get", on("eth0"), device("eth0", ETHERNET, 4, mac="00:1A:2B:3C:4D:10", ipv4=ETH0_STATE_IPV4)),
    # No carrier: Disconnected, whatever NetworkManager says; still activated, the addresses are still there.
    ("ethernet/state/get", on("eth1"), device("eth1", ETHERNET, 1, mac="00:1A:2B:3C:4D:11", ipv4=None)),
    ("ethernet/state/get", on("eth2"), device("eth2", ETHERNET, 1, mac="00:1A:2B:3C:4D:12",
                                              ipv4=ipv4("172.16.0.9", "255.255.0.0", "172.16.0.1"))),
    ("wifi/state/get", on("wlan0"), device("wlan0", WIFI, 4, mac="00:1A:2B:3C:4D:20", ap=AP_OBJECTS[0], ipv4=ipv4(
        "192.168.1.50", "255.255.255.0", "192.168.1.1", "192.168.1.1"))),
    ("wifi/state/get", on("wlan1"), device("wlan1", WIFI, 1, mac="00:1A:2B:3C:4D:21", ap=None, ipv4=None)),
    ("modem/state/get", on("cdc-wdm0"), modem("cdc-wdm0", 4, **GSM, **SIM_OBJECT, ipv4=ipv4(
        "100.64.0.2", "255.255.255.252", "100.64.0.1", "10.0.0.53"))),
    ("modem/state/get", on("cdc-wdm1"), modem("cdc-wdm1", **GSM)),  # no SIM
    # The binding counts a modem as GSM only when it has the 3GPP interface: USSD alone shows neither.
    ("modem/state/get", on("cdc-wdm2"), modem("cdc-wdm2", **SIM_OBJECT)),
    ("modem/state/get", on("cdc-wdm3"), modem("cdc-wdm3", **SIM_OBJECT, cdma={"meid": "A1000012345678",
                                                                             "esn": "80123456"})),
    ("modem/state/get", on("cdc-wdm9"), device("cdc-wdm9", MODEM_TYPE, 0, (MODEM_NOT_FOUND, "ModemNotFoundReason"),
                                               ipv4=None)),  # unknown to ModemManager
    ("ethernet/config/get", on("eth0"), {
        "interface": "eth0", "method": "manual", "address": "192.168.20.5", "netmask": "255.255.255.0",
        "gateway": "192.168.20.1", "dns0": "192.168.20.1", "dns1": "9.9.9.9", "mtu": 1400}),
    ("ethernet/config/get", on("eth2"), {"interface": "eth2", "method": "auto", "mtu": 0}),
    ("ethernet/config/get", on("eth1"), {"interface": "eth1", "method": "unknown"}),  # no profile at all
    ("wifi/config/get", on("wlan1"), {"interface": "wlan1", "method": "unknown", "ssid": None, "key": None}),
    ("modem/config/get", on("cdc-wdm1"), {"interface": "cdc-wdm1", "method": "unknown"}),
    ("wifi/aps/get", on("wlan0"), {"interface": "wlan0", "aps": AP_OBJECTS}),
    ("modem/stats/get", on("cdc-wdm0"), {}),  # nothing stored yet
    ("wifi/hotspot/get", on("wlan0"), {"interface": "wlan0", "active": False, **dict.fromkeys(
        ("ssid", "band", "channel", "hidden", "ipv4", "key"))}),
])
def test_document(recorder, command, payload, expected):
    match = for_interface(expected["interface"]) if "interface" in expected else None
    assert typed(ask(recorder, command, payload, command[:-4], match).data) == typed(expected)


def test_status_of_a_primary_connection_without_device(recorder, testbed, scene):
    active = mock_object(testbed.nm, scene["primary"])
    active.UpdateProperties(BUS_NAME + ".Connection.Active", {"Devices": dbus.Array([], signature="o")})
    primary = {**dict.fromkeys(("interface", "type", "typeStr", "state", "stateStr")),
               "connectionName": "Wired eth0", "ipv4": ETH0_STATE_IPV4}
    try:
        status = ask_until(recorder, "status/get", "", "status", lambda d: d["primaryConnection"] == primary)
    finally:
        active.UpdateProperties(BUS_NAME + ".Connection.Active",
                                {"Devices": dbus.Array([scene["eth0"]], signature="o")})
    assert typed(status.data["primaryConnection"]) == typed(primary)


# The profile in use, with its secrets unless the secrets request fails.
@pytest.mark.parametrize("kind, port, profile, secrets_fail, expected", [
    ("wifi", "wlan0", "HomeNet", False, {"method": "auto", "ssid": "HomeNet", "key": "HomeNet-pass"}),
    ("wifi", "wlan0", "HomeNet", True, {"method": "auto", "ssid": "HomeNet"}),
    ("modem", "cdc-wdm0", "Mobile", False, {"method": "auto", "apn": "internet.example", "username": "mobile",
                                            "password": "mob-pass", "networkId": "26201", "pin": "1234"}),
    ("modem", "cdc-wdm0", "Mobile", True, {"method": "auto", "apn": "internet.example", "username": "mobile",
                                           "password": "", "networkId": "26201", "pin": ""}),
])
def test_config_with_secrets(recorder, testbed, scene, kind, port, profile, secrets_fail, expected):
    testbed.nm.fail_secrets(scene[profile], secrets_fail)
    try:
        answer = ask(recorder, f"{kind}/config/get", on(port), f"{kind}/config", for_interface(port))
    finally:
        testbed.nm.fail_secrets(scene[profile], False)
    assert typed(answer.data) == typed({**expected, "interface": port})


# A hotspot profile never makes a network saved; a client profile of the same name does; case matters.
SAVED = {"HomeNet": True, "homenet": False, "Cafe": False, "Legacy": False, "Mixed": True, "Ad-hoc": False}


def test_networks_group_access_points_and_flag_saved_ones(recorder):
    def by(member):
        return lambda item: item[member]
    networks = ask(recorder, "wifi/networks/get", on("wlan0"), "wifi/networks", for_interface("wlan0")).data
    for network in networks["networks"]:
        network["accessPoints"].sort(key=by("hardwareAddress"))  # kept in no particular order
    networks["networks"].sort(key=by("ssid"))
    members = {ssid: [ap for ap in AP_OBJECTS if ap["ssid"] == ssid] for ssid in SAVED}  # in address order
    strongest = {ssid: max(aps, key=by("signalStrength")) for ssid, aps in members.items()}
    assert typed(networks) == typed({"interface": "wlan0", "networks": sorted((
        {"ssid": ssid, "signalStrength": strongest[ssid]["signalStrength"], "saved": SAVED[ssid], "device": "wlan0",
         "referenceAP": strongest[ssid], "accessPoints": aps} for ssid, aps in members.items()), key=by("ssid"))})


SENT = {"status": (2, True), "info": (2, True), "wifi/aps": (0, False), "wifi/networks": (0, False),
        "modem/signal": (1, True), "error": (0, False),
        **{t: (0, True) for t in ("ethernet/state", "wifi/state", "modem/state", "ethernet/config", "wifi/config",
                                  "modem/config", "wifi/hotspot", "modem/stats", "wifi/radio")}}


def test_every_document_goes_out_with_its_qos_and_retain_flag(recorder, testbed):
    """Last: what the broker received from the service over the whole module, and one error."""
    ask(recorder, "wifi/state/get", on("eth0"), "error")
    log = broker_log.read(testbed.broker.log_path)
    (session,) = broker_log.sessions(log)
    sent: Dict[str, set] = {}
    for p in broker_log.publications(log, session.client):
        if p.size != 3:  # the three-byte "{ }" clears on connection are retained by design
            sent.setdefault(p.topic[len(BASE_TOPIC) + 1:], set()).add((p.qos, p.retain))
    assert sent == {topic: {flags} for topic, flags in SENT.items()}
