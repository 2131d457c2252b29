"""A private dbus-daemon that plays the system bus for the simulators and the service."""

from __future__ import annotations

import os
import subprocess
import tempfile
from typing import Optional

from .process import ManagedProcess, stop_in_folder

_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow receive_sender="*"/>
    <allow eavesdrop="true"/>
  </policy>
  <limit name="reply_timeout">30000</limit>
</busconfig>
"""


class PrivateBus:
    """dbus-daemon of type system with a socket in a fresh temporary folder.

    Nothing but the processes given `address` (as DBUS_SYSTEM_BUS_ADDRESS) ever sees it,
    so the host's own buses stay untouched.
    """

    def __init__(self) -> None:
        self.dir: Optional[str] = None
        self.address: Optional[str] = None
        self._daemon: Optional[ManagedProcess] = None

    @property
    def log_path(self) -> Optional[str]:
        return self._daemon.log_path if self._daemon else None

    def start(self) -> "PrivateBus":
        self.dir = tempfile.mkdtemp(prefix="corvex-bus-")
        config = os.path.join(self.dir, "bus.conf")
        with open(config, "w", encoding="utf-8") as f:
            f.write(_CONFIG.format(socket=os.path.join(self.dir, "system_bus_socket")))
        self._daemon = ManagedProcess(
            ["dbus-daemon", f"--config-file={config}", "--nofork", "--nopidfile", "--print-address=1"],
            os.path.join(self.dir, "dbus-daemon.log"))
        try:
            self._daemon.start(stdout=subprocess.PIPE)
            # The daemon prints its address once it accepts connections: that is the readiness signal.
            self.address = self._daemon.proc.stdout.readline().decode().strip()
            if not self.address:
                raise RuntimeError(f"dbus-daemon did not start, see {self._daemon.log_path}")
        except BaseException:
            self.stop()
            raise
        return self

    def stop(self) -> None:
        stop_in_folder(self._daemon, self.dir)
        self._daemon = None
        self.dir = None
        self.address = None

    def __enter__(self) -> "PrivateBus":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()
