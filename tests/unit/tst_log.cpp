#include "Log.h"

#include <QCoreApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

// syslog copies records to standard error only through LOG_PERROR, and openlog and the priority mask are
// process-wide, so every case re-runs this executable in a child mode and reads what it wrote there.
namespace
{

const char *const childMode = "--emit";

// "qt", or "<colour 0|1>,<level>" (also the row's name).
int emitRecords(const QString &mode)
{
    if (mode == QLatin1String("qt")) {
        qInstallMessageHandler(qtMessageHandler);
        qWarning("plain warning");
        qDebug("QDBusAbstractInterface: Unhandled property \"Foo\"");
        qFatal("fatal end");
    }
    Log::open("corvex", true, mode.section(',', 0, 0) == QLatin1String("1"));
    Log::setLevel(static_cast<Log::Level>(mode.section(',', 1).toInt()));
    Log::error("error %d", 1);
    Log::warning("warning %d", 2);
    Log::info("info %d", 3);
    Log::debug("debug %d", 4);
    Log::print(Log::Info, std::string("literal %d"));
    Log::print(Log::Warning, "print %s", "expanded");
    return 0;
}

} // namespace

class TestLog : public QObject
{
    Q_OBJECT

private slots:
    // Each level lets its own records and the more severe ones through, each after the glibc copy's prefix and the
    // time since open (three decimals, nine characters); colour wraps each text in the level's colour. Qt's own
    // messages go to standard error only, without the D-Bus property noise, and a fatal one ends the process.
    void records_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("expected"); // the records, separated by '|'
        const auto row = [](const char *mode, const char *expected) { QTest::newRow(mode) << mode << expected; };
        row("0,0", "error 1");
        row("0,1", "error 1|warning 2|print expanded");
        row("0,2", "error 1|warning 2|info 3|literal %d|print expanded");
        row("0,7", "error 1|warning 2|info 3|debug 4|literal %d|print expanded"); // beyond debug
        row("1,3",
            "\033[31merror 1\033[39m|\033[33mwarning 2\033[39m|\033[39minfo 3\033[39m|\033[35mdebug 4\033[39m|"
            "\033[39mliteral %d\033[39m|\033[33mprint expanded\033[39m");
        row("qt", "plain warning|fatal end|(crashed)");
    }

    void records()
    {
        QFETCH(QString, mode);
        static const QRegularExpression record(QStringLiteral("^corvex: \\[(?= *\\d+\\.\\d{3}\\])[ 0-9.]{9}\\] "));
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), { QLatin1String(childMode), mode });
        QVERIFY(child.waitForFinished(5000));
        QStringList lines = QString::fromLocal8Bit(child.readAllStandardError()).split('\n', Qt::SkipEmptyParts);
        for (QString &line : lines)
            line.remove(record); // a line of another shape is kept whole, so the comparison shows it
        if (child.exitStatus() == QProcess::CrashExit)
            lines << QStringLiteral("(crashed)");
        QTEST(lines.join('|'), "expected");
    }
};

int main(int argc, char **argv)
{
    if (argc == 3 && qstrcmp(argv[1], childMode) == 0)
        return emitRecords(QString::fromLatin1(argv[2]));
    QCoreApplication app(argc, argv);
    TestLog test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_log.moc"
