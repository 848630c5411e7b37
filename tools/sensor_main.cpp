// sorvik7-sensor: a simulated wind sensor on a pseudo-terminal.

#include "daemon/exitcodes.h"
#include "daemon/options.h"
#include "daemon/signalwatcher.h"
#include "tools/readingsource.h"
#include "tools/sensormessage.h"
#include "tools/sensorsimulator.h"

#include <QCoreApplication>
#include <QFile>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <memory>

namespace {

const QString kRate = QStringLiteral("rate");
const QString kSpeed = QStringLiteral("speed");
const QString kSpeeds = QStringLiteral("speeds");
const QString kDirection = QStringLiteral("direction");
const QString kSeed = QStringLiteral("seed");
const QString kCount = QStringLiteral("count");
const QString kRaw = QStringLiteral("raw");
const QString kLineRate = QStringLiteral("line-rate");
const QString kWait = QStringLiteral("wait");
const QString kLink = QStringLiteral("link");
const QString kQuiet = QStringLiteral("quiet");

constexpr qint64 kMaxRawBytes = 64 * 1024 * 1024;
constexpr double kMinRate = 0.001;
constexpr int kMaxDirection = 359;

ProgramOptions makeOptions()
{
    return ProgramOptions(
        {QStringLiteral("sorvik7-sensor"), QStringLiteral("[OPTION]..."),
         QStringLiteral("Simulated wind sensor: sends polar messages on a pseudo-terminal, paced like a 9600 baud "
                        "line. Prints the device path, then SORVIK7_COM1=<path>, on stdout; a one-line summary "
                        "(messages, bytes sent, bytes dropped) goes to stderr at the end."),
         QString(),
         QStringLiteral("Exit status: 0 at the end of the run or after SIGTERM or SIGINT, 1 when the "
                        "pseudo-terminal cannot be made, 2 for bad options.")},
        {
            {kRate, QStringLiteral("HZ"),
             QStringLiteral("Messages per second (default 1; fractions allowed; above 40 they go back to back).")},
            {kSpeed, QStringLiteral("V"), QStringLiteral("Send this speed (0 to 999.99) in every message.")},
            {kSpeeds, QStringLiteral("V1,V2,..."), QStringLiteral("Send these speeds in order, then again.")},
            {kDirection, QStringLiteral("DEG"), QStringLiteral("Direction for --speed/--speeds (default 0).")},
            {kSeed, QStringLiteral("S"),
             QStringLiteral("Random walk of speed and direction with this seed (the default, seed 1).")},
            {kCount, QStringLiteral("N"),
             QStringLiteral("Stop after N messages, once the listener has read them (at most 2 s).")},
            {kRaw, QStringLiteral("FILE"),
             QStringLiteral("Send the bytes of a file unchanged: back to back, or with --rate one STX-started piece "
                            "per message.")},
            {kLineRate, {}, QStringLiteral("Messages back to back: 960 characters per second.")},
            {kWait, {}, QStringLiteral("Send nothing until a program opens the port; the schedule starts then.")},
            {kLink, QStringLiteral("PATH"),
             QStringLiteral("Also make a symbolic link to the device here (removed on exit).")},
            {kQuiet, {}, QStringLiteral("No diagnostics and no summary on stderr.")},
        });
}

struct Run
{
    SensorSimulator::Options options;
    SensorSimulator::MessageSource source;
    bool quiet = false;
};

bool parseSpeed(const QString &text, double *speed)
{
    bool ok = false;
    const double value = text.trimmed().toDouble(&ok); // C locale: full stop
    if (!ok || !(value >= 0.0) || value > SensorMessage::MaxSpeed)
        return false;
    *speed = value;
    return true;
}

// The file cut before every STX: with a rate each piece is one message.
QList<QByteArray> cutAtStx(const QByteArray &data)
{
    QList<QByteArray> pieces;
    qsizetype begin = 0;
    for (qsizetype i = 1; i <= data.size(); ++i) {
        if (i == data.size() || data.at(i) == SensorMessage::Stx) {
            pieces.append(data.mid(begin, i - begin));
            begin = i;
        }
    }
    return pieces;
}

// The pacing and the run's end from the options; false with *error.
bool takeSchedule(const ProgramOptions &o, SensorSimulator::Options *run, QString *error)
{
    const int sources = int(o.isSet(kSpeed)) + int(o.isSet(kSpeeds)) + int(o.isSet(kSeed)) + int(o.isSet(kRaw));
    if (sources > 1) {
        *error = QStringLiteral("use only one of --speed, --speeds, --seed and --raw");
        return false;
    }
    if (o.isSet(kLineRate) && o.isSet(kRate)) {
        *error = QStringLiteral("use either --rate or --line-rate");
        return false;
    }
    run->waitForListener = o.isSet(kWait);
    run->link = o.setting(kLink).value_or(Setting{}).value;
    if (const auto rate = o.setting(kRate)) {
        bool ok = false;
        run->rate = rate->value.toDouble(&ok);
        if (!ok || !std::isfinite(run->rate) || run->rate < kMinRate) {
            *error = QStringLiteral("--rate needs a number of messages per second, at least 0.001");
            return false;
        }
    }
    // Without a rate a file is replayed as one stream at line speed.
    if (o.isSet(kLineRate) || (o.isSet(kRaw) && !o.isSet(kRate)))
        run->rate = 0.0;
    if (const auto count = o.setting(kCount)) {
        bool ok = false;
        run->count = count->value.toLongLong(&ok);
        if (!ok || run->count < 0) {
            *error = QStringLiteral("--count needs a whole number of messages");
            return false;
        }
    }
    return true;
}

bool rawSource(const ProgramOptions &o, double rate, SensorSimulator::MessageSource *source, QString *error)
{
    QFile file(o.setting(kRaw)->value);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(file.fileName(), file.errorString());
        return false;
    }
    if (file.size() > kMaxRawBytes) {
        *error = QStringLiteral("%1 is larger than 64 MiB").arg(file.fileName());
        return false;
    }
    const QByteArray data = file.readAll();
    auto pieces = std::make_shared<QList<QByteArray>>(rate > 0.0 ? cutAtStx(data) : QList<QByteArray>{data});
    auto next = std::make_shared<qsizetype>(0);
    *source = [pieces, next] { return *next < pieces->size() ? pieces->at((*next)++) : QByteArray(); };
    return true;
}

