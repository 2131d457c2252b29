"""What the test bed's mosquitto logged (it logs everything): connections with their options, subscriptions and
publications as received; only the broker sees the QoS and retain flag a client sent."""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from typing import List, Optional

_CONNECTED = re.compile(r"\d+: New client connected from \S+ as (\S+) \(p(\d+), c(\d), k(\d+)(?:, u'([^']*)')?\)\.")
_SUBSCRIBED = re.compile(r"\d+: Received SUBSCRIBE from (\S+)\n((?:\d+: \t.* \(QoS \d\)\n)*)")
_FILTER = re.compile(r"\t(.*) \(QoS \d\)")
_PUBLISH = re.compile(r"\d+: Received PUBLISH from (\S+) \(d\d, q(\d), r(\d), m\d+, '(.*)', \.\.\. \((\d+) bytes\)\)")


@dataclass
class Session:
    client: str
    protocol: int  # 2 is MQTT 3.1.1 in mosquitto's numbering
    clean: bool
    keepalive: int
    user: Optional[str]
    subscriptions: List[str] = field(default_factory=list)


@dataclass
class Publication:
    client: str
    topic: str
    qos: int
    retain: bool
    size: int


def read(path: str) -> str:
    with open(path, encoding="utf-8", errors="replace") as f:
        return f.read()


def sessions(log: str, client_prefix: str = "auto-") -> List[Session]:
    """Connections of clients named by the broker ("auto-...", as the service is), oldest first."""
    found = [Session(m[1], int(m[2]), m[3] == "1", int(m[4]), m[5]) for m in _CONNECTED.finditer(log)
             if m[1].startswith(client_prefix)]
    for m in _SUBSCRIBED.finditer(log):
        if (session := next((s for s in reversed(found) if s.client == m[1]), None)) is not None:
            session.subscriptions += _FILTER.findall(m[2])
    return found


def publications(log: str, client: str) -> List[Publication]:
    return [Publication(m[1], m[4], int(m[2]), m[3] == "1", int(m[5]))
            for m in _PUBLISH.finditer(log) if m[1] == client]
