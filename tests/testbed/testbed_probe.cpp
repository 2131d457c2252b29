// Reads the simulated NetworkManager and ModemManager of the demo scenario through the real bindings.
// Run it with `python3 -m testbed run -- testbed_probe`: the bindings bind to the system bus on first
// use, so DBUS_SYSTEM_BUS_ADDRESS must name the private bus before the process starts.

#include <ModemManagerQt/Manager>
#include <ModemManagerQt/Modem3Gpp>
#include <ModemManagerQt/Modem3GppUssd>
#include <ModemManagerQt/ModemCdma>
#include <NetworkManagerQt/AccessPoint>
#include <NetworkManagerQt/ActiveConnection>
#include <NetworkManagerQt/Connection>
#include <NetworkManagerQt/ConnectionSettings>
#include <NetworkManagerQt/GsmSetting>
#include <NetworkManagerQt/Manager>
#include <NetworkManagerQt/ModemDevice>
#include <NetworkManagerQt/Settings>
#include <NetworkManagerQt/WiredDevice>
#include <NetworkManagerQt/WirelessDevice>
#include <NetworkManagerQt/WirelessSetting>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QSignalSpy>
#include <QTest>

namespace
{

const QString nmService = QStringLiteral("org.freedesktop.NetworkManager");
const QString mmService = QStringLiteral("org.freedesktop.ModemManager1");
const QString mockInterface = QStringLiteral("org.freedesktop.DBus.Mock");
constexpr int signalTimeoutMs = 3000;

struct Ip4Address {
    QString address;
    uint prefix = 0;
};

QDBusArgument &operator<<(QDBusArgument &arg, const Ip4Address &a)
{
    arg.beginStructure();
    arg << a.address << a.prefix;
    arg.endStructure();
    return arg;
}

const QDBusArgument &operator>>(const QDBusArgument &arg, Ip4Address &a)
{
    arg.beginStructure();
    arg >> a.address >> a.prefix;
    arg.endStructure();
    return arg;
}

} // namespace

Q_DECLARE_METATYPE(Ip4Address)
Q_DECLARE_METATYPE(QList<Ip4Address>)

// Calls a test-control method of a simulator; fails the test on a D-Bus error.
#define MOCK(reply, service, path, method, ...)                                                                        \
    const QDBusMessage reply = callMock(service, path, QStringLiteral(method), { __VA_ARGS__ });                       \
    QVERIFY2(reply.type() == QDBusMessage::ReplyMessage, qPrintable(reply.errorMessage()))

class TestbedProbe : public QObject
{
    Q_OBJECT

private:
    QString m_nmControl; // unique name: stays reachable while the well-known name is released

    static QDBusMessage callMock(
        const QString &service, const QString &path, const QString &method, const QVariantList &args)
    {
        QDBusMessage call = QDBusMessage::createMethodCall(service, path, mockInterface, method);
        call.setArguments(args);
        return QDBusConnection::systemBus().call(call);
    }

    // By interface name: the binding's findDeviceByIpFace() compares against the udi, which is a sysfs
    // path on a real system, so it never finds a device by its name.
    static NetworkManager::Device::Ptr device(const QString &name)
    {
        const auto devices = NetworkManager::networkInterfaces();
        for (const auto &d : devices) {
            if (d->interfaceName() == name)
                return d;
        }
        return {};
    }

    static NetworkManager::WirelessDevice::Ptr wifi()
    {
        return device(QStringLiteral("wlan0")).objectCast<NetworkManager::WirelessDevice>();
    }

    static NetworkManager::Connection::Ptr profile(const QString &name)
    {
        const auto connections = NetworkManager::listConnections();
        for (const auto &c : connections) {
            if (c->name() == name)
                return c;
        }
        return {};
    }

    static NetworkManager::ModemDevice::Ptr nmModem()
    {
        const auto devices = NetworkManager::networkInterfaces();
        for (const auto &d : devices) {
            if (d->type() == NetworkManager::Device::Modem)
                return d.objectCast<NetworkManager::ModemDevice>();
        }
        return {};
    }

private Q_SLOTS:
    void initTestCase()
    {
        qDBusRegisterMetaType<Ip4Address>();
        qDBusRegisterMetaType<QList<Ip4Address>>();
        qRegisterMetaType<NetworkManager::Device::State>();
        qRegisterMetaType<NetworkManager::Device::StateChangeReason>();
        m_nmControl = QDBusConnection::systemBus().interface()->serviceOwner(nmService);
        QVERIFY(!m_nmControl.isEmpty());
        QTRY_COMPARE(NetworkManager::networkInterfaces().size(), 3);
        QTRY_COMPARE(ModemManager::modemDevices().size(), 1);
    }

