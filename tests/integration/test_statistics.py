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
    device = testbed.add_modem("wwan0", "cdc-wdm0", state="connected")["device"]
    testbed.nm.set_device_state(device, ACTIVATED)
    (counters := FakeCounters(str(tmp_path), [testbed.bus.dir, str(tmp_path)])).set("wwan0", 1000, 2000)
    (recorder := MqttRecorder(testbed.broker.port)).clear_retained()
    yield counters, recorder, device, tmp_path / "corvex0" / "stats" / "modem.ini"
    recorder.close()
    testbed.nm.remove_device(device)


def ini(path):
    (parser := configparser.ConfigParser()).read(path)
    return {group: dict(parser[group]) for group in parser.sections()}


def test_sampling_across_restart_and_stop(bed, corvex_factory, tmp_path, testbed):
    counters, recorder, device, store = bed
    service = corvex_factory({"Modem": {"usageSec": 0}}, counters.prefix())  # never samples, still answers
    recorder.wait_for("info")
    assert ask(recorder, "modem/stats/get", {}, "modem/stats").data == {}
    assert service.stop() == 0 and "monitoring Data usage" not in service.log()
    assert not os.path.exists(store.parent) and not os.path.exists(counters.snapshot)
    month, planted = time.strftime("%Y-%m"), "[General]\nrxbytes=900\ntxbytes=2000\n"
    store.parent.mkdir(parents=True)
    store.write_text(f"[{month}]\nrxbytes=4294967000\ntxbytes=0\n")
    (tmp_path / "target").write_text(planted)
    os.symlink(tmp_path / "target", counters.snapshot)  # neither to be trusted nor written through
    # So long a period that the only sample is the one the stop takes.
    service.write_config({"Modem": {"usageSec": 3600}})
    service.start()
    recorder.wait_for("modem/stats", lambda d: d == {month: {"upload": 0, "download": 4294.97}})
    assert service.stop() == 0 and "not written by this service" in service.log()
    assert (ini(store), ini(counters.snapshot)["General"] | {"timestamp": "t"}, (tmp_path / "target").read_text()) \
        == ({month: {"rxbytes": "4294968000", "txbytes": "2000"}},
            {"timestamp": "t", "duration": "0", "rxbytes": "1000", "txbytes": "2000"}, planted)
    counters.set("wwan0", 1700, 2100)
    service.write_config({"Modem": {"usageSec": 1}})
    published = service.log().count("Publishing Data usage")  # the runs log to one file
    wait_for_log_count(service.start(), "Publishing Data usage", published + 2, timeout=10)  # at the start, a sample
    assert ini(store) == {month: {"rxbytes": "4294968700", "txbytes": "2100"}}
    testbed.nm.set_device_state(device, DISCONNECTED)
    service.wait_for_log("Stopped monitoring Data usage")
