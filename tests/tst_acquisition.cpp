// The acquisition engine and its cycle: sync, fill and run on replayed
// input, restarts, STOP and START, midnight, and the real serial control on
// a pseudo-terminal fed by the simulated sensor, with the device going away
// and coming back.
#include "testsupport.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {
QByteArray msg(double speed) { return sensorMessage(156, speed); }
} // namespace

class tst_acquisition : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QByteArray file(const char *name = "20030521.SVK") const { return fileBytes(m_dir.filePath(name)); }

private slots:
    void init()
    {
        QDir(m_dir.path()).removeRecursively();
        QDir().mkpath(m_dir.path());
    }

    void syncFillRun()
    {
        // Nothing is read before START.
        Logger log(m_dir.path(), 10, false, false);
        log.port.append("noise" + msg(90) + msg(91) + msg(92));
        for (int i = 0; i < 100; ++i)
            log.engine.cycle().step();
        QCOMPARE(log.port.pos, 0);
        // N = 10: everything up to the fourth STX is dropped, the message that
        // starts there and the eight after it fill slots 1..9, and from then on
        // every message gives a record averaging the last ten speeds.
        log.engine.start();
        QByteArray bytes;
        for (int i = 1; i <= 25; ++i)
            bytes += msg(i);
        log.feed(bytes + "\x02");
        QByteArray expected = kHeader;
        for (int last = 10; last <= 25; ++last)
            expected += recordLine(last - 4.5);
        QCOMPARE(file(), expected);
        QCOMPARE(log.engine.recordsWritten(), 16u);
        QCOMPARE(log.messages.size(), 25);
        QCOMPARE(log.messages.last(), msg(25));
    }

    void slotSequenceAndCounter()
    {
        Logger log(m_dir.path(), 3, false);
        log.feed(msg(0) + msg(0) + msg(0) + msg(1) + msg(2) + "\x02");
        QCOMPARE(log.engine.cycle().phase(), AcquisitionCycle::Phase::Run);
        // 19 characters when the next STX comes: dropped, the slot stays; 20: taken.
        const QByteArray nineteen("\x02Q,1,007.00,M,00,A\r");
        const QByteArray twenty("\x02Q,1,003.00,M,00,AB\r");
        QCOMPARE(nineteen.size(), 19);
        log.feed(nineteen.mid(1) + twenty);
        QVERIFY(!log.messages.contains(nineteen));
        QList<int> written;
        for (double s : {6.0, 9.0, 12.0}) {
            log.counts.clear();
            log.feed(msg(s));
            // the backlog at every step, then the slot just written
            QCOMPARE(log.counts.first(), int(msg(s).size()));
            written << log.counts.at(1);
        }
        QCOMPARE(written, (QList<int>{3, 1, 2}));
        QCOMPARE(file(), kHeader + "14:03:07,\x02Q,1,002.00,M,00\r\n" + recordLine(11.0 / 3)
                             + recordLine(6.0));
    }

    void restartStartsAfresh()
    {
        Logger log(m_dir.path(), 3, false);
        log.feed(msg(0) + msg(0) + msg(0) + msg(1) + msg(2) + msg(3) + "\x02");
        QCOMPARE(log.engine.recordsWritten(), 1u);
        log.port.append(msg(50).mid(1));
        log.engine.restart();
        QCOMPARE(log.port.waiting(), 0);
        QCOMPARE(log.engine.cycle().Sample_Idx(), 1);
        // running: sync again on four STX, fill slots 1 and 2, then record
        log.feed(msg(0) + msg(0) + msg(0) + msg(7) + msg(8) + msg(9) + "\x02");
        QCOMPARE(log.engine.recordsWritten(), 2u);
        QVERIFY(file().endsWith(recordLine(8.0)));
    }

    void stopStartWithinOneActivation()
    {
        Logger log(m_dir.path(), 5, false);
        QByteArray bytes = msg(0) + msg(0) + msg(0);
        for (int i = 1; i <= 6; ++i)
            bytes += msg(i);
        log.feed(bytes + "\x02");
        QCOMPARE(log.engine.cycle().Sample_Idx(), 2);   // records in slots 5 and 1 so far
        log.engine.stop();
        log.port.open = false;
        log.engine.cycle().step();
        QCOMPARE(log.engine.cycle().phase(), AcquisitionCycle::Phase::Idle);
        // START again: syncing goes on counting from slot 2, so three STX end it
        log.port = ReplayPort();
        log.engine.start();
        log.feed(msg(0) + msg(0));
        QCOMPARE(log.engine.cycle().phase(), AcquisitionCycle::Phase::Sync);
        log.feed("\x02");
        QCOMPARE(log.engine.cycle().phase(), AcquisitionCycle::Phase::Fill);
        bytes.clear();
        for (int i = 10; i <= 17; ++i)
            bytes += msg(i);
        log.feed(bytes + "\x02");
        // the first record of the new run averages only speeds of the new run
        QVERIFY(file().contains(recordLine(4.0) + recordLine(12.0) + recordLine(13.0)));
        // once the slot has reached 4, the first STX after START ends the sync
        QVERIFY(log.engine.cycle().Sample_Idx() >= 4);
        log.engine.stop();
        log.engine.cycle().step();
        log.engine.start();
        log.feed("junk\x02");
        QCOMPARE(log.engine.cycle().phase(), AcquisitionCycle::Phase::Fill);
    }

    void recordAfterMidnight()
    {
        // The STX arrives at 23:59:59 and is written after midnight: the new
        // day's file, whose name and header come from one reading of the clock.
        Logger log(m_dir.path(), 3, false);
        log.feed(msg(0) + msg(0) + msg(0) + msg(1) + msg(2) + msg(3));
        log.port.stampMs = QDateTime(QDate(2003, 5, 21), QTime(23, 59, 59)).toMSecsSinceEpoch();
        log.clock.set(QDateTime(QDate(2003, 5, 22), QTime(0, 0, 0)));
        log.clock.setStepMs(1000);
        log.feed("\x02");
        QCOMPARE(file("20030522.SVK"), "Gill Format Polar,03/05/22,00:00:00\r\n" + recordLine(2.0, 156, "23:59:59"));
    }

    void lengthOutsideWindowRefused()
    {
        Logger log(m_dir.path(), 65, false);
        log.port.append(msg(0) + msg(0) + msg(0) + msg(1) + "\x02");
        for (int i = 0; i < 200; ++i)
            log.engine.cycle().step();
        QCOMPARE(log.engine.cycle().phase(), AcquisitionCycle::Phase::Ended);
        QCOMPARE(log.port.pos, 0);
        // a bad value set while running is not taken either
        log.def.Sample_Num = 3;
        log.engine.restart();
        log.feed(msg(0) + msg(0) + msg(0) + msg(1) + msg(2));
        log.def.Sample_Num = 200;
        log.feed(msg(3) + msg(4) + "\x02");
        QCOMPARE(log.engine.recordsWritten(), 2u);
        QVERIFY(log.engine.cycle().Sample_Idx() <= 3);
    }

    void deviceGoneAndBackOnPseudoTerminal()
    {
        // The simulated sensor on a pseudo-terminal behind a link, the real
        // serial control, the cycle woken by the port: every message after
        // sync and fill becomes a record, exact to the byte. Then the device
        // goes away and a new one appears at the same link: the engine finds
        // it, syncs again and records on, into the same file.
        const QString link = m_dir.filePath("ttyWIND");
        const QStringList args{"--wait", "--quiet", "--rate", "40", "--direction", "156", "--link", link};
        auto sensor = std::make_unique<SensorProcess>();
        QVERIFY(sensor->start(args + QStringList{"--count", "12", "--speeds", "1,2,3,4,5,6,7,8,9,10,11,12"}));

        Logger sink(m_dir.path(), 5, false, false);   // only its display and reporter
        Acquisition engine(sink, sink, sink.clock);
        engine.def() = sink.def;
        engine.setDevice(link);
        engine.setSyncToDevice(false);
        QSignalSpy lost(&engine, &Acquisition::deviceLost), back(&engine, &Acquisition::deviceBack);
        engine.restart();
        QVERIFY(engine.start());
        QTRY_COMPARE_WITH_TIMEOUT(sensor->process.state(), QProcess::NotRunning, 30000);
        // messages 1-3 sync, 4-7 fill, 8-11 give records; 12 is never completed
        QByteArray expected = kHeader;
        for (int last = 8; last <= 11; ++last)
            expected += recordLine(last - 2.0);
        QTRY_COMPARE_WITH_TIMEOUT(file(), expected, 30000);
        QTRY_COMPARE_WITH_TIMEOUT(lost.size(), 1, 30000);
        QCOMPARE(engine.state(), Acquisition::State::WaitingForDevice);
        sensor = std::make_unique<SensorProcess>();
        QVERIFY(sensor->start(args + QStringList{"--speed", "20"}));
        QTRY_COMPARE_WITH_TIMEOUT(back.size(), 1, 30000);
        QCOMPARE(engine.state(), Acquisition::State::Running);
        QTRY_VERIFY_WITH_TIMEOUT(engine.recordsWritten() >= 6, 30000);
        // Records before the gap are intact; the first one after it averages
        // speeds from after the gap only.
        const QByteArray all = file(), after = all.mid(expected.size());
        QCOMPARE(all.left(expected.size()), expected);
        QCOMPARE(after, recordLine(20).repeated(after.size() / recordLine(20).size()));
        QCOMPARE(lost.size(), 1);
        QVERIFY(sink.reports.isEmpty());
    }
};

QTEST_GUILESS_MAIN(tst_acquisition)
#include "tst_acquisition.moc"
