#include "stats/intervalstats.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QTest>
#include <QTimeZone>

namespace {

const qint64 kStart = QDateTime(QDate(2026, 12, 7), QTime(3, 10), QTimeZone::utc()).toMSecsSinceEpoch();

// "ms speed direction units status", the time after 03:10:00Z, "-" for no
// direction and "" for an empty units or status field.
WindSample sample(const QString &text)
{
    const QStringList f = text.split(u' ');
    WindSample s;
    s.utcMs = kStart + f[0].toLongLong();
    s.speed = f[1].toDouble();
    if (f[2] != u"-")
        s.directionDeg = f[2].toDouble();
    s.units = f.value(3) == u"\"\"" ? QString() : f.value(3);
    s.status = f.value(4) == u"\"\"" ? QString() : f.value(4);
    return s;
}

} // namespace

class tst_intervalstats : public QObject
{
    Q_OBJECT

private slots:
    // One interval, fed and cut short by flush(); the line worked out by hand.
    void row_data()
    {
        QTest::addColumn<int>("minutes");
        QTest::addColumn<QStringList>("samples");
        QTest::addColumn<QString>("line");
        // mean 5; deviations -1 1 3 -3: sd sqrt(20/3) = 2.582; ti 0.5164.
        // 3-s means 4, 5, 6, then 2 alone after the gap: gust 6. Seconds
        // 0, 1 and 5 of 60 hold samples. 340 and 20 meet at north; eps =
        // sin 20 = 0.34202, arcsin eps (1 + 0.1547 eps^3) = 20.12 degrees.
        QTest::newRow("across north, a gap")
            << 1 << QStringList{"0 4 340 M 00", "500 6 20 M 01", "1000 8 - M 00", "5000 2 - M 00"}
            << "2026-12-07T03:10:00Z,2026-12-07T03:11:00Z,4,0.050,5.000,2.582,2.000,8.000,6.000,0.5164,0.0,20.1,1,M";
        QTest::newRow("one sample")
            << 10 << QStringList{"59999 7.25 123 N 00"}
            << "2026-12-07T03:10:00Z,2026-12-07T03:20:00Z,1,0.002,7.250,,7.250,7.250,7.250,,123.0,0.0,0,N";
        QTest::newRow("mixed units empty the speed columns")
            << 5 << QStringList{"0 3 90 M 00", "1000 4 180 K 00", "2000 5 - M 0A"}
            << "2026-12-07T03:10:00Z,2026-12-07T03:15:00Z,3,0.010,,,,,,,135.0,47.5,1,";
        // A sample exactly 3 s older is outside the window: (1 + 1 + 10) / 3.
        QTest::newRow("gust window is (t - 3 s, t]")
            << 1 << QStringList{"0 1 - M 00", "1000 1 - M 00", "2000 1 - M 00", "3000 10 - M 00"}
            << "2026-12-07T03:10:00Z,2026-12-07T03:11:00Z,4,0.067,3.250,4.500,1.000,10.000,4.000,1.3846,,,0,M";
        // Both samples of one instant are in its window: gust 5, not 10.
        QTest::newRow("one instant, two samples; mean 0")
            << 1 << QStringList{"100 10 - M 00", "100 -10 - M 00"}
            << "2026-12-07T03:10:00Z,2026-12-07T03:11:00Z,2,0.017,0.000,14.142,-10.000,10.000,0.000,,,,0,M";
        QTest::newRow("empty status and units")
            << 1 << QStringList{"0 1 0 \"\" \"\"", "200 3 0 \"\" 00"}
            << "2026-12-07T03:10:00Z,2026-12-07T03:11:00Z,2,0.017,2.000,1.414,1.000,3.000,2.000,0.7071,0.0,0.0,1,";
    }
    void row()
    {
        QFETCH(int, minutes);
        QFETCH(QStringList, samples);
        IntervalStats stats(minutes);
        for (const QString &s : samples)
            QVERIFY(!stats.add(sample(s)));
        const std::optional<IntervalRow> row = stats.flush();
        QVERIFY(row);
        QTEST(intervalCsvLine(*row), "line");
        QVERIFY(!stats.flush());
    }

    // Rows come out when a sample or the timer passes the interval's end,
    // aligned to whole multiples of M minutes; an empty interval gives none.
    void intervals()
    {
        IntervalStats stats(10);
        QVERIFY(!stats.closeUntil(kStart + 3600000)); // nothing open
        QVERIFY(!stats.add(sample("450000 2 - M 00"))); // 03:17:30
        QCOMPARE(stats.openIntervalEnd(), kStart + 600000);
        QVERIFY(!stats.closeUntil(kStart + 599999));
        std::optional<IntervalRow> row = stats.closeUntil(kStart + 600000);
        QVERIFY(row);
        QCOMPARE(row->startMs, kStart);
        QCOMPARE(row->count, 1);

        QVERIFY(!stats.add(sample("600000 3 - M 00"))); // 03:20:00 opens the next
        QVERIFY(!stats.add(sample("1199999 5 - M 00")));
        row = stats.add(sample("2400000 9 - M 00")); // 03:50: the gap gives no rows
        QVERIFY(row);
        QCOMPARE(utcIsoSeconds(row->startMs), u"2026-12-07T03:20:00Z");
        QCOMPARE(row->count, 2);
        QCOMPARE(*row->speedMean, 4.0);
        row = stats.flush();
        QCOMPARE(utcIsoSeconds(row->startMs), u"2026-12-07T03:50:00Z");

        // The clock set back: the interval in progress ends, nothing is lost.
        QVERIFY(!stats.add(sample("2400000 1 - M 00")));
        row = stats.add(sample("0 1 - M 00"));
        QVERIFY(row);
        QCOMPARE(row->startMs, kStart + 2400000);
        QCOMPARE(stats.flush()->startMs, kStart);

        QCOMPARE(IntervalStats(7).minutes(), IntervalStats::kDefaultMinutes);
        QVERIFY(IntervalStats::isValidMinutes(60));
        QVERIFY(!IntervalStats::isValidMinutes(0));
    }

    // The JSON carries the table's values as numbers, null where it is empty.
    void json()
    {
        IntervalStats stats(1);
        stats.add(sample("0 3 90 M 00"));
        stats.add(sample("1000 4 - K 00"));
        const QJsonObject mixed = intervalJson(*stats.flush());
        stats.add(sample("0 4 359.99 M 00"));
        stats.add(sample("500 6 359.97 M 00"));
        const QJsonObject one = intervalJson(*stats.flush());

        QCOMPARE(QJsonDocument(one).toJson(QJsonDocument::Compact),
                 R"({"count":2,"coverage":0.017,"dir_mean":0,"dir_sd":0,"end":"2026-12-07T03:11:00Z",)"
                 R"("gust":5,"speed_max":6,"speed_mean":5,"speed_min":4,"speed_sd":1.414,)"
                 R"("start":"2026-12-07T03:10:00Z","status_bad":0,"ti":0.2828,"units":"M"})");
        QCOMPARE(mixed.keys().size(), intervalCsvHeader().split(u',').size());
        for (const char *key : {"speed_mean", "speed_sd", "speed_min", "speed_max", "gust", "ti", "units"})
            QVERIFY2(mixed.value(QLatin1String(key)).isNull(), key);
        QCOMPARE(mixed.value(u"dir_mean").toDouble(), 90.0);
    }
};

QTEST_APPLESS_MAIN(tst_intervalstats)
#include "tst_intervalstats.moc"
