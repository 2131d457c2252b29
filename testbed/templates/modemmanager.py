"""python-dbusmock template: a ModemManager 1.20 service with modems, SIMs and bearers.

Load with `/usr/bin/python3 -m dbusmock --system --template <this file>`. Modems are exported
through the object manager on /org/freedesktop/ModemManager1 (InterfacesAdded/InterfacesRemoved);
SIM and bearer objects are plain objects beside them, as the real daemon does it. Test control
methods live on the org.freedesktop.DBus.Mock interface of the manager object.
"""

from typing import Any, Dict, List

import dbus
from dbusmock import MOCK_IFACE, mockobject

BUS_NAME = "org.freedesktop.ModemManager1"
MAIN_OBJ = "/org/freedesktop/ModemManager1"
MAIN_IFACE = "org.freedesktop.ModemManager1"
SYSTEM_BUS = True

OBJECT_MANAGER_IFACE = "org.freedesktop.DBus.ObjectManager"
MODEM_IFACE = MAIN_IFACE + ".Modem"
SIMPLE_IFACE = MODEM_IFACE + ".Simple"
GPP_IFACE = MODEM_IFACE + ".Modem3gpp"
USSD_IFACE = GPP_IFACE + ".Ussd"
CDMA_IFACE = MODEM_IFACE + ".ModemCdma"
SIM_IFACE = MAIN_IFACE + ".Sim"
BEARER_IFACE = MAIN_IFACE + ".Bearer"

MODEM_PREFIX = MAIN_OBJ + "/Modem/"
VERSION = "1.20.4"

# MMModemCapability
CAP_CDMA_EVDO = 2
CAP_GSM_UMTS = 4
CAP_LTE = 8
# MMModemState
STATE_REGISTERED = 8
STATE_CONNECTED = 11
POWER_STATE_ON = 3
# MMModemMode: 2G | 3G | 4G
MODES_ANY_G = 2 | 4 | 8
# MMBearerIpFamily IPv4 | IPv6 | IPv4v6
IP_FAMILIES = 1 | 2 | 4
# MMModemPortType
PORT_NET = 2
PORT_QMI = 6


def load(mock, parameters: Dict[str, Any]) -> None:
    mock.counters = {"Modem": 0, "SIM": 0, "Bearer": 0}
    mock.AddProperties(MAIN_IFACE, {"Version": dbus.String(parameters.get("Version", VERSION))})
    mock.AddMethods(MAIN_IFACE, [
        ("ScanDevices", "", "", ""),
        ("SetLogging", "s", "", ""),
        ("ReportKernelEvent", "a{sv}", "", ""),
        ("InhibitDevice", "sb", "", ""),
    ])
    mock.AddMethod(OBJECT_MANAGER_IFACE, "GetManagedObjects", "", "a{oa{sa{sv}}}", _managed_objects)


def _managed_objects(_mock) -> Dict[str, Any]:
    # Only modems go through the object manager; SIMs and bearers are exported beside it.
    return {dbus.ObjectPath(p): o.props for p, o in mockobject.objects.items() if p.startswith(MODEM_PREFIX)}


def _next_path(mock, kind: str) -> str:
    path = f"{MAIN_OBJ}/{kind}/{mock.counters[kind]}"
    mock.counters[kind] += 1
    return path


def _modem(path: str):
    if not path.startswith(MODEM_PREFIX) or path not in mockobject.objects:
        raise dbus.exceptions.DBusException(f"no modem {path}", name="org.freedesktop.ModemManager1.Error.Core.NotFound")
    return mockobject.objects[path]


def _emit_properties_changed(obj, iface: str, changes: Dict[str, Any]) -> None:
    obj.props[iface].update(changes)
    obj.EmitSignal(dbus.PROPERTIES_IFACE, "PropertiesChanged", "sa{sv}as",
                   [iface, dbus.Dictionary(changes, signature="sv"), dbus.Array([], signature="s")])


