#include "datafile/dayfiles.h"

#include "datafile/dayfilename.h"
#include "datafile/dayfilereader.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <iterator>

namespace {

void sortByDate(QList<DayFile> &files)
{
    std::stable_sort(files.begin(), files.end(), [](const DayFile &a, const DayFile &b) {
        if (a.station != b.station)
            return a.station < b.station;
        if (a.folder != b.folder)
            return a.folder < b.folder;
        return a.date != b.date ? a.date < b.date : a.path < b.path;
    });
}

DayFile dayFile(const QFileInfo &info, const QDate &date)
{
    const QFileInfo folder(info.absolutePath());
    return {info.filePath(), date, folder.fileName(), folder.absoluteFilePath()};
}

bool addFile(const QFileInfo &info, QList<DayFile> &files, QString &error)
{
    DayFileReader reader(info.filePath());
    if (!reader.open()) {
        error = reader.errorString();
        return false;
    }
    files.append(dayFile(info, reader.date()));
    return true;
}

// A folder's day files; false with `error` when one of them is not a
// regular file.
bool addFolder(const QString &folder, QList<DayFile> &files, QString &error)
{
    QStringList refused;
    files += DayFiles::inFolder(folder, &refused);
    if (refused.isEmpty())
        return true;
    error = QStringLiteral("cannot read %1: not a regular file").arg(refused.first());
    return false;
}

} // namespace

QList<DayFile> DayFiles::inFolder(const QString &folder, QStringList *refused)
{
    QList<DayFile> files;
    const QFileInfoList entries =
        QDir(folder).entryInfoList({QStringLiteral("*.svk")}, QDir::Files | QDir::System | QDir::Readable);
    for (const QFileInfo &info : entries) {
        const QDate date = dayfilename::parse(info.fileName());
        if (!date.isValid())
            continue;
        if (info.isFile())
            files.append(dayFile(info, date));
        else if (refused)
            *refused << info.filePath();
    }
    sortByDate(files);
    return files;
}

QStringList DayFiles::stations(const QList<DayFile> &files)
{
    QStringList names;
    for (const DayFile &f : files)
        names << f.station;
    names.sort();
    names.removeDuplicates();
    return names;
}

bool DayFiles::severalFolders(const QList<DayFile> &files)
{
    return std::any_of(files.begin(), files.end(), [&](const DayFile &f) { return f.folder != files.first().folder; });
}

QList<DayFile> DayFiles::ofStation(const QList<DayFile> &files, const QString &station)
{
    QList<DayFile> kept;
    std::copy_if(files.begin(), files.end(), std::back_inserter(kept),
                 [&](const DayFile &f) { return f.station == station; });
    return kept;
}

bool DayFiles::collect(const QStringList &paths, QList<DayFile> &files, QString &error)
{
    files.clear();
    for (const QString &path : paths) {
        const QFileInfo info(path);
        if (!info.exists()) {
            error = QStringLiteral("no such file or folder: %1").arg(path);
            return false;
        }
        if (!info.isReadable() || (info.isDir() && !info.isExecutable())) {
            error = QStringLiteral("cannot read %1: permission denied").arg(path);
            return false;
        }
        if (info.isDir()) {
            QList<DayFile> own;
            if (!addFolder(path, own, error))
                return false;
            // A collector's folder: one subfolder per station.
            const QFileInfoList subfolders = own.isEmpty()
                ? QDir(path).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Readable | QDir::Executable,
                                           QDir::Name)
                : QFileInfoList();
            for (const QFileInfo &sub : subfolders) {
                if (!addFolder(sub.filePath(), own, error))
                    return false;
            }
            files += own;
        } else if (!info.isFile()) {
            error = QStringLiteral("cannot read %1: not a regular file").arg(path);
            return false;
        } else if (!addFile(info, files, error)) {
            return false;
        }
    }
    sortByDate(files);
    files.erase(std::unique(files.begin(), files.end(),
                            [](const DayFile &a, const DayFile &b) {
                                return QFileInfo(a.path).canonicalFilePath() == QFileInfo(b.path).canonicalFilePath();
                            }),
                files.end());
    return true;
}

QList<DayFile> DayFiles::between(const QList<DayFile> &files, const QDate &from, const QDate &to)
{
    QList<DayFile> kept;
    for (const DayFile &f : files) {
        if ((!from.isValid() || f.date >= from.addDays(-1)) && (!to.isValid() || f.date <= to.addDays(1)))
            kept.append(f);
    }
    return kept;
}
