#include "tests/support/testsupport.h"
#include "tools/linepacer.h"
#include "tools/sensormessage.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace Qt::Literals::StringLiterals;

class tst_sensor : public QObject
{
    Q_OBJECT
private slots:
    void message()
    {
        QCOMPARE(SensorMessage::polar(156, 0.05),
                 QByteArray("\x02Q,156,000.05,M,00,\x03"
                            "19\r\n"));
        QCOMPARE(SensorMessage::polar(359, 123.456),
                 QByteArray("\x02Q,359,123.46,M,00,\x03"
                            "13\r\n"));
        // A checksum below 0x10 keeps its leading zero.
        QCOMPARE(SensorMessage::frame("AB"),
                 QByteArray("\x02"
                            "AB\x03"
                            "03\r\n"));
    }

    void pacer_data()
    {
        QTest::addColumn<double>("rate"); // messages per second; 0: back to back
        QTest::addColumn<int>("lateMs"); // the caller wakes up to this much late
        QTest::addColumn<int>("stallMs"); // one hold-up of the caller halfway
        QTest::newRow("20 Hz") << 20.0 << 7 << 0;
        QTest::newRow("above line rate") << 100.0 << 3 << 0;
        QTest::newRow("back to back, held up") << 0.0 << 3 << 1500;
    }
    // On a simulated clock: the line's own pace, whatever the machine does.
    void pacer()
    {
        QFETCH(double, rate);
        QFETCH(int, lateMs);
        QFETCH(int, stallMs);
        constexpr qint64 ms = 1'000'000, messageBytes = 24, duration = 20'000 * ms;
        LinePacer pacer(rate);
        pacer.start(0);
        QList<qint64> byteTimes; // when each byte left the line
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
        if (rate > 0.0 && rate <= 960 / messageBytes) { // message k goes out at k / rate, however late the wake-ups
            QVERIFY(qAbs(pacer.messagesQueued() - qint64(duration / ms * rate / 1000.0) - 1) <= 1);
            QCOMPARE(byteTimes.size() / messageBytes, pacer.messagesQueued() - (pacer.pending() > 0 ? 1 : 0));
        } else { // the line is never idle: 960 bytes a second, less what a hold-up cost beyond the catch-up
            const qint64 expected = (duration - stallMs * ms + catchUp) * 960 / LinePacer::NsPerSecond;
            QVERIFY2(qAbs(byteTimes.size() - expected) <= 12 + lateMs,
                     qPrintable(u"%1 bytes, expected %2"_s.arg(byteTimes.size()).arg(expected)));
        }
    }

    // A counted run sends exactly its messages to a listener and ends when
    // they are read; with nobody listening they are dropped, not kept for
    // whoever opens the device later. (Its pace is a figure of the benchmark.)
    void countedRun_data()
    {
        QTest::addColumn<bool>("listener");
        QTest::addColumn<QString>("summary");
        QTest::newRow("heard") << true << u"40 messages, 960 bytes sent, 0 bytes dropped"_s;
        QTest::newRow("nobody listens") << false << u"40 messages, 0 bytes sent, 960 bytes dropped"_s;
    }
    void countedRun()
    {
        QFETCH(bool, listener);
        QFETCH(QString, summary);
        SensorProcess run;
        QStringList args{u"--line-rate"_s, u"--count"_s, u"40"_s, u"--speeds"_s, u"1,2.5"_s};
        QVERIFY(run.start(listener ? args << u"--wait"_s : args));
        if (listener) {
            QVERIFY(run.listen());
            QCOMPARE(run.read(960), (SensorMessage::polar(0, 1.0) + SensorMessage::polar(0, 2.5)).repeated(20));
        }
        QVERIFY(run.exitedCleanly());
        QCOMPARE(QString::fromLocal8Bit(run.process.readAllStandardError()).trimmed().split(u'\n').last(),
                 u"sorvik7-sensor: "_s + summary);
        if (listener)
            QCOMPARE(run.read(1, 50), QByteArray());
    }

    // A listener that comes while the sensor runs hears whole messages from
    // then on; SIGTERM ends the run cleanly and takes the link away.
    void lateListener()
    {
        QTemporaryDir dir;
        const QString link = dir.filePath(u"COM1"_s);
        QVERIFY(QFile::link(u"/nonexistent"_s, link)); // a stale link from an earlier run is replaced
        SensorProcess run;
        QVERIFY(run.start({u"--rate"_s, u"20"_s, u"--speed"_s, u"3"_s, u"--link"_s, link}));
        QCOMPARE(QFileInfo(link).symLinkTarget(), run.device);
        QTest::qWait(200); // it sends a while with nobody listening
        QVERIFY(run.listen());
        const QByteArray heard = run.read(3 * 24); // two whole messages at least
        QCOMPARE(heard.size(), 3 * 24);
        QVERIFY2(SensorMessage::polar(0, 3.0).repeated(4).contains(heard), heard.toPercentEncoding().constData());
        ::kill(pid_t(run.process.processId()), SIGTERM);
        QVERIFY(run.exitedCleanly());
        QVERIFY(!QFileInfo(link).isSymLink());
    }
};

QTEST_GUILESS_MAIN(tst_sensor)
#include "tst_sensor.moc"
