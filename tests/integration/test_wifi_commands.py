import configparser
import time

import pytest

from helpers import Session, activate, log_times, shared_service, wait_for_log_count
from testbed.nm import BUS_NAME, NM_PATH

HOTSPOT, CONNECTED = "wifi/hotspot/set", "[Wifi] State changed: Connected (dev=wlan0"
CHANGES = ("DeactivateConnection", "Delete", "Update", "ActivateConnection", "AddAndActivateConnection", "Set")
SHARED, MANUAL = {"address": "10.42.0.1", "netmask": "255.255.255.0", "gateway": ""}, \
    {"address": "192.168.9.1", "netmask": "255.255.255.252"}
CAFE = {"method": "manual", "address-data": [{"address": "10.1.1.2", "prefix": 24}], "gateway": "10.1.1.1",
        "dns": ["192.0.2.53"]}
PROFILES = {"HomeNet": ({}, {"method": "auto"}), "Cafe": ({}, CAFE), "Office": ({}, {"method": "auto"}),
            "Spot": ({"mode": "ap", "band": "bg", "channel": 11}, {"method": "shared"}),
            "Lounge": ({"mode": "ap", "band": "a", "channel": 36}, {"method": "shared"})}


@pytest.fixture
def wifi(testbed, tmp_path):
    nm = testbed.nm
    if not hasattr(testbed, "wlan0"):
        testbed.wlan0 = nm.add_wifi("wlan0", "02:00:00:00:01:01")
        for i, ssid in enumerate(("HomeNet", "Cafe", "Library")):
            nm.add_access_point(testbed.wlan0, ssid, f"02:aa:00:00:00:0{i}")
    for path in nm.get(NM_PATH + "/Settings", BUS_NAME + ".Settings", "Connections"):
        nm.bus.get_object(nm.unique_name, path).Delete(dbus_interface=BUS_NAME + ".Settings.Connection")
    testbed.profiles = {ssid: nm.add_connection({
        "connection": {"id": ssid, "type": "802-11-wireless"}, "ipv4": ipv4, "ipv6": {"method": "ignore"},
        "802-11-wireless": {"mode": "infrastructure", **wireless, "ssid": ssid.encode()},
        "802-11-wireless-security": {"key-mgmt": "wpa-psk", "psk": ssid.lower() + "-passphrase"}})
        for ssid, (wireless, ipv4) in PROFILES.items()}
    nm.clear_calls()
    with shared_service(testbed, str(tmp_path), {"Wifi": {"ssid": "Office", "key": "office-passphrase"}}) as running:
        yield Session(*running)


def connected(session: Session, action) -> int:
    count, since = len(log_times(session.service, CONNECTED)), session.count()
    action()
    wait_for_log_count(session.service, CONNECTED, count + 1, 10)
    return since


def changes(testbed) -> list:
    names = {path: ssid for ssid, path in testbed.profiles.items()}
    return [m + (f" {names[p]}" if m in ("Delete", "Update") else f" {a[-1]}" if m == "Set" else "")
            for p, _, m, a in testbed.nm.calls() if m in CHANGES]


def outcome(command: str, request_: dict, errors: list) -> list:
    """The error documents (QoS 0), then the result (QoS 2) when the request's id is a string or a number."""
    documents = [("error", 0, {"command": command, "error": error}) for error in errors]
    if type(request_.get("id")) in (str, int, float):
        documents.append(("result", 2, {"command": command, "id": request_["id"], "ok": not errors,
                                        **({"error": errors[-1]} if errors else {})}))
    return documents


