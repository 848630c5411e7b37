#include "linepacer.h"
#include "readingsource.h"
#include "sensormessage.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {

// A running sorvik7-sensor and the slave side of its pty.
class SensorRun
{
public:
    ~SensorRun()
    {
        closePort();
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(2000);
        }
    }

    bool start(const QStringList &arguments)
    {
        // CTest names the build folder; run by hand, the test sits in its
        // tests/ subfolder.
        QString dir = qEnvironmentVariable("SORVIK7_BIN_DIR");
        if (dir.isEmpty())
            dir = QCoreApplication::applicationDirPath() + u"/.."_s;
        process.start(dir + u"/tools/sorvik7-sensor"_s, arguments);
        if (!process.waitForStarted(5000))
            return false;
        while (!process.canReadLine() || process.peek(4096).count('\n') < 2) {
            if (!process.waitForReadyRead(5000))
                return false;
        }
        path = QString::fromLocal8Bit(process.readLine().trimmed());
        return process.readLine().trimmed() == "SORVIK7_COM1=" + path.toLocal8Bit();
    }

    bool openPort()
    {
        fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        return fd >= 0;
    }

    void closePort()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }

    // Reads until `bytes` have come or the time is up.
    QByteArray read(qsizetype bytes, int timeoutMs)
    {
        QByteArray data;
        QElapsedTimer clock;
        clock.start();
        while (data.size() < bytes && clock.elapsed() < timeoutMs) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 20) > 0 && (p.revents & POLLIN)) {
                char buffer[1024];
                const ssize_t n = ::read(fd, buffer, size_t(std::min<qsizetype>(sizeof buffer, bytes - data.size())));
                if (n > 0)
                    data.append(buffer, n);
            }
        }
        return data;
    }

    QProcess process;
    QString path;
    int fd = -1;
};

// Splits a stream into messages and checks each one's frame and checksum.
int countValidMessages(const QByteArray &stream, bool *allValid)
{
    *allValid = true;
    int count = 0;
    const QList<QByteArray> pieces = stream.split(SensorMessage::Stx);
    // The first piece is whatever came before the first STX: the tail of a
    // message that started before the port was opened.
    for (qsizetype i = 1; i < pieces.size(); ++i) {
        const QByteArray &piece = pieces.at(i);
        const qsizetype etx = piece.indexOf(SensorMessage::Etx);
        if (etx < 0 || piece.size() < etx + 5) // a cut piece at the end of the read
            continue;
        const QByteArray body = piece.left(etx);
        const QByteArray sum = QByteArray::number(SensorMessage::checksum(body), 16).toUpper().rightJustified(2, '0');
        *allValid = *allValid && piece.mid(etx + 1) == sum + "\r\n";
        ++count;
    }
    return count;
}

} // namespace

class tst_sensor : public QObject
{
    Q_OBJECT

private slots:
    void message_data();
    void message();
    void readings();
    void pacer_data();
    void pacer();
    void countedRun();
    void lineRate();
    void nothingQueuedWhileNobodyListens();
    void signalEndsCleanly_data();
    void signalEndsCleanly();
};

void tst_sensor::message_data()
{
    QTest::addColumn<int>("direction");
    QTest::addColumn<double>("speed");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("example") << 156 << 0.05 << QByteArray("\x02Q,156,000.05,M,00,\x03" "19\r\n");
    QTest::newRow("whole") << 0 << 1.0 << QByteArray("\x02Q,000,001.00,M,00,\x03" "1F\r\n");
    QTest::newRow("half") << 0 << 2.5 << QByteArray("\x02Q,000,002.50,M,00,\x03" "19\r\n");
    QTest::newRow("rounded") << 359 << 123.456 << QByteArray("\x02Q,359,123.46,M,00,\x03" "13\r\n");
    QTest::newRow("direction wraps") << 405 << 10.0 << QByteArray("\x02Q,045,010.00,M,00,\x03" "1E\r\n");
    QTest::newRow("negative direction") << -353 << 0.0 << QByteArray("\x02Q,007,000.00,M,00,\x03" "19\r\n");
    QTest::newRow("too fast is clamped") << 0 << 1000.0 << QByteArray("\x02Q,000,999.99,M,00,\x03" "17\r\n");
    QTest::newRow("almost 1000 stays 3 digits") << 0 << 999.996 << QByteArray("\x02Q,000,999.99,M,00,\x03" "17\r\n");
}

void tst_sensor::message()
{
    QFETCH(int, direction);
    QFETCH(double, speed);
    QFETCH(QByteArray, expected);
    QCOMPARE(SensorMessage::polar(direction, speed), expected);
    // A checksum below 0x10 keeps its leading zero.
    QCOMPARE(SensorMessage::frame("AB"), QByteArray("\x02" "AB\x03" "03\r\n"));
}

