#include "CorvexEngine.h"
#include "CorvexTypes.h"

#include <QTemporaryDir>
#include <QtTest>

using Corvex::Config;
using Corvex::Engine;
using NetworkManager::ConnectionSettings;
using NetworkManager::Ipv4Setting;

Q_DECLARE_METATYPE(Config::Ipv4Config)
Q_DECLARE_METATYPE(Config::Ethernet)
Q_DECLARE_METATYPE(Config::Wifi)
Q_DECLARE_METATYPE(Config::Modem)

namespace
{

// "group/key" -> the value in the map sent to NetworkManager (invalid: left out); "group" -> whether it is sent.
using Expected = QVariantMap;

Config::Ipv4Config ipv4(const char *method, const char *address = "", const char *gateway = "", const char *dns0 = "",
    const char *dns1 = "")
{
    return { method, address, *address ? "255.255.255.0" : "", gateway, dns0, dns1 };
}

QString describe(const Ipv4Setting &setting)
{
    QStringList parts { Corvex::ipv4SettingMethodToString(setting.method()) };
    for (const NetworkManager::IpAddress &address : setting.addresses())
        parts << address.ip().toString() + "/" + address.netmask().toString() + " via " + address.gateway().toString();
    for (const QHostAddress &dns : setting.dns())
        parts << "dns " + dns.toString();
    if (!setting.gateway().isEmpty())
        parts << "gateway " + setting.gateway();
    return parts.join(", ");
}

} // namespace