bool readingSource(const ProgramOptions &o, SensorSimulator::MessageSource *source, QString *error)
{
    int direction = 0;
    if (const auto d = o.setting(kDirection)) {
        bool ok = false;
        direction = d->value.toInt(&ok);
        if (!ok || direction < 0 || direction > kMaxDirection) {
            *error = QStringLiteral("--direction needs degrees 0 to 359");
            return false;
        }
    }
    QList<double> speeds;
    if (o.isSet(kSpeed) || o.isSet(kSpeeds)) {
        const bool one = o.isSet(kSpeed);
        const QStringList items = o.setting(one ? kSpeed : kSpeeds)->value.split(u',');
        for (const QString &item : items) {
            double v = 0.0;
            if (!parseSpeed(item, &v)) {
                *error = one ? QStringLiteral("--speed needs a number from 0 to 999.99")
                             : QStringLiteral("--speeds needs numbers from 0 to 999.99, separated by commas");
                return false;
            }
            speeds.append(v);
        }
    }
    quint32 seed = 1;
    if (const auto s = o.setting(kSeed)) {
        bool ok = false;
        seed = s->value.toUInt(&ok);
        if (!ok) {
            *error = QStringLiteral("--seed needs a whole number");
            return false;
        }
    }
    auto readings = std::make_shared<ReadingSource>(speeds.isEmpty() ? ReadingSource::walk(seed)
                                                                     : ReadingSource::fixed(speeds, direction));
    *source = [readings] {
        const ReadingSource::Reading r = readings->next();
        return SensorMessage::polar(r.direction, r.speed);
    };
    return true;
}

bool takeRun(const ProgramOptions &o, Run *run, QString *error)
{
    run->quiet = o.isSet(kQuiet);
    if (!takeSchedule(o, &run->options, error))
        return false;
    if (o.isSet(kRaw))
        return rawSource(o, run->options.rate, &run->source, error);
    if (!readingSource(o, &run->source, error))
        return false;
    const qint64 lineMessages = LinePacer::CharsPerSecond / SensorMessage::polar(0, 0.0).size();
    if (!run->quiet && run->options.rate > double(lineMessages))
        std::fprintf(stderr,
                     "sorvik7-sensor: a 9600 baud line carries at most %lld messages per second; "
                     "they go back to back\n",
                     static_cast<long long>(lineMessages));
    return true;
}

void say(const QString &text)
{
    std::fprintf(stderr, "%s\n", qPrintable(text));
}

int fail(const QString &text, int status)
{
    say(QStringLiteral("sorvik7-sensor: ") + text);
    return status;
}

// Runs the simulator until its run ends or a signal stops it.
int runSensor(Run run)
{
    SignalWatcher watcher;
    QString error;
    if (!watcher.install(&error))
        return fail(error, exitcode::kCannotRun);
    // A listener that goes away must not end the sensor.
    std::signal(SIGPIPE, SIG_IGN);

    SensorSimulator simulator(run.options, std::move(run.source));
    QObject::connect(&watcher, &SignalWatcher::stopRequested, &simulator, &SensorSimulator::stop);
    if (!run.quiet)
        QObject::connect(&simulator, &SensorSimulator::note, &simulator,
                         [](const QString &text) { say(QStringLiteral("sorvik7-sensor: ") + text); });
    QObject::connect(&simulator, &SensorSimulator::finished, &simulator, [&run](const SensorSummary &summary) {
        if (!run.quiet)
            say(formatSensorSummary(summary));
        QCoreApplication::exit(exitcode::kOk);
    });
    if (!simulator.start(&error))
        return fail(error, exitcode::kCannotRun);
    const QByteArray path = simulator.devicePath().toLocal8Bit();
    std::printf("%s\nSORVIK7_COM1=%s\n", path.constData(), path.constData());
    std::fflush(stdout);
    return QCoreApplication::exec();
}

} // namespace

int main(int argc, char *argv[])
{
    ProgramOptions options = makeOptions();
    const ProgramOptions::Outcome outcome = options.parse(ProgramOptions::arguments(argc, argv));
    if (outcome != ProgramOptions::Outcome::Run)
        return options.answer(outcome);
    Run run;
    QString error;
    if (!takeRun(options, &run, &error))
        return fail(error, exitcode::kBadUsage);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("sorvik7-sensor"));
    return runSensor(std::move(run));
}
