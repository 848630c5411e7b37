// The station's outbox on files written here the way the logger writes
// them: only what was reported flushed is read from the file being
// written, lines come whole, and when the logger goes on to the next day
// the rest of the day before comes first, an unfinished last line included.
#include "mqtt/outbox.h"
#include "mqtt/sentcursor.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

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
                *files << line->at.file + (line->previousFile.isEmpty() ? QByteArray() : " after " + line->previousFile);
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
        // before is complete: the rest of it comes first, whole.
        append(kDay2, kHeader);
        outbox.flushed(kDay2, kHeader.size());
        QByteArrayList files;
        QCOMPARE(drain(outbox, pos, &files), kRecord.left(10) + kHeader);
        QCOMPARE(files, (QByteArrayList{kDay1, kDay2 + " after " + kDay1}));
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
        QVERIFY2(SentCursor::write(m_dir.path(), kDay1, kHeader.size(), &error), qPrintable(error));
        QVERIFY2(SentCursor::write(m_dir.path(), kDay1, kHeader.size() + kRecord.size(), &error), qPrintable(error));
        const auto cursors = SentCursor::readAll(m_dir.path());
        QCOMPARE(cursors.size(), size_t(1));
        QCOMPARE(cursors.at(kDay1), kHeader.size() + kRecord.size());
        QVERIFY(!QFile::exists(m_dir.filePath(QStringLiteral(".20030521.SVK.sent.tmp"))));
    }
};

QTEST_GUILESS_MAIN(tst_outbox)
#include "tst_outbox.moc"
