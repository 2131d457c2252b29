"""The service binary run against a test bed, and an MQTT client that records everything below the base topic:
used by the integration tests and by the scripts that measure the service."""

from __future__ import annotations

import json
import os
import re
import subprocess
import threading
import time
import uuid
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional

import paho.mqtt.client as paho

BASE_TOPIC = "vorn/network"
DEFAULT_TIMEOUT = 10.0


@dataclass
class Message:
    topic: str  # relative to the base topic
    payload: bytes
    qos: int
    retain: bool

    @property
    def data(self) -> Any:
        """The payload as JSON, or as text when it is not JSON (an empty retained payload gives "")."""
        try:
            return json.loads(self.payload)
        except ValueError:
            return self.payload.decode("utf-8", errors="replace")


def poll(check: Callable[[], Any], timeout: float, what: Callable[[], str]) -> Any:
    """Polls until check() gives something true, and returns it."""
    deadline = time.monotonic() + timeout
    while not (result := check()):
        if time.monotonic() > deadline:
            raise AssertionError(what())
        time.sleep(0.05)
    return result


class MqttRecorder:
    """Subscribes to everything below the base topic and keeps every message in arrival order."""
    def __init__(self, port: int, user: Optional[str] = None, password: Optional[str] = None,
                 base: str = BASE_TOPIC) -> None:
        self.base = base
        self._messages: List[Message] = []
        self._cond = threading.Condition()
        self._client = paho.Client(client_id=f"recorder-{uuid.uuid4().hex[:8]}")
        if user is not None:
            self._client.username_pw_set(user, password)
        self._client.on_message = self._on_message
        subscribed = threading.Event()
        self._client.on_subscribe = lambda *_: subscribed.set()
        self._client.on_connect = lambda c, *_: c.subscribe(f"{base}/#", qos=2)
        self._client.connect("127.0.0.1", port)
        self._client.loop_start()
        assert subscribed.wait(DEFAULT_TIMEOUT), f"MQTT recorder could not subscribe on port {port}"

    def _on_message(self, _client, _userdata, msg: paho.MQTTMessage) -> None:
        with self._cond:
            self._messages.append(Message(msg.topic[len(self.base) + 1:], bytes(msg.payload), msg.qos,
                                          bool(msg.retain)))
            self._cond.notify_all()

    def count(self) -> int:
        """Number of messages so far: pass it as `since` to wait only for what comes after an action."""
        with self._cond:
            return len(self._messages)

    def messages(self, topic: Optional[str] = None, since: int = 0) -> List[Message]:
        with self._cond:
            return [m for m in self._messages[since:] if topic is None or m.topic == topic]

    def wait_for(self, topic: str, predicate: Optional[Callable[[Any], bool]] = None,
                 timeout: float = DEFAULT_TIMEOUT, since: int = 0) -> Message:
        """First message on `topic` (relative) from index `since` on whose JSON data satisfies predicate."""
        def found() -> Optional[Message]:
            return next((m for m in self._messages[since:]
                         if m.topic == topic and (predicate is None or predicate(m.data))), None)
        with self._cond:
            if self._cond.wait_for(found, timeout):
                return found()
            seen = [m.topic for m in self._messages[since:]]
        raise AssertionError(f"no matching message on {topic!r} within {timeout} s; seen: {seen}")

    def barrier(self) -> None:
        """Returns once a message of our own has come back: everything the broker sent before it is here."""
        token = f"barrier-{uuid.uuid4().hex}"
        self.publish("barrier", token, qos=2)
        self.wait_for("barrier", lambda data: data == token)

    def clear_retained(self) -> None:
        """Deletes every retained message below the base topic, so a test starts from an empty broker."""
        self.barrier()
        for topic in {m.topic for m in self.messages() if m.retain and m.payload}:
            self._client.publish(f"{self.base}/{topic}", b"", qos=1, retain=True).wait_for_publish()
        self.barrier()
        with self._cond:
            self._messages.clear()

    def publish(self, command: str, payload: Any, qos: int = 1) -> None:
        """Sends a command (e.g. "wifi/config/set") with a JSON payload (or raw bytes/str) and waits until sent."""
        body = payload if isinstance(payload, (bytes, str)) else json.dumps(payload)
        self._client.publish(f"{self.base}/{command}", body, qos=qos).wait_for_publish()

    def close(self) -> None:
        self._client.disconnect()
        self._client.loop_stop()


