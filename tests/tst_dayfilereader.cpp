// The day-file reader on files the logger itself wrote (normal, debug,
// switched mid-file, across midnight) and on damaged hand-made ones, with
// the exact rows expected and every skipped line counted by its reason.
#include "tests/dayfiletests.h"

#include <QTemporaryDir>
#include <QTest>

#include <ctime>

namespace {

const QDate kDay(2003, 5, 21);

// "cut short:1 not a record:2", the reasons with a count.
QString tally(const DayFileReader::Counts &counts)
{
    QStringList parts;
    for (int r = 0; r < DayFileReader::SkipKinds; ++r) {
        if (counts.skipped[r] > 0)
            parts << DayFileReader::skipText(DayFileReader::Skip(r)) + ':' + QString::number(counts.skipped[r]);
    }
    return parts.join(' ');
}

} // namespace

class tst_dayfilereader : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void loggerFiles_data();
    void loggerFiles();
    void loggerAcrossMidnight();
    void damaged_data();
    void damaged();
    void followsAGrowingFile();
    void utcAcrossClockChanges_data();
    void utcAcrossClockChanges();
};

void tst_dayfilereader::initTestCase()
{
    // Summer time 2026 in Berlin: from 29 March 02:00 CET to 25 October 03:00 CEST.
    qputenv("TZ", "Europe/Berlin");
    tzset();
}

void tst_dayfilereader::loggerFiles_data()
{
    QTest::addColumn<int>("n");
    QTest::addColumn<int>("debugFrom"); // first message in debug mode
    QTest::addColumn<int>("debugTo"); // first message after it

    QTest::newRow("normal, N=3") << 3 << 0 << 0;
    QTest::newRow("debug, N=5") << 5 << 0 << 40;
    QTest::newRow("normal, debug, normal, N=10") << 10 << 20 << 30;
    QTest::newRow("debug, N=64") << 64 << 0 << 80;
}

void tst_dayfilereader::loggerFiles()
{
    QFETCH(int, n);
    QFETCH(int, debugFrom);
    QFETCH(int, debugTo);
    QTemporaryDir dir;
    Logger log(dir.path(), n, false);
    const QByteArray expected = logMessages(log, n, n + 36, [&](int i) { return i >= debugFrom && i < debugTo; });

    QStringList rows;
    for (const QByteArray &line : expected.trimmed().split('\n'))
        rows << rowOfLine(line.trimmed(), kDay);
    const ReadBack back = readBack({log.engine.dataPath()});
    QCOMPARE(back.rows, rows);
    QCOMPARE(tally(back.counts), QString());
}

void tst_dayfilereader::loggerAcrossMidnight()
{
    // Messages 0.8 s apart, each written 0.4 s after it arrived: the one
    // completed at 23:59:59.8 is written at 00:00:00.2, at the top of the
    // next day's file.
    QTemporaryDir dir;
    Logger log(dir.path(), 3, false);
    logMessages(
        log, 3, 40, [](int) { return false; }, QDateTime(kDay, QTime(23, 59, 45, 400)).toMSecsSinceEpoch(), 800, 400);

    const QList<DayFile> files = DayFiles::inFolder(dir.path());
    QCOMPARE(files.size(), 2);
    QStringList paths;
    for (const DayFile &f : files)
        paths << f.path;
    const ReadBack back = readBack(paths);
    QCOMPARE(qint64(back.rows.size()), qint64(log.engine.recordsWritten()));
    const ReadBack second = readBack({paths.at(1)});
    QCOMPARE(second.rows.first().left(19), QString("2003-05-21 23:59:59"));
    QCOMPARE(second.rows.at(1).left(10), QString("2003-05-22"));
    QStringList times;
    for (const QString &row : back.rows)
        times << row.left(19);
    QStringList sorted = times;
    std::sort(sorted.begin(), sorted.end());
    QCOMPARE(times, sorted);
}

