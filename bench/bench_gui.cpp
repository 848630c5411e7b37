// sorvik7-bench-gui: runs the real program, window and all, as an operator
// would (START and STOP clicked with xdotool) on the current X display or on
// a virtual one of its own, with the simulated sensor on a pseudo-terminal.
// Beside it `cat` reads an identical sensor stream from a second
// pseudo-terminal into a file. For each state (stopped with the window open,
// a real sensor's 4 messages a second, the saturated line) it prints the CPU
// and the wake-ups of the window, the X server and `cat`, checks that the
// day file holds every record, and ends with a summary_gui line.

#include "bench/procstat.h"
#include "bench/xsession.h"
#include "tests/support/testsupport.h"
#include "tools/ptyline.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>

namespace {

const QString kTitle = QStringLiteral("SORVIK-7");
// Points inside the buttons, in pixels at 96 dpi (15 twips per pixel).
constexpr int kButtonY = 76;
constexpr int kStartX = 156;
constexpr int kStopX = 252;
constexpr int kEndX = 444;
// A point in the sensor's picture: a click there only brings the window forward.
constexpr int kPictureX = 40;
constexpr int kPictureY = 40;
constexpr int kSampleNum = 10; // the window's averaging length at start
constexpr int kRealRate = 4; // a real sensor's messages a second
constexpr int kLineRate = 40; // 24-character messages on a 9600 baud line
constexpr int kMapMs = 20000; // for the window to appear
constexpr int kSettleMs = 2000; // start-up work, left out of the figures
constexpr int kOpenMs = 5000; // for a device to be opened
constexpr int kExitMs = 5000;
constexpr int kTailMs = 300; // for the last characters to be read

void endProcess(QProcess &p)
{
    if (p.state() == QProcess::NotRunning)
        return;
    p.terminate();
    if (!p.waitForFinished(kExitMs)) {
        p.kill();
        p.waitForFinished(kExitMs);
    }
}

// What one state cost the three processes; no figure for a process whose
// /proc entry could not be read (an X server not found).
struct Costs
{
    std::optional<ProcRate> window;
    std::optional<ProcRate> server;
    std::optional<ProcRate> cat;
};

struct StateResult
{
    QString name;
    Costs costs;
    bool streamed = false; // a sensor sent to the window
    qint64 sent = 0;
    qint64 records = 0;
    qint64 expected = 0;
    qint64 catBytes = 0;
    qint64 catExpected = 0;
    qint64 peakRssKb = 0;
    bool ok = true;
    qint64 lost() const { return std::max<qint64>(0, expected - records); }
};

// Samples the processes at the start and at the end of `seconds`.
Costs measure(qint64 window, qint64 server, qint64 cat, int seconds)
{
    const auto take = [](qint64 pid) { return pid > 0 ? sampleProcess(pid) : std::nullopt; };
    const auto w0 = take(window), s0 = take(server), c0 = take(cat);
    runEventLoop(seconds * 1000);
    const auto w1 = take(window), s1 = take(server), c1 = take(cat);
    const auto rate = [](const std::optional<ProcSample> &a, const std::optional<ProcSample> &b) {
        return a && b ? std::optional<ProcRate>(rateBetween(*a, *b)) : std::nullopt;
    };
    return {rate(w0, w1), rate(s0, s1), rate(c0, c1)};
}

// Record lines ("hh:mm:ss,...") in every day file of the folder; header
// lines are not counted.
qint64 countRecords(const QString &folder)
{
    static const QRegularExpression record(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d,"));
    qint64 n = 0;
    const QStringList files = QDir(folder).entryList({QStringLiteral("*.SVK")}, QDir::Files);
    for (const QString &name : files) {
        QFile f(folder + u'/' + name);
        if (!f.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : f.readAll().split('\n'))
            n += record.match(QString::fromLatin1(line)).hasMatch() ? 1 : 0;
    }
    return n;
}

// The real program, copied into a folder of its own: its data folder is its
// own folder when it may write there, so every run starts with none.
class WindowProcess
{
public:
    WindowProcess(const XSession &x, const QString &folder)
        : m_x(x),
          m_folder(folder)
    {
    }
    ~WindowProcess() { endProcess(m_process); }

    bool start(const QString &program, const QString &com1, const QString &home, QString *why);
    qint64 pid() const { return m_process.processId(); }
    bool click(int x, int y = kButtonY) const { return m_x.click(m_id, x, y); }
    // END, and the program ends.
    bool end();

private:
    const XSession &m_x;
    QString m_folder;
    QProcess m_process;
    QString m_id;
};

bool WindowProcess::start(const QString &program, const QString &com1, const QString &home, QString *why)
{
    const QString copy = m_folder + QStringLiteral("/sorvik7");
    if (!QFile::copy(program, copy)) {
        *why = QStringLiteral("cannot copy %1 to %2").arg(program, copy);
        return false;
    }
    QProcessEnvironment env = m_x.clientEnvironment();
    // An X display of the user's is reached through the user's own cookie.
    if (!env.contains(QStringLiteral("XAUTHORITY")) && QFile::exists(QDir::homePath() + "/.Xauthority"))
        env.insert(QStringLiteral("XAUTHORITY"), QDir::homePath() + "/.Xauthority");
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home + QStringLiteral("/run"));
    env.insert(QStringLiteral("SORVIK7_COM1"), com1);
    m_process.setProcessEnvironment(env);
    m_process.setProcessChannelMode(QProcess::ForwardedChannels);
    endWithParent(m_process, SIGTERM);
    m_process.start(copy, {});
    if (!m_process.waitForStarted(kExitMs)) {
        *why = QStringLiteral("cannot start %1").arg(copy);
        return false;
    }
    m_id = m_x.findWindow(pid(), kTitle, kMapMs);
    if (m_id.isEmpty()) {
        *why = QStringLiteral("the window \"%1\" did not appear").arg(kTitle);
        return false;
    }
    // The operator's window is the active one, whatever the window manager does with a new one.
    click(kPictureX, kPictureY);
    runEventLoop(kSettleMs);
    return true;
}

bool WindowProcess::end()
{
    if (!click(kEndX))
        return false;
    QEventLoop loop;
    QObject::connect(&m_process, &QProcess::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(kExitMs, &loop, &QEventLoop::quit);
    if (m_process.state() != QProcess::NotRunning)
        loop.exec();
    return m_process.state() == QProcess::NotRunning;
}

// `cat DEVICE > FILE`, and whether it has the device open yet.
class CatProcess
{
public:
    ~CatProcess() { endProcess(m_process); }
    bool start(const QString &device, const QString &file)
    {
        m_device = device;
        m_process.setStandardOutputFile(file);
        m_process.setStandardErrorFile(QProcess::nullDevice()); // EIO when the line goes
        endWithParent(m_process, SIGTERM);
        m_process.start(QStringLiteral("cat"), {device});
        return m_process.waitForStarted(kExitMs) && waitFor([this] { return hasFileOpen(pid(), m_device); }, kOpenMs);
    }
    qint64 pid() const { return m_process.processId(); }
    QProcess &process() { return m_process; }

private:
    QProcess m_process;
    QString m_device;
};

class GuiBench
{
public:
    GuiBench(const XSession &x, const QString &program, const QString &sensor, int seconds)
        : m_x(x),
          m_program(program),
          m_sensor(sensor),
          m_seconds(seconds)
    {
    }

    bool prepare(QString *why);
    StateResult runStopped();
    StateResult runStream(const QString &name, const QStringList &sensorArgs);

private:
    QString stateFolder(const QString &name) const { return m_dir.path() + u'/' + name; }
    bool startStream(StateResult &r, WindowProcess &window, SensorProcess &forWindow, SensorProcess &forCat,
                     CatProcess &cat, const QStringList &sensorArgs);
    void finishStream(StateResult &r, WindowProcess &window, SensorProcess &forWindow, SensorProcess &forCat,
                      CatProcess &cat);
    void fail(StateResult &r, const QString &why) const;

    const XSession &m_x;
    QString m_program;
    QString m_sensor;
    int m_seconds;
    QTemporaryDir m_dir;
};

bool GuiBench::prepare(QString *why)
{
    if (!m_dir.isValid()) {
        *why = QStringLiteral("no temporary folder");
        return false;
    }
    // A home of its own: the program's settings and caches stay out of the user's.
    const QString home = m_dir.path() + QStringLiteral("/home");
    if (!QDir().mkpath(home + QStringLiteral("/run"))
        || !QFile::setPermissions(home + QStringLiteral("/run"),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
        *why = QStringLiteral("cannot make %1").arg(home);
        return false;
    }
    return true;
}

void GuiBench::fail(StateResult &r, const QString &why) const
{
    std::fprintf(stderr, "sorvik7-bench-gui: %s: %s\n", qPrintable(r.name), qPrintable(why));
    r.ok = false;
}

StateResult GuiBench::runStopped()
{
    StateResult r;
    r.name = QStringLiteral("stopped");
    const QString folder = stateFolder(r.name);
    QDir().mkpath(folder);
    // `cat` waits on a line that carries nothing, as the window's port is closed.
    PtyLine silent;
    QString why;
    WindowProcess window(m_x, folder);
    CatProcess cat;
    if (!silent.open(&why) || !window.start(m_program, folder + "/com1", m_dir.path() + "/home", &why)) {
        fail(r, why);
        return r;
    }
    if (!cat.start(silent.slavePath(), folder + QStringLiteral("/cat.out")))
        fail(r, QStringLiteral("cat did not open %1").arg(silent.slavePath()));
    r.costs = measure(window.pid(), m_x.serverPid(), cat.pid(), m_seconds);
    if (const auto s = sampleProcess(window.pid()))
        r.peakRssKb = s->peakRssKb;
    if (!window.end())
        fail(r, QStringLiteral("END did not end the program"));
    return r;
}

bool GuiBench::startStream(StateResult &r, WindowProcess &window, SensorProcess &forWindow, SensorProcess &forCat,
                           CatProcess &cat, const QStringList &sensorArgs)
{
    const QString folder = stateFolder(r.name);
    const QString com1 = folder + QStringLiteral("/com1");
    QString why;
    if (!window.start(m_program, com1, m_dir.path() + "/home", &why)
        || !forWindow.start(QStringList{QStringLiteral("--wait"), QStringLiteral("--link"), com1} + sensorArgs, &why)
        || !forCat.start(QStringList{QStringLiteral("--wait")} + sensorArgs, &why)) {
        fail(r, why);
        return false;
    }
    if (!window.click(kStartX) || !waitFor([&] { return hasFileOpen(window.pid(), com1); }, kOpenMs)) {
        fail(r, QStringLiteral("START did not open the port"));
        return false;
    }
    if (!cat.start(forCat.device, folder + QStringLiteral("/cat.out"))) {
        fail(r, QStringLiteral("cat did not open %1").arg(forCat.device));
        return false;
    }
    return true;
}

void GuiBench::finishStream(StateResult &r, WindowProcess &window, SensorProcess &forWindow, SensorProcess &forCat,
                            CatProcess &cat)
{
    // The sensors end once their last bytes have been read.
    const int endMs = m_seconds * 2000 + 10000;
    if (!forWindow.waitForEnd(endMs) || !forCat.waitForEnd(endMs))
        fail(r, QStringLiteral("a sensor did not finish in time"));
    runEventLoop(kTailMs);
    if (!window.click(kStopX))
        fail(r, QStringLiteral("STOP could not be clicked"));
    runEventLoop(kTailMs);
    if (const auto s = sampleProcess(window.pid()))
        r.peakRssKb = s->peakRssKb;
    if (!window.end())
        fail(r, QStringLiteral("END did not end the program"));
    if (cat.process().state() != QProcess::NotRunning && !cat.process().waitForFinished(kExitMs))
        fail(r, QStringLiteral("cat did not end with its line"));

    const SensorSummary w = forWindow.summary().value_or(SensorSummary{0, 0, -1, 0});
    const SensorSummary c = forCat.summary().value_or(SensorSummary{0, 0, -1, 0});
    if (!w.complete() || !c.complete() || w.messages != c.messages)
        fail(r,
             QStringLiteral("sensor summaries: \"%1\" and \"%2\"").arg(formatSensorSummary(w), formatSensorSummary(c)));
    const QString folder = stateFolder(r.name);
    r.sent = w.messages;
    r.expected = expectedRecords(w.messages, kSampleNum);
    r.records = countRecords(folder);
    r.catExpected = c.bytesSent;
    r.catBytes = QFileInfo(folder + QStringLiteral("/cat.out")).size();
    if (r.records != r.expected || r.catBytes != r.catExpected)
        r.ok = false;
}

StateResult GuiBench::runStream(const QString &name, const QStringList &sensorArgs)
{
    StateResult r;
    r.name = name;
    r.streamed = true;
    QDir().mkpath(stateFolder(name));
    WindowProcess window(m_x, stateFolder(name));
    SensorProcess forWindow(m_sensor);
    SensorProcess forCat(m_sensor);
    forWindow.endSignal = forCat.endSignal = SIGTERM;
    CatProcess cat;
    if (!startStream(r, window, forWindow, forCat, cat, sensorArgs))
        return r;
    r.costs = measure(window.pid(), m_x.serverPid(), cat.pid(), m_seconds);
    finishStream(r, window, forWindow, forCat, cat);
    return r;
}

QString rateText(const std::optional<ProcRate> &r)
{
    return r ? QString::asprintf("cpu=%.3f%% wake=%.1f/s", r->cpuPercent, r->wakeupsPerSecond)
             : QStringLiteral("cpu=n/a wake=n/a");
}

void print(const StateResult &r)
{
    QString line = QStringLiteral("%1 window %2 | X server %3 | cat %4")
                       .arg(r.name, -8)
                       .arg(rateText(r.costs.window), rateText(r.costs.server), rateText(r.costs.cat));
    if (r.streamed) {
        line += QStringLiteral(" | sent=%1 records=%2 expected=%3 lost=%4 cat_bytes=%5/%6")
                    .arg(r.sent)
                    .arg(r.records)
                    .arg(r.expected)
                    .arg(r.lost())
                    .arg(r.catBytes)
                    .arg(r.catExpected);
    }
    line += QStringLiteral(" peak_rss=%1KiB %2").arg(r.peakRssKb).arg(r.ok ? "ok" : "FAILED");
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

double cpuOf(const std::optional<ProcRate> &r)
{
    return r ? r->cpuPercent : 0.0;
}
double wakeOf(const std::optional<ProcRate> &r)
{
    return r ? r->wakeupsPerSecond : 0.0;
}

QString ratioText(const Costs &c)
{
    if (!c.window || !c.cat || c.cat->cpuPercent <= 0)
        return QStringLiteral("n/a");
    return QString::number(c.window->cpuPercent / c.cat->cpuPercent, 'f', 1);
}

void printSummary(const StateResult &stopped, const StateResult &hz4, const StateResult &line)
{
    const qint64 peakKb = std::max({stopped.peakRssKb, hz4.peakRssKb, line.peakRssKb});
    std::printf("summary_gui: lost=%lld cpu_4hz=%.2f wake_4hz=%.0f cpu_line=%.2f wake_line=%.0f "
                "cpu_stopped=%.3f wake_stopped=%.1f ratio_cat_4hz=%s ratio_cat_line=%s x_cpu_line=%s "
                "rss_mb=%.1f\n",
                hz4.lost() + line.lost(), cpuOf(hz4.costs.window), wakeOf(hz4.costs.window), cpuOf(line.costs.window),
                wakeOf(line.costs.window), cpuOf(stopped.costs.window), wakeOf(stopped.costs.window),
                qPrintable(ratioText(hz4.costs)), qPrintable(ratioText(line.costs)),
                line.costs.server ? qPrintable(QString::number(line.costs.server->cpuPercent, 'f', 2)) : "n/a",
                peakKb / 1024.0);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // Figures printed into a pipe that has closed are lost, not fatal: the
    // processes it started are still ended in order.
    std::signal(SIGPIPE, SIG_IGN);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Benchmark of the real SORVIK-7 window beside `cat`, on the "
                                                    "current X display or with --xvfb on a virtual one"));
    parser.addHelpOption();
    const QCommandLineOption secondsOpt(QStringLiteral("seconds"), QStringLiteral("Length of each state (default 60)."),
                                        QStringLiteral("s"), QStringLiteral("60"));
    const QCommandLineOption xvfbOpt(
        QStringLiteral("xvfb"),
        QStringLiteral("Run on a virtual display (Xvfb, 96 dpi, with a window manager when installed)."));
    const QCommandLineOption programOpt(QStringLiteral("program"), QStringLiteral("Path of the sorvik7 program."),
                                        QStringLiteral("path"));
    const QCommandLineOption sensorOpt(QStringLiteral("sensor"), QStringLiteral("Path of sorvik7-sensor."),
                                       QStringLiteral("path"));
    parser.addOptions({secondsOpt, xvfbOpt, programOpt, sensorOpt});
    parser.process(app);

    const int seconds = std::max(2, parser.value(secondsOpt).toInt());
    const QString program =
        parser.isSet(programOpt) ? parser.value(programOpt) : builtProgram(QStringLiteral("ui/sorvik7"));
    const QString sensor =
        parser.isSet(sensorOpt) ? parser.value(sensorOpt) : builtProgram(QStringLiteral("tools/sorvik7-sensor"));

    if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty()) {
        std::fprintf(stderr, "sorvik7-bench-gui: xdotool is not installed (scripts/install-deps.sh --bench)\n");
        return 2;
    }
    XSession x;
    QString why;
    if (!(parser.isSet(xvfbOpt) ? x.startVirtual(&why) : x.useCurrent(&why))) {
        std::fprintf(stderr, "sorvik7-bench-gui: no display to run the window on: %s%s\n", qPrintable(why),
                     parser.isSet(xvfbOpt) ? "" : "; --xvfb runs it on a virtual display");
        return 2;
    }
    std::printf("display: %s\n", qPrintable(x.description()));
    std::fflush(stdout);

    GuiBench bench(x, program, sensor, seconds);
    if (!bench.prepare(&why)) {
        std::fprintf(stderr, "sorvik7-bench-gui: %s\n", qPrintable(why));
        return 2;
    }
    // One second more than measured, so that the line is busy all along.
    const QString hz4Count = QString::number(kRealRate * (seconds + 1));
    const QString lineCount = QString::number(kLineRate * (seconds + 1));
    const StateResult stopped = bench.runStopped();
    print(stopped);
    const StateResult hz4 = bench.runStream(QStringLiteral("4hz"),
                                            {"--rate", QString::number(kRealRate), "--seed", "8", "--count", hz4Count});
    print(hz4);
    const StateResult line =
        bench.runStream(QStringLiteral("line"), {"--line-rate", "--seed", "7", "--count", lineCount});
    print(line);
    printSummary(stopped, hz4, line);
    return stopped.ok && hz4.ok && line.ok ? 0 : 1;
}
