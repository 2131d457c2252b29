"""What the test bed's mosquitto logged (it logs everything): who connected with which options, what each
client subscribed to, and every publication as received. Only the broker sees the QoS and retain flag a
client sent: a subscriber sees the retain flag of live messages cleared and the QoS capped."""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from typing import List, Optional

_PREFIX = re.compile(r"^\d+: ")
_CONNECTED = re.compile(r"New client connected from \S+ as (\S+) \(p(\d+), c(\d), k(\d+)(?:, u'([^']*)')?\)\.")
_SUBSCRIBE = re.compile(r"Received SUBSCRIBE from (\S+)")
_FILTER = re.compile(r"\t(.*) \(QoS (\d)\)")
_PUBLISH = re.compile(r"Received PUBLISH from (\S+) \(d\d, q(\d), r(\d), m\d+, '(.*)', \.\.\. \((\d+) bytes\)\)")


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


def read(path: str) -> List[str]:
    with open(path, encoding="utf-8", errors="replace") as f:
        return [_PREFIX.sub("", line).rstrip("\n") for line in f]


def sessions(lines: List[str], client_prefix: str = "auto-") -> List[Session]:
    """Accepted connections of clients whose identifier starts with client_prefix, oldest first (the service
    leaves its identifier to the broker, which names such clients "auto-...")."""
    found: List[Session] = []
    subscribing: Optional[Session] = None
    for line in lines:
        if match := _CONNECTED.match(line):
            subscribing = None
            if match[1].startswith(client_prefix):
                found.append(Session(match[1], int(match[2]), match[3] == "1", int(match[4]), match[5]))
        elif match := _SUBSCRIBE.match(line):
            subscribing = next((s for s in reversed(found) if s.client == match[1]), None)
        elif subscribing is not None and (match := _FILTER.match(line)):
            subscribing.subscriptions.append(match[1])
        else:
            subscribing = None
    return found


def publications(lines: List[str], client: str) -> List[Publication]:
    return [Publication(m[1], m[4], int(m[2]), m[3] == "1", int(m[5]))
            for m in map(_PUBLISH.match, lines) if m and m[1] == client]
