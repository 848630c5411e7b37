// sorvik7-bench-service: what sorvik7-logger costs as a process. It runs on
// a pseudo-terminal fed by the simulated sensor at a real sensor's 4
// messages a second and at a saturated line; beside it, `cat` reads an
// identical stream from a pseudo-terminal of its own into a file, as the
// cheapest possible reader. Then the sensor is unplugged and the service
// waits for it. Prints CPU (% of one core) and wake-ups a second (context
// switches over all threads, from /proc) for both, their ratio, resident
// memory and lost records, and a summary line. At 4 Hz a second service
// runs beside them without the raw and statistics tables, to show what the
// tables cost, and the size of a day of each table is worked out from the
// rows written.

#include "bench/procstat.h"
#include "tests/support/testsupport.h"
#include "tools/sensormessage.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <sys/prctl.h>

namespace {

constexpr int kSamples = 10;
// Sync skips 3 messages, N-1 fill the window, and the last one is never
// completed by a following STX.
constexpr qint64 kUnrecorded = 3 + (kSamples - 1) + 1;
constexpr int kStartMs = 10000;
constexpr int kSettleMs = 1000; // start-up is not measured
constexpr int kMessagesPerSecond = 4;
constexpr int kLineMessagesPerSecond = 40; // 960 characters a second, 24 a message

// Targets on the development machine.
constexpr double kMaxCpu4Hz = 0.15;
constexpr double kMaxCpuLine = 1.0;
constexpr double kMaxWakeups4Hz = 30;
constexpr double kMaxWakeupsWaiting = 1;
constexpr double kMaxRssMb = 12;
constexpr double kMaxTablesCost = 1.25; // with the tables, against without
constexpr qint64 kSecondsPerDay = 86400;
constexpr qint64 kIntervalsPerDay = 144; // the statistics' default 10 minutes

// The sensors, the service and cat end with the benchmark, however it ends,
// so none of them lives on to take over a pseudo-terminal number.
// The simulated sensor, quiet.
struct Sensor : SensorProcess
{
    Sensor() { endSignal = SIGTERM; }
    bool start(const QStringList &args) { return SensorProcess::start(QStringList{"--quiet"} + args); }
};

struct Measured
{
    ProcRate rate;
    qint64 rssKb = 0;
};

// Cost of a process between two samples. update() keeps the latest one, so
// a process that ends by itself (cat, when its line hangs up) is measured
// up to its last moments.
class Meter
{
public:
    explicit Meter(qint64 pid)
        : m_pid(pid)
    {
    }
    void begin() { m_from = m_last = sampleProcess(m_pid); }
    void update()
    {
        if (const std::optional<ProcSample> now = sampleProcess(m_pid))
            m_last = now;
    }
    Measured end()
    {
        update();
        if (!m_from || !m_last)
            return {};
        return {rateBetween(*m_from, *m_last), m_last->peakRssKb};
    }

private:
    qint64 m_pid;
    std::optional<ProcSample> m_from;
    std::optional<ProcSample> m_last;
};

// sorvik7-logger as a process, its log in a file.
struct Service
{
    explicit Service(const QString &port, const QStringList &extra = {})
    {
        QFile(dir.filePath("empty.conf")).open(QIODevice::WriteOnly);
        process.setStandardErrorFile(dir.filePath("log"));
        endWithParent(process, SIGTERM);
        process.start(builtProgram(QStringLiteral("service/sorvik7-logger")),
                      QStringList{"--port", port, "--samples", QString::number(kSamples), "--dir", dir.filePath("data"),
                                  "--config", dir.filePath("empty.conf")}
                          + extra);
        process.waitForStarted(kStartMs);
    }
    ~Service() { stop(); }
    // SIGTERM; true when it ended by itself with status 0.
    bool stop() { return stopCleanly(process, kStartMs); }
    QByteArray log() const
    {
        QFile f(dir.filePath("log"));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    // Record lines over all day files (a run may cross midnight).
    qint64 records() const
    {
        qint64 lines = 0;
        const QDir data(dir.filePath("data"));
        for (const QString &name : data.entryList({"*.SVK"}, QDir::Files)) {
            QFile f(data.filePath(name));
            if (f.open(QIODevice::ReadOnly))
                lines += f.readAll().count("\r\n") - 1; // less the header
        }
        return lines;
    }
    // Bytes and rows (less the header) of one table's files.
    std::pair<qint64, qint64> table(const QString &name) const
    {
        qint64 bytes = 0, rows = 0;
        const QDir folder(dir.filePath("data/" + name));
        for (const QString &file : folder.entryList({"*.csv"}, QDir::Files)) {
            QFile f(folder.filePath(file));
            if (f.open(QIODevice::ReadOnly)) {
                const QByteArray all = f.readAll();
                bytes += all.size() - (all.indexOf('\n') + 1);
                rows += all.count('\n') - 1;
            }
        }
        return {bytes, rows};
    }
    QTemporaryDir dir;
    QProcess process;
};

struct Scenario
{
    QString name;
    Measured service;
    Measured cat;
    std::optional<Measured> bare; // the service without tables
    double rawBytesPerRow = 0;
    double statsBytesPerRow = 0;
    qint64 records = 0;
    qint64 expected = 0;
    qint64 catBytes = 0;
    qint64 sentBytes = 0;
    bool ok = true;
};

double ratio(double a, double b)
{
    return b > 0 ? a / b : 0;
}

void print(const Scenario &s)
{
    std::printf("%-9s service cpu=%.3f%% wakeups=%.1f/s records=%lld/%lld lost=%lld rss_mb=%.1f\n", qPrintable(s.name),
                s.service.rate.cpuPercent, s.service.rate.wakeupsPerSecond, s.records, s.expected,
                std::max<qint64>(0, s.expected - s.records), s.service.rssKb / 1024.0);
    std::printf("%-9s cat     cpu=%.3f%% wakeups=%.1f/s bytes=%lld/%lld\n", qPrintable(s.name), s.cat.rate.cpuPercent,
                s.cat.rate.wakeupsPerSecond, s.catBytes, s.sentBytes);
    std::printf("%-9s ratio   cpu=%.1f wakeups=%.1f %s\n", qPrintable(s.name),
                ratio(s.service.rate.cpuPercent, s.cat.rate.cpuPercent),
                ratio(s.service.rate.wakeupsPerSecond, s.cat.rate.wakeupsPerSecond), s.ok ? "ok" : "FAILED");
    if (s.bare) {
        std::printf("%-9s service without tables cpu=%.3f%% wakeups=%.1f/s; with tables / without: cpu=%.2f "
                    "(target <= %.2f)\n",
                    qPrintable(s.name), s.bare->rate.cpuPercent, s.bare->rate.wakeupsPerSecond,
                    ratio(s.service.rate.cpuPercent, s.bare->rate.cpuPercent), kMaxTablesCost);
        std::printf("%-9s a day at 4 Hz: raw table %.1f MB (%.1f bytes a row), statistics table %.1f kB "
                    "(10-minute rows of %.0f bytes)\n",
                    qPrintable(s.name), s.rawBytesPerRow * kMessagesPerSecond * kSecondsPerDay / 1e6, s.rawBytesPerRow,
                    s.statsBytesPerRow * kIntervalsPerDay / 1e3, s.statsBytesPerRow);
    }
    std::fflush(stdout);
}

// The service and cat, each on its own sensor sending the same messages,
// measured from a second after they opened their ports until the sensors
// have sent `perSecond` messages a second for `seconds` and seen them read.
Scenario runStream(const QString &name, const QStringList &pacing, int perSecond, int seconds, bool withBare)
{
    const qint64 messages = qint64(perSecond) * seconds;
    Scenario s;
    s.name = name;
    const QStringList args = QStringList{"--wait", "--seed", "7", "--count", QString::number(messages)} + pacing;
    // The service opens its device through a link of its own, as it would a
    // by-id name: never a pseudo-terminal number that another program gets.
    QTemporaryDir linkDir;
    const QString link = linkDir.filePath(QStringLiteral("ttyWIND"));
    const QString bareLink = linkDir.filePath(QStringLiteral("ttyBARE"));
    Sensor serviceSensor, catSensor, bareSensor;
    if (!serviceSensor.start(args + QStringList{"--link", link}) || !catSensor.start(args)
        || (withBare && !bareSensor.start(args + QStringList{"--link", bareLink}))) {
        std::fprintf(stderr, "sorvik7-bench-service: the simulated sensor did not start\n");
        s.ok = false;
        return s;
    }
    Service service(link);
    std::optional<Service> bare;
    if (withBare)
        bare.emplace(bareLink, QStringList{"--tables", "none"});
    QProcess cat;
    cat.setStandardOutputFile(service.dir.filePath("cat.out"));
    endWithParent(cat);
    // The sensor's pseudo-terminal is raw already: cat gets the bytes unchanged.
    cat.start(QStringLiteral("cat"), {catSensor.device});
    cat.waitForStarted(kStartMs);

    runEventLoop(kSettleMs);
    Meter serviceMeter(service.process.processId()), catMeter(cat.processId());
    Meter bareMeter(bare ? bare->process.processId() : 0);
    serviceMeter.begin();
    catMeter.begin();
    if (bare)
        bareMeter.begin();
    const auto finished = [&catMeter](const Sensor &x) {
        catMeter.update();
        return x.process.state() == QProcess::NotRunning;
    };
    const int budgetMs = 2 * seconds * 1000 + kStartMs;
    s.ok = waitFor([&] { return finished(serviceSensor); }, budgetMs);
    s.service = serviceMeter.end();
    if (bare) {
        s.ok = waitFor([&] { return finished(bareSensor); }, budgetMs) && s.ok;
        s.bare = bareMeter.end();
    }
    if (!waitFor([&] { return finished(catSensor); }, budgetMs)) {
        std::fprintf(stderr, "sorvik7-bench-service: cat's sensor did not finish\n");
        s.ok = false;
    }
    s.cat = catMeter.end();

    runEventLoop(kSettleMs); // what is still in the service's buffer
    s.ok = service.stop() && s.ok;
    if (bare) {
        s.ok = bare->stop() && s.ok;
        s.ok = bare->records() == messages - kUnrecorded && s.ok;
    }
    cat.terminate();
    cat.waitForFinished(kStartMs);
    s.records = service.records();
    const auto [rawBytes, rawRows] = service.table(QStringLiteral("raw"));
    const auto [statsBytes, statsRows] = service.table(QStringLiteral("stats"));
    s.rawBytesPerRow = rawRows > 0 ? double(rawBytes) / double(rawRows) : 0;
    s.statsBytesPerRow = statsRows > 0 ? double(statsBytes) / double(statsRows) : 0;
    s.expected = messages - kUnrecorded;
    s.sentBytes = messages * SensorMessage::polar(0, 0.0).size();
    s.catBytes = QFileInfo(service.dir.filePath("cat.out")).size();
    s.ok = s.ok && s.records == s.expected && s.catBytes == s.sentBytes;
    if (!s.ok)
        std::fprintf(stderr, "sorvik7-bench-service: the service's log:\n%s", service.log().constData());
    return s;
}

struct Waiting
{
    Measured service;
    qint64 lostLines = 0;
    qint64 backLines = 0;
    bool ok = true;
};

// The service records a sensor behind a link; the sensor goes away (the
// link with it) and the service waits `seconds`; then a sensor appears at
// the same link and the service must take it up.
Waiting runWaiting(int seconds)
{
    Waiting w;
    QTemporaryDir linkDir;
    const QString link = linkDir.filePath("ttyWIND");
    const QStringList args{"--rate", QString::number(kMessagesPerSecond), "--link", link};
    auto sensor = std::make_unique<Sensor>();
    w.ok = sensor->start(args);
    Service service(link);
    w.ok = w.ok && waitFor([&] { return service.records() > 0; }, kStartMs);
    sensor.reset(); // unplugged
    w.ok = w.ok && waitFor([&] { return service.log().contains("Device lost"); }, kStartMs);
    runEventLoop(kSettleMs);
    Meter meter(service.process.processId());
    meter.begin();
    runEventLoop(seconds * 1000);
    w.service = meter.end();
    sensor = std::make_unique<Sensor>();
    w.ok = sensor->start(args) && w.ok;
    w.ok = waitFor([&] { return service.log().contains("Device back"); }, kStartMs) && w.ok;
    w.ok = service.stop() && w.ok;
    w.lostLines = service.log().count("Device lost");
    w.backLines = service.log().count("Device back");
    w.ok = w.ok && w.lostLines == 1 && w.backLines == 1;
    if (!w.ok)
        std::fprintf(stderr, "sorvik7-bench-service: the service's log:\n%s", service.log().constData());
    std::printf("%-9s service cpu=%.3f%% wakeups=%.2f/s over %d s; lost reported %lld time(s), back %lld %s\n",
                "waiting", w.service.rate.cpuPercent, w.service.rate.wakeupsPerSecond, seconds, w.lostLines,
                w.backLines, w.ok ? "ok" : "FAILED");
    std::fflush(stdout);
    return w;
}

// The targets that were missed, or "none".
QString missedTargets(const Scenario &hz4, const Scenario &line, const Waiting &wait, double rssMb)
{
    QStringList missed;
    if (hz4.bare && ratio(hz4.service.rate.cpuPercent, hz4.bare->rate.cpuPercent) > kMaxTablesCost)
        missed << QStringLiteral("the tables' cost at 4 Hz");
    if (hz4.service.rate.cpuPercent > kMaxCpu4Hz)
        missed << QStringLiteral("cpu at 4 Hz");
    if (line.service.rate.cpuPercent > kMaxCpuLine)
        missed << QStringLiteral("cpu at line rate");
    if (hz4.service.rate.wakeupsPerSecond > kMaxWakeups4Hz)
        missed << QStringLiteral("wake-ups at 4 Hz");
    if (wait.service.rate.wakeupsPerSecond > kMaxWakeupsWaiting)
        missed << QStringLiteral("wake-ups while waiting");
    if (rssMb > kMaxRssMb)
        missed << QStringLiteral("resident memory");
    return missed.isEmpty() ? QStringLiteral("none") : missed.join(QStringLiteral(", "));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("What sorvik7-logger costs as a process, next to cat."));
    parser.addHelpOption();
    const QCommandLineOption secondsOpt(QStringLiteral("seconds"),
                                        QStringLiteral("Length of the 4 Hz and line-rate runs (default 60)."),
                                        QStringLiteral("s"), QStringLiteral("60"));
    const QCommandLineOption waitOpt(
        QStringLiteral("wait-seconds"),
        QStringLiteral("How long the service waits for the unplugged sensor (default 20)."), QStringLiteral("s"),
        QStringLiteral("20"));
    parser.addOptions({secondsOpt, waitOpt});
    parser.process(app);
    const int seconds = std::max(5, parser.value(secondsOpt).toInt());
    const int waitSeconds = std::max(5, parser.value(waitOpt).toInt());

