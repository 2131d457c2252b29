#!/usr/bin/python3
"""What the simulated NetworkManager does beyond what the real daemon can show here (it has no Wifi hardware
in its namespace) and beyond what the probe reads through the bindings: the Wifi switch taking devices down,
and the test controls that make calls fail."""

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
WIRELESS = NM + ".Device.Wireless"
PROFILE = NM + ".Settings.Connection"
NO_OBJECT = dbus.ObjectPath("/")
NO_OPTIONS = dbus.Dictionary({}, signature="sv")


def psk(name: str, number: int) -> dict:
    return {"connection": {"id": name, "type": "802-11-wireless",
                           "uuid": f"5f0e2c1a-0000-4000-8000-00000000000{number}"},
            "802-11-wireless": {"ssid": name.encode(), "mode": "infrastructure"},
            "802-11-wireless-security": {"key-mgmt": "wpa-psk", "psk": "secret123"}}


class SimulatorTest(unittest.TestCase):
    def setUp(self) -> None:
        self.bus = PrivateBus().start()
        self.addCleanup(self.bus.stop)
        self.sim = NetworkManagerSim(self.bus.address, step_ms=1)
        self.sim.start()
        self.addCleanup(self.sim.close)
        self.client = dbus.bus.BusConnection(self.bus.address)
        self.addCleanup(self.client.close)

    def call(self, path: str, iface: str, method: str, *args):
        return getattr(dbus.Interface(self.client.get_object(NM, path, introspect=False), iface), method)(*args)

    def activate(self, profile: str, device: str) -> str:
        return self.call(NM_PATH, NM, "ActivateConnection", dbus.ObjectPath(profile), dbus.ObjectPath(device),
                         NO_OBJECT)

    def error_of(self, call) -> str:
        with self.assertRaises(dbus.DBusException) as raised:
            call()
        return raised.exception.get_dbus_name()

    def switch_radio(self, enabled: bool) -> None:
        self.call(NM_PATH, dbus.PROPERTIES_IFACE, "Set", NM, "WirelessEnabled", dbus.Boolean(enabled, variant_level=1))

    def test_wifi_activation_follows_the_access_point_and_the_radio_switch(self) -> None:
        wifi = self.sim.add_wifi("wlan2", "02:00:00:00:01:02")
        ap = self.sim.add_access_point(wifi, "home", "02:00:00:00:02:02")
        active = self.activate(self.sim.add_connection(psk("home", 1)), wifi)
        self.sim.wait_for(lambda: self.sim.device_state(wifi) == 100)
        self.assertEqual((self.sim.get(wifi, WIRELESS, "ActiveAccessPoint"),
                          self.sim.get(active, NM + ".Connection.Active", "SpecificObject"),
                          active in self.sim.get(NM_PATH, NM, "ActiveConnections")), (ap, ap, True))
        self.switch_radio(False)
        self.assertEqual((self.sim.device_state(wifi), active in self.sim.get(NM_PATH, NM, "ActiveConnections")),
                         (20, False))
        scan = lambda: self.call(wifi, WIRELESS, "RequestScan", NO_OPTIONS)  # noqa: E731
        self.assertEqual(self.error_of(scan), NM + ".Device.NotAllowed")
        self.switch_radio(True)
        self.assertEqual(self.sim.device_state(wifi), 30)
        scan()

    def test_injected_failures_hit_the_named_call_once(self) -> None:
        dev = self.sim.add_ethernet("eth5", "02:00:00:00:01:05")
        profile = self.sim.add_connection({"connection": {"id": "wired5", "type": "802-3-ethernet",
                                                          "uuid": "5f0e2c1a-0000-4000-8000-000000000005"}})
        for method, call in (("ActivateConnection", lambda: self.activate(profile, dev)),
                             (PROFILE + ".Update", lambda: self.call(profile, PROFILE, "Update",
                                                                     self.call(profile, PROFILE, "GetSettings")))):
            with self.subTest(method=method):
                self.sim.fail_next(method, "org.example.Failed", "boom")
                self.assertEqual(self.error_of(call), "org.example.Failed")
                call()  # only the next call fails
        secured = self.sim.add_connection(psk("psk5", 6))
        secrets = lambda: self.call(secured, PROFILE, "GetSecrets", "802-11-wireless-security")  # noqa: E731
        self.sim.fail_secrets(secured)
        self.assertEqual(self.error_of(secrets), NM + ".AgentManager.NoSecrets")
        self.sim.fail_secrets(secured, False)
        self.assertEqual(secrets()["802-11-wireless-security"]["psk"], "secret123")

    def test_failed_activation_ends_deactivated(self) -> None:
        dev = self.sim.add_ethernet("eth6", "02:00:00:00:01:06")
        self.sim.fail_next_activation()
        active = self.activate(self.sim.add_connection({"connection": {
            "id": "wired6", "type": "802-3-ethernet", "uuid": "5f0e2c1a-0000-4000-8000-000000000007"}}), dev)
        self.sim.wait_for(lambda: active not in self.sim.get(NM_PATH, NM, "ActiveConnections"))
        self.assertEqual((self.sim.device_state(dev), self.sim.get(dev, NM + ".Device", "StateReason")),
                         (30, [30, 5]))  # 5: configuration failed


if __name__ == "__main__":
    unittest.main(verbosity=2)
