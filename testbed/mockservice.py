"""A python-dbusmock service process on the private bus, driven over D-Bus by the test code."""

from __future__ import annotations

import os
import shutil
import tempfile
from typing import Optional

import dbus

from .process import ManagedProcess, wait_until

PYTHON = "/usr/bin/python3"
MOCK_IFACE = "org.freedesktop.DBus.Mock"
TEMPLATES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "templates")


class MockService:
    """Runs `python3 -m dbusmock --system --template <file>` against the given bus.

    `control` is a proxy for the template's test methods on the main object; the mock's call
    log (every method called on it, with arguments) goes to `log_path`.
    """

    def __init__(self, bus_address: str, template: str, bus_name: str, main_path: str,
                 log_dir: Optional[str] = None) -> None:
        self.bus_address = bus_address
        self.template = os.path.join(TEMPLATES, template)
        self.bus_name = bus_name
        self.main_path = main_path
        self._own_dir = log_dir is None
        self.dir = tempfile.mkdtemp(prefix="corvex-mock-") if log_dir is None else log_dir
        self.log_path = os.path.join(self.dir, os.path.splitext(template)[0] + ".log")
        self._bus: Optional[dbus.bus.BusConnection] = None
        self._process: Optional[ManagedProcess] = None

    @property
    def bus(self) -> dbus.bus.BusConnection:
        if self._bus is None:
            self._bus = dbus.bus.BusConnection(self.bus_address)
        return self._bus

    @property
    def control(self) -> dbus.Interface:
        return dbus.Interface(self.bus.get_object(self.bus_name, self.main_path), MOCK_IFACE)

    def start(self, timeout: float = 5.0) -> None:
        env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=self.bus_address)
        self._process = ManagedProcess([PYTHON, "-m", "dbusmock", "--system", "--template", self.template,
                                        "-l", self.log_path], self.log_path + ".stderr", env)
        self._process.start()
        try:
            wait_until(lambda: self.bus.name_has_owner(self.bus_name) or not self._process.running, timeout,
                       f"{self.bus_name} on the bus")
            if not self._process.running:
                raise RuntimeError(f"{self.bus_name} simulator died, see {self._process.log_path}")
        except BaseException:
            self.stop()
            raise

    def stop(self) -> None:
        """Stops the process; its bus name vanishes as when the real daemon exits."""
        if self._process:
            self._process.stop()
            self._process = None
        if self._bus is not None:
            self._bus.close()
            self._bus = None

    def close(self) -> None:
        """Stops the process and removes the log folder if this object made it."""
        self.stop()
        if self._own_dir:
            shutil.rmtree(self.dir, ignore_errors=True)

    @property
    def running(self) -> bool:
        return self._process is not None and self._process.running

    def logs(self) -> str:
        """Call log and error output of the mock process, for failure reports."""
        parts = []
        for path in (self.log_path, self.log_path + ".stderr"):
            if os.path.exists(path):
                with open(path, encoding="utf-8", errors="replace") as f:
                    parts.append(f"--- {path}\n{f.read()}")
        return "\n".join(parts)

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc) -> None:
        self.close()
