#include "viewer/viewoptions.h"

#include "datafile/dayfilereader.h"

#include <QCommandLineParser>
#include <QRegularExpression>

namespace {

constexpr qint64 kLastSecondOfDay = DayRecord::kSecondsPerDay - 1;
constexpr int kMsPerSecond = 1000;
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

QString ViewOptions::usage()
{
    return QStringLiteral(
        "Usage: sorvik7-view [OPTIONS] [PATH...]\n"
        "Shows the wind recorded in SORVIK-7 day files (yyyymmdd.SVK); PATH is a day\n"
        "file, a folder of them, or a collector's folder (one folder per station).\n"
        "A folder, or today's file, is followed live.\n\n"
        "  --csv             write the records as CSV to standard output and exit\n"
        "  --tsv             the same, tab-separated\n"
        "  --utc             times in UTC (2026-10-25T00:30:00Z) instead of local time with\n"
        "                    its offset (2026-10-25T02:30:00+02:00)\n"
        "  --stats           write the interval statistics (mean, sd, min, max, gust, ti,\n"
        "                    direction) of the records as CSV and exit; with --png or --svg,\n"
        "                    draw the intervals' mean and gust into the speed chart\n"
        "  --stats-minutes M length of an interval in minutes, dividing 60 (default 10)\n"
        "  --station NAME    only the station NAME of a collector's folder\n"
        "  -o, --output FILE write the CSV, TSV or statistics to FILE\n"
        "  --from DATE       only records from DATE (yyyy-mm-dd or yyyy-mm-ddThh:mm[:ss])\n"
        "  --to DATE         only records up to DATE (a date alone: to the end of that day)\n"
        "  --png FILE        draw the window into a PNG picture without showing it, and exit\n"
        "  --svg FILE        the same as an SVG drawing\n"
        "  --size WxH        size of the picture (default 1280x800)\n"
        "  -h, --help        this text\n");
}

bool ViewOptions::parse(const QStringList &arguments, ViewOptions &o, QString &error, bool &help)
{
    QCommandLineParser parser;
    const QCommandLineOption csv(QStringLiteral("csv")), tsv(QStringLiteral("tsv"));
    const QCommandLineOption output(QStringList{QStringLiteral("o"), QStringLiteral("output")}, {}, QStringLiteral("FILE"));
    const QCommandLineOption from(QStringLiteral("from"), {}, QStringLiteral("DATE"));
    const QCommandLineOption to(QStringLiteral("to"), {}, QStringLiteral("DATE"));
    const QCommandLineOption png(QStringLiteral("png"), {}, QStringLiteral("FILE"));
    const QCommandLineOption svg(QStringLiteral("svg"), {}, QStringLiteral("FILE"));
    const QCommandLineOption size(QStringLiteral("size"), {}, QStringLiteral("WxH"));
    const QCommandLineOption utc(QStringLiteral("utc")), stats(QStringLiteral("stats"));
    const QCommandLineOption statsMinutes(QStringLiteral("stats-minutes"), {}, QStringLiteral("M"));
    const QCommandLineOption station(QStringLiteral("station"), {}, QStringLiteral("NAME"));
    const QCommandLineOption helpOption(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    parser.addOptions({csv, tsv, output, from, to, png, svg, size, utc, stats, statsMinutes, station, helpOption});
    if (!parser.parse(arguments)) {
        error = parser.errorText();
        return false;
    }
    help = parser.isSet(helpOption);
    o.paths = parser.positionalArguments();
    o.tsv = parser.isSet(tsv);
    o.csv = parser.isSet(csv) || o.tsv;
    o.output = parser.value(output);
    o.png = parser.value(png);
    o.svg = parser.value(svg);
    o.utc = parser.isSet(utc);
    o.stats = parser.isSet(stats);
    o.station = parser.value(station);
    bool minutesOk = true;
    if (parser.isSet(statsMinutes))
        o.statsMinutes = parser.value(statsMinutes).toInt(&minutesOk);
    if (parser.isSet(from) && !parseDate(parser.value(from), false, o.from))
        error = QStringLiteral("bad date for --from: %1 (use yyyy-mm-dd or yyyy-mm-ddThh:mm:ss)").arg(parser.value(from));
    else if (parser.isSet(to) && !parseDate(parser.value(to), true, o.to))
        error = QStringLiteral("bad date for --to: %1 (use yyyy-mm-dd or yyyy-mm-ddThh:mm:ss)").arg(parser.value(to));
    else if (o.from > o.to)
        error = QStringLiteral("--from is later than --to");
    else if (parser.isSet(size) && !parseSize(parser.value(size), o.size))
        error = QStringLiteral("bad size: %1 (use WxH, e.g. 1280x800)").arg(parser.value(size));
    else if (o.csv && o.picture())
        error = QStringLiteral("--csv and --png/--svg do not go together");
    else if (o.csv && o.stats)
        error = QStringLiteral("--csv and --stats do not go together");
    else if (!minutesOk || o.statsMinutes < 1 || kMinutesPerHour % o.statsMinutes != 0)
        error = QStringLiteral("bad --stats-minutes: %1 (a number of minutes dividing 60)").arg(parser.value(statsMinutes));
    else if (parser.isSet(statsMinutes) && !o.stats)
        error = QStringLiteral("--stats-minutes goes with --stats");
    else if (o.utc && !o.csv)
        error = QStringLiteral("--utc goes with --csv or --tsv");
    else if (parser.isSet(station) && o.station.isEmpty())
        error = QStringLiteral("--station needs a name");
    else if (!o.output.isEmpty() && !o.csv && !o.statsTable())
        error = QStringLiteral("-o goes with --csv, --tsv or --stats");
    else if ((o.csv || o.picture() || o.stats) && o.paths.isEmpty() && !help)
        error = QStringLiteral("no day file or folder given");
    return error.isEmpty();
}
