import pytest

from helpers import Session, documents, shared_service, wait_for_log_count

LIMIT, PSK, SSID = 64 * 1024, "home-pass", "Café ☕"


@pytest.fixture(scope="module")
def session(testbed, tmp_path_factory):
    nm = testbed.nm
    nm.add_wifi("wlan0", "02:00:00:00:01:30")
    nm.add_connection({"connection": {"id": "HomeNet", "type": "802-11-wireless", "interface-name": "wlan0"},
                       "802-11-wireless": {"ssid": SSID.encode(), "mode": "infrastructure"},
                       "802-11-wireless-security": {"key-mgmt": "wpa-psk", "psk": PSK}})
    modem = testbed.add_modem("wwan0", "cdc-wdm0")["modem"]
    with shared_service(testbed, str(tmp_path_factory.mktemp("hardening"))) as running:
        session = Session(*running)
        session.modem = modem
        session.wait_for_log("[Modem] Started monitoring device: cdc-wdm0")
        session.probe()
        yield session


@pytest.mark.parametrize("size", [LIMIT, LIMIT + 1, 1 << 20])
def test_oversized_payload_is_refused_and_the_service_answers_on(session, size) -> None:
    since, refusal = session.count(), f"Payload too large: {size} bytes"
    session.send("wifi/state/get", b'{"pad": "' + b"x" * (size - 11) + b'"}')
    assert ([(m.topic, m.data.get("error")) for m in session.probe(since)], refusal in session.log()) == \
        ([("error", refusal) if size > LIMIT else ("wifi/state", None)], size > LIMIT)


def test_wifi_config_is_utf8_and_its_secrets_stay_out_of_the_debug_log(session) -> None:
    session.send("unknown/config/set", {"key": "topsecret", "pin": 4711})
    config = documents(session.ask("wifi/config/get", {"interface": "wlan0"}), "wifi/config")
    log = session.log()
    assert ([(c["ssid"], c["key"]) for c in config], '"key": "********"' in log, '"pin": "********"' in log,
            {"topsecret", "4711", PSK} & set(log.replace('"', " ").split())) == ([(SSID, PSK)], True, True, set())


def test_modem_manager_restart_follows_the_modem_again(session, testbed) -> None:
    followed = "[Modem] ModemManager reports the modem of cdc-wdm0."
    mark = session.log().count(followed)
    testbed.mm.restart()
    wait_for_log_count(session.service, followed, mark + 1, timeout=10)
    session.probe()
    since = session.count()
    testbed.mm.set_signal_quality(session.modem, 23)
    testbed.mm.set_access_technologies(session.modem, ["umts"])
    session.wait_for("modem/signal", lambda d: d["accessTechnologies"] == ["UMTS"], since=since)
    assert [(d["quality"], d["accessTechnologies"]) for d in documents(session.probe(since), "modem/signal")] \
        == [(23, ["LTE"]), (23, ["UMTS"])]


@pytest.mark.parametrize("mode", [0o600, 0o640, 0o604])
def test_config_file_open_to_others_is_warned_about(corvex_factory, tmp_path, mode) -> None:
    (config := tmp_path / "corvex0" / "corvex.ini").parent.mkdir()
    config.touch()
    config.chmod(mode)  # the service's configuration is written into this file, which keeps its mode
    service = corvex_factory()
    service.wait_for_log(" modem.usageSec ")
    warning = f"Config file '{config}' is open to group or others (mode {mode:04o})."
    assert (warning in service.log(), config.stat().st_mode & 0o777) == (mode != 0o600, mode)
