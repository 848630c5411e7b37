// The acquisition engine and its cycle on replayed input: sync, fill and
// run, line noise, restarts, STOP and START, midnight, refused lengths.
#include "tests/support/testsupport.h"
#include "tools/sensormessage.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

namespace {

QByteArray msg(double speed)
{
    return sensorMessage(156, speed);
}

QByteArray randomBytes(quint32 seed, int count)
{
    QByteArray out(count, '\0');
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(out.data()), count / 4);
    return out;
}

// Runs of NUL (first, so that a whole message is followed by more noise than
// a message may hold), random bytes, runs of 0xFF and STX, a message too
// long to keep, speeds that are no numbers, a bad checksum, a message
// without field 3.
QByteArray allNoise()
{
    QByteArray out = QByteArray(1500, '\0') + randomBytes(7, 600) + QByteArray(700, '\xff')
        + QByteArray(300, sorvik7::STX) + "\x02Q,229,002.74,M,00," + QByteArray(1100, '7') + "\r\n";
    for (const char *speed : {"", "abc", "0x1A", "1.2.3", "nan", "inf", "--1", "1e999", "1 2"})
        out += SensorMessage::frame("Q,229," + QByteArray(speed) + ",M,00,");
    return out
        + "\x02Q,229,002.74,M,00,\x03"
          "00\r\n"
        + "\x02QQQQQQQQQQ,229229229\r\n";
}

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

    void syncFillRun_data()
    {
        QTest::addColumn<QByteArray>("noise");
        QTest::addColumn<int>("n");
        QTest::addColumn<bool>("checksum"); // the good messages carry one
        QTest::newRow("clean line") << QByteArray() << 10 << true;
        QTest::newRow("everything at once") << allNoise() << 10 << true;
        QTest::newRow("everything at once, no checksums, N=64") << allNoise() << 64 << false;
        QTest::newRow("ETX and hex digits after a message without checksum") << QByteArray("\x03"
                                                                                           "99\x03"
                                                                                           "AB,12")
                                                                             << 3 << false;
    }
    // Nothing is read before START. Then everything up to the fourth STX is
    // dropped, the message that starts there and N-2 more fill the window,
    // and each later one gives a record; debug records carry the whole
    // window, so every slot is checked. Noise after four of those messages
    // changes nothing: every good message is shown and recorded exactly, and
    // nothing else is.
    void syncFillRun()
    {
        QFETCH(QByteArray, noise);
        QFETCH(int, n);
        QFETCH(bool, checksum);
        Logger log(m_dir.path(), n, true, false);
        Traffic traffic{n, true, checksum};
        QByteArray expected = kHeader;
        QByteArray line = "noise" + traffic.messages(3 + n - 1, expected);
        for (int round = 0; round < 4; ++round)
            line += traffic.messages(1, expected) + noise;
        const QByteArray last = traffic.messages(1, expected);
        log.port.append(line + last + sorvik7::STX);
        for (int i = 0; i < 100; ++i)
            log.engine.step();
        QCOMPARE(log.port.pos, 0);

        log.engine.start();
        log.feed(QByteArray());
        QCOMPARE(log.reports, QStringList());
        QCOMPARE(log.engine.cycle().phase(), AcquisitionCycle::Phase::Run);
        QCOMPARE(log.engine.recordsWritten(), quint64(5));
        QCOMPARE(file(), expected);
        QCOMPARE(log.messages.size(), n + 4);
        QCOMPARE(log.messages.last(), last);
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
        QCOMPARE(file(), kHeader + "14:03:07,\x02Q,1,002.00,M,00\r\n" + recordLine(11.0 / 3) + recordLine(6.0));
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
        QCOMPARE(log.engine.cycle().Sample_Idx(), 2); // records in slots 5 and 1 so far
        log.port.open = false;
        log.engine.stop();
        log.engine.step();
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
        log.engine.step();
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

    // A line that gives no valid message is told of once, with what failed
    // meanwhile, and again when valid messages return; the sensor's status
    // once when it changes, not at every message.
    void lineWatch()
    {
        Logger log(m_dir.path(), 3, false, false);
        log.engine.setNoMessageAlarmMs(300);
        QStringList told;
        const auto counts = [](qint64, quint64 bad, quint64 unparsable) {
            return QStringLiteral("%1/%2").arg(bad).arg(unparsable);
        };
        connect(&log.engine, &Acquisition::noValidMessages, this, [&](qint64 ms, quint64 bad, quint64 unparsable) {
            told << QStringLiteral("silent ") + counts(ms, bad, unparsable);
        });
        connect(&log.engine, &Acquisition::validMessagesBack, this, [&](qint64 ms, quint64 bad, quint64 unparsable) {
            told << QStringLiteral("back ") + counts(ms, bad, unparsable);
        });
        connect(&log.engine, &Acquisition::sensorStatusChanged, this,
                [&](const QByteArray &code) { told << QStringLiteral("status ") + QString::fromLatin1(code); });
        log.engine.start();
        const QByteArray badSum = msg(1).replace("001.00", "009.00");
        const QByteArray noSpeed = SensorMessage::frame("Q,229,abc,M,00,");
        const QByteArray nul = SensorMessage::frame(QByteArray("Q,229,001.00,M,0") + '\0' + "0,");
        log.feed(QByteArray(3, sorvik7::STX) + badSum + noSpeed + badSum + nul + "\x02");
        QTRY_COMPARE(told, QStringList{"silent 2/2"});
        QTest::qWait(400);
        const QByteArray status04 = SensorMessage::frame("Q,229,001.00,M,04,");
        log.feed(noSpeed.mid(1) + status04 + status04 + status04 + msg(1) + msg(1) + "\x02");
        QCOMPARE(told, (QStringList{"silent 2/2", "back 2/3", "status 04", "status 00"}));
        QCOMPARE(log.engine.sensorStatus(), QByteArray("00"));
    }

    void lengthOutsideWindowRefused()
    {
        Logger log(m_dir.path(), 65, false);
        log.port.append(msg(0) + msg(0) + msg(0) + msg(1) + "\x02");
        for (int i = 0; i < 200; ++i)
            log.engine.step();
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
};

QTEST_GUILESS_MAIN(tst_acquisition)
#include "tst_acquisition.moc"
