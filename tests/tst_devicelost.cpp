// The sensor's device goes away under a running window: one report, the
// acquisition stopped as STOP stops it, the port closed, no busy loop; once
// a device is back, START records again, and the file holds exactly the
// records of both runs.
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
#include <optional>

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

    Traffic traffic{3, false};
    QByteArray records = kHeader;
    std::optional<PtyDevice> device(std::in_place);
    QVERIFY(device->isValid());
    QTest::mouseClick(start, Qt::LeftButton);
    const QByteArray line1 = traffic.messages(3 + 2 + 4, records) + sorvik7::STX;
    QCOMPARE(device->send(line1), line1.size());
    QTRY_COMPARE_WITH_TIMEOUT(fileBytes(path), records, 10000);

    // The far end disappears.
    const int beepsBefore = w.beepCount();
    const QString titleBefore = title->text();
    device->hangUp();
    QTRY_VERIFY_WITH_TIMEOUT(w.state().Stop_Flag, 5000);
    QVERIFY(!w.comm().PortOpen());
    QVERIFY(start->isEnabled());
    QVERIFY(title->text() != titleBefore);
    QVERIFY(title->text().startsWith(QStringLiteral("Com1 : ")));

    // Stopped and quiet: no second report, next to no CPU.
    const std::clock_t cpuBefore = std::clock();
    QTest::qWait(1000);
    const double cpu = double(std::clock() - cpuBefore) / CLOCKS_PER_SEC;
    QVERIFY2(cpu < 0.15, qPrintable(QStringLiteral("%1 s of CPU in 1 s while stopped").arg(cpu)));
    QCOMPARE(w.beepCount(), beepsBefore + 1);
    QCOMPARE(w.cycle().phase(), AcquisitionCycle::Phase::Idle);

    // A device is back (a new pseudo-terminal as COM1): START records again.
    // The sync phase goes on counting STX from the slot the run stopped at
    // and ends on the one that takes it past 4.
    traffic.skip = qMax(0, 4 - w.cycle().Sample_Idx());
    traffic.count = 0;
    device.emplace();
    QVERIFY(device->isValid());
    QTest::mouseClick(start, Qt::LeftButton);
    const QByteArray line2 = traffic.messages(traffic.skip + 2 + 3, records) + sorvik7::STX;
    QCOMPARE(device->send(line2), line2.size());
    QTRY_COMPARE_WITH_TIMEOUT(fileBytes(path), records, 10000);
    QCOMPARE(boxes, QStringList());
    QTest::mouseClick(w.findChild<QPushButton *>(QStringLiteral("Command4")), Qt::LeftButton);
}

QTEST_MAIN(tst_devicelost)
#include "tst_devicelost.moc"
