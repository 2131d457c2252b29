'''NetworkManager 1.42's checkpoints for the simulator in networkmanager.py.

A checkpoint remembers, for each of its devices, the profile active on it (with its content and secrets) and
the profiles that exist; a rollback, asked for or at the end of its timeout, puts that profile's content back
(re-adding it when it was deleted), activates it again when anything changed, disconnects a device that had
none, and with DELETE_NEW_CONNECTIONS deletes the profiles added since. Other profiles, and the global radio
switches, stay as they are, as on the daemon (see the conformance test).
'''

import time

import dbus
from gi.repository import GLib

CHECKPOINT = 'org.freedesktop.NetworkManager.Checkpoint'
ERR_INVALID_ARGUMENTS = 'org.freedesktop.NetworkManager.InvalidArguments'
ERR_UNKNOWN_DEVICE = 'org.freedesktop.NetworkManager.UnknownDevice'
DESTROY_ALL, DELETE_NEW_CONNECTIONS, DISCONNECT_NEW_DEVICES, ALLOW_OVERLAPPING = 0x1, 0x2, 0x4, 0x8
ALL_FLAGS = 0x1f

nm = None          # the networkmanager template's globals, as a namespace
checkpoints = {}   # path -> {'devices': {dev: (profile path, settings, secrets) or None}, 'profiles', 'flags', ...}


class _Globals:
    def __init__(self, names):
        self.__dict__ = names


def install(manager, names):
    '''Adds the checkpoint methods to the manager object; names: the template's globals().'''
    global nm
    nm = _Globals(names)
    checkpoints.clear()
    for name, in_sig, out_sig, func in (('CheckpointCreate', 'aouu', 'o', _create),
                                        ('CheckpointDestroy', 'o', '', _destroy_call),
                                        ('CheckpointRollback', 'o', 'a{su}', _rollback_call),
                                        ('CheckpointAdjustRollbackTimeout', 'ou', '', _adjust)):
        nm._add_method(manager, nm.NM, name, in_sig, out_sig, func)


def _error(name, message):
    return dbus.exceptions.DBusException(message, name=name)


def _copy(value):
    '''A deep copy that keeps the D-Bus signatures (copy.deepcopy drops them).'''
    if isinstance(value, dbus.Dictionary):
        return dbus.Dictionary({k: _copy(v) for k, v in value.items()}, signature=value.signature,
                               variant_level=value.variant_level)
    if isinstance(value, dbus.Array):
        return dbus.Array([_copy(v) for v in value], signature=value.signature, variant_level=value.variant_level)
    if isinstance(value, dict):
        return {k: _copy(v) for k, v in value.items()}
    return value


def _now_ms():
    return int(time.clock_gettime(time.CLOCK_BOOTTIME) * 1000)


def _profiles():
    return [str(p) for p in nm._get(nm.SETTINGS_PATH, nm.SETTINGS, 'Connections')]


def _active_profile(dev):
    ac = str(nm._get(dev, nm.DEVICE, 'ActiveConnection'))
    if ac == '/' or not nm._exists(ac):
        return None
    profile = str(nm._get(ac, nm.ACTIVE, 'Connection'))
    return (profile, _copy(nm._settings(profile)), _copy(nm.S.secrets.get(profile, {})))


