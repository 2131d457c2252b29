"""Provisioning as NetworkManager's call log and the file show it; one service, tests build on each other."""

import configparser
import os

import pytest

from helpers import Session, for_interface, shared_service

WRITES = ("AddAndActivateConnection", "Update", "DeactivateConnection", "ActivateConnection")
CREATE, UPDATE, DEACTIVATE, ACTIVATE = WRITES
OFFICE = {"interface": "eth0", "method": "manual", "address": "10.0.0.5", "netmask": "255.255.255.0",
          "gateway": "10.0.0.1", "dns0": "9.9.9.9"}
WIFI, MODEM, MOVED = {"ssid": "Office", "key": "key1-pass", "method": "auto"}, {"apn": "internet", "pin": "1234"}, \
    dict(OFFICE, address="10.0.0.7")
CONNECTED, DISCONNECTED = 4, 1
NO_REPLY = ("Did not receive a reply. Possible causes include: the remote application did not send a reply, the "
            "message bus security policy blocked the reply, the reply timeout expired, or the network connection was "
            "broken.")


@pytest.fixture(scope="module")
def session(testbed, tmp_path_factory):
    nm = testbed.nm
    for n, carrier in enumerate((True, False, True, False)):
        nm.add_ethernet(f"eth{n}", f"02:00:00:00:00:0{n + 1}", carrier=carrier)
    wlan0 = nm.add_wifi("wlan0", "02:00:00:00:01:01")
    for n, (ssid, security) in enumerate((("Guest", "none"), ("Office", "wpa2"), ("Shop", "wpa1-wpa2"),
                                          ("Printer", "wep"), ("Lab", "wpa1"))):
        nm.add_access_point(wlan0, ssid, f"02:aa:00:00:00:0{n}", security=security)
    testbed.add_modem("wwan0", "cdc-wdm0")
    for name, bound in (("eth1", ""), ("Older", "eth0"), ("Guest", "eth9")):  # eth0's own profile comes later
        bound_to = {"interface-name": bound} if bound else {}  # libnm refuses an empty name
        nm.add_connection({"connection": {"id": name, "type": "802-3-ethernet", **bound_to}, "ipv4": {"method": "auto"}})
    nm.add_connection({"connection": {"id": "Guest", "type": "802-11-wireless"}, "ipv4": {"method": "shared"},
                       "802-11-wireless": {"ssid": b"Guest", "mode": "ap"}})  # as eth9's "Guest": no client profile
    sections = {"Modem": {"id": "Cellular"}, "Ethernet-2": {"interface": "eth1"}, "Extra": {"keep": "yes"}}
    with shared_service(testbed, str(tmp_path_factory.mktemp("provisioning")), sections) as running:
        session = Session(*running)
        session.wait_for("modem/state", lambda d: for_interface("cdc-wdm0")(d) and d["state"] == CONNECTED)
        session.startup, session.mode = testbed.nm.calls(), os.stat(session.service.config_path).st_mode
        yield session


