// The fleet page's view of the stations: alarms at the time asked about
// (the silence time included, which the fleet test cannot wait for, and
// the log's silence alarm with it), how online and offline are dated, and
// the charts' intervals in order.
#include "collector/stationboard.h"
#include "daemon/log.h"

#include <QJsonDocument>
#include <QTest>

namespace {

const QDateTime kStart(QDate(2026, 12, 7), QTime(3, 0), Qt::UTC);
const QString kStation = QStringLiteral("mast1");

// What a station sends: a record line ("line"), or its status, live or stats JSON.
struct Event
{
    int atS;
    QByteArray leaf;
    QByteArray payload;
};

class TestLog final : public Log
{
public:
    void write(Level, const QString &text) const override { lines << text; }
    mutable QStringList lines;
};

// The silence alarm is looked at before each event, as the collector's timer would.
void feed(StationBoard &board, const QList<Event> &events)
{
    for (const Event &e : events) {
        const QDateTime at = kStart.addSecs(e.atS);
        board.checkSilence(at);
        if (e.leaf == "line")
            board.takeRecord(kStation, e.payload, at);
        else
            board.takeReport(kStation, e.leaf, QJsonDocument::fromJson(e.payload).object(), at);
    }
}

const QByteArray kOnline = "{\"online\":true,\"since\":\"2026-12-01T00:00:00Z\"}";
const QByteArray kRecord = "03:00:00,\x02Q,085,004.20,M,00\r\n";
const QByteArray kBadRecord = "03:00:00,\x02Q,085,004.20,M,0A\r\n";

} // namespace

Q_DECLARE_METATYPE(QList<Event>)

class tst_stationboard : public QObject
{
    Q_OBJECT

private slots:
    void alarms_data()
    {
        QTest::addColumn<QList<Event>>("events");
        QTest::addColumn<int>("atS");
        QTest::addColumn<bool>("online");
        QTest::addColumn<int>("sinceS"); // seconds since the state began; -1: not known
        QTest::addColumn<QStringList>("alarms");

        const QList<Event> recording{{0, "status", kOnline}, {0, "line", kRecord}};
        QTest::newRow("records within the silence time")
            << recording << 119 << true << 86400 * 6 + 3 * 3600 + 119 << QStringList();
        QTest::newRow("silent after it") << recording << 120 << true << 86400 * 6 + 3 * 3600 + 120
                                         << QStringList{"silent"};
        QTest::newRow("online, never a record")
            << QList<Event>{{0, "status", "{\"online\":true}"}} << 121 << true << 121 << QStringList{"silent"};
        // The will's "since" is when its connection was made: the change is dated when seen.
        QTest::newRow("offline by the last will")
            << (recording + QList<Event>{{50, "status", "{\"online\":false,\"since\":\"2026-12-01T00:00:00Z\"}"}}) << 60
            << false << 10 << QStringList{"offline"};
        QTest::newRow("faults and a sensor status")
            << QList<Event>{{0, "status",
                             "{\"online\":true,\"faults\":[\"waiting for the device /dev/ttyUSB0\","
                             "\"cannot write 20261207.SVK: Permission denied\",\"no valid message for 30 s\","
                             "\"receive buffer overflow: characters dropped\"],"
                             "\"records_waiting\":12}"},
                            {1, "line", kBadRecord}}
            << 2 << true << 2 << QStringList{"no_valid_message", "sensor_status", "device_lost",
                                             "file_fault",       "backlog",       "input_overflow"};
        QTest::newRow("a newer live message clears the record's status")
            << (recording + QList<Event>{{1, "line", kBadRecord}, {2, "live", "{\"status\":\"00\",\"speed\":4.1}"}})
            << 3 << true << 86400 * 6 + 3 * 3600 + 3 << QStringList();
        // Back after an outage longer than the silence time: silent only
        // once that time has passed since it came online.
        const QList<Event> back =
            recording + QList<Event>{{10, "status", "{\"online\":false}"}, {1000, "status", "{\"online\":true}"}};
        QTest::newRow("back online, within the silence time") << back << 1119 << true << 119 << QStringList();
        QTest::newRow("back online, silent after it") << back << 1120 << true << 120 << QStringList{"silent"};
    }

    void alarms()
    {
        QFETCH(QList<Event>, events);
        QFETCH(int, atS);
        QFETCH(bool, online);
        QFETCH(int, sinceS);
        QFETCH(QStringList, alarms);
        TestLog log;
        StationBoard board(log);
        feed(board, events);
        board.checkSilence(kStart.addSecs(atS));
        const QList<StationView> views = board.views(kStart.addSecs(atS));
        QCOMPARE(views.size(), 1);
        QCOMPARE(views[0].online, online);
        QCOMPARE(views[0].since.isValid() ? views[0].since.secsTo(kStart.addSecs(atS)) : -1, sinceS);
        QCOMPARE(views[0].alarms, alarms);
        // The log warns about the silence when, and only when, the page shows it.
        QCOMPARE(log.lines.filter(QStringLiteral("has sent no record")).size(), alarms.contains(u"silent") ? 1 : 0);
    }

    void clearedStatusForgetsTheStation()
    {
        TestLog log;
        StationBoard board(log);
        feed(board, {{0, "status", kOnline}, {0, "line", kRecord}, {5, "status", {}}});
        QVERIFY(board.views(kStart.addSecs(6)).isEmpty());
    }

    void historyInOrderOverSixHours()
    {
        TestLog log;
        StationBoard board(log);
        const auto stats = [](const char *start, double gust) {
            return QByteArray("{\"start\":\"2026-12-07T") + start
                + "Z\",\"speed_mean\":4.0,\"gust\":" + QByteArray::number(gust) + "}";
        };
        feed(board,
             {{0, "stats", stats("02:00:00", 6)},
              {1, "stats", stats("01:50:00", 5)}, // late
              {2, "stats", stats("02:00:00", 7)}, // sent again, corrected
              {3, "stats", stats("08:00:00", 9)}}); // six hours on: 01:50 drops out
        const StationView v = board.views(kStart.addSecs(4)).value(0);
        QCOMPARE(v.history.size(), 2);
        QCOMPARE(v.history[0][QStringLiteral("start")].toString(), QStringLiteral("2026-12-07T02:00:00Z"));
        QCOMPARE(v.history[0][QStringLiteral("gust")].toDouble(), 7.0);
        QCOMPARE(v.history[1][QStringLiteral("gust")].toDouble(), 9.0);
        QCOMPARE(v.stats[QStringLiteral("gust")].toDouble(), 9.0);
    }
};

QTEST_APPLESS_MAIN(tst_stationboard)
#include "tst_stationboard.moc"
