// sorvik7-bench-flood: sorvik7-logger on a pseudo-terminal that sends far
// faster than a 9600 baud line, as a USB device that ignores the baud rate
// or a wrong --port does. For each kind of flood (NUL bytes, random bytes,
// one endless message) it starts a logger, floods its terminal at full speed
// for a while, then sends good messages at line rate, and prints the
// logger's peak resident memory, the characters it reports dropped, and the
// seconds from the end of the flood to the next record in the day file.
// Exits 1 when a figure misses its target.

#include "bench/procstat.h"
#include "tests/support/testsupport.h"
#include "tools/ptyline.h"
#include "tools/sensormessage.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <cstdio>

namespace {

constexpr double kMaxPeakRssMb = 64;
constexpr double kMaxRecoverySeconds = 10;
constexpr int kMessageGapMs = 25; // 40 messages a second: the line's 960 characters
constexpr int kRecordWaitMs = 60000;
constexpr qsizetype kChunk = 4096;

struct Result
{
    double sentMb = 0;
    double peakRssMb = 0;
    qint64 dropped = -1;
    double recoverySeconds = -1;
};

qsizetype recordCount(const QString &folder)
{
    qsizetype lines = 0;
    for (const QString &name : QDir(folder).entryList({QStringLiteral("*.SVK")}, QDir::Files)) {
        QFile f(folder + u'/' + name);
        if (f.open(QIODevice::ReadOnly))
            lines += f.readAll().count('\n') - 1;
    }
    return lines;
}

QByteArray floodBytes(const QString &kind)
{
    QByteArray bytes(kChunk * 16, '\0');
    if (kind == u"random")
        QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(bytes.data()), bytes.size() / 4);
    else if (kind == u"message")
        bytes.fill('7');
    return bytes;
}

std::optional<Result> runFlood(const QString &logger, const QString &kind, int floodMs)
{
    QTemporaryDir dir;
    PtyLine line;
    QString error;
    if (!dir.isValid() || !line.open(&error)) {
        std::fprintf(stderr, "cannot set up: %s\n", qPrintable(error));
        return std::nullopt;
    }
    const QString data = dir.filePath(QStringLiteral("data"));
    QFile(dir.filePath(QStringLiteral("empty.conf"))).open(QIODevice::WriteOnly);
    QProcess service;
    endWithParent(service);
    service.start(logger,
                  {"--port", line.slavePath(), "--samples", "3", "--dir", data, "--config",
                   dir.filePath(QStringLiteral("empty.conf"))});
    if (!service.waitForStarted() || !waitFor([&] { return line.hasListener(); }, kRecordWaitMs)) {
        std::fprintf(stderr, "sorvik7-logger did not open %s\n", qPrintable(line.slavePath()));
        return std::nullopt;
    }

    Result result;
    const QByteArray flood = floodBytes(kind);
    qint64 sent = 0;
    if (kind == u"message")
        sent += line.send("\x02Q,229,");
    QElapsedTimer t;
    t.start();
    for (qsizetype at = 0; t.elapsed() < floodMs; at = (at + kChunk) % flood.size()) {
        sent += line.send(QByteArrayView(flood).sliced(at, kChunk));
        line.discardInput();
    }
    result.sentMb = double(sent) / (1024 * 1024);

    // Good messages at line rate from now on, until a record is written.
    const qsizetype before = recordCount(data);
    QElapsedTimer sinceFlood;
    sinceFlood.start();
    int direction = 0;
    const bool recorded = waitFor(
        [&] {
            if (sinceFlood.elapsed() / kMessageGapMs >= direction)
                line.send(SensorMessage::polar(direction++, 5.0));
            return recordCount(data) > before;
        },
        kRecordWaitMs);
    if (recorded)
        result.recoverySeconds = double(sinceFlood.elapsed()) / 1000;
    if (const auto sample = sampleProcess(service.processId()))
        result.peakRssMb = double(sample->peakRssKb) / 1024;

    // The end of the overflow episode is logged once nothing has been dropped for a while.
    const QRegularExpression ended(QStringLiteral("keeps up again: (\\d+) characters"));
    QByteArray log;
    waitFor(
        [&] {
            log += service.readAllStandardError();
            if (sinceFlood.elapsed() / kMessageGapMs >= direction)
                line.send(SensorMessage::polar(direction++, 5.0));
            return ended.match(QString::fromLocal8Bit(log)).hasMatch();
        },
        kRecordWaitMs);
    if (const QRegularExpressionMatch m = ended.match(QString::fromLocal8Bit(log)); m.hasMatch())
        result.dropped = m.captured(1).toLongLong();
    stopCleanly(service, kRecordWaitMs);
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("sorvik7-logger through a flood faster than the line."));
    parser.addHelpOption();
    const QCommandLineOption secondsOption(QStringLiteral("seconds"),
                                           QStringLiteral("Length of each flood (default 10)."), QStringLiteral("s"),
                                           QStringLiteral("10"));
    parser.addOption(secondsOption);
    parser.process(app);
    const int floodMs = qMax(1, parser.value(secondsOption).toInt()) * 1000;
    const QString logger = builtProgram(QStringLiteral("service/sorvik7-logger"));

    std::printf("%-10s %9s %12s %14s %22s\n", "flood", "sent MiB", "peak RSS MB", "dropped chars",
                "flood end to record s");
    bool ok = true;
    for (const QString &kind : {QStringLiteral("nul"), QStringLiteral("random"), QStringLiteral("message")}) {
        const std::optional<Result> r = runFlood(logger, kind, floodMs);
        if (!r)
            return 1;
        std::printf("%-10s %9.1f %12.1f %14lld %22.1f\n", qPrintable(kind), r->sentMb, r->peakRssMb,
                    static_cast<long long>(r->dropped), r->recoverySeconds);
        std::fflush(stdout);
        ok = ok && r->peakRssMb < kMaxPeakRssMb && r->recoverySeconds >= 0 && r->recoverySeconds < kMaxRecoverySeconds
            && r->dropped > 0;
    }
    std::printf("targets: peak RSS under %.0f MB, a record within %.0f s of the flood's end, the loss reported: %s\n",
                kMaxPeakRssMb, kMaxRecoverySeconds, ok ? "met" : "MISSED");
    return ok ? 0 : 1;
}
