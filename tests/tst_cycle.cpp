#include "acquisition/acquisitioncycle.h"
#include "acquisition/clock.h"
#include "acquisition/cycledisplay.h"
#include "acquisition/portinput.h"
#include "acquisition/sorvik7_def.h"
#include "datafile/datafile.h"
#include "datafile/messagereporter.h"
#include "serial/initcomm.h"
#include "serial/mscomm.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

namespace {

// A port whose input the test writes; it opens and closes like a real one.
class ScriptPort final : public PortInput
{
public:
    qint16 InBufferCount() override { return open ? qint16(std::min<qsizetype>(data.size() - pos, 32767)) : 0; }
    void discardInput() override { pos = data.size(); ++discards; }
    QByteArray Input() override { return data.mid(pos++, 1); }
    void feed(const QByteArray &bytes) { data += bytes; }
    qsizetype waiting() const { return data.size() - pos; }

    QByteArray data;
    qsizetype pos = 0;
    bool open = true;
    int discards = 0;
};

class Display final : public CycleDisplay
{
public:
    void showMessage(const QByteArray &msg) override { messages << msg; }
    void showCount(int n) override { counts << n; }
    QList<QByteArray> messages;
    QList<int> counts;
};

class Reporter final : public MessageReporter
{
public:
    void report(const QString &text) override
    {
        texts << text;
        if (duringBox)
            duringBox();
    }
    QStringList texts;
    std::function<void()> duringBox;
};

QByteArray msg(double speed)
{
    return sensorMessage(156, speed);
}

} // namespace

class tst_cycle : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void syncFillRun();
    void slotSequenceAndCounter();
    void shortMessagesDropped();
    void restartStartsAfresh();
    void stopStartWithinOneActivation();
    void recordAfterMidnight();
    void messageBoxPausesCycle();
    void lengthOutsideWindowRefused();
    void endToEndOnPseudoTerminal();

private:
    void drain(int extraSteps = 3);
    QByteArray file() const;
    QByteArray expectedRecord(const QByteArray &time, double mean, int dir = 156) const;

    QTemporaryDir m_dir;
    sorvik7_def m_def;
    ScriptPort m_port;
    Display m_display;
    Reporter m_reporter;
    SettableClock m_clock;
    std::unique_ptr<DataFile> m_file;
    std::unique_ptr<AcquisitionCycle> m_cycle;
};

void tst_cycle::init()
{
    QDir(m_dir.path()).removeRecursively();
    QDir().mkpath(m_dir.path());
    m_def = sorvik7_def();
    m_def.Save_Path = m_dir.path();
    m_port = ScriptPort();
    m_display = Display();
    m_reporter.texts.clear();
    m_reporter.duringBox = nullptr;
    m_clock.set(QDateTime(QDate(2003, 5, 21), QTime(14, 3, 7)));
    m_clock.setStepMs(0);
    m_file = std::make_unique<DataFile>(m_def, m_clock, m_reporter);
    m_file->setSyncToDevice(false);
    m_cycle = std::make_unique<AcquisitionCycle>(m_def, m_port, m_display, *m_file, m_clock);
    m_cycle->restart();
}

void tst_cycle::drain(int extraSteps)
{
    while (m_port.waiting() > 0)
        m_cycle->step();
    for (int i = 0; i < extraSteps; ++i)
        m_cycle->step();
}

