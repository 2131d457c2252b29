"""Control API of the simulated ModemManager."""

from __future__ import annotations

from typing import Iterable, List, Optional, Tuple

import dbus

from .mockservice import MOCK_IFACE, MockService

BUS_NAME = "org.freedesktop.ModemManager1"
MAIN_PATH = "/org/freedesktop/ModemManager1"

# MMModemAccessTechnology bits
ACCESS_TECHNOLOGY = {
    "unknown": 0, "pots": 1 << 0, "gsm": 1 << 1, "gsm_compact": 1 << 2, "gprs": 1 << 3, "edge": 1 << 4,
    "umts": 1 << 5, "hsdpa": 1 << 6, "hsupa": 1 << 7, "hspa": 1 << 8, "hspa_plus": 1 << 9, "1xrtt": 1 << 10,
    "evdo0": 1 << 11, "evdoa": 1 << 12, "evdob": 1 << 13, "lte": 1 << 14, "5gnr": 1 << 15, "lte_cat_m": 1 << 16,
    "lte_nb_iot": 1 << 17,
}
# MMModemState values the tests use
MODEM_STATE = {"failed": -1, "disabled": 3, "enabled": 6, "searching": 7, "registered": 8, "disconnecting": 9,
               "connecting": 10, "connected": 11}

Technologies = Iterable[str]


def technologies(names: Technologies) -> int:
    """Bit mask of access technologies given by name, e.g. ("lte",) or ("umts", "hsdpa")."""
    mask = 0
    for name in names:
        mask |= ACCESS_TECHNOLOGY[name]
    return mask


class ModemManagerSim(MockService):
    """The ModemManager simulator process and methods to change what it reports."""

    def __init__(self, bus_address: str, log_dir: Optional[str] = None) -> None:
        super().__init__(bus_address, "modemmanager.py", BUS_NAME, MAIN_PATH, log_dir)
        self.unique_name = ""

    def start(self, timeout: float = 5.0) -> None:
        super().start(timeout)
        self.unique_name = str(self.bus.get_name_owner(BUS_NAME))

    @property
    def control(self) -> dbus.Interface:
        # By unique name: the controls must keep working while the well-known name is released.
        return dbus.Interface(self.bus.get_object(self.unique_name, MAIN_PATH, introspect=False), MOCK_IFACE)

    def restart(self) -> None:
        """The daemon stopping and coming back: its bus name goes away and returns with the same modems."""
        self.control.SetRunning(False)
        self.control.SetRunning(True)

    def add_modem(self, manufacturer: str = "Quectel", model: str = "EC25", revision: str = "EC25EFAR06A06M4G",
                  device_identifier: str = "5d4c1f8a2b9e7e1c0a3b6f4d2c1e0f9a8b7c6d5e", imei: str = "867698041234567",
                  operator_code: str = "26201", operator_name: str = "Telekom.de", signal_quality: int = 75,
                  access_technologies: Technologies = ("lte",),
                  sim: Optional[Tuple[str, str]] = ("262011234567890", "89490200001234567890"),
                  capabilities: Iterable[str] = ("gsm", "lte"), interfaces: Optional[Iterable[str]] = None,
                  interface: str = "wwan0", primary_port: str = "cdc-wdm0", meid: str = "", esn: str = "",
                  state: str = "registered") -> str:
        """Adds a modem and returns its object path (the udi of the matching NetworkManager device).

        sim is (imsi, sim_identifier) or None for a modem without SIM. capabilities: "gsm", "lte",
        "cdma". interfaces overrides which of "3gpp", "ussd", "cdma" the modem exports.
        """
        desc = {
            "manufacturer": manufacturer, "model": model, "revision": revision,
            "device_identifier": device_identifier, "imei": imei, "operator_code": operator_code,
            "operator_name": operator_name, "signal_quality": dbus.UInt32(signal_quality),
            "access_technologies": dbus.UInt32(technologies(access_technologies)),
            "capabilities": dbus.Array(list(capabilities), signature="s"), "interface": interface,
            "primary_port": primary_port, "meid": meid, "esn": esn,
            "state": dbus.Int32(MODEM_STATE[state]),
            "bearer_connected": dbus.Boolean(state == "connected"),
        }
        if sim is not None:
            desc["imsi"], desc["sim_identifier"] = sim
        if interfaces is not None:
            desc["interfaces"] = dbus.Array(list(interfaces), signature="s")
        return str(self.control.AddModem(dbus.Dictionary(desc, signature="sv")))

    def remove_modem(self, path: str) -> None:
        self.control.RemoveModem(dbus.ObjectPath(path))

    def set_signal_quality(self, path: str, percent: int, recent: bool = True) -> None:
        self.control.SetSignalQuality(dbus.ObjectPath(path), dbus.UInt32(percent), recent)

    def set_access_technologies(self, path: str, names: Technologies) -> None:
        self.control.SetAccessTechnologies(dbus.ObjectPath(path), dbus.UInt32(technologies(names)))

    def set_state(self, path: str, state: str, reason: int = 0) -> None:
        """Moves the modem to a state named in MODEM_STATE; its bearer is connected only in "connected"."""
        self.control.SetModemState(dbus.ObjectPath(path), dbus.Int32(MODEM_STATE[state]), dbus.UInt32(reason))

    def modems(self) -> List[str]:
        return [str(p) for p in self.control.ListModems()]

    def properties(self, path: str, interface: str = "Modem") -> dict:
        """All properties of one interface of an object, read the way a client would (GetAll)."""
        iface = BUS_NAME if interface == "" else f"{BUS_NAME}.{interface}"
        obj = self.bus.get_object(BUS_NAME, path)
        return dict(obj.GetAll(iface, dbus_interface=dbus.PROPERTIES_IFACE))
