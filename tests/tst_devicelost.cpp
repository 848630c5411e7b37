// The sensor's device goes away under a running window: one report, the
// acquisition stopped as STOP stops it, the port closed, no busy loop; once
// a device is back, START records again, and the file holds exactly the
// records of both runs.
#include "acquisition/clock.h"
#include "ui/frm_sorvik7.h"
#include "testsupport.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <ctime>

namespace {

const QByteArray kHeader = "Gill Format Polar,03/05/21,14:03:07\r\n";

double cpuSeconds()
{
    return double(std::clock()) / CLOCKS_PER_SEC;
}

} // namespace

class tst_devicelost : public QObject
{
    Q_OBJECT

private slots:
    void deviceGoneThenBack();
};

void tst_devicelost::deviceGoneThenBack()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    SettableClock clock;
    Frm_Sorvik7 w(clock);
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    w.state().Save_Path = dir.path();
    w.state().Sample_Num = 3;
    auto *start = w.findChild<QPushButton *>(QStringLiteral("Command1"));
    auto *title = w.findChild<QLabel *>(QStringLiteral("lbl_title"));
    QVERIFY(start && title);
    const QString path = dir.filePath(QStringLiteral("20030521.SVK"));

    // Any message box is pressed away and counted.
    QStringList boxes;
    QTimer closer;
    connect(&closer, &QTimer::timeout, this, [&] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            boxes << box->text();
            box->accept();
        }
    });
    closer.start(10);

    // Sends good messages; returns the records they complete.
    int sent = 0;
    auto messages = [&](ExpectedRecords &expected, int count) {
        QByteArray line;
        QByteArray records;
        for (int k = 0; k < count; ++k, ++sent) {
            records += expected.next((sent * 37) % 360, (sent * 7) % 40);
            line += sensorMessage((sent * 37) % 360, (sent * 7) % 40);
        }
        return std::pair(line + sorvik7::STX, records);
    };

    auto device = std::make_unique<PtyDevice>(1);
    QVERIFY(device->isValid());
    QTest::mouseClick(start, Qt::LeftButton);
    QVERIFY(w.comm().PortOpen());
    ExpectedRecords first(3, false);
    const auto [line1, records1] = messages(first, 3 + 2 + 4);
    QCOMPARE(device->send(line1), line1.size());
    QTRY_COMPARE_WITH_TIMEOUT(fileBytes(path), kHeader + records1, 10000);

    // The far end disappears.
    const int beepsBefore = w.beepCount();
    const QString titleBefore = title->text();
    device->hangUp();
    QTRY_VERIFY_WITH_TIMEOUT(w.state().Stop_Flag, 5000);
    QVERIFY(!w.comm().PortOpen());
    QVERIFY(start->isEnabled());
    QCOMPARE(w.beepCount(), beepsBefore + 1);
    QVERIFY(title->text() != titleBefore);
    QVERIFY(title->text().startsWith(QStringLiteral("Com1 : ")));

    // Stopped and quiet: no second report, next to no CPU.
    const double cpuBefore = cpuSeconds();
    QTest::qWait(1000);
    const double cpu = cpuSeconds() - cpuBefore;
    QVERIFY2(cpu < 0.15, qPrintable(QStringLiteral("%1 s of CPU in 1 s while stopped").arg(cpu)));
    QCOMPARE(w.beepCount(), beepsBefore + 1);
    QCOMPARE(w.cycle().phase(), AcquisitionCycle::Phase::Idle);
    QCOMPARE(boxes, QStringList());

    // A device is back (a new pseudo-terminal as COM1): START records again.
    // The sync phase goes on counting STX from the slot the run stopped at
    // and ends on the one that takes it past 4.
    const int skip = qMax(0, 4 - w.cycle().Sample_Idx());
    device.reset();
    device = std::make_unique<PtyDevice>(1);
    QVERIFY(device->isValid());
    QTest::mouseClick(start, Qt::LeftButton);
    QVERIFY(w.comm().PortOpen());
    ExpectedRecords second(3, false, "14:03:07", skip);
    const auto [line2, records2] = messages(second, skip + 2 + 3);
    QCOMPARE(device->send(line2), line2.size());
    QTRY_COMPARE_WITH_TIMEOUT(fileBytes(path), kHeader + records1 + records2, 10000);
    QCOMPARE(boxes, QStringList());
    QTest::mouseClick(w.findChild<QPushButton *>(QStringLiteral("Command4")), Qt::LeftButton);
}

QTEST_MAIN(tst_devicelost)
#include "tst_devicelost.moc"
