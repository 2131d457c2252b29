"""Availability: "online" after every connection, "offline" as the will and on a graceful stop."""

import re

import broker_log
from helpers import MqttRecorder
from test_tls import broker, pki  # noqa: F401 (the TLS broker's fixtures)

# As the broker received them: topic, QoS, retain, size.
ONLINE, OFFLINE = ("vorn/network/availability", 1, True, 6), ("vorn/network/availability", 1, True, 7)


def latest_session(testbed, recorder):
    """The broker's line on the will of the service's latest connection, and what it published there, once
    its last document after connecting has arrived."""
    recorder.wait_for("info")
    log = broker_log.read(testbed.broker.log_path)
    client = broker_log.sessions(log)[-1].client
    will = re.search(rf" as {client} .*\n\d+: (.*)", log)[1]
    return will, [(p.topic, p.qos, p.retain, p.size) for p in broker_log.publications(log, client)]


def test_without_key_no_will_and_no_topic(corvex_factory, testbed):
    recorder = MqttRecorder(testbed.broker.port)
    recorder.clear_retained()
    corvex_factory()
    will, published = latest_session(testbed, recorder)
    assert will == "No will message specified." and ONLINE not in published
    recorder.close()


def test_online_after_each_connection_offline_as_will_and_on_stop(corvex_factory, testbed):
    recorder = MqttRecorder(testbed.broker.port)
    recorder.clear_retained()
    service = corvex_factory({"Mqtt": {"availability": "availability"}})
    will, published = latest_session(testbed, recorder)
    assert will == "Will message specified (7 bytes) (r1, q1)." and published[0] == ONLINE  # before the clears
    assert " mqtt.availability  : availability" in service.log()

    since = recorder.count()
    service.kill()
    recorder.wait_for("availability", lambda d: d == "offline", timeout=1.0, since=since)
    since = recorder.count()
    service.start()
    recorder.wait_for("availability", lambda d: d == "online", since=since)
    recorder.close()
    testbed.broker.restart()
    recorder = MqttRecorder(testbed.broker.port)  # the restarted broker kept nothing
    assert latest_session(testbed, recorder)[1][0] == ONLINE
    assert service.stop() == 0
    # Retained, sent by the service itself before its goodbye (which drops the will).
    assert latest_session(testbed, recorder)[1][-1] == OFFLINE
    recorder.close()


def test_will_over_tls(corvex_factory, broker, pki):
    service = corvex_factory({"Mqtt": {"url": "localhost", "port": broker["tls"], "cafile": pki / "ca.crt",
                                       "availability": "availability"}})
    recorder = MqttRecorder(broker["plain"])
    recorder.wait_for("availability", lambda d: d == "online")
    since = recorder.count()
    service.kill()
    recorder.wait_for("availability", lambda d: d == "offline", timeout=1.0, since=since)
    recorder.close()
