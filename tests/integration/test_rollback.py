"""Mqtt/rollbackSec: a change runs under a NetworkManager checkpoint that the broker's acknowledgement removes;
unconfirmed, the checkpoint rolls the device back and the service its configuration file."""

import configparser
import os
import signal
import stat

import pytest

from helpers import ACTIVATED, BUS_NAME, NM_PATH, Session, shared_service
from testbed.service import poll

SET = {"interface": "eth0", "method": "manual", "address": "192.168.5.2", "netmask": "255.255.255.0"}
CHANGE = ["CheckpointCreate ['eth0', 2, 2]", "Update", "DeactivateConnection", "ActivateConnection"]
CHANGING = ("Update", "DeactivateConnection", "ActivateConnection", "AddConnection", "AddAndActivateConnection",
            "Delete")


@pytest.fixture
def bed(testbed, tmp_path):
    nm = testbed.nm
    testbed.eth0 = getattr(testbed, "eth0", None) or nm.add_ethernet("eth0", "02:00:00:00:00:01")
    for path in nm.get(NM_PATH + "/Settings", BUS_NAME + ".Settings", "Connections"):
        nm.bus.get_object(nm.unique_name, path).Delete(dbus_interface=BUS_NAME + ".Settings.Connection")
    testbed.start = lambda seconds: shared_service(testbed, str(tmp_path), {
        "Mqtt": {"rollbackSec": seconds}, "Ethernet": {"interface": "eth0"}})
    yield testbed
    pause_broker(testbed, paused=False)


def calls(nm):
    """The changes the simulator saw, the checkpoint's creation with its device and numbers."""
    names = {nm.device("eth0"): "eth0"}
    return [m + (f" {[names.get(d) for d in a[0]] + a[1:]}" if m == "CheckpointCreate" else "")
            for _, _, m, a in nm.calls() if m.startswith("Checkpoint") or m in CHANGING]


def state(bed, service):
    """The profile's IPv4 method, the file's, and whether the journal is left."""
    profile = next(iter(bed.nm.get(NM_PATH + "/Settings", BUS_NAME + ".Settings", "Connections")))
    ipv4 = bed.nm.bus.get_object(bed.nm.unique_name, profile).GetSettings(
        dbus_interface=BUS_NAME + ".Settings.Connection")["ipv4"]["method"]
    ini = configparser.ConfigParser()
    ini.read(service.config_path)
    return str(ipv4), ini["Ethernet"].get("method", "auto"), os.path.exists(journal(service))


def journal(service):
    return os.path.join(service.workdir, "corvex-rollback.json")


def pause_broker(bed, paused=True):  # the broker unreachable: the connection stays, nothing is answered
    os.kill(bed.broker._daemon.proc.pid, signal.SIGSTOP if paused else signal.SIGCONT)


def changed(bed, recorder, commands=1):
    bed.nm.wait_for(lambda: bed.nm.device_state(bed.eth0) == ACTIVATED)
    bed.nm.clear_calls()
    for n in range(commands):
        recorder.publish("ethernet/config/set", dict(SET, address=f"192.168.5.{2 + n}"))


@pytest.mark.parametrize("seconds, commands, expected", [
    (0, 1, CHANGE[1:]),
    (2, 1, CHANGE + ["CheckpointDestroy"]),
    (2, 2, (CHANGE + ["CheckpointDestroy"]) * 2),  # the second command confirms the first
])
def test_confirmed_by_the_broker(bed, seconds, commands, expected):
    with bed.start(seconds) as (service, recorder):
        changed(bed, recorder, commands)
        bed.nm.wait_for(lambda: len(calls(bed.nm)) >= len(expected), timeout=2)
        assert (calls(bed.nm), state(bed, service)) == (expected, ("manual", "manual", False))


# The broker stopped right after the command and back after the window, or the service killed in it.
@pytest.mark.parametrize("killed, error, restart", [
    (False, "Rolled back after 2 s: the broker could not be reached", []),
    (True, "Rolled back at start: the change was not confirmed", []),
])
def test_rolled_back_without_the_broker(bed, killed, error, restart):
    with bed.start(2) as (service, recorder):
        changed(bed, recorder)
        pause_broker(bed)
        bed.nm.wait_for(lambda: calls(bed.nm) == CHANGE)
        mode = stat.S_IMODE(os.stat(journal(service)).st_mode)
        if killed:
            service.kill()
        bed.nm.wait_for(lambda: not bed.nm.get(NM_PATH, BUS_NAME, "Checkpoints"), timeout=5)
        service.wait_for_log("[Engine] 'ethernet/config/set' undone") if not killed else service.start()
        since = recorder.count()
        pause_broker(bed, paused=False)
        assert (recorder.wait_for("error", since=since).data, calls(bed.nm), state(bed, service), mode) == (
            {"command": "ethernet/config/set", "error": error}, CHANGE + ["CheckpointRollback"] + restart,
            ("auto", "auto", False), 0o600)
