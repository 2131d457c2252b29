// Switches the radio of the demo scenario's simulated NetworkManager through the real binding: the service's own
// tests see only the switch being set, not what follows on the device. Run it with `python3 -m testbed run --
// testbed_probe`: the binding binds to the system bus on first use, so that must name the private bus first.
#include <NetworkManagerQt/Manager>
#include <NetworkManagerQt/WirelessDevice>

#include <QTest>

class TestbedProbe : public QObject
{
    Q_OBJECT

    NetworkManager::WirelessDevice::Ptr m_wifi;

private Q_SLOTS:
    void initTestCase()
    {
        QTRY_COMPARE(NetworkManager::networkInterfaces().size(), 3);
        QVERIFY(NetworkManager::version().startsWith(QLatin1String("1.42")));
        for (const auto &device : NetworkManager::networkInterfaces())
            m_wifi = m_wifi ? m_wifi : device.objectCast<NetworkManager::WirelessDevice>();
        QVERIFY(m_wifi);
    }

    // Off takes the Wifi device down and refuses scans; on brings both back. Rows run in order.
    void wirelessSwitch_data()
    {
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("scanError");
        QTest::newRow("off") << false << int(NetworkManager::Device::Unavailable)
                             << "org.freedesktop.NetworkManager.Device.NotAllowed";
        QTest::newRow("on") << true << int(NetworkManager::Device::Disconnected) << QString();
    }

    void wirelessSwitch()
    {
        QFETCH(bool, enabled);
        QFETCH(int, state);
        NetworkManager::setWirelessEnabled(enabled);
        QTRY_COMPARE(NetworkManager::isWirelessEnabled(), enabled);
        QTRY_COMPARE(int(m_wifi->state()), state);
        auto scan = m_wifi->requestScan();
        scan.waitForFinished();
        QTEST(scan.error().name(), "scanError");
    }
};

QTEST_GUILESS_MAIN(TestbedProbe)
#include "testbed_probe.moc"
