// The campaign tables' files: a torn last line is closed, not continued;
// rows that a folder refuses wait and go in order, into the file of their
// own date, once it takes them.
#include "tables/tablefile.h"
#include "tests/support/testsupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class tst_tablefile : public QObject
{
    Q_OBJECT

private slots:
    void tornLineClosed()
    {
        QTemporaryDir dir;
        const QString folder = dir.filePath(QStringLiteral("raw"));
        QDir().mkpath(folder);
        const QDate day(2026, 12, 7);
        {
            QFile f(folder + QStringLiteral("/2026-12-07.csv"));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("h\nrow1\nro"); // a power cut in the middle of a row
        }
        TableFile table(folder, "h");
        QVERIFY(table.append(day, "row2"));
        QVERIFY(table.sync());
        QCOMPARE(fileBytes(table.pathOf(day)), QByteArray("h\nrow1\nro\nrow2\n"));
    }

    void refusedFolderWaits()
    {
        QTemporaryDir dir;
        const QString data = dir.filePath(QStringLiteral("data")); // not there yet
        TableFile table(data + QStringLiteral("/stats"), "h");
        const QDate first(2026, 12, 7), second(2026, 12, 8);
        QVERIFY(!table.append(first, "a"));
        QVERIFY2(table.error().contains(QStringLiteral("stats")), qPrintable(table.error()));
        QVERIFY(!table.append(second, "b"));
        QVERIFY(!table.sync());
        QCOMPARE(table.pending(), 2);

        QVERIFY(QDir().mkpath(data));
        QVERIFY(!table.append(second, "c")); // behind the waiting rows
        QVERIFY(table.sync());
        QCOMPARE(table.pending(), 0);
        QCOMPARE(table.delayed(), 3u);
        QCOMPARE(fileBytes(table.pathOf(first)), QByteArray("h\na\n"));
        QCOMPARE(fileBytes(table.pathOf(second)), QByteArray("h\nb\nc\n"));
    }
};

QTEST_GUILESS_MAIN(tst_tablefile)
#include "tst_tablefile.moc"
