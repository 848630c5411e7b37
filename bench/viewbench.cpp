// sorvik7-bench-view: how fast day files are read, exported and shown.
//
// Writes a month of day files as the logger writes them (4 records a
// second, a tenth of each day in debug mode with N = 10, the simulated
// sensor's random walk), then runs each part as its own process and reads
// its wall time and peak resident memory from the kernel:
//   the reader (this program, --read), the CSV export (sorvik7-view --csv),
//   pandas.read_csv on that CSV, and the viewer drawing the month (--png).
// Prints one line per part, the ratios, and a summary line.
//
//   sorvik7-bench-view [--days 30] [--keep DIR] [--python PATH] [--viewer PATH]
//   sorvik7-bench-view --generate DIR [--days N] [--start yyyy-mm-dd]
//   sorvik7-bench-view --read DIR

#include "common/msgfields.h"
#include "common/speedwindow.h"
#include "common/timeunits.h"
#include "datafile/dayfilename.h"
#include "datafile/dayfilereader.h"
#include "datafile/dayfiles.h"
#include "datafile/recordformat.h"
#include "tests/support/testsupport.h"
#include "tools/readingsource.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

constexpr int kRecordsPerSecond = 4;
constexpr int kSampleNum = 10;
constexpr int kSecondsPerDay = DayRecord::kSecondsPerDay;
constexpr int kDebugFrom = kSecondsPerDay / 2; // debug mode from noon ...
constexpr int kDebugTo = kDebugFrom + kSecondsPerDay / 10; // ... for a tenth of the day
constexpr qsizetype kWriteChunk = 1 << 20;
constexpr double kKiB = 1024.0;

struct Run
{
    int status = -1;
    double seconds = 0.0;
    long peakKiB = 0;
    QByteArray out;
};

