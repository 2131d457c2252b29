"""A shared service (servicekit) with ways to tell exactly what it published in answer to something."""

from __future__ import annotations

import itertools
from typing import Any, Callable, List, Optional

from helpers import Corvex, Message, MqttRecorder


class Session:
    """The service and the recorder that has heard everything it published since it started.

    Answers are delimited with probes: an unsupported command whose error document comes back after
    everything the service published before reading it. Network status and service information go
    out with QoS 2, which the broker passes on only after its handshake, so they can arrive after a
    later probe: tests wait for them by topic instead.
    """

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
        """Everything published from `since` until the answer to a fresh probe (which is left out)."""
        command = f"probe{next(self._probes)}/get"
        self.send(command, {})
        answer = self.recorder.wait_for("error", lambda d: isinstance(d, dict) and d.get("command") == command,
                                        since=since)
        messages = self.recorder.messages(since=since)
        return [m for m in messages[:messages.index(answer)] if m.topic not in self._sent]

    def ask(self, command: str, payload: Any = None) -> List[Message]:
        """The documents a command is answered with (network status and information may be missing)."""
        since = self.count()
        self.send(command, {} if payload is None else payload)
        return self.probe(since)

    def wait_for(self, topic: str, predicate: Optional[Callable[[Any], bool]] = None, since: int = 0,
                 timeout: float = 10.0) -> Message:
        return self.recorder.wait_for(topic, predicate, timeout=timeout, since=since)

    def log(self) -> str:
        return self.service.log()

    def wait_for_log(self, text: str, timeout: float = 10.0) -> None:
        self.service.wait_for_log(text, timeout)


def documents(messages: List[Message], topic: Optional[str] = None) -> List[Any]:
    """JSON data of the messages, without the empty documents that clear retained topics on connection."""
    return [m.data for m in messages if (topic is None or m.topic == topic) and m.data not in ({}, "")]


def summary(messages: List[Message]) -> List[tuple]:
    """(topic, interface) of each document, the form most order checks compare."""
    return [(m.topic, m.data.get("interface") if isinstance(m.data, dict) else None)
            for m in messages if m.data not in ({}, "")]


def for_interface(iface: str) -> Callable[[Any], bool]:
    return lambda data: isinstance(data, dict) and data.get("interface") == iface