    void manager()
    {
        QVERIFY(NetworkManager::version().startsWith(QLatin1String("1.42")));
        QCOMPARE(NetworkManager::status(), NetworkManager::Connected);
        QCOMPARE(NetworkManager::connectivity(), NetworkManager::Full);
        QVERIFY(!NetworkManager::hostname().isEmpty());
        QCOMPARE(NetworkManager::activeConnections().size(), 1);
        const auto primary = NetworkManager::primaryConnection();
        QVERIFY(primary && primary->isValid());
        QCOMPARE(primary->id(), QStringLiteral("Wired connection 1"));
        QCOMPARE(primary->devices(), QStringList { device(QStringLiteral("eth0"))->uni() });
    }

    void wirelessSwitch()
    {
        QVERIFY(NetworkManager::isWirelessEnabled());
        QSignalSpy spy(NetworkManager::notifier(), &NetworkManager::Notifier::wirelessEnabledChanged);
        NetworkManager::setWirelessEnabled(false);
        QVERIFY(spy.wait(signalTimeoutMs));
        QCOMPARE(spy.last().at(0).toBool(), false);
        QVERIFY(!NetworkManager::isWirelessEnabled());
        NetworkManager::setWirelessEnabled(true);
        QTRY_VERIFY(NetworkManager::isWirelessEnabled());
    }

    void ethernet()
    {
        const auto eth = device(QStringLiteral("eth0")).objectCast<NetworkManager::WiredDevice>();
        QVERIFY(eth);
        QCOMPARE(eth->type(), NetworkManager::Device::Ethernet);
        QCOMPARE(eth->interfaceName(), QStringLiteral("eth0"));
        QVERIFY(!eth->udi().isEmpty());
        QVERIFY(eth->managed());
        QCOMPARE(eth->state(), NetworkManager::Device::Activated);
        QCOMPARE(eth->stateReason().state(), NetworkManager::Device::Activated);
        QVERIFY(eth->carrier());
        QCOMPARE(eth->hardwareAddress(), QStringLiteral("00:1A:2B:3C:4D:01"));
        const auto ip = eth->ipV4Config();
        QCOMPARE(ip.addresses().size(), 1);
        QCOMPARE(ip.addresses().first().ip().toString(), QStringLiteral("192.168.10.50"));
        QCOMPARE(ip.addresses().first().prefixLength(), 24);
        QCOMPARE(ip.gateway(), QStringLiteral("192.168.10.1"));
        QCOMPARE(ip.nameservers().size(), 2);
        QCOMPARE(ip.nameservers().at(1).toString(), QStringLiteral("9.9.9.9"));
        QVERIFY(eth->activeConnection());
        QCOMPARE(eth->activeConnection()->connection()->name(), QStringLiteral("Wired connection 1"));
        QCOMPARE(eth->availableConnections().size(), 1);
    }

    void accessPoints_data()
    {
        QTest::addColumn<QString>("bssid");
        QTest::addColumn<uint>("frequency");
        QTest::addColumn<int>("strength");
        QTest::addColumn<bool>("privacy");
        QTest::addColumn<bool>("wpa");
        QTest::addColumn<bool>("rsn");
        QTest::newRow("Vorn-Guest") << "02:00:00:00:01:01" << 2412u << 82 << false << false << false;
        QTest::newRow("Vorn-Office") << "02:00:00:00:01:02" << 5180u << 67 << true << false << true;
        QTest::newRow("Workshop") << "02:00:00:00:01:03" << 2437u << 45 << true << true << true;
        QTest::newRow("OldPrinter") << "02:00:00:00:01:04" << 2462u << 23 << true << false << false;
    }

    void accessPoints()
    {
        QFETCH(QString, bssid);
        QFETCH(uint, frequency);
        QFETCH(int, strength);
        QFETCH(bool, privacy);
        QFETCH(bool, wpa);
        QFETCH(bool, rsn);
        const auto dev = wifi();
        QVERIFY(dev);
        QCOMPARE(dev->hardwareAddress(), QStringLiteral("00:1A:2B:3C:4D:02"));
        QVERIFY(!dev->activeAccessPoint());
        const auto network = dev->findNetwork(QString::fromLatin1(QTest::currentDataTag()));
        QVERIFY(network);
        const auto ap = network->referenceAccessPoint();
        QCOMPARE(ap->rawSsid(), QByteArray(QTest::currentDataTag()));
        QCOMPARE(ap->hardwareAddress(), bssid);
        QCOMPARE(ap->frequency(), frequency);
        QCOMPARE(ap->signalStrength(), strength);
        QVERIFY(ap->maxBitRate() > 0);
        QCOMPARE(ap->mode(), NetworkManager::AccessPoint::Infra);
        QCOMPARE(ap->capabilities().testFlag(NetworkManager::AccessPoint::Privacy), privacy);
        QCOMPARE(ap->wpaFlags().testFlag(NetworkManager::AccessPoint::KeyMgmtPsk), wpa);
        QCOMPARE(ap->rsnFlags().testFlag(NetworkManager::AccessPoint::KeyMgmtPsk), rsn);
    }