def _add_sim(mock, desc: Dict[str, Any]) -> str:
    path = _next_path(mock, "SIM")
    mock.AddObject(path, SIM_IFACE, {
        "Active": dbus.Boolean(True),
        "SimIdentifier": dbus.String(desc.get("sim_identifier", "")),
        "Imsi": dbus.String(desc.get("imsi", "")),
        "Eid": dbus.String(""),
        "OperatorIdentifier": dbus.String(desc.get("operator_code", "")),
        "OperatorName": dbus.String(desc.get("operator_name", "")),
        "EmergencyNumbers": dbus.Array(["112", "911"], signature="s"),
        "PreferredNetworks": dbus.Array([], signature="(su)"),
        "Gid1": dbus.Array([], signature="y"),
        "Gid2": dbus.Array([], signature="y"),
        "SimType": dbus.UInt32(1),
        "EsimStatus": dbus.UInt32(0),
        "Removability": dbus.UInt32(1),
    }, [
        ("SendPin", "s", "", ""),
        ("SendPuk", "ss", "", ""),
        ("EnablePin", "sb", "", ""),
        ("ChangePin", "ss", "", ""),
        ("SetPreferredNetworks", "a(su)", "", ""),
    ])
    return path


def _add_bearer(mock, desc: Dict[str, Any]) -> str:
    path = _next_path(mock, "Bearer")
    connected = bool(desc.get("connected", False))
    mock.AddObject(path, BEARER_IFACE, {
        "Interface": dbus.String(desc.get("interface", "")),
        "Connected": dbus.Boolean(connected),
        "ConnectionError": dbus.Struct(("", ""), signature="ss"),
        "Suspended": dbus.Boolean(False),
        "Multiplexed": dbus.Boolean(False),
        "Ip4Config": dbus.Dictionary({"method": dbus.UInt32(3)} if connected else {}, signature="sv"),
        "Ip6Config": dbus.Dictionary({}, signature="sv"),
        "Stats": dbus.Dictionary({}, signature="sv"),
        "ReloadStatsSupported": dbus.Boolean(False),
        "IpTimeout": dbus.UInt32(20),
        "BearerType": dbus.UInt32(1),
        "ProfileId": dbus.Int32(-1),
        "Properties": dbus.Dictionary({"apn": dbus.String(desc.get("apn", "internet"))}, signature="sv"),
    }, [
        ("Connect", "", "", ""),
        ("Disconnect", "", "", ""),
    ])
    return path


def _capabilities(desc: Dict[str, Any]) -> int:
    caps = {"gsm": CAP_GSM_UMTS, "lte": CAP_LTE, "cdma": CAP_CDMA_EVDO}
    names = desc.get("capabilities", ["gsm", "lte"])
    unknown = [n for n in names if n not in caps]
    if unknown:
        raise dbus.exceptions.DBusException(f"unknown capabilities {unknown}",
                                            name="org.freedesktop.DBus.Error.InvalidArgs")
    value = 0
    for n in names:
        value |= caps[n]
    return value


def _default_interfaces(capabilities: int) -> List[str]:
    gpp = ["3gpp", "ussd"] if capabilities & (CAP_GSM_UMTS | CAP_LTE) else []
    cdma = ["cdma"] if capabilities & CAP_CDMA_EVDO else []
    return gpp + cdma


