#include "CorvexConfig.h"

#include <QtTest>

#include <unistd.h>

using Corvex::Config;

// What `run` logs: the service logs through syslog's copy to standard error, which goes to a file meanwhile.
static QString stderrOf(const std::function<void()> &run)
{
    QTemporaryFile file;
    file.open();
    std::fflush(stderr);
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(file.handle(), STDERR_FILENO);
    run();
    std::fflush(stderr);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    file.seek(0);
    return QString::fromLocal8Bit(file.readAll());
}

// Rows are tagged "name|file content" with "\n" for line breaks: init() writes the file.
static void row(const char *tag, const char *input, const char *expected)
{
    QTest::newRow(tag) << QString::fromLatin1(input) << QString::fromLatin1(expected);
}

// The configuration file and the log. The rest of what the configuration logs (its printout, ignored groups, a file
// that cannot be written at start) is checked on the service's standard error by the integration tier.
class TestConfigAndLog : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_path;
    int m_case = 0;

    static void writeFile(const QString &path, const QByteArray &content)
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

private slots:
    void init()
    {
        // A fresh name per case: QSettings caches parsed files by path. Without content, no file at all.
        m_path = m_dir.filePath(QStringLiteral("case%1.conf").arg(++m_case));
        if (QTest::currentDataTag() && !QByteArray(QTest::currentDataTag()).startsWith("no file"))
            writeFile(
                m_path, QString::fromLatin1(QTest::currentDataTag()).section('|', 1).replace("\\n", "\n").toLatin1());
    }

    void conversions_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("expected");
        row("missing usageSec|\\n", "modem.usageSec", "120");
        row("no Ethernet group: built-in mtu|\\n", "eth.mtu", "-1");
        row("port above 65535|[Mqtt]\\nport=70000\\n", "mqtt.port", "1883");
        row("port not a number|[Mqtt]\\nport=abc\\n", "mqtt.port", "1883");
        row("port zero|[Mqtt]\\nport=0\\n", "mqtt.port", "1883");
        row("port 65535|[Mqtt]\\nport=65535\\n", "mqtt.port", "65535");
        row("autocon false|[Wifi]\\nautocon=false\\n", "wifi.autocon", "false");
        row("usageSec zero|[Modem]\\nusageSec=0\\n", "modem.usageSec", "0");
        row("usageSec -1|[Modem]\\nusageSec=-1\\n", "modem.usageSec", "4294967295");
        row("mtu not a number|[Ethernet]\\nmtu=big\\n", "eth.mtu", "0");
        row("ethernet mask|[Ethernet]\\nmask=255.0.0.0\\n", "eth.netmask", "255.0.0.0");
        row("modem netmask|[Modem]\\nmask=1.1.1.1\\nnetmask=255.255.0.0\\n", "modem.netmask", "255.255.0.0");
        row("keys case-sensitive|[Wifi]\\nSSID=home\\n", "wifi.ssid", "");
        row("texts not validated|[Wifi]\\nmethod=bogus\\n", "wifi.method", "bogus");
        // An interface as the field: the record that serves it, as "interface/id".
        row("no file: default base serves any", "eth7", "/Ethernet");
        row("bound base serves its own|[Ethernet]\\ninterface=eth0\\n", "eth0", "eth0/Ethernet");
        row("bound base serves no other|[Ethernet]\\ninterface=eth0\\n", "eth1", "untouched");
        row("own section before base|[Ethernet]\\nid=base\\n[Ethernet-2]\\ninterface=eth1\\n", "eth1", "eth1/eth1");
        row("Ethernet-10|[Ethernet-10]\\ninterface=eth0\\nid=ten\\n", "eth0", "eth0/ten");
        row("Ethernet-1|[Ethernet-1]\\ninterface=eth0\\n", "eth0", "untouched");
        row("Ethernet-02|[Ethernet-02]\\ninterface=eth0\\n", "eth0", "untouched");
        row("first of two|[Ethernet-2]\\ninterface=eth0\\nid=first\\n[Ethernet-3]\\ninterface=eth0\\nid=second\\n",
            "eth0", "eth0/first");
    }

    void conversions()
    {
        QFETCH(QString, field);
        QFETCH(QString, expected);
        const Config config(m_path, nullptr);
        const QMap<QString, QString> fields { { "mqtt.port", QString::number(config.mqtt().port) },
            { "eth.mtu", QString::number(config.ethernet().mtu) }, { "eth.netmask", config.ethernet().ipv4.netmask },
            { "wifi.autocon", config.wifi().autocon ? "true" : "false" }, { "wifi.ssid", config.wifi().ssid },
            { "wifi.method", config.wifi().ipv4.method }, { "modem.netmask", config.modem().ipv4.netmask },
            { "modem.usageSec", QString::number(config.modem().usageSec) } };
        Config::Ethernet found;
        found.id = "untouched";
        const bool served = config.ethernetConfigForInterface(field, found);
        QCOMPARE(fields.value(field, served ? found.interface + '/' + found.id : found.id), expected);
    }

    // An existing file keeps its mode and whatever this service does not know through rewrites; the group
    // without an interface was no section, so its number went to the new one while its other keys stay. The first
    // write completes the groups the file lacked, but never invents a base Ethernet group. Setters survive a restart.
    void rewrites()
    {
        writeFile(m_path,
            "[Mqtt]\nurl=broker\n[Custom]\nfoo=bar\n[Wifi]\nextra=1\n[Ethernet-02]\ninterface=eth9\n"
            "[Ethernet-2]\nnote=kept\n");
        QFile::setPermissions(m_path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
        const auto readable = QFile::permissions(m_path);
        {
            Config config(m_path, nullptr);
            config.setWifi(config.wifi());
            config.setEthernetForInterface("eth0", config.ethernet());
            QSettings file(m_path, QSettings::IniFormat);
            QStringList values;
            for (const char *key : { "Custom/foo", "Wifi/extra", "Ethernet-02/interface", "Ethernet-2/note",
                     "Ethernet-2/interface", "Modem/usageSec", "Ethernet/id" })
                values << file.value(key, "none").toString();
            QCOMPARE(values, QStringList({ "bar", "1", "eth9", "kept", "eth0", "120", "none" }));
            Config::Modem modem;
            modem.ipv4.netmask = "255.255.255.0";
            modem.usageSec = 4294967295u;
            config.setMqtt({ "broker.lan", 8883, "user", "secret", "site/net", "alive", "/etc/ca.pem", {}, {} });
            config.setModem(modem);
        }
        QCOMPARE(QFile::permissions(m_path), readable);
        const Config reread(m_path, nullptr);
        QCOMPARE(QStringList({ reread.mqtt().url, QString::number(reread.mqtt().port), reread.mqtt().pass,
                     reread.mqtt().availability, reread.mqtt().cafile, reread.modem().ipv4.netmask,
                     QString::number(reread.modem().usageSec) }),
            QStringList({ "broker.lan", "8883", "secret", "alive", "/etc/ca.pem", "255.255.255.0", "4294967295" }));
    }

    void ethernetSetters_data()
    {
        QTest::addColumn<QString>("calls"); // "interface:id" handed to setEthernetForInterface, in order
        QTest::addColumn<QString>("expected"); // every Ethernet-like group as "group=interface/id"
        row("no file: taken id becomes interface", "eth0:Ethernet", "Ethernet=/Ethernet Ethernet-2=eth0/eth0");
        row("no file: unique id kept", "eth0:office", "Ethernet=/Ethernet Ethernet-2=eth0/office");
        row("no file: numbered section's id is taken too", "eth0:office eth1:office",
            "Ethernet=/Ethernet Ethernet-2=eth0/office Ethernet-3=eth1/eth1");
        row("no file: update in place stores the id", "eth0:Ethernet eth0:Ethernet",
            "Ethernet=/Ethernet Ethernet-2=eth0/Ethernet");
        row("no file: next interface gets Ethernet-3", "eth0:Ethernet eth1:Ethernet",
            "Ethernet=/Ethernet Ethernet-2=eth0/eth0 Ethernet-3=eth1/eth1");
        row("gap is filled|[Ethernet-2]\\ninterface=eth0\\n[Ethernet-4]\\ninterface=eth1\\n", "eth2:x",
            "Ethernet-2=eth0/eth0 Ethernet-3=eth2/x Ethernet-4=eth1/eth1");
        row("look-alikes untouched|[Ethernet-1]\\ninterface=eth0\\n[Ethernet-02]\\ninterface=eth1\\n",
            "eth0:", "Ethernet-02=eth1/ Ethernet-1=eth0/ Ethernet-2=eth0/eth0");
        row("empty interface creates missing base|[Ethernet-2]\\ninterface=eth0\\n", ":office",
            "Ethernet-2=eth0/eth0 Ethernet=/office");
    }

    void ethernetSetters()
    {
        QFETCH(QString, calls);
        QFETCH(QString, expected);
        Config config(m_path, nullptr);
        for (const QString &call : calls.split(' ')) {
            Config::Ethernet record = config.ethernet();
            record.id = call.section(':', 1);
            config.setEthernetForInterface(call.section(':', 0, 0), record);
        }
        QSettings settings(m_path, QSettings::IniFormat);
        QStringList groups = settings.childGroups().filter(QRegularExpression("^Ethernet"));
        for (QString &group : groups)
            group += '=' + settings.value(group + "/interface").toString() + '/'
                + settings.value(group + "/id").toString();
        QStringList wanted = expected.split(' ');
        groups.sort();
        wanted.sort();
        QCOMPARE(groups, wanted);
    }

    // A write that fails (the folder replaced by a file; permissions do not stop root) is logged and keeps the
    // record in memory; the next write after the folder is back succeeds and says nothing.
    void failedWriteKeepsTheRecord()
    {
        Log::open("corvex", true, false);
        QVERIFY(QDir(m_dir.path()).mkpath("good"));
        const QString path = m_dir.filePath("good/corvex.conf");
        Config config(path, nullptr);
        QVERIFY(QDir(m_dir.path()).rename("good", "moved"));
        writeFile(m_dir.filePath("good"), "");
        Config::Wifi wifi = config.wifi();
        wifi.ssid = "kept";
        QVERIFY(stderrOf([&] { config.setWifi(wifi); }).contains("[Config] Failed to write config file '" + path));
        QCOMPARE(config.wifi().ssid, QStringLiteral("kept"));
        QVERIFY(QFile::remove(m_dir.filePath("good")) && QDir(m_dir.path()).rename("moved", "good"));
        QCOMPARE(stderrOf([&] { config.setWifi(wifi); }), QString());
        QCOMPARE(QSettings(path, QSettings::IniFormat).value("Wifi/ssid").toString(), QStringLiteral("kept"));
    }

    // A level lets its own records and more severe ones through, after syslog's prefix and the time since open (nine
    // characters); colour wraps each text in its level's. Qt's messages go to standard error only, minus D-Bus noise.
    void records_data()
    {
        QTest::addColumn<QString>("mode"); // "qt", or "<colour 0|1>,<level>"
        QTest::addColumn<QString>("expected"); // the records, separated by '|'
        row("warning", "0,1", "error 1|warning 2|print expanded");
        row("info", "0,2", "error 1|warning 2|info 3|literal %d|print expanded");
        row("beyond debug", "0,7", "error 1|warning 2|info 3|debug 4|literal %d|print expanded");
        row("colour", "1,3",
            "\033[31merror 1\033[39m|\033[33mwarning 2\033[39m|\033[39minfo 3\033[39m|\033[35mdebug 4\033[39m|"
            "\033[39mliteral %d\033[39m|\033[33mprint expanded\033[39m");
        row("Qt messages", "qt", "plain warning");
    }

    void records()
    {
        QFETCH(QString, mode);
        static const QRegularExpression stamp(QStringLiteral("^corvex: \\[(?= *\\d+\\.\\d{3}\\])[ 0-9.]{9}\\] "));
        QStringList lines = stderrOf([&] {
            if (mode == QLatin1String("qt")) {
                const QtMessageHandler previous = qInstallMessageHandler(qtMessageHandler);
                qWarning("plain warning");
                qDebug("QDBusAbstractInterface: Unhandled property \"Foo\"");
                qInstallMessageHandler(previous);
                return;
            }
            Log::open("corvex", true, mode.startsWith('1'));
            Log::setLevel(static_cast<Log::Level>(mode.section(',', 1).toInt()));
            Log::error("error %d", 1);
            Log::warning("warning %d", 2);
            Log::info("info %d", 3);
            Log::debug("debug %d", 4);
            Log::print(Log::Info, std::string("literal %d"));
            Log::print(Log::Warning, "print %s", "expanded");
        }).split('\n', Qt::SkipEmptyParts);
        for (QString &line : lines)
            line.remove(stamp); // a line of another shape is kept whole, so the comparison shows it
        QTEST(lines.join('|'), "expected");
    }
};

QTEST_GUILESS_MAIN(TestConfigAndLog)

#include "tst_config_log.moc"
