"""Ways to question the service and the simulators; the service and the recorder come from the test bed."""

from __future__ import annotations

import itertools
import time
from contextlib import contextmanager
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple

import dbus

from testbed.nm import ACTIVATED, BUS_NAME, MOCK_IFACE, NM_PATH
from testbed.service import (BASE_TOPIC, DEFAULT_TIMEOUT, Corvex, Message, MqttRecorder,  # noqa: F401
                             log_times, poll, wait_for_log_count)


@contextmanager
def shared_service(testbed, workdir: str,
                   sections: Optional[Dict[str, Dict[str, Any]]] = None) -> Iterator[Tuple[Corvex, MqttRecorder]]:
    broker = testbed.broker
    recorder = MqttRecorder(broker.port, broker.user if broker.auth else None,
                            broker.password if broker.auth else None)
    service = Corvex(testbed, workdir, sections)
    try:
        recorder.clear_retained()  # a module may start several services on its broker
        service.start()
        recorder.wait_for("info")
        yield service, recorder
    finally:
        service.kill()
        recorder.close()


def ask(recorder: MqttRecorder, command: str, payload: Any, topic: str,
        predicate: Optional[Callable[[Any], bool]] = None, timeout: float = DEFAULT_TIMEOUT) -> Message:
    since = recorder.count()
    recorder.publish(command, payload)
    return recorder.wait_for(topic, predicate, timeout, since)


def ask_until(recorder: MqttRecorder, command: str, payload: Any, topic: str, predicate: Callable[[Any], bool],
              timeout: float = 5.0) -> Message:
    """Asks again until an answer satisfies predicate (changes arrive by signals); returns the last answer."""
    deadline = time.monotonic() + timeout
    while not predicate((answer := ask(recorder, command, payload, topic)).data) and time.monotonic() < deadline:
        pass
    return answer


class Session:
    """The service and the recorder that heard all it published. Answers are delimited with probes: an
    unsupported command with an id, whose result (QoS 2) comes after everything published before it was read."""

    def __init__(self, service: Corvex, recorder: MqttRecorder) -> None:
        self.service = service
        self.recorder = recorder
        self._probes = itertools.count()
        self._sent = set()  # the recorder hears our own commands too

    def count(self) -> int:
        return self.recorder.count()

    def send(self, command: str, payload: Any) -> None:
        self._sent.add(command)
        self.recorder.publish(command, payload)

    def probe(self, since: int = 0) -> List[Message]:
        """Everything published from `since` until the result of a fresh probe, without the probe's answer."""
        command = f"probe{next(self._probes)}/get"
        self.send(command, {"id": 0})

        def ours(data: Any) -> bool:
            return isinstance(data, dict) and data.get("command") == command
        answer = self.recorder.wait_for("result", ours, since=since)
        messages = self.recorder.messages(since=since)
        return [m for m in messages[:messages.index(answer)] if m.topic not in self._sent and not ours(m.data)]

    def ask(self, command: str, payload: Any = None) -> List[Message]:
        """The documents a command is answered with."""
        since = self.count()
        self.send(command, {} if payload is None else payload)
        return self.probe(since)

    def wait_for(self, topic: str, predicate: Optional[Callable[[Any], bool]] = None, since: int = 0,
                 timeout: float = DEFAULT_TIMEOUT) -> Message:
        return self.recorder.wait_for(topic, predicate, timeout=timeout, since=since)

    def log(self) -> str:
        return self.service.log()

    def wait_for_log(self, text: str, timeout: float = DEFAULT_TIMEOUT) -> None:
        self.service.wait_for_log(text, timeout)


def documents(messages: List[Message], topic: Optional[str] = None) -> List[Any]:
    """JSON data of the messages, without the empty documents that clear retained topics on connection."""
    return [m.data for m in messages if (topic is None or m.topic == topic) and m.data not in ({}, "")]


def device_documents(messages: List[Message]) -> List[tuple]:
    """(topic, interface) of each document but status and info, which network-wide changes may publish any time."""
    return [(m.topic, m.data.get("interface") if isinstance(m.data, dict) else None) for m in messages
            if m.data not in ({}, "") and m.topic not in ("status", "info")]


def for_interface(iface: str) -> Callable[[Any], bool]:
    return lambda data: isinstance(data, dict) and data.get("interface") == iface


def mock_object(nm, path: str) -> dbus.Interface:
    return dbus.Interface(nm.bus.get_object(nm.unique_name, path, introspect=False), MOCK_IFACE)


def activate(nm, profile: str, device: str, access_point: str = "/") -> str:
    """ActivateConnection as a client calls it; returns the active connection once the device is activated."""
    manager = nm.bus.get_object(nm.unique_name, NM_PATH, introspect=False)
    active = str(manager.ActivateConnection(*map(dbus.ObjectPath, (profile, device, access_point)),
                                            dbus_interface=BUS_NAME))
    nm.wait_for(lambda: nm.device_state(device) == ACTIVATED
                and nm.get(device, BUS_NAME + ".Device", "ActiveConnection") == active)
    return active
