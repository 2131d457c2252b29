"""A real mosquitto broker on a free loopback port, optionally requiring a user name and password."""

from __future__ import annotations

import os
import pwd
import signal
import subprocess
import tempfile
import time
from typing import Optional

from .process import ManagedProcess, free_port, port_open, stop_in_folder, wait_until


class Broker:
    """mosquitto with its own configuration; restart() keeps the port so clients can reconnect."""

    user = "corvex"
    password = "s3cret-pass"

    def __init__(self, auth: bool = False) -> None:
        self.auth = auth
        self.port: Optional[int] = None
        self.dir: Optional[str] = None
        self._daemon: Optional[ManagedProcess] = None

    @property
    def log_path(self) -> Optional[str]:
        return os.path.join(self.dir, "mosquitto.log") if self.dir else None

    @property
    def pid(self) -> Optional[int]:
        return self._daemon.proc.pid if self._daemon and self._daemon.proc else None

    def start(self) -> "Broker":
        if self.dir is None:
            self.dir = tempfile.mkdtemp(prefix="corvex-broker-")
            self.port = free_port()
            self._write_config()
        self._daemon = ManagedProcess(["mosquitto", "-c", os.path.join(self.dir, "mosquitto.conf")],
                                      self.log_path)
        try:
            self._daemon.start()
            wait_until(lambda: port_open(self.port) or not self._daemon.running, 5, "mosquitto to listen")
            if not self._daemon.running:
                raise RuntimeError(f"mosquitto did not start, see {self.log_path}")
        except BaseException:
            self.stop()
            raise
        return self

    def restart(self, down_seconds: float = 0.0) -> None:
        """Stops the broker (its clients see the connection drop) and starts it again on the same port."""
        self._daemon.stop()
        time.sleep(down_seconds)
        self.start()

    def pause(self, paused: bool = True) -> None:
        """Freezes the broker (or thaws it): its clients keep their connections and get no answer, as behind a
        network that drops everything."""
        os.kill(self.pid, signal.SIGSTOP if paused else signal.SIGCONT)

    def stop(self) -> None:
        stop_in_folder(self._daemon, self.dir)
        self._daemon = None
        self.dir = None

    def _write_config(self) -> None:
        lines = [
            # Keep running as the current user: mosquitto started as root would otherwise switch
            # to its own user, which cannot read our private folder.
            f"user {pwd.getpwuid(os.getuid()).pw_name}",
            "persistence false",
            "set_tcp_nodelay true",
            f"listener {self.port} 127.0.0.1",
            "log_dest stderr",
            "log_type all",
            "connection_messages true",
        ]
        if self.auth:
            passwords = os.path.join(self.dir, "passwords")
            subprocess.run(["mosquitto_passwd", "-c", "-b", passwords, self.user, self.password], check=True,
                           capture_output=True)
            lines += ["allow_anonymous false", f"password_file {passwords}"]
        else:
            lines.append("allow_anonymous true")
        with open(os.path.join(self.dir, "mosquitto.conf"), "w", encoding="utf-8") as f:
            f.write("\n".join(lines) + "\n")

    def __enter__(self) -> "Broker":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()
