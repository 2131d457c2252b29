'''Simulated NetworkManager 1.42 for python-dbusmock.

Load with: /usr/bin/python3 -m dbusmock --system --template <this file>

Object paths, property names and types, signals and error names follow the
real daemon's D-Bus API (checked against NetworkManager 1.42 by the
conformance test).  Tests drive it through the control methods on the
org.freedesktop.DBus.Mock interface of /org/freedesktop (see testbed/nm.py).
'''

import os
import socket
import struct
import sys
import time

import dbus
import dbusmock
from dbusmock import MOCK_IFACE
from gi.repository import GLib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import nm_checkpoints  # noqa: E402  (beside this file, which dbusmock loads by path)
import nmverify  # noqa: E402

BUS_NAME = 'org.freedesktop.NetworkManager'
MAIN_OBJ = '/org/freedesktop'
SYSTEM_BUS = True
IS_OBJECT_MANAGER = True

NM = 'org.freedesktop.NetworkManager'
NM_PATH = '/org/freedesktop/NetworkManager'
SETTINGS = NM + '.Settings'
SETTINGS_PATH = NM_PATH + '/Settings'
CONNECTION = NM + '.Settings.Connection'
DEVICE = NM + '.Device'
WIRED = DEVICE + '.Wired'
WIRELESS = DEVICE + '.Wireless'
MODEM = DEVICE + '.Modem'
STATISTICS = DEVICE + '.Statistics'
ACCESS_POINT = NM + '.AccessPoint'
ACTIVE = NM + '.Connection.Active'
IP4 = NM + '.IP4Config'
IP6 = NM + '.IP6Config'

# Error names as the real daemon sends them.
ERR_UNKNOWN_CONNECTION = NM + '.UnknownConnection'
ERR_UNKNOWN_DEVICE = NM + '.UnknownDevice'
ERR_NOT_ACTIVE = NM + '.ConnectionNotActive'
ERR_SETTING_NOT_FOUND = CONNECTION + '.SettingNotFound'
ERR_UUID_EXISTS = SETTINGS + '.UuidExists'
ERR_INVALID_CONNECTION = SETTINGS + '.InvalidConnection'
ERR_INVALID_ARGUMENTS = SETTINGS + '.InvalidArguments'
ERR_NO_SECRETS = NM + '.AgentManager.NoSecrets'

DEVICE_ETHERNET, DEVICE_WIFI, DEVICE_MODEM = 1, 2, 8
CONNECTION_TYPE_FOR_DEVICE = {DEVICE_ETHERNET: '802-3-ethernet', DEVICE_WIFI: '802-11-wireless',
                              DEVICE_MODEM: 'gsm'}

# NMDeviceState
UNMANAGED, UNAVAILABLE, DISCONNECTED, PREPARE, CONFIG = 10, 20, 30, 40, 50
IP_CONFIG, IP_CHECK, SECONDARIES, ACTIVATED, DEACTIVATING, FAILED = 70, 80, 90, 100, 110, 120
ACTIVATION_STEPS = (PREPARE, CONFIG, IP_CONFIG, IP_CHECK, SECONDARIES, ACTIVATED)
# NMDeviceStateReason
REASON_NONE, REASON_CARRIER, REASON_USER_REQUESTED, REASON_REMOVED = 0, 40, 39, 36
REASON_NOW_MANAGED, REASON_NOW_UNMANAGED = 2, 3
# NMActiveConnectionState and its reasons
AC_ACTIVATING, AC_ACTIVATED, AC_DEACTIVATING, AC_DEACTIVATED = 1, 2, 3, 4
AC_REASON_UNKNOWN, AC_REASON_DEVICE_DISCONNECTED = 0, 3
# NMState
NM_DISCONNECTED, NM_CONNECTING, NM_CONNECTED_GLOBAL = 20, 40, 70

SECRET_FLAG_KEYS = {'psk': 'psk-flags', 'wep-key0': 'wep-key-flags', 'wep-key1': 'wep-key-flags',
                    'wep-key2': 'wep-key-flags', 'wep-key3': 'wep-key-flags', 'leap-password': 'leap-password-flags',
                    'password': 'password-flags', 'pin': 'pin-flags',
                    'private-key-password': 'private-key-password-flags'}

class _State:
    '''Everything the simulator knows beyond the exported properties.'''

    def __init__(self):
        self.counters = {}
        self.secrets = {}          # connection path -> {setting: {key: value}}
        self.secret_failures = {}  # connection path -> (error name, message)
        self.failures = {}         # 'Method' or 'Interface.Method' -> [(error name, message)]
        self.calls = []            # (path, interface, method, args)
        self.step_ms = 10
        self.activation_failure = None  # reason of the next activation that fails
        self.pending = {}          # active connection path -> GLib source id
        self.main = None           # the mock's root object, /org/freedesktop
        self.ip_ifaces = {}        # device path -> interface carrying IP once activated


S = _State()


# --- small helpers --------------------------------------------------------------------------------

def _obj(path):
    return dbusmock.get_object(path)


def _exists(path):
    return str(path) in dbusmock.get_objects()


def _next_path(kind):
    S.counters[kind] = S.counters.get(kind, 0) + 1
    return dbus.ObjectPath(f'{NM_PATH}/{kind}/{S.counters[kind]}')


def _paths(items):
    return dbus.Array([dbus.ObjectPath(p) for p in items], signature='o')


def _get(path, iface, name):
    return _obj(path).props[iface][name]


def _set(path, iface, **props):
    '''Change properties and announce them with PropertiesChanged, as the daemon does.'''
    obj = _obj(path)
    for name in props:
        if name not in obj.props.get(iface, {}):
            raise _error(iface + '.NoSuchProperty', f'property {name} not found')
    obj.props[iface].update(props)
    obj.EmitSignal(dbus.PROPERTIES_IFACE, 'PropertiesChanged', 'sa{sv}as',
                   [iface, dbus.Dictionary(props, signature='sv'), dbus.Array([], signature='s')])


def _emit(path, iface, name, signature, *args):
    _obj(path).EmitSignal(iface, name, signature, list(args))


def _error(name, message):
    return dbus.exceptions.DBusException(message, name=name)


def _no_object(path):
    return _error('org.freedesktop.DBus.Error.UnknownMethod', f'Object does not exist at path “{path}”')


def _add_object(path, iface, props, methods=()):
    '''Create an object, register its methods with call logging and fault injection.'''
    S.main.AddObject(path, iface, props, [])
    obj = _obj(path)
    for interface, name, in_sig, out_sig, func in methods:
        _add_method(obj, interface, name, in_sig, out_sig, func)
    return obj


def _add_method(obj, iface, name, in_sig, out_sig, func):
    def handler(self, *args):
        S.calls.append((self.path, iface, name, list(args)))
        queued = S.failures.get(f'{iface}.{name}') or S.failures.get(name)
        if queued:
            error_name, message = queued.pop(0)
            raise _error(error_name, message)
        return func(self, *args)
    obj.AddMethod(iface, name, in_sig, out_sig, handler)