    void scanRequest()
    {
        auto reply = wifi()->requestScan();
        reply.waitForFinished();
        QVERIFY2(!reply.isError(), qPrintable(reply.error().message()));
    }

    void profiles()
    {
        QCOMPARE(NetworkManager::listConnections().size(), 4);
        const auto hotspot = profile(QStringLiteral("Vorn-Hotspot"));
        QVERIFY(hotspot);
        const auto ap = hotspot->settings()
                            ->setting(NetworkManager::Setting::Wireless)
                            .staticCast<NetworkManager::WirelessSetting>();
        QCOMPARE(ap->mode(), NetworkManager::WirelessSetting::Ap);
        QCOMPARE(ap->ssid(), QByteArray("Vorn-Hotspot"));
        const auto gsm = profile(QStringLiteral("Broadband"));
        QVERIFY(gsm);
        QCOMPARE(gsm->settings()->connectionType(), NetworkManager::ConnectionSettings::Gsm);
        QCOMPARE(gsm->settings()->setting(NetworkManager::Setting::Gsm).staticCast<NetworkManager::GsmSetting>()->apn(),
            QStringLiteral("internet"));
        QCOMPARE(wifi()->availableConnections().size(), 2);

        auto secrets = profile(QStringLiteral("Vorn-Office"))->secrets(QStringLiteral("802-11-wireless-security"));
        secrets.waitForFinished();
        QVERIFY2(!secrets.isError(), qPrintable(secrets.error().message()));
        QCOMPARE(
            secrets.value().value(QStringLiteral("802-11-wireless-security")).value(QStringLiteral("psk")).toString(),
            QStringLiteral("office-passphrase"));
    }

    void modem()
    {
        const auto dev = nmModem();
        QVERIFY(dev);
        QCOMPARE(dev->interfaceName(), QStringLiteral("cdc-wdm0"));
        const auto modem = ModemManager::findModemDevice(dev->udi());
        QVERIFY(modem);
        const auto main = modem->modemInterface();
        QCOMPARE(main->manufacturer(), QStringLiteral("Quectel"));
        QCOMPARE(main->model(), QStringLiteral("EC25"));
        QVERIFY(!main->revision().isEmpty());
        QVERIFY(!main->deviceIdentifier().isEmpty());
        QCOMPARE(main->signalQuality().signal, 75u);
        QCOMPARE(main->accessTechnologies(), ModemManager::Modem::AccessTechnologies(MM_MODEM_ACCESS_TECHNOLOGY_LTE));
        QVERIFY(main->currentCapabilities().testFlag(MM_MODEM_CAPABILITY_GSM_UMTS));
        QCOMPARE(modem->sim()->imsi(), QStringLiteral("262019876543210"));
        QCOMPARE(modem->sim()->simIdentifier(), QStringLiteral("89490240001122334455"));
        QVERIFY(modem->isGsmModem());
        QVERIFY(!modem->isCdmaModem());
        QVERIFY(modem->hasInterface(ModemManager::ModemDevice::GsmUssdInterface));
        const auto gsm
            = modem->interface(ModemManager::ModemDevice::GsmInterface).objectCast<ModemManager::Modem3gpp>();
        QCOMPARE(gsm->imei(), QStringLiteral("867698041234567"));
        QCOMPARE(gsm->operatorCode(), QStringLiteral("26201"));
        QCOMPARE(gsm->operatorName(), QStringLiteral("Telekom.de"));
        QTRY_COMPARE(main->listBearers().size(), 1);
        QCOMPARE(main->listBearers().first()->interface(), QStringLiteral("wwan0"));
    }

