// The data file failing under a running cycle: the folder gone, the file
// read-only, the file system full. Each record meanwhile is reported once;
// once the fault is over the following records land, and what is in the
// file is exact: whole lines only, earlier lines untouched.
#include "acquisition/acquisitioncycle.h"
#include "acquisition/clock.h"
#include "acquisition/cycledisplay.h"
#include "datafile/datafile.h"
#include "testsupport.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <linux/fs.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <QScopeGuard>

#include <cerrno>
#include <cstring>
#include <functional>

namespace {

const QByteArray kHeader = "Gill Format Polar,03/05/21,14:03:07\r\n";

// A running cycle on a scripted line, writing into a real folder.
class Rig
{
public:
    Rig(const QString &folder, int n, bool debug) : m_expected(n, debug)
    {
        m_def.Save_Path = folder;
        m_def.Sample_Num = qint16(n);
        m_def.Debug_Flag = debug;
        m_def.Stop_Flag = false;
        m_file.setSyncToDevice(false);
        m_cycle.restart();
    }

    // Sends `count` good messages and lets the cycle read them all. Returns
    // the record lines whose writing this started: a message is recorded
    // when the STX after it arrives, so the last one waits for the next call.
    QList<QByteArray> deliver(int count)
    {
        QList<QByteArray> attempted;
        for (int k = 0; k < count; ++k) {
            if (!m_pending.isEmpty())
                attempted << m_pending;
            const int direction = (m_sent * 37) % 360;
            const int speed = (m_sent * 7) % 40;
            ++m_sent;
            m_pending = m_expected.next(direction, speed);
            m_port.feed(sensorMessage(direction, speed));
        }
        while (!m_port.drained())
            m_cycle.step();
        return attempted;
    }

    QStringList &reports() { return m_reporter.texts; }
    QString dataPath() const { return m_def.Save_Path + "/20030521.SVK"; }

private:
    sorvik7_def m_def;
    ScriptedPort m_port;
    NullDisplay m_display;
    CollectingReporter m_reporter;
    SettableClock m_clock;
    DataFile m_file{m_def, m_clock, m_reporter};
    AcquisitionCycle m_cycle{m_def, m_port, m_display, m_file, m_clock};
    ExpectedRecords m_expected;
    QByteArray m_pending;
    int m_sent = 0;
};

QByteArray joined(const QList<QByteArray> &lines)
{
    QByteArray out;
    for (const QByteArray &l : lines)
        out += l;
    return out;
}

QStringList repeated(const QString &text, qsizetype count)
{
    return QStringList(count, text);
}

// Sets or clears the immutable attribute, which even root cannot write past.
bool setImmutable(const QString &path, bool on)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (ok) {
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return ok;
}

} // namespace

class tst_filefaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void folderGoneWhileRunning_data();
    void folderGoneWhileRunning();
    void fileReadOnlyWhileRunning();
    void fileSystemFull();

private:
    // Mounts are made in a mount namespace of this process's own, so they
    // vanish with it even when a test fails half-way.
    bool m_ownMounts = false;
};

void tst_filefaults::initTestCase()
{
    m_ownMounts = ::unshare(CLONE_NEWNS) == 0
        && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    if (!m_ownMounts)
        qInfo("No private mount namespace (needs CAP_SYS_ADMIN): %s", strerror(errno));
}

void tst_filefaults::folderGoneWhileRunning_data()
{
    QTest::addColumn<bool>("sameFolderBack");
    QTest::newRow("moved away and back") << true;
    QTest::newRow("deleted and made anew") << false;
}

void tst_filefaults::folderGoneWhileRunning()
{
    QFETCH(bool, sameFolderBack);
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString folder = tmp.filePath("data");
    const QString away = tmp.filePath("away");
    QVERIFY(QDir().mkdir(folder));
    Rig rig(folder, 3, false);

    const QList<QByteArray> before = rig.deliver(3 + 2 + 4);
    QCOMPARE(before.size(), 3);
    QCOMPARE(fileBytes(rig.dataPath()), kHeader + joined(before));

    QVERIFY(sameFolderBack ? QDir().rename(folder, away) : QDir(folder).removeRecursively());
    const QList<QByteArray> lost = rig.deliver(5);
    QCOMPARE(lost.size(), 5);
    QCOMPARE(rig.reports(), repeated("Unable to open data file.  76", lost.size()));
    QVERIFY(!QFileInfo::exists(folder));

    QVERIFY(sameFolderBack ? QDir().rename(away, folder) : QDir().mkdir(folder));
    rig.reports().clear();
    const QList<QByteArray> after = rig.deliver(4);
    QCOMPARE(rig.reports(), QStringList());
    const QByteArray kept = sameFolderBack ? joined(before) : QByteArray();
    QCOMPARE(fileBytes(rig.dataPath()), kHeader + kept + joined(after));
}

