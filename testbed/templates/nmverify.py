'''The daemon's own judgement of a profile for the simulated NetworkManager.

libnm (the library NetworkManager 1.42 itself checks profiles with) reads, normalises and verifies each settings map,
so a refusal carries the daemon's error name and text and the stored profile reads back as the daemon's would.  With
CORVEX_NM_RECORD naming a folder, every judged map is appended there with its verdict, for the conformance test to
replay into the real daemon.
'''

import glob
import ipaddress
import json
import os

import dbus
import gi

gi.require_version('NM', '1.0')
from gi.repository import GLib, NM  # noqa: E402

CONNECTION_ERROR = 'org.freedesktop.NetworkManager.Settings.Connection.'
_TYPES = {dbus.Boolean: 'b', dbus.Byte: 'y', dbus.Int16: 'n', dbus.UInt16: 'q', dbus.Int32: 'i', dbus.UInt32: 'u',
          dbus.Int64: 'x', dbus.UInt64: 't', dbus.Double: 'd', dbus.String: 's', dbus.ObjectPath: 'o',
          dbus.Signature: 'g', dbus.ByteArray: 'ay', bool: 'b', int: 'i', float: 'd', str: 's', bytes: 'ay'}
_NUMBERS = set('bynqiuxt')  # the daemon converts these into one another


class Refused(Exception):
    def __init__(self, name, message):
        super().__init__(message)
        self.name, self.message = name, message


def _signature(value):
    if isinstance(value, dbus.Dictionary):
        return 'a{' + (value.signature or 'sv') + '}'
    if isinstance(value, (dbus.Array, list)):
        return 'a' + (getattr(value, 'signature', None) or (_signature(value[0]) if value else 's'))
    if isinstance(value, dict):
        return 'a{sv}'
    return next(sig for kind, sig in _TYPES.items() if isinstance(value, kind))


def _plain(value, vtype):
    '''A D-Bus value as PyGObject builds a GLib.Variant of type vtype from it.'''
    if vtype.is_variant():
        return to_variant(value)
    if vtype.is_dict_entry():
        return _plain(value, vtype.key()), _plain(value, vtype.value())
    if vtype.dup_string() == 'ay':
        return bytes(int(b) for b in value)
    if vtype.is_array():
        if vtype.element().is_dict_entry():
            return {_plain(k, vtype.element().key()): _plain(v, vtype.element().value()) for k, v in value.items()}
        return [_plain(v, vtype.element()) for v in value]
    if vtype.is_tuple():
        types, item = [], vtype.first()
        while item:
            types.append(item)
            item = item.next()
        return tuple(_plain(v, t) for v, t in zip(value, types))
    return {'b': bool, 'd': float, 's': str, 'o': str, 'g': str}.get(vtype.dup_string(), int)(value)


def to_variant(value, signature=None):
    signature = signature or _signature(value)
    return GLib.Variant(signature, _plain(value, GLib.VariantType.new(signature)))


def from_variant(variant, level=0):
    '''A GLib.Variant as the value dbus-python would have received.'''
    vtype = variant.get_type_string()
    if vtype == 'v':
        return from_variant(variant.get_variant(), level + 1)
    if vtype.startswith('a{'):
        return dbus.Dictionary({from_variant(variant.get_child_value(i).get_child_value(0)):
                                from_variant(variant.get_child_value(i).get_child_value(1))
                                for i in range(variant.n_children())}, signature=vtype[2:-1], variant_level=level)
    if vtype.startswith('a'):
        return dbus.Array([from_variant(variant.get_child_value(i)) for i in range(variant.n_children())],
                          signature=vtype[1:], variant_level=level)
    if vtype.startswith('('):
        return dbus.Struct([from_variant(variant.get_child_value(i)) for i in range(variant.n_children())],
                           variant_level=level)
    kind = next(k for k, sig in _TYPES.items() if sig == vtype and k.__module__ != 'builtins')
    return kind(variant.unpack(), variant_level=level)


