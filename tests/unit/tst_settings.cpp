#include "CorvexEngine.h"
#include "CorvexTypes.h"

#include <QTemporaryDir>
#include <QtTest>

using Corvex::Config;
using Corvex::Engine;
using NetworkManager::ConnectionSettings;

Q_DECLARE_METATYPE(Config::Ethernet)
Q_DECLARE_METATYPE(Config::Modem)

namespace
{

const Config::Ipv4Config automatic { "auto", "", "", "", "", "" };
const Config::Ethernet office { "Office", false, "eth1",
    { "manual", "10.0.0.5", "255.255.255.0", "", "9.9.9.9", "1.1.1.1" }, 1400, "AUTO" };
const Config::Modem cellular { "Broadband", true, "user", "", "internet", "26201", "1234", automatic, 0 };

void row(const char *name, ConnectionSettings::ConnectionType type, const char *security, const QString &expected,
    const Config::Ethernet &ethernet = office, const Config::Modem &modem = cellular)
{
    QTest::newRow(name) << int(type) << ethernet << modem << QString(security) << expected;
}

} // namespace

class TestSettings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { m_config.reset(new Config(m_dir.filePath(QStringLiteral("corvex.ini")), nullptr)); }

    void profile_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<Config::Ethernet>("ethernet");
        QTest::addColumn<Config::Modem>("modem");
        QTest::addColumn<QString>("apSecurity");
        QTest::addColumn<QString>("expected");
        const QString open
            = "connection/id=Gäste 802-11-wireless/ssid=Gäste 802-11-wireless-security=- ipv6/method=ignore";
        row("wired for one port", ConnectionSettings::Wired, "",
            "connection/id=Office connection/autoconnect=false connection/interface-name=eth1 "
            "802-3-ethernet/mtu=1400 ipv6/method=auto ipv4/method=manual ipv4/gateway=-");
        row("wired base, mtu and ipv6 untouched", ConnectionSettings::Wired, "",
            "connection/interface-name=- 802-3-ethernet=- ipv6=-", { "Ethernet", true, "", automatic, -1, "dhcp" });
        row("wired, no record", ConnectionSettings::Wired, "", "ipv4=- 802-3-ethernet=-",
            { "Other", true, "eth2", automatic, 1400, "" });
        row("wifi of unknown security", ConnectionSettings::Wireless, "unknown", open);
        row("gsm with pin", ConnectionSettings::Gsm, "",
            "connection/id=Broadband gsm/apn=internet gsm/number=*99# gsm/network-id=26201 gsm/pin=1234 "
            "gsm/pin-flags=0 gsm/password-flags=4");
    }

    // A new profile for eth1 gets the table's values ("-": left out, "+": sent), and NetworkManager's copy of
    // it reads as unchanged.
    void profile()
    {
        QFETCH(int, type);
        QFETCH(Config::Ethernet, ethernet);
        QFETCH(Config::Modem, modem);
        QFETCH(QString, apSecurity);
        QFETCH(QString, expected);
        const Config::Wifi wifi { "", true, "Gäste", "secret", automatic };
        m_config->setEthernet(ethernet);
        m_config->setModem(modem);
        const auto settings = ConnectionSettings::Ptr::create(ConnectionSettings::ConnectionType(type));
        const bool written = Engine::updateConnectionSettings(settings, *m_config, "eth1", apSecurity, &wifi);
        const NMVariantMapMap map = settings->toMap();
        QCOMPARE(written, map.contains("ipv4"));
        for (const QString &entry : expected.split(' ')) {
            const QStringList path = entry.section('=', 0, 0).split('/');
            const QVariant value = path.size() == 1 ? QVariant(map.contains(path[0]) ? "+" : "-")
                                                    : map[path[0]].value(path[1], QStringLiteral("-"));
            QCOMPARE(entry.section('=', 0, 0) + '=' + value.toString(), entry);
        }
        QVERIFY(!Engine::updateConnectionSettings(
            ConnectionSettings::Ptr::create(map), *m_config, "eth1", apSecurity, &wifi));
    }

private:
    QTemporaryDir m_dir;
    QScopedPointer<Config> m_config;
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
