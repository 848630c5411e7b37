// sorvik7-bench-fleet: what the fleet page costs the collector.
//
// A fleet of simulated stations publishes to a mosquitto of our own on
// 127.0.0.1 as the logger does: every record line (RecordPayload, 4 a
// second by default), its retained status every 10 s, a live message every
// second, an interval's statistics every minute. Two collectors take it all
// in the same run: one with --http and the fleet page open (headless
// Chromium, which asks /api/stations every 5 s; without Chromium, a poller
// that asks as the page does), one without --http. Measured over the same
// stretch: the CPU and memory of each. Then: how many /api/stations
// requests a second the collector with --http answers, from a few clients
// asking back to back, while the fleet goes on publishing.
//
//   sorvik7-bench-fleet [--stations 50] [--rate 4] [--seconds 60] [--clients 4] [--keep DIR]

#include "bench/procstat.h"
#include "datafile/dayfilename.h"
#include "datafile/recordformat.h"
#include "mqtt/mqttclient.h"
#include "mqtt/recordpayload.h"
#include "tests/support/fleetsupport.h"
#include "tests/support/testsupport.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <cmath>
#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {

constexpr int kStartMs = 10000;
constexpr int kWarmUpMs = 10000; // every station's first status and lines are in
constexpr int kStatusPeriodMs = 10000;
constexpr int kLivePeriodMs = 1000;
constexpr int kStatsPeriodMs = 60000;
constexpr int kRequestsMs = 10000; // how long /api/stations is asked back to back
constexpr int kPollMs = 5000; // as the page asks
constexpr int kMaxInflight = 2000;
constexpr int kHistoryIntervals = 36; // six hours of ten-minute intervals
constexpr int kHistoryIntervalS = 600;
constexpr double kMsPerSecond = 1000.0;
constexpr double kKbPerMb = 1024.0;

QString g_binDir;

// A process of the run, with its stderr in a file; stopped with the run.
struct Child
{
    ~Child() { stopCleanly(process, kStartMs); }
    bool start(const QString &program, const QStringList &args, const QString &logFile)
    {
        process.setStandardErrorFile(logFile);
        endWithParent(process);
        process.start(program, args);
        return process.waitForStarted(kStartMs);
    }
    QProcess process;
};

// The fleet, in one client: each station's lines, status, live and stats.
class Fleet
{
public:
    Fleet(const QString &url, int stations, int rate)
        : m_clientPtr(MqttClient::make(
            [&url] {
                MqttClientConfig c;
                c.broker.url = MqttUrl::parse(url, nullptr);
                c.maxInflight = kMaxInflight;
                return c;
            }(),
            nullptr)),
          m_client(*m_clientPtr),
          m_file(dayfilename::make(QDate::currentDate()).toLatin1()),
          m_offsets(size_t(stations), 0)
    {
        for (int i = 0; i < stations; ++i)
            m_names << QStringLiteral("mast%1").arg(i + 1, 2, 10, QLatin1Char('0'));
        QObject::connect(&m_client, &MqttClient::connected, &m_client, [this] {
            for (int i = 0; i < m_names.size(); ++i)
                publishLine(i, headerLine(QDateTime::currentDateTime()) + "\r\n");
            publishStatus();
            // The last hours of statistics, as a collector that has run for
            // a while holds them: the page's charts are full.
            const QDateTime now = QDateTime::currentDateTimeUtc();
            for (int back = kHistoryIntervals; back > 0; --back)
                publishEach("stats", stats(now.addSecs(-back * kHistoryIntervalS)));
        });
        m_records.setInterval(int(kMsPerSecond / rate));
        QObject::connect(&m_records, &QTimer::timeout, &m_client, [this] {
            for (int i = 0; i < m_names.size(); ++i)
                publishLine(i, record());
        });
        m_status.setInterval(kStatusPeriodMs);
        QObject::connect(&m_status, &QTimer::timeout, &m_client, [this] { publishStatus(); });
        m_live.setInterval(kLivePeriodMs);
        QObject::connect(&m_live, &QTimer::timeout, &m_client, [this] { publishEach("live", live()); });
        m_stats.setInterval(kStatsPeriodMs);
        QObject::connect(&m_stats, &QTimer::timeout, &m_client,
                         [this] { publishEach("stats", stats(QDateTime::currentDateTimeUtc()), true); });
    }

