#include "common/nativepath.h"
#include "datafile/datafile.h"
#include "datafile/recordformat.h"
#include "tests/support/testsupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

class tst_datafile : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    sorvik7_def m_def;
    SettableClock m_clock;
    CollectingReporter m_reporter;
    QString todayFile() const { return m_dir.path() + "/20030501.SVK"; }

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        QDir(m_dir.path()).removeRecursively();
        QDir().mkpath(m_dir.path());
        m_def = sorvik7_def();
        m_def.Save_Path = m_dir.path();
        // The first of the month: the day keeps its leading zero in the file's name and its header.
        m_clock.set(QDateTime(QDate(2003, 5, 1), QTime(14, 3, 7)));
        m_reporter.texts.clear();
    }

    void number_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("2.5") << 2.5 << QByteArray("002.50");
        QTest::newRow("123.456") << 123.456 << QByteArray("123.46");
        QTest::newRow("half up") << 2.675 << QByteArray("002.68");
        QTest::newRow("negative, half away from zero") << -0.125 << QByteArray("-000.13");
        QTest::newRow("carry into a new digit") << 999.995 << QByteArray("1000.00");
        QTest::newRow("rounds to zero, no sign") << -0.004 << QByteArray("000.00");
        char exact[400]; // the C library writes out every digit
        std::snprintf(exact, sizeof exact, "%.2f", 1e308);
        QTest::newRow("near the largest double") << 1e308 << QByteArray(exact);
    }
    void number()
    {
        QFETCH(double, value);
        QTEST(formatNumber(value), "text");
    }

    // A new day file gets the header first; one that is there, even empty,
    // is only appended to. Each record is opened, written and closed.
    void appends_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::newRow("new file") << QByteArray("<missing>");
        QTest::newRow("empty file") << QByteArray();
        QTest::newRow("earlier records") << QByteArray("10:00:00,\x02Q,1,001.00,M,00\r\n");
    }
    void appends()
    {
        QFETCH(QByteArray, before);
        QFile f(todayFile());
        QVERIFY(before == "<missing>" || (f.open(QIODevice::WriteOnly) && f.write(before) == before.size()));
        f.close();
        DataFile file(m_def, m_reporter);
        QVERIFY(file.File_open(m_clock.now()));
        QCOMPARE(file.Data_Path(), todayFile());
        QVERIFY(file.writeRecord("14:03:07,\x02Q,229,002.50,M,00"));
        QVERIFY(!file.isOpen());
        m_clock.set(QDateTime(QDate(2003, 5, 1), QTime(14, 3, 8)));
        QVERIFY(file.File_open(m_clock.now()));
        // received bytes go back as the same bytes
        QVERIFY(file.writeRecord("14:03:08,\x02Q\xe9,\xff\x7f,002.60,\x01,00"));
        QCOMPARE(fileBytes(todayFile()),
                 (before == "<missing>" ? "Gill Format Polar,03/05/01,14:03:07\r\n" : before)
                     + "14:03:07,\x02Q,229,002.50,M,00\r\n14:03:08,\x02Q\xe9,\xff\x7f,002.60,\x01,00\r\n");
        QCOMPARE(m_reporter.texts, QStringList());
    }

    void folderNames_data()
    {
        QTest::addColumn<QByteArray>("folder"); // below the test's folder, as the file system spells it
        QTest::newRow("ending in a separator") << QByteArray("/");
        QTest::newRow("not valid UTF-8 (Latin-1)") << QByteArray("/caf\xe9/");
    }
    void folderNames()
    {
        QFETCH(QByteArray, folder);
        // The separator is always added, so the path may hold two in a row.
        const QByteArray native = QFile::encodeName(m_dir.path()) + folder;
        QVERIFY(::mkdir(native.constData(), 0700) == 0 || errno == EEXIST);
        m_def.Save_Path = nativepath::decode(native);
        DataFile file(m_def, m_reporter);
        QVERIFY(file.File_open(m_clock.now()));
        QVERIFY(file.writeRecord("x"));
        QVERIFY(file.Data_Path().endsWith("//20030501.SVK"));
        // Removed by hand: Qt cannot remove what it cannot name.
        QVERIFY(::unlink((native + "20030501.SVK").constData()) == 0);
        QVERIFY(folder == "/" || ::rmdir(native.constData()) == 0);
    }

    void refused_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("read-only file") << "file"; // the probe reads it, the append is refused
        QTest::newRow("read-only folder") << "none"; // no file, and none may be created
        QTest::newRow("FIFO under the name") << "fifo"; // must not hang
        QTest::newRow("device under the name") << "dev"; // opens for writing, and would swallow the records
    }
    void refused()
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
        QVERIFY(kind != "dev" || ::symlink("/dev/null", path.constData()) == 0);
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

    // A file that ends in half a line (a power cut mid-write) is ended
    // before the next record, once, and said so; a whole last line is left.
    void tornTail_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("ended");
        QTest::newRow("cut mid-line") << QByteArray("10:00:00,\x02Q,1,0") << QByteArray("10:00:00,\x02Q,1,0\r\n");
        QTest::newRow("cut between CR and LF")
            << QByteArray("10:00:00,\x02Q,1,001.00,M,00\r") << QByteArray("10:00:00,\x02Q,1,001.00,M,00\r\n");
        QTest::newRow("whole") << QByteArray("10:00:00,\x02Q,1,001.00,M,00\r\n")
                               << QByteArray("10:00:00,\x02Q,1,001.00,M,00\r\n");
    }
    void tornTail()
    {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, ended);
        QFile f(todayFile());
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(before) == before.size());
        f.close();
        CollectingReporter notices;
        DataFile file(m_def, m_reporter, &notices);
        for (const QByteArray time : {"14:03:07", "14:03:08"}) {
            QVERIFY(file.File_open(m_clock.now()));
            QVERIFY(file.writeRecord(time + ",\x02Q,229,002.50,M,00"));
        }
        QCOMPARE(fileBytes(todayFile()),
                 ended + "14:03:07,\x02Q,229,002.50,M,00\r\n14:03:08,\x02Q,229,002.50,M,00\r\n");
        QCOMPARE(notices.texts.size(), before == ended ? 0 : 1);
        QCOMPARE(m_reporter.texts, QStringList());
    }

    // A folder is held by one claim at a time, whatever name reaches it; a
    // data file that claims its folder refuses records while another holds it.
    void folderClaimed()
    {
        const QString other = m_dir.filePath("other-name");
        QVERIFY(QFile::link(m_dir.path(), other));
        FolderLock holder;
        QCOMPARE(holder.lock(QFile::encodeName(other)), FolderLock::Result::Held);
        DataFile file(m_def, m_reporter);
        file.setClaimFolder(true);
        QVERIFY(!file.File_open(m_clock.now()));
        QCOMPARE(m_reporter.texts, QStringList{FolderLock::busyText(m_dir.path(), ::getpid())});
        QVERIFY(!QFile::exists(todayFile()));
        holder.unlock();
        QVERIFY(file.File_open(m_clock.now()));
        QVERIFY(file.writeRecord("x"));
        QCOMPARE(holder.lock(QFile::encodeName(m_dir.path())), FolderLock::Result::Busy);
        QCOMPARE(holder.holder(), ::getpid());
    }
};

QTEST_APPLESS_MAIN(tst_datafile)
#include "tst_datafile.moc"
