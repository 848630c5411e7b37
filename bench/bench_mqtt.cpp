// sorvik7-bench-mqtt: a day's backlog caught up over MQTT.
//
// A station's data folder holds yesterday's day file, 345 600 records (4 a
// second), none of them acknowledged by a broker yet (its cursor is at 0).
// sorvik7-logger starts on it while the broker is down, recording the
// simulated sensor at 4 messages a second into today's file; then the
// broker comes back (a mosquitto of our own on 127.0.0.1) with
// sorvik7-collect subscribed. Measured: how long until the collector has
// the whole day, records a second to it, the largest backlog of characters
// the station's acquisition cycle had meanwhile (from the station's retained
// status: the highest the cycle's counter showed since the status before),
// the CPU of the station and the collector, and whether the copies equal
// the station's files byte for byte once the sensor stops.
//
//   sorvik7-bench-mqtt [--records 345600] [--keep DIR]

#include "bench/procstat.h"
#include "common/msgfields.h"
#include "common/speedwindow.h"
#include "datafile/dayfilename.h"
#include "datafile/recordformat.h"
#include "mqtt/fleet.h"
#include "mqtt/mqttclient.h"
#include "tests/support/fleetsupport.h"
#include "tests/support/testsupport.h"
#include "tools/readingsource.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr qint64 kDayRecords = 4 * 86400;
constexpr int kRecordsPerSecond = 4;
constexpr int kSampleNum = 10;
constexpr int kStartMs = 10000;
constexpr int kBrokerDownMs = 4000; // the station starts while the broker is away
constexpr int kCatchUpLimitMs = 600000;
constexpr int kStatusPeriodMs = 10000; // the station's status period, and a margin
constexpr qint64 kWriteChunk = 1 << 20;
// Targets on the development machine.
constexpr double kMaxCatchUpSeconds = 60;
constexpr int kMaxCycleBacklog = 100;
const QString kStation = QStringLiteral("bench");

// The day file as the logger writes it: the header, then `records` records,
// 4 a second from midnight on, the simulated sensor's random walk, N = 10.
void writeDay(const QString &folder, const QDate &date, qint64 records)
{
    QFile file(folder + u'/' + dayfilename::make(date));
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(file.fileName()));
    ReadingSource source = ReadingSource::walk(1);
    MsgFields fld;
    fld.Fld1 = QByteArrayLiteral("\x02Q");
    fld.Fld4 = QByteArrayLiteral("M");
    fld.Fld5 = QByteArrayLiteral("00");
    SpeedBuffer buf{};
    for (int slot = 1; slot <= kSampleNum; ++slot)
        buf[size_t(slot)] = source.next().speed;
    QByteArray out = headerLine(QDateTime(date, QTime(0, 0))) + "\r\n";
    for (qint64 i = 0; i < records; ++i) {
        const ReadingSource::Reading r = source.next();
        buf[size_t(i % kSampleNum + 1)] = r.speed;
        fld.Fld2 = QByteArray::number(r.direction).rightJustified(3, '0');
        const QTime time = QTime(0, 0).addSecs(int(i / kRecordsPerSecond));
        out += Record_Line(formatTimeOfDay(time), fld, Window_Avg(buf, kSampleNum), false, buf, kSampleNum) + "\r\n";
        if (out.size() >= kWriteChunk) {
            file.write(out);
            out.resize(0);
        }
    }
    file.write(out);
}

// A program of ours, or the broker, as a process with its stderr in a file.
struct Child
{
    ~Child() { stop(); }
    bool start(const QString &program, const QStringList &args, const QString &logFile)
    {
        process.setStandardErrorFile(logFile);
        endWithParent(process, SIGTERM);
        process.start(program, args);
        return process.waitForStarted(kStartMs);
    }
    // SIGTERM; true when it ended by itself with status 0.
    bool stop() { return stopCleanly(process, kStartMs); }
    QProcess process;
};

