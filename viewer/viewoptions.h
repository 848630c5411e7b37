#pragma once

#include "daemon/options.h"

#include <QDate>
#include <QSize>
#include <QString>
#include <QStringList>

#include <limits>

// sorvik7-view's command line:
//   sorvik7-view [--from DATE] [--to DATE] [--station NAME] [--png FILE | --svg FILE] [--size WxH]
//                [--stats [--stats-minutes M]] [PATH...]
//   sorvik7-view --csv [--tsv] [--utc] [-o FILE] [--from DATE] [--to DATE] [--station NAME] PATH...
//   sorvik7-view --stats [--stats-minutes M] [-o FILE] [--from DATE] [--to DATE] [--station NAME] PATH...
// PATH is a day file, a folder of them or a collector's folder. DATE is yyyy-mm-dd, or
// yyyy-mm-ddThh:mm[:ss] (local time); --to a date alone takes in all of
// that day.
struct ViewOptions
{
    QStringList paths;
    bool csv = false;
    bool tsv = false;
    bool utc = false; // --csv times in UTC
    bool stats = false; // the interval statistics: a table, or in the charts
    int statsMinutes = 10;
    QString station; // only this station's folder
    QString output; // -o; empty: standard output
    qint64 from = std::numeric_limits<qint64>::min(); // local seconds, inclusive
    qint64 to = std::numeric_limits<qint64>::max();
    QString png, svg;
    QSize size{1280, 800};

    bool picture() const { return !png.isEmpty() || !svg.isEmpty(); }
    // --stats alone writes the table; with a picture it draws them.
    bool statsTable() const { return stats && !picture(); }
    // The days of --from and --to; invalid when not given.
    QDate fromDate() const;
    QDate toDate() const;

    // The program's option table, which also makes --help.
    static ProgramOptions table();
    // Parses argv into `options`: Run when the program may go on; Help and
    // Version for the caller to answer (table.answer); Error with a one-line
    // table.error() for anything it cannot use.
    static ProgramOptions::Outcome parse(ProgramOptions &table, const QStringList &arguments, ViewOptions &options);
};
