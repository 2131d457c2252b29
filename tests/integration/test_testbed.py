"""The test bed itself: demo scenario, broker variants, fixtures, clean start and stop."""

from __future__ import annotations

import configparser
import dbus
import os
import re
import signal
import subprocess
import sys
import time

import pytest

from helpers import Corvex, MqttRecorder
from testbed import Testbed
from testbed.broker import Broker
from testbed.nm import ACTIVATED, DEVICE, DISCONNECTED

pytestmark = pytest.mark.testbed(scenario="demo")

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


def _processes_mentioning(paths) -> list:
    """Pids of processes whose command line names one of the paths (our children put their files there)."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                cmdline = f.read().decode(errors="replace")
        except OSError:
            continue
        if any(p in cmdline for p in paths):
            found.append(int(pid))
    return found


@pytest.mark.parametrize("role, iface, device_type, state", [
    ("eth0", "eth0", 1, ACTIVATED),
    ("wlan0", "wlan0", 2, DISCONNECTED),
    ("cdc-wdm0", "cdc-wdm0", 8, DISCONNECTED),
])
def test_demo_devices(testbed, role, iface, device_type, state):
    path = testbed.scenario[role]
    assert testbed.nm.get(path, DEVICE, "Interface") == iface
    assert testbed.nm.get(path, DEVICE, "DeviceType") == device_type
    assert testbed.nm.get(path, DEVICE, "State") == state


def test_demo_modem_is_the_network_managers_modem_device(testbed):
    udi = testbed.nm.get(testbed.scenario["cdc-wdm0"], DEVICE, "Udi")
    assert udi == testbed.scenario["modem"]
    modem = testbed.mm.properties(udi)
    assert modem["PrimaryPort"] == "cdc-wdm0"
    sim = testbed.mm.properties(modem["Sim"], "Sim")
    assert (sim["Imsi"], sim["SimIdentifier"]) == ("262019876543210", "89490240001122334455")
    bearer = testbed.mm.properties(modem["Bearers"][0], "Bearer")
    assert bearer["Interface"] == "wwan0"


def test_modem_changes_are_announced(testbed):
    path = testbed.scenario["modem"]
    testbed.mm.set_signal_quality(path, 33)
    testbed.mm.set_access_technologies(path, ["umts", "hsdpa"])
    testbed.mm.set_state(path, "connected")
    modem = testbed.mm.properties(path)
    assert tuple(modem["SignalQuality"]) == (33, True)
    assert modem["AccessTechnologies"] == (1 << 5) | (1 << 6)
    assert modem["State"] == 11
    assert testbed.mm.properties(modem["Bearers"][0], "Bearer")["Connected"]
    with open(testbed.mm.log_path, encoding="utf-8") as log:
        changes = [line for line in log if "PropertiesChanged" in line]
    assert any('"SignalQuality"' in line for line in changes)
    assert any('"AccessTechnologies"' in line for line in changes)


def test_recorder_sees_commands_and_waits_for_new_messages(mqtt):
    mqtt.publish("wifi/config/set", {"interface": "wlan0"})
    first = mqtt.wait_for("wifi/config/set", lambda d: d["interface"] == "wlan0")
    assert (first.qos, first.retain) == (1, False)
    mark = mqtt.count()
    mqtt.publish("wifi/config/set", {"interface": "wlan1"})
    assert mqtt.wait_for("wifi/config/set", since=mark).data == {"interface": "wlan1"}
    with pytest.raises(AssertionError):
        mqtt.wait_for("wifi/config/set", lambda d: d["interface"] == "eth9", timeout=0.3)


def test_retained_messages_do_not_leak_into_the_next_recorder(testbed, mqtt):
    mqtt._client.publish(f"{mqtt.base}/status", b'{"state": 70}', qos=1, retain=True).wait_for_publish()
    fresh = MqttRecorder(testbed.broker.port)
    try:
        fresh.clear_retained()
        time.sleep(0.2)
        assert fresh.messages("status") == []
    finally:
        fresh.close()


def test_broker_with_password():
    with Broker(auth=True) as broker:
        with pytest.raises(TimeoutError):
            MqttRecorder(broker.port)
        recorder = MqttRecorder(broker.port, broker.user, broker.password)
        recorder.close()


def test_broker_restart_keeps_port(testbed):
    port = testbed.broker.port
    testbed.broker.restart()
    assert testbed.broker.port == port
    MqttRecorder(port).close()


def test_service_config_holds_broker_and_extra_groups(testbed, tmp_path):
    service = Corvex(testbed, str(tmp_path), {"Mqtt": {"base": "lab/net"}, "Wifi": {"ssid": "Vorn-Office"}})
    ini = configparser.ConfigParser()
    ini.read(service.config_path)
    assert ini["Mqtt"]["port"] == str(testbed.broker.port)
    assert ini["Mqtt"]["url"] == "127.0.0.1"
    assert ini["Mqtt"]["base"] == "lab/net"
    assert ini["Wifi"]["ssid"] == "Vorn-Office"


def test_start_and_stop_leave_nothing_behind():
    started = time.monotonic()
    tb = Testbed().start()
    tb.load_demo_scenario()
    paths = [tb.dir, tb.bus.dir, tb.broker.dir]
    assert _processes_mentioning(paths)
    tb.stop()
    assert time.monotonic() - started < 5
    assert _processes_mentioning(paths) == []
    assert not any(os.path.exists(p) for p in paths)


def test_demo_command_runs_until_terminated():
    proc = subprocess.Popen([sys.executable, "-m", "testbed", "demo"], cwd=REPO, stdout=subprocess.PIPE, text=True,
                            env=dict(os.environ, PYTHONPATH=REPO))
    try:
        line = proc.stdout.readline()
        match = re.fullmatch(r"TESTBED bus=(\S+) port=(\d+)\n", line)
        assert match, line
        bus = dbus.bus.BusConnection(match[1])
        names = bus.list_names()
        bus.close()
        assert "org.freedesktop.NetworkManager" in names and "org.freedesktop.ModemManager1" in names
        MqttRecorder(int(match[2])).close()
        socket_dir = os.path.dirname(match[1].split("=", 1)[1].split(",")[0])
    finally:
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(10) == 0
    assert not os.path.exists(socket_dir)
    assert _processes_mentioning([socket_dir]) == []