def _create(self, devices, timeout, flags):
    devices, flags = [str(d) for d in devices], int(flags)
    if flags & ~ALL_FLAGS:
        raise _error(ERR_INVALID_ARGUMENTS, 'Invalid flags')
    if flags & DISCONNECT_NEW_DEVICES and devices:
        raise _error(ERR_INVALID_ARGUMENTS, 'the DISCONNECT_NEW_DEVICES flag can only be used with an empty device list')
    for dev in devices:
        if dev not in nm._devices():
            raise _error(ERR_UNKNOWN_DEVICE, f'device {dev} does not exist')
    devices = devices or nm._devices()
    if flags & DESTROY_ALL:
        for path in list(checkpoints):
            _destroy(path)
    elif not flags & ALLOW_OVERLAPPING:
        for path, cp in checkpoints.items():
            for dev in devices:
                if dev in cp['devices']:
                    iface = nm._get(dev, nm.DEVICE, 'Interface')
                    raise _error(ERR_INVALID_ARGUMENTS, f"device '{iface}' is already included in checkpoint {path}")
    path = nm._next_path('Checkpoint')
    nm._add_object(path, CHECKPOINT, {'Devices': nm._paths(devices), 'Created': dbus.Int64(_now_ms()),
                                      'RollbackTimeout': dbus.UInt32(timeout)})
    checkpoints[str(path)] = {'devices': {dev: _active_profile(dev) for dev in devices}, 'profiles': _profiles(),
                              'flags': flags, 'timer': None}
    _arm(str(path), int(timeout))
    nm._list_add(nm.NM_PATH, nm.NM, 'Checkpoints', path)
    return path


def _arm(path, seconds):
    cp = checkpoints[path]
    if cp['timer']:
        GLib.source_remove(cp['timer'])
    cp['timer'] = GLib.timeout_add(seconds * 1000, lambda: _rollback(path) and False) if seconds else None


def _known(path):
    if str(path) not in checkpoints:
        raise _error(ERR_INVALID_ARGUMENTS, f'checkpoint {path} does not exist')
    return str(path)


def _destroy(path):
    cp = checkpoints.pop(path)
    if cp['timer']:
        GLib.source_remove(cp['timer'])
    nm._list_remove(nm.NM_PATH, nm.NM, 'Checkpoints', path)
    nm._remove_object(path)


def _destroy_call(self, path):
    for known in (list(checkpoints) if str(path) == '/' else [_known(path)]):
        _destroy(known)


def _adjust(self, path, seconds):
    '''The window ends `seconds` from now; RollbackTimeout counts from the creation, 0 for none.'''
    path = _known(path)
    created = int(nm._get(path, CHECKPOINT, 'Created'))
    total = round((_now_ms() - created) / 1000) + int(seconds) if seconds else 0
    nm._set(path, CHECKPOINT, RollbackTimeout=dbus.UInt32(total))
    _arm(path, int(seconds))


def _rollback_call(self, path):
    return _rollback(_known(path))


def _rollback(path):
    '''Newer checkpoints over the same devices go first, as the daemon destroys them.'''
    cp = checkpoints[path]
    newer = list(checkpoints)[list(checkpoints).index(path) + 1:]
    for other in newer:
        if set(checkpoints[other]['devices']) & set(cp['devices']):
            _destroy(other)
    _destroy(path)
    result = {dev: dbus.UInt32(_restore_device(dev, saved)) for dev, saved in cp['devices'].items()
              if dev in nm._devices()}
    if cp['flags'] & DELETE_NEW_CONNECTIONS:
        for profile in _profiles():
            if profile not in cp['profiles']:
                nm._delete_connection(profile)
    return dbus.Dictionary(result, signature='su')


def _restore_device(dev, saved):
    ac = str(nm._get(dev, nm.DEVICE, 'ActiveConnection'))
    if saved is None:
        if ac != '/' and nm._exists(ac):
            nm._deactivate(ac)
        return 0
    profile, settings, secrets = saved
    if profile not in _profiles():
        profile = str(nm._add_connection((_copy(settings), _copy(secrets))))
    elif nm._settings(profile) == settings and ac != '/' and str(nm._get(ac, nm.ACTIVE, 'Connection')) == profile:
        return 0
    nm._obj(profile).settings = _copy(settings)
    nm.S.secrets[profile] = _copy(secrets)
    nm._emit(profile, nm.CONNECTION, 'Updated', '')
    nm._refresh_available_connections()
    try:
        nm._activate(profile, dev, '/')
    except dbus.exceptions.DBusException:
        return 1
    return 0
