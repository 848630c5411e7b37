// The station's publisher and the collector in one process, joined by a
// broker in memory: day files written here as the logger writes them end up
// byte for byte in the collector's folder through lost lines, outages and
// acknowledgements that never came, a day file replaced under its name, and
// torn lines; what the collector must refuse is refused and counted; a
// silent station is warned about once. Each case takes milliseconds.
#include "collector/collector.h"
#include "daemon/log.h"
#include "mqtt/fleet.h"
#include "mqtt/recordpayload.h"
#include "mqtt/stationpublisher.h"
#include "tests/support/memorybroker.h"
#include "tests/support/testsupport.h"

#include <QDir>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr int kWaitMs = 20000;
const QByteArray kDay1 = "20030521.SVK";
const QByteArray kDay2 = "20030522.SVK";

QByteArray header(int second = 7)
{
    return QByteArray("Gill Format Polar,03/05/21,14:03:") + QByteArray::number(second).rightJustified(2, '0') + "\r\n";
}

QByteArray record(int n)
{
    return QByteArray("14:") + QByteArray::number(10 + n / 60) + ':' + QByteArray::number(10 + n % 50)
        + ",\x02Q,085,001.79,M,00\r\n";
}

class TestLog final : public Log
{
public:
    void write(Level, const QString &text) const override { m_lines << text; }
    qsizetype count(const QString &part) const { return m_lines.filter(part).size(); }
    QString all() const { return m_lines.join(u'\n'); }
    void clear() { m_lines.clear(); }

private:
    mutable QStringList m_lines;
};

enum class Trouble { None, LinkDown, LinesLost, AcksLost };

} // namespace

Q_DECLARE_METATYPE(Trouble)

class tst_relay : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_station, m_copies;
    MemoryBroker *m_broker = nullptr;
    TestLog m_stationLog, m_collectorLog;
    std::unique_ptr<StationPublisher> m_publisher;
    std::unique_ptr<Collector> m_collector;

    QString stationFile(const QByteArray &file) const { return m_station + u'/' + QString::fromLatin1(file); }
    QString copyFile(const QByteArray &file, const QString &station = QStringLiteral("mast1")) const
    {
        return m_copies + u'/' + station + u'/' + QString::fromLatin1(file);
    }

    void append(const QByteArray &file, const QByteArray &bytes, bool report = true)
    {
        QFile f(stationFile(file));
        QVERIFY(f.open(QIODevice::Append));
        QCOMPARE(f.write(bytes), bytes.size());
        f.close();
        if (report && m_publisher)
            m_publisher->flushed(file, f.size(), QDateTime::currentDateTime());
    }

    void startPublisher()
    {
        MqttSettings settings;
        settings.url = MqttUrl::parse(QStringLiteral("mqtt://memory"), nullptr);
        settings.station = QStringLiteral("mast1");
        m_publisher = std::make_unique<StationPublisher>(settings, m_station, m_stationLog, m_broker->transport());
        m_publisher->start();
    }

    void stopPublisher()
    {
        QSignalSpy finished(m_publisher.get(), &StationPublisher::finished);
        m_publisher->finish(kWaitMs);
        QTRY_VERIFY(finished.count() == 1);
        m_publisher.reset();
    }

    void startCollector(CollectorConfig config = {})
    {
        config.mqtt.url = MqttUrl::parse(QStringLiteral("mqtt://memory"), nullptr);
        config.dir = m_copies;
        m_collector = std::make_unique<Collector>(config, m_collectorLog, m_broker->transport());
        QString error;
        QVERIFY2(m_collector->start(&error), qPrintable(error));
    }

    // A client of the broker, as a hostile or a test publisher would be.
    std::unique_ptr<MemoryTransport> client()
    {
        auto c = m_broker->transport();
        c->open();
        return c;
    }

