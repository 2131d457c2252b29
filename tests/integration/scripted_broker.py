"""A stand-in broker on loopback that answers every CONNECT the same scripted way.

Used where a real broker cannot be made to misbehave: refuse with a chosen CONNACK code, accept the
TCP connection and then say nothing, or answer with bytes that are no MQTT packet.
"""

from __future__ import annotations

import socket
import threading
import time
from typing import List, Optional, Union

SILENT = "silent"
GARBAGE = "garbage"

# A complete packet of the reserved type 0: no client may take it for a CONNACK.
_GARBAGE_BYTES = b"\x00\x00"

Answer = Union[int, str]


def connack(code: int) -> bytes:
    """MQTT 3.1.1 CONNACK: no session present, return code `code`."""
    return bytes([0x20, 0x02, 0x00, code])


class ScriptedBroker:
    """Listens on a free loopback port; `answer` is a CONNACK code (0..5), SILENT or GARBAGE.

    `connections` holds the monotonic time of every accepted TCP connection, so tests can see
    when and how often the client came back.
    """

    def __init__(self, answer: Answer) -> None:
        self.answer = answer
        self.connections: List[float] = []
        self._server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._server.bind(("127.0.0.1", 0))
        self._server.listen(8)
        self.port: int = self._server.getsockname()[1]
        self._clients: List[socket.socket] = []
        self._lock = threading.Condition()
        self._stopping = False
        self._thread: Optional[threading.Thread] = None

    def start(self) -> "ScriptedBroker":
        self._thread = threading.Thread(target=self._serve, name=f"scripted-broker-{self.port}", daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        self._stopping = True
        # shutdown() wakes the accept() below; close() alone does not on Linux.
        try:
            self._server.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self._server.close()
        if self._thread:
            self._thread.join(2)
        with self._lock:
            for client in self._clients:
                client.close()
            self._clients.clear()

    def wait_for_connections(self, count: int, timeout: float) -> List[float]:
        """Waits until `count` TCP connections were accepted; returns their times."""
        deadline = time.monotonic() + timeout
        with self._lock:
            while len(self.connections) < count:
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    raise AssertionError(f"{len(self.connections)} of {count} connections within {timeout} s")
                self._lock.wait(remaining)
            return list(self.connections)

    def _serve(self) -> None:
        while not self._stopping:
            try:
                client, _ = self._server.accept()
            except OSError:
                return
            with self._lock:
                self.connections.append(time.monotonic())
                self._clients.append(client)
                self._lock.notify_all()
            threading.Thread(target=self._answer, args=(client,), daemon=True).start()

    def _answer(self, client: socket.socket) -> None:
        try:
            if not client.recv(1024):  # the CONNECT packet, or the client gave up
                return
            if self.answer == SILENT:
                while client.recv(1024):  # keep the connection open until the client closes it
                    pass
            elif self.answer == GARBAGE:
                client.sendall(_GARBAGE_BYTES)
            else:
                client.sendall(connack(int(self.answer)))
        except OSError:
            pass

    def __enter__(self) -> "ScriptedBroker":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()
