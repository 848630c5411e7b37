// sorvik7-bench: runs the real acquisition cycle, serial control and data
// file, without windows, on a pseudo-terminal fed by the simulated sensor,
// and prints one line of figures per scenario and a summary line.

#include "acquisition/acquisition.h"
#include "acquisition/cycledisplay.h"
#include "common/clock.h"
#include "common/messagereporter.h"
#include "common/sorvik7_def.h"
#include "datafile/datafile.h"

#include "tests/support/testsupport.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <sys/resource.h>

namespace {

class CountingReporter final : public MessageReporter
{
public:
    void report(const QString &text) override
    {
        ++count;
        std::fprintf(stderr, "sorvik7-bench: message box: %s\n", qPrintable(text));
    }
    int count = 0;
};

// Sees what the cycle shows: the messages it took, and the counter, which
// shows the backlog of waiting characters at every run step.
class WatchingDisplay final : public CycleDisplay
{
public:
    void showMessage(const QByteArray &) override { ++messages; }
    void showCount(int n) override
    {
        maxPending = std::max(maxPending, n);
        if (watchLate)
            maxPendingLate = std::max(maxPendingLate, n);
    }
    qint64 messages = 0;
    int maxPending = 0;
    int maxPendingLate = 0; // over the second half of the run: drift shows here
    bool watchLate = false;
};

double cpuSeconds()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

double peakRssMb()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss / 1024.0;
}

struct Result
{
    QString name;
    qint64 sent = 0;
    double lineRate = 0; // characters a second the sensor put on the line
    qint64 shown = 0; // messages the cycle took
    qint64 written = 0;
    qint64 expected = 0;
    int maxPending = 0;
    int maxPendingLate = 0;
    double cpu = 0;
    bool ok = true;
};

Result runSensor(const QString &name, const QString &sensorPath, const QStringList &sensorArgs, int seconds, int n)
{
    Result r;
    r.name = name;

    SensorProcess sensor(sensorPath);
    sensor.endSignal = SIGTERM;
    QString error;
    if (!sensor.start(QStringList{QStringLiteral("--wait")} + sensorArgs, &error)) {
        std::fprintf(stderr, "sorvik7-bench: %s\n", qPrintable(error));
        r.ok = false;
        return r;
    }
    const QString device = sensor.device;

    QTemporaryDir dir;
    SystemClock clock;
    CountingReporter reporter;
    WatchingDisplay display;
    Acquisition engine(display, reporter, clock);
    engine.def().Save_Path = dir.path();
    engine.def().Sample_Num = qint16(n);
    engine.setDevice(device);
    engine.restart();
    engine.start();

    // The sensor sends its count of messages and ends once they have been
    // read, so every message it counts has reached the line whole.
    const double cpu0 = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    QTimer::singleShot(seconds * 500, &sensor.process, [&display] { display.watchLate = true; });
    if (!sensor.waitForEnd(seconds * 2000 + 10000)) {
        std::fprintf(stderr, "sorvik7-bench: the sensor did not finish in time\n");
        sensor.stop();
        r.ok = false;
    }
    const double wallSeconds = wall.nsecsElapsed() / 1e9;
    r.cpu = 100.0 * (cpuSeconds() - cpu0) / wallSeconds;
    const SensorSummary summary = sensor.summary().value_or(SensorSummary{0, 0, -1, 0});
    if (!summary.complete()) {
        std::fprintf(stderr, "sorvik7-bench: sensor summary: %s\n", qPrintable(formatSensorSummary(summary)));
        r.ok = false;
    }
    r.sent = summary.messages;
    // The sensor starts when the port opens and ends when its last byte is
    // read, so its bytes over this run's time are the pace of its line.
    r.lineRate = summary.bytesSent / wallSeconds;

    // Let the cycle read what is still waiting, then STOP.
    runEventLoop(300);
    engine.stop();
    runEventLoop(50);

    r.shown = display.messages;
    r.written = qint64(engine.recordsWritten());
    QFile f(engine.dataPath());
    if (f.open(QIODevice::ReadOnly)) {
        const qint64 lines = f.readAll().count("\r\n");
        if (lines - 1 != r.written)
            r.ok = false;
    }
    r.expected = expectedRecords(r.sent, n);
    r.maxPending = display.maxPending;
    r.maxPendingLate = display.maxPendingLate;
    r.ok = r.ok && reporter.count == 0;
    return r;
}

Result runStopped(int seconds)
{
    Result r;
    r.name = QStringLiteral("stopped");
    SystemClock clock;
    CountingReporter reporter;
    NullDisplay display;
    Acquisition engine(display, reporter, clock);
    engine.restart();
    const double cpu0 = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    runEventLoop(seconds * 1000);
    r.cpu = 100.0 * (cpuSeconds() - cpu0) / (wall.nsecsElapsed() / 1e9);
    return r;
}

