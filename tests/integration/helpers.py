"""Helpers of the integration tests: the service process and an MQTT client that records everything."""

from __future__ import annotations

import json
import os
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
        text = self.payload.decode("utf-8", errors="replace")
        try:
            return json.loads(text)
        except ValueError:
            return text


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
        if not subscribed.wait(DEFAULT_TIMEOUT):
            self.close()
            raise TimeoutError(f"MQTT recorder could not subscribe on port {port}")

    def _on_message(self, _client, _userdata, msg: paho.MQTTMessage) -> None:
        topic = msg.topic[len(self.base) + 1:]
        with self._cond:
            self._messages.append(Message(topic, bytes(msg.payload), msg.qos, bool(msg.retain)))
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
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for m in self._messages[since:]:
                    if m.topic == topic and (predicate is None or predicate(m.data)):
                        return m
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    seen = [m.topic for m in self._messages[since:]]
                    raise AssertionError(f"no matching message on {topic!r} within {timeout} s; seen: {seen}")
                self._cond.wait(remaining)

    def publish(self, command: str, payload: Any, qos: int = 1) -> None:
        """Sends a command (e.g. "wifi/config/set") with a JSON payload (or raw bytes/str) and waits until sent."""
        body = payload if isinstance(payload, (bytes, str)) else json.dumps(payload)
        self._client.publish(f"{self.base}/{command}", body, qos=qos).wait_for_publish()

    def clear_retained(self, settle: float = 0.3) -> None:
        """Deletes every retained message below the base topic so a test starts from an empty broker."""
        time.sleep(settle)  # retained messages arrive right after subscribing
        stale = {m.topic for m in self.messages() if m.retain and m.payload}
        for topic in stale:
            self._client.publish(f"{self.base}/{topic}", b"", qos=1, retain=True).wait_for_publish()
        if stale:
            time.sleep(settle)  # let the deletions come back to us before forgetting everything
        with self._cond:
            self._messages.clear()

    def close(self) -> None:
        self._client.disconnect()
        self._client.loop_stop()


class Corvex:
    """The service binary ($CORVEX_BIN) run against a test bed with a configuration file of our making."""

    def __init__(self, testbed, workdir: str, sections: Optional[Dict[str, Dict[str, Any]]] = None) -> None:
        self.testbed = testbed
        self.workdir = workdir
        self.config_path = os.path.join(workdir, "corvex.ini")
        self.log_path = os.path.join(workdir, "corvex.stderr")
        self.binary = os.environ.get("CORVEX_BIN", "")
        self.proc: Optional[subprocess.Popen] = None
        self.write_config(sections or {})

    def default_sections(self) -> Dict[str, Dict[str, Any]]:
        broker = self.testbed.broker
        mqtt = {"url": "127.0.0.1", "port": broker.port, "base": BASE_TOPIC,
                "user": broker.user if broker.auth else "", "pass": broker.password if broker.auth else ""}
        return {"Mqtt": mqtt}

    def write_config(self, sections: Dict[str, Dict[str, Any]]) -> None:
        """Writes the INI file: the broker settings of the test bed, overridden and extended by `sections`."""
        merged = self.default_sections()
        for group, keys in sections.items():
            merged.setdefault(group, {}).update(keys)
        with open(self.config_path, "w", encoding="utf-8") as f:
            for group, keys in merged.items():
                f.write(f"[{group}]\n")
                f.writelines(f"{k}={_ini_value(v)}\n" for k, v in keys.items())
                f.write("\n")

    def config_text(self) -> str:
        with open(self.config_path, encoding="utf-8") as f:
            return f.read()

    def start(self, *extra_args: str) -> "Corvex":
        if not self.binary or not os.access(self.binary, os.X_OK):
            raise FileNotFoundError(f"CORVEX_BIN does not name the service binary: {self.binary!r}")
        with open(self.log_path, "ab") as log:
            self.proc = subprocess.Popen([self.binary, "-e", "-v", "3", "-f", self.config_path, *extra_args],
                                         cwd=self.workdir, env=self.testbed.env(), stdin=subprocess.DEVNULL,
                                         stdout=log, stderr=log, start_new_session=True)
        return self

    @property
    def running(self) -> bool:
        return self.proc is not None and self.proc.poll() is None

    def stop(self, timeout: float = 5.0) -> Optional[int]:
        """SIGTERM (the service's normal end), SIGKILL if it does not go; returns the exit status."""
        if self.proc is None:
            return None
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        code = self.proc.returncode
        self.proc = None
        return code

    def kill(self) -> None:
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
        self.stop()

    def log(self) -> str:
        if not os.path.exists(self.log_path):
            return ""
        with open(self.log_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def wait_for_log(self, text: str, timeout: float = DEFAULT_TIMEOUT) -> None:
        deadline = time.monotonic() + timeout
        while text not in self.log():
            if time.monotonic() > deadline:
                raise AssertionError(f"service never logged {text!r}")
            time.sleep(0.05)


def _ini_value(value: Any) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    return str(value)