# Each step: the request (None: what the service did on connecting), the call made to fail (or to hang), the
# calls expected and the log line of the failure: in a list when it is also the error document answering the request.
WALKS = {
    "ethernet": ("ethernet/config/set", "eth0", [
        (OFFICE, CREATE, [CREATE], ["Failed to create connection 'Ethernet' : Simulated failure"]),
        (OFFICE, None, [CREATE], None), (OFFICE, None, [], None),
        (dict(OFFICE, address="10.0.0.6"), DEACTIVATE, [UPDATE, DEACTIVATE, ACTIVATE],
         "Failed to deactivate connection 'Ethernet' before reapplying settings: Simulated failure"),
        (MOVED, UPDATE, [UPDATE], ["Failed to update connection 'Ethernet' : Simulated failure"]),
        (MOVED, ACTIVATE, [UPDATE, DEACTIVATE, ACTIVATE], ["Failed to activate connection: Simulated failure"]),
        (MOVED, None, [ACTIVATE], None),
        # A call that never answers ends the run: the rest is not sent, and fails with the timeout's text.
        (OFFICE, "hang " + DEACTIVATE, [UPDATE, DEACTIVATE], ["Failed to activate connection: " + NO_REPLY])]),
    "wifi": ("wifi/config/set", "wlan0", [
        (WIFI, None, [CREATE], None),
        (WIFI, "GetSecrets", [UPDATE, DEACTIVATE, ACTIVATE], "Failed to get secrets: 'Office' : Simulated failure"),
        (WIFI, None, [], None),
        ({"ssid": "Nowhere", "method": "auto"}, None, [], "Configured access point 'Nowhere' not in range."),
        ({"ssid": ""}, None, [DEACTIVATE], None),
        (WIFI, ACTIVATE, [ACTIVATE], ["Failed to activate connection: Simulated failure"]),
        (WIFI, None, [ACTIVATE], None),
        ({"ssid": ""}, DEACTIVATE, [DEACTIVATE], ["Failed to deactivate connection: Simulated failure"])]),
    "no carrier": ("ethernet/config/set", "eth1", [({"method": "auto", "mtu": 1300}, None, [UPDATE], None)]),
    "no carrier or profile": ("ethernet/config/set", "eth3", [
        ({"method": "auto"}, None, [], "[Ethernet] Connection 'eth3' does not exist. Creating and activating.")]),
    "modem": ("modem/config/set", "cdc-wdm0", [
        (None, None, [CREATE], None), (MODEM, None, [UPDATE, DEACTIVATE, ACTIVATE], None),
        (dict(MODEM, apn="web"), UPDATE, [UPDATE], ["Failed to update connection 'Cellular' : Simulated failure"]),
        (MODEM, None, [], None)]),
}


@pytest.mark.parametrize("kind", WALKS)
def test_outcomes_and_failures(session, testbed, kind) -> None:
    command, iface, steps = WALKS[kind]
    device = testbed.nm.device("wwan0" if kind == "modem" else iface)
    for request, failing, expected, logged in steps:
        testbed.nm.clear_calls()
        since = session.count()
        hang = failing and failing.startswith("hang ") and failing[5:]
        if hang:
            testbed.nm.hang(hang)
        elif failing:
            testbed.nm.fail_next(failing, "org.freedesktop.NetworkManager.Failed")
        answer = [] if request is None else session.ask(command, dict(request, interface=iface))
        if hang:
            testbed.nm.hang(hang, hanging=False)
        calls = [c for c in session.startup if device in c[3]] if request is None else testbed.nm.calls()
        lines = logged if isinstance(logged, list) else [logged] if logged else []
        assert ([c[2] for c in calls if c[2] in WRITES], [line for line in lines if line not in session.log()],
                [m.data for m in answer if m.topic == "error"]) == \
            (expected, [], [{"command": command, "error": line} for line in lines if isinstance(logged, list)])
        # The next step needs the service to know the outcome of this one's activation.
        settled = CONNECTED if expected[-1:] in ([CREATE], [ACTIVATE]) and failing != expected[-1] else \
            DISCONNECTED if DEACTIVATE in expected and failing != DEACTIVATE else None
        if settled and request is not None:
            session.wait_for(command.replace("config/set", "state"),
                             lambda d: for_interface(iface)(d) and d["state"] == settled, since)


