import re

from helpers import MqttRecorder, ask
from testbed import broker_log

ONLINE, OFFLINE = ("vorn/network/availability", 1, True, 6), ("vorn/network/availability", 1, True, 7)  # at the broker


def latest_session(testbed, recorder, since=0):
    recorder.wait_for("info", since=since)
    log = broker_log.read(testbed.broker.log_path)
    client = broker_log.sessions(log)[-1].client
    return re.search(rf" as {client} .*\n\d+: (.*)", log)[1], [
        (p.topic, p.qos, p.retain, p.size) for p in broker_log.publications(log, client)]


def test_online_after_each_connection_offline_as_will_and_on_stop(corvex_factory, testbed):
    recorder = MqttRecorder(testbed.broker.port)
    plain = corvex_factory()  # without the keys: no will, no availability topic and nothing outside the base
    latest_session(testbed, recorder)
    ask(recorder, "probe/get", {}, "error")  # the reload is over: all it published is at the broker
    will, published = latest_session(testbed, recorder)
    assert (will, [p for p in published if p[0] == ONLINE[0] or not p[0].startswith("vorn/network/")]) == \
        ("No will message specified.", [])
    plain.kill()
    since = recorder.count()
    service = corvex_factory({"Mqtt": {"availability": "availability"}})
    will, published = latest_session(testbed, recorder, since)
    assert (will, published[0]) == ("Will message specified (7 bytes) (r1, q1).", ONLINE)  # before the clears
    assert " mqtt.availability  : availability" in service.log()  # kill -9 and the will: test_tls
    recorder.close()
    testbed.broker.restart()
    recorder = MqttRecorder(testbed.broker.port)  # the restarted broker kept nothing
    assert latest_session(testbed, recorder)[1][0] == ONLINE
    # Retained, sent by the service itself before its goodbye (which drops the will).
    assert (service.stop(), latest_session(testbed, recorder)[1][-1]) == (0, OFFLINE)
    recorder.close()
