#include "datafile/datafile.h"
#include "datafile/recordformat.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

class CollectingReporter final : public MessageReporter
{
public:
    void report(const QString &text) override { texts << text; }
    QStringList texts;
};

// Root ignores permission bits; act as an ordinary user while a check needs
// them to count.
class AsOrdinaryUser
{
public:
    AsOrdinaryUser() : m_wasRoot(::geteuid() == 0)
    {
        if (m_wasRoot && ::seteuid(65534) != 0)
            qFatal("seteuid failed");
    }
    ~AsOrdinaryUser()
    {
        if (m_wasRoot && ::seteuid(0) != 0)
            qFatal("seteuid back failed");
    }

private:
    bool m_wasRoot;
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
    void pathEndingInSeparator();
    void readOnly_data();
    void readOnly();

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

void tst_datafile::pathEndingInSeparator()
{
    m_def.Save_Path = m_dir.path() + '/';
    DataFile file(m_def, m_reporter);
    QVERIFY(file.File_open(m_clock.now()));
    QCOMPARE(file.Data_Path(), m_dir.path() + "//20030521.SVK");
    QVERIFY(file.writeRecord("x"));
    QVERIFY(QFile::exists(todayFile()));
}

void tst_datafile::readOnly_data()
{
    QTest::addColumn<bool>("fileExists");
    QTest::newRow("read-only file") << true;     // the probe reads it, the append is refused
    QTest::newRow("read-only folder") << false;  // no file, and none may be created
}

void tst_datafile::readOnly()
{
    QFETCH(bool, fileExists);
    if (fileExists) {
        QFile f(todayFile());
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("earlier\r\n");
        f.close();
        QVERIFY(::chmod(QFile::encodeName(todayFile()).constData(), 0444) == 0);
    }
    const QByteArray dir = QFile::encodeName(m_dir.path());
    QVERIFY(::chmod(dir.constData(), fileExists ? 0777 : 0555) == 0);
    {
        AsOrdinaryUser user;
        DataFile file(m_def, m_reporter);
        QVERIFY(!file.File_open(m_clock.now()));
    }
    QVERIFY(::chmod(dir.constData(), 0700) == 0);
    QCOMPARE(m_reporter.texts, QStringList{"Unable to open data file1.  75"});
    QCOMPARE(fileBytes(todayFile()), fileExists ? QByteArray("earlier\r\n") : QByteArray("<missing>"));
}

QTEST_APPLESS_MAIN(tst_datafile)
#include "tst_datafile.moc"
