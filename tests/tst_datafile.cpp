#include "datafile/datafile.h"
#include "datafile/recordformat.h"
#include "common/nativepath.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class CollectingReporter final : public MessageReporter
{
public:
    void report(const QString &text) override { texts << text; }
    QStringList texts;
};

} // namespace

class tst_datafile : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void number_data();
    void number();
    void recordLines();
    void newFileGetsHeaderOnce();
    void existingFilesGetNoHeader();
    void folderNames_data();
    void folderNames();
    void refused_data();
    void refused();

private:
    QTemporaryDir m_dir;
    sorvik7_def m_def;
    SettableClock m_clock{QDateTime(QDate(2003, 5, 21), QTime(14, 3, 7))};
    CollectingReporter m_reporter;
    QString todayFile() const { return m_dir.path() + "/20030521.SVK"; }
};

void tst_datafile::init()
{
    QVERIFY(m_dir.isValid());
    QDir(m_dir.path()).removeRecursively();
    QDir().mkpath(m_dir.path());
    m_def = sorvik7_def();
    m_def.Save_Path = m_dir.path();
    m_clock.set(QDateTime(QDate(2003, 5, 21), QTime(14, 3, 7)));
    m_reporter.texts.clear();
}

void tst_datafile::number_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("2.5") << 2.5 << QByteArray("002.50");
    QTest::newRow("zero") << 0.0 << QByteArray("000.00");
    QTest::newRow("123.456") << 123.456 << QByteArray("123.46");
    QTest::newRow("1234.5") << 1234.5 << QByteArray("1234.50");
    QTest::newRow("negative") << -2.5 << QByteArray("-002.50");
    QTest::newRow("half up") << 2.675 << QByteArray("002.68");
    QTest::newRow("half away from zero") << -0.125 << QByteArray("-000.13");
    QTest::newRow("carry into a new digit") << 999.995 << QByteArray("1000.00");
    QTest::newRow("rounds to zero, no sign") << -0.004 << QByteArray("000.00");
    QTest::newRow("huge") << 1e20 << QByteArray("100000000000000000000.00");
}

void tst_datafile::number()
{
    QFETCH(double, value);
    QTEST(formatNumber(value), "text");
}

void tst_datafile::recordLines()
{
    const MsgFields fld{"\x02Q", "229", "M", "00", "never written"};
    SpeedBuffer buf{};
    buf[1] = 1.0;
    buf[2] = 2.0;
    buf[3] = 3.0;
    QCOMPARE(Record_Line("14:03:07", fld, 2.5, false, buf, 3),
             QByteArray("14:03:07,\x02Q,229,002.50,M,00"));
    QCOMPARE(Record_Line("14:03:07", fld, 2.0, true, buf, 3),
             QByteArray("14:03:07,\x02Q,229,002.00,M,00,,001.00,002.00,003.00"));
    QCOMPARE(headerLine(QDateTime(QDate(2003, 5, 21), QTime(14, 3, 7))),
             QByteArray("Gill Format Polar,03/05/21,14:03:07"));
    QCOMPARE(formatTimeOfDay(QTime(0, 0, 5)), QByteArray("00:00:05"));
    QCOMPARE(dataFileName(QDate(2003, 5, 1)), QStringLiteral("20030501.SVK"));
}

void tst_datafile::newFileGetsHeaderOnce()
{
    DataFile file(m_def, m_reporter);
    QVERIFY(file.File_open(m_clock.now()));
    QCOMPARE(file.Data_Path(), todayFile());
    QVERIFY(file.writeRecord("14:03:07,\x02Q,229,002.50,M,00"));
    QVERIFY(!file.isOpen());
    m_clock.set(QDateTime(QDate(2003, 5, 21), QTime(14, 3, 8)));
    QVERIFY(file.File_open(m_clock.now()));
    // received bytes go back as the same bytes
    QVERIFY(file.writeRecord("14:03:08,\x02Q\xe9,\xff\x7f,002.60,\x01,00"));
    QCOMPARE(fileBytes(todayFile()), QByteArray("Gill Format Polar,03/05/21,14:03:07\r\n"
                                              "14:03:07,\x02Q,229,002.50,M,00\r\n"
                                              "14:03:08,\x02Q\xe9,\xff\x7f,002.60,\x01,00\r\n"));
    QVERIFY(m_reporter.texts.isEmpty());
}

void tst_datafile::existingFilesGetNoHeader()
{
    // An empty file of today and one with earlier records: both only appended to.
    for (const QByteArray &before : {QByteArray(), QByteArray("10:00:00,\x02Q,1,001.00,M,00\r\n")}) {
        QFile f(todayFile());
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(before);
        f.close();
        DataFile file(m_def, m_reporter);
        QVERIFY(file.File_open(m_clock.now()));
        QVERIFY(file.writeRecord("14:03:07,\x02Q,2,002.00,M,00"));
        QCOMPARE(fileBytes(todayFile()), before + "14:03:07,\x02Q,2,002.00,M,00\r\n");
    }
    QVERIFY(m_reporter.texts.isEmpty());
}

void tst_datafile::folderNames_data()
{
    QTest::addColumn<QByteArray>("folder");   // below the test's folder, as the file system spells it
    QTest::newRow("ending in a separator") << QByteArray("/");
    QTest::newRow("not valid UTF-8 (Latin-1)") << QByteArray("/caf\xe9/");
}

void tst_datafile::folderNames()
{
    QFETCH(QByteArray, folder);
    // The separator is always added, so the path may hold two in a row.
    const QByteArray native = QFile::encodeName(m_dir.path()) + folder;
    QVERIFY(::mkdir(native.constData(), 0700) == 0 || errno == EEXIST);
    m_def.Save_Path = nativepath::decode(native);
    DataFile file(m_def, m_reporter);
    QVERIFY(file.File_open(m_clock.now()));
    QVERIFY(file.writeRecord("x"));
    QVERIFY(file.Data_Path().endsWith("//20030521.SVK"));
    QVERIFY(::access((native + "20030521.SVK").constData(), F_OK) == 0);
}

void tst_datafile::refused_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("read-only file") << "file";      // the probe reads it, the append is refused
    QTest::newRow("read-only folder") << "none";    // no file, and none may be created
    QTest::newRow("FIFO under the name") << "fifo"; // must not hang
    QTest::newRow("folder under the name") << "dir";
}

void tst_datafile::refused()
{
    QFETCH(QString, kind);
    const QByteArray path = QFile::encodeName(todayFile());
    if (kind == "file") {
        QFile f(todayFile());
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("earlier\r\n");
        f.close();
        QVERIFY(::chmod(path.constData(), 0444) == 0);
    }
    QVERIFY(kind != "fifo" || ::mkfifo(path.constData(), 0644) == 0);
    QVERIFY(kind != "dir" || ::mkdir(path.constData(), 0755) == 0);
    const QByteArray dir = QFile::encodeName(m_dir.path());
    QVERIFY(::chmod(dir.constData(), kind == "none" ? 0555 : 0777) == 0);
    {
        AsOrdinaryUser user;
        DataFile file(m_def, m_reporter);
        QVERIFY(!file.File_open(m_clock.now()));
    }
    QVERIFY(::chmod(dir.constData(), 0700) == 0);
    QCOMPARE(m_reporter.texts, QStringList{"Unable to open data file1.  75"});
    if (kind == "file")
        QCOMPARE(fileBytes(todayFile()), QByteArray("earlier\r\n"));
    QVERIFY(kind != "none" || !QFile::exists(todayFile()));
}

QTEST_APPLESS_MAIN(tst_datafile)
#include "tst_datafile.moc"
