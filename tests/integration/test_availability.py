"""Availability: "online" after every connection, "offline" as the will and on a graceful stop."""

import broker_log
from helpers import BASE_TOPIC, MqttRecorder

ONLINE = ("availability", 1, True)


def sessions(testbed):
    """Per connection of the service, oldest first: the broker's line on its will, and what it published
    (relative topic, QoS, retain) in the order the broker received it."""
    lines = broker_log.read(testbed.broker.log_path)
    found = []
    for session in broker_log.sessions(lines):
        will = next(lines[i + 1] for i, line in enumerate(lines) if "connected from 127.0.0.1:" in line
                    and f" as {session.client} " in line)
        published = broker_log.publications(lines, session.client)
        found.append((will, [(p.topic[len(BASE_TOPIC) + 1:], p.qos, p.retain) for p in published]))
    return found


def test_without_key_no_will_and_no_topic(corvex_factory, testbed):
    recorder = MqttRecorder(testbed.broker.port)
    recorder.clear_retained()
    corvex_factory()
    recorder.wait_for("info")
    will, published = sessions(testbed)[-1]
    assert will == "No will message specified." and "availability" not in [topic for topic, *_ in published]
    recorder.close()


def test_online_after_each_connection_offline_as_will_and_on_stop(corvex_factory, testbed):
    recorder = MqttRecorder(testbed.broker.port)
    recorder.clear_retained()
    service = corvex_factory({"Mqtt": {"availability": "availability"}})
    recorder.wait_for("availability", lambda d: d == "online")
    recorder.wait_for("info")  # the last publication after a connection
    will, published = sessions(testbed)[-1]
    assert will == "Will message specified (7 bytes) (r1, q1)."
    assert " mqtt.availability  : availability" in service.log()
    assert published[:2] == [ONLINE, ("ethernet/state", 0, True)]  # before the retained clears

    since = recorder.count()
    service.kill()
    recorder.wait_for("availability", lambda d: d == "offline", timeout=1.0, since=since)
    since = recorder.count()
    service.start()
    recorder.wait_for("availability", lambda d: d == "online", since=since)

    recorder.close()
    testbed.broker.restart()
    recorder = MqttRecorder(testbed.broker.port)
    recorder.wait_for("availability", lambda d: d == "online")  # the restarted broker kept nothing
    assert service.stop() == 0
    assert sessions(testbed)[-1][1][-1] == ONLINE  # "offline", by the service itself: no will after a goodbye
    recorder.close()
    fresh = MqttRecorder(testbed.broker.port)
    assert fresh.wait_for("availability").payload == b"offline"
    fresh.close()
