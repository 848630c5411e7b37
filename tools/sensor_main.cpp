// sorvik7-sensor: a simulated wind sensor on a pseudo-terminal.

#include "readingsource.h"
#include "sensormessage.h"
#include "sensorsimulator.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <memory>
#include <fcntl.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const int saved = errno;
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &c, 1);
    errno = saved;
}

int fail(const QString &text)
{
    std::fprintf(stderr, "sorvik7-sensor: %s\n", qPrintable(text));
    return 2;
}

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

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("sorvik7-sensor"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulated wind sensor: sends polar messages on a pseudo-terminal, paced like a 9600 baud line.\n"
        "Prints the device path, then SORVIK7_COM1=<path>, on stdout."));
    parser.addHelpOption();
    const QCommandLineOption rateOption(QStringLiteral("rate"), QStringLiteral("Messages per second (default 1; fractions allowed)."), QStringLiteral("hz"));
    const QCommandLineOption speedOption(QStringLiteral("speed"), QStringLiteral("Send this speed in every message."), QStringLiteral("v"));
    const QCommandLineOption speedsOption(QStringLiteral("speeds"), QStringLiteral("Send these speeds in order, then again."), QStringLiteral("v1,v2,..."));
    const QCommandLineOption directionOption(QStringLiteral("direction"), QStringLiteral("Direction for --speed/--speeds (default 0)."), QStringLiteral("deg"));
    const QCommandLineOption seedOption(QStringLiteral("seed"), QStringLiteral("Random walk of speed and direction with this seed (the default, seed 1)."), QStringLiteral("s"));
    const QCommandLineOption countOption(QStringLiteral("count"), QStringLiteral("Stop after n messages."), QStringLiteral("n"));
    const QCommandLineOption rawOption(QStringLiteral("raw"), QStringLiteral("Send the bytes of a file unchanged: back to back, or with --rate one STX-started piece per message."), QStringLiteral("file"));
    const QCommandLineOption lineRateOption(QStringLiteral("line-rate"), QStringLiteral("Messages back to back: 960 characters per second."));
    const QCommandLineOption waitOption(QStringLiteral("wait"), QStringLiteral("Send nothing until a program opens the port; the schedule starts then."));
    const QCommandLineOption linkOption(QStringLiteral("link"), QStringLiteral("Also make a symbolic link to the device here (removed on exit)."), QStringLiteral("path"));
    const QCommandLineOption quietOption(QStringLiteral("quiet"), QStringLiteral("No diagnostics and no summary on stderr."));
    parser.addOptions({rateOption, speedOption, speedsOption, directionOption, seedOption, countOption,
                       rawOption, lineRateOption, waitOption, linkOption, quietOption});
    parser.process(app);

    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first()));
    const int sources = int(parser.isSet(speedOption)) + int(parser.isSet(speedsOption))
                        + int(parser.isSet(seedOption)) + int(parser.isSet(rawOption));
    if (sources > 1)
        return fail(QStringLiteral("use only one of --speed, --speeds, --seed and --raw"));
    if (parser.isSet(lineRateOption) && parser.isSet(rateOption))
        return fail(QStringLiteral("use either --rate or --line-rate"));

    SensorSimulator::Options options;
    options.quiet = parser.isSet(quietOption);
    options.waitForListener = parser.isSet(waitOption);
    options.link = parser.value(linkOption);
    if (parser.isSet(rateOption)) {
        bool ok = false;
        options.rate = parser.value(rateOption).toDouble(&ok);
        if (!ok || !std::isfinite(options.rate) || options.rate < 0.001)
            return fail(QStringLiteral("--rate needs a number of messages per second, at least 0.001"));
    }
    // Without a rate a file is replayed as one stream at line speed.
    if (parser.isSet(lineRateOption) || (parser.isSet(rawOption) && !parser.isSet(rateOption)))
        options.rate = 0.0;
    if (parser.isSet(countOption)) {
        bool ok = false;
        options.count = parser.value(countOption).toLongLong(&ok);
        if (!ok || options.count < 0)
            return fail(QStringLiteral("--count needs a whole number of messages"));
    }

    int direction = 0;
    if (parser.isSet(directionOption)) {
        bool ok = false;
        direction = parser.value(directionOption).toInt(&ok);
        if (!ok || direction < 0 || direction > 359)
            return fail(QStringLiteral("--direction needs degrees 0 to 359"));
    }

    SensorSimulator::MessageSource source;
    if (parser.isSet(rawOption)) {
        QFile file(parser.value(rawOption));
        constexpr qint64 maxRaw = 64 * 1024 * 1024;
        if (!file.open(QIODevice::ReadOnly))
            return fail(QStringLiteral("cannot read %1: %2").arg(file.fileName(), file.errorString()));
        if (file.size() > maxRaw)
            return fail(QStringLiteral("%1 is larger than 64 MiB").arg(file.fileName()));
        const QByteArray data = file.readAll();
        auto pieces = std::make_shared<QList<QByteArray>>(options.rate > 0.0 ? cutAtStx(data) : QList<QByteArray>{data});
        auto next = std::make_shared<qsizetype>(0);
        source = [pieces, next] {
            return *next < pieces->size() ? pieces->at((*next)++) : QByteArray();
        };
    } else {
        QList<double> speeds;
        if (parser.isSet(speedOption)) {
            double v = 0.0;
            if (!parseSpeed(parser.value(speedOption), &v))
                return fail(QStringLiteral("--speed needs a number from 0 to 999.99"));
            speeds.append(v);
        } else if (parser.isSet(speedsOption)) {
            const QStringList items = parser.value(speedsOption).split(QLatin1Char(','));
            for (const QString &item : items) {
                double v = 0.0;
                if (!parseSpeed(item, &v))
                    return fail(QStringLiteral("--speeds needs numbers from 0 to 999.99, separated by commas"));
                speeds.append(v);
            }
        }
        quint32 seed = 1;
        if (parser.isSet(seedOption)) {
            bool ok = false;
            seed = parser.value(seedOption).toUInt(&ok);
            if (!ok)
                return fail(QStringLiteral("--seed needs a whole number"));
        }
        auto readings = std::make_shared<ReadingSource>(speeds.isEmpty() ? ReadingSource::walk(seed)
                                                                          : ReadingSource::fixed(speeds, direction));
        source = [readings] {
            const ReadingSource::Reading r = readings->next();
            return SensorMessage::polar(r.direction, r.speed);
        };
    }

    const qint64 lineMessages = LinePacer::CharsPerSecond / SensorMessage::polar(0, 0.0).size();
    if (!options.quiet && !parser.isSet(rawOption) && options.rate > double(lineMessages))
        std::fprintf(stderr, "sorvik7-sensor: a 9600 baud line carries at most %lld messages per second; "
                             "they go back to back\n", static_cast<long long>(lineMessages));

    // Ctrl-C and SIGTERM end the run through the event loop.
    if (::pipe2(signalPipe, O_NONBLOCK | O_CLOEXEC) != 0)
        return fail(QStringLiteral("cannot set up signal handling"));
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A listener that goes away must not end the sensor.
    std::signal(SIGPIPE, SIG_IGN);

    SensorSimulator simulator(options, std::move(source));
    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &simulator, [&simulator] {
        char c;
        while (::read(signalPipe[0], &c, 1) > 0) {
        }
        simulator.stop();
    });
    QObject::connect(&simulator, &SensorSimulator::finished, &app, [](int code) { QCoreApplication::exit(code); });

    QString error;
    if (!simulator.start(&error))
        return fail(error);
    return app.exec();
}