def _announce_added(path):
    S.main.object_manager_emit_added(path)


def _remove_object(path):
    S.main.object_manager_emit_removed(path)
    S.main.RemoveObject(path)


def _list_add(path, iface, name, item):
    items = [str(p) for p in _get(path, iface, name)]
    if str(item) not in items:
        _set(path, iface, **{name: _paths(items + [item])})


def _list_remove(path, iface, name, item):
    items = [str(p) for p in _get(path, iface, name)]
    if str(item) in items:
        _set(path, iface, **{name: _paths([p for p in items if p != str(item)])})


# --- IPv4/IPv6 helpers ----------------------------------------------------------------------------

def _ip4_to_u32(address):
    '''NetworkManager's legacy uint32 form: the address in network byte order read as host-endian.'''
    return dbus.UInt32(struct.unpack('=I', socket.inet_aton(address))[0])


def _u32_to_ip4(value):
    return socket.inet_ntoa(struct.pack('=I', int(value)))


def _ip4_config_props(addresses=(), gateway='', dns=(), domains=(), searches=()):
    address_data = [dbus.Dictionary({'address': a, 'prefix': dbus.UInt32(p)}, signature='sv') for a, p in addresses]
    legacy = [dbus.Array([_ip4_to_u32(a), dbus.UInt32(p), _ip4_to_u32(gateway or '0.0.0.0') if i == 0
                          else dbus.UInt32(0)], signature='u') for i, (a, p) in enumerate(addresses)]
    return {
        'AddressData': dbus.Array(address_data, signature='a{sv}'),
        'Addresses': dbus.Array(legacy, signature='au'),
        'DnsOptions': dbus.Array([], signature='s'),
        'DnsPriority': dbus.Int32(0),
        'Domains': dbus.Array(domains, signature='s'),
        'Gateway': dbus.String(gateway),
        'NameserverData': dbus.Array([dbus.Dictionary({'address': d}, signature='sv') for d in dns], signature='a{sv}'),
        'Nameservers': dbus.Array([_ip4_to_u32(d) for d in dns], signature='u'),
        'RouteData': dbus.Array([], signature='a{sv}'),
        'Routes': dbus.Array([], signature='au'),
        'Searches': dbus.Array(searches, signature='s'),
        'WinsServerData': dbus.Array([], signature='s'),
        'WinsServers': dbus.Array([], signature='u'),
    }


def _ip6_config_props():
    return {
        'AddressData': dbus.Array([], signature='a{sv}'),
        'Addresses': dbus.Array([], signature='(ayuay)'),
        'DnsOptions': dbus.Array([], signature='s'),
        'DnsPriority': dbus.Int32(0),
        'Domains': dbus.Array([], signature='s'),
        'Gateway': dbus.String(''),
        'Nameservers': dbus.Array([], signature='ay'),
        'RouteData': dbus.Array([], signature='a{sv}'),
        'Routes': dbus.Array([], signature='(ayuayu)'),
        'Searches': dbus.Array([], signature='s'),
    }


def _new_ip_config(kind, props):
    path = _next_path(kind)
    _add_object(path, IP4 if kind == 'IP4Config' else IP6, props)
    _announce_added(path)
    return path


def _replace_ip4_config(dev, props):
    '''Give the device a new IP4Config object (a new path), dropping the old one.'''
    old = str(_get(dev, DEVICE, 'Ip4Config'))
    new = _new_ip_config('IP4Config', props)
    _set(dev, DEVICE, Ip4Config=new)
    _sync_active_ip4(dev, new)
    if old != '/' and _exists(old):
        _remove_object(old)


def _update_ip4_config(dev, props):
    '''Change the device's IPv4 configuration in place (what NetworkManager 1.42 does on re-configuration).'''
    path = str(_get(dev, DEVICE, 'Ip4Config'))
    if path == '/':
        _replace_ip4_config(dev, props)
    else:
        _set(path, IP4, **props)


def _sync_active_ip4(dev, path):
    ac = str(_get(dev, DEVICE, 'ActiveConnection'))
    if ac != '/' and _exists(ac):
        _set(ac, ACTIVE, Ip4Config=path)


# --- connection settings --------------------------------------------------------------------------

def _ipv4_addresses(ipv4):
    '''(address, prefix) pairs from either the modern or the legacy form.'''
    if ipv4.get('address-data'):
        return [(str(a['address']), int(a['prefix'])) for a in ipv4['address-data']]
    return [(_u32_to_ip4(a[0]), int(a[1])) for a in ipv4.get('addresses', [])]


def _ipv4_gateway(ipv4):
    if 'gateway' in ipv4:
        return str(ipv4['gateway'])
    legacy = [a for a in ipv4.get('addresses', []) if len(a) > 2 and int(a[2])]
    return _u32_to_ip4(legacy[0][2]) if legacy else ''


def _ipv4_dns(ipv4):
    if ipv4.get('dns-data'):
        return [str(d) for d in ipv4['dns-data']]
    return [_u32_to_ip4(d) for d in ipv4.get('dns', [])]


def _settings(conn):
    return _obj(conn).settings


def _conn_type(conn):
    return str(_settings(conn)['connection']['type'])


def _conn_id(conn):
    return str(_settings(conn)['connection']['id'])


def _judged(method, settings):
    '''The profile as the daemon would store it and its secrets, or its refusal; fixtures (no method) go unrecorded.'''
    try:
        profile = nmverify.normalized(settings)
    except nmverify.Refused as e:
        if method:
            nmverify.record(method, settings, e.name)
        raise _error(e.name, e.message)
    if method:
        nmverify.record(method, settings, 'accepted')
    return profile


def _store(conn, profile, keep_secrets):
    normalized, secrets = profile
    _obj(conn).settings = normalized
    stored = S.secrets.get(str(conn), {}) if keep_secrets else {}
    stored.update({group: values for group, values in secrets.items() if values})
    S.secrets[str(conn)] = {g: v for g, v in stored.items() if g in normalized}


def _check_uuid_free(settings, own_path=None):
    wanted = str(settings['connection'].get('uuid', ''))
    for path in _get(SETTINGS_PATH, SETTINGS, 'Connections'):
        if str(path) != own_path and str(_settings(path)['connection']['uuid']) == wanted:
            raise _error(ERR_UUID_EXISTS, 'a connection with this UUID already exists')