def _modem_props(desc: Dict[str, Any], capabilities: int, sim: str, bearers: List[str]) -> Dict[str, Any]:
    port = desc.get("primary_port", "cdc-wdm0")
    net = desc.get("interface", "wwan0")
    return {
        "Sim": dbus.ObjectPath(sim),
        "SimSlots": dbus.Array([dbus.ObjectPath(sim)] if sim != "/" else [], signature="o"),
        "PrimarySimSlot": dbus.UInt32(1 if sim != "/" else 0),
        "Bearers": dbus.Array([dbus.ObjectPath(b) for b in bearers], signature="o"),
        "SupportedCapabilities": dbus.Array([dbus.UInt32(capabilities)], signature="u"),
        "CurrentCapabilities": dbus.UInt32(capabilities),
        "MaxBearers": dbus.UInt32(1),
        "MaxActiveBearers": dbus.UInt32(1),
        "MaxActiveMultiplexedBearers": dbus.UInt32(0),
        "Manufacturer": dbus.String(desc.get("manufacturer", "")),
        "Model": dbus.String(desc.get("model", "")),
        "Revision": dbus.String(desc.get("revision", "")),
        "CarrierConfiguration": dbus.String("default"),
        "CarrierConfigurationRevision": dbus.String(""),
        "HardwareRevision": dbus.String(desc.get("hardware_revision", "")),
        "DeviceIdentifier": dbus.String(desc.get("device_identifier", "")),
        "Device": dbus.String(desc.get("device", "/sys/devices/platform/usb/1-1")),
        "Drivers": dbus.Array(desc.get("drivers", ["qmi_wwan", "option"]), signature="s"),
        "Plugin": dbus.String(desc.get("plugin", "generic")),
        "PrimaryPort": dbus.String(port),
        "Ports": dbus.Array([dbus.Struct((port, dbus.UInt32(PORT_QMI)), signature="su"),
                             dbus.Struct((net, dbus.UInt32(PORT_NET)), signature="su")], signature="(su)"),
        "EquipmentIdentifier": dbus.String(desc.get("imei", desc.get("meid", ""))),
        "UnlockRequired": dbus.UInt32(1),  # MM_MODEM_LOCK_NONE
        "UnlockRetries": dbus.Dictionary({}, signature="uu"),
        "State": dbus.Int32(desc.get("state", STATE_REGISTERED)),
        "StateFailedReason": dbus.UInt32(0),
        "AccessTechnologies": dbus.UInt32(desc.get("access_technologies", 0)),
        "SignalQuality": _signal_quality(desc.get("signal_quality", 0)),
        "OwnNumbers": dbus.Array(desc.get("own_numbers", []), signature="s"),
        "PowerState": dbus.UInt32(POWER_STATE_ON),
        "SupportedModes": dbus.Array([dbus.Struct((dbus.UInt32(MODES_ANY_G), dbus.UInt32(8)), signature="uu")],
                                     signature="(uu)"),
        "CurrentModes": dbus.Struct((dbus.UInt32(MODES_ANY_G), dbus.UInt32(8)), signature="uu"),
        "SupportedBands": dbus.Array([dbus.UInt32(0)], signature="u"),
        "CurrentBands": dbus.Array([dbus.UInt32(0)], signature="u"),
        "SupportedIpFamilies": dbus.UInt32(IP_FAMILIES),
    }


def _signal_quality(percent: int, recent: bool = True) -> dbus.Struct:
    return dbus.Struct((dbus.UInt32(percent), dbus.Boolean(recent)), signature="ub")


def _modem_methods() -> List[tuple]:
    return [
        ("Enable", "b", "", ""),
        ("ListBearers", "", "ao", f"ret = self.props['{MODEM_IFACE}']['Bearers']"),
        ("CreateBearer", "a{sv}", "o", "raise dbus.exceptions.DBusException('bearer limit reached', "
                                       "name='org.freedesktop.ModemManager1.Error.Core.TooMany')"),
        ("DeleteBearer", "o", "", ""),
        ("Reset", "", "", ""),
        ("FactoryReset", "s", "", ""),
        ("SetPowerState", "u", "", ""),
        ("SetCurrentCapabilities", "u", "", ""),
        ("SetCurrentModes", "(uu)", "", ""),
        ("SetCurrentBands", "au", "", ""),
        ("SetPrimarySimSlot", "u", "", ""),
        ("GetCellInfo", "", "aa{sv}", "ret = dbus.Array([], signature='a{sv}')"),
        ("Command", "su", "s", "ret = ''"),
    ]


