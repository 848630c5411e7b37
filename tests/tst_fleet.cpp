// A fleet on one machine: sorvik7-logger on a pseudo-terminal fed by the
// simulated sensor publishes to a mosquitto broker of the test's own, and
// sorvik7-collect rebuilds the day files from it. Through broker, collector
// and station failures and a network that goes away, the copies end up
// equal to the station's files; bad input to the collector is refused and
// logged, and nothing is written outside its folder; bad MQTT settings of
// either program are refused before anything is opened. The logic of
// publishing and collecting is tested in-process in tst_relay; these are
// the real programs through a real broker.
#include "datafile/folderlock.h"
#include "mqtt/mqttclient.h"
#include "mqtt/recordpayload.h"
#include "tests/support/fleetsupport.h"
#include "tests/support/testsupport.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr int kSlowMs = 90000; // generous: CI machines are shared
constexpr int kOutageMs = 3000; // how long each failure lasts
constexpr int kLinesBetween = 30; // records collected before and after a failure
constexpr int kExitCannotRun = 1;
// What a refused oversized payload may cost the collector at its peak:
// the MQTT library holds it once, nothing of ours copies it.
constexpr qint64 kHugePayload = 100 * 1024 * 1024;
[[maybe_unused]] constexpr qint64 kPeakLimitKb = 250 * 1024;
constexpr int kExitBadConfig = 2;
const QString kLogger = QStringLiteral("service/sorvik7-logger");
const QString kCollector = QStringLiteral("collector/sorvik7-collect");

enum class Fault { None, Tls, BrokerRestart, CollectorKilled, StationKilled, NetworkGone };

#ifndef __SANITIZE_ADDRESS__ // the sanitizer keeps freed memory in quarantine
// The peak resident memory of a process, in KiB.
qint64 peakKb(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}
#endif

QByteArray header()
{
    return "Gill Format Polar,03/05/21,14:03:07\r\n";
}

// Takes the part that fails away for a stretch and brings it back.
bool interrupt(Fault fault, TestBroker &broker, TcpGate &gate, ProgramProcess &collector, ProgramProcess &station)
{
    switch (fault) {
    case Fault::None:
    case Fault::Tls:
        return true;
    case Fault::BrokerRestart:
        broker.kill();
        QTest::qWait(kOutageMs);
        return broker.start();
    case Fault::CollectorKilled:
        collector.kill();
        QTest::qWait(kOutageMs);
        return collector.start();
    case Fault::StationKilled:
        station.kill();
        QTest::qWait(kOutageMs);
        return station.start();
    case Fault::NetworkGone:
        gate.close();
        QTest::qWait(kOutageMs);
        return gate.open();
    }
    return false;
}

} // namespace

Q_DECLARE_METATYPE(Fault)

class tst_fleet : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString path(const QString &name) const { return m_dir.filePath(name); }
    QString emptyConfig() const
    {
        QFile f(path(QStringLiteral("empty.conf")));
        f.open(QIODevice::WriteOnly);
        return f.fileName();
    }