// The station's retained status, as a dashboard reads it.
struct StatusWatch
{
    explicit StatusWatch(const QString &url)
        : client([&url] {
              MqttClientConfig c;
              c.broker.url = MqttUrl::parse(url, nullptr);
              QString error;
              auto made = MqttClient::make(c, &error);
              if (!made)
                  qFatal("%s", qPrintable(error));
              return made;
          }())
    {
        QObject::connect(client.get(), &MqttClient::messageReceived, client.get(),
                         [this](const QByteArray &, const QByteArray &payload) {
                             const QJsonObject status = QJsonDocument::fromJson(payload).object();
                             largestBacklog =
                                 std::max(largestBacklog, status.value(QStringLiteral("cycle_backlog_max")).toInt());
                             ++messages;
                         });
        client->subscribe(fleet::statusTopic(kStation));
        client->open();
    }
    std::unique_ptr<MqttClient> client;
    int largestBacklog = 0;
    int messages = 0;
};

// What a process costs from now on.
class ProcMeter
{
public:
    explicit ProcMeter(qint64 pid)
        : m_pid(pid),
          m_from(sampleProcess(pid))
    {
    }
    ProcRate rate() const
    {
        const std::optional<ProcSample> now = sampleProcess(m_pid);
        return m_from && now ? rateBetween(*m_from, *now) : ProcRate{};
    }

private:
    qint64 m_pid;
    std::optional<ProcSample> m_from;
};

struct Figures
{
    qint64 records = 0;
    double firstSeconds = 0; // from the broker's return to the first line collected
    double caughtUpSeconds = 0; // from the broker's return to the whole day collected
    double recordsPerSecond = 0;
    int cycleBacklog = 0;
    int statuses = 0;
    ProcRate station;
    ProcRate collector;
    bool identical = false;
    bool ok = true;
};

