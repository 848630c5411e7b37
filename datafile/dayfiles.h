#pragma once

#include <QDate>
#include <QList>
#include <QString>
#include <QStringList>

// Finding day files: a path given by the user names a day file, a folder
// of them (a logger's data folder, or one station's folder of a
// collector), or a collector's folder, whose subfolders are its stations
// (central/<station>/yyyymmdd.SVK). The logger names its files
// yyyymmdd.SVK; a file named otherwise is dated by its header.
struct DayFile
{
    QString path;
    QDate date;
    QString station; // the name of the folder the file is in
    QString folder; // that folder's absolute path
};

namespace DayFiles {

// The files named yyyymmdd.SVK (any case) directly in `folder`, in date
// order. Names that are not regular files (a link to a device, a FIFO)
// are left out, and listed in `refused` when given.
QList<DayFile> inFolder(const QString &folder, QStringList *refused = nullptr);

// Every path's files, in station order, then date order (then path
// order), each once. A folder without day files of its own is read as a
// collector's folder: the day files of each of its subfolders. False with
// a one-line `error` for a path that does not exist, cannot be read or is
// not a regular file or folder, a day-file name in a folder that is not a
// regular file, or a file that has no date in its name or header.
bool collect(const QStringList &paths, QList<DayFile> &files, QString &error);

// The station names of `files`, each once, sorted.
QStringList stations(const QList<DayFile> &files);
// True when the files lie in more than one folder.
bool severalFolders(const QList<DayFile> &files);
// The files of one station.
QList<DayFile> ofStation(const QList<DayFile> &files, const QString &station);

// The files that can hold records from `from` to `to` (either may be
// invalid: open): a file's records lie on its date, the first ones perhaps
// on the day before, and any that run on past midnight on the day after.
QList<DayFile> between(const QList<DayFile> &files, const QDate &from, const QDate &to);

} // namespace DayFiles
