"""One service and one recorder shared by all tests of a module, and ways to question the service.

The function-scoped fixtures of conftest start a service per test; modules whose tests only read
documents share one instead, which keeps them fast.
"""

from __future__ import annotations

import os
import re
import time
from contextlib import contextmanager
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple

import pytest

from helpers import DEFAULT_TIMEOUT, Corvex, Message, MqttRecorder

_LOG_LINE = re.compile(r"\[\s*(\d+\.\d+)\] (.*)")


@contextmanager
def shared_service(testbed, workdir: str, sections: Optional[Dict[str, Dict[str, Any]]] = None,
                   prepare: Callable[[str], None] = lambda _workdir: None) -> Iterator[Tuple[Corvex, MqttRecorder]]:
    """Starts a recorder and then the service; yields both once the service has published its info.

    `prepare` gets the service's working folder before the service starts (for files it reads).
    """
    if not os.environ.get("CORVEX_BIN"):
        pytest.skip("CORVEX_BIN is not set")
    broker = testbed.broker
    recorder = MqttRecorder(broker.port, broker.user if broker.auth else None,
                            broker.password if broker.auth else None)
    service = Corvex(testbed, workdir, sections)
    try:
        recorder.clear_retained()
        prepare(workdir)
        service.start()
        recorder.wait_for("info")
        yield service, recorder
    finally:
        service.kill()
        recorder.close()


def ask(recorder: MqttRecorder, command: str, payload: Any, topic: str,
        predicate: Optional[Callable[[Any], bool]] = None, timeout: float = DEFAULT_TIMEOUT) -> Message:
    """Sends a command and returns the first answer on `topic` (relative) that satisfies predicate."""
    since = recorder.count()
    recorder.publish(command, payload)
    return recorder.wait_for(topic, predicate, timeout, since)


def ask_until(recorder: MqttRecorder, command: str, payload: Any, topic: str, predicate: Callable[[Any], bool],
              timeout: float = 5.0) -> Message:
    """Asks again until an answer satisfies predicate, for changes the service learns of asynchronously;
    returns the last answer."""
    deadline = time.monotonic() + timeout
    while True:
        answer = ask(recorder, command, payload, topic)
        if predicate(answer.data) or time.monotonic() > deadline:
            return answer
        time.sleep(0.1)


def log_times(service: Corvex, text: str) -> List[float]:
    """Seconds since the service started of every log line containing text."""
    return [float(m[1]) for m in map(_LOG_LINE.search, service.log().splitlines()) if m and text in m[2]]


def wait_for_log_count(service: Corvex, text: str, count: int, timeout: float) -> List[float]:
    """Waits until text was logged `count` times; returns the times of all its lines."""
    deadline = time.monotonic() + timeout
    while len(times := log_times(service, text)) < count:
        if time.monotonic() > deadline:
            raise AssertionError(f"{text!r} logged {len(times)} of {count} times; log:\n{service.log()[-4000:]}")
        time.sleep(0.05)
    return times
