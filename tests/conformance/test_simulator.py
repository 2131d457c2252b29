#!/usr/bin/python3
"""What the simulated NetworkManager does beyond what the real daemon can show here (it has
no Wifi or modem hardware in its namespace): access points, Wifi and modem devices, the test
controls, and the daemon going away and coming back."""

from __future__ import annotations

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))

import dbus  # noqa: E402

from testbed.bus import PrivateBus  # noqa: E402
from testbed.nm import NetworkManagerSim  # noqa: E402

NM = "org.freedesktop.NetworkManager"
NM_PATH = "/org/freedesktop/NetworkManager"
DEVICE = NM + ".Device"
WIRELESS = DEVICE + ".Wireless"
WIRED = DEVICE + ".Wired"
ACTIVE = NM + ".Connection.Active"
NO_OBJECT = dbus.ObjectPath("/")
NO_OPTIONS = dbus.Dictionary({}, signature="sv")
PSK = {"connection": {"id": "home", "type": "802-11-wireless", "uuid": "5f0e2c1a-0000-4000-8000-000000000001"},
       "802-11-wireless": {"ssid": b"home", "mode": "infrastructure"},
       "802-11-wireless-security": {"key-mgmt": "wpa-psk", "psk": "secret123"}}


class SimulatorTest(unittest.TestCase):
    bus: PrivateBus
    sim: NetworkManagerSim

    @classmethod
    def setUpClass(cls) -> None:
        cls.bus = PrivateBus().start()
        cls.sim = NetworkManagerSim(cls.bus.address, step_ms=1)
        try:
            cls.sim.start()
        except BaseException:
            cls.bus.stop()
            raise
        cls.client = dbus.bus.BusConnection(cls.bus.address)

    @classmethod
    def tearDownClass(cls) -> None:
        cls.client.close()
        cls.sim.close()
        cls.bus.stop()

    def call(self, path: str, iface: str, method: str, *args):
        return getattr(dbus.Interface(self.client.get_object(NM, path, introspect=False), iface), method)(*args)

    def manager(self, method: str, *args):
        return self.call(NM_PATH, NM, method, *args)

    def error_of(self, call) -> str:
        with self.assertRaises(dbus.DBusException) as raised:
            call()
        return raised.exception.get_dbus_name()

    def test_access_points_carry_their_security_flags(self) -> None:
        wifi = self.sim.add_wifi("wlan1", "02:00:00:00:01:01")
        cases = [("none", 2412, (0, 0, 0)), ("wep", 2437, (1, 0, 0)), ("wpa1", 2462, (1, 0x144, 0)),
                 ("wpa2", 5180, (1, 0, 0x188)), ("wpa1-wpa2", 5200, (1, 0x144, 0x188))]
        for security, frequency, flags in cases:
            with self.subTest(security=security):
                ap = self.sim.add_access_point(wifi, f"net-{security}", "02:00:00:00:02:01", frequency, 55, security)
                got = [self.sim.get(ap, NM + ".AccessPoint", name) for name in
                       ("Flags", "WpaFlags", "RsnFlags", "Ssid", "Frequency", "Strength")]
                self.assertEqual(got, [*flags, f"net-{security}".encode(), frequency, 55])
        listed = self.call(wifi, WIRELESS, "GetAllAccessPoints")
        self.assertEqual(len(listed), len(cases))
        self.sim.remove_access_point(wifi, str(listed[0]))
        self.assertNotIn(listed[0], self.call(wifi, WIRELESS, "GetAccessPoints"))

    def test_wifi_activation_follows_the_access_point_and_the_radio_switch(self) -> None:
        wifi = self.sim.add_wifi("wlan2", "02:00:00:00:01:02")
        ap = self.sim.add_access_point(wifi, "home", "02:00:00:00:02:02")
        profile = self.sim.add_connection(PSK)
        active = self.manager("ActivateConnection", dbus.ObjectPath(profile), dbus.ObjectPath(wifi), NO_OBJECT)
        self.sim.wait_for(lambda: self.sim.device_state(wifi) == 100)
        self.assertEqual(self.sim.get(wifi, WIRELESS, "ActiveAccessPoint"), ap)
        self.assertEqual(self.sim.get(active, ACTIVE, "SpecificObject"), ap)
        self.assertIn(active, self.sim.get(NM_PATH, NM, "ActiveConnections"))
        self.call(NM_PATH, dbus.PROPERTIES_IFACE, "Set", NM, "WirelessEnabled", dbus.Boolean(False, variant_level=1))
        self.assertEqual(self.sim.device_state(wifi), 20)
        self.assertNotIn(active, self.sim.get(NM_PATH, NM, "ActiveConnections"))
        self.assertEqual(self.error_of(lambda: self.call(wifi, WIRELESS, "RequestScan", NO_OPTIONS)),
                         NM + ".Device.NotAllowed")
        self.call(NM_PATH, dbus.PROPERTIES_IFACE, "Set", NM, "WirelessEnabled", dbus.Boolean(True, variant_level=1))
        self.assertEqual(self.sim.device_state(wifi), 30)
        self.call(wifi, WIRELESS, "RequestScan", NO_OPTIONS)

    def test_injected_failures_hit_the_named_call_once(self) -> None:
        dev = self.sim.add_ethernet("eth5", "02:00:00:00:01:05")
        profile = self.sim.add_connection({"connection": {"id": "wired5", "type": "802-3-ethernet",
                                                          "uuid": "5f0e2c1a-0000-4000-8000-000000000005"}})
        wifi_profile = self.sim.add_connection(dict(PSK, connection=dict(PSK["connection"], id="psk5",
                                                    uuid="5f0e2c1a-0000-4000-8000-000000000006")))
        cases = [
            ("ActivateConnection", lambda: self.manager("ActivateConnection", dbus.ObjectPath(profile),
                                                        dbus.ObjectPath(dev), NO_OBJECT)),
            (NM + ".Settings.Connection.Update", lambda: self.call(
                profile, NM + ".Settings.Connection", "Update",
                self.call(profile, NM + ".Settings.Connection", "GetSettings"))),
        ]
        for method, call in cases:
            with self.subTest(method=method):
                self.sim.fail_next(method, "org.example.Failed", "boom")
                self.assertEqual(self.error_of(call), "org.example.Failed")
                call()  # only the next call fails
        self.sim.wait_for(lambda: self.sim.device_state(dev) == 100)
        self.sim.fail_secrets(wifi_profile)
        secrets = lambda: self.call(wifi_profile, NM + ".Settings.Connection", "GetSecrets",  # noqa: E731
                                    "802-11-wireless-security")
        self.assertEqual(self.error_of(secrets), NM + ".AgentManager.NoSecrets")
        self.sim.fail_secrets(wifi_profile, False)
        self.assertEqual(secrets()["802-11-wireless-security"]["psk"], "secret123")
        self.assertTrue(self.sim.calls("ActivateConnection"))

    def test_failed_activation_ends_deactivated(self) -> None:
        dev = self.sim.add_ethernet("eth6", "02:00:00:00:01:06")
        profile = self.sim.add_connection({"connection": {"id": "wired6", "type": "802-3-ethernet",
                                                          "uuid": "5f0e2c1a-0000-4000-8000-000000000007"}})
        self.sim.fail_next_activation()
        active = self.manager("ActivateConnection", dbus.ObjectPath(profile), dbus.ObjectPath(dev), NO_OBJECT)
        self.sim.wait_for(lambda: active not in self.sim.get(NM_PATH, NM, "ActiveConnections"))
        self.assertEqual(self.sim.device_state(dev), 30)
        self.assertEqual(self.sim.get(dev, DEVICE, "StateReason"), [30, 5])  # 5: configuration failed

    def test_cable_and_ipv4_configuration(self) -> None:
        dev = self.sim.add_ethernet("eth7", "02:00:00:00:01:07", carrier=False)
        self.assertEqual(self.sim.device_state(dev), 20)
        self.sim.set_carrier(dev, True)
        self.assertEqual((self.sim.device_state(dev), self.sim.get(dev, WIRED, "Carrier")), (30, True))
        before = self.sim.get(dev, DEVICE, "Ip4Config")
        same = self.sim.set_ip4_config(dev, [("192.168.1.10", 24)], "192.168.1.1", ["192.168.1.1"])
        replaced = self.sim.set_ip4_config(dev, [("10.0.0.5", 8)], "10.0.0.1", ["9.9.9.9"], replace=True)
        self.assertEqual(same, before)
        self.assertNotEqual(replaced, before)
        config = NM + ".IP4Config"
        self.assertEqual([self.sim.get(replaced, config, n) for n in ("AddressData", "Gateway", "NameserverData")],
                         [[{"address": "10.0.0.5", "prefix": 8}], "10.0.0.1", [{"address": "9.9.9.9"}]])
        self.sim.clear_ip4_config(dev)
        self.assertEqual(self.sim.get(dev, DEVICE, "Ip4Config"), "/")
        self.sim.set_managed(dev, False)
        self.assertEqual((self.sim.device_state(dev), self.sim.get(dev, DEVICE, "Managed")), (10, False))

    def test_modem_device_points_at_its_modem(self) -> None:
        udi = "/org/freedesktop/ModemManager1/Modem/3"
        dev = self.sim.add_modem("cdc-wdm3", udi, ip_iface="wwan3", operator_code="26201")
        self.assertEqual([self.sim.get(dev, DEVICE, n) for n in ("Udi", "Interface", "DeviceType")],
                         [udi, "cdc-wdm3", 8])
        self.assertEqual(self.sim.get(dev, DEVICE + ".Modem", "OperatorCode"), "26201")
        self.sim.remove_device(dev)
        self.assertNotIn(dev, self.manager("GetAllDevices"))

    def test_daemon_goes_away_and_comes_back_with_its_state(self) -> None:
        dev = self.sim.add_ethernet("eth8", "02:00:00:00:01:08")
        self.sim.stop_service()
        self.assertFalse(self.client.name_has_owner(NM))
        self.assertEqual(self.error_of(lambda: self.manager("GetDevices")), "org.freedesktop.DBus.Error.ServiceUnknown")
        self.sim.start_service()
        self.assertIn(dev, self.manager("GetDevices"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
