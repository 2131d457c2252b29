"""Control API over the simulated NetworkManager (testbed/templates/networkmanager.py).

The simulator runs as its own python-dbusmock process on a private system bus.  Tests
drive it through the mock interface, addressed by the process's unique bus name, so the
controls keep working while the simulated daemon has given up its well-known name.
"""

from __future__ import annotations

import time
from typing import Any, Callable, Iterable, Optional, Sequence

import dbus

from .mockservice import MockService

BUS_NAME = "org.freedesktop.NetworkManager"
NM_PATH = "/org/freedesktop/NetworkManager"
MOCK_IFACE = "org.freedesktop.DBus.Mock"
DEVICE = BUS_NAME + ".Device"

# NMDeviceState values tests use most.
UNMANAGED, UNAVAILABLE, DISCONNECTED, ACTIVATED, FAILED = 10, 20, 30, 100, 120

# AccessPoint (Flags, WpaFlags, RsnFlags) for each security kind.
_WPA = 0x4 | 0x40 | 0x100
_RSN = 0x8 | 0x80 | 0x100
AP_SECURITY = {"none": (0, 0, 0), "wep": (1, 0, 0), "wpa1": (1, _WPA, 0), "wpa2": (1, 0, _RSN),
               "wpa1-wpa2": (1, _WPA, _RSN)}
AP_MODE = {"adhoc": 1, "infra": 2, "ap": 3}

# Integer settings whose D-Bus type is not uint32.
_INT_TYPES = {"autoconnect-priority": dbus.Int32, "autoconnect-retries": dbus.Int32, "dns-priority": dbus.Int32,
              "route-metric": dbus.Int64, "timestamp": dbus.UInt64, "dad-timeout": dbus.Int32,
              "dhcp-timeout": dbus.Int32, "required-timeout": dbus.Int32, "auth-retries": dbus.Int32}


def _ip4_u32(address: str) -> dbus.UInt32:
    return dbus.UInt32(int.from_bytes(bytes(int(x) for x in address.split(".")), "little"))


def _setting_value(key: str, value: Any) -> Any:
    if isinstance(value, (dbus.Array, dbus.Dictionary, dbus.Struct)) or hasattr(value, "variant_level"):
        return value
    if isinstance(value, bool):
        return dbus.Boolean(value)
    if isinstance(value, int):
        return _INT_TYPES.get(key, dbus.UInt32)(value)
    if isinstance(value, (bytes, bytearray)):
        return dbus.ByteArray(bytes(value))
    if isinstance(value, dict):
        return dbus.Dictionary({k: _setting_value(k, v) for k, v in value.items()}, signature="sv")
    if isinstance(value, (list, tuple)):
        if key == "dns":
            return dbus.Array([_ip4_u32(v) if isinstance(v, str) else dbus.UInt32(v) for v in value], signature="u")
        if value and isinstance(value[0], dict):
            return dbus.Array([_setting_value(key, v) for v in value], signature="a{sv}")
        if value and isinstance(value[0], int):
            return dbus.Array([dbus.UInt32(v) for v in value], signature="u")
        return dbus.Array([str(v) for v in value], signature="s")
    return value


def to_dbus_settings(settings: dict) -> dbus.Dictionary:
    """Plain Python connection settings to the a{sa{sv}} NetworkManager expects (bytes for SSIDs,
    dicts with 'address'/'prefix' for address-data, strings for dns)."""
    return dbus.Dictionary({group: dbus.Dictionary({k: _setting_value(k, v) for k, v in values.items()},
                                                   signature="sv")
                            for group, values in settings.items()}, signature="sa{sv}")


def unwrap(value: Any) -> Any:
    """D-Bus values to plain Python (ay to bytes)."""
    if isinstance(value, dbus.Array) and value.signature == "y":
        return bytes(int(b) for b in value)
    if isinstance(value, (dbus.Dictionary, dict)):
        return {str(k): unwrap(v) for k, v in value.items()}
    if isinstance(value, (dbus.Array, dbus.Struct, list, tuple)):
        return [unwrap(v) for v in value]
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, (dbus.String, dbus.ObjectPath, dbus.Signature)):
        return str(value)
    if isinstance(value, (dbus.Byte, dbus.Int16, dbus.Int32, dbus.Int64, dbus.UInt16, dbus.UInt32, dbus.UInt64)):
        return int(value)
    if isinstance(value, dbus.Double):
        return float(value)
    return value