def _add_connection(profile, unsaved=False):
    settings = profile[0]
    _check_uuid_free(settings)
    path = _next_path('Settings')
    filename = f"/etc/NetworkManager/system-connections/{settings['connection']['id']}.nmconnection"
    props = {'Unsaved': dbus.Boolean(unsaved), 'Flags': dbus.UInt32(1 if unsaved else 0),
             'Filename': dbus.String('' if unsaved else filename)}
    _add_object(path, CONNECTION, props, [
        (CONNECTION, 'GetSettings', '', 'a{sa{sv}}', lambda self: self.settings),
        (CONNECTION, 'GetSecrets', 's', 'a{sa{sv}}', _get_secrets),
        (CONNECTION, 'Update', 'a{sa{sv}}', '', lambda self, s: _update(self, s, 'Update')),
        (CONNECTION, 'UpdateUnsaved', 'a{sa{sv}}', '', lambda self, s: _update(self, s, 'UpdateUnsaved')),
        (CONNECTION, 'Update2', 'a{sa{sv}}ua{sv}', 'a{sv}', _update2),
        (CONNECTION, 'Delete', '', '', lambda self: _delete_connection(self.path)),
        (CONNECTION, 'Save', '', '', lambda self: None),
        (CONNECTION, 'ClearSecrets', '', '', lambda self: S.secrets.pop(self.path, None)),
    ])
    _store(path, profile, keep_secrets=False)
    _announce_added(path)
    _list_add(SETTINGS_PATH, SETTINGS, 'Connections', path)
    _emit(SETTINGS_PATH, SETTINGS, 'NewConnection', 'o', path)
    _refresh_available_connections()
    return path


def _get_secrets(self, setting):
    settings = self.settings
    if setting not in settings:
        raise _error(ERR_SETTING_NOT_FOUND, f"Connection didn't have requested setting '{setting}'.")
    if self.path in S.secret_failures:
        raise _error(*S.secret_failures[self.path])
    group = settings[setting]
    owned = {k: v for k, v in S.secrets.get(self.path, {}).get(setting, {}).items()
             if int(group.get(SECRET_FLAG_KEYS[k], 0)) == 0}
    if not owned:
        # Nothing the daemon holds itself: it would ask a secret agent, and there is none.
        raise _error(ERR_NO_SECRETS, 'No agents were available for this request.')
    reply = {g: dbus.Dictionary({}, signature='sv') for g in settings}
    reply[setting] = dbus.Dictionary(owned, signature='sv')
    _emit(self.path, CONNECTION, 'Updated', '')  # the daemon announces the secrets it loaded as an update
    return dbus.Dictionary(reply, signature='sa{sv}')


def _update(self, settings, method):
    if 'connection' in settings:  # the daemon keeps the profile's UUID where libnm would make up a new one
        settings['connection'].setdefault('uuid', self.settings['connection']['uuid'])
    profile = _judged(method, settings)
    _check_uuid_free(profile[0], self.path)
    _store(self.path, profile, keep_secrets=True)
    _emit(self.path, CONNECTION, 'Updated', '')
    _refresh_available_connections()


def _update2(self, settings, _flags, _args):
    if settings:
        _update(self, settings, 'Update2')
    return dbus.Dictionary({}, signature='sv')


def _delete_connection(path):
    for ac in list(_get(NM_PATH, NM, 'ActiveConnections')):
        if str(_get(ac, ACTIVE, 'Connection')) == path:
            _deactivate(ac, immediately=True)
    _emit(path, CONNECTION, 'Removed', '')
    _list_remove(SETTINGS_PATH, SETTINGS, 'Connections', path)
    _emit(SETTINGS_PATH, SETTINGS, 'ConnectionRemoved', 'o', path)
    S.secrets.pop(path, None)
    S.secret_failures.pop(path, None)
    _remove_object(path)
    _refresh_available_connections()


# --- devices --------------------------------------------------------------------------------------

def _devices():
    return [str(p) for p in _get(NM_PATH, NM, 'AllDevices')]


def _device_type(dev):
    return int(_get(dev, DEVICE, 'DeviceType'))


def _compatible(settings, dev):
    bound = str(settings['connection'].get('interface-name', ''))
    return (CONNECTION_TYPE_FOR_DEVICE.get(_device_type(dev)) == str(settings['connection']['type'])
            and bound in ('', str(_get(dev, DEVICE, 'Interface'))))


def _refresh_available_connections():
    conns = [str(p) for p in _get(SETTINGS_PATH, SETTINGS, 'Connections')]
    for dev in _devices():
        available = [c for c in conns if _compatible(_settings(c), dev)]
        if [str(p) for p in _get(dev, DEVICE, 'AvailableConnections')] != available:
            _set(dev, DEVICE, AvailableConnections=_paths(available))


def _device_props(iface, ip_iface, dtype, udi, hw_address, managed, state, driver):
    return {
        'ActiveConnection': dbus.ObjectPath('/'),
        'Autoconnect': dbus.Boolean(True),
        'AvailableConnections': _paths([]),
        'Capabilities': dbus.UInt32(3 if dtype == DEVICE_ETHERNET else 1),
        'DeviceType': dbus.UInt32(dtype),
        'Dhcp4Config': dbus.ObjectPath('/'),
        'Dhcp6Config': dbus.ObjectPath('/'),
        'Driver': dbus.String(driver),
        'DriverVersion': dbus.String(''),
        'FirmwareMissing': dbus.Boolean(False),
        'FirmwareVersion': dbus.String(''),
        'HwAddress': dbus.String(hw_address),
        'Interface': dbus.String(iface),
        'InterfaceFlags': dbus.UInt32(0x10003 if state >= DISCONNECTED else 0x1),
        'Ip4Address': dbus.UInt32(0),
        'Ip4Config': dbus.ObjectPath('/'),
        'Ip4Connectivity': dbus.UInt32(1),
        'Ip6Config': dbus.ObjectPath('/'),
        'Ip6Connectivity': dbus.UInt32(1),
        'IpInterface': dbus.String(ip_iface if state == ACTIVATED else ''),
        'LldpNeighbors': dbus.Array([], signature='a{sv}'),
        'Managed': dbus.Boolean(managed),
        'Metered': dbus.UInt32(0),
        'Mtu': dbus.UInt32(1500),
        'NmPluginMissing': dbus.Boolean(False),
        'Path': dbus.String(''),
        'PhysicalPortId': dbus.String(''),
        'Ports': _paths([]),
        'Real': dbus.Boolean(True),
        'State': dbus.UInt32(state),
        'StateReason': dbus.Struct((dbus.UInt32(state), dbus.UInt32(REASON_NONE)), signature='uu'),
        'Udi': dbus.String(udi),
    }


def _device_methods():
    return [
        (DEVICE, 'Disconnect', '', '', _disconnect),
        (DEVICE, 'Reapply', 'a{sa{sv}}tu', '', lambda self, conn, version, flags: None),
        (DEVICE, 'Delete', '', '', lambda self: _remove_device(self.path)),
        (DEVICE, 'GetAppliedConnection', 'u', 'a{sa{sv}}t', _applied_connection),
    ]


