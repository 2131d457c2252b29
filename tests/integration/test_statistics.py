"""Modem data usage, the service in its own mount namespace over made-up counters and a /tmp of the test's."""

import configparser
import os
import time

import pytest

from helpers import Corvex, MqttRecorder, ask, wait_for_log_count
from testbed.counters import FakeCounters
from testbed.nm import ACTIVATED, DISCONNECTED


@pytest.fixture
def bed(testbed, tmp_path):
    """A connected modem with counters, a recorder, and a function that starts the service in tmp_path."""
    device = testbed.add_modem("wwan0", "cdc-wdm0", state="connected")["device"]
    testbed.nm.set_device_state(device, ACTIVATED)
    counters = FakeCounters(str(tmp_path), [testbed.bus.dir, str(tmp_path)])
    recorder = MqttRecorder(testbed.broker.port)
    recorder.clear_retained()
    services = []

    def start(usage_sec):
        services.append(Corvex(testbed, str(tmp_path), {"Modem": {"usageSec": usage_sec}}))
        services[-1].prefix = counters.prefix()
        return services[-1].start()

    yield start, counters, recorder, device
    for service in services:
        service.kill()
    recorder.close()
    testbed.nm.remove_device(device)


def ini(path):
    parser = configparser.ConfigParser()
    parser.read(path)
    return {group: dict(parser[group]) for group in parser.sections()}


def test_sampling_across_restart_and_stop(bed, tmp_path, testbed):
    start, counters, recorder, device = bed
    month, store = time.strftime("%Y-%m"), tmp_path / "stats" / "modem.ini"
    store.parent.mkdir()
    store.write_text(f"[{month}]\nrxbytes=4294967000\ntxbytes=0\n")
    counters.set("wwan0", 1000, 2000)
    service = start(3600)  # so long that the only sample is the one the stop takes
    recorder.wait_for("modem/stats", lambda d: d == {month: {"upload": 0, "download": 4294.97}})
    assert service.stop() == 0
    assert ini(store) == {month: {"rxbytes": "4294968000", "txbytes": "2000"}}
    assert ini(counters.snapshot)["General"] | {"timestamp": ""} == {
        "timestamp": "", "duration": "0", "rxbytes": "1000", "txbytes": "2000"}

    counters.set("wwan0", 1700, 2100)
    service = start(1)
    # Both runs log to one file; each publishes at its start and after a sample.
    wait_for_log_count(service, "Publishing Data usage", 4, timeout=10)
    assert ini(store) == {month: {"rxbytes": "4294968700", "txbytes": "2100"}}
    testbed.nm.set_device_state(device, DISCONNECTED)
    service.wait_for_log("Stopped monitoring Data usage")


def test_period_zero_never_samples(bed, tmp_path):
    start, counters, recorder, _ = bed
    counters.set("wwan0", 1000, 2000)
    service = start(0)
    recorder.wait_for("info")
    assert ask(recorder, "modem/stats/get", {}, "modem/stats").data == {}
    assert service.stop() == 0
    assert "monitoring Data usage" not in service.log()
    assert not os.path.exists(tmp_path / "stats" / "modem.ini") and not os.path.exists(counters.snapshot)
