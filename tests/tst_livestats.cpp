// What a dashboard reads over MQTT, read back by mosquitto_sub through a
// real broker: sorvik7/<station>/live (the latest message, at most once a
// second) against the raw table, sorvik7/<station>/stats (retained) against
// the statistics table, and the status with since when it holds.
#include "tests/support/fleetsupport.h"
#include "tests/support/testsupport.h"

#include <QDateTime>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr int kSlowMs = 60000; // generous: CI machines are shared
constexpr int kLiveMessages = 5;
const QString kStation = QStringLiteral("mast");

struct Message
{
    QByteArray topic;
    QJsonObject json;
};

// "topic payload" lines, as mosquitto_sub -v prints them.
QList<Message> messages(const QByteArray &output, const QByteArray &leaf)
{
    QList<Message> out;
    for (const QByteArray &line : output.split('\n')) {
        const qsizetype space = line.indexOf(' ');
        if (space > 0 && line.left(space).endsWith('/' + leaf))
            out << Message{line.left(space), QJsonDocument::fromJson(line.mid(space + 1)).object()};
    }
    return out;
}

// The rows of every file of a table, the header left out.
QList<QByteArrayList> tableRows(const QString &folder)
{
    QList<QByteArrayList> rows;
    for (const QString &name : QDir(folder).entryList({"*.csv"}, QDir::Files)) {
        const QByteArrayList lines = fileBytes(folder + u'/' + name).split('\n');
        for (const QByteArray &line : lines.mid(1))
            if (!line.isEmpty())
                rows << line.split(',');
    }
    return rows;
}

// A CSV cell and a JSON value say the same: empty and null, or equal
// numbers, or equal text.
bool same(const QByteArray &cell, const QJsonValue &value)
{
    if (cell.isEmpty())
        return value.isNull();
    if (value.isDouble())
        return cell.toDouble() == value.toDouble();
    return value.isString() && value.toString().toLatin1() == cell;
}

} // namespace

class tst_livestats : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString path(const char *name) const { return m_dir.filePath(QString::fromLatin1(name)); }

private slots:
    void liveAndStatsTopics()
    {
        const QString sub = QStandardPaths::findExecutable(QStringLiteral("mosquitto_sub"));
        if (sub.isEmpty())
            QSKIP("mosquitto_sub is not installed (scripts/install-deps.sh installs it)");
        TestBroker broker(m_dir.path());
        QVERIFY2(broker.start(), broker.log().constData());
        QProcess subscriber;
        endWithParent(subscriber);
        const QString topic = QStringLiteral("sorvik7/%1/").arg(kStation);
        subscriber.start(sub,
                         {"-h", "127.0.0.1", "-p", QString::number(broker.port()), "-v", "-t", topic + "live", "-t",
                          topic + "stats", "-t", topic + "status"});
        QVERIFY(subscriber.waitForStarted());
        QByteArray heard;
        const auto hear = [&](const QByteArray &leaf) {
            heard += subscriber.readAllStandardOutput();
            return messages(heard, leaf);
        };

        const QString link = path("ttyWIND"), data = path("data"), config = path("empty.conf");
        QFile(config).open(QIODevice::WriteOnly);
        SensorProcess sensor;
        QVERIFY(sensor.start({"--quiet", "--rate", "10", "--link", link}));
        ProgramProcess station(QStringLiteral("service/sorvik7-logger"),
                               {"--port", link, "--dir", data, "--config", config, "--stats-minutes", "1", "--mqtt-url",
                                broker.url(), "--station", kStation});
        QVERIFY(station.start());
        QTRY_VERIFY2_WITH_TIMEOUT(hear("live").size() >= kLiveMessages, station.log().constData(), kSlowMs);
        QVERIFY(station.terminate());
        // At stop: the interval in progress, then the station says it is offline.
        QTRY_VERIFY_WITH_TIMEOUT(!hear("stats").isEmpty() && !hear("status").isEmpty()
                                     && !hear("status").last().json.value(u"online").toBool(),
                                 kSlowMs);
        subscriber.kill();

        // Each live message is a message of the raw table, with the mean the record holds.
        QMap<QByteArray, QByteArrayList> raw;
        for (const QByteArrayList &row : tableRows(data + QStringLiteral("/raw")))
            raw.insert(row[0], row);
        const QList<Message> live = hear("live");
        for (const Message &m : live) {
            QCOMPARE(m.json.keys(), QStringList({"direction", "mean", "speed", "status", "time", "units"}));
            const QByteArrayList row = raw.value(m.json.value(u"time").toString().toLatin1());
            QVERIFY2(!row.isEmpty(), qPrintable(m.json.value(u"time").toString()));
            QVERIFY(same(row[1], m.json.value(u"direction")));
            QVERIFY(same(row[2], m.json.value(u"speed")));
            QVERIFY(same(row[3], m.json.value(u"units")));
            QVERIFY(same(row[4], m.json.value(u"status")));
            QVERIFY(m.json.value(u"mean").isNull() || m.json.value(u"mean").isDouble());
        }
        QVERIFY(live.last().json.value(u"mean").isDouble());
        // At most one a second.
        const auto at = [&](const Message &m) {
            return QDateTime::fromString(m.json.value(u"time").toString(), Qt::ISODateWithMs).toMSecsSinceEpoch();
        };
        QVERIFY2(live.size() <= (at(live.last()) - at(live.first())) / 1000 + 2,
                 qPrintable(QString::number(live.size())));

        // The last statistics published are the table's last row, column by column.
        const QList<QByteArrayList> stats = tableRows(data + QStringLiteral("/stats"));
        QVERIFY(!stats.isEmpty());
        const QJsonObject json = hear("stats").last().json;
        const QStringList columns = QStringLiteral("start,end,count,coverage,speed_mean,speed_sd,speed_min,speed_max,"
                                                   "gust,ti,dir_mean,dir_sd,status_bad,units")
                                        .split(u',');
        QCOMPARE(json.keys().size(), columns.size());
        for (int i = 0; i < columns.size(); ++i)
            QVERIFY2(same(stats.last()[i], json.value(columns[i])), qPrintable(columns[i]));

        // Online since the connection, offline since the stop.
        const QList<Message> status = hear("status");
        for (const Message &m : status)
            QVERIFY2(QDateTime::fromString(m.json.value(u"since").toString(), Qt::ISODate).isValid(),
                     QJsonDocument(m.json).toJson().constData());
        QVERIFY(status.first().json.value(u"online").toBool());
    }
};

QTEST_GUILESS_MAIN(tst_livestats)
#include "tst_livestats.moc"