def _add_device(iface, dtype, udi, hw_address, managed, state, driver, extra_iface, extra_props, methods=(),
                ip_iface=''):
    if not managed:
        state = UNMANAGED
    path = _next_path('Devices')
    S.ip_ifaces[path] = ip_iface or iface
    obj = _add_object(path, DEVICE, _device_props(iface, S.ip_ifaces[path], dtype, udi, hw_address, managed, state,
                                                  driver),
                      _device_methods() + list(methods))
    obj.AddProperties(extra_iface, extra_props)
    obj.AddProperties(STATISTICS, {'RefreshRateMs': dbus.UInt32(0), 'RxBytes': dbus.UInt64(0),
                                   'TxBytes': dbus.UInt64(0)})
    # NetworkManager 1.42 gives every device its IP configuration objects, empty until configured.
    _replace_ip4_config(path, _ip4_config_props())
    _set(path, DEVICE, Ip6Config=_new_ip_config('IP6Config', _ip6_config_props()))
    _announce_added(path)
    for name in ('AllDevices', 'Devices'):
        _list_add(NM_PATH, NM, name, path)
    _emit(NM_PATH, NM, 'DeviceAdded', 'o', path)
    _refresh_available_connections()
    return path


def _set_device_state(dev, state, reason):
    old = int(_get(dev, DEVICE, 'State'))
    if old == state:
        return
    props = {'State': dbus.UInt32(state),
             'StateReason': dbus.Struct((dbus.UInt32(state), dbus.UInt32(reason)), signature='uu')}
    if state == ACTIVATED or old == ACTIVATED:
        props['IpInterface'] = dbus.String(S.ip_ifaces[dev] if state == ACTIVATED else '')
    _set(dev, DEVICE, **props)
    _emit(dev, DEVICE, 'StateChanged', 'uuu', dbus.UInt32(state), dbus.UInt32(old), dbus.UInt32(reason))


def _remove_device(dev):
    ac = str(_get(dev, DEVICE, 'ActiveConnection'))
    if ac != '/' and _exists(ac):
        _deactivate(ac, immediately=True)
    _set_device_state(dev, UNMANAGED, REASON_REMOVED)
    for name in ('Devices', 'AllDevices'):
        _list_remove(NM_PATH, NM, name, dev)
    _emit(NM_PATH, NM, 'DeviceRemoved', 'o', dev)
    if _device_type(dev) == DEVICE_WIFI:
        for ap in list(_get(dev, WIRELESS, 'AccessPoints')):
            _remove_access_point(dev, str(ap))
    for kind in ('Ip4Config', 'Ip6Config'):
        path = str(_get(dev, DEVICE, kind))
        if path != '/' and _exists(path):
            _remove_object(path)
    _remove_object(dev)
    S.ip_ifaces.pop(dev, None)


def _disconnect(self):
    ac = str(_get(self.path, DEVICE, 'ActiveConnection'))
    if ac == '/' or not _exists(ac):
        raise _error(NM + '.Device.NotActive', 'This device is not active')
    _deactivate(ac)


def _applied_connection(self, _flags):
    ac = str(_get(self.path, DEVICE, 'ActiveConnection'))
    if ac == '/' or not _exists(ac):
        raise _error(NM + '.Device.NotActive', 'Device is not activated')
    return (_settings(_get(ac, ACTIVE, 'Connection')), dbus.UInt64(1))


# --- access points ---------------------------------------------------------------------------------

def _add_access_point(dev, ssid, bssid, frequency, strength, flags, wpa_flags, rsn_flags, mode, max_bitrate):
    path = _next_path('AccessPoint')
    _add_object(path, ACCESS_POINT, {
        'Bandwidth': dbus.UInt32(20),
        'Flags': dbus.UInt32(flags),
        'Frequency': dbus.UInt32(frequency),
        'HwAddress': dbus.String(bssid),
        'LastSeen': dbus.Int32(int(time.monotonic())),
        'MaxBitrate': dbus.UInt32(max_bitrate),
        'Mode': dbus.UInt32(mode),
        'RsnFlags': dbus.UInt32(rsn_flags),
        'Ssid': dbus.Array([dbus.Byte(b) for b in ssid.encode()], signature='y'),
        'Strength': dbus.Byte(strength),
        'WpaFlags': dbus.UInt32(wpa_flags),
    })
    _announce_added(path)
    _list_add(dev, WIRELESS, 'AccessPoints', path)
    _emit(dev, WIRELESS, 'AccessPointAdded', 'o', path)
    return path


def _remove_access_point(dev, ap):
    if str(_get(dev, WIRELESS, 'ActiveAccessPoint')) == ap:
        _set(dev, WIRELESS, ActiveAccessPoint=dbus.ObjectPath('/'))
    _list_remove(dev, WIRELESS, 'AccessPoints', ap)
    _emit(dev, WIRELESS, 'AccessPointRemoved', 'o', ap)
    _remove_object(ap)


def _ap_ssid(ap):
    return bytes(int(b) for b in _get(ap, ACCESS_POINT, 'Ssid'))


def _find_ap(dev, conn, specific):
    if specific != '/' and _exists(specific):
        return specific
    ssid = bytes(int(b) for b in _settings(conn).get('802-11-wireless', {}).get('ssid', []))
    for ap in _get(dev, WIRELESS, 'AccessPoints'):
        if _ap_ssid(ap) == ssid:
            return str(ap)
    return '/'


def _request_scan(self, _options):
    if not bool(_get(NM_PATH, NM, 'WirelessEnabled')):
        raise _error(NM + '.Device.NotAllowed', 'Scanning not allowed while unavailable')
    _set(self.path, WIRELESS, LastScan=dbus.Int64(int(time.monotonic() * 1000)))


# --- activation -------------------------------------------------------------------------------------

def _find_device_for(settings, dev):
    if dev != '/':
        if dev not in _devices():
            raise _error(ERR_UNKNOWN_DEVICE, 'Device not found')
        return dev
    for candidate in _devices():
        if _compatible(settings, candidate) and bool(_get(candidate, DEVICE, 'Managed')):
            return candidate
    raise _error(ERR_UNKNOWN_DEVICE, 'No suitable device found for this connection.')


def _check_available(settings, dev):
    name, iface = str(settings['connection']['id']), str(_get(dev, DEVICE, 'Interface'))
    if not _compatible(settings, dev):
        expected = CONNECTION_TYPE_FOR_DEVICE.get(_device_type(dev), '')
        raise _error(ERR_UNKNOWN_CONNECTION,
                     f"Connection '{name}' is not available on device {iface} because profile is not "
                     f'compatible with device (connection type is not "{expected}")')
    if int(_get(dev, DEVICE, 'State')) < DISCONNECTED:
        why = 'device has no carrier' if _device_type(dev) == DEVICE_ETHERNET else 'device is not available'
        raise _error(ERR_UNKNOWN_CONNECTION, f"Connection '{name}' is not available on device {iface} because {why}")


def _activatable_device(settings, dev):
    '''The device an activation of these settings would use, or the error the daemon refuses it with.'''
    dev = _find_device_for(settings, dev)
    _check_available(settings, dev)
    return dev


