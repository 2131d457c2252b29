"""The demo scenario: the devices and saved profiles of a typical unit.

eth0 is cabled and connected by DHCP; wlan0 sees four networks of different security and knows
one of them, plus a hotspot profile; a cellular modem (cdc-wdm0, network interface wwan0) with a
SIM has a saved GSM profile and is not connected.
"""

from __future__ import annotations

from typing import Dict

import dbus

from .nm import ACTIVATED, BUS_NAME, NM_PATH

ETHERNET = {"iface": "eth0", "mac": "00:1A:2B:3C:4D:01", "address": ("192.168.10.50", 24),
            "gateway": "192.168.10.1", "dns": ["192.168.10.1", "9.9.9.9"]}
WIFI = {"iface": "wlan0", "mac": "00:1A:2B:3C:4D:02"}
ACCESS_POINTS = [
    # ssid, bssid, frequency (MHz), strength (%), security, max bit rate (kbit/s)
    ("Vorn-Guest", "02:00:00:00:01:01", 2412, 82, "none", 54000),
    ("Vorn-Office", "02:00:00:00:01:02", 5180, 67, "wpa2", 866700),
    ("Workshop", "02:00:00:00:01:03", 2437, 45, "wpa1-wpa2", 144400),
    ("OldPrinter", "02:00:00:00:01:04", 2462, 23, "wep", 11000),
]
MODEM = {"iface": "wwan0", "port": "cdc-wdm0", "imsi": "262019876543210", "sim_identifier": "89490240001122334455"}
WIFI_PSK = "office-passphrase"
HOTSPOT_PSK = "hotspot-passphrase"

PROFILES = {
    "ethernet": {
        "connection": {"id": "Wired connection 1", "uuid": "8c1d3a4e-1f0b-4b6a-9a7e-0e5a7f1c2d01",
                       "type": "802-3-ethernet", "interface-name": "eth0", "autoconnect": True},
        "802-3-ethernet": {},
        "ipv4": {"method": "auto"},
        "ipv6": {"method": "ignore"},
    },
    "wifi": {
        "connection": {"id": "Vorn-Office", "uuid": "8c1d3a4e-1f0b-4b6a-9a7e-0e5a7f1c2d02",
                       "type": "802-11-wireless", "interface-name": "wlan0", "autoconnect": True},
        "802-11-wireless": {"ssid": b"Vorn-Office", "mode": "infrastructure", "security": "802-11-wireless-security"},
        "802-11-wireless-security": {"key-mgmt": "wpa-psk", "psk": WIFI_PSK},
        "ipv4": {"method": "auto"},
        "ipv6": {"method": "ignore"},
    },
    "hotspot": {
        "connection": {"id": "Vorn-Hotspot", "uuid": "8c1d3a4e-1f0b-4b6a-9a7e-0e5a7f1c2d03",
                       "type": "802-11-wireless", "interface-name": "wlan0", "autoconnect": False},
        "802-11-wireless": {"ssid": b"Vorn-Hotspot", "mode": "ap", "band": "bg", "channel": 6,
                            "security": "802-11-wireless-security"},
        "802-11-wireless-security": {"key-mgmt": "wpa-psk", "psk": HOTSPOT_PSK},
        "ipv4": {"method": "shared"},
        "ipv6": {"method": "ignore"},
    },
    "gsm": {
        "connection": {"id": "Broadband", "uuid": "8c1d3a4e-1f0b-4b6a-9a7e-0e5a7f1c2d04", "type": "gsm",
                       "autoconnect": False},
        "gsm": {"apn": "internet"},
        "ipv4": {"method": "auto"},
        "ipv6": {"method": "ignore"},
    },
}


def load_demo(tb) -> Dict[str, str]:
    """Loads the scenario into a started Testbed; returns object paths by role."""
    nm = tb.nm
    paths = {f"profile_{name}": nm.add_connection(settings) for name, settings in PROFILES.items()}
    paths["eth0"] = nm.add_ethernet(ETHERNET["iface"], ETHERNET["mac"], carrier=True)
    paths["wlan0"] = nm.add_wifi(WIFI["iface"], WIFI["mac"])
    for ssid, bssid, frequency, strength, security, rate in ACCESS_POINTS:
        paths[f"ap_{ssid}"] = nm.add_access_point(paths["wlan0"], ssid, bssid, frequency, strength, security,
                                                  max_bitrate=rate)
    modem = tb.add_modem(MODEM["iface"], MODEM["port"], sim=(MODEM["imsi"], MODEM["sim_identifier"]))
    paths["modem"], paths["cdc-wdm0"] = modem["modem"], modem["device"]
    _connect_ethernet(nm, paths["profile_ethernet"], paths["eth0"])
    return paths


def _connect_ethernet(nm, profile: str, device: str) -> None:
    """Activates the wired profile as the daemon would at boot, then hands out the DHCP lease."""
    manager = dbus.Interface(nm.bus.get_object(BUS_NAME, NM_PATH, introspect=False), BUS_NAME)
    manager.ActivateConnection(dbus.ObjectPath(profile), dbus.ObjectPath(device), dbus.ObjectPath("/"))
    nm.wait_for(lambda: nm.device_state(device) == ACTIVATED)
    nm.set_ip4_config(device, [ETHERNET["address"]], ETHERNET["gateway"], ETHERNET["dns"])
