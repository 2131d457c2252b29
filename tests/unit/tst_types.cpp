#include "CorvexTypes.h"
#include "MqttClient.h"

#include <QtTest>

using namespace Corvex;
using AP = NetworkManager::AccessPoint;
using Dev = NetworkManager::Device;

namespace
{

void textRow(const char *name, const QString &actual, const char *expected)
{
    QTest::newRow(name) << actual << QString::fromLatin1(expected);
}

QFlags<MMModemAccessTechnology> technologies(uint bits) { return QFlags<MMModemAccessTechnology>(QFlag(bits)); }

} // namespace

class TestTypes : public QObject
{
    Q_OBJECT

private slots:
    // Published texts are compared by clients letter for letter; each table's odd entries and fallback.
    void texts_data()
    {
        QTest::addColumn<QString>("actual");
        QTest::addColumn<QString>("expected");

        textRow("state out of range", deviceStateToString(static_cast<DeviceState>(99)), "unknown");

        textRow("type UnknownType misspelt", deviceTypeToString(Dev::UnknownType), "UnkownType");
        textRow("type Tun missing", deviceTypeToString(Dev::Tun), "unknown");
        textRow("type Veth after gap", deviceTypeToString(Dev::Veth), "Veth");
        textRow("type WifiP2P missing", deviceTypeToString(Dev::WifiP2P), "unknown");

        using CS = NetworkManager::ConnectionSettings;
        textRow("connection Unknown", connectionTypeToString(CS::Unknown), "Unknown");
        textRow("connection OLPCMesh", connectionTypeToString(CS::OLPCMesh), "OLPCMesh");
        textRow("connection Tun missing", connectionTypeToString(CS::Tun), "unknown");
        textRow("connection WireGuard missing", connectionTypeToString(CS::WireGuard), "unknown");

        textRow(
            "connectivity Unknown", connectivityToString(NetworkManager::UnknownConnectivity), "UnknownConnectivity");
        textRow(
            "connectivity out of range", connectivityToString(static_cast<NetworkManager::Connectivity>(7)), "unknown");

        textRow("mqtt UnknownError", mqttErrorToString(MqttClient::UnknownError), "UnknownError");
        textRow("mqtt gap", mqttErrorToString(static_cast<MqttClient::ClientError>(6)), "unknown");

        textRow("ssid UTF-8, zero padded", ssidToString(QByteArray("Caf\xc3\xa9\0\0", 7)), "Caf\xe9");
        textRow("masked members", maskSecrets("{\"key\": \"a\\\"b\", \"pin\":1234, \"pass\": \"\", \"ssid\": \"pin\"}"),
            "{\"key\": \"********\", \"pin\":\"********\", \"pass\": \"\", \"ssid\": \"pin\"}");
        textRow("masked in invalid JSON", maskSecrets("[\"password\" :\"p\", \"pass\":"),
            "[\"password\" :\"********\", \"pass\":");

        textRow("reason NowManaged missing", stateChangeReasonToString(Dev::NowManagedReason), "unknown");
        textRow("reason NowUnmanaged", stateChangeReasonToString(Dev::NowUnmanagedReason), "NowUnmanagedReason");
        textRow("reason SimPinIncorrect", stateChangeReasonToString(Dev::SimPinIncorrect), "SimPinIncorrect");
        textRow("reason NewActivation missing", stateChangeReasonToString(Dev::NewActivation), "unknown");
        textRow("reason Reserved missing", stateChangeReasonToString(Dev::Reserved), "unknown");

        using IP = NetworkManager::Ipv4Setting;
        textRow("method Disabled", ipv4SettingMethodToString(IP::Disabled), "disabled");
        textRow("method out of range", ipv4SettingMethodToString(static_cast<IP::ConfigMethod>(5)), "unknown");

        textRow("ap mode Unknown", apModeToString(AP::Unknown), "unknown");
        textRow("ap capabilities none", apCapabilitiesTostring(AP::None), "none");
        textRow("ap security no access point", apSecurity(AP::Ptr()), "unknown");

        textRow(
            "modem interface Modem", modemInterfaceToString(QStringLiteral("ModemDevice::ModemInterface")), "Modem");
        textRow("modem interface unlisted", modemInterfaceToString(QStringLiteral("ModemManager::Modem")), "Unknown");
        textRow("modem interface empty handle", modemInterfaceToString(ModemManager::Interface::Ptr()), "Unknown");
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

        QTest::newRow("Disconnected") << int(Dev::Disconnected) << int(Disconnected);
        QTest::newRow("NeedAuth") << int(Dev::NeedAuth) << int(Connecting);
        QTest::newRow("WaitingForSecondaries") << int(Dev::WaitingForSecondaries) << int(Connecting);
        QTest::newRow("Activated") << int(Dev::Activated) << int(Connected);
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

        QTest::newRow("auto") << QStringLiteral("auto") << int(IP::Automatic);
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
        QTest::newRow("ascending key order")
            << uint(MM_MODEM_ACCESS_TECHNOLOGY_LTE | MM_MODEM_ACCESS_TECHNOLOGY_UMTS) << QStringList { "UMTS", "LTE" };
        QTest::newRow("5G is never named") << uint(MM_MODEM_ACCESS_TECHNOLOGY_5GNR) << QStringList();
        QTest::newRow("all but the top bit") << 0x7FFFFFFFu << named;
        QTest::newRow("all bits") << uint(MM_MODEM_ACCESS_TECHNOLOGY_ANY) << named + QStringList { "ANY" };
    }

    void accessTechnologies()
    {
        QFETCH(uint, bits);
        QFETCH(QStringList, expected);
        QCOMPARE(accessTechnologiesToString(technologies(bits)), expected.join(QLatin1Char(',')));
        QCOMPARE(accessTechnologiesToJson(technologies(bits)), QJsonArray::fromStringList(expected));
    }

    // The plain cases (open, WEP, WPA1, WPA2, mixed) show in the published access-point documents.
    void apSecurityDecision_data()
    {
        QTest::addColumn<int>("capabilities");
        QTest::addColumn<int>("wpa");
        QTest::addColumn<int>("rsn");
        QTest::addColumn<QString>("expected");

        const int privacy = AP::Privacy;
        const int psk = AP::KeyMgmtPsk | AP::PairCcmp;
        QTest::newRow("any wpa bit counts") << privacy << int(AP::GroupWep40) << 0 << QStringLiteral("wpa1");
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