    void start()
    {
        m_client.open();
        for (QTimer *timer : {&m_records, &m_status, &m_live, &m_stats})
            timer->start();
    }
    bool connected() const { return m_client.isConnected(); }
    qint64 published() const { return m_published; }
    QByteArray file() const { return m_file; }

private:
    QByteArray topic(int i, const char *leaf) const { return "sorvik7/" + m_names[i].toUtf8() + '/' + leaf; }

    void publishLine(int i, const QByteArray &line)
    {
        const RecordPayload payload{m_file, m_offsets[size_t(i)], line, {}, 0};
        if (m_client.publish(topic(i, "record"), payload.encode()) >= 0) {
            m_offsets[size_t(i)] += line.size();
            ++m_published;
        }
    }
    void publishEach(const char *leaf, const QByteArray &json, bool retain = false)
    {
        for (int i = 0; i < m_names.size(); ++i)
            m_published += m_client.publish(topic(i, leaf), json, 1, retain) >= 0;
    }
    void publishStatus()
    {
        const QString now = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
        for (int i = 0; i < m_names.size(); ++i) {
            const QJsonObject status{{QStringLiteral("station"), m_names[i]},
                                     {QStringLiteral("online"), true},
                                     {QStringLiteral("since"), now},
                                     {QStringLiteral("time"), now},
                                     {QStringLiteral("records_today"), m_offsets[size_t(i)] / 30},
                                     {QStringLiteral("faults"), QJsonArray()}};
            m_published +=
                m_client.publish(topic(i, "status"), QJsonDocument(status).toJson(QJsonDocument::Compact), 1, true)
                >= 0;
        }
    }
    double speed() { return 4 + 3 * QRandomGenerator::global()->generateDouble(); }
    int direction() { return QRandomGenerator::global()->bounded(360); }
    QByteArray record()
    {
        return formatTimeOfDay(QTime::currentTime()) + ",\x02Q,"
            + QByteArray::number(direction()).rightJustified(3, '0') + ',' + formatNumber(speed()) + ",M,00\r\n";
    }
    QByteArray live()
    {
        return QJsonDocument(
                   QJsonObject{{QStringLiteral("time"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
                               {QStringLiteral("speed"), speed()},
                               {QStringLiteral("mean"), speed()},
                               {QStringLiteral("direction"), direction()},
                               {QStringLiteral("units"), QStringLiteral("M")},
                               {QStringLiteral("status"), QStringLiteral("00")}})
            .toJson(QJsonDocument::Compact);
    }
    QByteArray stats(const QDateTime &end)
    {
        return QJsonDocument(
                   QJsonObject{{QStringLiteral("start"), end.addSecs(-kStatsPeriodMs / 1000).toString(Qt::ISODate)},
                               {QStringLiteral("end"), end.toString(Qt::ISODate)},
                               {QStringLiteral("count"), 240},
                               {QStringLiteral("coverage"), 1.0},
                               {QStringLiteral("speed_mean"), speed()},
                               {QStringLiteral("speed_sd"), 0.8},
                               {QStringLiteral("speed_min"), 2.0},
                               {QStringLiteral("speed_max"), 9.0},
                               {QStringLiteral("gust"), speed() + 2},
                               {QStringLiteral("ti"), 0.15},
                               {QStringLiteral("dir_mean"), direction()},
                               {QStringLiteral("dir_sd"), 12.0},
                               {QStringLiteral("status_bad"), 0},
                               {QStringLiteral("units"), QStringLiteral("M")}})
            .toJson(QJsonDocument::Compact);
    }

    std::unique_ptr<MqttClient> m_clientPtr;
    MqttClient &m_client;
    QByteArray m_file;
    QStringList m_names;
    std::vector<qint64> m_offsets;
    QTimer m_records, m_status, m_live, m_stats;
    qint64 m_published = 0;
};

// Clients that ask for `path`, a new connection each time (the collector
// closes each), counting whole answers with status 200: back to back, or
// once each.
class Askers
{
public:
    enum class Mode { BackToBack, Once };
    Askers(int port, const QByteArray &path, int clients, Mode mode = Mode::BackToBack)
        : m_port(port),
          m_request("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"),
          m_mode(mode)
    {
        for (int i = 0; i < clients; ++i)
            ask();
    }
    ~Askers() { m_mode = Mode::Once; }
    qint64 answered() const { return m_answered; }
    qint64 failed() const { return m_failed; }
    qint64 bytes() const { return m_bytes; }
    void stop() { m_mode = Mode::Once; }

private:
    void ask()
    {
        auto *socket = new QTcpSocket(&m_sockets);
        auto reply = std::make_shared<QByteArray>();
        QObject::connect(socket, &QTcpSocket::connected, socket, [this, socket] { socket->write(m_request); });
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, reply] { *reply += socket->readAll(); });
        QObject::connect(socket, &QTcpSocket::disconnected, socket, [this, socket, reply] {
            if (reply->startsWith("HTTP/1.1 200 ")) {
                ++m_answered;
                m_bytes += reply->size();
            } else {
                ++m_failed;
            }
            socket->deleteLater();
            if (m_mode == Mode::BackToBack)
                ask();
        });
        socket->connectToHost(QStringLiteral("127.0.0.1"), quint16(m_port));
    }

