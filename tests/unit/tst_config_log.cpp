#include "CorvexConfig.h"

#include <QtTest>

#include <unistd.h>

using Corvex::Config;

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

private slots:
    void init()
    {
        // A fresh name per case: QSettings caches parsed files by path. Without content, no file at all.
        m_path = m_dir.filePath(QStringLiteral("case%1.conf").arg(++m_case));
        QFile file(m_path);
        if (QTest::currentDataTag() && !QByteArray(QTest::currentDataTag()).startsWith("no file"))
            QVERIFY(file.open(QIODevice::WriteOnly)
                && file.write(QByteArray(QTest::currentDataTag()).split('|').value(1).replace("\\n", "\n")) >= 0);
    }

    // The input: "interface:id" records handed to setEthernetForInterface in order, then what to read: a field, an
    // interface (the record that serves it, as "interface/id"), "group/key"s of the file, or "groups": every
    // Ethernet-like group as "group=interface/id".
    void file_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected");
        row("empty file: defaults|\\n", "modem.usageSec eth.mtu", "120 -1");
        row("zeros|[Mqtt]\\nport=0\\n[Modem]\\nusageSec=0\\n", "mqtt.port modem.usageSec", "1883 0");
        row("not numbers|[Mqtt]\\nport=abc\\n[Ethernet]\\nmtu=big\\n", "mqtt.port eth.mtu", "1883 0");
        row("port 65535|[Mqtt]\\nport=65535\\n", "mqtt.port", "65535");
        // Keys are case-sensitive, texts not validated, "mask" is Ethernet's name of the netmask only.
        row("conversions|[Mqtt]\\nport=70000\\n[Modem]\\nusageSec=-1\\nmask=1.1.1.1\\nnetmask=255.255.0.0\\n"
            "[Ethernet]\\nmask=255.0.0.0\\n[Wifi]\\nautocon=false\\nSSID=home\\nmethod=bogus\\n",
            "mqtt.port modem.usageSec modem.netmask eth.netmask wifi.autocon wifi.ssid wifi.method",
            "1883 4294967295 255.255.0.0 255.0.0.0 false  bogus");
        row("no file: default base serves any", "eth7", "/Ethernet");
        row("bound base serves only its own|[Ethernet]\\ninterface=eth0\\n", "eth0 eth1", "eth0/Ethernet untouched");
        row("own section before base|[Ethernet]\\nid=base\\n[Ethernet-2]\\ninterface=eth1\\n", "eth1", "eth1/eth1");
        row("Ethernet-10|[Ethernet-10]\\ninterface=eth0\\nid=ten\\n", "eth0", "eth0/ten");
        row("first of two|[Ethernet-2]\\ninterface=eth0\\nid=first\\n[Ethernet-3]\\ninterface=eth0\\nid=second\\n",
            "eth0", "eth0/first");
        row("no file: unique id kept, numbered section's id is taken too", "eth0:office eth1:office groups",
            "Ethernet=/Ethernet Ethernet-2=eth0/office Ethernet-3=eth1/eth1");
        row("no file: update in place stores the id", "eth0:Ethernet eth0:Ethernet groups",
            "Ethernet=/Ethernet Ethernet-2=eth0/Ethernet");
        row("no file: taken id becomes interface, next gets Ethernet-3", "eth0:Ethernet eth1:Ethernet groups",
            "Ethernet=/Ethernet Ethernet-2=eth0/eth0 Ethernet-3=eth1/eth1");
        row("gap is filled|[Ethernet-2]\\ninterface=eth0\\n[Ethernet-4]\\ninterface=eth1\\n", "eth2:x groups",
            "Ethernet-2=eth0/eth0 Ethernet-3=eth2/x Ethernet-4=eth1/eth1");
        row("look-alikes are no sections|[Ethernet-1]\\ninterface=eth0\\n[Ethernet-02]\\ninterface=eth1\\n",
            "eth0: eth1 groups", "untouched Ethernet-02=eth1/ Ethernet-1=eth0/ Ethernet-2=eth0/eth0");
        row("empty interface creates missing base|[Ethernet-2]\\ninterface=eth0\\n", ":office groups",
            "Ethernet=/office Ethernet-2=eth0/eth0");
        // Whatever the service does not know stays; the group without an interface was no section, so its number
        // goes to the new one while its other keys stay. The groups the file lacked are completed, but no base
        // Ethernet group is invented.
        row("rewrite|[Mqtt]\\nurl=broker\\n[Custom]\\nfoo=bar\\n[Wifi]\\nextra=1\\n[Ethernet-02]\\ninterface=eth9\\n"
            "[Ethernet-2]\\nnote=kept\\n",
            "eth0:x Custom/foo Wifi/extra Ethernet-02/interface Ethernet-2/note Ethernet-2/interface Modem/usageSec "
            "Ethernet/id",
            "bar 1 eth9 kept eth0 120 none");
    }

    void file()
    {
        QFETCH(QString, input);
        QStringList reads = input.split(' ');
        Config config(m_path, nullptr);
        while (reads.first().contains(':')) {
            const QString call = reads.takeFirst();
            Config::Ethernet record = config.ethernet();
            record.id = call.section(':', 1);
            config.setEthernetForInterface(call.section(':', 0, 0), record);
        }
        QSettings settings(m_path, QSettings::IniFormat);
        QStringList groups = settings.childGroups().filter(QRegularExpression("^Ethernet"));
        for (QString &group : groups)
            group += '=' + settings.value(group + "/interface").toString() + '/'
                + settings.value(group + "/id").toString();
        const QMap<QString, QString> fields { { "mqtt.port", QString::number(config.mqtt().port) },
            { "eth.mtu", QString::number(config.ethernet().mtu) }, { "eth.netmask", config.ethernet().ipv4.netmask },
            { "wifi.autocon", config.wifi().autocon ? "true" : "false" }, { "wifi.ssid", config.wifi().ssid },
            { "wifi.method", config.wifi().ipv4.method }, { "modem.netmask", config.modem().ipv4.netmask },
            { "modem.usageSec", QString::number(config.modem().usageSec) }, { "groups", groups.join(' ') } };
        for (QString &read : reads) {
            Config::Ethernet found;
            found.id = "untouched";
            const bool served = config.ethernetConfigForInterface(read, found);
            read = read.contains('/') ? settings.value(read, "none").toString()
                                      : fields.value(read, served ? found.interface + '/' + found.id : found.id);
        }
        QTEST(reads.join(' '), "expected");
    }

    // What the setters write is read back at the next start.
    void settersSurviveRestart()
    {
        Config::Modem modem;
        modem.ipv4.netmask = "255.255.255.0";
        modem.usageSec = 4294967295u;
        {
            Config config(m_path, nullptr);
            config.setMqtt({ "broker.lan", 8883, "user", "secret", "site/net", "alive", "/etc/ca.pem", {}, {}, "ha" });
            config.setModem(modem);
        }
        const Config reread(m_path, nullptr);
        QCOMPARE(QStringList({ reread.mqtt().url, QString::number(reread.mqtt().port), reread.mqtt().pass,
                     reread.mqtt().availability + reread.mqtt().discovery, reread.mqtt().cafile,
                     reread.modem().ipv4.netmask, QString::number(reread.modem().usageSec) }),
            QStringList({ "broker.lan", "8883", "secret", "aliveha", "/etc/ca.pem", "255.255.255.0", "4294967295" }));
    }

    // A level lets its own records and more severe ones through, after syslog's prefix and the time since open (nine
    // characters); colour wraps each text in its level's. Qt's messages go to standard error only, minus D-Bus noise.
    void records_data()
    {
        QTest::addColumn<QString>("mode"); // "qt", or "<colour 0|1>,<level>"
        QTest::addColumn<QString>("expected"); // the records, separated by '|'
        row("info", "0,2", "error 1|warning 2|info 3|literal %d|print expanded");
        row("Qt messages", "qt", "plain warning");
    }

    void records()
    {
        QFETCH(QString, mode);
        static const QRegularExpression stamp(
            QStringLiteral("^corvex: \\[(?= *\\d+\\.\\d{3}\\])[ 0-9.]{9}\\] "), QRegularExpression::MultilineOption);
        // The service logs through syslog's copy to standard error, which goes to a file meanwhile.
        QTemporaryFile file;
        QVERIFY(file.open());
        std::fflush(stderr);
        const int saved = ::dup(STDERR_FILENO);
        ::dup2(file.handle(), STDERR_FILENO);
        if (mode == QLatin1String("qt")) {
            const QtMessageHandler previous = qInstallMessageHandler(qtMessageHandler);
            qWarning("plain warning");
            qDebug("QDBusAbstractInterface: Unhandled property \"Foo\"");
            qInstallMessageHandler(previous);
        } else {
            Log::open("corvex", true, mode.startsWith('1'));
            Log::setLevel(static_cast<Log::Level>(mode.section(',', 1).toInt()));
            Log::error("error %d", 1);
            Log::warning("warning %d", 2);
            Log::info("info %d", 3);
            Log::debug("debug %d", 4);
            Log::print(Log::Info, std::string("literal %d"));
            Log::print(Log::Warning, "print %s", "expanded");
        }
        std::fflush(stderr);
        ::dup2(saved, STDERR_FILENO);
        ::close(saved);
        file.seek(0);
        // A line of another shape is kept whole, so the comparison shows it.
        QTEST(QString::fromLocal8Bit(file.readAll()).remove(stamp).trimmed().replace('\n', '|'), "expected");
    }
};

QTEST_GUILESS_MAIN(TestConfigAndLog)

#include "tst_config_log.moc"
