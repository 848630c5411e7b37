// Line noise between good messages: whatever arrives, every good message is
// recorded exactly and nothing else is.
#include "ptyline.h"
#include "testsupport.h"

#include <QDeadlineTimer>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include "sensormessage.h"

namespace {

QByteArray randomBytes(quint32 seed, int count)
{
    QByteArray out(count, '\0');
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(out.data()), count / 4);
    return out;
}

QByteArray speedText(const QByteArray &speed)
{
    return SensorMessage::frame("Q,229," + speed + ",M,00,");
}

QByteArray nonNumericSpeeds()
{
    QByteArray out;
    for (const char *speed : {"", "abc", "0x1A", "1.2.3", "nan", "inf", "--1", "1e999", "1 2"})
        out += speedText(speed);
    return out;
}

QByteArray allNoise()
{
    return randomBytes(7, 600) + QByteArray(1500, '\0') + QByteArray(700, '\xff')
        + QByteArray(300, sorvik7::STX) + nonNumericSpeeds()
        + "\x02Q,229,002.74,M,00,\x03" "00\r\n" + "\x02QQQQQQQQQQ,229229229\r\n";
}

} // namespace

class tst_linenoise : public QObject
{
    Q_OBJECT

private slots:
    void noiseBetweenGoodMessages_data();
    void noiseBetweenGoodMessages();
    void hugeSpeedsKeepAFiniteMean();
};

void tst_linenoise::noiseBetweenGoodMessages_data()
{
    QTest::addColumn<QByteArray>("noise");
    QTest::addColumn<int>("n");
    QTest::addColumn<bool>("checksum"); // the good messages carry one
    QTest::addColumn<bool>("pty");      // through a pseudo-terminal and the serial control
    auto row = [](const char *name, const QByteArray &noise, int n, bool checksum, bool pty = false) {
        QTest::newRow(name) << noise << n << checksum << pty;
    };

    row("random bytes", randomBytes(1, 400), 10, true);
    row("NUL run longer than a message may be", QByteArray(3000, '\0'), 5, true);
    row("STX storm, N=64", QByteArray(100, sorvik7::STX), 64, true);
    row("1 KiB message", "\x02Q,229,002.74,M,00," + QByteArray(1100, '7') + "\r\n", 10, true);
    row("bad checksum", "\x02Q,229,002.74,M,00,\x03" "17\r\n", 3, true);
    row("missing field 3", "\x02QQQQQQQQQQ,229229229\r\n", 3, true);
    row("non-numeric speeds", nonNumericSpeeds(), 5, true);
    row("ETX and hex digits after a message without checksum", "\x03" "99\x03" "AB,12", 3, false);
    row("everything at once", allNoise(), 10, true);
    row("everything at once, no checksums", allNoise(), 20, false);
    // Paced at a character a millisecond, as the line delivers them.
    row("pty: random bytes, NUL run, STX storm",
        randomBytes(3, 300) + QByteArray(300, '\0') + QByteArray(100, sorvik7::STX), 10, true, true);
}

void tst_linenoise::noiseBetweenGoodMessages()
{
    QFETCH(QByteArray, noise);
    QFETCH(int, n);
    QFETCH(bool, checksum);
    QFETCH(bool, pty);

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

    Acquisition *engine = &log.engine;
    std::unique_ptr<Acquisition> live;
    PtyLine device;
    if (!pty) {
        log.feed(line);
    } else {
        // An engine on the serial control, woken by the port; the line is
        // sent as fast as the device takes it.
        QString error;
        QVERIFY2(device.open(&error), qPrintable(error));
        live = std::make_unique<Acquisition>(log, log, log.clock);
        engine = live.get();
        engine->def() = log.def;
        engine->def().Stop_Flag = true;
        engine->setDevice(device.slavePath());
        engine->setSyncToDevice(false);
        engine->restart();
        QVERIFY(engine->start());
        qsizetype sent = 0;
        for (QDeadlineTimer deadline(30000); sent < line.size() && !deadline.hasExpired(); QTest::qWait(1))
            sent += device.send(line.mid(sent, 4096));
        QCOMPARE(sent, line.size());
        QTRY_VERIFY_WITH_TIMEOUT(engine->recordsWritten() >= 5, 30000);
    }

    QCOMPARE(log.reports, QStringList());
    QCOMPARE(engine->cycle().phase(), AcquisitionCycle::Phase::Run);
    QCOMPARE(engine->recordsWritten(), quint64(5));
    QCOMPARE(fileBytes(engine->dataPath()), expected);
}

void tst_linenoise::hugeSpeedsKeepAFiniteMean()
{
    // Speeds so large that their sum overflows a double still have a mean.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Logger log(dir.path(), 3, false);
    log.feed(speedText("1e308").repeated(6) + speedText("1.7976931348623157e308") + sorvik7::STX);

    const QList<QByteArray> lines = fileBytes(log.engine.dataPath()).split('\n');
    QCOMPARE(lines.size(), 3 + 1);
    QCOMPARE(lines.at(1).split(',').at(3).toDouble(), 1e308);
    // (1e308 + 1e308 + max) / 3, as close as a double gets.
    const double want = 1e308 / 3 * 2 + 1.7976931348623157e308 / 3;
    const QByteArray mean = lines.at(2).split(',').at(3);
    QVERIFY2(qAbs(mean.toDouble() - want) <= want * 1e-15, mean.left(20).constData());
}

QTEST_GUILESS_MAIN(tst_linenoise)
#include "tst_linenoise.moc"
