#!/usr/bin/python3
"""What the simulated NetworkManager does beyond what the real daemon can show here (it has
no Wifi hardware in its namespace) and what the probe does not read through the bindings: the
Wifi switch taking devices down, and the test controls that make calls fail."""

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


if __name__ == "__main__":
    unittest.main(verbosity=2)
