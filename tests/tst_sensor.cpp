#include "linepacer.h"
#include "sensormessage.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {

// A running sorvik7-sensor and the slave side of its pty.
struct SensorRun
{
    ~SensorRun() { ::close(fd); process.kill(); process.waitForFinished(2000); }
    bool start(const QStringList &arguments)
    {
        const QString dir = qEnvironmentVariable("SORVIK7_BIN_DIR", QCoreApplication::applicationDirPath() + u"/.."_s);
        process.start(dir + u"/tools/sorvik7-sensor"_s, arguments);
        while (process.peek(4096).count('\n') < 2)
            if (!process.waitForReadyRead(5000))
                return false;
        path = QString::fromLocal8Bit(process.readLine().trimmed());
        return process.readLine().trimmed() == "SORVIK7_COM1=" + path.toLocal8Bit();
    }
    bool openPort() { return (fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK)) >= 0; }
    bool exitedCleanly()
    {
        return process.waitForFinished(3000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }
    // Reads until `bytes` have come or the time is up.
    QByteArray read(qsizetype bytes, int timeoutMs)
    {
        QByteArray data;
        char buffer[1024];
        for (QDeadlineTimer deadline(timeoutMs); data.size() < bytes && !deadline.hasExpired();)
            if (pollfd p{ fd, POLLIN, 0 }; ::poll(&p, 1, 20) > 0)
                data.append(buffer, qMax<ssize_t>(0, ::read(fd, buffer, qMin<qsizetype>(sizeof buffer, bytes - data.size()))));
        return data;
    }
    QProcess process;
    QString path;
    int fd = -1;
};

} // namespace

class tst_sensor : public QObject
{
    Q_OBJECT
private slots:
    void message()
    {
        QCOMPARE(SensorMessage::polar(156, 0.05), QByteArray("\x02Q,156,000.05,M,00,\x03" "19\r\n"));
        QCOMPARE(SensorMessage::polar(359, 123.456), QByteArray("\x02Q,359,123.46,M,00,\x03" "13\r\n"));
        // A checksum below 0x10 keeps its leading zero.
        QCOMPARE(SensorMessage::frame("AB"), QByteArray("\x02" "AB\x03" "03\r\n"));
    }

    void pacer_data()
    {
        QTest::addColumn<double>("rate");   // messages per second; 0: back to back
        QTest::addColumn<int>("lateMs");    // the caller wakes up to this much late
        QTest::addColumn<int>("stallMs");   // one hold-up of the caller halfway
        QTest::newRow("20 Hz") << 20.0 << 7 << 0;
        QTest::newRow("above line rate") << 100.0 << 3 << 0;
        QTest::newRow("back to back, held up") << 0.0 << 3 << 1500;
    }
    void pacer()
    {
        QFETCH(double, rate);
        QFETCH(int, lateMs);
        QFETCH(int, stallMs);
        constexpr qint64 ms = 1'000'000, messageBytes = 24, duration = 20'000 * ms;
        LinePacer pacer(rate);
        pacer.start(0);
        QList<qint64> byteTimes;   // when each byte left the line
        quint32 noise = 12345;
        for (qint64 now = 0, stall = stallMs * ms; now <= duration;) {
            byteTimes.append(QList<qint64>(pacer.take(now), now));
            if (pacer.messageDue(now)) {
                pacer.queue(now, messageBytes);
                continue;
            }
            noise = noise * 1103515245u + 12345u;
            qint64 wake = pacer.nextWake(now);
            QVERIFY(wake >= now);
            wake += qint64(noise >> 8) % (lateMs * ms);
            if (wake > duration / 2)
                wake += std::exchange(stall, 0);
            now = std::max(wake, now + 1);
        }

        // No second carries more than the line, beyond one chunk, one late wake-up and the catch-up after a hold-up.
        const qint64 catchUp = stallMs > 0 ? LinePacer::CatchUpNs : 0;
        const qsizetype bound = 962 + (LinePacer::ChunkNs + lateMs * ms + catchUp) * 960 / LinePacer::NsPerSecond;
        for (qsizetype i = 0, j = 0; i < byteTimes.size(); ++i) {
            while (byteTimes.at(i) - byteTimes.at(j) >= 1000 * ms)
                ++j;
            QVERIFY2(i - j + 1 <= bound, qPrintable(u"%1 bytes within one second"_s.arg(i - j + 1)));
        }
        if (rate > 0.0 && rate <= 960 / messageBytes) {   // message k goes out at k / rate, however late the wake-ups
            QVERIFY(qAbs(pacer.messagesQueued() - qint64(duration / ms * rate / 1000.0) - 1) <= 1);
            QCOMPARE(byteTimes.size() / messageBytes, pacer.messagesQueued() - (pacer.pending() > 0 ? 1 : 0));
        } else {   // the line is never idle: 960 bytes a second, less what a hold-up cost beyond the catch-up
            const qint64 expected = (duration - stallMs * ms + catchUp) * 960 / LinePacer::NsPerSecond;
            QVERIFY2(qAbs(byteTimes.size() - expected) <= 12 + lateMs, qPrintable(u"%1 bytes, expected %2"_s.arg(byteTimes.size()).arg(expected)));
        }
    }

    void countedRunAtLineRate()
    {
        SensorRun run;
        QVERIFY(run.start({ u"--line-rate"_s, u"--count"_s, u"40"_s, u"--speeds"_s, u"1,2.5"_s, u"--wait"_s }));
        QVERIFY(run.openPort());
        QElapsedTimer clock;
        clock.start();
        const QByteArray data = run.read(960, 3000);
        const double perSecond = data.size() * 1000.0 / clock.elapsed();
        QVERIFY2(perSecond > 880 && perSecond < 990, qPrintable(u"%1 characters per second"_s.arg(perSecond)));
        QCOMPARE(data, (SensorMessage::polar(0, 1.0) + SensorMessage::polar(0, 2.5)).repeated(20));
        QVERIFY(run.exitedCleanly());
        QVERIFY(run.read(1, 50).isEmpty());
        QVERIFY(run.process.readAllStandardError().contains("40 messages, 960 bytes sent, 0 bytes dropped"));
    }

    // Sending with nobody listening, then a listener, then SIGTERM.
    void lateListener()
    {
        QTemporaryDir dir;
        const QString link = dir.filePath(u"COM1"_s);
        QVERIFY(QFile::link(u"/nonexistent"_s, link));   // a stale link from an earlier run is replaced
        SensorRun run;
        QVERIFY(run.start({ u"--rate"_s, u"20"_s, u"--speed"_s, u"3"_s, u"--link"_s, link }));
        QCOMPARE(QFileInfo(link).symLinkTarget(), run.path);
        QTest::qWait(400);   // about eight messages go out unheard
        QVERIFY(run.openPort());
        const QByteArray first = run.read(1024, 15);   // at most the rest of one message, no backlog
        QVERIFY2(first.size() < 24, qPrintable(QString::number(first.size())));
        const qsizetype heard = run.read(1024, 300).count(SensorMessage::polar(0, 3.0));
        QVERIFY2(heard >= 4 && heard <= 8, qPrintable(QString::number(heard)));   // 20 a second
        ::kill(pid_t(run.process.processId()), SIGTERM);
        QVERIFY(run.exitedCleanly());
        QVERIFY(!QFileInfo(link).isSymLink());
        const QByteArray summary = run.process.readAllStandardError();
        QVERIFY2(summary.contains("messages,") && !summary.contains(" 0 bytes dropped"), summary.constData());
    }
};

QTEST_GUILESS_MAIN(tst_sensor)
#include "tst_sensor.moc"
