#include "CorvexConfig.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QtTest>

#include <unistd.h>

#include <cstdio>

using Corvex::Config;

namespace
{

// Config logs through syslog's standard-error copy; this redirects descriptor 2 for the life of the object.
class StderrCapture
{
public:
    StderrCapture()
    {
        m_file.open();
        std::fflush(stderr);
        m_saved = ::dup(STDERR_FILENO);
        ::dup2(m_file.handle(), STDERR_FILENO);
    }

    ~StderrCapture() { restore(); }

    QString text()
    {
        restore();
        m_file.seek(0);
        return QString::fromLocal8Bit(m_file.readAll());
    }

private:
    void restore()
    {
        if (m_saved < 0)
            return;
        std::fflush(stderr);
        ::dup2(m_saved, STDERR_FILENO);
        ::close(m_saved);
        m_saved = -1;
    }

    QTemporaryFile m_file;
    int m_saved = -1;
};

void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

} // namespace

class TestConfig : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_path;
    int m_case = 0;

    // An empty `ini` means no file at all, so the service writes its default file first.
    void start(const QByteArray &ini)
    {
        if (!ini.isEmpty())
            writeFile(m_path, ini);
    }

private slots:
    void initTestCase()
    {
        Log::open("corvex", true, false);
        Log::setLevel(Log::Warning);
    }

    void init()
    {
        QVERIFY(m_dir.isValid());
        // A fresh name per case: QSettings caches parsed files by path.
        m_path = m_dir.filePath(QStringLiteral("case%1.conf").arg(++m_case));
    }

    void conversions_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char *tag, const char *ini, const char *name, const char *expected) {
            QTest::newRow(tag) << QByteArray(ini) << QString::fromLatin1(name) << QString::fromLatin1(expected);
        };
        row("missing usageSec", "\n", "modem.usageSec", "120");
        row("no Ethernet group: built-in mtu", "\n", "eth.mtu", "-1");
        row("port low 16 bits", "[Mqtt]\nport=70000\n", "mqtt.port", "4464");
        row("port not a number", "[Mqtt]\nport=abc\n", "mqtt.port", "0");
        row("autocon false", "[Wifi]\nautocon=false\n", "wifi.autocon", "false");
        row("usageSec zero", "[Modem]\nusageSec=0\n", "modem.usageSec", "0");
        row("usageSec -1", "[Modem]\nusageSec=-1\n", "modem.usageSec", "4294967295");
        row("mtu not a number", "[Ethernet]\nmtu=big\n", "eth.mtu", "0");
        row("ethernet mask", "[Ethernet]\nmask=255.0.0.0\n", "eth.netmask", "255.0.0.0");
        row("modem netmask", "[Modem]\nmask=1.1.1.1\nnetmask=255.255.0.0\n", "modem.netmask", "255.255.0.0");
        row("keys case-sensitive", "[Wifi]\nSSID=home\n", "wifi.ssid", "");
        row("texts not validated", "[Wifi]\nmethod=bogus\n", "wifi.method", "bogus");
    }

    void conversions()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QString, name);
        QFETCH(QString, expected);
        start(ini);
        const Config config(m_path, nullptr);
        const QMap<QString, QString> fields { { "mqtt.port", QString::number(config.mqtt().port) },
            { "eth.mtu", QString::number(config.ethernet().mtu) }, { "eth.netmask", config.ethernet().ipv4.netmask },
            { "wifi.autocon", config.wifi().autocon ? "true" : "false" }, { "wifi.ssid", config.wifi().ssid },
            { "wifi.method", config.wifi().ipv4.method }, { "modem.netmask", config.modem().ipv4.netmask },
            { "modem.usageSec", QString::number(config.modem().usageSec) } };
        QCOMPARE(fields.value(name, QStringLiteral("no such field")), expected);
    }

    // An existing file keeps its mode and whatever this service does not know through rewrites.
    void rewritesKeepModeForeignGroupsAndKeys()
    {
        writeFile(m_path,
            "[Mqtt]\nurl=broker\n[Custom]\nfoo=bar\n[Wifi]\nextra=1\n[Ethernet-02]\ninterface=eth9\n"
            "[Ethernet-2]\nnote=kept\n");
        const QFileDevice::Permissions readable = QFileDevice::ReadOwner | QFileDevice::WriteOwner
            | QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ReadGroup | QFileDevice::ReadOther;
        QFile::setPermissions(m_path, readable);
        Config config(m_path, nullptr);
        config.setWifi(config.wifi());
        config.setEthernetForInterface("eth0", config.ethernet());
        QCOMPARE(QFile::permissions(m_path), readable);

        // The group without an interface was no section: its number went to the new one, its other keys stay.
        // The first write completes the groups the file lacked, but never invents a base Ethernet group.
        QSettings file(m_path, QSettings::IniFormat);
        QStringList values;
        for (const char *key : { "Custom/foo", "Wifi/extra", "Ethernet-02/interface", "Ethernet-2/note",
                 "Ethernet-2/interface", "Modem/usageSec", "Ethernet/id" })
            values << file.value(key, "none").toString();
        QCOMPARE(values, QStringList({ "bar", "1", "eth9", "kept", "eth0", "120", "none" }));
    }

    void settersSurviveRestart()
    {
        Config::Modem modem;
        modem.ipv4.netmask = "255.255.255.0";
        modem.usageSec = 4294967295u;
        {
            Config config(m_path, nullptr);
            config.setMqtt({ "broker.lan", 8883, "user", "secret", "site/net" });
            config.setModem(modem);
        }
        const Config reread(m_path, nullptr);
        QCOMPARE(QStringList({ reread.mqtt().url, QString::number(reread.mqtt().port), reread.mqtt().pass,
                     reread.modem().ipv4.netmask, QString::number(reread.modem().usageSec) }),
            QStringList({ "broker.lan", "8883", "secret", "255.255.255.0", "4294967295" }));
    }

    void ethernetLookup_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("interface");
        QTest::addColumn<QString>("expected"); // "interface/id", empty when nothing applies
        const auto row = [](const char *tag, const char *ini, const char *interface, const char *expected) {
            QTest::newRow(tag) << QByteArray(ini) << QString::fromLatin1(interface) << QString::fromLatin1(expected);
        };
        row("default base serves any", "", "eth7", "/Ethernet");
        row("bound base serves its own", "[Ethernet]\ninterface=eth0\n", "eth0", "eth0/Ethernet");
        row("bound base serves no other", "[Ethernet]\ninterface=eth0\n", "eth1", "");
        row("own section before base", "[Ethernet]\nid=base\n[Ethernet-2]\ninterface=eth1\n", "eth1", "eth1/eth1");
        row("Ethernet-10", "[Ethernet-10]\ninterface=eth0\nid=ten\n", "eth0", "eth0/ten");
        row("Ethernet-1", "[Ethernet-1]\ninterface=eth0\n", "eth0", "");
        row("Ethernet-02", "[Ethernet-02]\ninterface=eth0\n", "eth0", "");
        row("first of two for one interface",
            "[Ethernet-2]\ninterface=eth0\nid=first\n[Ethernet-3]\ninterface=eth0\nid=second\n", "eth0", "eth0/first");
    }

    void ethernetLookup()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QString, interface);
        QFETCH(QString, expected);
        start(ini);
        const Config config(m_path, nullptr);
        Config::Ethernet out;
        out.id = "untouched";
        const bool found = config.ethernetConfigForInterface(interface, out);
        QCOMPARE(found, !expected.isEmpty());
        QCOMPARE(found ? out.interface + '/' + out.id : QString(), expected);
        if (!found)
            QCOMPARE(out.id, QStringLiteral("untouched"));
    }

    void ethernetSetters_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QStringList>("calls"); // "interface:id" handed to setEthernetForInterface, in order
        QTest::addColumn<QStringList>("expected"); // every Ethernet-like group as "group=interface/id", sorted
        const auto row = [](const char *tag, const char *ini, const char *calls, const char *expected) {
            QTest::newRow(tag) << QByteArray(ini) << QString::fromLatin1(calls).split(' ')
                               << QString::fromLatin1(expected).split(' ');
        };
        row("taken id becomes interface", "", "eth0:Ethernet", "Ethernet=/Ethernet Ethernet-2=eth0/eth0");
        row("unique id kept", "", "eth0:office", "Ethernet=/Ethernet Ethernet-2=eth0/office");
        row("numbered section's id is taken too", "", "eth0:office eth1:office",
            "Ethernet=/Ethernet Ethernet-2=eth0/office Ethernet-3=eth1/eth1");
        row("update in place stores the id", "", "eth0:Ethernet eth0:Ethernet",
            "Ethernet=/Ethernet Ethernet-2=eth0/Ethernet");
        row("next interface gets Ethernet-3", "", "eth0:Ethernet eth1:Ethernet",
            "Ethernet=/Ethernet Ethernet-2=eth0/eth0 Ethernet-3=eth1/eth1");
        row("gap is filled", "[Ethernet-2]\ninterface=eth0\n[Ethernet-4]\ninterface=eth1\n", "eth2:x",
            "Ethernet-2=eth0/eth0 Ethernet-3=eth2/x Ethernet-4=eth1/eth1");
        row("look-alike groups untouched", "[Ethernet-1]\ninterface=eth0\n[Ethernet-02]\ninterface=eth1\n",
            "eth0:", "Ethernet-02=eth1/ Ethernet-1=eth0/ Ethernet-2=eth0/eth0");
        row("empty interface creates missing base", "[Ethernet-2]\ninterface=eth0\n", ":office",
            "Ethernet-2=eth0/eth0 Ethernet=/office");
    }

    void ethernetSetters()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QStringList, calls);
        QFETCH(QStringList, expected);
        start(ini);
        Config config(m_path, nullptr);
        for (const QString &call : calls) {
            Config::Ethernet record = config.ethernet();
            record.id = call.section(':', 1);
            config.setEthernetForInterface(call.section(':', 0, 0), record);
        }
        QSettings settings(m_path, QSettings::IniFormat);
        QStringList groups = settings.childGroups().filter(QRegularExpression("^Ethernet"));
        for (QString &group : groups)
            group += '=' + settings.value(group + "/interface").toString() + '/'
                + settings.value(group + "/id").toString();
        groups.sort();
        expected.sort();
        QCOMPARE(groups, expected);
    }

    void logLines_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QStringList>("present");
        QTest::addColumn<QString>("absent");

        QTest::newRow("printout") << QByteArray("[Ethernet]\nmtu=1500\n[Ethernet-2]\ninterface=eth0\n")
                                  << QStringList { "[Config] ----------------------------------------------\n",
                                         "[Config]  Application Settings\n", "[Config]  mqtt.port          : 1883\n",
                                         "[Config]  Ethernet.mtu       : 1500\n",
                                         "[Config]  Ethernet-2.interface : eth0\n",
                                         "[Config]  wifi.autocon       : true\n", "[Config]  modem.autocon      : 1\n" }
                                  << "not found";
        QTest::newRow("no Ethernet block")
            << QByteArray("[Mqtt]\n") << QStringList { "[Config]  wifi.id            : Wifi\n" } << "Ethernet";
        QTest::newRow("numbered group without interface")
            << QByteArray("[Ethernet-3]\nid=x\n")
            << QStringList { "[Config] Config group '[Ethernet-3]' has no 'interface' set. Ignoring.\n" }
            << "Ethernet-3.";
    }

    void logLines()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QStringList, present);
        QFETCH(QString, absent);
        start(ini);
        Log::setLevel(Log::Info);
        StderrCapture capture;
        delete new Config(m_path, nullptr);
        const QString text = capture.text();
        Log::setLevel(Log::Warning);
        for (const QString &line : present)
            QVERIFY2(text.contains(line), qPrintable(line));
        QVERIFY2(!text.contains(absent), qPrintable(absent));
    }

    // Permissions do not stop root, so the failures come from the file system's shape instead: a directory at
    // the path from the start, or the folder replaced by a file later. The records stay in memory.
    void writeFailure()
    {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath("sub/corvex.conf") && QDir(dir.path()).mkpath("good"));
        const auto errorLine = [&](const char *file) -> QString {
            return "[Config] Failed to write config file '" + dir.filePath(file) + "'.\n";
        };
        Config::Wifi wifi;
        wifi.ssid = "kept";
        StderrCapture start;
        Config blocked(dir.filePath("sub/corvex.conf"), nullptr);
        blocked.setWifi(wifi);
        Config good(dir.filePath("good/corvex.conf"), nullptr);
        QVERIFY(QDir(dir.path()).rename("good", "moved"));
        writeFile(dir.filePath("good"), "");
        good.setWifi(wifi);
        const QString text = start.text();
        QCOMPARE(QList<int>({ text.count(errorLine("sub/corvex.conf")), text.count(errorLine("good/corvex.conf")) }),
            QList<int>({ 2, 1 }));
        QCOMPARE(QStringList({ blocked.mqtt().url, blocked.wifi().ssid, good.wifi().ssid }),
            QStringList({ "localhost", "kept", "kept" }));

        // Once the folder is back, the next write succeeds and says nothing.
        QVERIFY(QFile::remove(dir.filePath("good")) && QDir(dir.path()).rename("moved", "good"));
        StderrCapture recover;
        good.setWifi(wifi);
        QVERIFY(!recover.text().contains("Failed"));
        QCOMPARE(QSettings(dir.filePath("good/corvex.conf"), QSettings::IniFormat).value("Wifi/ssid").toString(),
            QStringLiteral("kept"));
    }
};

QTEST_GUILESS_MAIN(TestConfig)

#include "tst_config.moc"
