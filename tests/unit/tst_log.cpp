#include "Log.h"

#include <QCoreApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <cstdlib>

// syslog copies records to standard error only through LOG_PERROR, and openlog and the priority mask are
// process-wide, so every case re-runs this executable in a child mode and reads what it wrote there.
namespace
{

const char *const recordsMode = "--emit-records";
const char *const qtMode = "--emit-qt";

int emitRecords(bool color, int level)
{
    Log::open("corvex", true, color);
    Log::setLevel(static_cast<Log::Level>(level));
    Log::error("error %d", 1);
    Log::warning("warning %d", 2);
    Log::info("info %d", 3);
    Log::debug("debug %d", 4);
    Log::print(Log::Info, std::string("literal %d"));
    Log::print(Log::Warning, "print %s", "expanded");
    return 0;
}

int emitQtMessages()
{
    qInstallMessageHandler(qtMessageHandler);
    qWarning("plain warning");
    qDebug("QDBusAbstractInterface: Unhandled property \"Foo\"");
    qFatal("fatal end");
}

struct Child {
    QStringList lines;
    QProcess::ExitStatus exitStatus;
};

Child runChild(const QStringList &arguments)
{
    QProcess process;
    process.start(QCoreApplication::applicationFilePath(), arguments);
    if (!process.waitForFinished(5000))
        process.kill();
    const QString output = QString::fromLocal8Bit(process.readAllStandardError());
    return { output.split(QLatin1Char('\n'), Qt::SkipEmptyParts), process.exitStatus() };
}

// The record texts after the timestamp, each line checked for the glibc copy format and the time field.
QStringList recordBodies(bool color, int level)
{
    static const QRegularExpression record(QStringLiteral("^corvex: \\[([ 0-9.]{9})\\] (.*)$"));
    QStringList bodies;
    const QStringList lines
        = runChild({ QLatin1String(recordsMode), QString::number(color ? 1 : 0), QString::number(level) }).lines;
    for (const QString &line : lines) {
        const QRegularExpressionMatch match = record.match(line);
        if (!match.hasMatch()) {
            qWarning("unexpected line: %s", qPrintable(line));
            return {};
        }
        // Seconds since open, three decimals, right-aligned in nine characters.
        const double elapsed = match.captured(1).toDouble();
        if (elapsed < 0 || elapsed > 10 || match.captured(1) != QString::asprintf("%9.3f", elapsed)) {
            qWarning("bad time field: %s", qPrintable(line));
            return {};
        }
        bodies.append(match.captured(2));
    }
    return bodies;
}

} // namespace

class TestLog : public QObject
{
    Q_OBJECT

private slots:
    void levelFiltering_data()
    {
        QTest::addColumn<int>("level");
        QTest::addColumn<QStringList>("expected");

        const QStringList errors { QStringLiteral("error 1") };
        const QStringList warnings = errors + QStringList { QStringLiteral("warning 2") };
        const QStringList infos = warnings + QStringList { QStringLiteral("info 3"), QStringLiteral("literal %d") };
        const QStringList all = infos + QStringList { QStringLiteral("debug 4") };
        const QString printed = QStringLiteral("print expanded");

        QTest::newRow("error") << int(Log::Error) << errors;
        QTest::newRow("warning") << int(Log::Warning) << warnings + QStringList { printed };
        QTest::newRow("info") << int(Log::Info) << infos + QStringList { printed };
        QTest::newRow("debug") << int(Log::Debug) << all + QStringList { printed };
        QTest::newRow("beyond debug") << 7 << all + QStringList { printed };
    }

    void levelFiltering()
    {
        QFETCH(int, level);
        QFETCH(QStringList, expected);
        QStringList bodies = recordBodies(false, level);
        bodies.sort();
        expected.sort();
        QCOMPARE(bodies, expected);
    }

    // Each level wraps its text in its own colour and resets to the default one.
    void colourCodes()
    {
        const QStringList bodies = recordBodies(true, Log::Debug);
        for (const char *expected : { "\033[31merror 1\033[39m", "\033[33mwarning 2\033[39m", "\033[39minfo 3\033[39m",
                 "\033[35mdebug 4\033[39m" })
            QVERIFY2(bodies.contains(QLatin1String(expected)), qPrintable(bodies.join(QLatin1Char('|'))));
    }

    void qtMessagesGoToStderrOnly()
    {
        const Child child = runChild({ QLatin1String(qtMode) });
        QCOMPARE(child.lines, QStringList({ QStringLiteral("plain warning"), QStringLiteral("fatal end") }));
        QCOMPARE(child.exitStatus, QProcess::CrashExit);
    }
};

int main(int argc, char **argv)
{
    if (argc == 4 && qstrcmp(argv[1], recordsMode) == 0)
        return emitRecords(std::atoi(argv[2]) != 0, std::atoi(argv[3]));
    if (argc == 2 && qstrcmp(argv[1], qtMode) == 0)
        return emitQtMessages();
    QCoreApplication app(argc, argv);
    TestLog test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_log.moc"