    void modemChanges()
    {
        const QString udi = nmModem()->udi();
        const auto main = ModemManager::findModemDevice(udi)->modemInterface();
        QSignalSpy quality(main.data(), &ModemManager::Modem::signalQualityChanged);
        QSignalSpy technologies(main.data(), &ModemManager::Modem::accessTechnologiesChanged);
        MOCK(q, mmService, "/org/freedesktop/ModemManager1", "SetSignalQuality",
            QVariant::fromValue(QDBusObjectPath(udi)), 40u, true);
        QVERIFY(quality.wait(signalTimeoutMs));
        QCOMPARE(main->signalQuality().signal, 40u);
        const uint umts = MM_MODEM_ACCESS_TECHNOLOGY_UMTS | MM_MODEM_ACCESS_TECHNOLOGY_HSDPA;
        MOCK(t, mmService, "/org/freedesktop/ModemManager1", "SetAccessTechnologies",
            QVariant::fromValue(QDBusObjectPath(udi)), umts);
        QVERIFY(technologies.wait(signalTimeoutMs));
        QCOMPARE(uint(main->accessTechnologies()), umts);
    }

    void cdmaModemComesAndGoes()
    {
        QSignalSpy added(ModemManager::notifier(), &ModemManager::Notifier::modemAdded);
        QSignalSpy removed(ModemManager::notifier(), &ModemManager::Notifier::modemRemoved);
        const QVariantMap cdmaModem { { QStringLiteral("capabilities"), QStringList { QStringLiteral("cdma") } },
            { QStringLiteral("meid"), QStringLiteral("A1000012345678") },
            { QStringLiteral("esn"), QStringLiteral("80123456") } };
        MOCK(reply, mmService, "/org/freedesktop/ModemManager1", "AddModem", cdmaModem);
        const QString path = reply.arguments().at(0).value<QDBusObjectPath>().path();
        QVERIFY(added.wait(signalTimeoutMs));
        QCOMPARE(added.last().at(0).toString(), path);
        const auto modem = ModemManager::findModemDevice(path);
        QVERIFY(modem->isCdmaModem());
        QVERIFY(!modem->isGsmModem());
        // Without a SIM the modem's Sim property is "/"; the binding still hands out a Sim object, an empty one.
        QVERIFY(!modem->sim() || modem->sim()->imsi().isEmpty());
        const auto cdma
            = modem->interface(ModemManager::ModemDevice::CdmaInterface).objectCast<ModemManager::ModemCdma>();
        QCOMPARE(cdma->meid(), QStringLiteral("A1000012345678"));
        QCOMPARE(cdma->esn(), QStringLiteral("80123456"));
        MOCK(gone, mmService, "/org/freedesktop/ModemManager1", "RemoveModem",
            QVariant::fromValue(QDBusObjectPath(path)));
        QTRY_COMPARE(removed.size(), 1);
        QCOMPARE(removed.last().at(0).toString(), path);
    }

    void deviceLifecycle()
    {
        QSignalSpy added(NetworkManager::notifier(), &NetworkManager::Notifier::deviceAdded);
        QSignalSpy removed(NetworkManager::notifier(), &NetworkManager::Notifier::deviceRemoved);
        MOCK(reply, m_nmControl, "/org/freedesktop", "AddEthernetDevice", QStringLiteral("eth1"),
            QStringLiteral("00:1A:2B:3C:4D:09"), false, true, 0u);
        const QString path = reply.arguments().at(0).value<QDBusObjectPath>().path();
        QVERIFY(added.wait(signalTimeoutMs));
        QCOMPARE(added.last().at(0).toString(), path);
        const auto eth = NetworkManager::findNetworkInterface(path).objectCast<NetworkManager::WiredDevice>();
        QVERIFY(eth);
        QVERIFY(!eth->carrier());
        QCOMPARE(eth->state(), NetworkManager::Device::Unavailable);

        QSignalSpy carrier(eth.data(), &NetworkManager::WiredDevice::carrierChanged);
        MOCK(plug, m_nmControl, "/org/freedesktop", "SetCarrier", QVariant::fromValue(QDBusObjectPath(path)), true);
        QVERIFY(carrier.wait(signalTimeoutMs));
        QCOMPARE(carrier.last().at(0).toBool(), true);

        QSignalSpy state(eth.data(), &NetworkManager::Device::stateChanged);
        MOCK(st, m_nmControl, "/org/freedesktop", "SetDeviceState", QVariant::fromValue(QDBusObjectPath(path)), 100u,
            0u);
        QTRY_VERIFY(!state.isEmpty());
        QCOMPARE(state.last().at(0).value<NetworkManager::Device::State>(), NetworkManager::Device::Activated);

        QSignalSpy ip(eth.data(), &NetworkManager::Device::ipV4ConfigChanged);
        const QList<Ip4Address> addresses { { QStringLiteral("10.1.2.3"), 16 } };
        MOCK(cfg, m_nmControl, "/org/freedesktop", "SetIp4Config", QVariant::fromValue(QDBusObjectPath(path)),
            QVariant::fromValue(addresses), QStringLiteral("10.1.0.1"), QStringList { QStringLiteral("10.1.0.53") },
            true);
        QVERIFY(ip.wait(signalTimeoutMs));
        QTRY_COMPARE(eth->ipV4Config().gateway(), QStringLiteral("10.1.0.1"));
        QCOMPARE(eth->ipV4Config().addresses().first().ip().toString(), QStringLiteral("10.1.2.3"));

        MOCK(rm, m_nmControl, "/org/freedesktop", "RemoveDevice", QVariant::fromValue(QDBusObjectPath(path)));
        QVERIFY(removed.wait(signalTimeoutMs));
        QCOMPARE(removed.last().at(0).toString(), path);
    }

