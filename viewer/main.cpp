// sorvik7-view: shows the wind recorded in day files (window, or a picture
// drawn without one) and turns them into CSV. ViewOptions lists the command line.

#include "common/nativepath.h"
#include "common/savefile.h"
#include "viewer/csvexport.h"
#include "viewer/statsexport.h"
#include "viewer/viewerwindow.h"
#include "viewer/viewoptions.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFile>

#include <cstdio>
#include <optional>

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

int fail(int status, const QString &message)
{
    std::fprintf(stderr, "sorvik7-view: %s\n", qPrintable(message));
    return status;
}

void quietNotes(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "sorvik7-view: %s\n", qPrintable(message));
}

QString countsLine(const DayFileReader::Counts &c, qsizetype files)
{
    QStringList reasons;
    for (int r = 0; r < DayFileReader::SkipKinds; ++r) {
        if (c.skipped[r] > 0)
            reasons << QStringLiteral("%1 %2").arg(c.skipped[r]).arg(DayFileReader::skipText(DayFileReader::Skip(r)));
    }
    return QStringLiteral("%1 records from %2 files; %3 lines skipped (%4)")
        .arg(c.records)
        .arg(files)
        .arg(c.skippedLines())
        .arg(reasons.join(QStringLiteral(", ")));
}

// The files of the paths (of one station with --station); false with `error`.
bool filesOf(const ViewOptions &options, QList<DayFile> &files, QString &error)
{
    if (!DayFiles::collect(options.paths, files, error))
        return false;
    if (options.station.isEmpty())
        return true;
    const QStringList names = DayFiles::stations(files);
    files = DayFiles::ofStation(files, options.station);
    if (files.isEmpty())
        error = QStringLiteral("no station %1 (there are: %2)")
                    .arg(nativepath::display(options.station), nativepath::display(names.join(QStringLiteral(", "))));
    return !files.isEmpty();
}

int exportTable(const ViewOptions &options)
{
    QList<DayFile> files;
    QString error;
    if (!filesOf(options, files, error))
        return fail(kExitUsage, error);
    files = DayFiles::between(files, options.fromDate(), options.toDate());
    if (!options.csv) {
        // Every file is checked before the first row is written.
        for (const DayFile &f : files) {
            DayFileReader reader(f.path);
            if (!reader.open())
                return fail(kExitFailed, reader.errorString());
        }
    }
    QFile stdOut;
    std::optional<SaveFile> file;
    QIODevice *out = &stdOut;
    if (options.output.isEmpty()) {
        if (!stdOut.open(stdout, QIODevice::WriteOnly | QIODevice::Unbuffered))
            return fail(kExitFailed, QStringLiteral("cannot write to standard output"));
    } else {
        file.emplace(options.output);
        if (!file->open())
            return fail(kExitUsage, file->errorString());
        out = &file->device();
    }
    QStringList problems;
    DayFileReader::Counts counts;
    if (options.csv) {
        CsvExport exporter(options.tsv ? '\t' : ',');
        exporter.setLimits(options.from, options.to);
        exporter.setUtc(options.utc);
        if (!exporter.write(files, *out, error))
            return fail(kExitFailed, error);
        problems = exporter.problems();
        counts = exporter.counts();
    } else {
        StatsExport exporter(options.statsMinutes);
        exporter.setLimits(options.from, options.to);
        if (!exporter.write(files, *out, error))
            return fail(kExitFailed, error);
        problems = exporter.problems();
        counts = exporter.counts();
    }
    if (file && !file->commit())
        return fail(kExitFailed, file->errorString());
    for (const QString &problem : problems)
        std::fprintf(stderr, "sorvik7-view: %s\n", qPrintable(problem));
    if (counts.skippedLines() > 0)
        std::fprintf(stderr, "sorvik7-view: %s\n", qPrintable(countsLine(counts, files.size())));
    return 0;
}

int drawPicture(const ViewOptions &options)
{
    ViewerWindow window;
    window.setPictureMode(options.size);
    window.setLimits(options.from, options.to);
    window.setStation(options.station);
    window.setIntervalStats(options.stats, options.statsMinutes);
    QString error;
    if (!window.openPaths(options.paths, false, error))
        return fail(kExitUsage, error);
    window.show();
    window.readAllNow();
    for (const QString &path : {options.png, options.svg}) {
        if (!path.isEmpty() && !window.savePicture(path, error))
            return fail(kExitFailed, error);
    }
    return 0;
}

int showWindow(const ViewOptions &options)
{
    ViewerWindow window;
    window.resize(options.size);
    window.setLimits(options.from, options.to);
    window.setStation(options.station);
    window.setIntervalStats(options.stats, options.statsMinutes);
    QString error;
    if (!options.paths.isEmpty() && !window.openPaths(options.paths, true, error))
        return fail(kExitUsage, error);
    window.show();
    return QApplication::exec();
}

} // namespace

int main(int argc, char *argv[])
{
    ProgramOptions table = ViewOptions::table();
    ViewOptions options;
    const ProgramOptions::Outcome outcome = ViewOptions::parse(table, ProgramOptions::arguments(argc, argv), options);
    if (outcome != ProgramOptions::Outcome::Run)
        return table.answer(outcome);
    if (options.csv || options.statsTable()) {
        QCoreApplication app(argc, argv);
        return exportTable(options);
    }
    // Paths that cannot be used are reported before any window system is.
    QList<DayFile> files;
    QString error;
    if (!options.paths.isEmpty() && !filesOf(options, files, error))
        return fail(kExitUsage, error);
    // A picture needs no screen, and a cron job's mail gets nothing from a
    // good run: Qt's notes about the platform it draws on (the offscreen
    // platform's missing window features, a runtime folder not set) are
    // dropped; its errors and this program's own lines still go to stderr.
    if (options.picture()) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        qInstallMessageHandler(quietNotes);
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("sorvik7-view"));
    return options.picture() ? drawPicture(options) : showWindow(options);
}
