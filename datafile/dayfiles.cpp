#include "datafile/dayfiles.h"

#include "common/nativepath.h"
#include "datafile/dayfilename.h"
#include "datafile/dayfilereader.h"

#include <QDir>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

#include <sys/stat.h>
#include <unistd.h>

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

// Paths are read with the file system's own calls (see nativepath), so a
// folder whose name is not UTF-8 is read like any other.
DayFile dayFile(const QString &path, const QDate &date)
{
    const QString file = nativepath::absolute(path);
    const QString folder = file.left(file.lastIndexOf(u'/'));
    return {path, date, folder.mid(folder.lastIndexOf(u'/') + 1), folder.isEmpty() ? QStringLiteral("/") : folder};
}

bool addFile(const QString &path, QList<DayFile> &files, QString &error)
{
    DayFileReader reader(path);
    if (!reader.open()) {
        error = reader.errorString();
        return false;
    }
    files.append(dayFile(path, reader.date()));
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
    error = QStringLiteral("cannot read %1: not a regular file").arg(nativepath::display(refused.first()));
    return false;
}

} // namespace

QList<DayFile> DayFiles::inFolder(const QString &folder, QStringList *refused)
{
    QList<DayFile> files;
    for (const QString &name : nativepath::entries(folder)) {
        const QDate date = dayfilename::parse(name);
        if (!date.isValid())
            continue;
        const QString path = QDir::cleanPath(folder + u'/' + name);
        struct stat st = {};
        const bool found = nativepath::stat(path, st);
        if (found && S_ISREG(st.st_mode))
            files.append(dayFile(path, date));
        else if (refused && !(found && S_ISDIR(st.st_mode)))
            *refused << path;
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
        const QString shown = nativepath::display(path);
        struct stat st = {};
        if (!nativepath::stat(path, st)) {
            error = errno == ENOENT || errno == ENOTDIR
                ? QStringLiteral("no such file or folder: %1").arg(shown)
                : QStringLiteral("cannot read %1: %2").arg(shown, QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        const bool isDir = S_ISDIR(st.st_mode);
        if (::access(nativepath::encode(path).constData(), isDir ? R_OK | X_OK : R_OK) != 0) {
            error = QStringLiteral("cannot read %1: permission denied").arg(shown);
            return false;
        }
        if (isDir) {
            QList<DayFile> own;
            if (!addFolder(path, own, error))
                return false;
            // A collector's folder: one subfolder per station.
            QStringList subfolders = own.isEmpty() ? nativepath::entries(path) : QStringList();
            subfolders.sort();
            for (const QString &name : std::as_const(subfolders)) {
                const QString sub = path + u'/' + name;
                struct stat subSt = {};
                if (nativepath::stat(sub, subSt) && S_ISDIR(subSt.st_mode)
                    && ::access(nativepath::encode(sub).constData(), R_OK | X_OK) == 0 && !addFolder(sub, own, error))
                    return false;
            }
            files += own;
        } else if (!S_ISREG(st.st_mode)) {
            error = QStringLiteral("cannot read %1: not a regular file").arg(shown);
            return false;
        } else if (!addFile(path, files, error)) {
            return false;
        }
    }
    sortByDate(files);
    files.erase(std::unique(files.begin(), files.end(),
                            [](const DayFile &a, const DayFile &b) {
                                return nativepath::canonical(a.path) == nativepath::canonical(b.path);
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