class TestSettings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { m_config.reset(new Config(m_dir.filePath(QStringLiteral("corvex.ini")), nullptr)); }

    void ipv4Rules_data()
    {
        QTest::addColumn<Config::Ipv4Config>("from");
        QTest::addColumn<Config::Ipv4Config>("to");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<bool>("changed");
        const auto office = ipv4("manual", "10.0.0.5", "10.0.0.1", "9.9.9.9");
        const QString officeText = "manual, 10.0.0.5/255.255.255.0 via 10.0.0.1, dns 9.9.9.9, gateway 10.0.0.1";
        QTest::newRow("link-local to auto") << ipv4("") << ipv4("auto") << "auto" << true;
        QTest::newRow("auto kept") << ipv4("auto") << ipv4("auto") << "auto" << false;
        QTest::newRow("manual to auto") << office << ipv4("auto") << "auto, dns 9.9.9.9" << true;
        QTest::newRow("auto to manual") << ipv4("auto") << office << officeText << true;
        QTest::newRow("manual kept") << office << office << officeText << false;
        QTest::newRow("dns1 added") << office << ipv4("manual", "10.0.0.5", "10.0.0.1", "9.9.9.9", "1.1.1.1")
                                    << QString(officeText).replace("9.9.9.9", "9.9.9.9, dns 1.1.1.1") << true;
        QTest::newRow("dns order") << ipv4("manual", "10.0.0.5", "", "1.1.1.1", "9.9.9.9")
                                   << ipv4("manual", "10.0.0.5", "", "9.9.9.9", "1.1.1.1")
                                   << "manual, 10.0.0.5/255.255.255.0 via 0.0.0.0, dns 9.9.9.9, dns 1.1.1.1" << true;
        QTest::newRow("gateway moved") << office << ipv4("manual", "10.0.0.5", "10.0.0.2", "9.9.9.9")
                                       << QString(officeText).replace("10.0.0.1", "10.0.0.2") << true;
        QTest::newRow("manual to shared")
            << office << ipv4("shared", "10.42.0.1") << "shared, 10.42.0.1/255.255.255.0 via " << true;
        QTest::newRow("manual to disabled") << office << ipv4("disabled") << "link-local" << true;
        QTest::newRow("Auto is not auto") << ipv4("auto") << ipv4("Auto") << "link-local" << true;
        QTest::newRow("link-local kept") << ipv4("") << ipv4("disabled") << "link-local" << false;
    }

    // Starts from the profile NetworkManager holds after `from`, then applies `to`, twice.
    void ipv4Rules()
    {
        QFETCH(Config::Ipv4Config, from);
        QFETCH(Config::Ipv4Config, to);
        QFETCH(QString, expected);
        QFETCH(bool, changed);
        const auto first = Ipv4Setting::Ptr::create();
        Engine::updateIpv4Configuration(first, from);
        const auto current = Ipv4Setting::Ptr::create();
        current->fromMap(first->toMap());
        QCOMPARE(Engine::updateIpv4Configuration(current, to), changed);
        QCOMPARE(describe(*current), expected);
        const auto again = Ipv4Setting::Ptr::create();
        again->fromMap(current->toMap());
        QVERIFY(!Engine::updateIpv4Configuration(again, to));
    }

    void profile_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<Config::Ethernet>("ethernet");
        QTest::addColumn<Config::Modem>("modem");
        QTest::addColumn<QString>("apSecurity");
        QTest::addColumn<Expected>("expected");
        using C = ConnectionSettings;
        const Config::Ethernet office { "Office", false, "eth1", ipv4("auto"), 1400, "AUTO" };
        const Config::Modem gsm { "Broadband", true, "user", "", "internet", "26201", "1234", ipv4("auto"), 0 };
        const auto row = [&](const char *name, C::ConnectionType type, const char *security, const Expected &expected,
                             const Config::Ethernet &eth, const Config::Modem &modem) {
            QTest::newRow(name) << int(type) << eth << modem << QString(security) << expected;
        };
        const Expected wpa { { "802-11-wireless-security/key-mgmt", "wpa-psk" },
            { "802-11-wireless-security/psk", "secret" }, { "802-11-wireless/security", "802-11-wireless-security" } };
        const Expected open { { "connection/id", "Gäste" }, { "802-11-wireless/ssid", QString("Gäste").toUtf8() },
            { "802-11-wireless-security", false }, { "ipv6/method", "ignore" } };
        row("wired for one port", C::Wired, "",
            { { "connection/id", "Office" }, { "connection/autoconnect", false },
                { "connection/interface-name", "eth1" }, { "802-3-ethernet/mtu", 1400u }, { "ipv6/method", "auto" } },
            office, gsm);
        row("wired base, mtu and ipv6 untouched", C::Wired, "",
            { { "connection/interface-name", {} }, { "802-3-ethernet", false }, { "ipv6", false } },
            { "Ethernet", true, "", ipv4("auto"), -1, "dhcp" }, gsm);
        row("wired mtu 0, ipv6 Disabled", C::Wired, "", { { "802-3-ethernet", true }, { "ipv6/method", "ignore" } },
            { "Ethernet", true, "", ipv4("auto"), 0, "Disabled" }, gsm);
        row("wired, no record", C::Wired, "", { { "ipv4", false }, { "802-3-ethernet", false } },
            { "Other", true, "eth2", ipv4("auto"), 1400, "" }, gsm);
        row("wifi none", C::Wireless, "none", open, office, gsm);
        row("wifi unknown", C::Wireless, "unknown", open, office, gsm);
        row("wifi wpa1", C::Wireless, "wpa1", wpa, office, gsm);
        row("wifi wpa2", C::Wireless, "wpa2", wpa, office, gsm);
        row("wifi wpa1-wpa2", C::Wireless, "wpa1-wpa2", wpa, office, gsm);
        row("wifi wep", C::Wireless, "wep",
            { { "802-11-wireless-security/key-mgmt", "none" }, { "802-11-wireless-security/wep-key0", "secret" },
                { "802-11-wireless-security/wep-key-type", 2 }, { "802-11-wireless-security/psk", {} } },
            office, gsm);
        row("gsm with pin", C::Gsm, "",
            { { "connection/id", "Broadband" }, { "gsm/apn", "internet" }, { "gsm/number", "*99#" },
                { "gsm/network-id", "26201" }, { "gsm/pin", "1234" }, { "gsm/pin-flags", 0 },
                { "gsm/password-flags", 4 } },
            office, gsm);
        row("gsm without pin", C::Gsm, "", { { "gsm/pin-flags", 4 }, { "gsm/password-flags", 0 } }, office,
            { "Broadband", true, "", "pw", "", "", "", ipv4(""), 0 });
    }

    // A new profile for eth1 gets the table's values, and NetworkManager's copy of it reads as unchanged.
    void profile()
    {
        QFETCH(int, type);
        QFETCH(Config::Ethernet, ethernet);
        QFETCH(Config::Modem, modem);
        QFETCH(QString, apSecurity);
        QFETCH(Expected, expected);
        const Config::Wifi wifi { "", true, "Gäste", "secret", ipv4("auto") };
        m_config->setEthernet(ethernet);
        m_config->setModem(modem);
        const auto settings = ConnectionSettings::Ptr::create(ConnectionSettings::ConnectionType(type));
        const bool written = Engine::updateConnectionSettings(settings, *m_config, "eth1", apSecurity, &wifi);
        const NMVariantMapMap map = settings->toMap();
        QCOMPARE(written, map.contains("ipv4"));
        for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
            const QStringList path = it.key().split('/');
            const QVariant actual = path.size() == 1 ? QVariant(map.contains(path[0])) : map[path[0]].value(path[1]);
            QVERIFY2(actual == it.value(), qPrintable(it.key() + " = " + actual.toString()));
        }
        const auto stored = ConnectionSettings::Ptr::create(map);
        QVERIFY(!Engine::updateConnectionSettings(stored, *m_config, "eth1", apSecurity, &wifi));
    }

private:
    QTemporaryDir m_dir;
    QScopedPointer<Config> m_config;
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
