"""A stand-in broker on loopback that answers every CONNECT the same scripted way, for what a real broker
cannot be made to do: refuse with a chosen CONNACK code, say nothing, or answer with no MQTT packet."""

from __future__ import annotations

import socketserver
import threading
import time
from typing import List, Union

SILENT = "silent"
GARBAGE = "garbage"


class ScriptedBroker(socketserver.ThreadingTCPServer):
    """`answer` is a CONNACK code (0..5), SILENT or GARBAGE; `connections` holds the monotonic time of
    every accepted TCP connection."""

    daemon_threads = True

    def __init__(self, answer: Union[int, str]) -> None:
        self.answer = answer
        self.connections: List[float] = []
        self._cond = threading.Condition()
        super().__init__(("127.0.0.1", 0), _Peer)
        self.port: int = self.server_address[1]

    def wait_for_connections(self, count: int, timeout: float) -> List[float]:
        with self._cond:
            if not self._cond.wait_for(lambda: len(self.connections) >= count, timeout):
                raise AssertionError(f"{len(self.connections)} of {count} connections within {timeout} s")
            return list(self.connections)

    def __enter__(self) -> "ScriptedBroker":
        threading.Thread(target=self.serve_forever, daemon=True).start()
        return self

    def __exit__(self, *exc) -> None:
        self.shutdown()
        self.server_close()


class _Peer(socketserver.BaseRequestHandler):
    def handle(self) -> None:
        broker = self.server
        with broker._cond:
            broker.connections.append(time.monotonic())
            broker._cond.notify_all()
        if not self.request.recv(1024):  # the CONNECT packet, or the client gave up
            return
        if broker.answer == SILENT:
            while self.request.recv(1024):  # keep the connection open until the client closes it
                pass
        elif broker.answer == GARBAGE:
            self.request.sendall(b"\x00\x00")  # a complete packet of the reserved type 0, no CONNACK
        else:
            self.request.sendall(bytes([0x20, 0x02, 0x00, int(broker.answer)]))  # CONNACK 3.1.1
