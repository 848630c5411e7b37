#include "viewer/viewoptions.h"

#include "common/timeunits.h"
#include "datafile/dayfilereader.h"

#include <QRegularExpression>

namespace {

constexpr qint64 kLastSecondOfDay = DayRecord::kSecondsPerDay - 1;
constexpr int kMinutesPerHour = 60;

// yyyy-mm-dd or yyyy-mm-ddThh:mm[:ss] (a space also separates); local seconds.
bool parseDate(const QString &text, bool endOfDay, qint64 &seconds)
{
    static const QRegularExpression pattern(
        QStringLiteral("^(\\d{4})-(\\d{2})-(\\d{2})(?:[T ](\\d{2}):(\\d{2})(?::(\\d{2}))?)?$"));
    const QRegularExpressionMatch m = pattern.match(text);
    if (!m.hasMatch())
        return false;
    const QDate date(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
    if (!date.isValid())
        return false;
    if (m.captured(4).isEmpty()) {
        seconds = DayRecord::localSecondsOf(date, endOfDay ? int(kLastSecondOfDay) : 0);
        return true;
    }
    const QTime time(m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt());
    if (!time.isValid())
        return false;
    seconds = DayRecord::localSecondsOf(date, time.msecsSinceStartOfDay() / kMsPerSecond);
    return true;
}

bool parseSize(const QString &text, QSize &size)
{
    static const QRegularExpression pattern(QStringLiteral("^(\\d{2,5})[x\u00d7](\\d{2,5})$"));
    const QRegularExpressionMatch m = pattern.match(text);
    if (m.hasMatch())
        size = QSize(m.captured(1).toInt(), m.captured(2).toInt());
    return m.hasMatch();
}

} // namespace

QDate ViewOptions::fromDate() const
{
    return from == std::numeric_limits<qint64>::min() ? QDate() : DayRecord::dateOf(from);
}

QDate ViewOptions::toDate() const
{
    return to == std::numeric_limits<qint64>::max() ? QDate() : DayRecord::dateOf(to);
}

ProgramOptions ViewOptions::table()
{
    return ProgramOptions(
        {QStringLiteral("sorvik7-view"), QStringLiteral("[OPTION]... [PATH]..."),
         QStringLiteral("Shows the wind recorded in SORVIK-7 day files (yyyymmdd.SVK): mean speed and direction "
                        "over time and a wind rose, in a window, as a picture, or as CSV. PATH is a day file, a "
                        "folder of them, or a collector's folder (one folder per station); a folder, or today's "
                        "file, is followed live in the window."),
         QString(),
         QStringLiteral("Exit status: 0 when done (skipped lines are listed on stderr), 1 when a file cannot be read "
                        "or the output cannot be written, 2 for a bad option, date or path."),
         true},
        {
            {QStringLiteral("csv"), {}, QStringLiteral("Write the records as CSV to standard output and exit.")},
            {QStringLiteral("tsv"), {}, QStringLiteral("The same, tab-separated.")},
            {QStringLiteral("utc"),
             {},
             QStringLiteral("Times in UTC (2026-10-25T00:30:00Z) instead of local time with its offset "
                            "(2026-10-25T02:30:00+02:00).")},
            {QStringLiteral("stats"),
             {},
             QStringLiteral(
                 "Write the interval statistics (mean, sd, min, max, gust, ti, direction) of the records as CSV and "
                 "exit; with --png or --svg, draw the intervals' mean and gust into the speed chart.")},
            {QStringLiteral("stats-minutes"), QStringLiteral("M"),
             QStringLiteral("Length of an interval in minutes, dividing 60 (default 10).")},
            {QStringLiteral("station"), QStringLiteral("NAME"),
             QStringLiteral("Only the station NAME of a collector's folder.")},
            {QStringLiteral("output"), QStringLiteral("FILE"),
             QStringLiteral("Write the CSV, TSV or statistics to FILE, replaced only when complete."),
             Option::CommandLine, 'o'},
            {QStringLiteral("from"), QStringLiteral("DATE"),
             QStringLiteral("Only records from DATE (yyyy-mm-dd or yyyy-mm-ddThh:mm[:ss], local time).")},
            {QStringLiteral("to"), QStringLiteral("DATE"),
             QStringLiteral("Only records up to DATE (a date alone: to the end of that day).")},
            {QStringLiteral("png"), QStringLiteral("FILE"),
             QStringLiteral("Draw the window into a PNG picture without showing it, and exit.")},
            {QStringLiteral("svg"), QStringLiteral("FILE"), QStringLiteral("The same as an SVG drawing.")},
            {QStringLiteral("size"), QStringLiteral("WxH"), QStringLiteral("Size of the picture (default 1280x800).")},
        });
}

ProgramOptions::Outcome ViewOptions::parse(ProgramOptions &table, const QStringList &arguments, ViewOptions &o)
{
    const ProgramOptions::Outcome outcome = table.parse(arguments);
    if (outcome != ProgramOptions::Outcome::Run)
        return outcome;
    const auto value = [&table](const char *name) {
        return table.setting(QLatin1String(name)).value_or(Setting{}).value;
    };
    const auto isSet = [&table](const char *name) { return table.isSet(QLatin1String(name)); };
    QString error;
    o.paths = table.positional();
    o.tsv = isSet("tsv");
    o.csv = isSet("csv") || o.tsv;
    o.output = value("output");
    o.png = value("png");
    o.svg = value("svg");
    o.utc = isSet("utc");
    o.stats = isSet("stats");
    o.station = value("station");
    bool minutesOk = true;
    if (isSet("stats-minutes"))
        o.statsMinutes = value("stats-minutes").toInt(&minutesOk);
    if (isSet("from") && !parseDate(value("from"), false, o.from))
        error = QStringLiteral("bad date for --from: %1 (use yyyy-mm-dd or yyyy-mm-ddThh:mm:ss)").arg(value("from"));
    else if (isSet("to") && !parseDate(value("to"), true, o.to))
        error = QStringLiteral("bad date for --to: %1 (use yyyy-mm-dd or yyyy-mm-ddThh:mm:ss)").arg(value("to"));
    else if (o.from > o.to)
        error = QStringLiteral("--from is later than --to");
    else if (isSet("size") && !parseSize(value("size"), o.size))
        error = QStringLiteral("bad size: %1 (use WxH, e.g. 1280x800)").arg(value("size"));
    else if (o.csv && o.picture())
        error = QStringLiteral("--csv and --png/--svg do not go together");
    else if (o.csv && o.stats)
        error = QStringLiteral("--csv and --stats do not go together");
    else if (!minutesOk || o.statsMinutes < 1 || kMinutesPerHour % o.statsMinutes != 0)
        error = QStringLiteral("bad --stats-minutes: %1 (a number of minutes dividing 60)").arg(value("stats-minutes"));
    else if (isSet("stats-minutes") && !o.stats)
        error = QStringLiteral("--stats-minutes goes with --stats");
    else if (o.utc && !o.csv)
        error = QStringLiteral("--utc goes with --csv or --tsv");
    else if (isSet("station") && o.station.isEmpty())
        error = QStringLiteral("--station needs a name");
    else if (!o.output.isEmpty() && !o.csv && !o.statsTable())
        error = QStringLiteral("-o goes with --csv, --tsv or --stats");
    else if ((o.csv || o.picture() || o.stats) && o.paths.isEmpty())
        error = QStringLiteral("no day file or folder given");
    if (error.isEmpty())
        return outcome;
    table.setError(error + QStringLiteral(" (try --help)"));
    return ProgramOptions::Outcome::Error;
}