QByteArray tst_cycle::file() const
{
    QFile f(m_dir.path() + "/20030521.SVK");
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray tst_cycle::expectedRecord(const QByteArray &time, double mean, int dir) const
{
    return time + ",\x02Q," + QByteArray::number(dir).rightJustified(3, '0') + ','
        + QString::asprintf("%06.2f", mean).toLatin1() + ",M,00\r\n";
}

void tst_cycle::syncFillRun()
{
    // Nothing is read before START.
    m_port.feed("noise" + msg(90) + msg(91) + msg(92));
    for (int i = 0; i < 100; ++i)
        m_cycle->step();
    QCOMPARE(m_port.pos, 0);
    // N = 10: everything up to the fourth STX is dropped, the message that
    // starts there and the eight after it fill slots 1..9, and from then on
    // every message gives a record averaging the last ten speeds.
    m_def.Stop_Flag = false;
    for (int i = 1; i <= 25; ++i)
        m_port.feed(msg(i));
    m_port.feed("\x02");
    drain();
    QByteArray expected = "Gill Format Polar,03/05/21,14:03:07\r\n";
    for (int last = 10; last <= 25; ++last)
        expected += expectedRecord("14:03:07", (last - 4.5), 156);
    QCOMPARE(file(), expected);
    QCOMPARE(m_cycle->recordsWritten(), 16u);
    QCOMPARE(m_display.messages.size(), 25);
    QCOMPARE(m_display.messages.last(), msg(25));
}

void tst_cycle::slotSequenceAndCounter()
{
    m_def.Sample_Num = 3;
    m_def.Stop_Flag = false;
    m_port.feed(msg(0) + msg(0) + msg(0));      // sync
    m_port.feed(msg(1) + msg(2));               // fill slots 1, 2
    m_port.feed("\x02");
    drain();
    QCOMPARE(m_cycle->phase(), AcquisitionCycle::Phase::Run);
    QCOMPARE(m_cycle->Sample_Idx(), 3);

    QList<int> written;
    for (double s : {3.0, 6.0, 9.0, 12.0}) {
        m_display.counts.clear();
        m_port.feed(msg(s).mid(1) + "\x02");
        drain(0);
        // the backlog at every step, then the slot just written
        QCOMPARE(m_display.counts.first(), int(msg(s).size()));
        written << m_display.counts.last();
    }
    QCOMPARE(written, (QList<int>{3, 1, 2, 3}));
    QCOMPARE(m_cycle->Speed_Buf()[1], 6.0);
    QCOMPARE(m_cycle->Avg_Speed(), (6.0 + 9.0 + 12.0) / 3);
    QVERIFY(file().endsWith(expectedRecord("14:03:07", 2.0) + expectedRecord("14:03:07", 11.0 / 3)
                            + expectedRecord("14:03:07", 6.0) + expectedRecord("14:03:07", 9.0)));
}

void tst_cycle::shortMessagesDropped()
{
    m_def.Sample_Num = 3;
    m_def.Stop_Flag = false;
    m_port.feed(msg(0) + msg(0) + msg(0) + msg(1) + msg(2));
    // 19 characters when the next STX comes: dropped; 20: taken.
    const QByteArray nineteen("\x02Q,1,007.00,M,00,A\r");
    const QByteArray twenty("\x02Q,1,008.00,M,00,AB\r");
    QCOMPARE(nineteen.size(), 19);
    QCOMPARE(twenty.size(), 20);
    m_port.feed(nineteen + twenty + "\x02");
    drain();
    QCOMPARE(m_cycle->recordsWritten(), 1u);
    QVERIFY(file().endsWith(",\x02Q,1,003.67,M,00\r\n")); // (1 + 2 + 8) / 3
    QVERIFY(!m_display.messages.contains(nineteen));
}

void tst_cycle::restartStartsAfresh()
{
    m_def.Sample_Num = 3;
    m_def.Stop_Flag = false;
    m_port.feed(msg(0) + msg(0) + msg(0) + msg(1) + msg(2) + msg(3) + "\x02");
    drain();
    QCOMPARE(m_cycle->recordsWritten(), 1u);
    m_port.feed(msg(50).mid(1));
    const int discards = m_port.discards;
    m_cycle->restart();
    QCOMPARE(m_port.discards, discards + 1);
    QCOMPARE(m_port.waiting(), 0);
    QCOMPARE(m_cycle->Speed_Buf(), SpeedBuffer{});
    QCOMPARE(m_cycle->Sample_Idx(), 1);
    // running: sync again on four STX, fill slots 1 and 2, then record
    m_port.feed(msg(0) + msg(0) + msg(0) + msg(7) + msg(8) + msg(9) + "\x02");
    drain();
    QCOMPARE(m_cycle->recordsWritten(), 2u);
    QVERIFY(file().endsWith(expectedRecord("14:03:07", 8.0)));
}

void tst_cycle::stopStartWithinOneActivation()
{
    m_def.Sample_Num = 5;
    m_def.Stop_Flag = false;
    m_port.feed(msg(0) + msg(0) + msg(0));
    for (int i = 1; i <= 6; ++i)
        m_port.feed(msg(i));
    m_port.feed("\x02");
    drain();
    QCOMPARE(m_cycle->Sample_Idx(), 2);       // records in slots 5 and 1 so far
    // STOP: the port closes; the cycle goes back to idle
    m_def.Stop_Flag = true;
    m_port.open = false;
    drain();
    QCOMPARE(m_cycle->phase(), AcquisitionCycle::Phase::Idle);
    // START again, and the same again once the slot has reached 4
    m_port = ScriptPort();
    m_def.Stop_Flag = false;
    m_port.feed(msg(0) + msg(0));
    drain();
    QCOMPARE(m_cycle->phase(), AcquisitionCycle::Phase::Sync);   // slot 2: three STX end it
    m_port.feed("\x02");
    drain();
    QCOMPARE(m_cycle->phase(), AcquisitionCycle::Phase::Fill);
    for (int i = 10; i <= 17; ++i)
        m_port.feed(msg(i));
    m_port.feed("\x02");
    drain();
    // the first record of the new run averages only speeds of the new run
    QVERIFY(file().contains(expectedRecord("14:03:07", 4.0) + expectedRecord("14:03:07", 12.0)
                            + expectedRecord("14:03:07", 13.0)));
    QVERIFY(m_cycle->Sample_Idx() >= 4);
    m_def.Stop_Flag = true;
    drain();
    m_def.Stop_Flag = false;
    m_port.feed("junk\x02");
    drain();
    QCOMPARE(m_cycle->phase(), AcquisitionCycle::Phase::Fill); // the first STX ended the sync
}

void tst_cycle::recordAfterMidnight()
{
    m_def.Sample_Num = 3;
    m_def.Stop_Flag = false;
    m_port.feed(msg(0) + msg(0) + msg(0) + msg(1) + msg(2) + msg(3));
    drain();
    // The clock moves on by a second at every reading: the STX is read at
    // 23:59:59, the file opened at midnight.
    m_clock.set(QDateTime(QDate(2003, 5, 21), QTime(23, 59, 59)));
    m_clock.setStepMs(1000);
    m_port.feed("\x02");
    drain(0);
    QFile f(m_dir.path() + "/20030522.SVK");
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), "Gill Format Polar,03/05/22,00:00:01\r\n" + expectedRecord("23:59:59", 2.0));
}