# "Clear": the file forgot the configured network. NetworkManager's refusals ("boom") are answered with the service's
# log line for them; a request with an id also gets its result. `active`: a profile activated, or a command run first
# (a hotspot it starts is up before the one under test).
@pytest.mark.parametrize("active, command, request_, failing, errors, changed", [
    ("HomeNet", "wifi/connect", {"key": "k"}, None, ["'ssid' not specified"], []),
    ("HomeNet", "wifi/connect", {"ssid": "Office"}, None,
     ["Configured access point 'Office' not in range. Will not attempt to connect."], []),
    ("HomeNet", "wifi/connect", {"ssid": "HomeNet"}, None, [], []),
    ("HomeNet", "wifi/connect", {"ssid": "HomeNet", "autoconnect": False}, None, [],
     ["Update HomeNet", "DeactivateConnection", "ActivateConnection"]),
    ("HomeNet", "wifi/connect", {"ssid": "Cafe", "id": 1}, None, [], ["Update Cafe", "ActivateConnection"]),
    ("HomeNet", "wifi/connect", {"ssid": "Cafe"}, "Update", ["Failed to update connection 'Cafe' : boom"],
     ["Update Cafe"]),
    ("HomeNet", "wifi/connect", {"ssid": "Cafe", "id": "c"}, "ActivateConnection",
     ["Failed to activate connection: boom"], ["Update Cafe", "ActivateConnection"]),
    (None, "wifi/connect", {"ssid": "Library"}, "AddAndActivateConnection",
     ["Failed to create connection 'Library' : boom"], ["AddAndActivateConnection"]),
    ("HomeNet", "wifi/disconnect", {}, "DeactivateConnection", ["Failed to deactivate connection: boom"],
     ["DeactivateConnection"]),
    ("Cafe", "wifi/disconnect", {"forget": True}, "Delete", ["Failed to remove connection: boom"],
     ["DeactivateConnection", "Delete Cafe"]),
    ("Cafe", "wifi/forget", {"ssid": "Cafe"}, "DeactivateConnection", ["Failed to deactivate connection: boom"],
     ["DeactivateConnection", "Delete Cafe"]),
    (None, "wifi/disable", {"id": 2.5}, "Set", ["Failed to disable radio: boom"], ["Set False"]),
    (None, "wifi/enable", {}, "Set", ["Failed to enable radio: boom"], ["Set True"]),
    # Result shapes: a get, a set that works, an unknown command; an id of another kind asks for none.
    (None, "wifi/state/get", {"id": "s"}, None, [], []),
    (None, "wifi/config/set", {"ssid": "Office", "key": "office-passphrase", "id": 3}, None, [], []),
    (None, "wifi/scan/set", {"id": 4}, None, ["Unsupported command"], []),
    (None, "wifi/state/get", {"id": True}, None, [], []),
    (None, "wifi/forget", {}, None, ["'ssid' not specified"], []),
    (None, "wifi/forget", {"ssid": "Nowhere"}, None, ["No saved connection for: Nowhere"], []),
    (None, "wifi/forget", {"ssid": "Spot"}, None, ["No saved connection for: Spot"], []),
    *[("HomeNet", command, {"interface": "eth9", "ssid": "Cafe", "id": command}, None,
       ["Invalid device specified: eth9"], [])
      for command in ("wifi/connect", "wifi/disconnect", "wifi/forget", "wifi/enable", "wifi/disable", HOTSPOT)],
    (None, "ethernet/config/set", {"method": "auto"}, None, ["'interface' not specified"], []),
    (None, "ethernet/config/set", {"interface": "wlan0"}, None, ["Invalid device specified: wlan0"], []),
    (None, "modem/config/set", {"interface": "nosuch0"}, None, ["Invalid device specified: nosuch0"], []),
    (None, "wifi/disconnect", {}, None, [], []),
    (None, "wifi/disable", {}, None, [], ["Set False"]),  # the switch of all Wifi devices, back on next
    (None, "wifi/enable", {"interface": "wlan0"}, None, [], ["Set True"]),
    ("HomeNet", "wifi/disconnect", {}, None, [], ["DeactivateConnection"]),
    (None, "wifi/disconnect", {"forget": True}, None, [], ["Delete Office", "Clear"]),
    ("Cafe", "wifi/disconnect", {"forget": True}, None, [], ["DeactivateConnection", "Delete Cafe"]),
    ("Spot", "wifi/disconnect", {"forget": True}, None, [], ["DeactivateConnection", "Delete Office", "Clear"]),
    ((HOTSPOT, {"ssid": "Office"}), "wifi/disconnect", {"forget": True}, None, [], ["DeactivateConnection", "Clear"]),
    ("Cafe", "wifi/forget", {"ssid": "Cafe"}, None, [], ["DeactivateConnection", "Delete Cafe"]),
    (None, "wifi/forget", {"ssid": "Office"}, "Delete", ["Failed to remove connection: boom"],
     ["Delete Office", "Clear"]),
    ((HOTSPOT, {"ssid": "Cafe"}), "wifi/forget", {"ssid": "Cafe"}, "Update", [], ["Delete Cafe"]),  # still a client
    # The stop ends and deletes the hotspot that runs, else deletes the first; a client connection stays up.
    ("Lounge", HOTSPOT, {"ssid": ""}, None, [], ["DeactivateConnection", "Delete Lounge"]),
    ("HomeNet", HOTSPOT, {"ssid": ""}, None, [], ["Delete Spot"]),
    # Hotspot requests NetworkManager would refuse are refused before the device leaves its network.
    *[("HomeNet", HOTSPOT, {"ssid": "Guest", **request_}, None, [error], []) for request_, error in [
        ({"method": "manual"}, "Invalid 'address': "),
        ({"method": "Manual"}, "Invalid 'method', expected 'shared' or 'manual': Manual"),
        *[({"method": "manual", "address": "10.0.0.1", "netmask": mask}, "Invalid 'netmask': " + mask)
          for mask in ("0.0.0.0", "255.255.255.254", "255.255.255.255", "255.0.255.0")],
        ({"key": "1234567"}, "Invalid 'key': 7 characters"), ({"key": "äää1"}, "Invalid 'key': 7 characters"),
        ({"key": "x" * 64}, "Invalid 'key': 64 characters"), ({"ssid": "ä" * 17}, "Invalid 'ssid': " + "ä" * 17),
        ({"channel": 36}, "Invalid 'channel': 36"), ({"band": "a", "channel": 6}, "Invalid 'channel': 6")]],
])
def test_command_effects(wifi, testbed, active, command, request_, failing, errors, changed) -> None:
    if isinstance(active, str):
        connected(wifi, lambda: activate(testbed.nm, testbed.profiles[active], testbed.wlan0))
    if failing:
        testbed.nm.fail_next(failing, "org.freedesktop.NetworkManager.Failed", "boom")
    if isinstance(active, tuple):  # the failure is the first command's
        wifi.ask(*active) if failing else connected(wifi, lambda: wifi.send(*active))
    testbed.nm.clear_calls()
    answer = wifi.ask(command, request_)
    (config := configparser.ConfigParser(interpolation=None)).read(wifi.service.config_path)
    cleared = {("", ""): ["Clear"], ("Office", "office-passphrase"): []}[config["Wifi"]["ssid"], config["Wifi"]["key"]]
    assert ([(m.topic, m.qos, m.data) for m in answer if m.topic in ("error", "result")],
            changes(testbed) + cleared) == (outcome(command, request_, errors), changed)