void tst_sensor::readings()
{
    ReadingSource list = ReadingSource::fixed({1.0, 2.5, 7.0}, 90);
    QList<double> speeds;
    for (int i = 0; i < 7; ++i) {
        const ReadingSource::Reading r = list.next();
        QCOMPARE(r.direction, 90);
        speeds.append(r.speed);
    }
    QCOMPARE(speeds, (QList<double>{1.0, 2.5, 7.0, 1.0, 2.5, 7.0, 1.0}));

    ReadingSource a = ReadingSource::walk(42);
    ReadingSource b = ReadingSource::walk(42);
    ReadingSource c = ReadingSource::walk(43);
    bool differs = false;
    for (int i = 0; i < 5000; ++i) {
        const ReadingSource::Reading ra = a.next();
        const ReadingSource::Reading rb = b.next();
        const ReadingSource::Reading rc = c.next();
        QCOMPARE(ra.speed, rb.speed);
        QCOMPARE(ra.direction, rb.direction);
        differs = differs || ra.speed != rc.speed;
        QVERIFY2(ra.speed >= 0.0 && ra.speed <= 40.0, qPrintable(QString::number(ra.speed)));
        QVERIFY(ra.direction >= 0 && ra.direction < 360);
    }
    QVERIFY(differs);
}

void tst_sensor::pacer_data()
{
    QTest::addColumn<double>("rate");
    QTest::addColumn<int>("lateMs");    // the caller wakes up to this much late
    QTest::addColumn<int>("stallMs");   // one hold-up of the caller in the middle

    QTest::newRow("1 Hz on time") << 1.0 << 0 << 0;
    QTest::newRow("20 Hz, late wake-ups") << 20.0 << 7 << 0;
    QTest::newRow("0.3 Hz, late wake-ups") << 0.3 << 15 << 0;
    QTest::newRow("back to back") << 0.0 << 0 << 0;
    QTest::newRow("back to back, late wake-ups") << 0.0 << 9 << 0;
    QTest::newRow("back to back, held up") << 0.0 << 3 << 1500;
    QTest::newRow("above line rate") << 100.0 << 3 << 0;
}

void tst_sensor::pacer()
{
    QFETCH(double, rate);
    QFETCH(int, lateMs);
    QFETCH(int, stallMs);

    constexpr qint64 ms = 1'000'000;
    constexpr qint64 messageBytes = 24;
    constexpr qint64 duration = 20'000 * ms;
    LinePacer pacer(rate);
    pacer.start(0);

    // When each byte left the line, checked against 960 characters per
    // second afterwards.
    QList<qint64> byteTimes;
    quint32 noise = 12345;
    qint64 now = 0;
    bool stalled = false;
    while (now <= duration) {
        for (;;) {
            byteTimes.append(QList<qint64>(pacer.take(now), now));
            if (!pacer.messageDue(now))
                break;
            pacer.queue(now, messageBytes);
        }
        qint64 wake = pacer.nextWake(now);
        QVERIFY(wake >= now);
        noise = noise * 1103515245u + 12345u;
        wake += lateMs > 0 ? qint64(noise >> 8) % (lateMs * ms) : 0;
        if (!stalled && stallMs > 0 && wake > duration / 2) {
            wake += stallMs * ms;
            stalled = true;
        }
        now = std::max(wake, now + 1);
    }

    // No second of the run carries more than the line can, beyond the
    // bytes handed over together in one chunk or after a late wake-up, and
    // the short catch-up allowed after a hold-up.
    const qsizetype catchUp = qsizetype(LinePacer::CatchUpNs * 960 / LinePacer::NsPerSecond);
    const qsizetype bound = 961 + (LinePacer::ChunkNs + lateMs * ms) * 960 / LinePacer::NsPerSecond + 1 + (stallMs > 0 ? catchUp : 0);
    for (qsizetype i = 0, j = 0; i < byteTimes.size(); ++i) {
        while (byteTimes.at(i) - byteTimes.at(j) >= 1000 * ms)
            ++j;
        QVERIFY2(i - j + 1 <= bound, qPrintable(u"%1 bytes within one second"_s.arg(i - j + 1)));
    }

    const qint64 lineMessages = 960 / messageBytes;
    if (rate > 0.0 && rate <= lineMessages) {
        // The schedule is absolute: message k went out at k / rate, so the
        // count is exact whatever the wake-up delays.
        const qint64 expected = qint64(double(duration) / ms * rate / 1000.0) + 1;
        QVERIFY(qAbs(pacer.messagesQueued() - expected) <= 1);
        QCOMPARE(qint64(byteTimes.size()) / messageBytes, pacer.messagesQueued() - (pacer.pending() > 0 ? 1 : 0));
    } else {
        // Back to back: the line is never idle, so exactly 960 bytes a
        // second, less what a hold-up cost beyond the catch-up.
        const qint64 lost = stallMs > 0 ? (stallMs * ms - LinePacer::CatchUpNs) * 960 / LinePacer::NsPerSecond : 0;
        const qint64 expected = 960 * duration / LinePacer::NsPerSecond - lost;
        QVERIFY2(qAbs(byteTimes.size() - expected) <= 12 + lateMs, qPrintable(u"%1 bytes, expected %2"_s.arg(byteTimes.size()).arg(expected)));
    }
}

