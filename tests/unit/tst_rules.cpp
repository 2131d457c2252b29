// The service's rules as pure functions: published texts, the settings of new profiles, the data usage.
#include "CorvexEngine.h"
#include "CorvexIPC.h"
#include "CorvexTypes.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace Corvex;
using AP = NetworkManager::AccessPoint;
using Dev = NetworkManager::Device;
using NetworkManager::ConnectionSettings;
using Counts = QList<quint64>;
using Type = ConnectionSettings::ConnectionType;

// Changes one member of the records a profile was written from.
using Change = std::function<void(Config::Ethernet &, Config::Wifi &, Config::Modem &)>;
Q_DECLARE_METATYPE(Config::Ethernet)
Q_DECLARE_METATYPE(Change)

static const Config::Ipv4Config automatic { "auto", "", "", "", "", "" };
static const Config::Ethernet office { "Office", false, "eth1",
    { "manual", "10.0.0.5", "255.255.255.0", "", "9.9.9.9", "1.1.1.1" }, 1400, "AUTO" };
static const Config::Modem cellular { "Broadband", true, "user", "", "internet", "26201", "1234", automatic, 0 };

static void profileRow(const char *name, Type type, const char *security, const QString &expected,
    const Config::Ethernet &ethernet = office, const Change &change = {})
{
    QTest::newRow(name) << int(type) << ethernet << QString(security) << expected << change;
}