void tst_filefaults::fileReadOnlyWhileRunning()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    Rig rig(tmp.path(), 5, true);
    const QList<QByteArray> before = rig.deliver(3 + 4 + 3);
    QCOMPARE(before.size(), 2);
    const QString path = rig.dataPath();

    // Root writes past permission bits: then make the file immutable, or
    // failing that bind-mount it read-only.
    std::function<bool()> undo;
    if (::geteuid() != 0) {
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner));
        undo = [path] { return QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner); };
    } else if (setImmutable(path, true)) {
        undo = [path] { return setImmutable(path, false); };
    } else if (m_ownMounts) {
        const QByteArray p = QFile::encodeName(path);
        QVERIFY(::mount(p.constData(), p.constData(), nullptr, MS_BIND, nullptr) == 0);
        QVERIFY(::mount(nullptr, p.constData(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0);
        undo = [p] { return ::umount(p.constData()) == 0; };
    } else {
        QSKIP("Running as root without the immutable attribute (CAP_LINUX_IMMUTABLE) or mounts "
              "(CAP_SYS_ADMIN): no way to make a file read-only for this process");
    }
    auto restore = qScopeGuard([&] { undo(); });

    const QList<QByteArray> refused = rig.deliver(4);
    QCOMPARE(refused.size(), 4);
    QCOMPARE(rig.reports(), repeated("Unable to open data file1.  75", refused.size()));
    QCOMPARE(fileBytes(path), kHeader + joined(before));

    QVERIFY(undo());
    restore.dismiss();
    rig.reports().clear();
    const QList<QByteArray> after = rig.deliver(3);
    QCOMPARE(rig.reports(), QStringList());
    QCOMPARE(fileBytes(path), kHeader + joined(before) + joined(after));
}

void tst_filefaults::fileSystemFull()
{
    if (!m_ownMounts)
        QSKIP("Mounting a small file system needs CAP_SYS_ADMIN (run as root)");
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QByteArray mountPoint = QFile::encodeName(tmp.path());
    QVERIFY(::mount("sorvik7-test", mountPoint.constData(), "tmpfs", 0, "size=64k,mode=0700") == 0);
    auto unmount = qScopeGuard([&] { ::umount2(mountPoint.constData(), MNT_DETACH); });

    // Debug records with N = 64 are about 480 bytes, so a page of the file
    // holds only a few and the record that finds the disk full is cut short.
    Rig rig(tmp.path(), 64, true);
    QList<QByteArray> written = rig.deliver(3 + 63 + 3);
    QCOMPARE(written.size(), 2);

    // Take every free block.
    const QString fillerPath = tmp.filePath("filler");
    {
        QFile filler(fillerPath);
        QVERIFY(filler.open(QIODevice::WriteOnly));
        const QByteArray block(1024, 'x');
        while (filler.write(block) == block.size() && filler.flush()) {
        }
    }
    QVERIFY(QFileInfo(fillerPath).size() > 0);

    // Records go on landing in the file's last page until one does not fit.
    QList<QByteArray> lost;
    for (int k = 0; k < 20 && lost.isEmpty(); ++k) {
        const QList<QByteArray> attempted = rig.deliver(1);
        (rig.reports().isEmpty() ? written : lost) << attempted;
    }
    QCOMPARE(lost.size(), 1);
    lost << rig.deliver(2);
    QCOMPARE(rig.reports(), repeated("Data file output error.  61", lost.size()));
    QCOMPARE(fileBytes(rig.dataPath()), kHeader + joined(written));

    QVERIFY(QFile::remove(fillerPath));
    rig.reports().clear();
    const QList<QByteArray> after = rig.deliver(3);
    QCOMPARE(rig.reports(), QStringList());
    QCOMPARE(fileBytes(rig.dataPath()), kHeader + joined(written) + joined(after));
}

QTEST_GUILESS_MAIN(tst_filefaults)
#include "tst_filefaults.moc"