def _check_known(connection, variant):
    '''The daemon reads a profile strictly: a property libnm does not know, or one of another type, is refused.'''
    for group, values in variant.unpack().items():
        setting = connection.get_setting_by_name(group)
        for key in values if setting else ():
            expected = NM.Setting.get_dbus_property_type(setting, key)
            given = variant.lookup_value(group, None).lookup_value(key, None)
            if not expected:
                raise Refused(CONNECTION_ERROR + 'InvalidProperty', f'{group}.{key}: unknown property')
            if not given.is_of_type(expected) and not {expected.dup_string(), given.get_type_string()} <= _NUMBERS:
                raise Refused(CONNECTION_ERROR + 'InvalidProperty', f"{group}.{key}: failed to set property: {group}."
                              f"{key}: can't set property of type '{expected.dup_string()}' from value of type "
                              f"'{given.get_type_string()}'")


def _u32(address):
    return dbus.UInt32(int.from_bytes(ipaddress.IPv4Address(str(address)).packed, 'little'))


def _ay(address):
    return dbus.Array([dbus.Byte(b) for b in ipaddress.IPv6Address(str(address)).packed], signature='y')


def _with_legacy_forms(settings):
    '''The daemon's GetSettings also carries the deprecated forms of addresses, routes and DNS servers.'''
    if 'ipv4' in settings:
        ip4, gateway = settings['ipv4'], settings['ipv4'].get('gateway', '0.0.0.0')
        ip4['addresses'] = dbus.Array([dbus.Array([_u32(a['address']), dbus.UInt32(a['prefix']), _u32(
            gateway if not i else '0.0.0.0')], signature='u') for i, a in enumerate(ip4['address-data'])], 'au')
        ip4['routes'] = dbus.Array([dbus.Array([_u32(r['dest']), dbus.UInt32(r['prefix']), _u32(
            r.get('next-hop', '0.0.0.0')), dbus.UInt32(r.get('metric', 0))], 'u') for r in ip4['route-data']], 'au')
        if 'dns-data' in ip4:
            ip4['dns'] = dbus.Array([_u32(d) for d in ip4['dns-data']], signature='u')
    if 'ipv6' in settings:
        ip6, gateway = settings['ipv6'], settings['ipv6'].get('gateway', '::')
        ip6['addresses'] = dbus.Array([(_ay(a['address']), dbus.UInt32(a['prefix']), _ay(gateway if not i else '::'))
                                       for i, a in enumerate(ip6['address-data'])], signature='(ayuay)')
        ip6['routes'] = dbus.Array([(_ay(r['dest']), dbus.UInt32(r['prefix']), _ay(r.get('next-hop', '::')),
                                     dbus.UInt32(r.get('metric', 0))) for r in ip6['route-data']], '(ayuayu)')
    return settings


def normalized(settings):
    '''(the profile as the daemon stores it without secrets, its secrets), or Refused with the daemon's error.'''
    variant = to_variant(settings, 'a{sa{sv}}')
    try:
        connection = NM.SimpleConnection.new_from_dbus(variant)
        _check_known(connection, variant)
        connection.normalize()
        connection.verify_secrets()
    except GLib.Error as e:
        code = NM.ConnectionError(e.code).value_nick if e.domain == 'nm-connection-error-quark' else 'Failed'
        raise Refused(CONNECTION_ERROR + code, e.message) from None
    flags = NM.ConnectionSerializationFlags
    return (_with_legacy_forms(from_variant(connection.to_dbus(flags.NO_SECRETS))),
            from_variant(connection.to_dbus(flags.ONLY_SECRETS)))


def recorded_maps(folder):
    '''What record() wrote to folder: (settings, verdict) pairs.'''
    for name in sorted(glob.glob(os.path.join(folder, '*.jsonl'))):
        with open(name, encoding='utf-8') as f:
            for entry in map(json.loads, f):
                settings = GLib.Variant.parse(GLib.VariantType('a{sa{sv}}'), entry['settings'])
                yield from_variant(settings), entry['verdict']


def record(method, settings, verdict):
    '''Appends a judged map (in GVariant text) and its verdict ("accepted" or the error name) to this process's file.'''
    folder = os.environ.get('CORVEX_NM_RECORD')
    if folder:
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, f'{os.getpid()}.jsonl'), 'a', encoding='utf-8') as f:
            f.write(json.dumps({'method': method, 'settings': to_variant(settings, 'a{sa{sv}}').print_(True),
                                'verdict': verdict}) + '\n')