    const Scenario hz4 = runStream(QStringLiteral("4hz"), {"--rate", QString::number(kMessagesPerSecond)},
                                   kMessagesPerSecond, seconds, true);
    print(hz4);
    const Scenario line = runStream(QStringLiteral("line"), {"--line-rate"}, kLineMessagesPerSecond, seconds, false);
    print(line);
    const Waiting wait = runWaiting(waitSeconds);

    const double rssMb = std::max(hz4.service.rssKb, line.service.rssKb) / 1024.0;
    const qint64 lost =
        std::max<qint64>(0, hz4.expected - hz4.records) + std::max<qint64>(0, line.expected - line.records);
    std::printf("targets missed: %s\n", qPrintable(missedTargets(hz4, line, wait, rssMb)));
    std::printf(
        "summary: lost=%lld svc_cpu_4hz=%.3f svc_wakeups_4hz=%.1f svc_cpu_line=%.3f svc_wakeups_line=%.1f "
        "svc_cpu_wait=%.4f svc_wakeups_wait=%.2f svc_rss_mb=%.1f cat_cpu_4hz=%.3f cat_cpu_line=%.3f "
        "cpu_ratio_4hz=%.1f cpu_ratio_line=%.1f svc_cpu_4hz_no_tables=%.3f tables_cost_4hz=%.2f\n",
        lost, hz4.service.rate.cpuPercent, hz4.service.rate.wakeupsPerSecond, line.service.rate.cpuPercent,
        line.service.rate.wakeupsPerSecond, wait.service.rate.cpuPercent, wait.service.rate.wakeupsPerSecond, rssMb,
        hz4.cat.rate.cpuPercent, line.cat.rate.cpuPercent, ratio(hz4.service.rate.cpuPercent, hz4.cat.rate.cpuPercent),
        ratio(line.service.rate.cpuPercent, line.cat.rate.cpuPercent), hz4.bare ? hz4.bare->rate.cpuPercent : 0.0,
        hz4.bare ? ratio(hz4.service.rate.cpuPercent, hz4.bare->rate.cpuPercent) : 0.0);
    return hz4.ok && line.ok && wait.ok ? 0 : 1;
}