// The station records the sensor with the broker away; the broker and the
// collector come; the day is caught up. `folder` holds everything.
Figures run(const QString &folder, qint64 records)
{
    Figures f;
    f.records = records;
    const QString data = folder + QStringLiteral("/data"), copies = folder + QStringLiteral("/copies");
    const QString copy = copies + u'/' + kStation, empty = folder + QStringLiteral("/empty.conf");
    QDir().mkpath(data);
    QFile(empty).open(QIODevice::WriteOnly);
    const QString day = dayfilename::make(QDate::currentDate().addDays(-1));
    writeDay(data, QDate::currentDate().addDays(-1), records);
    QFile cursor(data + QStringLiteral("/.") + day + QStringLiteral(".sent"));
    cursor.open(QIODevice::WriteOnly);
    cursor.write("0\n");
    cursor.close();

    TestBroker broker(folder);
    const QString url = broker.url();
    Child station, collector;
    SensorProcess sensor;
    sensor.endSignal = SIGTERM;
    QString error;
    f.ok = sensor.start({"--wait", "--quiet", "--rate", QString::number(kRecordsPerSecond)}, &error);
    if (!f.ok)
        std::fprintf(stderr, "sorvik7-bench-mqtt: %s\n", qPrintable(error));
    f.ok = f.ok
        && station.start(
            builtProgram(QStringLiteral("service/sorvik7-logger")),
            {"--port", sensor.device, "--dir", data, "--config", empty, "--mqtt-url", url, "--station", kStation},
            folder + QStringLiteral("/station.log"));
    runEventLoop(kBrokerDownMs);

    QElapsedTimer sinceReturn;
    sinceReturn.start();
    f.ok = f.ok && broker.start()
        && collector.start(builtProgram(QStringLiteral("collector/sorvik7-collect")),
                           {"--mqtt-url", url, "--dir", copies, "--config", empty},
                           folder + QStringLiteral("/collect.log"));
    StatusWatch status(url);
    ProcMeter stationMeter(station.process.processId()), collectorMeter(collector.process.processId());
    const qint64 daySize = QFileInfo(data + u'/' + day).size();
    f.ok = f.ok && waitFor([&] { return QFileInfo::exists(copy + u'/' + day); }, kCatchUpLimitMs);
    f.firstSeconds = sinceReturn.elapsed() / 1000.0;
    f.ok = f.ok && waitFor([&] { return QFileInfo(copy + u'/' + day).size() >= daySize; }, kCatchUpLimitMs);
    f.caughtUpSeconds = sinceReturn.elapsed() / 1000.0;
    f.station = stationMeter.rate();
    f.collector = collectorMeter.rate();
    f.recordsPerSecond = records / std::max(f.caughtUpSeconds - f.firstSeconds, 1e-3);

    // The status after the catch-up covers its end.
    const int seen = status.messages;
    waitFor([&] { return status.messages > seen; }, 2 * kStatusPeriodMs);
    sensor.stop();
    QString why;
    f.identical = waitFor([&] { return sameDayFiles(data, copy, &why); }, kStartMs * 6);
    f.ok = station.stop() && f.ok;
    f.ok = collector.stop() && f.ok;
    f.identical = f.identical && sameDayFiles(data, copy, &why);
    if (!f.identical)
        std::fprintf(stderr, "sorvik7-bench-mqtt: copies: %s\n", qPrintable(why));
    f.cycleBacklog = status.largestBacklog;
    f.statuses = status.messages;
    return f;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("A day's backlog caught up over MQTT by sorvik7-logger and sorvik7-collect."));
    parser.addHelpOption();
    const QCommandLineOption recordsOpt(QStringLiteral("records"),
                                        QStringLiteral("Records in the backlog (default a day at 4 Hz, 345600)."),
                                        QStringLiteral("n"), QString::number(kDayRecords));
    const QCommandLineOption keepOpt(QStringLiteral("keep"), QStringLiteral("Work in DIR and keep it (logs, files)."),
                                     QStringLiteral("dir"));
    parser.addOptions({recordsOpt, keepOpt});
    parser.process(app);
    QTemporaryDir temp;
    const QString folder = parser.isSet(keepOpt) ? parser.value(keepOpt) : temp.path();
    QDir().mkpath(folder);

    const Figures f = run(folder, std::max<qint64>(1, parser.value(recordsOpt).toLongLong()));
    std::printf("backlog   records=%lld first_line_after=%.1f s caught_up_after=%.1f s rate=%.0f records/s\n",
                f.records, f.firstSeconds, f.caughtUpSeconds, f.recordsPerSecond);
    std::printf("station   cycle_backlog_max=%d characters (over %d status messages) cpu=%.1f%% wakeups=%.0f/s\n",
                f.cycleBacklog, f.statuses, f.station.cpuPercent, f.station.wakeupsPerSecond);
    std::printf("collector cpu=%.1f%% wakeups=%.0f/s\n", f.collector.cpuPercent, f.collector.wakeupsPerSecond);
    std::printf("copies    %s\n", f.identical ? "identical to the station's files" : "DIFFER from the station's files");
    QStringList missed;
    if (f.caughtUpSeconds > kMaxCatchUpSeconds)
        missed << QStringLiteral("caught up in under 60 s");
    if (f.cycleBacklog >= kMaxCycleBacklog)
        missed << QStringLiteral("cycle backlog under 100 characters");
    if (!f.identical)
        missed << QStringLiteral("identical copies");
    std::printf("targets missed: %s\n", missed.isEmpty() ? "none" : qPrintable(missed.join(QStringLiteral(", "))));
    std::printf("summary: records=%lld catchup_s=%.1f rps=%.0f cycle_backlog_max=%d station_cpu=%.1f "
                "collector_cpu=%.1f identical=%d\n",
                f.records, f.caughtUpSeconds, f.recordsPerSecond, f.cycleBacklog, f.station.cpuPercent,
                f.collector.cpuPercent, int(f.identical));
    if (!f.ok)
        std::fprintf(stderr,
                     "sorvik7-bench-mqtt: a process failed to start or stop cleanly; see the logs in %s (--keep)\n",
                     qPrintable(folder));
    return f.ok && f.identical ? 0 : 1;
}