def _activate(conn, dev, specific):
    if not _exists(conn) or conn not in [str(p) for p in _get(SETTINGS_PATH, SETTINGS, 'Connections')]:
        raise _error(ERR_UNKNOWN_CONNECTION, 'Connection could not be found.')
    dev = _activatable_device(_settings(conn), dev)
    previous = str(_get(dev, DEVICE, 'ActiveConnection'))
    if previous != '/' and _exists(previous):
        _deactivate(previous, immediately=True)
    if _device_type(dev) == DEVICE_WIFI:
        specific = _find_ap(dev, conn, specific)
    settings = _settings(conn)
    path = _next_path('ActiveConnection')
    _add_object(path, ACTIVE, {
        'Connection': dbus.ObjectPath(conn),
        'Controller': dbus.ObjectPath('/'),
        'Default': dbus.Boolean(False),
        'Default6': dbus.Boolean(False),
        'Devices': _paths([dev]),
        'Dhcp4Config': dbus.ObjectPath('/'),
        'Dhcp6Config': dbus.ObjectPath('/'),
        'Id': dbus.String(settings['connection']['id']),
        'Ip4Config': dbus.ObjectPath('/'),
        'Ip6Config': dbus.ObjectPath('/'),
        'Master': dbus.ObjectPath('/'),
        'SpecificObject': dbus.ObjectPath(specific),
        'State': dbus.UInt32(AC_ACTIVATING),
        'StateFlags': dbus.UInt32(0),
        'Type': dbus.String(settings['connection']['type']),
        'Uuid': dbus.String(settings['connection']['uuid']),
        'Vpn': dbus.Boolean(False),
    })
    _announce_added(path)
    _set(dev, DEVICE, ActiveConnection=path)
    _list_add(NM_PATH, NM, 'ActiveConnections', path)
    _set(NM_PATH, NM, ActivatingConnection=path)
    if int(_get(NM_PATH, NM, 'State')) < NM_CONNECTING:
        _set_global_state(NM_CONNECTING)
    _emit(path, ACTIVE, 'StateChanged', 'uu', dbus.UInt32(AC_ACTIVATING), dbus.UInt32(AC_REASON_UNKNOWN))
    _schedule(path, _activation_steps(path, dev, conn))
    return path


def _schedule(ac, steps):
    '''Walk a generator of state changes, one step per tick, like the daemon's asynchronous activation.'''
    def tick():
        if next(steps, None) is None:
            S.pending.pop(ac, None)
            return False
        return True
    S.pending[ac] = GLib.timeout_add(S.step_ms, tick)


def _activation_steps(ac, dev, conn):
    failure, S.activation_failure = S.activation_failure, None
    for state in ACTIVATION_STEPS:
        if failure is not None and state == IP_CONFIG:
            _set_device_state(dev, FAILED, failure)
            yield True
            _finish_deactivation(ac, dev, failure, AC_REASON_DEVICE_DISCONNECTED)
            return
        if state == ACTIVATED:
            _apply_ip_config(dev, conn)
            _set_active_state(ac, AC_ACTIVATED, AC_REASON_UNKNOWN)
        _set_device_state(dev, state, REASON_NONE)
        if state == ACTIVATED:
            _on_activated(ac, dev, conn)
        yield True


def _apply_ip_config(dev, conn):
    ipv4 = _settings(conn).get('ipv4', {})
    if str(ipv4.get('method', 'auto')) == 'manual':
        _update_ip4_config(dev, _ip4_config_props(_ipv4_addresses(ipv4), _ipv4_gateway(ipv4), _ipv4_dns(ipv4)))
    elif str(ipv4.get('method')) == 'shared':
        _update_ip4_config(dev, _ip4_config_props(_shared_addresses(ipv4)))
    elif str(_get(dev, DEVICE, 'Ip4Config')) == '/':
        _replace_ip4_config(dev, _ip4_config_props())
    _sync_active_ip4(dev, _get(dev, DEVICE, 'Ip4Config'))


def _shared_addresses(ipv4):
    '''A shared connection serves its own address, the daemon's default network unless one is given.'''
    return _ipv4_addresses(ipv4) or [('10.42.0.1', 24)]


def _on_activated(ac, dev, conn):
    _settings(conn)['connection']['timestamp'] = dbus.UInt64(int(time.time()))
    if _device_type(dev) == DEVICE_WIFI:
        mode = str(_settings(conn).get('802-11-wireless', {}).get('mode', 'infrastructure'))
        _set(dev, WIRELESS, ActiveAccessPoint=_get(ac, ACTIVE, 'SpecificObject'),
             Mode=dbus.UInt32(3 if mode == 'ap' else 2))
    _set(NM_PATH, NM, ActivatingConnection=dbus.ObjectPath('/'))
    if str(_get(NM_PATH, NM, 'PrimaryConnection')) == '/' and _get(ac, ACTIVE, 'Ip4Config') != '/':
        _set(ac, ACTIVE, Default=dbus.Boolean(True))
        _set_primary(ac)
    _set_global_state(NM_CONNECTED_GLOBAL)


def _set_active_state(ac, state, reason):
    _set(ac, ACTIVE, State=dbus.UInt32(state))
    _emit(ac, ACTIVE, 'StateChanged', 'uu', dbus.UInt32(state), dbus.UInt32(reason))


def _set_primary(ac):
    kind = _get(ac, ACTIVE, 'Type') if ac != '/' else ''
    _set(NM_PATH, NM, PrimaryConnection=dbus.ObjectPath(ac), PrimaryConnectionType=dbus.String(kind))


def _set_global_state(state):
    if int(_get(NM_PATH, NM, 'State')) != state:
        _set(NM_PATH, NM, State=dbus.UInt32(state))
        _emit(NM_PATH, NM, 'StateChanged', 'u', dbus.UInt32(state))


def _deactivate(ac, immediately=False):
    '''Take an active connection down; the daemon reports it as ended by its device disconnecting.'''
    if ac in S.pending:
        GLib.source_remove(S.pending.pop(ac))
    dev = str(_get(ac, ACTIVE, 'Devices')[0])
    _set_active_state(ac, AC_DEACTIVATING, AC_REASON_UNKNOWN)
    if immediately:
        _finish_deactivation(ac, dev, REASON_USER_REQUESTED, AC_REASON_DEVICE_DISCONNECTED)
    else:
        _schedule(ac, _deactivation_steps(ac, dev))


def _deactivation_steps(ac, dev):
    _set_device_state(dev, DEACTIVATING, REASON_USER_REQUESTED)
    yield True
    _finish_deactivation(ac, dev, REASON_USER_REQUESTED, AC_REASON_DEVICE_DISCONNECTED)