class NetworkManagerSim(MockService):
    """The NetworkManager simulator process and methods to change what it reports."""

    def __init__(self, bus_address: str, log_dir: Optional[str] = None, step_ms: int = 10) -> None:
        super().__init__(bus_address, "networkmanager.py", BUS_NAME, "/org/freedesktop", log_dir)
        self.step_ms = step_ms
        self.unique_name = ""

    def start(self, timeout: float = 5.0) -> None:
        super().start(timeout)
        self.unique_name = str(self.bus.get_name_owner(BUS_NAME))
        self.set_step_delay(self.step_ms)

    @property
    def control(self) -> dbus.Interface:
        # By unique name: the controls must keep working while the well-known name is released.
        return dbus.Interface(self.bus.get_object(self.unique_name, "/org/freedesktop", introspect=False),
                              MOCK_IFACE)

    # The daemon stopping and coming back: its bus name goes away (NameOwnerChanged) and returns.
    def stop_service(self) -> None:
        self.control.SetRunning(False)

    def start_service(self) -> None:
        self.control.SetRunning(True)

    def restart(self, down_seconds: float = 0.1) -> None:
        self.stop_service()
        time.sleep(down_seconds)
        self.start_service()

    # --- devices ----------------------------------------------------------------------------------

    def add_ethernet(self, iface: str, mac: str, carrier: bool = True, managed: bool = True,
                     state: int = 0) -> str:
        """state 0 lets the simulator pick: Disconnected with carrier, Unavailable without."""
        return str(self.control.AddEthernetDevice(iface, mac, carrier, managed, dbus.UInt32(state)))

    def add_wifi(self, iface: str, mac: str, managed: bool = True, state: int = 0) -> str:
        return str(self.control.AddWifiDevice(iface, mac, managed, dbus.UInt32(state)))

    def add_modem(self, iface: str, udi: str, managed: bool = True, state: int = 0, operator_code: str = "",
                  apn: str = "", ip_iface: str = "") -> str:
        """iface: the modem's control port (NetworkManager names modem devices by it); udi: the
        ModemManager modem object path this device stands for; ip_iface: its network interface."""
        return str(self.control.AddModemDevice(iface, ip_iface, udi, managed, dbus.UInt32(state), operator_code,
                                               apn))

    def remove_device(self, dev: str) -> None:
        self.control.RemoveDevice(dbus.ObjectPath(dev))

    def set_device_state(self, dev: str, state: int, reason: int = 0) -> None:
        self.control.SetDeviceState(dbus.ObjectPath(dev), dbus.UInt32(state), dbus.UInt32(reason))

    def set_carrier(self, dev: str, carrier: bool) -> None:
        self.control.SetCarrier(dbus.ObjectPath(dev), carrier)

    def set_managed(self, dev: str, managed: bool) -> None:
        self.control.SetDeviceManaged(dbus.ObjectPath(dev), managed)

    def set_ip4_config(self, dev: str, addresses: Sequence[tuple[str, int]] = (), gateway: str = "",
                       dns: Iterable[str] = (), replace: bool = False) -> str:
        """Change the device's IPv4 configuration in place, or with replace=True under a new object
        path (which the bindings report as a changed IPv4 configuration of the device)."""
        return str(self.control.SetIp4Config(
            dbus.ObjectPath(dev), dbus.Array([(a, dbus.UInt32(p)) for a, p in addresses], signature="(su)"),
            gateway, dbus.Array(list(dns), signature="s"), replace))

    def clear_ip4_config(self, dev: str) -> None:
        self.control.ClearIp4Config(dbus.ObjectPath(dev))

    # --- access points ----------------------------------------------------------------------------

    def add_access_point(self, dev: str, ssid: str, bssid: str, frequency: int = 2412, strength: int = 70,
                         security: str = "wpa2", mode: str = "infra", max_bitrate: int = 54000,
                         flags: Optional[tuple[int, int, int]] = None) -> str:
        """security: none, wep, wpa1, wpa2 or wpa1-wpa2; flags=(Flags, WpaFlags, RsnFlags) overrides it."""
        ap_flags, wpa, rsn = flags if flags is not None else AP_SECURITY[security]
        return str(self.control.AddAccessPoint(
            dbus.ObjectPath(dev), ssid, bssid, dbus.UInt32(frequency), dbus.Byte(strength), dbus.UInt32(ap_flags),
            dbus.UInt32(wpa), dbus.UInt32(rsn), dbus.UInt32(AP_MODE[mode]), dbus.UInt32(max_bitrate)))

    def remove_access_point(self, dev: str, ap: str) -> None:
        self.control.RemoveAccessPoint(dbus.ObjectPath(dev), dbus.ObjectPath(ap))

    def set_access_point_strength(self, ap: str, strength: int) -> None:
        self.control.SetAccessPointStrength(dbus.ObjectPath(ap), dbus.Byte(strength))

    # --- settings and global state ----------------------------------------------------------------

    def add_connection(self, settings: dict, unsaved: bool = False) -> str:
        """Add a saved profile; settings in plain Python (see to_dbus_settings)."""
        return str(self.control.AddConnectionProfile(to_dbus_settings(settings), unsaved))

    def set_state(self, state: int, connectivity: int = 4) -> None:
        self.control.SetGlobalState(dbus.UInt32(state), dbus.UInt32(connectivity))

    def set_hostname(self, hostname: str) -> None:
        self.control.SetHostname(hostname)

    def set_primary_connection(self, active_connection: str) -> None:
        self.control.SetPrimaryConnection(dbus.ObjectPath(active_connection))

    def set_wireless_hardware_enabled(self, enabled: bool) -> None:
        self.control.SetWirelessHardwareEnabled(enabled)

    def set_step_delay(self, milliseconds: int) -> None:
        self.control.SetStepDelay(dbus.UInt32(milliseconds))

    # --- faults -----------------------------------------------------------------------------------

    def fail_next(self, method: str, error_name: str, message: str = "Simulated failure") -> None:
        """The next call of method returns this D-Bus error; method is a name ('ActivateConnection')
        or an interface and a name ('org.freedesktop.NetworkManager.Settings.Connection.Update')."""
        self.control.FailNext(method, error_name, message)

    def fail_next_activation(self, reason: int = 5) -> None:
        """The next activation is accepted and then fails (device Failed with reason, default config-failed)."""
        self.control.FailNextActivation(dbus.UInt32(reason))

    def hang(self, method: str, hanging: bool = True) -> None:
        """While hanging, calls of method (as for fail_next) get no answer, as from a stalled daemon; ending the
        hang answers them."""
        self.control.Hang(method, hanging)

    def fail_secrets(self, profile: str, failing: bool = True, error_name: str = "", message: str = "") -> None:
        """Make GetSecrets of a profile fail (by default as the daemon does without a secret agent)."""
        self.control.FailSecrets(dbus.ObjectPath(profile), failing, error_name, message)

    # --- call log ---------------------------------------------------------------------------------

    def calls(self, method: Optional[str] = None) -> list[tuple[str, str, str, list]]:
        """Calls the simulated daemon received: (object path, interface, method, args), oldest first."""
        return [(str(p), str(i), str(m), unwrap(a)) for p, i, m, a in self.control.GetAllCalls()
                if method is None or m == method or f"{i}.{m}" == method]

    def clear_calls(self) -> None:
        self.control.ClearAllCalls()

    # --- reading back -----------------------------------------------------------------------------

    def get(self, path: str, iface: str, name: str) -> Any:
        obj = self.bus.get_object(self.unique_name, path, introspect=False)
        return unwrap(obj.Get(iface, name, dbus_interface=dbus.PROPERTIES_IFACE))

    def settings(self, profile: str) -> dict:
        """A profile as the simulated daemon holds it (GetSettings)."""
        obj = self.bus.get_object(self.unique_name, profile, introspect=False)
        return unwrap(obj.GetSettings(dbus_interface=BUS_NAME + ".Settings.Connection"))

    def device(self, iface: str) -> str:
        nm = self.bus.get_object(self.unique_name, NM_PATH, introspect=False)
        return str(nm.GetDeviceByIpIface(iface, dbus_interface=BUS_NAME))

    def device_state(self, dev: str) -> int:
        return self.get(dev, DEVICE, "State")

    def wait_for(self, predicate: Callable[[], bool], timeout: float = 5.0) -> None:
        deadline = time.monotonic() + timeout
        while not predicate():
            if time.monotonic() > deadline:
                raise TimeoutError("condition not reached in the simulated NetworkManager")
            time.sleep(0.01)