def _gpp_props(desc: Dict[str, Any]) -> Dict[str, Any]:
    return {
        "Imei": dbus.String(desc.get("imei", "")),
        "RegistrationState": dbus.UInt32(1),  # home
        "OperatorCode": dbus.String(desc.get("operator_code", "")),
        "OperatorName": dbus.String(desc.get("operator_name", "")),
        "EnabledFacilityLocks": dbus.UInt32(0),
        "SubscriptionState": dbus.UInt32(0),
        "EpsUeModeOperation": dbus.UInt32(0),
        "Pco": dbus.Array([], signature="(ubay)"),
        "InitialEpsBearer": dbus.ObjectPath("/"),
        "InitialEpsBearerSettings": dbus.Dictionary({}, signature="sv"),
        "PacketServiceState": dbus.UInt32(2),  # attached
        "Nr5gRegistrationSettings": dbus.Dictionary({}, signature="sv"),
    }


_GPP_METHODS = [
    ("Register", "s", "", ""),
    ("Scan", "", "aa{sv}", "ret = dbus.Array([], signature='a{sv}')"),
    ("SetEpsUeModeOperation", "u", "", ""),
    ("SetInitialEpsBearerSettings", "a{sv}", "", ""),
    ("SetNr5gRegistrationSettings", "a{sv}", "", ""),
    ("DisableFacilityLock", "(us)", "", ""),
    ("SetPacketServiceState", "u", "", ""),
]

_USSD_PROPS = {"State": dbus.UInt32(1), "NetworkNotification": dbus.String(""), "NetworkRequest": dbus.String("")}
_USSD_METHODS = [("Initiate", "s", "s", "ret = ''"), ("Respond", "s", "s", "ret = ''"), ("Cancel", "", "", "")]


def _cdma_props(desc: Dict[str, Any]) -> Dict[str, Any]:
    return {
        "ActivationState": dbus.UInt32(2),  # activated
        "Meid": dbus.String(desc.get("meid", "")),
        "Esn": dbus.String(desc.get("esn", "")),
        "Sid": dbus.UInt32(desc.get("sid", 0)),
        "Nid": dbus.UInt32(desc.get("nid", 0)),
        "Cdma1xRegistrationState": dbus.UInt32(2),  # home
        "EvdoRegistrationState": dbus.UInt32(2),
    }


_CDMA_METHODS = [("Activate", "s", "", ""), ("ActivateManual", "a{sv}", "", "")]

_SIMPLE_METHODS = [
    ("Connect", "a{sv}", "o", f"ret = self.props['{MODEM_IFACE}']['Bearers'][0]"),
    ("Disconnect", "o", "", ""),
    ("GetStatus", "", "a{sv}", "ret = dbus.Dictionary({'state': self.props['" + MODEM_IFACE + "']['State']}, "
                               "signature='sv')"),
]