    void accessPointLifecycle()
    {
        const auto dev = wifi();
        QSignalSpy appeared(dev.data(), &NetworkManager::WirelessDevice::accessPointAppeared);
        QSignalSpy disappeared(dev.data(), &NetworkManager::WirelessDevice::accessPointDisappeared);
        MOCK(reply, m_nmControl, "/org/freedesktop", "AddAccessPoint", QVariant::fromValue(QDBusObjectPath(dev->uni())),
            QStringLiteral("Pop-Up"), QStringLiteral("02:00:00:00:01:09"), 2412u, QVariant::fromValue(uchar(60)), 0u,
            0u, 0u, 2u, 54000u);
        const QString ap = reply.arguments().at(0).value<QDBusObjectPath>().path();
        QVERIFY(appeared.wait(signalTimeoutMs));
        QCOMPARE(appeared.last().at(0).toString(), ap);
        QVERIFY(dev->findNetwork(QStringLiteral("Pop-Up")));
        MOCK(rm, m_nmControl, "/org/freedesktop", "RemoveAccessPoint", QVariant::fromValue(QDBusObjectPath(dev->uni())),
            QVariant::fromValue(QDBusObjectPath(ap)));
        QVERIFY(disappeared.wait(signalTimeoutMs));
        QCOMPARE(disappeared.last().at(0).toString(), ap);
    }

    void activation()
    {
        const auto dev = wifi();
        QSignalSpy state(dev.data(), &NetworkManager::Device::stateChanged);
        auto reply
            = NetworkManager::activateConnection(profile(QStringLiteral("Vorn-Office"))->path(), dev->uni(), QString());
        reply.waitForFinished();
        QVERIFY2(!reply.isError(), qPrintable(reply.error().message()));
        QTRY_COMPARE(dev->state(), NetworkManager::Device::Activated);
        QVERIFY(state.size() >= 2);
        QVERIFY(dev->activeAccessPoint());
        QCOMPARE(dev->activeAccessPoint()->ssid(), QStringLiteral("Vorn-Office"));

        auto down = NetworkManager::deactivateConnection(reply.value().path());
        down.waitForFinished();
        QVERIFY2(!down.isError(), qPrintable(down.error().message()));
        QTRY_COMPARE(dev->state(), NetworkManager::Device::Disconnected);
    }

    void failingCall()
    {
        MOCK(arm, m_nmControl, "/org/freedesktop", "FailNext", QStringLiteral("ActivateConnection"),
            QStringLiteral("org.freedesktop.NetworkManager.UnknownConnection"), QStringLiteral("Simulated failure"));
        auto reply = NetworkManager::activateConnection(
            profile(QStringLiteral("Vorn-Office"))->path(), wifi()->uni(), QString());
        reply.waitForFinished();
        QVERIFY(reply.isError());
        QCOMPARE(reply.error().name(), QStringLiteral("org.freedesktop.NetworkManager.UnknownConnection"));
    }

    void networkManagerRestart()
    {
        QSignalSpy gone(NetworkManager::notifier(), &NetworkManager::Notifier::serviceDisappeared);
        QSignalSpy back(NetworkManager::notifier(), &NetworkManager::Notifier::serviceAppeared);
        MOCK(stop, m_nmControl, "/org/freedesktop", "SetRunning", false);
        QVERIFY(gone.wait(signalTimeoutMs));
        MOCK(start, m_nmControl, "/org/freedesktop", "SetRunning", true);
        QVERIFY(back.wait(signalTimeoutMs));
        QTRY_COMPARE(NetworkManager::networkInterfaces().size(), 3);
    }
};

QTEST_GUILESS_MAIN(TestbedProbe)
#include "testbed_probe.moc"
