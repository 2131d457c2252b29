"""Test bed for corvex: a private system bus with simulated NetworkManager and ModemManager, and a broker.

    with Testbed() as tb:
        tb.load_demo_scenario()
        subprocess.run([...], env=tb.env())
"""

from __future__ import annotations

import os
import shutil
import tempfile
from typing import Dict, Optional

from .broker import Broker
from .bus import PrivateBus
from .mm import ModemManagerSim
from .nm import NetworkManagerSim
from .scenario import load_demo


class Testbed:
    """Starts bus, simulators and broker together and stops all of them, also after a failure."""

    __test__ = False  # not a pytest test class despite its name

    def __init__(self, auth: bool = False, broker: bool = True) -> None:
        self.dir = tempfile.mkdtemp(prefix="corvex-testbed-")
        self.bus = PrivateBus()
        self.broker: Optional[Broker] = Broker(auth=auth) if broker else None
        self.nm: Optional[NetworkManagerSim] = None
        self.mm: Optional[ModemManagerSim] = None
        self.scenario: Dict[str, str] = {}

    @property
    def bus_address(self) -> str:
        return self.bus.address

    def start(self) -> "Testbed":
        try:
            self.bus.start()
            self.nm = NetworkManagerSim(self.bus.address, log_dir=self.dir)
            self.nm.start()
            self.mm = ModemManagerSim(self.bus.address, log_dir=self.dir)
            self.mm.start()
            if self.broker:
                self.broker.start()
        except BaseException:
            self.stop()
            raise
        return self

    def stop(self) -> None:
        """Stops everything that was started, in reverse order; safe after a partial start."""
        if self.broker:
            self.broker.stop()
        for sim in (self.mm, self.nm):
            if sim is not None:
                sim.close()
        self.mm = self.nm = None
        self.bus.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def env(self, base: Optional[Dict[str, str]] = None) -> Dict[str, str]:
        """Environment for a client process: the private bus as its system bus, and no session bus."""
        env = dict(os.environ if base is None else base)
        env["DBUS_SYSTEM_BUS_ADDRESS"] = self.bus.address
        env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        return env

    def add_modem(self, iface: str = "wwan0", port: str = "cdc-wdm0", **modem) -> Dict[str, str]:
        """Adds a ModemManager modem and the NetworkManager modem device that belongs to it.

        NetworkManager names the device by the modem's control port and gives it the modem's
        object path as udi; keyword arguments go to ModemManagerSim.add_modem.
        Returns {"modem": ModemManager path, "device": NetworkManager device path}.
        """
        path = self.mm.add_modem(interface=iface, primary_port=port, **modem)
        device = self.nm.add_modem(port, path, ip_iface=iface)
        return {"modem": path, "device": device}

    def load_demo_scenario(self) -> Dict[str, str]:
        """Devices and profiles as a typical unit has them; returns (and keeps in .scenario) object paths by role."""
        self.scenario = load_demo(self)
        return self.scenario

    def logs(self) -> str:
        """Everything the bus, the simulators and the broker logged, for a failure report."""
        parts = [sim.logs() for sim in (self.nm, self.mm) if sim is not None]
        for path in (self.bus.log_path, self.broker.log_path if self.broker else None):
            if path and os.path.exists(path):
                with open(path, encoding="utf-8", errors="replace") as f:
                    parts.append(f"--- {path}\n{f.read()}")
        return "\n".join(parts)

    def __enter__(self) -> "Testbed":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()
