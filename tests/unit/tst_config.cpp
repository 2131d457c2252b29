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

// The fields the conversion cases look at, as text.
QString field(const Config &config, const QString &name)
{
    const auto flag = [](bool value) { return QString::fromLatin1(value ? "true" : "false"); };
    const QMap<QString, QString> fields {
        { "mqtt.port", QString::number(config.mqtt().port) },
        { "eth.mtu", QString::number(config.ethernet().mtu) },
        { "eth.netmask", config.ethernet().ipv4.netmask },
        { "wifi.autocon", flag(config.wifi().autocon) },
        { "wifi.ssid", config.wifi().ssid },
        { "wifi.method", config.wifi().ipv4.method },
        { "modem.id", config.modem().id },
        { "modem.apn", config.modem().apn },
        { "modem.netmask", config.modem().ipv4.netmask },
        { "modem.usageSec", QString::number(config.modem().usageSec) },
    };
    return fields.value(name, QStringLiteral("no such field"));
}

// Every Ethernet-like group of the file as "group=interface/id", sorted.
QStringList ethernetGroupsInFile(const QString &path)
{
    QSettings settings(path, QSettings::IniFormat);
    QStringList groups;
    for (const QString &group : settings.childGroups()) {
        if (group.startsWith(QLatin1String("Ethernet")))
            groups << group + '=' + settings.value(group + "/interface").toString() + '/'
                    + settings.value(group + "/id").toString();
    }
    groups.sort();
    return groups;
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

        const QByteArray empty("\n");
        QTest::newRow("default file apn") << QByteArray() << "modem.apn"
                                          << "internet";
        QTest::newRow("missing modem id") << empty << "modem.id"
                                          << "Broadband";
        QTest::newRow("missing usageSec") << empty << "modem.usageSec"
                                          << "120";
        QTest::newRow("no Ethernet group: built-in mtu") << empty << "eth.mtu"
                                                         << "-1";
        QTest::newRow("port low 16 bits") << QByteArray("[Mqtt]\nport=70000\n") << "mqtt.port"
                                          << "4464";
        QTest::newRow("port not a number") << QByteArray("[Mqtt]\nport=abc\n") << "mqtt.port"
                                           << "0";
        QTest::newRow("autocon false") << QByteArray("[Wifi]\nautocon=false\n") << "wifi.autocon"
                                       << "false";
        QTest::newRow("usageSec zero") << QByteArray("[Modem]\nusageSec=0\n") << "modem.usageSec"
                                       << "0";
        QTest::newRow("usageSec -1") << QByteArray("[Modem]\nusageSec=-1\n") << "modem.usageSec"
                                     << "4294967295";
        QTest::newRow("mtu not a number") << QByteArray("[Ethernet]\nmtu=big\n") << "eth.mtu"
                                          << "0";
        QTest::newRow("ethernet mask") << QByteArray("[Ethernet]\nmask=255.0.0.0\n") << "eth.netmask"
                                       << "255.0.0.0";
        QTest::newRow("modem netmask") << QByteArray("[Modem]\nmask=1.1.1.1\nnetmask=255.255.0.0\n") << "modem.netmask"
                                       << "255.255.0.0";
        QTest::newRow("keys case-sensitive") << QByteArray("[Wifi]\nSSID=home\n") << "wifi.ssid"
                                             << "";
        QTest::newRow("texts not validated") << QByteArray("[Wifi]\nmethod=bogus\n") << "wifi.method"
                                             << "bogus";
    }

    void conversions()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QString, name);
        QFETCH(QString, expected);
        start(ini);
        const Config config(m_path, nullptr);
        QCOMPARE(field(config, name), expected);
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

        QSettings file(m_path, QSettings::IniFormat);
        QCOMPARE(file.value("Custom/foo").toString(), QStringLiteral("bar"));
        QCOMPARE(file.value("Wifi/extra").toString(), QStringLiteral("1"));
        QCOMPARE(file.value("Ethernet-02/interface").toString(), QStringLiteral("eth9"));
        // The group without an interface was no section; its number went to the new one, its other keys stay.
        QCOMPARE(file.value("Ethernet-2/note").toString(), QStringLiteral("kept"));
        QCOMPARE(file.value("Ethernet-2/interface").toString(), QStringLiteral("eth0"));
        // The first write completes the groups the file lacked, but never invents a base Ethernet group.
        QCOMPARE(file.value("Modem/usageSec").toString(), QStringLiteral("120"));
        QVERIFY(!file.childGroups().contains("Ethernet"));
    }

    void settersSurviveRestart()
    {
        Config::Modem modem;
        modem.ipv4.netmask = "255.255.255.0";
        modem.usageSec = 4294967295u;
        {
            Config config(m_path, nullptr);
            config.setMqtt({ "broker.lan", 8883, "user", "secret", "site/net", "alive", "/etc/ca.pem", {}, {} });
            config.setModem(modem);
        }
        const Config reread(m_path, nullptr);
        QCOMPARE(reread.mqtt().url, QStringLiteral("broker.lan"));
        QCOMPARE(reread.mqtt().port, quint16(8883));
        QCOMPARE(reread.mqtt().pass, QStringLiteral("secret"));
        QCOMPARE(reread.mqtt().availability, QStringLiteral("alive"));
        QCOMPARE(reread.mqtt().cafile, QStringLiteral("/etc/ca.pem"));
        QCOMPARE(reread.modem().ipv4.netmask, QStringLiteral("255.255.255.0"));
        QCOMPARE(reread.modem().usageSec, 4294967295u);
    }

    void ethernetLookup_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("interface");
        QTest::addColumn<QString>("expected"); // "interface/id", empty when nothing applies

        QTest::newRow("default base serves any") << QByteArray() << "eth7"
                                                 << "/Ethernet";
        const QByteArray boundBase("[Ethernet]\ninterface=eth0\n");
        QTest::newRow("bound base serves its own") << boundBase << "eth0"
                                                   << "eth0/Ethernet";
        QTest::newRow("bound base serves no other") << boundBase << "eth1"
                                                    << "";
        QTest::newRow("own section before base")
            << QByteArray("[Ethernet]\nid=base\n[Ethernet-2]\ninterface=eth1\n") << "eth1"
            << "eth1/eth1";
        QTest::newRow("Ethernet-10") << QByteArray("[Ethernet-10]\ninterface=eth0\nid=ten\n") << "eth0"
                                     << "eth0/ten";
        QTest::newRow("Ethernet-1") << QByteArray("[Ethernet-1]\ninterface=eth0\n") << "eth0"
                                    << "";
        QTest::newRow("Ethernet-02") << QByteArray("[Ethernet-02]\ninterface=eth0\n") << "eth0"
                                     << "";
        QTest::newRow("first of two for one interface")
            << QByteArray("[Ethernet-2]\ninterface=eth0\nid=first\n[Ethernet-3]\ninterface=eth0\nid=second\n") << "eth0"
            << "eth0/first";
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
        QTest::addColumn<QStringList>("expected");

        const QString base = "Ethernet=/Ethernet";
        QTest::newRow("taken id becomes interface")
            << QByteArray() << QStringList { "eth0:Ethernet" } << QStringList { base, "Ethernet-2=eth0/eth0" };
        QTest::newRow("unique id kept") << QByteArray() << QStringList { "eth0:office" }
                                        << QStringList { base, "Ethernet-2=eth0/office" };
        QTest::newRow("numbered section's id is taken too")
            << QByteArray() << QStringList { "eth0:office", "eth1:office" }
            << QStringList { base, "Ethernet-2=eth0/office", "Ethernet-3=eth1/eth1" };
        QTest::newRow("update in place stores the id")
            << QByteArray() << QStringList { "eth0:Ethernet", "eth0:Ethernet" }
            << QStringList { base, "Ethernet-2=eth0/Ethernet" };
        QTest::newRow("next interface gets Ethernet-3")
            << QByteArray() << QStringList { "eth0:Ethernet", "eth1:Ethernet" }
            << QStringList { base, "Ethernet-2=eth0/eth0", "Ethernet-3=eth1/eth1" };
        QTest::newRow("gap is filled") << QByteArray("[Ethernet-2]\ninterface=eth0\n[Ethernet-4]\ninterface=eth1\n")
                                       << QStringList { "eth2:x" }
                                       << QStringList { "Ethernet-2=eth0/eth0", "Ethernet-3=eth2/x",
                                              "Ethernet-4=eth1/eth1" };
        QTest::newRow("look-alike groups untouched")
            << QByteArray("[Ethernet-1]\ninterface=eth0\n[Ethernet-02]\ninterface=eth1\n") << QStringList { "eth0:" }
            << QStringList { "Ethernet-02=eth1/", "Ethernet-1=eth0/", "Ethernet-2=eth0/eth0" };
        QTest::newRow("empty interface creates missing base")
            << QByteArray("[Ethernet-2]\ninterface=eth0\n") << QStringList { ":office" }
            << QStringList { "Ethernet=/office", "Ethernet-2=eth0/eth0" };
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
        expected.sort();
        QCOMPARE(ethernetGroupsInFile(m_path), expected);
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

    void writeFailure_data()
    {
        QTest::addColumn<bool>("breakAfterStart");
        QTest::newRow("directory at the path") << false;
        QTest::newRow("folder replaced by a file after start") << true;
    }

    // Permissions do not stop root, so the failures come from the file system's shape instead.
    void writeFailure()
    {
        QFETCH(bool, breakAfterStart);
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath("sub/corvex.conf") && QDir(dir.path()).mkpath("good"));
        const QString path = dir.filePath(breakAfterStart ? "good/corvex.conf" : "sub/corvex.conf");
        const QString errorLine = "[Config] Failed to write config file '" + path + "'.\n";

        StderrCapture startCapture;
        Config config(path, nullptr);
        QCOMPARE(startCapture.text().contains(errorLine), !breakAfterStart);
        QCOMPARE(config.mqtt().url, QStringLiteral("localhost"));

        if (breakAfterStart) {
            QVERIFY(QDir(dir.path()).rename("good", "moved"));
            writeFile(dir.filePath("good"), "");
        }
        Config::Wifi wifi = config.wifi();
        wifi.ssid = "kept";
        StderrCapture setCapture;
        config.setWifi(wifi);
        QVERIFY(setCapture.text().contains(errorLine));
        QCOMPARE(config.wifi().ssid, QStringLiteral("kept"));
        if (!breakAfterStart)
            return;

        // Once the folder is back, the next write succeeds and says nothing.
        QVERIFY(QFile::remove(dir.filePath("good")) && QDir(dir.path()).rename("moved", "good"));
        StderrCapture recoverCapture;
        config.setWifi(wifi);
        QVERIFY(!recoverCapture.text().contains("Failed"));
        QCOMPARE(QSettings(path, QSettings::IniFormat).value("Wifi/ssid").toString(), QStringLiteral("kept"));
    }
};

QTEST_GUILESS_MAIN(TestConfig)

#include "tst_config.moc"
