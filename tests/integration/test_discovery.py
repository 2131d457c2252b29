"""Home Assistant discovery on the demo network: the announcement, the state each entity's template gives on the
documents the service publishes and on the "{ }" of each connection, and the Wifi radio document."""

import datetime
import re

import jinja2
import pytest

from helpers import Session, activate, shared_service

# Below the base topic, so the recorder hears the announcement as "ha/device/<node>/config".
DISCOVERY = {"Mqtt": {"discovery": "vorn/network/ha", "availability": "availability"}}
# Home Assistant's documented abbreviations, those the announcement uses.
ABBREVIATIONS = {"avty_t": "availability_topic", "cmps": "components", "cmd_t": "command_topic", "cns": "connections",
                 "dev": "device", "dev_cla": "device_class", "ent_cat": "entity_category", "ids": "identifiers",
                 "mdl": "model", "name": "name", "o": "origin", "p": "platform", "pl_off": "payload_off",
                 "pl_on": "payload_on", "pl_prs": "payload_press", "stat_cla": "state_class", "stat_off": "state_off",
                 "stat_on": "state_on", "stat_t": "state_topic", "sw": "sw_version", "uniq_id": "unique_id",
                 "unit_of_meas": "unit_of_measurement", "val_tpl": "value_template"}
# component: platform, state (or command) topic, its state on the demo network and on "{ }"
ENTITIES = {
    "internet": ("binary_sensor", "status", "ON", "None"),
    "network_state": ("sensor", "status", "Connected", ""),
    "primary_connection": ("sensor", "status", "Wired connection 1", ""),
    "primary_interface": ("sensor", "status", "eth0", ""),
    "primary_address": ("sensor", "status", "192.168.10.50", ""),
    "wifi_network": ("sensor", "wifi/state", "Vorn-Office", ""),
    "wifi_signal": ("sensor", "wifi/state", "67", "None"),
    "wifi_radio": ("switch", "wifi/radio", "ON", "None"),
    "wifi_disconnect": ("button", "wifi/disconnect", None, None),
    "modem_operator": ("sensor", "modem/state", "Telekom.de", ""),
    "modem_technology": ("sensor", "modem/signal", "LTE", ""),
    "modem_signal": ("sensor", "modem/signal", "75", "None"),
    "modem_download": ("sensor", "modem/stats", "12.35", "0"),
    "modem_upload": ("sensor", "modem/stats", "2.35", "0"),
}
# Home Assistant's templates are Jinja2 plus functions such as now(); strict, so no template reads past a default.
TEMPLATES = jinja2.Environment(undefined=jinja2.StrictUndefined)


@pytest.fixture(scope="module")
def session(testbed, tmp_path_factory):
    paths = testbed.load_demo_scenario()
    workdir = tmp_path_factory.mktemp("discovery")
    (workdir / "stats").mkdir()
    (workdir / "stats" / "modem.ini").write_text(f"[{datetime.date.today():%Y-%m}]\nrxbytes=12345678\ntxbytes=2345678")
    with shared_service(testbed, str(workdir), DISCOVERY) as running:
        session = Session(*running)
        activate(testbed.nm, paths["profile_wifi"], paths["wlan0"], paths["ap_Vorn-Office"])
        session.ask("wifi/state/get")  # the access point follows the state change
        session.ask("modem/stats/get")
        yield session


def announcements(session: Session, since: int = 0) -> list:
    return [m for m in session.probe(since) if re.fullmatch(r"ha/device/corvex_[0-9a-f]{12}/config", m.topic)]


def test_each_entity_reads_its_document_and_the_empty_one(session) -> None:
    latest = {m.topic: m.data for m in session.recorder.messages()}
    announcement = announcements(session)[-1]
    cmps, node = announcement.data["cmps"], announcement.topic.split("/")[2]
    keys = {key for part in (announcement.data, announcement.data["dev"], *cmps.values()) for key in part}
    relative = {name: c.get("stat_t", c.get("cmd_t"))[len("vorn/network/"):] for name, c in cmps.items()}

    def state(name: str, document: dict):
        template = cmps[name].get("val_tpl")
        return template and TEMPLATES.from_string(template).render(value_json=document, now=datetime.datetime.now)
    assert {name: (c["p"], relative[name], state(name, latest.get(relative[name])), state(name, {}))
            for name, c in cmps.items()} == ENTITIES
    version = latest["info"]["service"]["version"]
    assert (keys - ABBREVIATIONS.keys(), {name: c["uniq_id"] for name, c in cmps.items()},
            {key: value for key, value in announcement.data.items() if key != "cmps"}) == \
        (set(), {name: f"{node}_{name}" for name in ENTITIES},
         {"dev": {"ids": [node], "name": "testbed", "sw": version, "mdl": "corvex",
                  "cns": [["mac", "00:1a:2b:3c:4d:01"], ["mac", "00:1a:2b:3c:4d:02"]]},
          "o": {"name": "corvex", "sw": version}, "avty_t": "vorn/network/availability"})


@pytest.mark.parametrize("command, request_, errors, radio", [
    ("wifi/disable", {}, [], {"enabled": False, "hardware": True}),
    ("wifi/radio/set", {"enabled": True}, [], {"enabled": True, "hardware": True}),
    ("wifi/enable", {}, [], {"enabled": True, "hardware": True}),  # nothing changes: published all the same
    ("wifi/radio/set", {"enabled": "yes"}, ["'enabled' not specified"], None),
    (None, False, [], {"enabled": True, "hardware": False}),  # the hardware switch
])
def test_wifi_radio_follows_both_switches(session, testbed, command, request_, errors, radio) -> None:
    since = session.count()
    session.send(command, request_) if command else testbed.nm.set_wireless_hardware_enabled(request_)
    if radio:
        session.wait_for("wifi/radio", lambda d: d == radio, since)
    answer = [(m.topic, m.data) for m in session.probe(since) if m.topic in ("error", "wifi/radio")]
    assert answer == [("error", {"command": command, "error": e}) for e in errors] + \
        [("wifi/radio", radio)] * bool(radio)


def test_announced_again_on_home_assistant_online_and_when_the_device_set_changes(session, testbed) -> None:
    topic = announcements(session)[-1].topic
    since = session.count()
    session.send("ha/status", "offline")
    session.send("ha/status", "online")
    testbed.nm.add_ethernet("eth9", "02:00:00:00:00:09", managed=False)  # not followed: no change
    session.wait_for_log("Started monitoring device: eth9")
    assert [m.topic for m in announcements(session, since)] == [topic]
    since = session.count()
    testbed.nm.remove_device(testbed.scenario["cdc-wdm0"])
    session.wait_for(topic, since=since)
    assert [sorted((name, len(c) == 1) for name, c in m.data["cmps"].items()) for m in announcements(session, since)] \
        == [sorted((name, name.startswith("modem_")) for name in ENTITIES)]  # the modem's reduced to their platform
