"""Modem data usage; the service in its own mount namespace over made-up counters and a /tmp of the test's."""

import configparser
import os
import time

import pytest

from helpers import MqttRecorder, ask, wait_for_log_count
from testbed.counters import FakeCounters
from testbed.nm import ACTIVATED, DISCONNECTED


@pytest.fixture
def bed(testbed, tmp_path):
    """A connected modem wwan0, its counters and a recorder."""
    device = testbed.add_modem("wwan0", "cdc-wdm0", state="connected")["device"]
    testbed.nm.set_device_state(device, ACTIVATED)
    recorder = MqttRecorder(testbed.broker.port)
    recorder.clear_retained()
    yield FakeCounters(str(tmp_path), [testbed.bus.dir, str(tmp_path)]), recorder, device
    recorder.close()
    testbed.nm.remove_device(device)


def ini(path):
    (parser := configparser.ConfigParser()).read(path)
    return {group: dict(parser[group]) for group in parser.sections()}


def test_sampling_across_restart_and_stop(bed, corvex_factory, tmp_path, testbed):
    counters, recorder, device = bed
    month, store = time.strftime("%Y-%m"), tmp_path / "corvex0" / "stats" / "modem.ini"
    store.parent.mkdir(parents=True)
    store.write_text(f"[{month}]\nrxbytes=4294967000\ntxbytes=0\n")
    counters.set("wwan0", 1000, 2000)
    # So long a period that the only sample is the one the stop takes.
    service = corvex_factory({"Modem": {"usageSec": 3600}}, counters.prefix())
    recorder.wait_for("modem/stats", lambda d: d == {month: {"upload": 0, "download": 4294.97}})
    assert service.stop() == 0
    assert ini(store) == {month: {"rxbytes": "4294968000", "txbytes": "2000"}}
    assert ini(counters.snapshot)["General"] | {"timestamp": "t"} == {
        "timestamp": "t", "duration": "0", "rxbytes": "1000", "txbytes": "2000"}

    counters.set("wwan0", 1700, 2100)
    service.write_config({"Modem": {"usageSec": 1}})
    # Both runs log to one file; each publishes at its start and after a sample.
    wait_for_log_count(service.start(), "Publishing Data usage", 4, timeout=10)
    assert ini(store) == {month: {"rxbytes": "4294968700", "txbytes": "2100"}}
    testbed.nm.set_device_state(device, DISCONNECTED)
    service.wait_for_log("Stopped monitoring Data usage")


def test_period_zero_never_samples(bed, corvex_factory, tmp_path):
    counters, recorder, _ = bed
    counters.set("wwan0", 1000, 2000)
    service = corvex_factory({"Modem": {"usageSec": 0}}, counters.prefix())
    recorder.wait_for("info")
    assert ask(recorder, "modem/stats/get", {}, "modem/stats").data == {}
    assert service.stop() == 0 and "monitoring Data usage" not in service.log()
    assert not os.path.exists(tmp_path / "corvex0" / "stats") and not os.path.exists(counters.snapshot)


def test_planted_snapshot_link_is_ignored_and_replaced(bed, corvex_factory, tmp_path):
    counters, recorder, _ = bed
    counters.set("wwan0", 1000, 2000)
    planted = "[General]\nrxbytes=900\ntxbytes=2000\n"
    (tmp_path / "target").write_text(planted)
    os.symlink(tmp_path / "target", counters.snapshot)
    service = corvex_factory({"Modem": {"usageSec": 3600}}, counters.prefix())
    recorder.wait_for("modem/stats")
    assert service.stop() == 0 and "not written by this service" in service.log()
    month = time.strftime("%Y-%m")
    assert ini(tmp_path / "corvex0" / "stats" / "modem.ini") == {month: {"rxbytes": "1000", "txbytes": "2000"}}
    assert not os.path.islink(counters.snapshot) and (tmp_path / "target").read_text() == planted