    int m_port;
    QByteArray m_request;
    Mode m_mode;
    qint64 m_answered = 0;
    qint64 m_failed = 0;
    qint64 m_bytes = 0;
    QObject m_sockets; // last: its sockets go first
};

// The fleet page open: headless Chromium when there is one, else a poller
// asking what the page asks, as often.
struct OpenPage
{
    OpenPage(int port, const QString &profile)
    {
        const QString chromium = QStandardPaths::findExecutable(QStringLiteral("chromium"));
        if (chromium.isEmpty()) {
            QObject::connect(&poll, &QTimer::timeout, &poll, [this, port] {
                polls = std::make_unique<Askers>(port, "/api/stations", 1, Askers::Mode::Once);
            });
            poll.start(kPollMs);
            what = QStringLiteral("a poller asking /api/stations every 5 s (no chromium)");
            return;
        }
        QStringList args{"--headless", "--disable-gpu", "--remote-debugging-port=0", "--user-data-dir=" + profile,
                         QStringLiteral("http://127.0.0.1:%1/").arg(port)};
        if (::geteuid() == 0)
            args.prepend(QStringLiteral("--no-sandbox"));
        browser.process.setStandardOutputFile(QProcess::nullDevice());
        browser.start(chromium, args, profile + QStringLiteral(".log"));
        what = QStringLiteral("headless Chromium");
    }
    Child browser;
    QTimer poll;
    std::unique_ptr<Askers> polls;
    QString what;
};

struct Cost
{
    ProcRate rate;
    double rssMb = 0;
    double peakMb = 0;
};

Cost costBetween(const std::optional<ProcSample> &from, qint64 pid)
{
    const std::optional<ProcSample> to = sampleProcess(pid);
    if (!from || !to)
        return {};
    return {rateBetween(*from, *to), to->rssKb / kKbPerMb, to->peakRssKb / kKbPerMb};
}

bool startCollector(Child &collector, const QString &folder, const QString &name, const QString &url,
                    const QStringList &extra)
{
    const QString empty = folder + QStringLiteral("/empty.conf");
    QFile(empty).open(QIODevice::WriteOnly);
    return collector.start(g_binDir + QStringLiteral("/collector/sorvik7-collect"),
                           QStringList{"--mqtt-url", url, "--dir", folder + u'/' + name, "--config", empty,
                                       "--client-id", QStringLiteral("bench-") + name}
                               + extra,
                           folder + u'/' + name + QStringLiteral(".log"));
}

