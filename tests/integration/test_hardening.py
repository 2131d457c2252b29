"""Hostile or careless input and restarted peers: oversized payloads, secrets in the log, an open
configuration file, ModemManager coming back and NetworkManager left without a primary connection."""

from __future__ import annotations

import os
from typing import Iterator

import pytest

from helpers import Corvex, Session, activate, documents, shared_service, wait_for_log_count

LIMIT = 64 * 1024
PSK = "home-pass"
SSID = "Café ☕"


@pytest.fixture(scope="module")
def bed(testbed) -> dict:
    nm = testbed.nm
    nm.add_wifi("wlan0", "02:00:00:00:01:30")
    nm.add_connection({"connection": {"id": "HomeNet", "type": "802-11-wireless", "interface-name": "wlan0"},
                       "802-11-wireless": {"ssid": SSID.encode(), "mode": "infrastructure"},
                       "802-11-wireless-security": {"key-mgmt": "wpa-psk", "psk": PSK}})
    wired = nm.add_connection({"connection": {"id": "Wired", "type": "802-3-ethernet"}})
    return {"primary": activate(nm, wired, nm.add_ethernet("eth0", "02:00:00:00:00:30")),
            "modem": testbed.add_modem("wwan0", "cdc-wdm0")["modem"]}


@pytest.fixture(scope="module")
def session(testbed, bed, tmp_path_factory) -> Iterator[Session]:
    with shared_service(testbed, str(tmp_path_factory.mktemp("hardening"))) as running:
        session = Session(*running)
        session.wait_for_log("[Modem] Started monitoring device: cdc-wdm0")
        session.probe()
        yield session


@pytest.mark.parametrize("size, answer", [
    (LIMIT, ("wifi/state", None)),
    (LIMIT + 1, ("error", f"Payload too large: {LIMIT + 1} bytes")),
    (1 << 20, ("error", "Payload too large: 1048576 bytes")),
])
def test_oversized_payload_is_refused_and_the_service_answers_on(session, size, answer) -> None:
    since = session.count()
    session.send("wifi/state/get", b'{"pad": "' + b"x" * (size - 11) + b'"}')
    assert [(m.topic, m.data.get("error")) for m in session.probe(since)] == [answer]
    assert (f"Payload too large: {size} bytes" in session.log()) == (size > LIMIT)


def test_wifi_config_is_utf8_and_its_secrets_stay_out_of_the_debug_log(session) -> None:
    session.send("unknown/config/set", {"key": "topsecret", "pin": 4711})
    config = documents(session.ask("wifi/config/get", {"interface": "wlan0"}), "wifi/config")
    assert [(c["ssid"], c["key"]) for c in config] == [(SSID, PSK)]
    log = session.log()
    assert '"key": "********"' in log and '"pin": "********"' in log
    assert not {"topsecret", "4711", PSK} & set(log.replace('"', " ").split())


def test_no_primary_connection_publishes_the_status_without_an_error(session, testbed, bed) -> None:
    since = session.count()
    testbed.nm.set_primary_connection("/")
    try:
        session.wait_for("status", lambda d: d["primaryConnection"] is None, since=since)
        session.wait_for_log("[Network] No primary connection.")
        assert "No connection found" not in session.log()
    finally:
        since = session.count()
        testbed.nm.set_primary_connection(bed["primary"])
        session.wait_for("status", lambda d: d["primaryConnection"] is not None, since=since)


def test_modem_manager_restart_follows_the_modem_again(session, testbed, bed) -> None:
    followed = "[Modem] ModemManager reports the modem of cdc-wdm0."
    mark = session.log().count(followed)
    testbed.mm.restart()
    wait_for_log_count(session.service, followed, mark + 1, timeout=10)
    session.probe()
    since = session.count()
    testbed.mm.set_signal_quality(bed["modem"], 23)
    testbed.mm.set_access_technologies(bed["modem"], ["umts"])
    session.wait_for("modem/signal", lambda d: d["accessTechnologies"] == ["UMTS"], since=since)
    assert [(d["quality"], d["accessTechnologies"]) for d in documents(session.probe(since), "modem/signal")] \
        == [(23, ["LTE"]), (23, ["UMTS"])]


@pytest.mark.parametrize("mode, warned", [(0o600, False), (0o640, True), (0o604, True)])
def test_config_file_open_to_others_is_warned_about(testbed, tmp_path, mode, warned) -> None:
    service = Corvex(testbed, str(tmp_path))
    os.chmod(service.config_path, mode)
    service.start()
    try:
        service.wait_for_log(" modem.usageSec ")
        warning = f"Config file '{service.config_path}' is open to group or others (mode {mode:04o})."
        assert (warning in service.log()) == warned
        assert os.stat(service.config_path).st_mode & 0o777 == mode
    finally:
        service.kill()