def _finish_deactivation(ac, dev, dev_reason, ac_reason):
    if _exists(dev):
        if _device_type(dev) == DEVICE_WIFI:
            _set(dev, WIRELESS, ActiveAccessPoint=dbus.ObjectPath('/'))
        _set(dev, DEVICE, ActiveConnection=dbus.ObjectPath('/'))
        _update_ip4_config(dev, _ip4_config_props())
        if int(_get(dev, DEVICE, 'State')) > UNAVAILABLE:
            _set_device_state(dev, DISCONNECTED, dev_reason)
    _set_active_state(ac, AC_DEACTIVATED, ac_reason)
    _list_remove(NM_PATH, NM, 'ActiveConnections', ac)
    if str(_get(NM_PATH, NM, 'ActivatingConnection')) == ac:
        _set(NM_PATH, NM, ActivatingConnection=dbus.ObjectPath('/'))
    if str(_get(NM_PATH, NM, 'PrimaryConnection')) == ac:
        remaining = [str(p) for p in _get(NM_PATH, NM, 'ActiveConnections')]
        _set_primary(remaining[0] if remaining else '/')
    if not _get(NM_PATH, NM, 'ActiveConnections'):
        _set_global_state(NM_DISCONNECTED)
    S.pending.pop(ac, None)
    _remove_object(ac)


# --- manager and settings methods ------------------------------------------------------------------

def _activate_connection(self, conn, dev, specific):
    return _activate(str(conn), str(dev), str(specific))


def _add_and_activate(self, settings, dev, specific):
    dev, specific = str(dev), str(specific)
    if dev != '/' and dev not in _devices():
        raise _error(ERR_UNKNOWN_DEVICE, 'Device not found')
    if dev != '/' and _device_type(dev) == DEVICE_WIFI and specific != '/' and _exists(specific):
        wifi = settings.setdefault('802-11-wireless', dbus.Dictionary({}, signature='sv'))
        wifi.setdefault('ssid', dbus.ByteArray(_ap_ssid(specific)))
    profile = _judged('AddAndActivateConnection', settings)
    _activatable_device(profile[0], dev)
    conn = _add_connection(profile)
    return (conn, _activate(conn, dev, specific))


def _deactivate_connection(self, ac):
    ac = str(ac)
    if ac not in [str(p) for p in _get(NM_PATH, NM, 'ActiveConnections')]:
        raise _error(ERR_NOT_ACTIVE, 'The connection was not active.')
    _deactivate(ac)


def _device_by_iface(self, iface):
    for dev in _devices():
        if iface in (str(_get(dev, DEVICE, 'IpInterface')), str(_get(dev, DEVICE, 'Interface'))):
            return dbus.ObjectPath(dev)
    raise _error(ERR_UNKNOWN_DEVICE, 'No device found for the requested iface.')


def _connection_by_uuid(self, wanted):
    for path in _get(SETTINGS_PATH, SETTINGS, 'Connections'):
        if str(_settings(path)['connection']['uuid']) == wanted:
            return path
    raise _error(ERR_INVALID_CONNECTION, 'No connection with the UUID was found.')


def _add_connection2(self, settings, flags, _args):
    if not int(flags) & 0x3:
        raise _error(ERR_INVALID_ARGUMENTS, 'Requires either to-disk (0x1) or in-memory (0x2) flags')
    return (_add_connection(_judged('AddConnection2', settings), unsaved=not int(flags) & 0x1),
            dbus.Dictionary({}, signature='sv'))


def _set_wireless_enabled(enabled):
    if bool(_get(NM_PATH, NM, 'WirelessEnabled')) == enabled:
        return  # the daemon changes nothing and says nothing
    _set(NM_PATH, NM, WirelessEnabled=dbus.Boolean(enabled))
    for dev in _devices():
        if _device_type(dev) != DEVICE_WIFI or not bool(_get(dev, DEVICE, 'Managed')):
            continue
        if not enabled:
            ac = str(_get(dev, DEVICE, 'ActiveConnection'))
            if ac != '/' and _exists(ac):
                _deactivate(ac, immediately=True)
        _set_device_state(dev, DISCONNECTED if enabled else UNAVAILABLE, REASON_NONE)


def _properties_set(self, iface, name, value):
    '''Properties.Set on the manager: the writable switches act like the daemon's.'''
    if iface != NM or name not in ('WirelessEnabled', 'WwanEnabled', 'WimaxEnabled', 'ConnectivityCheckEnabled'):
        raise _error('org.freedesktop.DBus.Error.PropertyReadOnly', f"Property '{name}' is not writable")
    if name == 'WirelessEnabled':
        _set_wireless_enabled(bool(value))
    else:
        _set(NM_PATH, NM, **{name: dbus.Boolean(value)})


def _manager_props(parameters):
    return {
        'ActivatingConnection': dbus.ObjectPath('/'),
        'ActiveConnections': _paths([]),
        'AllDevices': _paths([]),
        'Capabilities': dbus.Array([dbus.UInt32(1)], signature='u'),
        'Checkpoints': _paths([]),
        'Connectivity': dbus.UInt32(parameters.get('Connectivity', 4)),
        'ConnectivityCheckAvailable': dbus.Boolean(True),
        'ConnectivityCheckEnabled': dbus.Boolean(True),
        'ConnectivityCheckUri': dbus.String(''),
        'Devices': _paths([]),
        'GlobalDnsConfiguration': dbus.Dictionary({}, signature='sv'),
        'Metered': dbus.UInt32(0),
        'NetworkingEnabled': dbus.Boolean(True),
        'PrimaryConnection': dbus.ObjectPath('/'),
        'PrimaryConnectionType': dbus.String(''),
        'RadioFlags': dbus.UInt32(1),
        'Startup': dbus.Boolean(False),
        'State': dbus.UInt32(NM_DISCONNECTED),
        'Version': dbus.String(parameters.get('Version', '1.42.4')),
        'VersionInfo': dbus.Array([dbus.UInt32(0x12a04)], signature='u'),
        'WimaxEnabled': dbus.Boolean(False),
        'WimaxHardwareEnabled': dbus.Boolean(False),
        'WirelessEnabled': dbus.Boolean(parameters.get('WirelessEnabled', True)),
        'WirelessHardwareEnabled': dbus.Boolean(True),
        'WwanEnabled': dbus.Boolean(True),
        'WwanHardwareEnabled': dbus.Boolean(True),
    }


