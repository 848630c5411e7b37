// Line noise between good messages: whatever arrives, every good message is
// recorded exactly and nothing else is.
#include "acquisition/acquisitioncycle.h"
#include "acquisition/clock.h"
#include "acquisition/cycledisplay.h"
#include "datafile/datafile.h"
#include "serial/initcomm.h"
#include "serial/mscomm.h"
#include "testsupport.h"

#include <QDeadlineTimer>
#include <memory>

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <limits>

namespace {

const QByteArray kHeader = "Gill Format Polar,03/05/21,14:03:07\r\n";

QByteArray randomBytes(quint32 seed, int count)
{
    QRandomGenerator gen(seed);
    QByteArray out(count, '\0');
    for (char &c : out)
        c = char(gen.bounded(256));
    return out;
}

QByteArray nonNumericSpeeds()
{
    QByteArray out;
    for (const char *speed : {"", "abc", "0x1A", "1.2.3", "nan", "inf", "--1", "1e999", " 12"})
        out += messageWithSpeedText(speed);
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
    QTest::addColumn<bool>("debug");
    QTest::addColumn<bool>("checksum");   // the good messages carry one
    QTest::addColumn<bool>("pty");        // through a pseudo-terminal and the serial control
    auto row = [](const char *name, const QByteArray &noise, int n, bool debug, bool checksum,
                  bool pty = false) { QTest::newRow(name) << noise << n << debug << checksum << pty; };

    row("random bytes", randomBytes(1, 400), 10, false, true);
    row("random bytes, no checksums", randomBytes(2, 400), 3, false, false);
    row("NUL run longer than a message may be", QByteArray(3000, '\0'), 5, false, true);
    row("0xFF run", QByteArray(500, '\xff'), 5, true, true);
    row("STX storm", QByteArray(200, sorvik7::STX), 10, false, true);
    row("STX storm, debug, N=64", QByteArray(100, sorvik7::STX), 64, true, true);
    row("1 KiB message", "\x02Q,229,002.74,M,00," + QByteArray(1100, '7') + "\r\n", 10, false, true);
    row("bad checksum", "\x02Q,229,002.74,M,00,\x03" "17\r\n", 3, false, true);
    row("missing field 3", "\x02QQQQQQQQQQ,229229229\r\n", 3, false, true);
    row("missing field 3, no checksums", "\x02QQQQQQQQQQ,229229229,\r\n", 3, true, false);
    row("non-numeric speeds", nonNumericSpeeds(), 5, true, true);
    row("short message", "\x02Q,229,002.74\r\n", 3, false, true);
    row("ETX and hex digits after a message without checksum", "\x03" "99\x03" "AB,12", 3, false, false);
    row("everything at once", allNoise(), 10, true, true);
    row("everything at once, no checksums", allNoise(), 20, false, false);
    row("pty: everything at once", allNoise(), 10, true, true, true);
    row("pty: NUL run", QByteArray(3000, '\0'), 5, false, true, true);
}

void tst_linenoise::noiseBetweenGoodMessages()
{
    QFETCH(QByteArray, noise);
    QFETCH(int, n);
    QFETCH(bool, debug);
    QFETCH(bool, checksum);
    QFETCH(bool, pty);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    sorvik7_def def;
    def.Save_Path = dir.path();
    def.Sample_Num = qint16(n);
    def.Debug_Flag = debug;
    def.Stop_Flag = false;
    NullDisplay display;
    CollectingReporter reporter;
    SettableClock clock;
    DataFile file(def, clock, reporter);
    file.setSyncToDevice(false);

    ScriptedPort scripted;
    std::unique_ptr<PtyDevice> device;
    std::unique_ptr<MSComm> comm;
    if (pty) {
        device = std::make_unique<PtyDevice>(1);
        QVERIFY(device->isValid());
        comm = std::make_unique<MSComm>();
        QVERIFY(Init_Comm(*comm, def, reporter));
    }
    PortInput &port = pty ? static_cast<PortInput &>(*comm) : scripted;
    AcquisitionCycle cycle(def, port, display, file, clock);
    cycle.restart();

    ExpectedRecords expected(n, debug);
    QByteArray expectedFile = kHeader;
    QByteArray line;
    int i = 0;
    auto good = [&] {
        const int direction = (i * 37) % 360;
        const int speed = (i * 7) % 40;
        ++i;
        expectedFile += expected.next(direction, speed);
        line += sensorMessage(direction, speed, checksum);
    };
    // Synchronise and fill the window on a clean line first.
    for (int k = 0; k < 3 + n - 1; ++k)
        good();
    for (int round = 0; round < 4; ++round) {
        good();
        line += noise;
    }
    good();
    line += sorvik7::STX;

    if (!pty) {
        scripted.feed(line);
        while (!scripted.drained())
            cycle.step();
    } else {
        // Feed the line as fast as the device takes it and read everything
        // that has arrived, then wait for more.
        qsizetype sent = 0;
        const QDeadlineTimer deadline(30000);
        while ((sent < line.size() || port.InBufferCount() > 0) && !deadline.hasExpired()) {
            sent += device->send(line.mid(sent, 4096));
            QTest::qWait(1);
            while (port.InBufferCount() > 0)
                cycle.step();
        }
        QCOMPARE(sent, line.size());
    }

    QCOMPARE(reporter.texts, QStringList());
    QCOMPARE(cycle.phase(), AcquisitionCycle::Phase::Run);
    QCOMPARE(cycle.recordsWritten(), quint64(5));
    QCOMPARE(fileBytes(file.Data_Path()), expectedFile);
}

void tst_linenoise::hugeSpeedsKeepAFiniteMean()
{
    // Speeds so large that their sum overflows a double still have a mean.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    sorvik7_def def;
    def.Save_Path = dir.path();
    def.Sample_Num = 3;
    def.Stop_Flag = false;
    ScriptedPort port;
    NullDisplay display;
    CollectingReporter reporter;
    SettableClock clock;
    DataFile file(def, clock, reporter);
    file.setSyncToDevice(false);
    AcquisitionCycle cycle(def, port, display, file, clock);
    cycle.restart();

    for (int k = 0; k < 6; ++k)
        port.feed(messageWithSpeedText("1e308"));
    port.feed(messageWithSpeedText("1.7976931348623157e308") + sorvik7::STX);
    while (!port.drained())
        cycle.step();

    const QList<QByteArray> lines = fileBytes(file.Data_Path()).split('\n');
    QCOMPARE(lines.size(), 3 + 1);
    const QByteArray mean1 = lines.at(1).split(',').at(3);
    const QByteArray mean2 = lines.at(2).split(',').at(3);
    QCOMPARE(mean1.toDouble(), 1e308);
    // (1e308 + 1e308 + max) / 3, as close as a double gets.
    const double max = std::numeric_limits<double>::max();
    const double want = 1e308 / 3 * 2 + max / 3;
    QVERIFY2(qAbs(mean2.toDouble() - want) <= want * 1e-15, mean2.left(20).constData());
}

QTEST_GUILESS_MAIN(tst_linenoise)
#include "tst_linenoise.moc"