void tst_cycle::messageBoxPausesCycle()
{
    // While a step shows a message box the pacing timer keeps firing; none
    // of its callbacks may run a step or read the port.
    m_def.Sample_Num = 3;
    m_def.Save_Path = m_dir.path() + "/missing";
    m_def.Stop_Flag = false;
    quint64 stepsBefore = 0, stepsAfter = 0;
    qsizetype readBefore = 0, readAfter = 0;
    m_reporter.duringBox = [&] {
        stepsBefore = m_cycle->stepsRun();
        readBefore = m_port.pos;
        QTest::qWait(100);
        stepsAfter = m_cycle->stepsRun();
        readAfter = m_port.pos;
    };
    m_port.feed(msg(0) + msg(0) + msg(0) + msg(1) + msg(2) + msg(3) + "\x02" + QByteArray(500, 'x'));
    QTRY_VERIFY_WITH_TIMEOUT(!m_reporter.texts.isEmpty(), 5000);
    QVERIFY(stepsBefore > 0);
    QCOMPARE(stepsAfter, stepsBefore);
    QCOMPARE(readAfter, readBefore);
    QTRY_COMPARE_WITH_TIMEOUT(m_port.waiting(), 0, 5000);  // and reading goes on after OK
}

void tst_cycle::lengthOutsideWindowRefused()
{
    m_def.Sample_Num = 65;
    m_def.Stop_Flag = false;
    m_cycle->restart();
    m_port.feed(msg(0) + msg(0) + msg(0) + msg(1) + "\x02");
    for (int i = 0; i < 200; ++i)
        m_cycle->step();
    QCOMPARE(m_cycle->phase(), AcquisitionCycle::Phase::Ended);
    QCOMPARE(m_port.pos, 0);
    // a bad value set while running is not taken either
    m_def.Sample_Num = 3;
    m_cycle->restart();
    m_port.feed(msg(0) + msg(0) + msg(0) + msg(1) + msg(2));
    drain();
    m_def.Sample_Num = 200;
    m_port.feed(msg(3) + msg(4) + "\x02");
    drain();
    QCOMPARE(m_cycle->recordsWritten(), 2u);
    QVERIFY(m_cycle->Sample_Idx() <= 3);
}

void tst_cycle::endToEndOnPseudoTerminal()
{
    // The simulated sensor on a real pseudo-terminal, the real serial
    // control, paced by the cycle's own timer: every message after sync and
    // fill becomes a record, exact to the byte.
    QString dir = qEnvironmentVariable("SORVIK7_BIN_DIR");
    if (dir.isEmpty())
        dir = QCoreApplication::applicationDirPath() + "/..";
    QProcess sensor;
    sensor.start(dir + "/tools/sorvik7-sensor",
                 {"--wait", "--quiet", "--rate", "40", "--count", "12", "--direction", "156",
                  "--speeds", "1,2,3,4,5,6,7,8,9,10,11,12"});
    QVERIFY(sensor.waitForReadyRead(5000));
    qputenv("SORVIK7_COM1", sensor.readLine().trimmed());

    m_def.Sample_Num = 5;
    MSComm comm;
    AcquisitionCycle cycle(m_def, comm, m_display, *m_file, m_clock);
    cycle.restart();
    m_def.Stop_Flag = false;
    QVERIFY(Init_Comm(comm, m_def, m_reporter));
    QTRY_COMPARE_WITH_TIMEOUT(sensor.state(), QProcess::NotRunning, 10000);
    QTRY_COMPARE(comm.InBufferCount(), 0);
    // messages 1-3 sync, 4-7 fill, 8-11 give records; 12 is never completed
    QByteArray expected = "Gill Format Polar,03/05/21,14:03:07\r\n";
    for (int last = 8; last <= 11; ++last)
        expected += expectedRecord("14:03:07", last - 2.0);
    QCOMPARE(file(), expected);
    QVERIFY(m_reporter.texts.isEmpty());
}

QTEST_GUILESS_MAIN(tst_cycle)
#include "tst_cycle.moc"