private slots:
    void init()
    {
        QDir(m_dir.path()).removeRecursively();
        m_station = m_dir.filePath(QStringLiteral("station"));
        m_copies = m_dir.filePath(QStringLiteral("copies"));
        QDir().mkpath(m_station);
        QDir().mkpath(m_copies);
        m_broker = new MemoryBroker;
        m_stationLog.clear();
        m_collectorLog.clear();
    }

    void cleanup()
    {
        m_publisher.reset();
        m_collector.reset();
        delete m_broker;
    }

    void copiesEqualStationFiles_data()
    {
        QTest::addColumn<Trouble>("trouble");
        QTest::newRow("no trouble") << Trouble::None;
        QTest::newRow("link down a stretch") << Trouble::LinkDown;
        QTest::newRow("lines lost on the way") << Trouble::LinesLost;
        QTest::newRow("acknowledgements lost in an outage") << Trouble::AcksLost;
    }

    void copiesEqualStationFiles()
    {
        QFETCH(Trouble, trouble);
        startCollector();
        append(kDay1, header());
        startPublisher();
        for (int i = 0; i < 20; ++i)
            append(kDay1, record(i));
        QTRY_COMPARE_WITH_TIMEOUT(fileBytes(copyFile(kDay1)), fileBytes(stationFile(kDay1)), kWaitMs);

        int n = 0;
        m_broker->lose = [&n, trouble](const MemoryBroker::Message &m) {
            return trouble == Trouble::LinesLost && m.topic.endsWith("/record") && ++n % 7 == 3;
        };
        m_broker->holdAcks = trouble == Trouble::AcksLost;
        if (trouble == Trouble::LinkDown)
            m_broker->setUp(false);
        for (int i = 20; i < 60; ++i)
            append(kDay1, record(i));
        // The next day begins, with the day before not yet all through.
        append(kDay2, header(8));
        for (int i = 60; i < 80; ++i)
            append(kDay2, record(i));
        if (trouble == Trouble::LinkDown || trouble == Trouble::AcksLost) {
            QTest::qWait(50);
            m_broker->setUp(false);
            m_broker->holdAcks = false;
            m_broker->setUp(true);
        }
        for (const QByteArray &day : {kDay1, kDay2})
            QTRY_COMPARE_WITH_TIMEOUT(fileBytes(copyFile(day)), fileBytes(stationFile(day)), kWaitMs);
        QCOMPARE(m_collectorLog.count(QStringLiteral("refused")), 0);
        if (trouble == Trouble::LinesLost)
            QVERIFY2(m_collectorLog.count(QStringLiteral("is filled")) > 0, qPrintable(m_collectorLog.all()));
    }

    // A day file moved away while it is published, or while the station is
    // stopped: the logger's new file under the same name is published from
    // its first byte, and the collector's copy is replaced by it.
    void replacedFileStartsAgain_data()
    {
        QTest::addColumn<bool>("whileStopped");
        QTest::newRow("while publishing") << false;
        QTest::newRow("while the station is stopped") << true;
    }

    void replacedFileStartsAgain()
    {
        QFETCH(bool, whileStopped);
        startCollector();
        append(kDay1, header());
        startPublisher();
        for (int i = 0; i < 30; ++i)
            append(kDay1, record(i));
        QTRY_COMPARE_WITH_TIMEOUT(fileBytes(copyFile(kDay1)), fileBytes(stationFile(kDay1)), kWaitMs);
        const QByteArray old = fileBytes(stationFile(kDay1));
        if (whileStopped)
            stopPublisher();

        QVERIFY(QFile::rename(stationFile(kDay1), m_dir.filePath(QStringLiteral("moved.SVK"))));
        append(kDay1, header(9) + record(100), !whileStopped);
        if (whileStopped)
            startPublisher();
        for (int i = 101; i < 105; ++i)
            append(kDay1, record(i));
        QTRY_COMPARE_WITH_TIMEOUT(fileBytes(copyFile(kDay1)), fileBytes(stationFile(kDay1)), kWaitMs);
        QCOMPARE(fileBytes(m_copies + QStringLiteral("/mast1/.20030521.SVK.replaced")), old);
        QCOMPARE(m_stationLog.count(QStringLiteral("is another file")), 1);
        QCOMPARE(m_collectorLog.count(QStringLiteral("new file under that name")), 1);

        // It goes on from there, and a restart does not start it again.
        stopPublisher();
        startPublisher();
        append(kDay1, record(106));
        QTRY_COMPARE_WITH_TIMEOUT(fileBytes(copyFile(kDay1)), fileBytes(stationFile(kDay1)), kWaitMs);
        QCOMPARE(m_stationLog.count(QStringLiteral("is another file")), 1);
    }

    // A line without its end is never written into a copy, wherever it
    // claims to be; the copy goes on with whole lines.
    void tornLinesNeverWritten()
    {
        startCollector();
        auto c = client();
        const auto send = [&c](qint64 offset, const QByteArray &line) {
            QVERIFY(c->publish("sorvik7/mast1/record", RecordPayload{kDay1, offset, line, {}, 0, false}.encode()) >= 0);
        };
        const qint64 h = header().size(), r = record(0).size();
        send(0, header());
        send(h + 5 * r, "14:10:1"); // beyond the end
        send(h, record(0).left(10)); // at the end
        send(h, record(0));
        send(h + r, record(1));
        QTRY_COMPARE_WITH_TIMEOUT(fileBytes(copyFile(kDay1)), header() + record(0) + record(1), kWaitMs);
        QTRY_COMPARE(m_collectorLog.count(QStringLiteral("a line without its end")), 2);

        // A station's complete day file that ends in half a line (a power
        // cut): its whole lines are copied, the next day follows, and the
        // collector asks for nothing it cannot have.
        m_collector.reset();
        QDir(m_copies).removeRecursively();
        QDir().mkpath(m_copies);
        startCollector();
        append(kDay1, header() + record(0) + record(1).left(9), false);
        startPublisher();
        append(kDay2, header(8) + record(2));
        QTRY_COMPARE_WITH_TIMEOUT(fileBytes(copyFile(kDay2)), header(8) + record(2), kWaitMs);
        QCOMPARE(fileBytes(copyFile(kDay1)), header() + record(0));
        QTest::qWait(100);
        QCOMPARE(m_collectorLog.count(QStringLiteral("missing")), 0);
        QCOMPARE(m_stationLog.count(QStringLiteral("9 bytes without a line end")), 1);
    }

    void stationNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("taken");
        QTest::newRow("letters and digits") << QStringLiteral("mast1") << true;
        QTest::newRow("letters of any script") << QStringLiteral("Mösvik") << true;
        QTest::newRow("inner - . _") << QStringLiteral("_a-b.c_") << true;
        QTest::newRow("a space") << QStringLiteral(" ") << false;
        QTest::newRow("-") << QStringLiteral("-") << false;
        QTest::newRow("leading -") << QStringLiteral("-mast") << false;
        QTest::newRow("trailing .") << QStringLiteral("mast.") << false;
        QTest::newRow("~") << QStringLiteral("~") << false;
        QTest::newRow("right-to-left override") << QStringLiteral("ma\u202Est") << false;
        QTest::newRow("zero-width space") << QStringLiteral("ma\u200Bst") << false;
        QTest::newRow("..") << QStringLiteral("a..b") << false;
    }

    void stationNames()
    {
        QFETCH(QString, name);
        QFETCH(bool, taken);
        QCOMPARE(fleet::stationNameProblem(name).isEmpty(), taken);
        startCollector();
        auto c = client();
        QVERIFY(c->publish(fleet::recordTopic(name), RecordPayload{kDay1, 0, header(), {}, 0, false}.encode()) >= 0);
        if (taken)
            QTRY_COMPARE_WITH_TIMEOUT(fileBytes(copyFile(kDay1, name)), header(), kWaitMs);
        else
            QTRY_COMPARE(m_collectorLog.count(QStringLiteral("a station name")), 1);
        QCOMPARE(QDir(m_copies).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size(), taken ? 1 : 0);
    }

    // New stations are taken up to the number allowed a minute; stations
    // already known are never held back; what was refused and not logged is
    // counted at stop.
    void floodsBounded()
    {
        QDir().mkpath(m_copies + QStringLiteral("/known"));
        CollectorConfig config;
        config.newStationsPerMinute = 3;
        startCollector(config);
        auto c = client();
        const QByteArray good = RecordPayload{kDay1, 0, header(), {}, 0, false}.encode();
        for (int i = 0; i < 30; ++i)
            QVERIFY(c->publish(fleet::recordTopic(QStringLiteral("s%1").arg(i)), good) >= 0);
        QVERIFY(c->publish(fleet::recordTopic(QStringLiteral("known")), good) >= 0);
        QTRY_COMPARE_WITH_TIMEOUT(fileBytes(copyFile(kDay1, QStringLiteral("known"))), header(), kWaitMs);
        QCOMPARE(QDir(m_copies).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 4);
        QCOMPARE(m_collectorLog.count(QStringLiteral("new-stations-per-minute")), 20);
        m_collector->stop();
        QCOMPARE(m_collectorLog.count(QStringLiteral("7 more messages refused")), 1);
    }

    // A broker noticed gone late is dated from its last acknowledgement.
    void outageDatedFromLastWord()
    {
        startCollector();
        append(kDay1, header());
        startPublisher();
        QTRY_COMPARE_WITH_TIMEOUT(fileBytes(copyFile(kDay1)), header(), kWaitMs);
        QTest::qWait(1200);
        m_broker->setUp(false);
        QTRY_COMPARE(m_stationLog.count(QStringLiteral("last heard from at")), 1);
        append(kDay1, record(0));
        m_broker->setUp(true);
        QTRY_COMPARE_WITH_TIMEOUT(fileBytes(copyFile(kDay1)), header() + record(0), kWaitMs);
        const auto back = QRegularExpression(QStringLiteral("is back after ([0-9.]+) s")).match(m_stationLog.all());
        QVERIFY2(back.hasMatch(), qPrintable(m_stationLog.all()));
        QVERIFY2(back.captured(1).toDouble() >= 1.2, qPrintable(m_stationLog.all()));
    }

    // An online station that sends no records is warned about once, and
    // noticed when its records come back (a header is none); the board the
    // page reads says the same.
    void silentStationAlarm()
    {
        CollectorConfig config;
        config.silenceAlarmMs = 300;
        startCollector(config);
        const auto view = [this](const QString &station) {
            for (const StationView &v : m_collector->board().views(QDateTime::currentDateTimeUtc()))
                if (v.station == station)
                    return v;
            return StationView{};
        };
        auto c = client();
        QVERIFY(c->publish(fleet::statusTopic(QStringLiteral("mast1")), R"({"station":"mast1","online":true})") >= 0);
        QVERIFY(c->publish(fleet::statusTopic(QStringLiteral("mast2")), R"({"station":"mast2","online":false})") >= 0);
        QTRY_COMPARE(m_collectorLog.count(QStringLiteral("has sent no record")), 1);
        QVERIFY(view(QStringLiteral("mast1")).alarms.contains(u"silent"));
        QCOMPARE(view(QStringLiteral("mast2")).alarms, QStringList{QStringLiteral("offline")});
        QTest::qWait(700);
        QCOMPARE(m_collectorLog.count(QStringLiteral("has sent no record")), 1);

        QVERIFY(c->publish("sorvik7/mast1/record", RecordPayload{kDay1, 0, header(), {}, 0, false}.encode()) >= 0);
        QVERIFY(
            c->publish("sorvik7/mast1/record", RecordPayload{kDay1, header().size(), record(0), {}, 0, false}.encode())
            >= 0);
        QTRY_COMPARE(m_collectorLog.count(QStringLiteral("mast1 sends records again")), 1);
        const StationView mast1 = view(QStringLiteral("mast1"));
        QVERIFY(mast1.online && !mast1.alarms.contains(u"silent") && mast1.lastRecord.isValid());
        QCOMPARE(mast1.recordsTotal, 1u);
        QCOMPARE(m_collectorLog.count(QStringLiteral("mast2")), 0);
    }
};

QTEST_GUILESS_MAIN(tst_relay)
#include "tst_relay.moc"
