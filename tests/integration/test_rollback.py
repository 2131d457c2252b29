"""Mqtt/rollbackSec: a change runs under a checkpoint that only the broker's acknowledgement removes."""

import configparser
import os
from contextlib import contextmanager

import pytest

from helpers import ACTIVATED, BUS_NAME, NM_PATH, shared_service

CHANGE = ["CheckpointCreate [['eth0'], 2, 2]", "Update", "DeactivateConnection", "ActivateConnection"]
ROLLED = "Rolled back after 2 s: the broker could not be reached"
CONNECTIONS, PROFILE = (NM_PATH + "/Settings", BUS_NAME + ".Settings", "Connections"), BUS_NAME + ".Settings.Connection"


@pytest.fixture
def bed(testbed, tmp_path):
    testbed.eth0 = getattr(testbed, "eth0", None) or testbed.nm.add_ethernet("eth0", "02:00:00:00:00:01")
    testbed.wlan0 = getattr(testbed, "wlan0", None) or testbed.nm.add_wifi("wlan0", "02:00:00:00:01:01")
    testbed.nm.bus.get_object(testbed.nm.unique_name, NM_PATH).Set(  # a row may leave the radio off
        BUS_NAME, "WirelessEnabled", True, dbus_interface="org.freedesktop.DBus.Properties")
    for path in testbed.nm.get(*CONNECTIONS):
        testbed.nm.bus.get_object(testbed.nm.unique_name, path).Delete(dbus_interface=PROFILE)

    @contextmanager
    def changed(seconds, commands=1, command=None):  # the service, its recorder, where that stood before the commands
        with shared_service(testbed, str(tmp_path), {"Mqtt": {"rollbackSec": seconds}, "Ethernet": {
                "interface": "eth0"}}) as (service, recorder):
            testbed.nm.wait_for(lambda: testbed.nm.device_state(testbed.eth0) == ACTIVATED)
            testbed.nm.clear_calls()
            since = recorder.count()
            for n in range(commands):
                recorder.publish(*command or ("ethernet/config/set", {"interface": "eth0", "method": "manual",
                                 "id": 7, "address": f"10.0.5.{n + 2}", "netmask": "255.255.255.0"}))
            yield service, recorder, since
    testbed.changed = changed
    yield testbed
    testbed.broker.pause(False)


def seen(bed, service):  # the changes asked of NetworkManager, the profile's and file's IPv4 method, the journal
    nm, ini, journal = bed.nm, configparser.ConfigParser(), os.path.join(service.workdir, "corvex-rollback.json")
    ini.read(service.config_path)
    return ([m + (" " + str(a).replace(bed.eth0, "eth0") if m == "CheckpointCreate" else "") for _, _, m, a in
             nm.calls() if m.startswith("Checkpoint") or m in CHANGE], nm.bus.get_object(nm.unique_name, nm.get(
                 *CONNECTIONS)[0]).GetSettings(dbus_interface=PROFILE)["ipv4"]["method"],
            ini["Ethernet"].get("method", "auto"), os.path.exists(journal) and os.stat(journal).st_mode & 0o777)


@pytest.mark.parametrize("seconds, commands, expected", [
    (0, 1, CHANGE[1:]), (2, 1, CHANGE + ["CheckpointDestroy"]),
    (2, 2, (CHANGE + ["CheckpointDestroy"]) * 2)])  # the second command confirms the first
def test_confirmed_by_the_broker(bed, seconds, commands, expected):
    with bed.changed(seconds, commands) as (service, _, _):
        bed.nm.wait_for(lambda: len(seen(bed, service)[0]) >= len(expected), timeout=2)
        assert seen(bed, service) == (expected, "manual", "manual", False)


def test_no_checkpoint_for_a_command_that_names_no_port(bed):  # refused by its handler, it changes nothing
    with bed.changed(2, command=("ethernet/config/set", {"method": "auto", "id": 9})) as (service, recorder, since):
        assert (recorder.wait_for("result", since=since).data["ok"], seen(bed, service)[0]) == (False, [])


# The broker stopped right after the command and back after the window, or the service killed in it.
@pytest.mark.parametrize("killed, error", [(False, ROLLED),
                                           (True, "Rolled back at start: the change was not confirmed")])
def test_rolled_back_without_the_broker(bed, killed, error):
    with bed.changed(2) as (service, recorder, since):
        bed.broker.pause()
        bed.nm.wait_for(lambda: seen(bed, service)[::3] == (CHANGE, 0o600))  # changed, and the journal written
        (service.kill(), service.start()) if killed else service.wait_for_log("'ethernet/config/set' undone", timeout=5)
        bed.broker.pause(False)
        documents = [recorder.wait_for(topic, since=since).data for topic in ("error", "result")]
        assert (documents, seen(bed, service)) == ([{"command": "ethernet/config/set", "error": error}, {
            "command": "ethernet/config/set", "id": 7, "ok": False, "error": error}], (CHANGE + [
                "CheckpointRollback"], "auto", "auto", False))


# No checkpoint holds the Wifi switch: the service turns the radio back on itself when `wifi/disable` rolls back.
@pytest.mark.parametrize("paused, radio, documents", [
    (False, False, [{"command": "wifi/disable", "id": 8, "ok": True}]),
    (True, True, [{"command": "wifi/disable", "error": ROLLED}, {"command": "wifi/disable", "id": 8, "ok": False,
                                                                 "error": ROLLED}])])
def test_wifi_radio_after_disable(bed, paused, radio, documents):
    with bed.changed(2, command=("wifi/disable", {"interface": "wlan0", "id": 8})) as (service, recorder, since):
        bed.broker.pause(paused)
        config = open(service.config_path).read()
        service.wait_for_log("'wifi/disable' undone" if paused else "'wifi/disable' confirmed", timeout=5)
        bed.broker.pause(False)
        recorder.wait_for("result", since=since)
        assert ([m.data for m in recorder.messages(since=since) if m.topic in ("error", "result")], bed.nm.get(
            NM_PATH, BUS_NAME, "WirelessEnabled"), open(service.config_path).read()) == (documents, radio, config)
