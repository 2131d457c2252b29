#include "CorvexTypes.h"

#include <QtTest>

using namespace Corvex;
using AP = NetworkManager::AccessPoint;
using Dev = NetworkManager::Device;

class TestTypes : public QObject
{
    Q_OBJECT

private slots:
    // Published texts are compared by clients letter for letter: the tables' odd entries, gaps and fallbacks
    // (the common entries show in the documents of the integration tier).
    void texts_data()
    {
        QTest::addColumn<QString>("actual");
        QTest::addColumn<QString>("expected");
        using CS = NetworkManager::ConnectionSettings;
        using IP = NetworkManager::Ipv4Setting;
        const auto row = [](const char *name, const QString &actual, const char *expected) {
            QTest::newRow(name) << actual << QString::fromLatin1(expected);
        };
        row("state out of range", deviceStateToString(static_cast<DeviceState>(99)), "unknown");
        row("type UnknownType misspelt", deviceTypeToString(Dev::UnknownType), "UnkownType");
        row("type Tun missing", deviceTypeToString(Dev::Tun), "unknown");
        row("type Veth after gap", deviceTypeToString(Dev::Veth), "Veth");
        row("type WifiP2P missing", deviceTypeToString(Dev::WifiP2P), "unknown");
        row("connection WireGuard missing", connectionTypeToString(CS::WireGuard), "unknown");
        row("connectivity out of range", connectivityToString(static_cast<NetworkManager::Connectivity>(7)), "unknown");
        row("mqtt gap", mqttErrorToString(static_cast<MqttClient::ClientError>(6)), "unknown");
        row("reason NowManaged missing", stateChangeReasonToString(Dev::NowManagedReason), "unknown");
        row("reason SimPinIncorrect last", stateChangeReasonToString(Dev::SimPinIncorrect), "SimPinIncorrect");
        row("reason NewActivation missing", stateChangeReasonToString(Dev::NewActivation), "unknown");
        row("method out of range", ipv4SettingMethodToString(static_cast<IP::ConfigMethod>(5)), "unknown");
        row("ap security no access point", apSecurity(AP::Ptr()), "unknown");
        row("modem interface unlisted", modemInterfaceToString(QStringLiteral("ModemManager::Modem")), "Unknown");
        row("modem interface empty handle", modemInterfaceToString(ModemManager::Interface::Ptr()), "Unknown");
    }

    void texts()
    {
        QFETCH(QString, actual);
        QFETCH(QString, expected);
        QCOMPARE(actual, expected);
    }

    void deviceStates_data()
    {
        QTest::addColumn<int>("state");
        QTest::addColumn<int>("expected");
        QTest::newRow("NeedAuth") << int(Dev::NeedAuth) << int(Connecting);
        QTest::newRow("WaitingForSecondaries") << int(Dev::WaitingForSecondaries) << int(Connecting);
        QTest::newRow("Deactivating") << int(Dev::Deactivating) << int(Disconnecting);
        QTest::newRow("Failed is not Disconnected") << int(Dev::Failed) << int(Unavailable);
        QTest::newRow("unlisted number") << 15 << int(Unavailable);
    }

    void deviceStates()
    {
        QFETCH(int, state);
        QFETCH(int, expected);
        QCOMPARE(int(mapDeviceState(static_cast<Dev::State>(state))), expected);
    }

    void methodFromString_data()
    {
        using IP = NetworkManager::Ipv4Setting;
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("expected");
        QTest::newRow("manual") << QStringLiteral("manual") << int(IP::Manual);
        QTest::newRow("case matters") << QStringLiteral("Manual") << int(IP::Automatic);
        QTest::newRow("no trimming") << QStringLiteral(" manual") << int(IP::Automatic);
        QTest::newRow("empty") << QString() << int(IP::Automatic);
    }

    void methodFromString()
    {
        QFETCH(QString, text);
        QFETCH(int, expected);
        QCOMPARE(int(ipv4SettingMethodFromString(text)), expected);
    }

    void accessTechnologies_data()
    {
        QTest::addColumn<uint>("bits");
        QTest::addColumn<QStringList>("expected");
        const QStringList named { "POTS", "GSM", "GSM_COMPACT", "GPRS", "EDGE", "UMTS", "HSDPA", "HSUPA", "HSPA",
            "HSPA_PLUS", "1XRTT", "EVDO0", "EVDOA", "EVDOB", "LTE" };
        QTest::newRow("none is UNKNOWN") << 0u << QStringList { "UNKNOWN" };
        QTest::newRow("5G is never named") << uint(MM_MODEM_ACCESS_TECHNOLOGY_5GNR) << QStringList();
        QTest::newRow("all but the top bit") << 0x7FFFFFFFu << named;
        QTest::newRow("all bits") << uint(MM_MODEM_ACCESS_TECHNOLOGY_ANY) << named + QStringList { "ANY" };
    }

    void accessTechnologies()
    {
        QFETCH(uint, bits);
        QFETCH(QStringList, expected);
        const QFlags<MMModemAccessTechnology> technologies { QFlag(int(bits)) };
        QCOMPARE(accessTechnologiesToString(technologies), expected.join(QLatin1Char(',')));
        QCOMPARE(accessTechnologiesToJson(technologies), QJsonArray::fromStringList(expected));
    }

    // The plain cases (open, WEP, WPA1, WPA2, mixed) show in the published access-point documents.
    void apSecurityDecision_data()
    {
        QTest::addColumn<int>("capabilities");
        QTest::addColumn<int>("wpa");
        QTest::addColumn<int>("rsn");
        QTest::addColumn<QString>("expected");
        const int psk = AP::KeyMgmtPsk | AP::PairCcmp;
        QTest::newRow("any wpa bit counts") << int(AP::Privacy) << int(AP::GroupWep40) << 0 << QStringLiteral("wpa1");
        QTest::newRow("wpa without privacy") << 0 << psk << 0 << QStringLiteral("unknown");
        QTest::newRow("rsn without privacy") << 0 << 0 << int(AP::KeyMgmtSAE) << QStringLiteral("unknown");
    }

    void apSecurityDecision()
    {
        QFETCH(int, capabilities);
        QFETCH(int, wpa);
        QFETCH(int, rsn);
        QFETCH(QString, expected);
        QCOMPARE(apSecurity(AP::Capabilities(QFlag(capabilities)), AP::WpaFlags(QFlag(wpa)), AP::WpaFlags(QFlag(rsn))),
            expected);
    }
};

QTEST_GUILESS_MAIN(TestTypes)

#include "tst_types.moc"
