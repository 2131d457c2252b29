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


def test_sampling_across_restart_and_stop(bed, corvex_factory, tmp_path, testbed, monkeypatch):
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
    assert service.stop() == 0 and "modem-snapshot.ini is not this service's own" in service.log()
    assert (ini(store), os.readlink(counters.snapshot), (tmp_path / "target").read_text()) == \
        ({month: {"rxbytes": "4294967000", "txbytes": "0"}}, str(tmp_path / "target"), planted)
    os.remove(counters.snapshot)
    counters.set("wwan0", 1700, 2100)
    service.write_config({"Modem": {"usageSec": 1}})
    published = service.log().count("Publishing Data usage")  # the runs log to one file
    monkeypatch.setenv("RUNTIME_DIRECTORY", str(tmp_path))  # as systemd gives it: /tmp is no longer used
    wait_for_log_count(service.start(), "Publishing Data usage", published + 2, timeout=10)  # at the start, a sample
    assert (ini(store), ini(tmp_path / "modem-snapshot.ini")["General"] | {"timestamp": "t"},
            os.path.lexists(counters.snapshot)) == ({month: {"rxbytes": "4294968700", "txbytes": "2100"}},
                                                    {"timestamp": "t", "duration": "0", "rxbytes": "1700",
                                                     "txbytes": "2100"}, False)
    testbed.nm.set_device_state(device, DISCONNECTED)
    service.wait_for_log("Stopped monitoring Data usage")


def test_a_snapshot_that_cannot_be_written_counts_nothing_twice(bed, corvex_factory, tmp_path, monkeypatch):
    counters, _recorder, _device, store = bed
    monkeypatch.setenv("RUNTIME_DIRECTORY", str(tmp_path / "absent"))
    service = corvex_factory({"Modem": {"usageSec": 1}}, counters.prefix())
    for published, rx in enumerate((1000, 2000, 3000, 4000)):  # the first sample books the counter since boot
        counters.set("wwan0", rx, 2000)
        wait_for_log_count(service, "Publishing Data usage", 2 * published + 3, timeout=10)
    assert (ini(store)[time.strftime("%Y-%m")], service.log().count("cannot write")) == \
        ({"rxbytes": "4000", "txbytes": "2000"}, 1)
