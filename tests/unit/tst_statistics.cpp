#include "CorvexEngine.h"
#include "CorvexTypes.h"

#include <QtTest>

using namespace Corvex;
using Counts = QList<quint64>;
using MB = QList<double>;

class TestStatistics : public QObject
{
    Q_OBJECT

private slots:
    // in: snapshot rx, tx (0, 0 is the same as none), counters read rx, tx (rx `bad` when the read failed),
    // month totals rx, tx. out: month totals rx, tx, and the megabytes published for them.
    void sample_data()
    {
        QTest::addColumn<Counts>("in");
        QTest::addColumn<Counts>("out");
        QTest::addColumn<MB>("published");
        const quint64 g4 = 4294967295u, bad = ~0ull;
        QTest::newRow("no snapshot") << Counts { 0, 0, 1000, 500, 0, 0 } << Counts { 1000, 500 } << MB { 0, 0 };
        QTest::newRow("new month") << Counts { 1000, 500, 3000, 600, 0, 0 } << Counts { 2000, 100 } << MB { 0, 0 };
        QTest::newRow("reset") << Counts { 5000, 900, 1200, 300, 9000, 9000 } << Counts { 10200, 9300 }
                               << MB { 0.01, 0.01 };
        QTest::newRow("unreadable") << Counts { 1000, 500, bad, 600, 7, 8 } << Counts { 7, 8 } << MB { 0, 0 };
        QTest::newRow("month past 4 GB") << Counts { 0, 0, 1000, 2000, g4 - 500, g4 } << Counts { g4 + 500, g4 + 2000 }
                                         << MB { 4294.97, 4294.97 };
        QTest::newRow("counters past 4 GB")
            << Counts { g4 + 1, 10, g4 + 1001, 5000000010, 0, 0 } << Counts { 1000, 5000000000 } << MB { 0, 5000 };
        QTest::newRow("0.125 up, 0.124 down")
            << Counts { 0, 0, 125000, 124000, 0, 0 } << Counts { 125000, 124000 } << MB { 0.13, 0.12 };
    }

    void sample()
    {
        QFETCH(Counts, in);
        Engine::ModemStats snapshot, counters;
        snapshot.rxBytes = in[0];
        snapshot.txBytes = in[1];
        counters.rxBytes = in[2];
        counters.txBytes = in[3];
        const ModemUsage month { in[4], in[5] };
        // A skipped sample leaves the month as it was.
        const ModemUsage total
            = addModemUsage(snapshot, in[2] == ~0ull ? std::nullopt : std::make_optional(counters), month)
                  .value_or(month);
        QTEST(Counts({ total.rxBytes, total.txBytes }), "out");
        QTEST(MB({ roundToCents(total.rxBytes / 1e6), roundToCents(total.txBytes / 1e6) }), "published");
    }

    // Groups that are not months are never expired.
    void expired_data()
    {
        QTest::addColumn<QDateTime>("now");
        QTest::addColumn<QStringList>("expired");
        QTest::newRow("5 December") << QDateTime({ 2026, 12, 5 }, { 9, 30 })
                                    << QStringList { "2025-12", "2026-05", "2026-06" };
        QTest::newRow("1 December 00:00")
            << QDateTime({ 2026, 12, 1 }, { 0, 0 }) << QStringList { "2025-12", "2026-05" };
    }

    void expired()
    {
        QFETCH(QDateTime, now);
        const QStringList months { "2025-12", "2026-05", "2026-06", "2026-07", "2026-12", "2026-13", "notes" };
        QTEST(expiredModemMonths(months, now), "expired");
    }
};

QTEST_GUILESS_MAIN(TestStatistics)
#include "tst_statistics.moc"
