"""A stand-in broker on loopback that answers every CONNECT the same scripted way, for what a real broker
cannot be made to do: refuse with a chosen CONNACK code, say nothing, or answer with no proper packet."""

from __future__ import annotations

import socketserver
import threading
import time
from typing import List, Tuple, Union

SILENT = "silent"
GARBAGE = b"\x00\x00"  # a complete packet of the reserved type 0: no client may take it for a CONNACK


class ScriptedBroker(socketserver.ThreadingTCPServer):
    """`answer` is a CONNACK code (0..5), SILENT or the raw bytes to send; `connections` holds the monotonic
    time of every accepted TCP connection, `received` what each one sent until it closed."""

    daemon_threads = True

    def __init__(self, answer: Union[int, str, bytes], address: Tuple[str, int] = ("127.0.0.1", 0)) -> None:
        self.answer = answer
        self.connections: List[float] = []
        self.received: List[bytes] = []
        self.cond = threading.Condition()
        super().__init__(address, _Peer)
        self.port: int = self.server_address[1]

    def wait_for(self, what: str, count: int, timeout: float) -> list:
        """Waits until `count` connections were accepted ("connections") or have closed ("received")."""
        with self.cond:
            if not self.cond.wait_for(lambda: len(getattr(self, what)) >= count, timeout):
                raise AssertionError(f"{len(getattr(self, what))} of {count} {what} within {timeout} s")
            return list(getattr(self, what))

    def __enter__(self) -> "ScriptedBroker":
        threading.Thread(target=self.serve_forever, daemon=True).start()
        return self

    def __exit__(self, *exc) -> None:
        self.shutdown()
        self.server_close()


class _Peer(socketserver.BaseRequestHandler):
    def handle(self) -> None:
        broker, data = self.server, b""
        with broker.cond:
            broker.connections.append(time.monotonic())
            broker.cond.notify_all()
        while chunk := self.request.recv(1024):
            if not data and broker.answer != SILENT:
                self.request.sendall(broker.answer if isinstance(broker.answer, bytes)
                                     else bytes([0x20, 0x02, 0x00, broker.answer]))  # CONNACK of MQTT 3.1.1
            data += chunk
        with broker.cond:
            broker.received.append(data)
            broker.cond.notify_all()