class Corvex:
    """The service binary ($CORVEX_BIN) run against a test bed with a configuration file of our making."""

    # Every service this process started, so a failing test can show their logs.
    started: List["Corvex"] = []

    def __init__(self, testbed, workdir: str, sections: Optional[Dict[str, Dict[str, Any]]] = None) -> None:
        self.testbed = testbed
        self.workdir = workdir
        self.config_path = os.path.join(workdir, "corvex.ini")
        self.log_path = os.path.join(workdir, "corvex.stderr")
        self.binary = os.environ.get("CORVEX_BIN", "")
        self.proc: Optional[subprocess.Popen] = None
        self.prefix: List[str] = []  # a command the service runs under, e.g. FakeCounters.prefix()
        self.write_config(sections or {})

    def write_config(self, sections: Dict[str, Dict[str, Any]]) -> None:
        """Writes the INI file: the broker settings of the test bed, overridden and extended by `sections`."""
        broker = self.testbed.broker
        merged = {"Mqtt": {"url": "127.0.0.1", "port": broker.port, "base": BASE_TOPIC,
                           "user": broker.user if broker.auth else "", "pass": broker.password if broker.auth else ""},
                  # No modem profile name: only runs that ask for provisioning get it.
                  "Modem": {"id": ""}}
        for group, keys in sections.items():
            merged.setdefault(group, {}).update(keys)
        with open(self.config_path, "w", encoding="utf-8") as f:
            for group, keys in merged.items():
                f.write(f"[{group}]\n" + "".join(f"{k}={v}\n" for k, v in keys.items()) + "\n")

    def start(self, *extra_args: str) -> "Corvex":
        if not self.binary or not os.access(self.binary, os.X_OK):
            raise FileNotFoundError(f"CORVEX_BIN does not name the service binary: {self.binary!r}")
        with open(self.log_path, "ab") as log:
            argv = [*self.prefix, self.binary, "-e", "-v", "3", "-f", self.config_path, *extra_args]
            self.proc = subprocess.Popen(argv, cwd=self.workdir, env=self.testbed.env(), stdin=subprocess.DEVNULL,
                                         stdout=log, stderr=log, start_new_session=True)
        Corvex.started.append(self)
        return self

    def stop(self, timeout: float = 5.0, kill: bool = False) -> Optional[int]:
        """SIGTERM (the service's normal end), SIGKILL when asked or when it does not go; the exit status."""
        if self.proc is None:
            return None
        (self.proc.kill if kill else self.proc.terminate)()
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        code, self.proc = self.proc.returncode, None
        return code

    def kill(self) -> None:
        self.stop(kill=True)

    def log(self) -> str:
        try:
            with open(self.log_path, encoding="utf-8", errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def wait_for_log(self, text: str, timeout: float = DEFAULT_TIMEOUT) -> None:
        poll(lambda: text in self.log(), timeout, lambda: f"service never logged {text!r}")


_LOG_LINE = re.compile(r"\[\s*(\d+\.\d+)\] (.*)")


def log_times(service: Corvex, text: str) -> List[float]:
    """Seconds since the service started of every log line containing text."""
    return [float(m[1]) for m in map(_LOG_LINE.search, service.log().splitlines()) if m and text in m[2]]


def wait_for_log_count(service: Corvex, text: str, count: int, timeout: float) -> List[float]:
    """Waits until text was logged `count` times; returns the times of all its lines."""
    return poll(lambda: len(times := log_times(service, text)) >= count and times, timeout,
                lambda: f"{text!r} logged fewer than {count} times; log:\n{service.log()[-4000:]}")
