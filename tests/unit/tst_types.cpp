#include "CorvexTypes.h"
#include "MqttClient.h"

#include <QJsonDocument>
#include <QtTest>

using namespace Corvex;
using AP = NetworkManager::AccessPoint;
using Dev = NetworkManager::Device;

class TestTypes : public QObject
{
    Q_OBJECT

private slots:
    // Published texts are compared by clients letter for letter: the tables' odd entries, gaps and fallbacks, and
    // the decisions behind state, method and security (the common cases show in the integration tier's documents).
    void texts_data()
    {
        QTest::addColumn<QString>("actual");
        QTest::addColumn<QString>("expected");
        using IP = NetworkManager::Ipv4Setting;
        const auto row = [](const char *name, const QString &actual, const char *expected) {
            QTest::newRow(name) << actual << QString::fromLatin1(expected);
        };
        const auto state = [](int nmState) { return deviceStateToString(mapDeviceState(Dev::State(nmState))); };
        const auto method = [](const char *text) {
            return ipv4SettingMethodToString(ipv4SettingMethodFromString(QString::fromLatin1(text)));
        };
        const auto technologies = [](uint bits) -> QString {
            const QFlags<MMModemAccessTechnology> flags { QFlag(int(bits)) };
            return accessTechnologiesToString(flags) + ' '
                + QJsonDocument(accessTechnologiesToJson(flags)).toJson(QJsonDocument::Compact);
        };
        const auto named = [](uint bits) -> QString { // how many names, and the last
            const QJsonArray names = accessTechnologiesToJson(QFlag(int(bits)));
            return QString::number(names.size()) + ' ' + names.last().toString();
        };
        const auto security = [](int capabilities, int wpa, int rsn) {
            return apSecurity(
                AP::Capabilities(QFlag(capabilities)), AP::WpaFlags(QFlag(wpa)), AP::WpaFlags(QFlag(rsn)));
        };
        row("state out of range", deviceStateToString(static_cast<DeviceState>(99)), "unknown");
        row("NeedAuth", state(Dev::NeedAuth), "Connecting");
        row("WaitingForSecondaries", state(Dev::WaitingForSecondaries), "Connecting");
        row("Deactivating", state(Dev::Deactivating), "Disconnecting");
        row("Failed is not Disconnected", state(Dev::Failed), "Unavailable");
        row("unlisted state", state(15), "Unavailable");
        row("type UnknownType misspelt", deviceTypeToString(Dev::UnknownType), "UnkownType");
        row("type Tun missing", deviceTypeToString(Dev::Tun), "unknown");
        row("type Veth after gap", deviceTypeToString(Dev::Veth), "Veth");
        row("type WifiP2P missing", deviceTypeToString(Dev::WifiP2P), "unknown");
        row("connection WireGuard missing", connectionTypeToString(NetworkManager::ConnectionSettings::WireGuard),
            "unknown");
        row("connectivity out of range", connectivityToString(static_cast<NetworkManager::Connectivity>(7)), "unknown");
        row("mqtt gap", mqttErrorToString(static_cast<MqttClient::ClientError>(6)), "unknown");
        row("ssid UTF-8, zero padded", ssidToString(QByteArray("Caf\xc3\xa9\0\0", 7)), "Caf\xe9");
        row("masked members", maskSecrets("{\"key\": \"a\\\"b\", \"pin\":1234, \"pass\": \"\", \"ssid\": \"pin\"}"),
            "{\"key\": \"********\", \"pin\":\"********\", \"pass\": \"\", \"ssid\": \"pin\"}");
        row("masked in invalid JSON", maskSecrets("[\"password\" :\"p\", \"pass\":"),
            "[\"password\" :\"********\", \"pass\":");
        row("reason NowManaged missing", stateChangeReasonToString(Dev::NowManagedReason), "unknown");
        row("reason SimPinIncorrect last", stateChangeReasonToString(Dev::SimPinIncorrect), "SimPinIncorrect");
        row("reason NewActivation missing", stateChangeReasonToString(Dev::NewActivation), "unknown");
        row("method out of range", ipv4SettingMethodToString(static_cast<IP::ConfigMethod>(5)), "unknown");
        row("method manual", method("manual"), "manual");
        row("method case matters", method("Manual"), "auto");
        row("method not trimmed", method(" manual"), "auto");
        row("method empty", method(""), "auto");
        row("security: any wpa bit counts", security(AP::Privacy, AP::GroupWep40, 0), "wpa1");
        row("security: wpa without privacy", security(0, AP::KeyMgmtPsk | AP::PairCcmp, 0), "unknown");
        row("security: rsn without privacy", security(0, 0, AP::KeyMgmtSAE), "unknown");
        row("security: no access point", apSecurity(AP::Ptr()), "unknown");
        row("modem interface unlisted", modemInterfaceToString(QStringLiteral("ModemManager::Modem")), "Unknown");
        row("modem interface empty handle", modemInterfaceToString(ModemManager::Interface::Ptr()), "Unknown");
        row("technologies none", technologies(0), "UNKNOWN [\"UNKNOWN\"]");
        row("technologies: 5G never named", technologies(MM_MODEM_ACCESS_TECHNOLOGY_5GNR), " []");
        row("technologies in order", technologies(MM_MODEM_ACCESS_TECHNOLOGY_LTE | MM_MODEM_ACCESS_TECHNOLOGY_GSM),
            "GSM,LTE [\"GSM\",\"LTE\"]");
        row("technologies: all but the top bit", named(0x7FFFFFFFu), "15 LTE");
        row("technologies: all bits", named(MM_MODEM_ACCESS_TECHNOLOGY_ANY), "16 ANY");
    }

    void texts()
    {
        QFETCH(QString, actual);
        QFETCH(QString, expected);
        QCOMPARE(actual, expected);
    }
};

QTEST_GUILESS_MAIN(TestTypes)

#include "tst_types.moc"
