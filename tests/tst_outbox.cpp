// The station's outbox on files written here the way the logger writes
// them: only what was reported flushed is read from the file being
// written, lines come whole, and when the logger goes on to the next day
// the rest of the day before comes first, an unfinished last line included.
#include "datafile/dayfilename.h"
#include "mqtt/outbox.h"
#include "mqtt/recordpayload.h"
#include "mqtt/sentcursor.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

const QByteArray kDay1 = "20030521.SVK";
const QByteArray kDay2 = "20030522.SVK";
const QByteArray kHeader = "Gill Format Polar,03/05/21,14:03:07\r\n";
const QByteArray kRecord = "14:03:08,\x02Q,085,001.79,M,00\r\n";

} // namespace

class tst_outbox : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    void append(const QByteArray &file, const QByteArray &bytes)
    {
        QFile f(m_dir.filePath(QString::fromLatin1(file)));
        QVERIFY(f.open(QIODevice::Append));
        QCOMPARE(f.write(bytes), bytes.size());
    }
    // Every line the outbox gives from `pos` on, joined.
    static QByteArray drain(Outbox &outbox, Outbox::Position &pos, QByteArrayList *files = nullptr)
    {
        QByteArray all;
        while (const auto line = outbox.next(pos)) {
            all += line->bytes;
            if (files)
                *files << line->at.file
                        + (line->previousFile.isEmpty() ? QByteArray() : " after " + line->previousFile);
            pos = {line->at.file, line->at.offset + line->bytes.size()};
        }
        return all;
    }