// What one record costs on this machine's disk, with and without the flush
// to the storage device that makes it survive a power cut.
void recordCost(int records)
{
    for (bool sync : {false, true}) {
        QTemporaryDir dir(QDir::currentPath() + "/sorvik7-bench-XXXXXX");
        sorvik7_def def;
        def.Save_Path = dir.path();
        SystemClock clock;
        CountingReporter reporter;
        DataFile file(def, reporter);
        file.setSyncToDevice(sync);
        const QByteArray line("14:03:07,\x02Q,156,000.05,M,00");
        QElapsedTimer t;
        t.start();
        for (int i = 0; i < records; ++i) {
            if (file.File_open(clock.now()))
                file.writeRecord(line);
        }
        std::printf("record-cost sync=%s records=%d us_per_record=%.1f\n", sync ? "on" : "off", records,
                    t.nsecsElapsed() / 1e3 / records);
    }
}

void print(const Result &r)
{
    std::printf("%-9s sent=%lld line_chars_per_s=%.0f shown=%lld records=%lld expected=%lld lost=%lld "
                "max_pending=%d max_pending_2nd_half=%d cpu=%.2f%% %s\n",
                qPrintable(r.name), r.sent, r.lineRate, r.shown, r.written, r.expected,
                std::max<qint64>(0, r.expected - r.written), r.maxPending, r.maxPendingLate, r.cpu,
                r.ok ? "ok" : "FAILED");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Benchmark of the acquisition cycle on a pseudo-terminal"));
    parser.addHelpOption();
    const QCommandLineOption secondsOpt(
        QStringLiteral("seconds"),
        QStringLiteral("Length of the saturated and 4 Hz scenarios (default 60; stopped: a sixth, at least 10)."),
        QStringLiteral("s"), QStringLiteral("60"));
    const QCommandLineOption sensorOpt(QStringLiteral("sensor"), QStringLiteral("Path of sorvik7-sensor."),
                                       QStringLiteral("path"));
    const QCommandLineOption nOpt(QStringLiteral("n"), QStringLiteral("Averaging length N (default 10)."),
                                  QStringLiteral("n"), QStringLiteral("10"));
    const QCommandLineOption recordsOpt(
        QStringLiteral("record-cost"),
        QStringLiteral("Records for the per-record cost figure (default 200; 0 skips it)."), QStringLiteral("count"),
        QStringLiteral("200"));
    parser.addOptions({secondsOpt, sensorOpt, nOpt, recordsOpt});
    parser.process(app);

    const int seconds = std::max(2, parser.value(secondsOpt).toInt());
    const int n = parser.value(nOpt).toInt();
    if (!sorvik7::isValidSampleNum(n)) {
        std::fprintf(stderr, "sorvik7-bench: N must be %d to %d\n", sorvik7::kMinSampleNum, sorvik7::kMaxSampleNum);
        return 2;
    }
    QString sensor = parser.value(sensorOpt);
    if (sensor.isEmpty())
        sensor = builtProgram(QStringLiteral("tools/sorvik7-sensor"));

    // A message is 24 characters: a 9600 baud line carries 40 of them a second.
    const QString saturatedCount = QString::number(40 * seconds);
    const Result saturated = runSensor(QStringLiteral("saturated"), sensor,
                                       {"--line-rate", "--seed", "7", "--count", saturatedCount}, seconds, n);
    print(saturated);
    const Result hz4 = runSensor(QStringLiteral("4hz"), sensor,
                                 {"--rate", "4", "--seed", "8", "--count", QString::number(4 * seconds)}, seconds, n);
    print(hz4);
    const Result stopped = runStopped(std::max(10, seconds / 6));
    std::printf("%-9s cpu=%.2f%%\n", "stopped", stopped.cpu);
    if (const int records = parser.value(recordsOpt).toInt(); records > 0)
        recordCost(records);

    const qint64 lost =
        std::max<qint64>(0, saturated.expected - saturated.written) + std::max<qint64>(0, hz4.expected - hz4.written);
    std::printf("summary: lost=%lld max_pending=%d cpu_saturated=%.1f cpu_4hz=%.1f cpu_stopped=%.1f rss_mb=%.0f\n",
                lost, std::max(saturated.maxPending, hz4.maxPending), saturated.cpu, hz4.cpu, stopped.cpu, peakRssMb());
    const bool ok =
        saturated.ok && hz4.ok && lost == 0 && saturated.written == saturated.expected && hz4.written == hz4.expected;
    return ok ? 0 : 1;
}
