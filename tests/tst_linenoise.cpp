// Line noise between good messages: whatever arrives, every good message is
// recorded exactly and nothing else is.
#include "sensormessage.h"
#include "testsupport.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

namespace {

QByteArray randomBytes(quint32 seed, int count)
{
    QByteArray out(count, '\0');
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(out.data()), count / 4);
    return out;
}

// Random bytes, runs of NUL, 0xFF and STX longer than a message may be, a
// message too long to keep, speeds that are no numbers, a bad checksum, a
// message without field 3.
QByteArray allNoise()
{
    QByteArray out = randomBytes(7, 600) + QByteArray(1500, '\0') + QByteArray(700, '\xff')
        + QByteArray(300, sorvik7::STX) + "\x02Q,229,002.74,M,00," + QByteArray(1100, '7') + "\r\n";
    for (const char *speed : {"", "abc", "0x1A", "1.2.3", "nan", "inf", "--1", "1e999", "1 2"})
        out += SensorMessage::frame("Q,229," + QByteArray(speed) + ",M,00,");
    return out + "\x02Q,229,002.74,M,00,\x03" "00\r\n" + "\x02QQQQQQQQQQ,229229229\r\n";
}

} // namespace

class tst_linenoise : public QObject
{
    Q_OBJECT

private slots:
    void noiseBetweenGoodMessages_data()
    {
        QTest::addColumn<QByteArray>("noise");
        QTest::addColumn<int>("n");
        QTest::addColumn<bool>("checksum"); // the good messages carry one
        QTest::newRow("everything at once") << allNoise() << 10 << true;
        QTest::newRow("everything at once, no checksums, N=64") << allNoise() << 64 << false;
        QTest::newRow("ETX and hex digits after a message without checksum")
            << QByteArray("\x03" "99\x03" "AB,12") << 3 << false;
    }
    void noiseBetweenGoodMessages()
    {
        QFETCH(QByteArray, noise);
        QFETCH(int, n);
        QFETCH(bool, checksum);

        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        // Debug records carry the whole window: every slot is checked, not just the mean.
        Logger log(dir.path(), n, true);

        // Synchronise and fill the window on a clean line, then noise after
        // each of four messages, then one more and the STX that records it.
        Traffic traffic{n, true, checksum};
        QByteArray expected = kHeader;
        QByteArray line = traffic.messages(3 + n - 1, expected);
        for (int round = 0; round < 4; ++round)
            line += traffic.messages(1, expected) + noise;
        line += traffic.messages(1, expected) + sorvik7::STX;

        log.feed(line);

        QCOMPARE(log.reports, QStringList());
        QCOMPARE(log.engine.cycle().phase(), AcquisitionCycle::Phase::Run);
        QCOMPARE(log.engine.recordsWritten(), quint64(5));
        QCOMPARE(fileBytes(log.engine.dataPath()), expected);
    }
};

QTEST_GUILESS_MAIN(tst_linenoise)
#include "tst_linenoise.moc"