private slots:
    void init()
    {
        QDir(m_dir.path()).removeRecursively();
        QDir().mkpath(m_dir.path());
    }

    void flushedLinesInOrderAcrossDays()
    {
        append(kDay1, kHeader + kRecord);
        Outbox outbox(m_dir.path());
        outbox.scan();
        Outbox::Position pos;
        QCOMPARE(drain(outbox, pos), kHeader + kRecord);

        // Written, but not yet reported flushed: not read, not even half.
        append(kDay1, kRecord + kRecord.left(10));
        QCOMPARE(drain(outbox, pos), QByteArray());
        outbox.flushed(kDay1, kHeader.size() + 2 * kRecord.size());
        QCOMPARE(drain(outbox, pos), kRecord);

        // A power cut left half a line; the next day's file begins. The day
        // before is complete: the half line stays (told once), the next day
        // follows, naming the length of the day before in whole lines.
        append(kDay2, kHeader);
        outbox.flushed(kDay2, kHeader.size());
        QByteArrayList files;
        QCOMPARE(drain(outbox, pos, &files), kHeader);
        QCOMPARE(files, (QByteArrayList{kDay2 + " after " + kDay1}));
        QByteArray torn;
        QCOMPARE(outbox.takeTornTail(&torn), 10);
        QCOMPARE(torn, kDay1);
        Outbox::Position again{kDay2, 0};
        QCOMPARE(outbox.next(again)->previousSize, kHeader.size() + 2 * kRecord.size());
        QCOMPARE(pos.file, kDay2);
        QCOMPARE(outbox.openFileLines(), 1);
    }

    void lineStartsAndCursors()
    {
        append(kDay1, kHeader + kRecord);
        Outbox outbox(m_dir.path());
        outbox.scan();
        QVERIFY(outbox.isLineStart({kDay1, 0}));
        QVERIFY(outbox.isLineStart({kDay1, kHeader.size()}));
        QVERIFY(!outbox.isLineStart({kDay1, 5}));
        QVERIFY(!outbox.isLineStart({kDay1, kHeader.size() + kRecord.size() + 1}));
        QVERIFY(!outbox.isLineStart({kDay2, 0}));

        QString error;
        const auto id = SentCursor::identify(QFile::encodeName(m_dir.filePath(QString::fromLatin1(kDay1))));
        QVERIFY(id);
        QVERIFY2(SentCursor::write(m_dir.path(), kDay1, {kHeader.size(), id}, &error), qPrintable(error));
        QVERIFY2(SentCursor::write(m_dir.path(), kDay1, {kHeader.size() + kRecord.size(), id}, &error),
                 qPrintable(error));
        // A cursor of an older version: an offset without the file's identity.
        QFile old(m_dir.filePath(QStringLiteral(".20030522.SVK.sent")));
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write("37\n") == 3);
        old.close();
        const auto cursors = SentCursor::readAll(m_dir.path());
        QCOMPARE(cursors.size(), size_t(2));
        QCOMPARE(cursors.at(kDay1).offset, kHeader.size() + kRecord.size());
        QVERIFY(cursors.at(kDay1).id == id);
        QCOMPARE(cursors.at(kDay2).offset, 37);
        QVERIFY(!cursors.at(kDay2).id);
        QVERIFY(!QFile::exists(m_dir.filePath(QStringLiteral(".20030521.SVK.sent.tmp"))));
    }

    void fifoUnderADayFileName()
    {
        // A FIFO under the newest day file's name and one under its cursor's,
        // with nobody writing to them: neither holds the outbox up, neither
        // is read. A watchdog lets a blocked open go, so that the test fails
        // instead of hanging.
        append(kDay1, kHeader + kRecord);
        const QByteArray dir = QFile::encodeName(m_dir.path());
        const QByteArrayList fifos{dir + '/' + kDay2, dir + "/.20030522.SVK.sent"};
        for (const QByteArray &fifo : fifos)
            QCOMPARE(::mkfifo(fifo.constData(), 0644), 0);
        std::atomic<bool> done = false, rescued = false;
        std::thread watchdog([&] {
            for (int wait = 0; !done; ++wait) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                if (done || wait < 100)
                    continue;
                rescued = true;
                for (const QByteArray &fifo : fifos)
                    if (const int fd = ::open(fifo.constData(), O_RDWR | O_NONBLOCK); fd >= 0)
                        ::close(fd);
            }
        });
        Outbox outbox(m_dir.path());
        outbox.scan();
        Outbox::Position pos;
        const QByteArray lines = drain(outbox, pos);
        const auto cursors = SentCursor::readAll(m_dir.path());
        done = true;
        watchdog.join();
        QVERIFY(!rescued);
        QCOMPARE(lines, kHeader + kRecord);
        QVERIFY(cursors.empty());
    }

    // One rule for the name, whoever reads it: the logger's capitals, any
    // case of the suffix from a copy, a date that exists.
    void dayFileNames_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QDate>("date");
        QTest::newRow("as the logger names it") << QByteArray("20030521.SVK") << QDate(2003, 5, 21);
        QTest::newRow("suffix in small letters") << QByteArray("20030521.svk") << QDate(2003, 5, 21);
        QTest::newRow("suffix in mixed case") << QByteArray("20000229.Svk") << QDate(2000, 2, 29);
        QTest::newRow("no such day") << QByteArray("20030229.SVK") << QDate();
        QTest::newRow("a sign") << QByteArray("+0030521.SVK") << QDate();
        QTest::newRow("seven digits") << QByteArray("2003052.SVK") << QDate();
        QTest::newRow("more after it") << QByteArray("20030521.SVKx") << QDate();
        QTest::newRow("another suffix") << QByteArray("20030521.SVG") << QDate();
    }

    void dayFileNames()
    {
        QFETCH(QByteArray, name);
        QFETCH(QDate, date);
        QCOMPARE(dayfilename::parse(QByteArrayView(name)), date);
        QCOMPARE(dayfilename::parse(QString::fromLatin1(name)), date);
        if (date.isValid())
            QCOMPARE(dayfilename::parse(dayfilename::make(date)), date);
        // The publisher takes what the viewer reads.
        append(name, kHeader);
        Outbox outbox(m_dir.path());
        outbox.scan();
        QCOMPARE(outbox.newestFile(), date.isValid() ? name : QByteArray());
        QString why;
        QCOMPARE(RecordPayload::decode("SVK1 " + name + " 0\n" + kHeader, &why).has_value(), date.isValid());
    }
};

QTEST_GUILESS_MAIN(tst_outbox)
#include "tst_outbox.moc"