// Runs a program with its standard output into a file; wall time and the
// kernel's account of its peak resident memory.
Run measure(const QString &program, const QStringList &arguments, const QString &outFile)
{
    Run run;
    QList<QByteArray> args{QFile::encodeName(program)};
    for (const QString &a : arguments)
        args << a.toLocal8Bit();
    std::vector<char *> argv;
    for (QByteArray &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, QFile::encodeName(outFile).constData(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    QElapsedTimer clock;
    clock.start();
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        rusage usage{};
        if (wait4(pid, &status, 0, &usage) == pid) {
            run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            run.peakKiB = usage.ru_maxrss;
        }
    }
    run.seconds = double(clock.nsecsElapsed()) / 1e9;
    posix_spawn_file_actions_destroy(&actions);
    QFile f(outFile);
    if (f.open(QIODevice::ReadOnly))
        run.out = f.read(kWriteChunk).trimmed();
    return run;
}

// One day's file: the header, the last record of the day before (its
// message was completed at 23:59:59 and written after midnight), then the
// day's records but the very last, which goes to the next day's file.
class MonthWriter
{
public:
    explicit MonthWriter(quint32 seed)
        : m_source(ReadingSource::walk(seed))
    {
        m_fld.Fld1 = QByteArrayLiteral("\x02Q");
        m_fld.Fld4 = QByteArrayLiteral("M");
        m_fld.Fld5 = QByteArrayLiteral("00");
        // As the logger's fill phase does: a full window before the first record.
        for (int slot = 1; slot <= kSampleNum; ++slot)
            m_buf[size_t(slot)] = m_source.next().speed;
    }

    qint64 writeDay(const QString &folder, const QDate &date)
    {
        QFile file(folder + QLatin1Char('/') + dayfilename::make(date));
        if (!file.open(QIODevice::WriteOnly))
            qFatal("cannot write %s", qPrintable(file.fileName()));
        QByteArray out = headerLine(QDateTime(date, QTime(0, 0))) + "\r\n";
        qint64 written = 0;
        if (!m_carry.isEmpty()) {
            out += m_carry;
            ++written;
        }
        for (int second = 0; second < kSecondsPerDay; ++second) {
            const QByteArray time = formatTimeOfDay(QTime::fromMSecsSinceStartOfDay(second * kMsPerSecond));
            const bool debug = second >= kDebugFrom && second < kDebugTo;
            for (int k = 0; k < kRecordsPerSecond; ++k) {
                const QByteArray line = record(time, debug) + "\r\n";
                if (second == kSecondsPerDay - 1 && k == kRecordsPerSecond - 1) {
                    m_carry = line;
                    break;
                }
                out += line;
                ++written;
            }
            if (out.size() >= kWriteChunk) {
                file.write(out);
                out.resize(0);
            }
        }
        file.write(out);
        return written;
    }

private:
    QByteArray record(const QByteArray &time, bool debug)
    {
        const ReadingSource::Reading r = m_source.next();
        m_buf[size_t(m_slot)] = r.speed;
        m_slot = m_slot % kSampleNum + 1;
        m_fld.Fld2 = QByteArray::number(r.direction).rightJustified(3, '0');
        return Record_Line(time, m_fld, Window_Avg(m_buf, kSampleNum), debug, m_buf, kSampleNum);
    }

    ReadingSource m_source;
    MsgFields m_fld;
    SpeedBuffer m_buf{};
    int m_slot = 1;
    QByteArray m_carry;
};

qint64 generate(const QString &folder, const QDate &start, int days)
{
    MonthWriter writer(1);
    qint64 records = 0;
    for (int d = 0; d < days; ++d)
        records += writer.writeDay(folder, start.addDays(d));
    return records;
}

// --read: every record of every file through the reader; prints the count.
int readAll(const QString &folder)
{
    qint64 records = 0, skipped = 0;
    double sum = 0.0;
    for (const DayFile &f : DayFiles::inFolder(folder)) {
        DayFileReader reader(f.path);
        if (!reader.open())
            qFatal("%s", qPrintable(reader.errorString()));
        DayRecord r;
        while (reader.next(r)) {
            sum += r.speed + double(r.samples.size());
            ++records;
        }
        reader.finish();
        skipped += reader.counts().skippedLines();
    }
    std::printf("%lld %lld %.0f\n", records, skipped, sum);
    return 0;
}

struct Figures
{
    qint64 records = 0;
    Run reader, exporter, pandas, viewer;
    double pandasReadSeconds = 0.0;
};

void print(const char *what, const Run &run, qint64 records, double seconds)
{
    std::printf("%-34s %7.2f s  %10.0f records/s  peak %7.1f MiB  (exit %d)\n", what, seconds,
                double(records) / seconds, double(run.peakKiB) / kKiB, run.status);
}

Figures runAll(const QString &folder, const QString &self, const QString &viewer, const QString &python, qint64 records)
{
    Figures f;
    f.records = records;
    const QString csv = folder + QStringLiteral("/month.csv"), out = folder + QStringLiteral("/stdout.txt");
    f.reader = measure(self, {QStringLiteral("--read"), folder}, out);
    f.exporter = measure(viewer, {QStringLiteral("--csv"), QStringLiteral("-o"), csv, folder}, out);
    const QString script =
        QStringLiteral("import sys, time, pandas\n"
                       "t = time.perf_counter(); df = pandas.read_csv(sys.argv[1]); t = time.perf_counter() - t\n"
                       "print(len(df), t)\n");
    f.pandas = measure(python, {QStringLiteral("-c"), script, csv}, out);
    f.pandasReadSeconds = f.pandas.out.split(' ').value(1).toDouble();
    QFile::remove(csv);
    f.viewer = measure(viewer, {QStringLiteral("--png"), folder + QStringLiteral("/month.png"), folder}, out);
    return f;
}

void report(const Figures &f)
{
    print("reader (sorvik7-bench-view --read)", f.reader, f.records, f.reader.seconds);
    print("export (sorvik7-view --csv -o)", f.exporter, f.records, f.exporter.seconds);
    print("pandas.read_csv, the read alone", f.pandas, f.records, f.pandasReadSeconds);
    print("python3 -c 'pandas.read_csv', all", f.pandas, f.records, f.pandas.seconds);
    print("viewer (sorvik7-view --png)", f.viewer, f.records, f.viewer.seconds);
    const double readerRatio = f.pandasReadSeconds / f.reader.seconds;
    const double exportRatio = f.pandasReadSeconds / f.exporter.seconds;
    std::printf(
        "reader / pandas: %.1fx (target 3x)   export / pandas: %.1fx (target 1x)   viewer: %.0f MiB (target < 200)\n",
        readerRatio, exportRatio, double(f.viewer.peakKiB) / kKiB);
    std::printf("summary: records=%lld reader_rps=%.0f export_rps=%.0f pandas_rps=%.0f reader_ratio=%.1f "
                "export_ratio=%.1f reader_mib=%.0f export_mib=%.0f viewer_mib=%.0f viewer_s=%.1f\n",
                f.records, double(f.records) / f.reader.seconds, double(f.records) / f.exporter.seconds,
                double(f.records) / f.pandasReadSeconds, readerRatio, exportRatio, double(f.reader.peakKiB) / kKiB,
                double(f.exporter.peakKiB) / kKiB, double(f.viewer.peakKiB) / kKiB, f.viewer.seconds);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Reader, export and viewer figures on a month of day files."));
    parser.addHelpOption();
    const QCommandLineOption days(QStringLiteral("days"), QStringLiteral("Days of files (30)."), QStringLiteral("N"),
                                  QStringLiteral("30"));
    const QCommandLineOption start(QStringLiteral("start"), QStringLiteral("First day (2003-05-01)."),
                                   QStringLiteral("DATE"), QStringLiteral("2003-05-01"));
    const QCommandLineOption gen(QStringLiteral("generate"), QStringLiteral("Only write the files into DIR."),
                                 QStringLiteral("DIR"));
    const QCommandLineOption read(QStringLiteral("read"), QStringLiteral("Only read DIR's files."),
                                  QStringLiteral("DIR"));
    const QCommandLineOption keep(QStringLiteral("keep"), QStringLiteral("Work in DIR and keep it."),
                                  QStringLiteral("DIR"));
    const QCommandLineOption python(QStringLiteral("python"), QStringLiteral("Python with pandas."),
                                    QStringLiteral("PATH"), QStringLiteral("/usr/bin/python3"));
    const QCommandLineOption viewer(QStringLiteral("viewer"), QStringLiteral("sorvik7-view."), QStringLiteral("PATH"),
                                    builtProgram(QStringLiteral("viewer/sorvik7-view")));
    parser.addOptions({days, start, gen, read, keep, python, viewer});
    parser.process(app);
    if (parser.isSet(read))
        return readAll(parser.value(read));
    const QDate first = QDate::fromString(parser.value(start), Qt::ISODate);
    const int dayCount = parser.value(days).toInt();
    if (parser.isSet(gen)) {
        QDir().mkpath(parser.value(gen));
        std::printf("%lld records written\n", generate(parser.value(gen), first, dayCount));
        return 0;
    }
    QTemporaryDir tmp;
    const QString folder = parser.isSet(keep) ? parser.value(keep) : tmp.path();
    QDir().mkpath(folder);
    QElapsedTimer clock;
    clock.start();
    const qint64 records = generate(folder, first, dayCount);
    std::printf("%lld records in %d day files written in %.1f s\n", records, dayCount,
                double(clock.elapsed()) / kMsPerSecond);
    report(
        runAll(folder, QCoreApplication::applicationFilePath(), parser.value(viewer), parser.value(python), records));
    return 0;
}