void tst_dayfilereader::damaged_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<QString>("skipped");

    const QByteArray header = "Gill Format Polar,03/05/21,14:03:07\r\n";
    const QByteArray rec = "14:03:07,\x02Q,229,002.50,M,00\r\n";
    const QString row = "2003-05-21 14:03:07|Q|229|2.5|M|00|";
    const QString svk = "20030521.SVK";

    QTest::newRow("header only") << svk << header << QStringList() << "";
    QTest::newRow("last line cut short") << svk << header + rec + "14:03:08,\x02Q,2" << QStringList{row}
                                         << "cut short:1";
    QTest::newRow("CR of the last line only")
        << svk << header + rec + rec.chopped(1) << QStringList{row} << "cut short:1";
    QTest::newRow("mixed modes") << svk
                                 << header + rec + "14:03:08,\x02Q,230,002.00,M,00,,001.00,002.00,003.00\r\n" + rec
                                 << QStringList{row, "2003-05-21 14:03:08|Q|230|2|M|00|1;2;3", row} << "";
    // Completed before midnight, written after; then a restart at 14:00.
    QTest::newRow("midnight at the top")
        << svk
        << QByteArray(
               "Gill Format Polar,03/05/21,00:00:00\r\n23:59:59,\x02Q,1,1.00,M,00\r\n14:00:00,\x02Q,2,2.00,M,00\r\n")
        << QStringList{"2003-05-20 23:59:59|Q|1|1|M|00|", "2003-05-21 14:00:00|Q|2|2|M|00|"} << "";
    QTest::newRow("a gap, then midnight late in the file")
        << svk
        << QByteArray(
               "Gill Format Polar,03/05/21,08:00:00\r\n08:00:00,\x02Q,1,1.00,M,00\r\n23:59:59,\x02Q,2,2.00,M,00\r\n"
               "00:00:01,\x02Q,3,3.00,M,00\r\n")
        << QStringList{"2003-05-21 08:00:00|Q|1|1|M|00|", "2003-05-21 23:59:59|Q|2|2|M|00|",
                       "2003-05-22 00:00:01|Q|3|3|M|00|"}
        << "";
    QTest::newRow("no header, LF line ends, no direction")
        << svk << QByteArray("09:00:00,\x02Q,,000.03,N,04\n") << QStringList{"2003-05-21 09:00:00|Q||0.03|N|04|"} << "";
    QTest::newRow("named otherwise, dated by its header") << "mast.svk" << header + rec << QStringList{row} << "";
    QTest::newRow("foreign and broken lines")
        << svk
        << header + QByteArray("\0\0\xff\xfe\r\n", 6) + "\r\nhello\r\n25:00:00,\x02Q,1,1.00,M,00\r\n"
            + "14:03:07,\x02Q,229\r\n" + "14:03:07,\x02Q,229,abc,M,00\r\n"
            + "14:03:07,\x02Q,229,002.50,M,00,x,001.00\r\n" + "14:03:07,\x02Q,229,002.50,M,00,,\r\n"
            + "14:03:07,\x02Q,229,002.50,M,00,,1.0,zz\r\n" + rec + header + QByteArray(5000, 'x') + "\r\n" + rec
        << QStringList{row, row}
        << "not a record:5 too few columns:1 not a number:2 bad debug samples:2 header inside the file:1";
}

void tst_dayfilereader::damaged()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(QStringList, rows);
    QFETCH(QString, skipped);
    QTemporaryDir dir;
    const QString path = dir.filePath(name);
    QVERIFY(writeBytes(path, content));

    const ReadBack back = readBack({path});
    QVERIFY(back.opened);
    QCOMPARE(back.rows, rows);
    QCOMPARE(tally(back.counts), skipped);
    // Not one line unaccounted for.
    QCOMPARE(back.lines, content.count('\n') + (content.endsWith('\n') ? 0 : 1));
}

void tst_dayfilereader::followsAGrowingFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("20030521.SVK");
    const QByteArray rec = "14:03:07,\x02Q,229,002.50,M,00\r\n";
    QVERIFY(writeBytes(path, "Gill Format Polar,03/05/21,14:03:07\r\n" + rec.left(12)));
    DayFileReader reader(path);
    QVERIFY(reader.open());
    DayRecord r;
    QVERIFY(!reader.next(r));

    // The logger finishes the line and writes another: both arrive, once.
    QVERIFY(writeBytes(path, rec.mid(12) + rec, QIODevice::Append));
    int records = 0;
    while (reader.next(r))
        ++records;
    QCOMPARE(records, 2);
    QCOMPARE(reader.counts().skippedLines(), 0);

    QVERIFY(writeBytes(path, rec.left(20), QIODevice::Append));
    QVERIFY(!reader.next(r));
    reader.finish();
    QCOMPARE(reader.counts().skipped[DayFileReader::CutShort], 1);
}

void tst_dayfilereader::utcAcrossClockChanges_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QStringList>("times");
    QTest::addColumn<QList<int>>("offsets"); // expected UTC offsets in hours

    QTest::newRow("back: two passes of 02:xx")
        << "20261025.SVK" << QStringList{"01:59:59", "02:00:00", "02:59:59", "02:00:00", "03:00:00"}
        << QList<int>{2, 2, 2, 1, 1};
    QTest::newRow("back: restarted within the second pass")
        << "20261025.SVK" << QStringList{"02:40:00", "02:10:00"} << QList<int>{2, 1};
    QTest::newRow("forward: an hour that does not exist")
        << "20260329.SVK" << QStringList{"01:59:59", "02:30:00", "03:00:00"} << QList<int>{1, 1, 2};
    QTest::newRow("a clock set back on a plain day")
        << "20261024.SVK" << QStringList{"12:00:00", "11:00:00"} << QList<int>{2, 2};
}

void tst_dayfilereader::utcAcrossClockChanges()
{
    QFETCH(QString, file);
    QFETCH(QStringList, times);
    QFETCH(QList<int>, offsets);
    QTemporaryDir dir;
    QByteArray lines;
    for (const QString &t : times)
        lines += t.toLatin1() + ",\x02Q,090,001.00,M,00\r\n";
    QVERIFY(writeBytes(dir.filePath(file), lines));
    DayFileReader reader(dir.filePath(file));
    QVERIFY(reader.open());
    DayRecord r;
    QList<int> got;
    while (reader.next(r))
        got << r.utcOffset / 3600;
    QCOMPARE(got, offsets);
}

QTEST_GUILESS_MAIN(tst_dayfilereader)
#include "tst_dayfilereader.moc"
