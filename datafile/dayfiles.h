#pragma once

#include <QDate>
#include <QList>
#include <QString>
#include <QStringList>

// Finding day files: a path given by the user names a day file or a folder
// of them. The logger names its files yyyymmdd.SVK; a file named otherwise
// is dated by its header.
struct DayFile
{
    QString path;
    QDate date;
};

namespace DayFiles {

// The files named yyyymmdd.SVK (any case) directly in `folder`, in date order.
QList<DayFile> inFolder(const QString &folder);

// Every path's files, in date order (then path order), each once. False with
// a one-line `error` for a path that does not exist or cannot be read, or a
// file that has no date in its name or header.
bool collect(const QStringList &paths, QList<DayFile> &files, QString &error);

// The files that can hold records from `from` to `to` (either may be
// invalid: open): a file's records lie on its date, the first ones perhaps
// on the day before, and any that run on past midnight on the day after.
QList<DayFile> between(const QList<DayFile> &files, const QDate &from, const QDate &to);

} // namespace DayFiles