@pytest.mark.parametrize("ssid, request_, document", [
    ("Guest", {}, {"band": "bg", "channel": 0, "hidden": False, "ipv4": SHARED, "key": ""}),
    ("Guest", {"method": "manual", **MANUAL, "band": "a", "channel": 36, "hidden": True, "key": "ä" * 31 + "x"},
     {"band": "a", "channel": 36, "hidden": True, "key": "ä" * 31 + "x", "ipv4": dict(MANUAL, gateway="")}),
    ("Guest", {"band": "A", "channel": 14, "key": "0f" * 32},
     {"band": "bg", "channel": 14, "hidden": False, "ipv4": SHARED, "key": "0f" * 32}),
    # An existing hotspot keeps its key and channel; a saved client profile becomes the hotspot.
    ("Spot", {"hidden": True}, {"band": "bg", "channel": 11, "hidden": True, "ipv4": SHARED, "key": "spot-passphrase"}),
    ("Cafe", {}, {"band": "bg", "channel": 0, "hidden": False, "ipv4": SHARED, "key": "cafe-passphrase"}),
    # A kept channel of the other band would be refused: automatic instead.
    ("Lounge", {}, {"band": "bg", "channel": 0, "hidden": False, "ipv4": SHARED, "key": "lounge-passphrase"}),
])
def test_hotspot_start(wifi, testbed, ssid, request_, document) -> None:
    connected(wifi, lambda: activate(testbed.nm, testbed.profiles["HomeNet"], testbed.wlan0))
    testbed.nm.clear_calls()
    since = connected(wifi, lambda: wifi.send(HOTSPOT, dict(request_, ssid=ssid)))
    [settings] = [c[3][0] for c in testbed.nm.calls() if c[2] in ("AddAndActivateConnection", "Update")]
    written = (["AddAndActivateConnection"] if ssid == "Guest" else [f"Update {ssid}", "ActivateConnection"]) \
        + [f"Delete {p}" for p in ("Spot", "Lounge") if p != ssid]  # the device's other hotspot profiles go
    # The last document: a changed address republishes it.
    assert ([m.data for m in wifi.probe(since) if m.topic == "wifi/hotspot"][-1], changes(testbed),
            [settings["connection"].get(k, True) for k in ("autoconnect", "interface-name")],
            settings["ipv6"]["method"]) == \
        (dict(document, ssid=ssid, interface="wlan0", active=True), ["DeactivateConnection", *written],
         [True, "wlan0"], "ignore")


