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

// The record texts after the glibc copy's prefix and the time since open (three decimals, nine characters);
// a line of another shape is kept whole, so the comparison shows it.
QStringList recordBodies(bool color, int level)
{
    static const QRegularExpression record(QStringLiteral("^corvex: \\[(?= *\\d+\\.\\d{3}\\])[ 0-9.]{9}\\] "));
    QStringList lines
        = runChild({ QLatin1String(recordsMode), QString::number(color ? 1 : 0), QString::number(level) }).lines;
    for (QString &line : lines)
        line.remove(record);
    return lines;
}

} // namespace

class TestLog : public QObject
{
    Q_OBJECT

private slots:
    // Each level lets its own records and the more severe ones through; colour wraps each text in the level's
    // colour and resets to the default one.
    void records_data()
    {
        QTest::addColumn<bool>("color");
        QTest::addColumn<int>("level");
        QTest::addColumn<QStringList>("expected");
        const QString error = QStringLiteral("error 1"), warning = QStringLiteral("warning 2"),
                      printed = QStringLiteral("print expanded");
        const QStringList info { error, warning, QStringLiteral("info 3"), QStringLiteral("literal %d"), printed };
        QTest::newRow("error") << false << int(Log::Error) << QStringList { error };
        QTest::newRow("warning") << false << int(Log::Warning) << QStringList { error, warning, printed };
        QTest::newRow("info") << false << int(Log::Info) << info;
        QTest::newRow("beyond debug") << false << 7
                                      << QStringList { error, warning, QStringLiteral("info 3"),
                                             QStringLiteral("debug 4"), QStringLiteral("literal %d"), printed };
        QTest::newRow("colour") << true << int(Log::Debug)
                                << QStringList { "\033[31merror 1\033[39m", "\033[33mwarning 2\033[39m",
                                       "\033[39minfo 3\033[39m", "\033[35mdebug 4\033[39m",
                                       "\033[39mliteral %d\033[39m", "\033[33mprint expanded\033[39m" };
    }

    void records()
    {
        QFETCH(bool, color);
        QFETCH(int, level);
        QFETCH(QStringList, expected);
        QCOMPARE(recordBodies(color, level), expected);
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