void tst_sensor::countedRun()
{
    SensorRun run;
    QVERIFY(run.start({u"--count"_s, u"5"_s, u"--rate"_s, u"20"_s, u"--speeds"_s, u"1,2.5"_s, u"--wait"_s}));
    QVERIFY(run.openPort());
    QElapsedTimer clock;
    clock.start();
    const QByteArray data = run.read(120, 3000);
    const QByteArray one = "\x02Q,000,001.00,M,00,\x03" "1F\r\n";
    const QByteArray two = "\x02Q,000,002.50,M,00,\x03" "19\r\n";
    QCOMPARE(data, one + two + one + two + one);
    // Four intervals of 50 ms; the first message is sent on opening.
    QVERIFY2(clock.elapsed() >= 190, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(run.process.waitForFinished(3000));
    QCOMPARE(run.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(run.process.exitCode(), 0);
    QVERIFY(run.read(1, 50).isEmpty()); // and nothing after the fifth
    QVERIFY(run.process.readAllStandardError().contains("5 messages, 120 bytes sent, 0 bytes dropped"));
}

void tst_sensor::lineRate()
{
    SensorRun run;
    QVERIFY(run.start({u"--line-rate"_s, u"--wait"_s, u"--quiet"_s}));
    QVERIFY(run.openPort());
    QElapsedTimer clock;
    clock.start();
    const QByteArray data = run.read(1 << 20, 1500);
    const double seconds = clock.elapsed() / 1000.0;
    const double perSecond = data.size() / seconds;
    QVERIFY2(perSecond > 880 && perSecond < 990, qPrintable(u"%1 characters per second"_s.arg(perSecond)));
    bool valid = false;
    QVERIFY(countValidMessages(data, &valid) >= 50);
    QVERIFY(valid);
}

void tst_sensor::nothingQueuedWhileNobodyListens()
{
    SensorRun run;
    QVERIFY(run.start({u"--rate"_s, u"20"_s, u"--speed"_s, u"3"_s}));
    QTest::qWait(400); // about eight messages go out with nobody listening
    QVERIFY(run.openPort());
    // Only what is sent from now on arrives: at most the rest of one
    // message in the first few milliseconds, not a backlog.
    const QByteArray first = run.read(1024, 15);
    QVERIFY2(first.size() < 24, qPrintable(QString::number(first.size())));
    const QByteArray later = run.read(1024, 300);
    bool valid = false;
    QVERIFY(countValidMessages(later, &valid) >= 4);
    QVERIFY(valid);

    run.process.terminate();
    QVERIFY(run.process.waitForFinished(3000));
    const QByteArray summary = run.process.readAllStandardError();
    QVERIFY2(!summary.contains(" 0 bytes dropped"), summary.constData());
}

void tst_sensor::signalEndsCleanly_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGINT") << SIGINT;
}

void tst_sensor::signalEndsCleanly()
{
    QFETCH(int, signal);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString link = dir.filePath(u"COM1"_s);
    QFile::link(u"/nonexistent"_s, link); // a stale link from an earlier run is replaced

    SensorRun run;
    QVERIFY(run.start({u"--rate"_s, u"10"_s, u"--link"_s, link}));
    QCOMPARE(QFileInfo(link).symLinkTarget(), run.path);
    QVERIFY(run.openPort());
    QVERIFY(!run.read(24, 2000).isEmpty());

    ::kill(pid_t(run.process.processId()), signal);
    QVERIFY(run.process.waitForFinished(3000));
    QCOMPARE(run.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(run.process.exitCode(), 0);
    QVERIFY(!QFileInfo(link).isSymLink());
    QVERIFY(run.process.readAllStandardError().contains("messages,"));
}

QTEST_GUILESS_MAIN(tst_sensor)
#include "tst_sensor.moc"