@dbus.service.method(MOCK_IFACE, in_signature="a{sv}", out_signature="o")
def AddModem(self, desc):
    """Adds a modem and announces it through the object manager.

    desc keys (all optional): manufacturer, model, revision, device_identifier, imei, operator_code,
    operator_name, meid, esn, signal_quality (percent), access_technologies (MMModemAccessTechnology
    bits), state (MMModemState), capabilities (list of "gsm", "lte", "cdma"), interfaces (subset of
    "3gpp", "ussd", "cdma"; defaults follow the capabilities), imsi and sim_identifier (a SIM is
    added when either is given), interface (network interface of its bearer, default wwan0),
    primary_port (default cdc-wdm0), bearer_connected, apn.
    """
    capabilities = _capabilities(desc)
    interfaces = list(desc.get("interfaces", _default_interfaces(capabilities)))
    sim = _add_sim(self, desc) if ("imsi" in desc or "sim_identifier" in desc) else "/"
    bearer = _add_bearer(self, {"interface": desc.get("interface", "wwan0"), "apn": desc.get("apn", "internet"),
                                "connected": desc.get("bearer_connected", False)})
    path = _next_path(self, "Modem")
    self.AddObject(path, MODEM_IFACE, _modem_props(desc, capabilities, sim, [bearer]), _modem_methods())
    modem = mockobject.objects[path]
    modem.props[SIMPLE_IFACE] = {}
    modem.AddMethods(SIMPLE_IFACE, _SIMPLE_METHODS)
    extra = {
        "3gpp": (GPP_IFACE, _gpp_props(desc), _GPP_METHODS),
        "ussd": (USSD_IFACE, dict(_USSD_PROPS), _USSD_METHODS),
        "cdma": (CDMA_IFACE, _cdma_props(desc), _CDMA_METHODS),
    }
    for name in interfaces:
        iface, props, methods = extra[name]
        modem.AddProperties(iface, props)
        modem.AddMethods(iface, methods)
    self.EmitSignal(OBJECT_MANAGER_IFACE, "InterfacesAdded", "oa{sa{sv}}", [dbus.ObjectPath(path), modem.props])
    return path


@dbus.service.method(MOCK_IFACE, in_signature="o", out_signature="")
def RemoveModem(self, path):
    """Removes a modem with its SIM and bearers, as when the device is unplugged."""
    modem = _modem(path)
    interfaces = [i for i in modem.props if i.startswith(MAIN_IFACE)]
    owned = [str(modem.props[MODEM_IFACE]["Sim"])] + [str(b) for b in modem.props[MODEM_IFACE]["Bearers"]]
    # The real daemon unexports the object before it announces the removal.
    self.RemoveObject(path)
    for child in owned:
        if child in mockobject.objects:
            self.RemoveObject(child)
    self.EmitSignal(OBJECT_MANAGER_IFACE, "InterfacesRemoved", "oas",
                    [dbus.ObjectPath(path), dbus.Array(interfaces, signature="s")])


@dbus.service.method(MOCK_IFACE, in_signature="oub", out_signature="")
def SetSignalQuality(self, path, percent, recent):
    _emit_properties_changed(_modem(path), MODEM_IFACE, {"SignalQuality": _signal_quality(percent, recent)})


@dbus.service.method(MOCK_IFACE, in_signature="ou", out_signature="")
def SetAccessTechnologies(self, path, technologies):
    _emit_properties_changed(_modem(path), MODEM_IFACE, {"AccessTechnologies": dbus.UInt32(technologies)})


@dbus.service.method(MOCK_IFACE, in_signature="oiu", out_signature="")
def SetModemState(self, path, state, reason):
    """Moves the modem to an MMModemState with StateChanged, and its bearer's Connected along with it."""
    modem = _modem(path)
    old = modem.props[MODEM_IFACE]["State"]
    _emit_properties_changed(modem, MODEM_IFACE, {"State": dbus.Int32(state)})
    modem.EmitSignal(MODEM_IFACE, "StateChanged", "iiu", [old, state, reason])
    for bearer in modem.props[MODEM_IFACE]["Bearers"]:
        _emit_properties_changed(mockobject.objects[str(bearer)], BEARER_IFACE,
                                 {"Connected": dbus.Boolean(state == STATE_CONNECTED)})


@dbus.service.method(MOCK_IFACE, in_signature="b", out_signature="")
def SetRunning(self, running):
    """Release or take back the bus name, as a stopping and restarting daemon does; the modems stay."""
    if running:
        self.connection.request_name(BUS_NAME, dbus.bus.NAME_FLAG_DO_NOT_QUEUE)
    else:
        self.connection.release_name(BUS_NAME)


@dbus.service.method(MOCK_IFACE, in_signature="", out_signature="ao")
def ListModems(self):
    return dbus.Array(sorted(p for p in mockobject.objects if p.startswith(MODEM_PREFIX)), signature="o")