private slots:
    void init()
    {
        QDir(m_dir.path()).removeRecursively();
        QDir().mkpath(m_dir.path());
    }

    void copiesEqualStationFiles_data()
    {
        QTest::addColumn<Fault>("fault");
        QTest::newRow("no fault") << Fault::None;
        QTest::newRow("no fault, over TLS") << Fault::Tls;
        QTest::newRow("broker killed and restarted") << Fault::BrokerRestart;
        QTest::newRow("collector killed and restarted") << Fault::CollectorKilled;
        QTest::newRow("station killed and restarted") << Fault::StationKilled;
        QTest::newRow("network gone for a stretch") << Fault::NetworkGone;
    }

    void copiesEqualStationFiles()
    {
        QFETCH(Fault, fault);
        QString tls;
        if (fault == Fault::Tls) {
            tls = path(QStringLiteral("tls"));
            QDir().mkpath(tls);
            if (!makeTlsFiles(tls))
                QSKIP("openssl is not installed: no certificates for the TLS broker");
        }
        TestBroker broker(m_dir.path(), tls);
        QVERIFY2(broker.start(), broker.log().constData());
        TcpGate gate(broker.port());
        QVERIFY(gate.open());

        const QString link = path(QStringLiteral("ttyWIND")), data = path(QStringLiteral("data"));
        const QString copies = path(QStringLiteral("copies")), copy = copies + QStringLiteral("/mast1");
        const QStringList ca = tls.isEmpty() ? QStringList() : QStringList{"--mqtt-ca", tls + "/ca.crt"};
        const QString stationUrl =
            fault == Fault::NetworkGone ? QStringLiteral("mqtt://127.0.0.1:%1").arg(gate.port()) : broker.url();
        SensorProcess sensor;
        QVERIFY(sensor.start({"--quiet", "--rate", "20", "--link", link}));
        ProgramProcess collector(
            kCollector, QStringList{"--mqtt-url", broker.url(), "--dir", copies, "--config", emptyConfig()} + ca);
        ProgramProcess station(kLogger,
                               QStringList{"--port", link, "--dir", data, "--config", emptyConfig(), "--mqtt-url",
                                           stationUrl, "--station", "mast1"}
                                   + ca);
        QVERIFY(collector.start());
        QVERIFY(station.start());
        QTRY_VERIFY2_WITH_TIMEOUT(recordLines(copy) >= kLinesBetween, station.log().constData(), kSlowMs);

        QVERIFY(interrupt(fault, broker, gate, collector, station));
        // Records go on; then the sensor stops and everything must arrive.
        const qint64 atFault = recordLines(data);
        QTRY_VERIFY2_WITH_TIMEOUT(recordLines(copy) >= atFault + kLinesBetween, collector.log().constData(), kSlowMs);
        sensor.process.kill();
        QString why;
        QTRY_VERIFY2_WITH_TIMEOUT(sameDayFiles(data, copy, &why), qPrintable(why + station.log() + collector.log()),
                                  kSlowMs);
        QVERIFY(station.terminate());
        QVERIFY(collector.terminate());
        QVERIFY2(sameDayFiles(data, copy, &why), qPrintable(why));

        const QByteArray log = station.log();
        if (fault == Fault::NetworkGone) {
            // Once when it went, once when it was back with what it caught up.
            QVERIFY2(log.count("cannot reach the broker") == 1, log.constData());
            QVERIFY2(log.count("is back after") == 1, log.constData());
            const QRegularExpression caughtUp(QStringLiteral("is back after [0-9.]+ s; ([0-9]+) lines caught up"));
            const auto match = caughtUp.match(QString::fromLocal8Bit(log));
            QVERIFY2(match.hasMatch(), log.constData());
            QVERIFY(match.captured(1).toInt() > 0);
        }
        QVERIFY2(!log.contains("error:"), log.constData());
    }

    // A station stopped while its lines are on their way: the last
    // acknowledgement comes in during the drain, and the logger still ends
    // at once (it deadlocked inside the MQTT library's callback before).
    void stopsWhilePublishing_data()
    {
        QTest::addColumn<bool>("tls");
        QTest::newRow("plain") << false;
        QTest::newRow("over TLS") << true;
    }

    void stopsWhilePublishing()
    {
        QFETCH(bool, tls);
        const QString tlsDir = tls ? path(QStringLiteral("tls")) : QString();
        if (tls && !(QDir().mkpath(tlsDir) && makeTlsFiles(tlsDir)))
            QSKIP("openssl is not installed: no certificates for the TLS broker");
        TestBroker broker(m_dir.path(), tlsDir);
        QVERIFY2(broker.start(), broker.log().constData());
        const QString link = path(QStringLiteral("ttyWIND")), data = path(QStringLiteral("data"));
        const QStringList ca = tls ? QStringList{"--mqtt-ca", tlsDir + "/ca.crt"} : QStringList();
        SensorProcess sensor;
        QVERIFY(sensor.start({"--quiet", "--rate", "50", "--link", link}));
        ProgramProcess station(kLogger,
                               QStringList{"--port", link, "--dir", data, "--config", emptyConfig(), "--mqtt-url",
                                           broker.url(), "--station", "mast1"}
                                   + ca);
        constexpr int kStops = 6;
        for (int i = 0; i < kStops; ++i) {
            QVERIFY(station.start());
            QTRY_VERIFY2_WITH_TIMEOUT(station.log().count("MQTT: connected") == i + 1, station.log().constData(),
                                      kSlowMs);
            QTest::qWait(500);
            QVERIFY(station.terminate());
        }
        QVERIFY2(!station.log().contains("did not end in time"), station.log().constData());
    }

    void badInputRefused()
    {
        TestBroker broker(m_dir.path());
        QVERIFY(broker.start());
        // The collector's folder inside one of its own, to see that nothing lands beside it.
        const QString box = path(QStringLiteral("box")), copies = box + QStringLiteral("/copies");
        ProgramProcess collector(kCollector, {"--mqtt-url", broker.url(), "--dir", copies, "--config", emptyConfig()});
        QVERIFY(collector.start());
        MqttClientConfig config;
        config.broker.url = MqttUrl::parse(broker.url(), nullptr);
        QString error;
        const auto made = MqttClient::make(config, &error);
        QVERIFY2(made, qPrintable(error));
        MqttClient &client = *made;
        client.open();
        QTRY_VERIFY_WITH_TIMEOUT(client.isConnected(), kSlowMs);
        QTRY_VERIFY_WITH_TIMEOUT(collector.log().contains("connected"), kSlowMs);

        const QByteArray good = RecordPayload{"20030521.SVK", 0, header(), {}, 0}.encode();
        const QList<QPair<QByteArray, QByteArray>> refused{
            {"sorvik7/mast1/record", "wind 4.2 m/s"},
            {"sorvik7/mast1/record", "SVK1 ../../../tmp/x.SVK 0\n" + header()},
            {"sorvik7/mast1/record", "SVK1 passwd 0\n" + header()},
            {"sorvik7/mast1/record", "SVK1 20031301.SVK 0\n" + header()},
            {"sorvik7/mast1/record", "SVK1 20030521.SVK 0\n"},
            {"sorvik7/../record", good},
            {"sorvik7/.hidden/record", good},
            {"sorvik7/mast..1/record", good},
        };
        for (const auto &[topic, payload] : refused)
            QVERIFY(client.publish(topic, payload) >= 0);
        // A '/' in the name is one more level: the collector's subscription
        // never gets it. A control character is refused by the MQTT library
        // (and the broker) already.
        QVERIFY(client.publish("sorvik7/a/b/record", good) >= 0);
        QCOMPARE(client.publish("sorvik7/ma\x01st/record", good), -1);
        QVERIFY(client.publish("sorvik7/good/record", good) >= 0);

        QTRY_COMPARE_WITH_TIMEOUT(fileBytes(copies + QStringLiteral("/good/20030521.SVK")), header(), kSlowMs);
        // One payload far longer than any of ours: refused without copies.
        QVERIFY(client.publish("sorvik7/good/record", "SVK1 20030521.SVK 37\n" + QByteArray(kHugePayload, 'x')) >= 0);
        // Its log comes through a pipe that this loop reads.
        QTRY_COMPARE_WITH_TIMEOUT(collector.log().count("refused a message"), refused.size() + 1, kSlowMs);
        const QByteArray log = collector.log();
        QCOMPARE(log.count("longer than any of ours"), 1);
#ifndef __SANITIZE_ADDRESS__ // the sanitizer keeps freed memory in quarantine
        const qint64 peak = peakKb(collector.process().processId());
        QVERIFY2(peak > 0 && peak < kPeakLimitKb, qPrintable(QStringLiteral("peak %1 KiB").arg(peak)));
#endif
        QCOMPARE(log.count("the payload"), 5);
        QCOMPARE(log.count("a station name"), 3);
        QCOMPARE(QDir(box).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{"copies"});
        // Besides the good station's folder only the collector's claim on its folder.
        QCOMPARE(QDir(copies).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 (QStringList{FolderLock::kFileName, "good"}));
        QVERIFY(!QFileInfo::exists(QStringLiteral("/tmp/x.SVK")));
        QVERIFY(collector.terminate());
    }

    // Without the MQTT library the programs that need it say so and end
    // with status 1 (a dependency of the package, not the operator's error).
    void missingLibraryReported_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("args");
        QTest::newRow("logger") << kLogger << QStringList{"--port", "/dev/null", "--mqtt-url", "mqtt://127.0.0.1"};
        QTest::newRow("collector") << kCollector << QStringList{"--mqtt-url", "mqtt://127.0.0.1"};
    }

    void missingLibraryReported()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, args);
        // Another library under its name, found first: it lacks every function.
        const QString lib = path(QStringLiteral("lib"));
        QDir().mkpath(lib);
        QVERIFY(QFile::copy(QFileInfo(QStringLiteral("/lib/x86_64-linux-gnu/libz.so.1")).canonicalFilePath(),
                            lib + QStringLiteral("/libmosquitto.so.1")));
        ProgramProcess process(program,
                               args + QStringList{"--dir", path(QStringLiteral("data")), "--config", emptyConfig()});
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("LD_LIBRARY_PATH"), lib);
        process.process().setProcessEnvironment(env);
        QVERIFY(process.start());
        QVERIFY(process.process().waitForFinished(kSlowMs));
        QCOMPARE(process.process().exitCode(), kExitCannotRun);
        const QByteArray log = process.log();
        QVERIFY2(log.contains("cannot load the MQTT client library libmosquitto.so.1: it lacks"), log.constData());
    }

    void badSettings_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<QString>("named"); // the key and the value the line must name

        const QStringList port{"--port", "/dev/null"};
        const QStringList url{"--mqtt-url", "mqtt://127.0.0.1"};
        QTest::newRow("logger: not an MQTT URL")
            << kLogger << port + QStringList{"--mqtt-url", "http://x"} << QByteArray() << "mqtt-url = 'http://x'";
        QTest::newRow("logger: password on the command line")
            << kLogger << port + url + QStringList{"--mqtt-password", "pw"} << QByteArray()
            << "mqtt-password (from --mqtt-password)";
        QTest::newRow("logger: station with /")
            << kLogger << port + url + QStringList{"--station", "a/b"} << QByteArray() << "station = 'a/b'";
        QTest::newRow("logger: station ..")
            << kLogger << port + url + QStringList{"--station", ".."} << QByteArray() << "station = '..'";
        QTest::newRow("logger: station with a control character")
            << kLogger << port + url + QStringList{"--station", "a\tb"} << QByteArray() << "station = 'a\tb'";
        QTest::newRow("logger: a CA for plain MQTT")
            << kLogger << port + url + QStringList{"--mqtt-ca", "/etc/hostname"} << QByteArray()
            << "mqtt-ca = '/etc/hostname'";
        QTest::newRow("logger: station without a broker")
            << kLogger << port << QByteArray("station=mast1\n") << "station = 'mast1'";
        QTest::newRow("collector: no broker") << kCollector << QStringList() << QByteArray() << "mqtt-url: missing";
        QTest::newRow("collector: user in the URL") << kCollector << QStringList{"--mqtt-url", "mqtt://u:pw@h"}
                                                    << QByteArray() << "no user name or password in the URL";
        QTest::newRow("collector: unknown key")
            << kCollector << QStringList() << QByteArray("mqtt-url=mqtt://h\nstation=x\n") << "station = 'x'";
        QTest::newRow("collector: silence alarm of 0 s")
            << kCollector << url + QStringList{"--silence-alarm", "0"} << QByteArray() << "silence-alarm = '0'";
        QTest::newRow("collector: new stations not a number")
            << kCollector << url << QByteArray("new-stations-per-minute=many\n") << "new-stations-per-minute = 'many'";
        QTest::newRow("collector: password without user")
            << kCollector << url << QByteArray("mqtt-password=pw\n") << "mqtt-password = '***'";
        QTest::newRow("collector: HTTP password on the command line")
            << kCollector << url + QStringList{"--http", "8080", "--http-password", "pw"} << QByteArray()
            << "http-password (from --http-password)";
        QTest::newRow("collector: HTTP on a host name")
            << kCollector << url + QStringList{"--http", "localhost:8080"} << QByteArray() << "http = 'localhost:8080'";
        QTest::newRow("collector: HTTP port 0")
            << kCollector << url + QStringList{"--http", "0"} << QByteArray() << "http = '0'";
        QTest::newRow("collector: HTTP login without HTTP")
            << kCollector << url << QByteArray("http-user=ops\nhttp-password=pw\n") << "http-user = 'ops'";
        QTest::newRow("collector: HTTP password without user")
            << kCollector << url + QStringList{"--http", "8080"} << QByteArray("http-password=pw\n")
            << "http-password = '***'";
    }

    void badSettings()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, args);
        QFETCH(QByteArray, config);
        QFETCH(QString, named);
        QFile file(path(QStringLiteral("bad.conf")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(config), config.size());
        file.close();
        ProgramProcess process(program,
                               args + QStringList{"--dir", path(QStringLiteral("never")), "--config", file.fileName()});
        QVERIFY(process.start());
        QVERIFY(process.process().waitForFinished(kSlowMs));
        QCOMPARE(process.process().exitCode(), kExitBadConfig);
        const QByteArray log = process.log();
        QCOMPARE(log.count('\n'), 1);
        QVERIFY2(log.contains(named.toUtf8()), log.constData());
        QVERIFY2(!log.contains("pw"), log.constData());
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("never"))));
    }
};

QTEST_GUILESS_MAIN(tst_fleet)
#include "tst_fleet.moc"
