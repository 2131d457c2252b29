// Reads the simulated NetworkManager and ModemManager of the demo scenario through the real bindings, for what
// the service's own tests do not reach yet. Run it with `python3 -m testbed run -- testbed_probe`: the bindings
// bind to the system bus on first use, so DBUS_SYSTEM_BUS_ADDRESS must name the private bus before it starts.

#include <ModemManagerQt/Manager>
#include <NetworkManagerQt/AccessPoint>
#include <NetworkManagerQt/Manager>
#include <NetworkManagerQt/ModemDevice>
#include <NetworkManagerQt/Settings>
#include <NetworkManagerQt/WirelessDevice>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QSignalSpy>
#include <QTest>

class TestbedProbe : public QObject
{
    Q_OBJECT

private:
    static NetworkManager::Device::Ptr device(NetworkManager::Device::Type type)
    {
        const auto devices = NetworkManager::networkInterfaces();
        for (const auto &d : devices) {
            if (d->type() == type)
                return d;
        }
        return {};
    }

    static NetworkManager::WirelessDevice::Ptr wifi()
    {
        return device(NetworkManager::Device::Wifi).objectCast<NetworkManager::WirelessDevice>();
    }

    static QString profile(const QString &name)
    {
        const auto connections = NetworkManager::listConnections();
        for (const auto &c : connections) {
            if (c->name() == name)
                return c->path();
        }
        return {};
    }

private Q_SLOTS:
    void initTestCase()
    {
        QTRY_COMPARE(NetworkManager::networkInterfaces().size(), 3);
        QTRY_COMPARE(ModemManager::modemDevices().size(), 1);
        QVERIFY(NetworkManager::version().startsWith(QLatin1String("1.42")));
    }

    // Switched off, the radio takes the Wifi devices down and scans are refused; switched on, they come back.
    void wirelessSwitch()
    {
        QVERIFY(NetworkManager::isWirelessEnabled());
        QSignalSpy spy(NetworkManager::notifier(), &NetworkManager::Notifier::wirelessEnabledChanged);
        NetworkManager::setWirelessEnabled(false);
        QVERIFY(spy.wait(3000));
        QCOMPARE(spy.last().at(0).toBool(), false);
        QTRY_COMPARE(wifi()->state(), NetworkManager::Device::Unavailable);
        auto refused = wifi()->requestScan();
        refused.waitForFinished();
        QCOMPARE(refused.error().name(), QStringLiteral("org.freedesktop.NetworkManager.Device.NotAllowed"));
        NetworkManager::setWirelessEnabled(true);
        QTRY_COMPARE(wifi()->state(), NetworkManager::Device::Disconnected);
        auto scan = wifi()->requestScan();
        scan.waitForFinished();
        QVERIFY2(!scan.isError(), qPrintable(scan.error().message()));
    }

    // An injected failure hits the next call only: the activation after it succeeds.
    void failingCall()
    {
        const QString nm = QDBusConnection::systemBus().interface()->serviceOwner("org.freedesktop.NetworkManager");
        QDBusMessage arm = QDBusMessage::createMethodCall(
            nm, QStringLiteral("/org/freedesktop"), QStringLiteral("org.freedesktop.DBus.Mock"), "FailNext");
        arm << QStringLiteral("ActivateConnection")
            << QStringLiteral("org.freedesktop.NetworkManager.UnknownConnection")
            << QStringLiteral("Simulated failure");
        QCOMPARE(QDBusConnection::systemBus().call(arm).type(), QDBusMessage::ReplyMessage);
        auto reply
            = NetworkManager::activateConnection(profile(QStringLiteral("Vorn-Office")), wifi()->uni(), QString());
        reply.waitForFinished();
        QCOMPARE(reply.error().name(), QStringLiteral("org.freedesktop.NetworkManager.UnknownConnection"));
    }

    void activation()
    {
        const auto dev = wifi();
        auto reply = NetworkManager::activateConnection(profile(QStringLiteral("Vorn-Office")), dev->uni(), QString());
        reply.waitForFinished();
        QVERIFY2(!reply.isError(), qPrintable(reply.error().message()));
        QTRY_COMPARE(dev->state(), NetworkManager::Device::Activated);
        QVERIFY(dev->activeAccessPoint());
        QCOMPARE(dev->activeAccessPoint()->ssid(), QStringLiteral("Vorn-Office"));
        auto down = NetworkManager::deactivateConnection(reply.value().path());
        down.waitForFinished();
        QVERIFY2(!down.isError(), qPrintable(down.error().message()));
        QTRY_COMPARE(dev->state(), NetworkManager::Device::Disconnected);
    }

    // The modem's bearer carries the data interface whose counters the statistics read.
    void modemBearer()
    {
        const auto modem = ModemManager::findModemDevice(device(NetworkManager::Device::Modem)->udi());
        QVERIFY(modem);
        QTRY_COMPARE(modem->modemInterface()->listBearers().size(), 1);
        QCOMPARE(modem->modemInterface()->listBearers().first()->interface(), QStringLiteral("wwan0"));
    }
};

QTEST_GUILESS_MAIN(TestbedProbe)
#include "testbed_probe.moc"
