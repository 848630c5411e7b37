// The data file failing under a running cycle: the folder gone, the file
// read-only, the file system full. The fault is reported once; once it is
// over the following records land, its end is reported with the records it
// cost, and the file holds whole lines only, earlier lines untouched.
#include "tests/support/testsupport.h"

#include <QDir>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

namespace {

enum Fault { FolderDeleted, ReadOnly, DiskFull };

// Brings the fault about or ends it. Root writes past permission bits, so
// as root the file is made read-only by a read-only bind mount.
bool setFault(int fault, bool on, const QString &folder, const QString &file)
{
    const QByteArray path = QFile::encodeName(file);
    const QString filler = folder + "/filler";
    switch (fault) {
    case FolderDeleted:
        return on ? QDir(folder).removeRecursively() : QDir().mkdir(folder);
    case ReadOnly:
        if (::geteuid() != 0)
            return QFile::setPermissions(file, QFile::ReadOwner | (on ? QFile::Permissions() : QFile::WriteOwner));
        if (!on)
            return ::umount(path.constData()) == 0;
        return ::mount(path.constData(), path.constData(), nullptr, MS_BIND, nullptr) == 0
            && ::mount(nullptr, path.constData(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
    case DiskFull: {
        if (!on)
            return QFile::remove(filler);
        QFile f(filler);
        const QByteArray block(1024, 'x');
        if (f.open(QIODevice::WriteOnly))
            while (f.write(block) == block.size() && f.flush()) { }
        f.close();
        return QFileInfo(filler).size() > 0;
    }
    }
    return false;
}

// Feeds `count` good messages; returns the record lines whose writing this
// started (a record is written when the STX after its message arrives).
QList<QByteArray> deliver(Logger &log, Traffic &traffic, QByteArray &pending, int count)
{
    QList<QByteArray> attempted;
    QByteArray line;
    for (; count > 0; --count) {
        if (!pending.isEmpty())
            attempted << pending;
        pending.clear();
        line += traffic.messages(1, pending);
    }
    log.feed(line);
    return attempted;
}

} // namespace

class tst_filefaults : public QObject
{
    Q_OBJECT

private slots:
    // A folder moved away and back is backlogAcrossMidnight's fault.
    void faultWhileRunning_data()
    {
        QTest::addColumn<int>("fault");
        QTest::addColumn<QString>("report");
        QTest::newRow("folder deleted and made anew") << int(FolderDeleted) << "Unable to open data file.  76";
        QTest::newRow("file read-only") << int(ReadOnly) << "Unable to open data file1.  75";
        QTest::newRow("file system full") << int(DiskFull) << "Data file output error.  61";
    }
    void faultWhileRunning()
    {
        QFETCH(int, fault);
        QFETCH(QString, report);
        // Mounts are made in a namespace of this process's own; they vanish with it.
        static const bool ownMounts =
            ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        const QString folder = tmp.filePath("data");
        const QByteArray folderName = QFile::encodeName(folder);
        QVERIFY(QDir().mkdir(folder));
        if ((fault == DiskFull || (fault == ReadOnly && ::geteuid() == 0)) && !ownMounts)
            QSKIP("This fault is made with a mount here, and mounting needs CAP_SYS_ADMIN");
        if (fault == DiskFull)
            QVERIFY(::mount("sorvik7-test", folderName.constData(), "tmpfs", 0, "size=64k,mode=0700") == 0);
        auto unmount = qScopeGuard([&] { ::umount2(folderName.constData(), MNT_DETACH); });

        // Debug records with N = 64 are about 480 bytes: a page of the file holds
        // only a few, and the record that finds the disk full is cut short.
        Logger log(folder, 64, true);
        Traffic traffic{64, true};
        QByteArray pending;
        QList<QByteArray> before = deliver(log, traffic, pending, 3 + 63 + 3);
        QCOMPARE(before.size(), 2);
        const QString path = log.engine.dataPath();
        QCOMPARE(fileBytes(path), kHeader + before.join());

        QVERIFY(setFault(fault, true, folder, path));
        auto restore = qScopeGuard([&] { setFault(fault, false, folder, path); });
        // On a full disk records go on landing in the file's last page until
        // one does not fit; any other fault refuses the very next one.
        QList<QByteArray> lost = deliver(log, traffic, pending, 1);
        for (int k = 0; fault == DiskFull && log.reports.isEmpty() && k < 20; ++k) {
            before << lost;
            lost = deliver(log, traffic, pending, 1);
        }
        lost << deliver(log, traffic, pending, 3);
        QCOMPARE(lost.size(), 4);
        // One report for the whole episode.
        QCOMPARE(log.reports, QStringList{report});
        QCOMPARE(fileBytes(path), fault == FolderDeleted ? QByteArray("<missing>") : kHeader + before.join());

        // Acquisition goes on meanwhile; the records wait in memory.
        QCOMPARE(log.engine.backlog(), lost.size());

        QVERIFY(setFault(fault, false, folder, path));
        restore.dismiss();
        log.reports.clear();
        const QByteArray kept = fault == FolderDeleted ? QByteArray() : before.join();
        const QList<QByteArray> after = deliver(log, traffic, pending, 3);
        // Once the folder takes records again, those that waited are written in
        // order, and the end of the episode says how many they were.
        QTRY_COMPARE_WITH_TIMEOUT(log.engine.backlog(), 0, 30000);
        QCOMPARE(log.reports, QStringList());
        QCOMPARE(log.cleared, QList<quint64>{quint64(lost.size() + after.size())});
        QCOMPARE(fileBytes(path), kHeader + kept + lost.join() + after.join());
    }

    void backlogAcrossMidnight()
    {
        // Records kept through midnight go each into the day file of its own
        // time, which also dates a file that they create.
        QTemporaryDir tmp;
        const QString folder = tmp.filePath("data"), away = tmp.filePath("away");
        QVERIFY(QDir().mkdir(folder));
        Logger log(folder, 3, false);
        const QByteArray m = sensorMessage(156, 3);
        log.feed(m + m + m + m + m + m + "\x02");
        QVERIFY(QDir().rename(folder, away));
        const auto at = [&](int day, QTime t) {
            log.port.stampMs = QDateTime(QDate(2003, 5, day), t).toMSecsSinceEpoch();
            log.clock.set(QDateTime(QDate(2003, 5, day), t.addSecs(1)));
        };
        at(21, QTime(23, 59, 59));
        log.feed(m.mid(1) + "\x02");
        at(22, QTime(0, 0, 1));
        log.feed(m.mid(1) + "\x02");
        QCOMPARE(log.engine.backlog(), 2);
        QVERIFY(!log.engine.writeBacklog());
        QVERIFY(QDir().rename(away, folder));
        QVERIFY(log.engine.writeBacklog());
        QCOMPARE(fileBytes(folder + "/20030521.SVK"), kHeader + recordLine(3) + recordLine(3, 156, "23:59:59"));
        QCOMPARE(fileBytes(folder + "/20030522.SVK"),
                 "Gill Format Polar,03/05/22,00:00:01\r\n" + recordLine(3, 156, "00:00:01"));
        QCOMPARE(log.reports, QStringList{"Unable to open data file.  76"});
        QCOMPARE(log.cleared, QList<quint64>{2});
    }

    void refusedFileHoldsBackNoOther()
    {
        // Today's file refuses (a FIFO under its name): its records wait,
        // the next day's are written as they come, and once the name is free
        // the waiting ones follow in their order.
        QTemporaryDir tmp;
        const QString folder = tmp.path();
        const QString refused = folder + "/20030521.SVK", next = folder + "/20030522.SVK";
        QVERIFY(::mkfifo(QFile::encodeName(refused).constData(), 0644) == 0);
        Logger log(folder, 3, false);
        const QByteArray m = sensorMessage(156, 3);
        log.feed(m + m + m + m + m + m + m + "\x02");
        QCOMPARE(log.engine.backlog(), 2);
        log.clock.set(QDateTime(QDate(2003, 5, 22), QTime(0, 0, 1)));
        log.port.stampMs = QDateTime(QDate(2003, 5, 22), QTime(0, 0, 1)).toMSecsSinceEpoch();
        log.feed(m.mid(1) + "\x02" + m.mid(1) + "\x02");
        QCOMPARE(log.engine.backlog(), 2);
        QCOMPARE(fileBytes(next),
                 "Gill Format Polar,03/05/22,00:00:01\r\n" + recordLine(3, 156, "00:00:01").repeated(2));
        QVERIFY(!log.engine.writeBacklog());
        QCOMPARE(log.cleared, QList<quint64>()); // the fault lasts while records wait

        QVERIFY(QFile::remove(refused));
        QVERIFY(log.engine.writeBacklog());
        QCOMPARE(fileBytes(refused), kHeader + recordLine(3).repeated(2));
        QCOMPARE(log.reports, QStringList{"Unable to open data file1.  75"});
        QCOMPARE(log.cleared, QList<quint64>{2});
        QCOMPARE(log.lost, QList<quint64>{0});
    }

    void fullBacklogLosesAndSaysSo()
    {
        // Past the limit new records are lost: said when it begins (once),
        // and the end of the fault tells the written from the lost.
        QTemporaryDir tmp;
        const QString refused = tmp.path() + "/20030521.SVK";
        QVERIFY(::mkfifo(QFile::encodeName(refused).constData(), 0644) == 0);
        Logger log(tmp.path(), 3, false);
        log.engine.setBacklogLimit(1); // raised to the least there is
        QList<QList<qint64>> losses;
        connect(&log.engine, &Acquisition::recordsLost, &log, [&](qsizetype waiting, quint64 lost) {
            losses << QList<qint64>{waiting, qint64(lost)};
        });
        const QByteArray m = sensorMessage(156, 3);
        log.feed(m.repeated(5) + m.repeated(DataFile::kMinBacklogLimit + 20) + "\x02");
        QCOMPARE(log.engine.backlog(), DataFile::kMinBacklogLimit);
        QCOMPARE(losses, (QList<QList<qint64>>{{DataFile::kMinBacklogLimit, 1}}));
        QVERIFY(QFile::remove(refused));
        QVERIFY(log.engine.writeBacklog());
        QCOMPARE(fileBytes(refused), kHeader + recordLine(3).repeated(DataFile::kMinBacklogLimit));
        QCOMPARE(log.cleared, QList<quint64>{quint64(DataFile::kMinBacklogLimit)});
        QCOMPARE(log.lost, QList<quint64>{20});
    }
};

QTEST_GUILESS_MAIN(tst_filefaults)
#include "tst_filefaults.moc"
