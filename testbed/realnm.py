"""The real NetworkManager, confined to namespaces of its own, on a private bus.

The daemon gets a fresh network namespace holding one veth pair, a private mount namespace
in which its run, configuration and state folders are temporary ones and /sys is a read-only
sysfs of that network namespace (without udev it manages devices only then), and its own UTS
namespace. Nothing of the host's network, buses or files is touched; stopping the process
group ends the namespaces, the veth pair and the mounts with it.
"""

from __future__ import annotations

import os
import shutil
import sys
import tempfile
from typing import Any, Callable, Dict, Optional

import dbus

from testbed.process import ManagedProcess, wait_until

DAEMON = "/usr/sbin/NetworkManager"
BUS_NAME = "org.freedesktop.NetworkManager"
NM_PATH = "/org/freedesktop/NetworkManager"

_CONFIG = """[main]
plugins=keyfile
auth-polkit=false
dns=none
rc-manager=unmanaged
hostname-mode=none
no-auto-default=*
firewall-backend=none

[logging]
level=INFO
"""

# Runs inside the new namespaces; {dir} is the temporary root of the daemon's folders.
_INNER = """set -e
mount --make-rprivate /
mount -n --bind {dir}/run /run
mount -n --bind {dir}/etc /etc/NetworkManager
mount -n --bind {dir}/lib /var/lib/NetworkManager
mount -n -t sysfs -o ro sysfs /sys
hostname conformance
ip link set lo up
ip link add {iface} type veth peer name {iface}-peer
exec {daemon} --debug
"""


class RealNetworkManager:
    """NetworkManager 1.42 on the bus at bus_address, managing one veth device named iface."""

    def __init__(self, bus_address: str, iface: str = "veth0") -> None:
        self.bus_address = bus_address
        self.iface = iface
        self.dir: Optional[str] = None
        self._process: Optional[ManagedProcess] = None

    @staticmethod
    def available() -> Optional[str]:
        """Why the real daemon cannot run here, or None when it can."""
        if os.geteuid() != 0:
            return "needs root for network and mount namespaces"
        for tool in (DAEMON, "/usr/bin/unshare", "/usr/sbin/ip"):
            if not os.access(tool, os.X_OK):
                return f"{tool} is missing"
        return None

    @property
    def log_path(self) -> Optional[str]:
        return self._process.log_path if self._process else None

    def start(self, timeout: float = 10.0) -> "RealNetworkManager":
        self.dir = tempfile.mkdtemp(prefix="corvex-realnm-")
        for sub in ("run", "etc/conf.d", "etc/system-connections", "lib"):
            os.makedirs(os.path.join(self.dir, sub))
        with open(os.path.join(self.dir, "etc", "NetworkManager.conf"), "w", encoding="utf-8") as f:
            f.write(_CONFIG)
        script = _INNER.format(dir=self.dir, iface=self.iface, daemon=DAEMON)
        env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=self.bus_address)
        self._process = ManagedProcess(
            ["unshare", "--net", "--mount", "--uts", "--kill-child=SIGTERM", "--", "/bin/sh", "-c", script],
            os.path.join(self.dir, "NetworkManager.log"), env)
        try:
            self._process.start()
            self._wait_ready(timeout)
        except BaseException:
            self.stop()
            raise
        return self

    def _wait_ready(self, timeout: float) -> None:
        """Ready once the manager's Startup property is false and the veth device is known."""
        bus = dbus.bus.BusConnection(self.bus_address)
        try:
            def ready() -> bool:
                if not self._process.running:
                    raise RuntimeError(f"NetworkManager exited, see {self.log_path}")
                if not bus.name_has_owner(BUS_NAME):
                    return False
                nm = bus.get_object(BUS_NAME, NM_PATH, introspect=False)
                try:  # the name comes before the objects, the devices last
                    starting = nm.Get(BUS_NAME, "Startup", dbus_interface=dbus.PROPERTIES_IFACE)
                    return not starting and bool(nm.GetDeviceByIpIface(self.iface, dbus_interface=BUS_NAME))
                except dbus.DBusException:
                    return False
            wait_until(ready, timeout, "the real NetworkManager")
        finally:
            bus.close()

    def logs(self) -> str:
        if self.log_path and os.path.exists(self.log_path):
            with open(self.log_path, encoding="utf-8", errors="replace") as f:
                return f"--- {self.log_path}\n{f.read()}"
        return ""

    def stop(self) -> None:
        if self._process:
            self._process.stop()
            self._process = None
        if self.dir:
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None

    def __enter__(self) -> "RealNetworkManager":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()


def hold_simulator_to_daemon(scenario: Callable[[str], Dict[str, Any]], iface: str = "veth0") -> None:
    """Runs scenario(bus address) on the real daemon and on the simulator (with an Ethernet device named iface),
    prints both outcomes side by side and exits 0 when they are equal; 77 (skip) without root, 1 where CI is set."""
    from testbed.bus import PrivateBus
    from testbed.nm import NetworkManagerSim
    if RealNetworkManager.available():
        print(f"{'FAIL' if os.environ.get('CI') else 'SKIP'}: {RealNetworkManager.available()}")
        sys.exit(1 if os.environ.get("CI") else 77)
    with PrivateBus() as bus, RealNetworkManager(bus.address, iface):
        expected = scenario(bus.address)
    with PrivateBus() as bus, NetworkManagerSim(bus.address) as sim:
        sim.add_ethernet(iface, "7A:06:EE:83:AE:F3")
        simulated = scenario(bus.address)
    print("\n".join(f"{k}:\n  real      {v}\n  simulated {simulated.get(k)}" for k, v in expected.items()))
    sys.exit(0 if expected == simulated else 1)