void printCost(const char *name, const Cost &c)
{
    std::printf("%-22s cpu=%5.1f%% wakeups=%5.0f/s rss=%6.1f MB peak=%6.1f MB\n", name, c.rate.cpuPercent,
                c.rate.wakeupsPerSecond, c.rssMb, c.peakMb);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("What the fleet page costs sorvik7-collect, and how fast it answers."));
    parser.addHelpOption();
    const QCommandLineOption stationsOpt(QStringLiteral("stations"), QStringLiteral("Simulated stations (default 50)."),
                                         QStringLiteral("n"), QStringLiteral("50"));
    const QCommandLineOption rateOpt(QStringLiteral("rate"),
                                     QStringLiteral("Records a second per station (default 4)."), QStringLiteral("hz"),
                                     QStringLiteral("4"));
    const QCommandLineOption secondsOpt(QStringLiteral("seconds"),
                                        QStringLiteral("How long the cost is measured (default 60)."),
                                        QStringLiteral("s"), QStringLiteral("60"));
    const QCommandLineOption clientsOpt(QStringLiteral("clients"),
                                        QStringLiteral("Clients asking /api/stations at once (default 4)."),
                                        QStringLiteral("n"), QStringLiteral("4"));
    const QCommandLineOption keepOpt(QStringLiteral("keep"), QStringLiteral("Work in DIR and keep it (logs, copies)."),
                                     QStringLiteral("dir"));
    parser.addOptions({stationsOpt, rateOpt, secondsOpt, clientsOpt, keepOpt});
    parser.process(app);
    g_binDir = QCoreApplication::applicationDirPath() + QStringLiteral("/..");
    const int stations = std::max(1, parser.value(stationsOpt).toInt());
    const int rate = std::max(1, parser.value(rateOpt).toInt());
    const int seconds = std::max(1, parser.value(secondsOpt).toInt());
    QTemporaryDir temp;
    const QString folder = parser.isSet(keepOpt) ? parser.value(keepOpt) : temp.path();
    QDir().mkpath(folder);

    const int httpPort = freePort();
    TestBroker broker(folder);
    const QString url = broker.url();
    Child withHttp, without;
    bool ok = broker.start()
        && startCollector(withHttp, folder, QStringLiteral("with-http"), url, {"--http", QString::number(httpPort)})
        && startCollector(without, folder, QStringLiteral("without-http"), url, {});
    // The simulated stations do not publish again what a collector missed:
    // they start once both collectors have subscribed.
    const auto subscribed = [&folder](const QString &name) {
        QFile log(folder + u'/' + name + QStringLiteral(".log"));
        return log.open(QIODevice::ReadOnly) && log.readAll().contains("connected to");
    };
    ok = ok
        && waitFor(
             [&] { return subscribed(QStringLiteral("with-http")) && subscribed(QStringLiteral("without-http")); },
             kStartMs);
    Fleet fleet(url, stations, rate);
    fleet.start();
    ok = ok && waitFor([&] { return fleet.connected(); }, kStartMs);
    if (!ok) {
        std::fprintf(stderr, "sorvik7-bench-fleet: the broker or a collector did not start; see %s (--keep)\n",
                     qPrintable(folder));
        return 1;
    }
    OpenPage page(httpPort, folder + QStringLiteral("/browser"));
    runEventLoop(kWarmUpMs);

    const auto fromWith = sampleProcess(withHttp.process.processId());
    const auto fromWithout = sampleProcess(without.process.processId());
    const qint64 publishedBefore = fleet.published();
    runEventLoop(seconds * int(kMsPerSecond));
    const Cost costWith = costBetween(fromWith, withHttp.process.processId());
    const Cost costWithout = costBetween(fromWithout, without.process.processId());
    const double messagesPerSecond = (fleet.published() - publishedBefore) / double(seconds);

    QElapsedTimer clock;
    clock.start();
    Askers askers(httpPort, "/api/stations", std::max(1, parser.value(clientsOpt).toInt()));
    const auto fromAsked = sampleProcess(withHttp.process.processId());
    runEventLoop(kRequestsMs);
    askers.stop();
    const double askedSeconds = clock.elapsed() / kMsPerSecond;
    const Cost costAsked = costBetween(fromAsked, withHttp.process.processId());

    std::printf("fleet                  stations=%d records=%d/s each, %.0f messages/s to the broker; page: %s\n",
                stations, rate, messagesPerSecond, qPrintable(page.what));
    printCost("collector --http", costWith);
    printCost("collector", costWithout);
    const double answered = std::max<qint64>(1, askers.answered());
    std::printf("/api/stations          %.0f requests/s from %s clients (%lld answered, %lld failed, %.0f kB each), "
                "collector cpu=%.1f%% meanwhile, %.2f ms of its CPU a request\n",
                askers.answered() / askedSeconds, qPrintable(parser.value(clientsOpt)), askers.answered(),
                askers.failed(), askers.bytes() / answered / 1024.0, costAsked.rate.cpuPercent,
                costAsked.rate.cpuPercent / 100 * askedSeconds * kMsPerSecond / answered);
    // Both took the fleet: the first station's copy in each.
    const auto lines = [&folder, &fleet](const QString &name) {
        QFile copy(folder + u'/' + name + QStringLiteral("/mast01/") + QString::fromLatin1(fleet.file()));
        return copy.open(QIODevice::ReadOnly) ? copy.readAll().count('\n') : 0;
    };
    std::printf("copies                 mast01: %lld lines with --http, %lld without\n",
                qint64(lines(QStringLiteral("with-http"))), qint64(lines(QStringLiteral("without-http"))));
    std::printf(
        "summary: stations=%d rate=%d http_cpu=%.1f plain_cpu=%.1f http_rss_mb=%.1f plain_rss_mb=%.1f api_rps=%.0f\n",
        stations, rate, costWith.rate.cpuPercent, costWithout.rate.cpuPercent, costWith.rssMb, costWithout.rssMb,
        askers.answered() / askedSeconds);
    return 0;
}