def load(mock, parameters):
    S.__init__()
    S.main = mock
    S.step_ms = int(parameters.get('StepMs', 10))
    manager = _add_object(NM_PATH, NM, _manager_props(parameters), [
        (NM, 'GetDevices', '', 'ao', lambda self: _get(NM_PATH, NM, 'Devices')),
        (NM, 'GetAllDevices', '', 'ao', lambda self: _get(NM_PATH, NM, 'AllDevices')),
        (NM, 'GetDeviceByIpIface', 's', 'o', _device_by_iface),
        (NM, 'ActivateConnection', 'ooo', 'o', _activate_connection),
        (NM, 'AddAndActivateConnection', 'a{sa{sv}}oo', 'oo', _add_and_activate),
        (NM, 'DeactivateConnection', 'o', '', _deactivate_connection),
        (NM, 'Enable', 'b', '', lambda self, on: _set(NM_PATH, NM, NetworkingEnabled=dbus.Boolean(on))),
        (NM, 'Sleep', 'b', '', lambda self, on: None),
        (NM, 'state', '', 'u', lambda self: _get(NM_PATH, NM, 'State')),
        (NM, 'CheckConnectivity', '', 'u', lambda self: _get(NM_PATH, NM, 'Connectivity')),
        (NM, 'GetPermissions', '', 'a{ss}', lambda self: dbus.Dictionary({}, signature='ss')),
        (NM, 'GetLogging', '', 'ss', lambda self: ('INFO', 'DEFAULT')),
        (NM, 'Reload', 'u', '', lambda self, flags: None),
    ])
    _add_method(manager, dbus.PROPERTIES_IFACE, 'Set', 'ssv', '', _properties_set)
    nm_checkpoints.install(manager, globals())
    _add_object(SETTINGS_PATH, SETTINGS, {
        'CanModify': dbus.Boolean(True),
        'Connections': _paths([]),
        'Hostname': dbus.String(parameters.get('Hostname', 'testbed')),
    }, [
        (SETTINGS, 'ListConnections', '', 'ao', lambda self: _get(SETTINGS_PATH, SETTINGS, 'Connections')),
        (SETTINGS, 'GetConnectionByUuid', 's', 'o', _connection_by_uuid),
        (SETTINGS, 'AddConnection', 'a{sa{sv}}', 'o', lambda self, s: _add_connection(_judged('AddConnection', s))),
        (SETTINGS, 'AddConnectionUnsaved', 'a{sa{sv}}', 'o',
         lambda self, s: _add_connection(_judged('AddConnectionUnsaved', s), unsaved=True)),
        (SETTINGS, 'AddConnection2', 'a{sa{sv}}ua{sv}', 'oa{sv}', _add_connection2),
        (SETTINGS, 'SaveHostname', 's', '', lambda self, name: _set(SETTINGS_PATH, SETTINGS, Hostname=name)),
    ])
    _add_object(NM_PATH + '/AgentManager', NM + '.AgentManager', {}, [
        (NM + '.AgentManager', 'Register', 's', '', lambda self, ident: None),
        (NM + '.AgentManager', 'RegisterWithCapabilities', 'su', '', lambda self, ident, caps: None),
        (NM + '.AgentManager', 'Unregister', '', '', lambda self: None),
    ])
    for path in (NM_PATH, SETTINGS_PATH, NM_PATH + '/AgentManager'):
        _announce_added(path)


# --- control interface for tests ------------------------------------------------------------------

def _wifi_methods():
    return [
        (WIRELESS, 'GetAccessPoints', '', 'ao', lambda self: _get(self.path, WIRELESS, 'AccessPoints')),
        (WIRELESS, 'GetAllAccessPoints', '', 'ao', lambda self: _get(self.path, WIRELESS, 'AccessPoints')),
        (WIRELESS, 'RequestScan', 'a{sv}', '', _request_scan),
    ]


@dbus.service.method(MOCK_IFACE, in_signature='ssbbu', out_signature='o')
def AddEthernetDevice(self, iface, hw_address, carrier, managed, state):
    '''Add a wired device; state 0 picks Disconnected with carrier, Unavailable without.'''
    state = state or (DISCONNECTED if carrier else UNAVAILABLE)
    return _add_device(iface, DEVICE_ETHERNET, f'/sys/devices/virtual/net/{iface}', hw_address, managed, state,
                       'e1000e', WIRED, {
                           'Carrier': dbus.Boolean(carrier),
                           'HwAddress': dbus.String(hw_address),
                           'PermHwAddress': dbus.String(hw_address),
                           'S390Subchannels': dbus.Array([], signature='s'),
                           'Speed': dbus.UInt32(1000 if carrier else 0),
                       })


@dbus.service.method(MOCK_IFACE, in_signature='ssbu', out_signature='o')
def AddWifiDevice(self, iface, hw_address, managed, state):
    if not state:
        state = DISCONNECTED if bool(_get(NM_PATH, NM, 'WirelessEnabled')) else UNAVAILABLE
    return _add_device(iface, DEVICE_WIFI, f'/sys/devices/virtual/net/{iface}', hw_address, managed, state,
                       'iwlwifi', WIRELESS, {
                           'AccessPoints': _paths([]),
                           'ActiveAccessPoint': dbus.ObjectPath('/'),
                           'Bitrate': dbus.UInt32(0),
                           'HwAddress': dbus.String(hw_address),
                           'LastScan': dbus.Int64(-1),
                           'Mode': dbus.UInt32(2),
                           'PermHwAddress': dbus.String(hw_address),
                           'WirelessCapabilities': dbus.UInt32(0x7ff),
                       }, _wifi_methods())


@dbus.service.method(MOCK_IFACE, in_signature='sssbuss', out_signature='o')
def AddModemDevice(self, iface, ip_iface, udi, managed, state, operator_code, apn):
    '''Add a modem device named by its control port; udi is the ModemManager modem object path it
    stands for, ip_iface the network interface it uses once connected.'''
    return _add_device(iface, DEVICE_MODEM, udi, '', managed, state or DISCONNECTED, '', MODEM, {
        'Apn': dbus.String(apn),
        'CurrentCapabilities': dbus.UInt32(0xc),
        'DeviceId': dbus.String(udi.rsplit('/', 1)[-1]),
        'ModemCapabilities': dbus.UInt32(0xc),
        'OperatorCode': dbus.String(operator_code),
    }, ip_iface=ip_iface)


@dbus.service.method(MOCK_IFACE, in_signature='o', out_signature='')
def RemoveDevice(self, dev):
    _remove_device(str(dev))


@dbus.service.method(MOCK_IFACE, in_signature='ouu', out_signature='')
def SetDeviceState(self, dev, state, reason):
    _set_device_state(str(dev), int(state), int(reason))


@dbus.service.method(MOCK_IFACE, in_signature='ob', out_signature='')
def SetDeviceManaged(self, dev, managed):
    dev = str(dev)
    _set(dev, DEVICE, Managed=dbus.Boolean(managed))
    if managed:
        _set_device_state(dev, DISCONNECTED, REASON_NOW_MANAGED)
    else:
        ac = str(_get(dev, DEVICE, 'ActiveConnection'))
        if ac != '/' and _exists(ac):
            _deactivate(ac, immediately=True)
        _set_device_state(dev, UNMANAGED, REASON_NOW_UNMANAGED)


@dbus.service.method(MOCK_IFACE, in_signature='ob', out_signature='')
def SetCarrier(self, dev, carrier):
    '''Plug or unplug the cable: carrier, speed and, for a managed device, its state follow.'''
    dev = str(dev)
    _set(dev, WIRED, Carrier=dbus.Boolean(carrier), Speed=dbus.UInt32(1000 if carrier else 0))
    if not bool(_get(dev, DEVICE, 'Managed')):
        return
    if carrier:
        if int(_get(dev, DEVICE, 'State')) == UNAVAILABLE:
            _set_device_state(dev, DISCONNECTED, REASON_CARRIER)
        return
    ac = str(_get(dev, DEVICE, 'ActiveConnection'))
    if ac != '/' and _exists(ac):
        _deactivate(ac, immediately=True)
    _set_device_state(dev, UNAVAILABLE, REASON_CARRIER)