@pytest.mark.parametrize("command, request_, expected", [
    ("wifi/config/set", {"ssid": "Guest"}, {"802-11-wireless": {"ssid": b"Guest", "mode": "infrastructure"},
                                            "802-11-wireless-security": None}),
    ("wifi/config/set", {"ssid": "Shop", "key": "key2-pass"},
     {"802-11-wireless-security": {"key-mgmt": "wpa-psk", "psk": "key2-pass"}, "ipv6": {"method": "ignore"}}),
    ("wifi/config/set", {"ssid": "Printer", "key": "k3"},
     {"802-11-wireless-security": {"key-mgmt": "none", "wep-key0": "k3", "wep-key-type": 2}}),
    ("ethernet/config/set", {"interface": "eth2", "method": "auto", "mtu": 1400, "ipv6": "Disabled"},
     {"connection": {"interface-name": "eth2"}, "802-3-ethernet": {"mtu": 1400}, "ipv6": {"method": "ignore"}}),
    ("ethernet/config/set", {"interface": "eth1", "method": "shared", "address": "10.42.0.1", "netmask": "255.0.0.0"},
     {"connection": {"id": "eth1", "interface-name": "eth1"}, "ipv4": {"method": "shared"}}),
    ("ethernet/config/set", {"interface": "eth0", "method": "manual", "address": "10.0.0.9", "netmask": "255.0.0.0"},
     {"ipv4": {"method": "manual"}}),
    ("modem/config/set", {"apn": "web", "username": "u", "password": "p", "networkId": "26201"},
     {"gsm": {"apn": "web", "username": "u", "password": "p", "network-id": "26201", "number": "*99#",
              "password-flags": 0, "pin-flags": 4, "pin": None}}),
])
def test_settings_written(session, testbed, command, request_, expected) -> None:
    since = session.count()
    session.ask(command, request_)
    sent = [args[0] for _p, _i, method, args in testbed.nm.calls() if method in (CREATE, UPDATE)][-1]
    assert {group: {k: sent[group].get(k) for k in values} if values else sent.get(group)
            for group, values in expected.items()} == expected
    if command == "ethernet/config/set":  # the document shows the profile in use; without carrier at once
        members = ("interface", "method", "address")
        session.wait_for("ethernet/config", lambda d: [d.get(k) for k in members] == [request_.get(k) for k in members],
                         since)


@pytest.mark.parametrize("request_, ssid, key, autocon", [
    ({"ssid": "Office", "key": "key1-pass", "autoconnect": False}, "Office", "key1-pass", "false"),
    ({"ssid": "Shop"}, "Shop", "key2-pass", "true"),  # the saved profile's key and autoconnect
    ({"ssid": "Nowhere", "key": "key4-pass"}, "Nowhere", "key4-pass", "true"),
    ({"ssid": "Nowhere"}, "Nowhere", "key4-pass", "true"),  # no saved profile: the stored key for the same SSID
    ({"ssid": "Lab"}, "Lab", "", "true"), ({"ssid": ""}, "", "", "true"),
])
def test_wifi_record_and_file(session, request_, ssid, key, autocon) -> None:
    session.ask("wifi/config/set", request_)
    (ini := configparser.ConfigParser(interpolation=None)).read(session.service.config_path)
    assert ([ini["Wifi"][k] for k in ("ssid", "key", "autocon", "method")], ini["Extra"]["keep"],
            [ini[f"Ethernet-{n}"]["interface"] for n in (2, 3)], os.stat(session.service.config_path).st_mode,
            [ini["Modem"][k] for k in ("usageSec", "autocon")]) == \
        ([ssid, key, autocon, ""], "yes", ["eth1", "eth0"], session.mode, ["120", "true"])



# Each method written over the profile NetworkManager holds (the conformance test replays every write into the real
# daemon), as the profile then reads: link-local keeps nothing, auto the name servers, shared no name servers.
def test_method_changes_in_place(session, testbed) -> None:
    shown, auto, off = [], {"method": "auto"}, {"method": "disabled"}
    share = {"method": "shared", "address": "10.42.0.1", "netmask": "255.255.255.0"}
    for request in (OFFICE, auto, share, off, OFFICE, off, share, OFFICE, share, auto, off, auto, OFFICE):
        testbed.nm.clear_calls()
        session.ask("ethernet/config/set", dict(request, interface="eth2"))
        ipv4 = testbed.nm.settings(testbed.nm.calls(UPDATE)[-1][0])["ipv4"]
        shown.append(", ".join([ipv4["method"], *[f"{a['address']}/{a['prefix']}" for a in ipv4["address-data"]],
                                *[f"dns {d}" for d in ipv4.get("dns-data", [])],
                                *[f"gateway {g}" for g in [ipv4.get("gateway")] if g]]))
    manual, shared = "manual, 10.0.0.5/24, dns 9.9.9.9, gateway 10.0.0.1", "shared, 10.42.0.1/24"
    assert shown == [manual, "auto, dns 9.9.9.9", shared, "link-local", manual, "link-local", shared, manual, shared,
                     "auto", "link-local", "auto", manual]
