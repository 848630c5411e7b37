#include "datafile/dayfiles.h"

#include "datafile/dayfilename.h"
#include "datafile/dayfilereader.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace {

void sortByDate(QList<DayFile> &files)
{
    std::sort(files.begin(), files.end(), [](const DayFile &a, const DayFile &b) {
        return a.date != b.date ? a.date < b.date : a.path < b.path;
    });
}

bool addFile(const QFileInfo &info, QList<DayFile> &files, QString &error)
{
    DayFileReader reader(info.filePath());
    if (!reader.open()) {
        error = reader.errorString();
        return false;
    }
    files.append({info.filePath(), reader.date()});
    return true;
}

} // namespace

QList<DayFile> DayFiles::inFolder(const QString &folder)
{
    QList<DayFile> files;
    const QFileInfoList entries = QDir(folder).entryInfoList({QStringLiteral("*.svk")}, QDir::Files | QDir::Readable);
    for (const QFileInfo &info : entries) {
        const QDate date = dayfilename::parse(info.fileName());
        if (date.isValid())
            files.append({info.filePath(), date});
    }
    sortByDate(files);
    return files;
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
        if (info.isDir())
            files += inFolder(path);
        else if (!addFile(info, files, error))
            return false;
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