@dbus.service.method(MOCK_IFACE, in_signature='oa(su)sasb', out_signature='o')
def SetIp4Config(self, dev, addresses, gateway, dns, replace):
    '''Set the device's IPv4 configuration; replace=True publishes it under a new object path.'''
    props = _ip4_config_props([(str(a), int(p)) for a, p in addresses], str(gateway), [str(d) for d in dns])
    (_replace_ip4_config if replace else _update_ip4_config)(str(dev), props)
    return _get(str(dev), DEVICE, 'Ip4Config')


@dbus.service.method(MOCK_IFACE, in_signature='o', out_signature='')
def ClearIp4Config(self, dev):
    dev = str(dev)
    old = str(_get(dev, DEVICE, 'Ip4Config'))
    _set(dev, DEVICE, Ip4Config=dbus.ObjectPath('/'))
    _sync_active_ip4(dev, dbus.ObjectPath('/'))
    if old != '/' and _exists(old):
        _remove_object(old)


@dbus.service.method(MOCK_IFACE, in_signature='ossuyuuuuu', out_signature='o')
def AddAccessPoint(self, dev, ssid, bssid, frequency, strength, flags, wpa_flags, rsn_flags, mode, max_bitrate):
    return _add_access_point(str(dev), str(ssid), str(bssid), frequency, strength, flags, wpa_flags, rsn_flags,
                             mode, max_bitrate)


@dbus.service.method(MOCK_IFACE, in_signature='oo', out_signature='')
def RemoveAccessPoint(self, dev, ap):
    _remove_access_point(str(dev), str(ap))


@dbus.service.method(MOCK_IFACE, in_signature='oy', out_signature='')
def SetAccessPointStrength(self, ap, strength):
    _set(str(ap), ACCESS_POINT, Strength=dbus.Byte(strength))


@dbus.service.method(MOCK_IFACE, in_signature='a{sa{sv}}b', out_signature='o')
def AddConnectionProfile(self, settings, unsaved):
    return _add_connection(_judged(None, settings), unsaved)


@dbus.service.method(MOCK_IFACE, in_signature='uu', out_signature='')
def SetGlobalState(self, state, connectivity):
    _set_global_state(int(state))
    if int(_get(NM_PATH, NM, 'Connectivity')) != connectivity:
        _set(NM_PATH, NM, Connectivity=dbus.UInt32(connectivity))


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='')
def SetHostname(self, hostname):
    _set(SETTINGS_PATH, SETTINGS, Hostname=dbus.String(hostname))


@dbus.service.method(MOCK_IFACE, in_signature='o', out_signature='')
def SetPrimaryConnection(self, ac):
    _set_primary(str(ac))


@dbus.service.method(MOCK_IFACE, in_signature='b', out_signature='')
def SetWirelessHardwareEnabled(self, enabled):
    _set(NM_PATH, NM, WirelessHardwareEnabled=dbus.Boolean(enabled))


@dbus.service.method(MOCK_IFACE, in_signature='sss', out_signature='')
def FailNext(self, method, error_name, message):
    '''Make the next call of a method ('Name' or 'Interface.Name') fail with the given D-Bus error.'''
    S.failures.setdefault(str(method), []).append((str(error_name), str(message)))


@dbus.service.method(MOCK_IFACE, in_signature='u', out_signature='')
def FailNextActivation(self, reason):
    '''Let the next activation start, then fail on the way (device Failed, active connection Deactivated).'''
    S.activation_failure = int(reason)


@dbus.service.method(MOCK_IFACE, in_signature='obss', out_signature='')
def FailSecrets(self, conn, failing, error_name, message):
    if failing:
        S.secret_failures[str(conn)] = (str(error_name) or ERR_NO_SECRETS,
                                        str(message) or 'No agents were available for this request.')
    else:
        S.secret_failures.pop(str(conn), None)


@dbus.service.method(MOCK_IFACE, in_signature='u', out_signature='')
def SetStepDelay(self, milliseconds):
    '''Time between two states of an activation or deactivation.'''
    S.step_ms = int(milliseconds)


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='a(sssav)')
def GetAllCalls(self):
    '''Every call of a simulated NetworkManager method, in order: (path, interface, method, args).'''
    return dbus.Array([dbus.Struct((p, i, m, dbus.Array(a, signature='v')), signature='sssav')
                       for p, i, m, a in S.calls], signature='(sssav)')


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='')
def ClearAllCalls(self):
    S.calls.clear()


@dbus.service.method(MOCK_IFACE, in_signature='b', out_signature='')
def SetRunning(self, running):
    '''Release or take back the bus name, as a stopping and restarting daemon does.'''
    if running:
        self.connection.request_name(BUS_NAME, dbus.bus.NAME_FLAG_DO_NOT_QUEUE)
        # A starting daemon exports its objects anew; clients that saw it go wait for these signals.
        for path in sorted(dbusmock.get_objects(), key=lambda p: p != NM_PATH):
            if str(path) != MAIN_OBJ:
                self.object_manager_emit_added(str(path))
    else:
        self.connection.release_name(BUS_NAME)


# --- a method that hangs, as in a stalled daemon: its calls are held unanswered until the hang ends ---------------

_HELD = {}  # hanging method ('Name' or 'Interface.Name') -> answers of its held calls
_lookup = dbus.service._method_lookup  # pylint: disable=protected-access


def _holding_lookup(obj, name, interface):
    method, parent = _lookup(obj, name, interface)
    held = _HELD.get(f'{interface}.{name}', _HELD.get(str(name)))
    if held is None:
        return method, parent

    def hold(self, *args, reply, error, **keywords):
        held.append(lambda: _answer(method, parent, self, args, keywords, reply, error))
    hold.__dict__.update(parent.__dict__)
    hold._dbus_async_callbacks = ('reply', 'error')  # pylint: disable=protected-access
    return hold, hold


def _answer(method, parent, obj, args, keywords, reply, error):
    try:
        ret = method(obj, *args, **keywords)
    except dbus.exceptions.DBusException as e:
        error(e)
        return
    out = len(tuple(dbus.Signature(parent._dbus_out_signature or '')))  # pylint: disable=protected-access
    reply(*(ret if out > 1 else (ret,) * out))


dbus.service._method_lookup = _holding_lookup  # pylint: disable=protected-access


@dbus.service.method(MOCK_IFACE, in_signature='sb', out_signature='')
def Hang(self, method, hanging):
    '''While hanging, calls of a method ('Name' or 'Interface.Name') get no answer; the end answers them.'''
    if hanging:
        _HELD.setdefault(str(method), [])
        return
    for answer in _HELD.pop(str(method), []):
        answer()