@pytest.mark.parametrize("active, failing, command, request_, errors, stays", [
    ("Spot", (), HOTSPOT, {"ssid": ""}, [], False),
    ("Spot", ("DeactivateConnection", "Delete"), HOTSPOT, {"ssid": ""}, [], True),  # waited for 10 s
    ("Spot", (), "wifi/disconnect", {}, [], False),
    ("Spot", (), "wifi/connect", {"ssid": "HomeNet"}, [], False),  # a hotspot ended past the hotspot command
    ("Spot", ("Update",), HOTSPOT, {"ssid": "Spot"}, ["Failed to update hotspot: Simulated failure"], False),
    ("HomeNet", ("activation",), HOTSPOT, {"ssid": "Guest"}, ["Failed to activate hotspot on wlan0"], False),
])
def test_hotspot_document_follows_the_outcome(wifi, testbed, active, failing, command, request_, errors, stays) -> None:
    before = connected(wifi, lambda: activate(testbed.nm, testbed.profiles[active], testbed.wlan0))
    if active == "Spot":  # the running hotspot's address publishes its document (last): not the one under test
        wifi.wait_for("wifi/hotspot", lambda d: d["active"] and (d["ipv4"] or {}).get("address"), since=before)
    testbed.nm.clear_calls()
    for method in failing:
        testbed.nm.fail_next_activation() if method == "activation" else testbed.nm.fail_next(method, "x.Failed")
    since, began = wifi.count(), time.monotonic()
    wifi.send(command, request_)
    document = wifi.wait_for("wifi/hotspot", since=since, timeout=12).data
    assert (document["active"], time.monotonic() - began >= 10,
            [m.data["error"] for m in wifi.recorder.messages("error", since)]) == (stays, stays, errors)


def test_hotspot_cycles_leave_no_watcher(wifi) -> None:
    for _ in range(25):  # each command ends the watch of the one before
        wifi.send(HOTSPOT, {"ssid": "Guest"})
        wifi.send(HOTSPOT, {"ssid": ""})
    wifi.probe()  # every command has been handled: no watcher is made from here on
    created = wifi.log().count("Hotspot watcher created")
    assert len(wait_for_log_count(wifi.service, "Hotspot watcher destroyed", created, 12)) == created