class TestRules : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { m_config.reset(new Config(m_dir.filePath(QStringLiteral("corvex.ini")), nullptr)); }

    // Published texts are compared by clients letter for letter: the tables' odd entries, gaps and fallbacks (the
    // common cases show in the integration tier's documents); then reconnect waits, data usage, the months that expire.
    void results_data()
    {
        QTest::addColumn<QString>("actual");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char *name, const QString &actual, const char *expected) {
            QTest::newRow(name) << actual << QString::fromLatin1(expected);
        };
        const auto state = [](int nmState) { return deviceStateToString(mapDeviceState(Dev::State(nmState))); };
        const auto technologies = [](uint bits) -> QString { // the names, and how many the array holds
            const QFlags<MMModemAccessTechnology> flags { QFlag(int(bits)) };
            return accessTechnologiesToString(flags) + ' ' + QString::number(accessTechnologiesToJson(flags).size());
        };
        // Snapshot rx, tx (0, 0: none), counters rx, tx (rx ~0: the read failed), month rx, tx: the month after and
        // the megabytes published.
        const auto usage = [](const Counts &c) {
            Engine::ModemStats snapshot, read;
            std::tie(snapshot.rxBytes, snapshot.txBytes, read.rxBytes, read.txBytes) = std::tie(c[0], c[1], c[2], c[3]);
            const auto counters = read.rxBytes == ~0ull ? std::nullopt : std::make_optional(read);
            const ModemUsage month
                = addModemUsage(snapshot, counters, { c[4], c[5] }).value_or(ModemUsage { c[4], c[5] });
            return QString::asprintf("%llu %llu %g %g", month.rxBytes, month.txBytes, roundToCents(month.rxBytes / 1e6),
                roundToCents(month.txBytes / 1e6));
        };
        const QStringList months { "2025-12", "2026-05", "2026-06", "2026-07", "2026-12", "2026-13", "x" };
        const quint64 g4 = 4294967295u;
        const auto security = [](int capabilities, int wpa, int rsn) {
            return apSecurity(
                AP::Capabilities(QFlag(capabilities)), AP::WpaFlags(QFlag(wpa)), AP::WpaFlags(QFlag(rsn)));
        };
        // Gaps, values a newer daemon may send and security bits without privacy: each table's fallback.
        const QStringList fallbacks { deviceTypeToString(Dev::Tun),
            connectivityToString(static_cast<NetworkManager::Connectivity>(7)),
            stateChangeReasonToString(Dev::NowManagedReason), security(0, AP::KeyMgmtPsk | AP::PairCcmp, 0),
            security(0, 0, AP::KeyMgmtSAE), apSecurity(AP::Ptr()) };
        QString waits; // the shortest and longest reconnect wait in s: attempts 1, 5 to 10, a runaway count
        for (int n : { 1, 5, 6, 7, 8, 9, 10, 99999 })
            waits += QString::asprintf("%g-%g ", IPC::reconnectDelayMs(n, 0) / 1e3, IPC::reconnectDelayMs(n, 1) / 1e3);
        QTest::newRow("fallbacks") << fallbacks.join(' ')
                                   << QStringLiteral("unknown ").repeated(fallbacks.size()).trimmed();
        row("reconnect waits", waits, "2.4-3.6 2.4-3.6 4.8-7.2 9.6-14.4 19.2-28.8 38.4-57.6 48-72 48-72 ");
        row("states: Failed is not Disconnected",
            QStringList({ state(Dev::NeedAuth), state(Dev::Deactivating), state(Dev::Failed), state(15) }).join(' '),
            "Connecting Disconnecting Unavailable Unavailable");
        row("type UnknownType misspelt", deviceTypeToString(Dev::UnknownType), "UnkownType");
        row("ssid UTF-8, zero padded", ssidToString(QByteArray("Caf\xc3\xa9\0\0", 7)), "Caf\xe9");
        row("masked members", maskSecrets("{\"key\": \"a\\\"b\", \"pin\":1234, \"pass\": \"\", \"ssid\": \"pin\"}"),
            "{\"key\": \"********\", \"pin\":\"********\", \"pass\": \"\", \"ssid\": \"pin\"}");
        row("masked in invalid JSON", maskSecrets("[\"password\" :\"p\", \"pass\":"),
            "[\"password\" :\"********\", \"pass\":");
        row("security: any wpa bit counts", security(AP::Privacy, AP::GroupWep40, 0), "wpa1");
        row("technologies none", technologies(0), "UNKNOWN 1");
        row("technologies: 5G never named", technologies(MM_MODEM_ACCESS_TECHNOLOGY_5GNR), " 0");
        row("technologies in order", technologies(MM_MODEM_ACCESS_TECHNOLOGY_LTE | MM_MODEM_ACCESS_TECHNOLOGY_GSM),
            "GSM,LTE 2");
        row("usage: new month", usage({ 1000, 500, 3000, 600, 0, 0 }), "2000 100 0 0");
        row("usage: reset", usage({ 5000, 900, 1200, 300, 9000, 9000 }), "10200 9300 0.01 0.01");
        row("usage: unreadable, as it was", usage({ 1000, 500, ~0ull, 600, 7, 8 }), "7 8 0 0");
        row("usage: counters past 4 GB", usage({ g4 + 1, 10, g4 + 1001, 5000000010, 0, 0 }), "1000 5000000000 0 5000");
        row("usage: 0.125 up, 0.124 down", usage({ 0, 0, 125000, 124000, 0, 0 }), "125000 124000 0.13 0.12");
        // Groups that are not months never expire.
        row("expired on 5 Dec", expiredModemMonths(months, { { 2026, 12, 5 }, { 9, 30 } }).join(' '),
            "2025-12 2026-05 2026-06");
        row("expired on 1 Dec 00:00", expiredModemMonths(months, { { 2026, 12, 1 }, { 0, 0 } }).join(' '),
            "2025-12 2026-05");
    }

    void results()
    {
        QFETCH(QString, actual);
        QTEST(actual, "expected");
    }

    void profile_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<Config::Ethernet>("ethernet");
        QTest::addColumn<QString>("apSecurity");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<Change>("change");
        const QString open
            = "connection/id=Gäste 802-11-wireless/ssid=Gäste 802-11-wireless-security=- ipv6/method=ignore";
        profileRow("wired for one port", ConnectionSettings::Wired, "",
            "connection/id=Office connection/autoconnect=false connection/interface-name=eth1 "
            "802-3-ethernet/mtu=1400 ipv6/method=auto ipv4/method=manual ipv4/gateway=-");
        profileRow("wired base, mtu and ipv6 untouched", ConnectionSettings::Wired, "",
            "connection/interface-name=- 802-3-ethernet=- ipv6=-", { "Ethernet", true, "", automatic, -1, "dhcp" });
        profileRow("wired, no record", ConnectionSettings::Wired, "", "ipv4=- 802-3-ethernet=-",
            { "Other", true, "eth2", automatic, 1400, "" });
        profileRow("wifi of unknown security", ConnectionSettings::Wireless, "unknown", open);
        profileRow("wifi wpa2", ConnectionSettings::Wireless, "wpa2", "802-11-wireless-security/psk=secret");
        profileRow("shared without address: none written", ConnectionSettings::Wired, "", "ipv4/address-data=-",
            { "Office", true, "eth1", { "shared", "", "", "", "", "" }, -1, "" });
        profileRow("gsm with pin", ConnectionSettings::Gsm, "",
            "connection/id=Broadband gsm/apn=internet gsm/number=*99# gsm/network-id=26201 gsm/pin=1234 "
            "gsm/pin-flags=0 gsm/password-flags=4");
        // Each member changed alone over a profile written from the records: the profile is rewritten with it.
        const auto changed = [](const char *name, Type type, const char *expected, const Change &change) {
            profileRow(name, type, "wpa2", expected, office, change);
        };
        changed("dns", Type::Wired, "ipv4=+", [](auto &e, auto &, auto &) { e.ipv4.dns1 = "8.8.8.8"; });
        changed("gateway", Type::Wired, "ipv4/gateway=10.0.0.1",
            [](auto &e, auto &, auto &) { e.ipv4.gateway = "10.0.0.1"; });
        changed("netmask", Type::Wired, "ipv4=+", [](auto &e, auto &, auto &) { e.ipv4.netmask = "255.255.0.0"; });
        changed("mtu", Type::Wired, "802-3-ethernet/mtu=1500", [](auto &e, auto &, auto &) { e.mtu = 1500; });
        changed("ipv6", Type::Wired, "ipv6/method=ignore", [](auto &e, auto &, auto &) { e.ipv6 = "disabled"; });
        changed("apn", Type::Gsm, "gsm/apn=web", [](auto &, auto &, auto &m) { m.apn = "web"; });
        changed("user", Type::Gsm, "gsm/username=admin", [](auto &, auto &, auto &m) { m.username = "admin"; });
        changed("password", Type::Gsm, "gsm/password=pass", [](auto &, auto &, auto &m) { m.password = "pass"; });
        changed("network", Type::Gsm, "gsm/network-id=26202", [](auto &, auto &, auto &m) { m.network_id = "26202"; });
        changed("wifi key", Type::Wireless, "802-11-wireless-security/psk=other",
            [](auto &, auto &w, auto &) { w.key = "other"; });
    }

    // A new profile for eth1 gets the table's values ("-": left out, "+": sent); NetworkManager's copy reads as
    // unchanged, also without a key an agent keeps and, under auto, with an address and gateway of its own.
    void profile()
    {
        QFETCH(int, type);
        QFETCH(Config::Ethernet, ethernet);
        QFETCH(QString, apSecurity);
        QFETCH(QString, expected);
        QFETCH(Change, change);
        Config::Wifi wifi { "", true, "Gäste", "secret", automatic };
        Config::Modem modem = cellular;
        const auto write = [&](const ConnectionSettings::Ptr &profile) {
            m_config->setEthernet(ethernet);
            m_config->setModem(modem);
            return Engine::updateConnectionSettings(profile, *m_config, "eth1", apSecurity, &wifi);
        };
        const auto settings = ConnectionSettings::Ptr::create(Type(type));
        if (change) {
            write(settings);
            change(ethernet, wifi, modem);
        }
        const bool written = write(settings);
        const NMVariantMapMap map = settings->toMap();
        QCOMPARE(written, map.contains("ipv4"));
        for (const QString &entry : expected.split(' ')) {
            const QStringList path = entry.section('=', 0, 0).split('/');
            const QVariant value = path.size() == 1 ? QVariant(map.contains(path[0]) ? "+" : "-")
                                                    : map[path[0]].value(path[1], QStringLiteral("-"));
            QCOMPARE(entry.section('=', 0, 0) + '=' + value.toString(), entry);
        }
        NMVariantMapMap kept = map;
        kept["802-11-wireless-security"].insert({ { "psk-flags", 1 }, { "psk", "" } });
        if (kept["ipv4"].value("method") == "auto")
            kept["ipv4"].insert({ { "gateway", "10.1.1.1" },
                { "addresses", QVariant::fromValue(QList<QList<uint>> { { 0x0501010a, 24, 0x0101010a } }) } });
        for (const NMVariantMapMap &copy : { map, kept })
            QVERIFY(!write(ConnectionSettings::Ptr::create(copy)));
    }

private:
    QTemporaryDir m_dir;
    QScopedPointer<Config> m_config;
};

QTEST_GUILESS_MAIN(TestRules)
#include "tst_rules.moc"
